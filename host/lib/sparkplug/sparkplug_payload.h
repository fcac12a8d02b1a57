// A Sparkplug B payload as plain values, and its protobuf wire form
// (protobuf-c underneath; nothing of it shows here). Only what the node
// sends and reads: metrics of Int16, Int32, Int64, UInt16, UInt32, Float,
// Double, Boolean, String and Bytes, with a quality and a tag's unit,
// description and range in their properties.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qel::sparkplug {

// The Sparkplug B datatypes the node uses, by their numbers on the wire.
enum class DataType : std::uint32_t {
    Int16 = 2,
    Int32 = 3,
    Int64 = 4,
    UInt16 = 6,
    UInt32 = 7,
    UInt64 = 8,
    Float = 9,
    Double = 10,
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
    std::uint64_t number = 0;  // Int16/32/64 (two's complement), UInt16/32/64, Boolean (0/1)
    double real = 0;           // Float, Double
    std::string text;          // String, or the bytes of Bytes
    std::optional<Quality> quality;
    std::string reason;  // with a bad quality: why, as the "Reason" property
    // A tag's properties, in the birth: "engUnit" and "description"
    // (String), "engLow" and "engHigh" (Double); empty or none: left out.
    std::string engUnit;
    std::string description;
    std::optional<double> engLow, engHigh;
};

// A metric's value as a number, whatever its numeric datatype (Int16 and
// Int32 signed as the wire carries them in 32 bits); nullopt for a null,
// a String or Bytes.
std::optional<double> MetricNumber(const Metric& metric);

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
