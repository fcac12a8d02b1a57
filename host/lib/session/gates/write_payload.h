// A write's payload, one rule for every front-end (the body of an HTTP PUT,
// an MQTT set message): a JSON number that is a whole number (42, -1, 3.0,
// 1e3) or the object {"v": N}, with JSON's whitespace around it. Refused,
// with the reason: bytes after the value, a control byte (a NUL above all),
// a key other than "v", "v" given twice, a value that is not a number, a
// fraction, a number beyond +-9e15 (well inside long long, above every
// gate's range). Written by hand rather than with a JSON library so that
// duplicate keys and trailing bytes are seen, not resolved in silence.
#pragma once

#include <string>
#include <string_view>

namespace qel::session {

struct WritePayload {
    bool ok = false;
    long long value = 0;  // a whole number's value (0 for a fraction)
    std::string refusal;  // when !ok: why, e.g. "the key \"v\" is given twice"
    double number = 0;    // the value as a number, a fraction included
};

// `fractional`: a number with a fraction is taken too (a tag's value in its
// units, scaled to words by the tag); every other rule stays.
WritePayload ParseWritePayload(std::string_view payload, bool fractional = false);

// What a payload should look like, for the messages.
inline constexpr const char* kWritePayloadForm = "a whole number or {\"v\": N}";
inline constexpr const char* kTagPayloadForm = "a number or {\"v\": N}";

}  // namespace qel::session
