// What goes on the wire: topics of gates and stations, the value payloads,
// the set payloads and their checks. No broker, no line: plain functions.
#pragma once

#include "session/gates/tag.h"
#include "session/gates/write_payload.h"
#include "session/gates/write_value.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "vuzorur.h"

namespace qel::mqtt {

// "002DR0010" -> "002/DR0010" (upper-cased); empty when the text has no
// three-digit station in front.
std::string GateTopicPart(const std::string& gas);
// "002".
std::string StationTopicPart(unsigned station);

// {"v":123,"t":1733650000123,"q":"good"}: one value, a block's values as an
// array, or null when nothing was ever read.
std::string ValuePayload(const std::optional<std::vector<std::uint16_t>>& values, bool block, std::int64_t millis,
                         const std::string& quality);
// A tag's payload (session/gates/tag.h): "v" its engineering value (an
// array for an array tag), "raw" the words as read where the tag converts
// them (a number for one word, else an array in address order), "u" its
// unit when it has one, then "t" and "q". A tag that converts nothing and
// has no unit gets ValuePayload's bytes. Words that are no value of the
// type (a bcd word with a digit above 9, a float32 NaN) give "v":null,
// "raw" and "q":"bad_value".
std::string TagPayload(const session::TagSpec& spec, const std::optional<std::vector<std::uint16_t>>& values,
                       bool block, std::int64_t millis, const std::string& quality);
// A number as JSON writes it: whole numbers without a fraction.
void SetJsonNumber(nlohmann::ordered_json& at, double value);
std::string SetResultPayload(const std::string& refusal);  // {"ok":true} for an empty refusal

// A set message's value: the rule of every write's payload
// (host/lib/session/gates/write_payload.h); a tag's set takes a fraction
// too (ParseWritePayload(payload, true)).
using session::ParseWritePayload;
// Why a value cannot be written to a gate (host/lib/session/gates/write_value.h).
using session::RefuseValue;

// Whether a gate's reading goes out: on a change of value or quality, and
// again once `every` has passed since it last went out.
struct Published {
    bool any = false;
    std::optional<std::vector<std::uint16_t>> values;
    std::string quality;
    std::chrono::steady_clock::time_point at{};
};
bool NeedsPublish(const Published& last, const std::optional<std::vector<std::uint16_t>>& values,
                  const std::string& quality, std::chrono::steady_clock::time_point now,
                  std::chrono::steady_clock::duration every);

std::int64_t UnixMillis(std::chrono::system_clock::time_point time);

}  // namespace qel::mqtt
