#include "mqtt/mqtt_payload.h"

#include <cctype>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "session/gates/gate_address.h"
#include "session/gates/tag_convert.h"

namespace qel::mqtt {

std::string GateTopicPart(const std::string& gas) {
    if (gas.size() < 4 || !std::isdigit(static_cast<unsigned char>(gas[0])) ||
        !std::isdigit(static_cast<unsigned char>(gas[1])) || !std::isdigit(static_cast<unsigned char>(gas[2])))
        return {};
    std::string part = gas.substr(0, 3) + "/";
    for (std::size_t i = 3; i < gas.size(); ++i)
        part += static_cast<char>(std::toupper(static_cast<unsigned char>(gas[i])));
    return part;
}

std::string StationTopicPart(unsigned station) { return session::StationText(station); }

std::string ValuePayload(const std::optional<std::vector<std::uint16_t>>& values, bool block, std::int64_t millis,
                         const std::string& quality) {
    nlohmann::ordered_json payload;
    if (!values || values->empty()) payload["v"] = nullptr;
    else if (block) payload["v"] = *values;
    else payload["v"] = values->front();
    payload["t"] = millis;
    payload["q"] = quality;
    return payload.dump();
}

void SetJsonNumber(nlohmann::ordered_json& at, double value) {
    value = session::TidyValue(value);
    if (value == std::trunc(value) && std::fabs(value) < 9e15) at = static_cast<std::int64_t>(value);
    else at = value;
}

std::string TagPayload(const session::TagSpec& spec, const std::optional<std::vector<std::uint16_t>>& values,
                       bool block, std::int64_t millis, const std::string& quality) {
    if (spec.Identity() && spec.unit.empty()) return ValuePayload(values, block, millis, quality);
    nlohmann::ordered_json payload;
    std::vector<double> engineering;
    std::string error;
    const bool any = values && !values->empty();
    const bool decoded = any && session::DecodeTag(spec, *values, engineering, error);
    if (!decoded || engineering.empty()) {
        payload["v"] = nullptr;
    } else if (block) {
        payload["v"] = nlohmann::ordered_json::array();
        for (const double v : engineering) SetJsonNumber(payload["v"].emplace_back(), v);
    } else {
        SetJsonNumber(payload["v"], engineering.front());
    }
    if (any && !spec.Identity()) {
        if (values->size() == 1) payload["raw"] = values->front();
        else payload["raw"] = *values;
    }
    if (!spec.unit.empty()) payload["u"] = spec.unit;
    payload["t"] = millis;
    payload["q"] = any && !decoded ? std::string("bad_value") : quality;
    return payload.dump();
}

std::string SetResultPayload(const std::string& refusal) {
    nlohmann::ordered_json payload;
    payload["ok"] = refusal.empty();
    if (!refusal.empty()) payload["reason"] = refusal;
    return payload.dump();
}

bool NeedsPublish(const Published& last, const std::optional<std::vector<std::uint16_t>>& values,
                  const std::string& quality, std::chrono::steady_clock::time_point now,
                  std::chrono::steady_clock::duration every) {
    if (!last.any || last.quality != quality) return true;
    if (last.values != values) return true;
    return now - last.at >= every;
}

std::int64_t UnixMillis(std::chrono::system_clock::time_point time) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

}  // namespace qel::mqtt
