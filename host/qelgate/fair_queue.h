// The requests waiting for the line, one queue per client, served in turn:
// each client with requests waiting gets one exchange before any gets a
// second, and a client's requests keep their order.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>

#include "job.h"

namespace qelgate {

class FairQueue {
public:
    void Push(std::unique_ptr<Job> job);
    // The next client's oldest request; null when nothing waits.
    std::unique_ptr<Job> Pop();
    // Forgets the waiting requests of a client that went away; how many.
    std::size_t Drop(std::uint64_t client);
    bool Empty() const { return turn_.empty(); }

private:
    std::map<std::uint64_t, std::deque<std::unique_ptr<Job>>> waiting_;
    std::deque<std::uint64_t> turn_;  // clients with requests waiting, next first
};

}  // namespace qelgate
