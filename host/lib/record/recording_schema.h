// The tables of a recording, which the writer makes and the reader checks:
// `changes` in the order they were read, and `recording`, the facts about
// the whole (what kind of file this is, when it last saw the line).
#pragma once

#include <cstdint>
#include <string>

namespace qel::record {

inline constexpr const char* kRecordingSchema =
    "CREATE TABLE IF NOT EXISTS changes(id INTEGER PRIMARY KEY AUTOINCREMENT, t INTEGER NOT NULL,"
    " station INTEGER NOT NULL, area TEXT NOT NULL, number INTEGER NOT NULL, value INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS changes_t ON changes(t);"
    "CREATE TABLE IF NOT EXISTS recording(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
    "INSERT OR IGNORE INTO recording(key, value) VALUES('kind', 'line recording 1');";

// The value of the `kind` row that makes a database a recording of ours.
inline constexpr const char* kRecordingKind = "line recording 1";

// What a change costs as the bound counts it: the row's id, time, numbers
// and index entry, roughly, and its area's letters.
inline std::uint64_t ChangeBytes(std::size_t area) { return 40 + area; }

}  // namespace qel::record
