#include "record/recording_reader.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "record/recording_schema.h"

namespace qel::record {

namespace {

class Database {
public:
    ~Database() { sqlite3_close(db_); }
    sqlite3* db_ = nullptr;
};

class Query {
public:
    Query(sqlite3* db, const char* sql) { ok_ = sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) == SQLITE_OK; }
    ~Query() { sqlite3_finalize(statement_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;
    sqlite3_stmt* statement_ = nullptr;
    bool ok_ = false;
};

std::string Text(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return text ? text : "";
}

}  // namespace

bool ReadRecording(const std::string& path, Recording& recording, std::string& error) {
    recording = {};
    // SQLite would open a missing file as an empty database; say what it is.
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        error = "cannot read the recording " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "cannot read the recording " + path + ": not a regular file";
        return false;
    }
    Database file;
    if (sqlite3_open_v2(path.c_str(), &file.db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        error = "cannot read the recording " + path + ": " + (file.db_ ? sqlite3_errmsg(file.db_) : "out of memory");
        return false;
    }
    sqlite3_busy_timeout(file.db_, 2000);
    const auto damaged = [&] {
        error = "the recording " + path + " cannot be read: " + sqlite3_errmsg(file.db_);
        return false;
    };
    {
        Query kind(file.db_, "SELECT value FROM recording WHERE key = 'kind'");
        if (!kind.ok_) {
            const int code = sqlite3_errcode(file.db_) & 0xff;
            if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT) return damaged();
            error = "the file " + path + " is not a recording (no table of changes in it)";
            return false;
        }
        const int rc = sqlite3_step(kind.statement_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return damaged();
        if (rc != SQLITE_ROW || Text(kind.statement_, 0) != kRecordingKind) {
            error = "the file " + path + " is not a recording of a line (an unknown kind)";
            return false;
        }
    }
    {
        Query ended(file.db_, "SELECT value FROM recording WHERE key = 'ended'");
        if (ended.ok_ && sqlite3_step(ended.statement_) == SQLITE_ROW)
            recording.endedMillis = std::strtoll(Text(ended.statement_, 0).c_str(), nullptr, 10);
    }
    Query rows(file.db_, "SELECT t, station, area, number, value FROM changes ORDER BY id");
    if (!rows.ok_) {
        const int code = sqlite3_errcode(file.db_) & 0xff;
        if (code == SQLITE_NOTADB || code == SQLITE_CORRUPT) return damaged();
        error = "the file " + path + " is not a recording (no table of changes in it)";
        return false;
    }
    int rc;
    while ((rc = sqlite3_step(rows.statement_)) == SQLITE_ROW) {
        Change change;
        change.millis = sqlite3_column_int64(rows.statement_, 0);
        const sqlite3_int64 station = sqlite3_column_int64(rows.statement_, 1);
        const sqlite3_int64 number = sqlite3_column_int64(rows.statement_, 3);
        const sqlite3_int64 value = sqlite3_column_int64(rows.statement_, 4);
        change.area = Text(rows.statement_, 2);
        if (station < 0 || station > 255 || number < 0 || number > 9999 || value < 0 || value > 65535 ||
            change.area.size() != 2) {
            error = "the recording " + path + " holds a change that no line has: station " + std::to_string(station) +
                    " " + change.area + " " + std::to_string(number) + " = " + std::to_string(value);
            return false;
        }
        change.station = static_cast<unsigned>(station);
        change.number = static_cast<unsigned>(number);
        change.value = static_cast<std::uint16_t>(value);
        recording.changes.push_back(std::move(change));
    }
    if (rc != SQLITE_DONE) return damaged();
    return true;
}

}  // namespace qel::record
