#include "store/message_store.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>

namespace qel::store {

namespace {

// What a row costs beyond its topic and payload, roughly: the id, the
// columns' headers, the time and the index entry.
constexpr std::uint64_t kRowOverhead = 32;

std::uint64_t RowBytes(std::size_t topic, std::size_t payload) { return kRowOverhead + topic + payload; }

std::uint64_t FileSize(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
}

// Resets a statement on every way out.
class Using {
public:
    explicit Using(sqlite3_stmt* statement) : statement_(statement) {}
    ~Using() {
        sqlite3_reset(statement_);
        sqlite3_clear_bindings(statement_);
    }
    Using(const Using&) = delete;
    Using& operator=(const Using&) = delete;

private:
    sqlite3_stmt* statement_;
};

}  // namespace

MessageStore::~MessageStore() { Close(); }

std::string MessageStore::Error(const char* what) const {
    return std::string(what) + " " + path_ + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
}

bool MessageStore::Exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    error = "the buffer " + path_ + ": " + (message ? message : "failed");
    sqlite3_free(message);
    return false;
}

bool MessageStore::Open(const std::string& path, const StoreLimits& limits, std::string& error) {
    std::lock_guard lock(mutex_);
    path_ = path;
    limits_ = limits;
    damaged_ = false;
    depth_ = bytes_ = 0;
    newest_.clear();
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = Error("cannot open the buffer");
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    sqlite3_busy_timeout(db_, 200);
    // Exclusive: the lock taken by the first write stays until Close, so a
    // second gateway on the same file is refused instead of sending twice.
    if (!Exec("PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
              "CREATE TABLE IF NOT EXISTS messages(id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT NOT NULL,"
              " payload BLOB NOT NULL, qos INTEGER NOT NULL, retain INTEGER NOT NULL, t INTEGER NOT NULL);"
              "BEGIN IMMEDIATE; COMMIT;",
              error)) {
        if (error.find("locked") != std::string::npos) error = "the buffer " + path + " is in use by another process";
        // Not a database, or damaged: the file's fault. A table of another
        // shape fails below, when the statements are prepared.
        const int code = sqlite3_errcode(db_) & 0xff;
        damaged_ = code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
        Close();
        return false;
    }
    const auto prepare = [this](const char* sql, sqlite3_stmt** statement) {
        return sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, statement, nullptr) == SQLITE_OK;
    };
    if (!prepare("INSERT INTO messages(topic, payload, qos, retain, t) VALUES(?, ?, ?, ?, ?)", &insert_) ||
        !prepare("SELECT id, topic, payload, qos, retain, t FROM messages WHERE id > ? ORDER BY id LIMIT ?", &next_) ||
        !prepare("DELETE FROM messages WHERE id = ? RETURNING length(topic), length(payload)", &remove_) ||
        !prepare("SELECT id, t, length(topic), length(payload) FROM messages ORDER BY id LIMIT 256", &oldest_)) {
        error = Error("cannot use the buffer");
        damaged_ = true;
        Close();
        return false;
    }
    sqlite3_stmt* scan = nullptr;
    if (!prepare("SELECT topic, MAX(id), COUNT(*), SUM(length(topic)), SUM(length(payload)) FROM messages GROUP BY topic",
                 &scan)) {
        error = Error("cannot read the buffer");
        damaged_ = true;
        Close();
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(scan)) == SQLITE_ROW) {
        const auto* topic = reinterpret_cast<const char*>(sqlite3_column_text(scan, 0));
        newest_[topic ? topic : ""] = sqlite3_column_int64(scan, 1);
        const auto count = static_cast<std::uint64_t>(sqlite3_column_int64(scan, 2));
        depth_ += count;
        bytes_ += count * kRowOverhead + static_cast<std::uint64_t>(sqlite3_column_int64(scan, 3)) +
                  static_cast<std::uint64_t>(sqlite3_column_int64(scan, 4));
    }
    if (rc != SQLITE_DONE) {  // a damaged page, found by reading every row
        error = Error("cannot read the buffer");
        const int code = sqlite3_errcode(db_) & 0xff;
        damaged_ = code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
        sqlite3_finalize(scan);
        Close();
        return false;
    }
    sqlite3_finalize(scan);
    return true;
}

void MessageStore::Close() {
    for (sqlite3_stmt** statement : {&insert_, &next_, &remove_, &oldest_}) {
        sqlite3_finalize(*statement);
        *statement = nullptr;
    }
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
}

bool MessageStore::Append(std::vector<StoredMessage>& messages, std::int64_t nowMillis, std::uint64_t& dropped,
                          std::string& error) {
    std::lock_guard lock(mutex_);
    if (!db_) {
        error = "the buffer is not open";
        return false;
    }
    if (messages.empty()) return DropOldest(nowMillis, dropped, error);
    if (!Exec("BEGIN", error)) return false;
    std::uint64_t added = 0;
    for (StoredMessage& message : messages) {
        Using using_(insert_);
        sqlite3_bind_text(insert_, 1, message.topic.data(), static_cast<int>(message.topic.size()), SQLITE_STATIC);
        sqlite3_bind_blob(insert_, 2, message.payload.data(), static_cast<int>(message.payload.size()), SQLITE_STATIC);
        sqlite3_bind_int(insert_, 3, message.qos);
        sqlite3_bind_int(insert_, 4, message.retain ? 1 : 0);
        sqlite3_bind_int64(insert_, 5, message.millis);
        if (sqlite3_step(insert_) != SQLITE_DONE) {
            error = Error("cannot append to the buffer");
            std::string ignored;
            Exec("ROLLBACK", ignored);
            return false;
        }
        message.id = sqlite3_last_insert_rowid(db_);
        added += RowBytes(message.topic.size(), message.payload.size());
    }
    if (!Exec("COMMIT", error)) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }
    depth_ += messages.size();
    bytes_ += added;
    for (const StoredMessage& message : messages) newest_[message.topic] = message.id;
    // Appended, whatever becomes of the bound now.
    std::string ignored;
    DropOldest(nowMillis, dropped, ignored);
    return true;
}

