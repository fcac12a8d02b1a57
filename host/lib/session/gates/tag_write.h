// Writing a tag: its engineering value to the words of its gate, and the
// line exchanges that write them. Every front-end that writes a tag (MQTT,
// Sparkplug, HTTP, Python) parses its own payload into a number and hands it
// here, so the scaling, rounding and refusals are the same everywhere.
//
// The driver writes one word an exchange: a 32-bit value is two writes in
// one request, queued together and run back to back, the word at the lower
// address first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "session/driver/qel_session.h"
#include "session/gates/tag.h"
#include "session/gates/write_allow.h"
#include "session/line/line_request.h"

namespace qel::session {

// The words for `value` on the checked gate `gate`: the tag's conversion
// (tag_convert.h), then each word as the gate takes it (write_value.h: a
// preset is 0-9999). False with the reason in error.
bool TagWriteWords(const TagSpec& spec, const Gate& gate, double value, std::vector<std::uint16_t>& words,
                   std::string& error);

// Whether the allow list holds every word the write touches.
bool AllowsTagWrite(const WriteAllowList& allow, const Gate& gate, std::size_t words);

// One write exchange per word, from the gate's first element on.
std::vector<LineExchange> TagWrites(const Gate& gate, std::span<const std::uint16_t> words);

}  // namespace qel::session
