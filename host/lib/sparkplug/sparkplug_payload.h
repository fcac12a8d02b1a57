// A Sparkplug B payload as plain values, and its protobuf wire form
// (protobuf-c underneath; nothing of it shows here). Only what the node
// sends and reads: metrics of Int64, UInt16, Boolean, String and Bytes, with
// a quality in their properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qel::sparkplug {

// The Sparkplug B datatypes the node uses, by their numbers on the wire.
enum class DataType : std::uint32_t {
    Int64 = 4,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Boolean = 11,
    String = 12,
    Bytes = 17,
};

// A datatype's name as Sparkplug B names it ("UInt16"), or "datatype N".
std::string DataTypeName(std::uint32_t type);

// The quality of a value, as the "Quality" property (Int32) carries it.
enum class Quality : std::int32_t {
    Bad = 0,        // the read failed: the value is the last good one, or null
    Uncertain = 64, // read, but a block whose check is not yet verified
    Good = 192,
};

struct Metric {
    std::string name;  // empty in DDATA, which names by alias
    std::optional<std::uint64_t> alias;
    DataType type = DataType::UInt16;
    std::uint64_t timestamp = 0;  // UTC milliseconds
    bool historical = false;
    bool isNull = false;
    std::uint64_t number = 0;  // Int64 (two's complement), UInt16/32/64, Boolean (0/1)
    std::string text;          // String, or the bytes of Bytes
    std::optional<Quality> quality;
    std::string reason;  // with a bad quality: why, as the "Reason" property
};

struct Payload {
    std::uint64_t timestamp = 0;
    std::optional<std::uint64_t> seq;
    std::vector<Metric> metrics;
};

std::string EncodePayload(const Payload& payload);
// False for bytes that are not a payload; metrics of other datatypes come
// with their number (int, long or boolean value) or text as it was sent.
bool DecodePayload(const std::string& bytes, Payload& payload);

// The next seq (or bdSeq): 0-255, wrapping.
std::uint64_t NextSequence(std::uint64_t seq);

// A block's words as Bytes: each little-endian, as Sparkplug packs arrays.
std::string WordBytes(const std::vector<std::uint16_t>& words);

}  // namespace qel::sparkplug
