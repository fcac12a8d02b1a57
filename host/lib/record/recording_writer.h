// A recording on disk: changes appended in the order they were read, in
// SQLite (WAL mode, an append one transaction, as the broker's queue keeps
// its messages). Bounded as that queue is (store/store_limits.h: a size, an
// age, or both), the oldest changes dropped first and counted. The file
// also keeps when the recording last saw the line (`ended`), so that a
// replay knows how long the night was after its last change.
//
// One writer at a time: a second one on the same file is refused while the
// first has it open; readers (an export, a replay) may read meanwhile.
// Thread-safe: one connection behind a mutex.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "record/change.h"
#include "store/store_limits.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qel::record {

struct RecordingCounts {
    std::uint64_t changes = 0;   // in the file
    std::uint64_t bytes = 0;     // as StoreLimits counts them
    std::uint64_t dropped = 0;   // dropped for the bound since Open
};

class RecordingWriter {
public:
    RecordingWriter() = default;
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Opens (or makes) `path`; a recording made earlier goes on. False with
    // a reason; then Damaged() says whether the file is at fault (not a
    // database, damaged, or another kind of database) rather than the place
    // or another writer.
    bool Open(const std::string& path, const store::StoreLimits& limits, std::string& error);
    bool Damaged() const { return damaged_; }
    void Close();
    const std::string& Path() const { return path_; }

    // Appends in one transaction, notes `nowMillis` as the recording's end,
    // then drops the oldest beyond the bound. False with a reason when
    // nothing was appended (a full disk).
    bool Append(const std::vector<Change>& changes, std::int64_t nowMillis, std::string& error);
    // Notes `nowMillis` as the recording's end, with no change.
    bool Mark(std::int64_t nowMillis, std::string& error);
    RecordingCounts Counts() const;

private:
    bool Exec(const char* sql, std::string& error);
    bool NoteEnd(std::int64_t nowMillis, std::string& error);
    bool DropOldest(std::int64_t nowMillis, std::string& error);
    std::string Error(const char* what) const;

    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* end_ = nullptr;
    int lock_ = -1;  // the descriptor that holds the writer's lock
    std::string path_;
    bool damaged_ = false;
    store::StoreLimits limits_;
    std::uint64_t changes_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace qel::record
