#include "sparkplug/tag_metric.h"

#include <cstdint>

namespace qel::sparkplug {

DataType TagDataType(const session::TagSpec& spec) {
    using session::TagType;
    if (spec.type == TagType::Bool) return DataType::Boolean;
    if (spec.scale != 1 || spec.offset != 0) return DataType::Double;
    switch (spec.type) {
    case TagType::Int16: return DataType::Int16;
    case TagType::Int32: return DataType::Int32;
    case TagType::UInt32:
    case TagType::Bcd32: return DataType::UInt32;
    case TagType::Float32: return DataType::Float;
    default: return DataType::UInt16;
    }
}

void SetMetricValue(Metric& m, double value) {
    if (m.type == DataType::Float || m.type == DataType::Double) m.real = value;
    else if (m.type == DataType::Int16 || m.type == DataType::Int32)
        m.number = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
    else m.number = static_cast<std::uint64_t>(value);
}

void SetTagProperties(Metric& m, const session::TagSpec& spec, bool block) {
    m.engUnit = spec.unit;
    m.description = spec.desc;
    if (const auto range = spec.Range(); range && !block) {
        m.engLow = range->first;
        m.engHigh = range->second;
    }
}

}  // namespace qel::sparkplug
