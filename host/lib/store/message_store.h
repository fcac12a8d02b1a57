// A queue of messages on disk, in the order they were appended, that keeps
// each one until the caller says the broker has it. SQLite in WAL mode: an
// append is one transaction, so whatever Append returned true for survives
// a kill of the process at any later moment (not a power loss of the last
// moments: synchronous=NORMAL). Bounded by StoreLimits: the oldest go first,
// and are counted. One process at a time: the file stays locked while it is
// open. Thread-safe: one connection behind a mutex.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "store/store_limits.h"

struct sqlite3;
struct sqlite3_stmt;

namespace qel::store {

struct StoredMessage {
    std::int64_t id = 0;  // ascending in the order of Append, never reused
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
    std::int64_t millis = 0;  // when the message was made, UTC milliseconds
};

struct StoreCounts {
    std::uint64_t depth = 0;          // messages in the store
    std::uint64_t bytes = 0;          // their bytes, as StoreLimits counts them
    std::int64_t oldestMillis = 0;    // the oldest one's time; 0 when empty
    std::uint64_t dropped = 0;        // dropped for the bound since Open
    std::uint64_t forwarded = 0;      // removed by Remove since Open
    std::uint64_t fileBytes = 0;      // the database and its WAL on disk
};

class MessageStore {
public:
    MessageStore() = default;
    ~MessageStore();
    MessageStore(const MessageStore&) = delete;
    MessageStore& operator=(const MessageStore&) = delete;

    // Opens (or makes) `path`, a file; what an earlier process left in it is
    // there again. False with a reason, also when another process has it;
    // then Damaged() says whether the file itself is at fault (not a
    // database, or not one of ours), rather than the place or its owner.
    bool Open(const std::string& path, const StoreLimits& limits, std::string& error);
    bool Damaged() const { return damaged_; }
    void Close();
    const std::string& Path() const { return path_; }

    // Appends in one transaction and sets their ids; then drops the oldest
    // beyond the bound (`nowMillis` for the age), adding their number to
    // `dropped`. False with a reason when nothing was appended (a full disk:
    // the caller decides what becomes of them). Dropping that fails (a full
    // disk again: a delete writes to the log too) is tried at the next Append.
    bool Append(std::vector<StoredMessage>& messages, std::int64_t nowMillis, std::uint64_t& dropped,
                std::string& error);
    // Up to `most` messages with an id above `afterId`, in order.
    std::vector<StoredMessage> Next(std::int64_t afterId, std::size_t most);
    // Removes these (the broker has them); ids no longer there are skipped.
    bool Remove(const std::vector<std::int64_t>& ids, std::string& error);
    // Whether `id` is still in the store.
    bool Contains(std::int64_t id) const;
    // Whether `id` is the newest message of its topic appended so far.
    bool IsNewest(const std::string& topic, std::int64_t id) const;
    StoreCounts Counts() const;

private:
    bool Exec(const char* sql, std::string& error);
    bool DropOldest(std::int64_t nowMillis, std::uint64_t& dropped, std::string& error);
    std::string Error(const char* what) const;

    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    sqlite3_stmt* next_ = nullptr;
    sqlite3_stmt* remove_ = nullptr;
    sqlite3_stmt* oldest_ = nullptr;
    std::string path_;
    bool damaged_ = false;
    StoreLimits limits_;
    std::uint64_t depth_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t forwarded_ = 0;
    std::map<std::string, std::int64_t> newest_;  // topic -> its newest id
};

}  // namespace qel::store
