// Collects what a queue hands back over time: `take()` gives a vector of
// what finished since the last call, `pause()` waits a moment for more.
// Stops at `count` items or after 5 s, whichever comes first.
#pragma once

#include <chrono>
#include <cstddef>
#include <utility>

namespace testsupport {

template <typename Take, typename Pause>
auto TakeUntil(std::size_t count, Take take, Pause pause) {
    decltype(take()) all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
        for (auto& item : take()) all.push_back(std::move(item));
        if (all.size() < count) pause();
    }
    return all;
}

}  // namespace testsupport
