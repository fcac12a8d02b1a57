#include "sparkplug/sparkplug_payload.h"

#include <functional>
#include <memory>
#include <utility>

#include "sparkplug/sparkplug_b.pb-c.h"

namespace qel::sparkplug {

namespace {

using PbPayload = Qel__SparkplugB__Payload;
using PbMetric = Qel__SparkplugB__Payload__Metric;
using PbPropertySet = Qel__SparkplugB__Payload__PropertySet;
using PbPropertyValue = Qel__SparkplugB__Payload__PropertyValue;

constexpr std::uint32_t kInt32 = 3;
constexpr std::uint32_t kString = 12;

// The protobuf-c records of one payload and the memory they point into.
struct Builder {
    std::vector<std::unique_ptr<PbMetric>> metrics;
    std::vector<PbMetric*> pointers;
    std::vector<std::unique_ptr<PbPropertySet>> sets;
    std::vector<std::unique_ptr<PbPropertyValue>> values;
    std::vector<std::unique_ptr<PbPropertyValue*[]>> valueArrays;
    std::vector<std::unique_ptr<char*[]>> keyArrays;
};

char* Chars(const std::string& text) { return const_cast<char*>(text.c_str()); }

constexpr std::uint32_t kDouble = 10;

PbPropertySet* Properties(Builder& b, const Metric& m) {
    static const std::string quality = "Quality", reason = "Reason", engUnit = "engUnit",
                             description = "description", engLow = "engLow", engHigh = "engHigh";
    // Each property: its key, and how its value is set.
    std::vector<std::pair<const std::string*, std::function<void(PbPropertyValue&)>>> entries;
    if (m.quality)
        entries.emplace_back(&quality, [&m](PbPropertyValue& v) {
            v.type = kInt32;
            v.value_case = QEL__SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE;
            v.int_value = static_cast<std::uint32_t>(*m.quality);
        });
    const auto text = [&entries](const std::string& key, const std::string& value) {
        if (value.empty()) return;
        entries.emplace_back(&key, [&value](PbPropertyValue& v) {
            v.type = kString;
            v.value_case = QEL__SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
            v.string_value = Chars(value);
        });
    };
    const auto real = [&entries](const std::string& key, const std::optional<double>& value) {
        if (!value) return;
        entries.emplace_back(&key, [&value](PbPropertyValue& v) {
            v.type = kDouble;
            v.value_case = QEL__SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_DOUBLE_VALUE;
            v.double_value = *value;
        });
    };
    text(reason, m.reason);
    text(engUnit, m.engUnit);
    text(description, m.description);
    real(engLow, m.engLow);
    real(engHigh, m.engHigh);
    const std::size_t n = entries.size();
    auto set = std::make_unique<PbPropertySet>();
    qel__sparkplug_b__payload__property_set__init(set.get());
    auto keys = std::make_unique<char*[]>(n);
    auto values = std::make_unique<PbPropertyValue*[]>(n);
    for (std::size_t i = 0; i < n; ++i) {
        auto value = std::make_unique<PbPropertyValue>();
        qel__sparkplug_b__payload__property_value__init(value.get());
        value->has_type = 1;
        keys[i] = Chars(*entries[i].first);
        entries[i].second(*value);
        values[i] = value.get();
        b.values.push_back(std::move(value));
    }
    set->n_keys = set->n_values = n;
    set->keys = keys.get();
    set->values = values.get();
    b.keyArrays.push_back(std::move(keys));
    b.valueArrays.push_back(std::move(values));
    b.sets.push_back(std::move(set));
    return b.sets.back().get();
}

void Fill(Builder& b, PbMetric& pb, const Metric& m) {
    if (!m.name.empty()) pb.name = Chars(m.name);
    pb.has_alias = m.alias.has_value();
    pb.alias = m.alias.value_or(0);
    pb.has_timestamp = 1;
    pb.timestamp = m.timestamp;
    pb.has_datatype = 1;
    pb.datatype = static_cast<std::uint32_t>(m.type);
    if (m.historical) pb.has_is_historical = pb.is_historical = 1;
    if (m.quality || !m.engUnit.empty() || !m.description.empty() || m.engLow || m.engHigh)
        pb.properties = Properties(b, m);
    if (m.isNull) {
        pb.has_is_null = pb.is_null = 1;
        return;
    }
    switch (m.type) {
    case DataType::Int16:
    case DataType::Int32:
    case DataType::UInt16:
        pb.value_case = QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE;
        pb.int_value = static_cast<std::uint32_t>(m.number);
        break;
    case DataType::UInt32:  // in the 64-bit field, as Sparkplug B carries it
    case DataType::Int64:
    case DataType::UInt64:
        pb.value_case = QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE;
        pb.long_value = m.number;
        break;
    case DataType::Float:
        pb.value_case = QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_FLOAT_VALUE;
        pb.float_value = static_cast<float>(m.real);
        break;
    case DataType::Double:
        pb.value_case = QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
        pb.double_value = m.real;
        break;
    case DataType::Boolean:
        pb.value_case = QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
        pb.boolean_value = m.number != 0;
        break;
    case DataType::String:
        pb.value_case = QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE;
        pb.string_value = Chars(m.text);
        break;
    case DataType::Bytes:
        pb.value_case = QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BYTES_VALUE;
        pb.bytes_value.len = m.text.size();
        pb.bytes_value.data = reinterpret_cast<std::uint8_t*>(const_cast<char*>(m.text.data()));
        break;
    }
}

}  // namespace

std::string EncodePayload(const Payload& payload) {
    Builder b;
    for (const Metric& m : payload.metrics) {
        auto pb = std::make_unique<PbMetric>();
        qel__sparkplug_b__payload__metric__init(pb.get());
        Fill(b, *pb, m);
        b.pointers.push_back(pb.get());
        b.metrics.push_back(std::move(pb));
    }
    PbPayload pb;
    qel__sparkplug_b__payload__init(&pb);
    pb.has_timestamp = 1;
    pb.timestamp = payload.timestamp;
    pb.has_seq = payload.seq.has_value();
    pb.seq = payload.seq.value_or(0);
    pb.n_metrics = b.pointers.size();
    pb.metrics = b.pointers.data();
    std::string bytes(qel__sparkplug_b__payload__get_packed_size(&pb), '\0');
    qel__sparkplug_b__payload__pack(&pb, reinterpret_cast<std::uint8_t*>(bytes.data()));
    return bytes;
}

bool DecodePayload(const std::string& bytes, Payload& payload) {
    PbPayload* pb = qel__sparkplug_b__payload__unpack(nullptr, bytes.size(),
                                                       reinterpret_cast<const std::uint8_t*>(bytes.data()));
    if (!pb) return false;
    payload = {};
    payload.timestamp = pb->timestamp;
    if (pb->has_seq) payload.seq = pb->seq;
    for (std::size_t i = 0; i < pb->n_metrics; ++i) {
        const PbMetric& in = *pb->metrics[i];
        Metric m;
        if (in.name) m.name = in.name;
        if (in.has_alias) m.alias = in.alias;
        m.type = static_cast<DataType>(in.datatype);
        m.timestamp = in.timestamp;
        m.historical = in.has_is_historical && in.is_historical;
        m.isNull = in.has_is_null && in.is_null;
        switch (in.value_case) {
        case QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_INT_VALUE: m.number = in.int_value; break;
        case QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_LONG_VALUE: m.number = in.long_value; break;
        case QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE: m.number = in.boolean_value ? 1 : 0; break;
        case QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_FLOAT_VALUE: m.real = in.float_value; break;
        case QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE: m.real = in.double_value; break;
        case QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_STRING_VALUE: m.text = in.string_value; break;
        case QEL__SPARKPLUG_B__PAYLOAD__METRIC__VALUE_BYTES_VALUE:
            m.text.assign(reinterpret_cast<const char*>(in.bytes_value.data), in.bytes_value.len);
            break;
        default:
            if (!m.isNull) m.isNull = true;  // a value the node does not take (a data set, ...)
            break;
        }
        if (in.properties)
            for (std::size_t k = 0; k < in.properties->n_keys && k < in.properties->n_values; ++k) {
                const PbPropertyValue& v = *in.properties->values[k];
                const std::string key = in.properties->keys[k];
                if (key == "Quality" && v.value_case == QEL__SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_INT_VALUE)
                    m.quality = static_cast<Quality>(v.int_value);
                else if (v.value_case == QEL__SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE) {
                    if (key == "Reason") m.reason = v.string_value;
                    if (key == "engUnit") m.engUnit = v.string_value;
                    if (key == "description") m.description = v.string_value;
                } else if (v.value_case == QEL__SPARKPLUG_B__PAYLOAD__PROPERTY_VALUE__VALUE_DOUBLE_VALUE) {
                    if (key == "engLow") m.engLow = v.double_value;
                    if (key == "engHigh") m.engHigh = v.double_value;
                }
            }
        payload.metrics.push_back(std::move(m));
    }
    qel__sparkplug_b__payload__free_unpacked(pb, nullptr);
    return true;
}

std::optional<double> MetricNumber(const Metric& m) {
    if (m.isNull) return std::nullopt;
    switch (m.type) {
    case DataType::Int16:
    case DataType::Int32: return static_cast<std::int32_t>(static_cast<std::uint32_t>(m.number));
    case DataType::Int64: return static_cast<double>(static_cast<std::int64_t>(m.number));
    case DataType::UInt16:
    case DataType::UInt32:
    case DataType::UInt64:
    case DataType::Boolean: return static_cast<double>(m.number);
    case DataType::Float:
    case DataType::Double: return m.real;
    case DataType::String:
    case DataType::Bytes: break;
    }
    // Other integer datatypes (Int8, UInt8) carry their number as sent.
    if (m.type == static_cast<DataType>(1)) return static_cast<std::int32_t>(static_cast<std::uint32_t>(m.number));
    if (m.type == static_cast<DataType>(5)) return static_cast<double>(m.number);
    return std::nullopt;
}

std::uint64_t NextSequence(std::uint64_t seq) { return (seq + 1) % 256; }

std::string DataTypeName(std::uint32_t type) {
    static const char* const kNames[] = {"Unknown", "Int8",    "Int16",   "Int32",    "Int64",  "UInt8",   "UInt16",
                                         "UInt32",  "UInt64",  "Float",   "Double",   "Boolean", "String", "DateTime",
                                         "Text",    "UUID",    "DataSet", "Bytes",    "File",   "Template"};
    if (type < sizeof kNames / sizeof kNames[0]) return kNames[type];
    return "datatype " + std::to_string(type);
}

std::string WordBytes(const std::vector<std::uint16_t>& words) {
    std::string bytes;
    for (const std::uint16_t w : words) {
        bytes += static_cast<char>(w & 0xff);
        bytes += static_cast<char>(w >> 8);
    }
    return bytes;
}

}  // namespace qel::sparkplug
