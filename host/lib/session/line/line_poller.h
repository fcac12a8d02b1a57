// The background reads that keep the line image fresh (qelgate --poll): the
// gates of a list in the publish list's format (gate_list.h), each read at
// its period, in the scan planner's merged blocks, through the line
// scheduler as one client of its own. Its reads always go to the line
// (LineRequest::fromLine); other clients' reads may join them while they
// are queued, and they may join others'. What they read lands in the line
// image (line_image.h); the poller keeps nothing itself.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plan/scan_plan.h"
#include "session/gates/gate_rounds.h"
#include "session/line/line_scheduler.h"
#include "session/gates/write_allow.h"

namespace qel::session {

class LinePoller {
public:
    // The poller's client number on the scheduler, apart from the Modbus
    // clients' and the MQTT publisher's.
    static constexpr std::uint64_t kClient = std::uint64_t{1} << 49;
    // Gates listed without a period are read this often.
    static constexpr double kDefaultPeriod = 1.0;

    explicit LinePoller(LineScheduler& line);
    ~LinePoller();
    LinePoller(const LinePoller&) = delete;
    LinePoller& operator=(const LinePoller&) = delete;

    // Reads the list, checks its gates with the driver's check and plans
    // their reads; false with "file:line: reason" or the gate refused. Call
    // before anything else checks gates on another thread.
    bool Prepare(const std::string& path, const GateCheck& check, const plan::Driver& driver,
                 const plan::PlanOptions& options, std::string& error);
    // One line for the log: how many gates, exchanges and periods.
    std::string Describe() const;
    // The shortest period of the list, in seconds (0 before Prepare).
    double ShortestPeriod() const;
    void Start();
    // Ends the reads after the round under way.
    void Stop();
    // Rounds read since Start.
    std::uint64_t Rounds() const;

private:
    void Run();

    // The list's groups and their rounds; the values they read are the
    // image's, the poller looks at none of them.
    GateRounds reads_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::uint64_t rounds_ = 0;
    std::thread thread_;
};

}  // namespace qel::session
