#include "store/write_failures.h"

namespace qel::store {

std::string WriteFailures::Failed(const std::string& what, const std::string& error, std::uint64_t lost) {
    std::lock_guard lock(mutex_);
    lostTotal_ += lost;
    lostInEpisode_ += lost;
    if (failing_) return {};
    failing_ = true;
    error_ = error;
    return what + " takes no messages: " + error;
}

void WriteFailures::Lost(std::uint64_t lost) {
    std::lock_guard lock(mutex_);
    lostTotal_ += lost;
    lostInEpisode_ += lost;
}

std::string WriteFailures::Succeeded(const std::string& what) {
    std::lock_guard lock(mutex_);
    if (!failing_) return {};
    failing_ = false;
    error_.clear();
    const std::uint64_t lost = lostInEpisode_;
    lostInEpisode_ = 0;
    return what + " takes messages again; " + std::to_string(lost) + (lost == 1 ? " message" : " messages") +
           " dropped while it failed";
}

bool WriteFailures::Failing() const {
    std::lock_guard lock(mutex_);
    return failing_;
}

std::string WriteFailures::Error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::uint64_t WriteFailures::LostTotal() const {
    std::lock_guard lock(mutex_);
    return lostTotal_;
}

}  // namespace qel::store
