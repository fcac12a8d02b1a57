#include "session/line_poller.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "session/gate_list.h"

namespace qel::session {

namespace {
using Clock = std::chrono::steady_clock;
}  // namespace

LinePoller::LinePoller(LineScheduler& line) : line_(line) {}

LinePoller::~LinePoller() { Stop(); }

bool LinePoller::Prepare(const std::string& path, const GateCheck& check, const plan::Driver& driver,
                         const plan::PlanOptions& options, std::string& error) {
    std::vector<ListedGate> listed;
    if (!ReadGateList(path, listed, error)) return false;
    std::map<double, std::vector<plan::GateRequest>> byPeriod;
    for (ListedGate& entry : listed) {
        if (!check(entry.gate)) {
            error = path + ": " + entry.gate.gas + " is not a gate the driver accepts";
            return false;
        }
        byPeriod[entry.period > 0 ? entry.period : kDefaultPeriod].push_back(
            {entry.gate.gas, entry.gate.count, entry.gate.dataType});
    }
    groups_.clear();
    gates_ = listed.size();
    for (const auto& [period, requests] : byPeriod) {
        plan::Plan plan = plan::MakePlan(requests, driver, options);
        if (!plan.rejected.empty()) {
            error = path + ": the planner cannot read " + requests[plan.rejected.front()].gas;
            return false;
        }
        Group group;
        group.period = std::chrono::duration<double>(period);
        group.transfers = std::move(plan.transfers);
        groups_.push_back(std::move(group));
    }
    return true;
}

std::string LinePoller::Describe() const {
    std::size_t exchanges = 0;
    std::string periods;
    for (const Group& group : groups_) {
        exchanges += group.transfers.size();
        char text[32];
        std::snprintf(text, sizeof text, "%g s", group.period.count());
        periods += (periods.empty() ? "" : ", ") + std::string(text);
    }
    return "polling " + std::to_string(gates_) + " gates (" + std::to_string(exchanges) + " exchanges, every " +
           periods + ")";
}

double LinePoller::ShortestPeriod() const {
    double shortest = 0;
    for (const Group& group : groups_)
        if (shortest == 0 || group.period.count() < shortest) shortest = group.period.count();
    return shortest;
}

void LinePoller::Start() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        rounds_ = 0;
    }
    const Clock::time_point now = Clock::now();
    for (Group& group : groups_) group.due = now;
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
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            Clock::time_point until = Clock::now() + std::chrono::seconds(1);
            for (const Group& group : groups_) until = std::min(until, group.due);
            wake_.wait_until(lock, until, [&] { return stopping_; });
            if (stopping_) return;
        }
        const Clock::time_point now = Clock::now();
        std::vector<Group*> due;
        std::size_t total = 0;
        for (Group& group : groups_) {
            if (group.due > now) continue;
            due.push_back(&group);
            total += group.transfers.size();
        }
        if (due.empty()) continue;
        std::vector<LineRequest> requests(total);
        std::vector<LineRequest*> calls;
        for (const Group* group : due) {
            for (const plan::Transfer& transfer : group->transfers) {
                LineRequest& request = requests[calls.size()];
                request.client = kClient;
                request.station = transfer.station;
                request.fromLine = true;
                request.exchanges.push_back(LineExchange::Read(transfer));
                calls.push_back(&request);
            }
        }
        line_.CallAll(calls);
        const Clock::time_point after = Clock::now();
        for (Group* group : due) {
            // Due again a period after it was due: the rounds keep their pace;
            // a round longer than its period goes again at once.
            group->due += std::chrono::duration_cast<Clock::duration>(group->period);
            if (group->due < after) group->due = after;
        }
        std::lock_guard lock(mutex_);
        ++rounds_;
    }
}

}  // namespace qel::session
