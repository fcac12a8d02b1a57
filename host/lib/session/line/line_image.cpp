#include "session/line/line_image.h"

#include <algorithm>

#include "session/line/exchange_cover.h"

namespace qel::session {

std::uint64_t LineImage::Key(std::uint32_t station, std::uint32_t area, std::int32_t dataType,
                             std::uint32_t element) {
    return (std::uint64_t{station & 0xFFu} << 56) | (std::uint64_t{area & 0xFFFFu} << 40) |
           (std::uint64_t{dataType == DATA_TYPE_BIT ? 1u : 0u} << 32) | element;
}

void LineImage::Store(const LineExchange& read, SchedulerClock::time_point at) {
    const GateTransfer& t = read.transfer;
    for (std::uint32_t i = 0; i < ElementCount(t); ++i)
        values_[Key(t.station, t.areaCode, t.dataType, t.element + i)] = {ValueAt(read, i), at};
}

void LineImage::Forget(const GateTransfer& t) {
    // The same elements in both numberings of the area: a write of the
    // other data type is taken to touch the whole area.
    for (const std::int32_t type : {DATA_TYPE_WORD, DATA_TYPE_BIT}) {
        const bool same = type == t.dataType;
        const auto first = values_.lower_bound(Key(t.station, t.areaCode, type, same ? t.element : 0));
        const auto last = values_.upper_bound(
            Key(t.station, t.areaCode, type, same ? t.element + ElementCount(t) - 1 : 0xFFFFFFFFu));
        values_.erase(first, last);
    }
}

void LineImage::ForgetStation(unsigned station) {
    values_.erase(values_.lower_bound(Key(station, 0, DATA_TYPE_WORD, 0)),
                  values_.upper_bound(Key(station, 0xFFFFu, DATA_TYPE_BIT, 0xFFFFFFFFu)));
}

bool LineImage::Fill(LineExchange& read, SchedulerClock::time_point oldest, SchedulerClock::time_point& readAt) const {
    const GateTransfer& t = read.transfer;
    SchedulerClock::time_point first = SchedulerClock::time_point::max();
    // Looked up before anything is written: a read that misses leaves its slots alone.
    auto at = values_.find(Key(t.station, t.areaCode, t.dataType, t.element));
    for (std::uint32_t i = 0; i < ElementCount(t); ++i, ++at) {
        if (at == values_.end() || at->first != Key(t.station, t.areaCode, t.dataType, t.element + i) ||
            at->second.at < oldest)
            return false;
        first = std::min(first, at->second.at);
    }
    at = values_.find(Key(t.station, t.areaCode, t.dataType, t.element));
    for (std::uint32_t i = 0; i < ElementCount(t); ++i, ++at) SetValueAt(read, i, at->second.value);
    readAt = first;
    return true;
}

void LineImage::Prune(SchedulerClock::time_point oldest) {
    std::erase_if(values_, [&](const auto& entry) { return entry.second.at < oldest; });
}

}  // namespace qel::session
