#include "fair_queue.h"

#include <algorithm>

namespace qelgate {

void FairQueue::Push(std::unique_ptr<Job> job) {
    auto& queue = waiting_[job->client];
    if (queue.empty()) turn_.push_back(job->client);
    queue.push_back(std::move(job));
}

std::unique_ptr<Job> FairQueue::Pop() {
    if (turn_.empty()) return nullptr;
    const std::uint64_t client = turn_.front();
    turn_.pop_front();
    auto found = waiting_.find(client);
    std::unique_ptr<Job> job = std::move(found->second.front());
    found->second.pop_front();
    if (found->second.empty()) waiting_.erase(found);
    else turn_.push_back(client);
    return job;
}

std::size_t FairQueue::Drop(std::uint64_t client) {
    auto found = waiting_.find(client);
    if (found == waiting_.end()) return 0;
    const std::size_t dropped = found->second.size();
    waiting_.erase(found);
    turn_.erase(std::remove(turn_.begin(), turn_.end(), client), turn_.end());
    return dropped;
}

}  // namespace qelgate
