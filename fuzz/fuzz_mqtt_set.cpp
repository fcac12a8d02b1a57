// The write payload parser every front-end shares (an MQTT set, an HTTP PUT's
// body): any bytes. A payload it takes is one JSON value with nothing after
// it: the number it gives is a whole number within +-9e15, the same when the
// payload is given again in the {"v":N} form, and refused once a NUL and
// more bytes follow, once "v" is given twice or another key beside it; a
// payload with a control byte other than JSON's whitespace is never taken.
// Every refusal has a reason. The value is then range-checked against a
// word gate as the front-ends do.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "session/gates/write_payload.h"
#include "session/gates/write_value.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using qel::session::ParseWritePayload;
    const std::string payload(reinterpret_cast<const char*>(data), size);
    const qel::session::WritePayload parsed = ParseWritePayload(payload);
    Require(parsed.ok == parsed.refusal.empty());
    bool control = false;
    for (const char c : payload) {
        const auto byte = static_cast<unsigned char>(c);
        control = control || (byte < 0x20 && byte != ' ' && byte != '\t' && byte != '\n' && byte != '\r') || byte == 0x7f;
    }
    if (control) Require(!parsed.ok);
    if (!parsed.ok) return 0;
    const long long value = parsed.value;
    Require(value >= -9000000000000000LL && value <= 9000000000000000LL);
    Require(!payload.empty());
    // The same number in the object form, and cut off by a NUL and junk.
    const std::size_t first = payload.find_first_not_of(" \t\n\r");
    Require(first != std::string::npos);
    if (payload[first] != '{') {
        const qel::session::WritePayload wrapped = ParseWritePayload("{\"v\":" + payload + "}");
        Require(wrapped.ok && wrapped.value == value);
        Require(!ParseWritePayload("{\"v\":" + payload + ",\"v\":" + payload + "}").ok);
        Require(!ParseWritePayload("{\"v\":" + payload + ",\"w\":1}").ok);
    }
    Require(!ParseWritePayload(payload + std::string(1, '\0') + "1").ok);
    Require(!ParseWritePayload(payload + "x").ok);
    GateDefinition word{};
    word.areaCode = AREA_DR;
    const std::string refusal = qel::session::RefuseValue(word, DATA_TYPE_WORD, value);
    Require(refusal.empty() == (value >= 0 && value <= 65535));
    return 0;
}
