// A tag's words and its engineering values, both ways. Reading: each value's
// words (two for a 32-bit type, in the tag's word order) become the type's
// number, then raw x scale + offset. Writing: (value - offset) / scale, then
// for the integer and bcd types rounded to the nearest integer, halves away
// from zero (2.5 -> 3, -2.5 -> -3), and refused when outside the type's
// range, the message giving the range in units; float32 takes the nearest
// float and refuses NaN, infinity and a value beyond a float's range.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "session/gates/tag.h"

namespace qel::session {

// The values of `words` (a whole number of values' words). False with the
// reason in error: a bcd word that is no BCD (a nibble above 9).
bool DecodeTag(const TagSpec& spec, std::span<const std::uint16_t> words, std::vector<double>& values,
               std::string& error);

// One value's words (Words() of them, in address order). False with the
// reason in error, e.g. "4000 degC is out of range; the tag takes -3276.8 to
// 3276.7 degC".
bool EncodeTag(const TagSpec& spec, double value, std::vector<std::uint16_t>& words, std::string& error);

// The words of several values, refused whole when one does not fit.
bool EncodeTagValues(const TagSpec& spec, std::span<const double> values, std::vector<std::uint16_t>& words,
                     std::string& error);

// Whether `now` is to be published against `last` (the values published
// last): a value changed by the deadband or more, any change when the
// deadband is 0, or a different number of values.
bool PastDeadband(const TagSpec& spec, std::span<const double> last, std::span<const double> now);

}  // namespace qel::session
