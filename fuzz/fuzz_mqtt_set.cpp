// The MQTT front-end's set payload parser: any bytes. A payload it takes is
// one JSON value with nothing after it: the number it gives is a whole
// number within +-9e15, the same when the payload is given again in the
// {"v":N} form, and refused once a NUL and more bytes follow; a payload with
// a control byte other than JSON's whitespace is never taken. The value is
// then range-checked against a word gate as the publisher does.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mqtt/mqtt_payload.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string payload(reinterpret_cast<const char*>(data), size);
    const std::optional<long long> value = qel::mqtt::ParseSetValue(payload);
    bool control = false;
    for (const char c : payload) {
        const auto byte = static_cast<unsigned char>(c);
        control = control || (byte < 0x20 && byte != ' ' && byte != '\t' && byte != '\n' && byte != '\r');
    }
    if (control) Require(!value);
    if (!value) return 0;
    Require(*value >= -9000000000000000LL && *value <= 9000000000000000LL);
    Require(!payload.empty());
    // The same number in the object form, and cut off by a NUL and junk.
    const std::size_t first = payload.find_first_not_of(" \t\n\r");
    Require(first != std::string::npos);
    if (payload[first] != '{') {
        const std::optional<long long> wrapped = qel::mqtt::ParseSetValue("{\"v\":" + payload + "}");
        Require(wrapped && *wrapped == *value);
    }
    Require(!qel::mqtt::ParseSetValue(payload + std::string(1, '\0') + "1"));
    Require(!qel::mqtt::ParseSetValue(payload + "x"));
    GateDefinition word{};
    word.areaCode = AREA_DR;
    const std::string refusal = qel::mqtt::RefuseValue(word, DATA_TYPE_WORD, *value);
    Require(refusal.empty() == (*value >= 0 && *value <= 65535));
    return 0;
}
