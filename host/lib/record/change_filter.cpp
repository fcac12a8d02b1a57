#include "record/change_filter.h"

namespace qel::record {

std::vector<Change> ChangeFilter::Keep(const std::vector<Change>& read) {
    std::vector<Change> kept;
    for (const Change& change : read) {
        const auto [at, added] = last_.try_emplace({change.station, change.area, change.number}, change.value);
        if (!added) {
            if (at->second == change.value) continue;
            at->second = change.value;
        }
        kept.push_back(change);
    }
    return kept;
}

}  // namespace qel::record
