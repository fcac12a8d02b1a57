#include "record/recording_writer.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "record/recording_schema.h"

namespace qel::record {

namespace {

// Resets a statement on every way out, and finalizes one made for the call.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr); }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    sqlite3_stmt* get() const { return statement_; }
    explicit operator bool() const { return statement_ != nullptr; }

private:
    sqlite3_stmt* statement_ = nullptr;
};

bool FileAtFault(sqlite3* db) {
    const int code = sqlite3_errcode(db) & 0xff;
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

}  // namespace

RecordingWriter::~RecordingWriter() { Close(); }

std::string RecordingWriter::Error(const char* what) const {
    return std::string(what) + " " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
}

bool RecordingWriter::Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = "the recording " + path_ + ": " + (message ? message : "failed");
    sqlite3_free(message);
    return false;
}

bool RecordingWriter::Open(const std::string& path, const store::StoreLimits& limits, std::string& error) {
    std::lock_guard lock(mutex_);
    Close();
    path_ = path;
    limits_ = limits;
    damaged_ = false;
    changes_ = bytes_ = dropped_ = 0;
    // The writer's lock, apart from SQLite's own: readers may read while we
    // write, a second writer may not. Closed only after SQLite lets go of
    // the file, since closing any descriptor of it ends SQLite's locks.
    lock_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_ < 0) {
        error = "cannot open the recording " + path + ": " + std::strerror(errno);
        return false;
    }
    if (flock(lock_, LOCK_EX | LOCK_NB) != 0) {
        error = "the recording " + path + " is in use by another process";
        Close();
        return false;
    }
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = Error("cannot open the recording");
        Close();
        return false;
    }
    sqlite3_busy_timeout(db_, 200);
    // Another kind of database is not ours to add tables to.
    {
        Statement tables(db_, "SELECT COUNT(*), SUM(name = 'changes') FROM sqlite_master WHERE type = 'table'");
        if (!tables || sqlite3_step(tables.get()) != SQLITE_ROW) {
            error = Error("cannot read the recording");
            damaged_ = FileAtFault(db_);
            Close();
            return false;
        }
        if (sqlite3_column_int64(tables.get(), 0) > 0 && sqlite3_column_int64(tables.get(), 1) == 0) {
            error = "the file " + path + " is a database, but not a recording";
            damaged_ = true;
            Close();
            return false;
        }
    }
    if (!Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", error) || !Exec(kRecordingSchema, error)) {
        damaged_ = FileAtFault(db_);
        Close();
        return false;
    }
    {
        Statement kind(db_, "SELECT value FROM recording WHERE key = 'kind'");
        const bool ours = kind && sqlite3_step(kind.get()) == SQLITE_ROW &&
                          std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(kind.get(), 0)),
                                      kRecordingKind) == 0;
        if (!ours) {
            error = "the file " + path + " is a database, but not a recording";
            damaged_ = true;
            Close();
            return false;
        }
    }
    const auto prepare = [this](const char* sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) == SQLITE_OK;
    };
    if (!prepare("INSERT INTO changes(t, station, area, number, value) VALUES(?, ?, ?, ?, ?)", &insert_) ||
        !prepare("INSERT OR REPLACE INTO recording(key, value) VALUES('ended', ?)", &end_)) {
        error = Error("cannot use the recording");
        damaged_ = true;
        Close();
        return false;
    }
    // Reading every row finds a damaged page now rather than at a replay.
    Statement count(db_, "SELECT COUNT(*), TOTAL(length(area)) FROM changes");
    if (!count || sqlite3_step(count.get()) != SQLITE_ROW) {
        error = Error("cannot read the recording");
        damaged_ = FileAtFault(db_);
        Close();
        return false;
    }
    changes_ = static_cast<std::uint64_t>(sqlite3_column_int64(count.get(), 0));
    bytes_ = changes_ * ChangeBytes(0) + static_cast<std::uint64_t>(sqlite3_column_double(count.get(), 1));
    return true;
}

