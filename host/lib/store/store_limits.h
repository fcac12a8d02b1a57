// How big a store may grow: a size, an age, or both. The oldest messages go
// first when either is passed.
#pragma once

#include <cstdint>
#include <string>

namespace qel::store {

struct StoreLimits {
    std::uint64_t maxBytes = 0;      // the messages' bytes (topic, payload and a row's overhead); 0: no bound
    std::int64_t maxAgeMillis = 0;   // 0: no bound
};

// "100MB", "2GB", "512k", "24h", "7d", "90m", "100MB,24h": sizes in bytes
// with k, M, G (powers of 1024, an optional B or iB), ages with s, m, h, d.
// False with a reason.
bool ParseStoreLimits(const std::string& text, StoreLimits& limits, std::string& error);
// "100 MiB", "100 MiB or 24 h", "no bound".
std::string DescribeStoreLimits(const StoreLimits& limits);

}  // namespace qel::store
