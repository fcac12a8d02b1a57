#include "session/line/line_poller.h"

#include <algorithm>
#include <cstdio>

namespace qel::session {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

LinePoller::LinePoller(LineScheduler& line) : reads_(line, kClient) {}

LinePoller::~LinePoller() { Stop(); }

bool LinePoller::Prepare(const std::string& path, const GateCheck& check, const plan::Driver& driver,
                         const plan::PlanOptions& options, std::string& error) {
    GateListSource source;
    source.file = path;
    source.period = kDefaultPeriod;
    const auto any = [](std::size_t, const ListedGate&, std::string&) { return true; };
    return reads_.Prepare(source, check, any, driver, options, error);
}

std::string LinePoller::Describe() const {
    std::string periods;
    for (const double period : reads_.Periods()) {
        char text[32];
        std::snprintf(text, sizeof text, "%g s", period);
        periods += (periods.empty() ? "" : ", ") + std::string(text);
    }
    return "polling " + std::to_string(reads_.Gates().size()) + " gates (" + std::to_string(reads_.Exchanges()) +
           " exchanges, every " + periods + ")";
}

double LinePoller::ShortestPeriod() const {
    const std::vector<double> periods = reads_.Periods();
    return periods.empty() ? 0 : *std::min_element(periods.begin(), periods.end());
}

void LinePoller::Start() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        rounds_ = 0;
    }
    reads_.Start(Clock::now());
    thread_ = std::thread([this] { Run(); });
}

void LinePoller::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

std::uint64_t LinePoller::Rounds() const {
    std::lock_guard lock(mutex_);
    return rounds_;
}

void LinePoller::Run() {
    std::vector<std::size_t> read;
    LineSnapshot line;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            const Clock::time_point until = reads_.NextDue(Clock::now() + std::chrono::seconds(1));
            wake_.wait_until(lock, until, [&] { return stopping_; });
            if (stopping_) return;
        }
        if (!reads_.RunDue(read, line)) continue;
        std::lock_guard lock(mutex_);
        ++rounds_;
    }
}

}  // namespace qel::session