bool MessageStore::DropOldest(std::int64_t nowMillis, std::uint64_t& dropped, std::string& error) {
    const std::int64_t tooOld = limits_.maxAgeMillis ? nowMillis - limits_.maxAgeMillis : INT64_MIN;
    for (;;) {
        if (!(limits_.maxBytes && bytes_ > limits_.maxBytes) && tooOld == INT64_MIN) return true;
        // The oldest rows, a page at a time: up to the last one that must go.
        std::int64_t last = 0;
        std::uint64_t count = 0, freed = 0;
        bool more = false;
        {
            Using using_(oldest_);
            int rc;
            while ((rc = sqlite3_step(oldest_)) == SQLITE_ROW) {
                const bool tooBig = limits_.maxBytes && bytes_ - freed > limits_.maxBytes;
                if (!tooBig && sqlite3_column_int64(oldest_, 1) >= tooOld) break;
                last = sqlite3_column_int64(oldest_, 0);
                ++count;
                freed += RowBytes(static_cast<std::size_t>(sqlite3_column_int64(oldest_, 2)),
                                  static_cast<std::size_t>(sqlite3_column_int64(oldest_, 3)));
            }
            more = rc == SQLITE_ROW || count == 256;
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                error = Error("cannot read the buffer");
                return false;
            }
        }
        if (count == 0) return true;
        const std::string sql = "DELETE FROM messages WHERE id <= " + std::to_string(last);
        if (!Exec(sql.c_str(), error)) return false;
        depth_ -= std::min(depth_, count);
        bytes_ -= std::min(bytes_, freed);
        dropped_ += count;
        dropped += count;
        if (!more || count < 256) return true;
    }
}

std::vector<StoredMessage> MessageStore::Next(std::int64_t afterId, std::size_t most) {
    std::lock_guard lock(mutex_);
    std::vector<StoredMessage> found;
    if (!db_ || most == 0) return found;
    Using using_(next_);
    sqlite3_bind_int64(next_, 1, afterId);
    sqlite3_bind_int64(next_, 2, static_cast<sqlite3_int64>(most));
    while (sqlite3_step(next_) == SQLITE_ROW) {
        StoredMessage message;
        message.id = sqlite3_column_int64(next_, 0);
        const auto* topic = reinterpret_cast<const char*>(sqlite3_column_text(next_, 1));
        message.topic.assign(topic ? topic : "", static_cast<std::size_t>(sqlite3_column_bytes(next_, 1)));
        const auto* payload = static_cast<const char*>(sqlite3_column_blob(next_, 2));
        message.payload.assign(payload ? payload : "", static_cast<std::size_t>(sqlite3_column_bytes(next_, 2)));
        message.qos = sqlite3_column_int(next_, 3);
        message.retain = sqlite3_column_int(next_, 4) != 0;
        message.millis = sqlite3_column_int64(next_, 5);
        found.push_back(std::move(message));
    }
    return found;
}

bool MessageStore::Remove(const std::vector<std::int64_t>& ids, std::string& error) {
    std::lock_guard lock(mutex_);
    if (!db_) {
        error = "the buffer is not open";
        return false;
    }
    if (ids.empty()) return true;
    if (!Exec("BEGIN", error)) return false;
    std::uint64_t removed = 0, freed = 0;
    for (const std::int64_t id : ids) {
        Using using_(remove_);
        sqlite3_bind_int64(remove_, 1, id);
        int rc;
        while ((rc = sqlite3_step(remove_)) == SQLITE_ROW) {
            ++removed;
            freed += RowBytes(static_cast<std::size_t>(sqlite3_column_int64(remove_, 0)),
                              static_cast<std::size_t>(sqlite3_column_int64(remove_, 1)));
        }
        if (rc != SQLITE_DONE) {
            error = Error("cannot remove from the buffer");
            std::string ignored;
            Exec("ROLLBACK", ignored);
            return false;
        }
    }
    if (!Exec("COMMIT", error)) {
        std::string ignored;
        Exec("ROLLBACK", ignored);
        return false;
    }
    forwarded_ += removed;
    depth_ -= std::min(depth_, removed);
    bytes_ = depth_ == 0 ? 0 : bytes_ - std::min(bytes_, freed);
    return true;
}

bool MessageStore::Contains(std::int64_t id) const {
    std::lock_guard lock(mutex_);
    if (!db_) return false;
    sqlite3_stmt* find = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db_, "SELECT 1 FROM messages WHERE id = ?", -1, &find, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(find, 1, id);
        found = sqlite3_step(find) == SQLITE_ROW;
    }
    sqlite3_finalize(find);
    return found;
}

bool MessageStore::IsNewest(const std::string& topic, std::int64_t id) const {
    std::lock_guard lock(mutex_);
    const auto found = newest_.find(topic);
    return found == newest_.end() || found->second <= id;
}

StoreCounts MessageStore::Counts() const {
    std::lock_guard lock(mutex_);
    StoreCounts counts;
    counts.depth = depth_;
    counts.bytes = bytes_;
    counts.dropped = dropped_;
    counts.forwarded = forwarded_;
    counts.fileBytes = FileSize(path_) + FileSize(path_ + "-wal");
    if (db_ && depth_ > 0) {
        Using using_(oldest_);
        if (sqlite3_step(oldest_) == SQLITE_ROW) counts.oldestMillis = sqlite3_column_int64(oldest_, 1);
    }
    return counts;
}

}  // namespace qel::store