void RecordingWriter::Close() {
    for (sqlite3_stmt** statement : {&insert_, &end_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    // v2: a statement still alive in a caller's scope does not keep the file open.
    if (db_) sqlite3_close_v2(db_);
    db_ = nullptr;
    if (lock_ >= 0) ::close(lock_);
    lock_ = -1;
}

bool RecordingWriter::NoteEnd(std::int64_t nowMillis, std::string& error) {
    sqlite3_bind_int64(end_, 1, nowMillis);
    const int rc = sqlite3_step(end_);
    sqlite3_reset(end_);
    if (rc == SQLITE_DONE) return true;
    error = Error("cannot write to the recording");
    return false;
}

bool RecordingWriter::Append(const std::vector<Change>& changes, std::int64_t nowMillis, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!db_) {
        error = "the recording is not open";
        return false;
    }
    if (!Exec("BEGIN", error)) return false;
    std::uint64_t added = 0;
    for (const Change& change : changes) {
        sqlite3_bind_int64(insert_, 1, change.millis);
        sqlite3_bind_int64(insert_, 2, change.station);
        sqlite3_bind_text(insert_, 3, change.area.data(), static_cast<int>(change.area.size()), SQLITE_STATIC);
        sqlite3_bind_int64(insert_, 4, change.number);
        sqlite3_bind_int64(insert_, 5, change.value);
        const int rc = sqlite3_step(insert_);
        sqlite3_reset(insert_);
        sqlite3_clear_bindings(insert_);
        if (rc != SQLITE_DONE) {
            error = Error("cannot append to the recording");
            std::string ignored;
            Exec("ROLLBACK", ignored);
            return false;
        }
        added += ChangeBytes(change.area.size());
    }
    if (!NoteEnd(nowMillis, error) || !Exec("COMMIT", error)) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }
    changes_ += changes.size();
    bytes_ += added;
    // Appended, whatever becomes of the bound now; a drop that fails (a
    // full disk: a delete writes to the log too) is tried at the next one.
    std::string ignored;
    DropOldest(nowMillis, ignored);
    return true;
}

bool RecordingWriter::Mark(std::int64_t nowMillis, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!db_) {
        error = "the recording is not open";
        return false;
    }
    if (!NoteEnd(nowMillis, error)) return false;
    return DropOldest(nowMillis, error);
}

bool RecordingWriter::DropOldest(std::int64_t nowMillis, std::string& error) {
    // Deletes what `statement` selects, counting the rows and bytes freed.
    const auto drop = [&](Statement& statement) {
        std::uint64_t count = 0, freed = 0;
        int rc;
        while ((rc = sqlite3_step(statement.get())) == SQLITE_ROW) {
            ++count;
            freed += ChangeBytes(static_cast<std::size_t>(sqlite3_column_int64(statement.get(), 0)));
        }
        if (rc != SQLITE_DONE) {
            error = Error("cannot drop the oldest changes of the recording");
            return false;
        }
        changes_ -= std::min(changes_, count);
        bytes_ = changes_ == 0 ? 0 : bytes_ - std::min(bytes_, freed);
        dropped_ += count;
        return true;
    };
    if (limits_.maxAgeMillis > 0) {
        Statement old(db_, "DELETE FROM changes WHERE t < ? RETURNING length(area)");
        if (!old) {
            error = Error("cannot drop the oldest changes of the recording");
            return false;
        }
        sqlite3_bind_int64(old.get(), 1, nowMillis - limits_.maxAgeMillis);
        if (!drop(old)) return false;
    }
    while (limits_.maxBytes > 0 && bytes_ > limits_.maxBytes && changes_ > 0) {
        // Enough of the oldest for the bound, at most a page at a time.
        const std::uint64_t excess = bytes_ - limits_.maxBytes;
        const std::uint64_t count = std::min<std::uint64_t>(4096, (excess + ChangeBytes(2) - 1) / ChangeBytes(2));
        Statement oldest(db_,
                         "DELETE FROM changes WHERE id IN (SELECT id FROM changes ORDER BY id LIMIT ?)"
                         " RETURNING length(area)");
        if (!oldest) {
            error = Error("cannot drop the oldest changes of the recording");
            return false;
        }
        sqlite3_bind_int64(oldest.get(), 1, static_cast<sqlite3_int64>(count));
        if (!drop(oldest)) return false;
    }
    return true;
}

RecordingCounts RecordingWriter::Counts() const {
    std::lock_guard lock(mutex_);
    return {changes_, bytes_, dropped_};
}

}  // namespace qel::record
