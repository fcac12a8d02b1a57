// Which processes hold a character device open, found by a scan of /proc.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace qel::common {

// The processes but this one with the device `rdev` open.
std::vector<long> ProcessesHolding(dev_t rdev);

// A process's name (/proc/PID/comm), empty when it is gone.
std::string ProcessName(long pid);

}  // namespace qel::common
