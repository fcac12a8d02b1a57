// Which values read are changes: the first value seen of an element, and
// every value that differs from the last one kept for it. A round that reads
// the same values again keeps nothing. Not thread-safe: its owner locks.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "record/change.h"

namespace qel::record {

class ChangeFilter {
public:
    // The values that are changes, in the order given; each becomes the
    // last kept value of its element.
    std::vector<Change> Keep(const std::vector<Change>& read);
    // Forgets every element: the next value of each is a change again.
    void Forget() { last_.clear(); }
    std::size_t Elements() const { return last_.size(); }

private:
    std::map<std::tuple<unsigned, std::string, unsigned>, std::uint16_t> last_;
};

}  // namespace qel::record
