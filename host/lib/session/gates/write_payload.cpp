#include "session/gates/write_payload.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace qel::session {

namespace {

constexpr long long kLimit = 9'000'000'000'000'000LL;

bool Space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

class Reader {
public:
    Reader(std::string_view text, bool fractional)
        : text_(text), fractional_(fractional), form_(fractional ? kTagPayloadForm : kWritePayloadForm) {}

    WritePayload Parse() {
        for (std::size_t i = 0; i < text_.size(); ++i) {
            const auto byte = static_cast<unsigned char>(text_[i]);
            if ((byte < 0x20 && !Space(text_[i])) || byte == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "0x%02X", byte);
                return Refuse("a control byte (" + std::string(hex) + ") at byte " + std::to_string(i + 1));
            }
        }
        SkipSpace();
        if (at_ == text_.size()) return Refuse("the payload is empty; write " + std::string(form_));
        WritePayload result = text_[at_] == '{' ? Object() : Number("the payload");
        if (!result.ok) return result;
        SkipSpace();
        if (at_ < text_.size())
            return Refuse(std::to_string(text_.size() - at_) + " bytes follow the value, from byte " +
                          std::to_string(at_ + 1));
        return result;
    }

private:
    static WritePayload Refuse(std::string why) { return {false, 0, std::move(why), 0}; }

    void SkipSpace() {
        while (at_ < text_.size() && Space(text_[at_])) ++at_;
    }

    WritePayload Object() {
        ++at_;  // '{'
        WritePayload found = Refuse("the object has no \"v\"; write {\"v\": N}");
        bool seen = false;
        SkipSpace();
        if (at_ < text_.size() && text_[at_] == '}') {
            ++at_;
            return found;
        }
        for (;;) {
            SkipSpace();
            std::string key;
            if (!String(key)) return Refuse("not JSON: a key in quotes expected at byte " + std::to_string(at_ + 1));
            if (key != "v") return Refuse("unknown key \"" + Printable(key) + "\"; write {\"v\": N}");
            if (seen) return Refuse("the key \"v\" is given twice");
            seen = true;
            SkipSpace();
            if (at_ >= text_.size() || text_[at_] != ':')
                return Refuse("not JSON: ':' expected at byte " + std::to_string(at_ + 1));
            ++at_;
            SkipSpace();
            found = Number("\"v\"");
            if (!found.ok) return found;
            SkipSpace();
            if (at_ < text_.size() && text_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < text_.size() && text_[at_] == '}') {
                ++at_;
                return found;
            }
            return Refuse("not JSON: ',' or '}' expected at byte " + std::to_string(at_ + 1));
        }
    }

    // A JSON string, its escapes decoded; false when there is none here.
    bool String(std::string& out) {
        if (at_ >= text_.size() || text_[at_] != '"') return false;
        ++at_;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char e = text_[at_++];
            switch (e) {
                case '"': case '\\': case '/': out += e; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    if (at_ + 4 > text_.size()) return false;
                    unsigned code = 0;
                    const auto [end, ec] = std::from_chars(text_.data() + at_, text_.data() + at_ + 4, code, 16);
                    if (ec != std::errc() || end != text_.data() + at_ + 4) return false;
                    at_ += 4;
                    // A key is compared with "v": any escape that is not ASCII
                    // differs from it whatever it decodes to.
                    out += code < 0x80 ? static_cast<char>(code) : '?';
                    break;
                }
                default: return false;
            }
        }
        return false;
    }

    static std::string Printable(const std::string& key) {
        std::string shown;
        for (const char c : key.substr(0, 32)) shown += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        return key.size() > 32 ? shown + "..." : shown;
    }

    // A JSON number here, as a whole number within +-9e15.
    WritePayload Number(const std::string& what) {
        const std::size_t begin = at_;
        if (at_ < text_.size() && text_[at_] == '-') ++at_;
        const std::size_t digits = at_;
        while (at_ < text_.size() && Digit(text_[at_])) ++at_;
        const bool integral = at_ > digits;
        if (!integral || (text_[digits] == '0' && at_ - digits > 1))
            return Refuse(what + " is not a number: write " + form_);
        bool whole = true;
        if (at_ < text_.size() && text_[at_] == '.') {
            whole = false;
            const std::size_t fraction = ++at_;
            while (at_ < text_.size() && Digit(text_[at_])) ++at_;
            if (at_ == fraction) return Refuse(what + " is not a number: digits expected after '.'");
        }
        if (at_ < text_.size() && (text_[at_] == 'e' || text_[at_] == 'E')) {
            whole = false;
            ++at_;
            if (at_ < text_.size() && (text_[at_] == '+' || text_[at_] == '-')) ++at_;
            const std::size_t exponent = at_;
            while (at_ < text_.size() && Digit(text_[at_])) ++at_;
            if (at_ == exponent) return Refuse(what + " is not a number: digits expected in the exponent");
        }
        const std::string_view number = text_.substr(begin, at_ - begin);
        const std::string beyond = what + " " + std::string(number) + " is beyond -9e15 to 9e15";
        if (whole) {
            long long value = 0;
            const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
            if (ec != std::errc() || value < -kLimit || value > kLimit) return Refuse(beyond);
            return {true, value, {}, static_cast<double>(value)};
        }
        double value = 0;
        const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        // Too small for a double: a fraction; too large: beyond the bound.
        if (ec == std::errc::result_out_of_range &&
            (number.find("e-") != std::string_view::npos || number.find("E-") != std::string_view::npos)) {
            if (fractional_) return {true, 0, {}, 0.0};  // below a double's least: nought in any unit
            return Refuse(what + " " + std::string(number) + " is not a whole number");
        }
        if (ec != std::errc() || !std::isfinite(value) || value < -static_cast<double>(kLimit) ||
            value > static_cast<double>(kLimit))
            return Refuse(beyond);
        if (value != std::trunc(value)) {
            if (fractional_) return {true, 0, {}, value};
            return Refuse(what + " " + std::string(number) + " is not a whole number");
        }
        return {true, static_cast<long long>(value), {}, value};
    }

    std::string_view text_;
    bool fractional_;
    const char* form_;
    std::size_t at_ = 0;
};

}  // namespace

WritePayload ParseWritePayload(std::string_view payload, bool fractional) {
    return Reader(payload, fractional).Parse();
}

}  // namespace qel::session
