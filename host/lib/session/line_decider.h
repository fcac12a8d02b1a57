// LineDecider: the line scheduler's decisions (line_scheduler.h tells its
// rules) without a thread, a driver or a clock of its own. It holds the
// queue, each client's requests in order, and each station's health; the
// caller asks it what to do next at a time it gives, does it, and tells it
// what came of it. Tests drive it with scripted times.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "session/attempt_runner.h"
#include "session/line_request.h"
#include "session/line_stats.h"
#include "session/scheduler_options.h"
#include "vuzorur.h"

namespace qel::session {

// Per-station health as the decisions see it.
struct StationHealth {
    StationState state = StationState::Up;
    SchedulerClock::time_point since{};
    SchedulerClock::time_point lastAnswer{};  // epoch: never
    SchedulerClock::time_point retryAt{};     // no attempt before this
    SchedulerClock::time_point probeAt{};     // down: the next probe
    Millis backoff{0};                        // down: the pause after the next failed probe
    std::array<float, 16> recent{};           // seconds, the last answers (ring)
    std::uint8_t recentCount = 0, recentNext = 0;
};

// What to do next.
struct LineAction {
    enum Kind { Idle, Wait, Attempt, FailDown, Probe, Reopen } kind = Idle;
    LineRequest* request = nullptr;             // Attempt, FailDown
    unsigned station = 0;                       // Attempt, FailDown, Probe
    Millis timeout{0};                          // Attempt, Probe
    SchedulerClock::time_point until{};         // Wait
    FailureKind failure = FailureKind::Down;    // FailDown: Down, or Port while the port is closed
};

class LineDecider {
public:
    explicit LineDecider(const SchedulerOptions& options);

    // Queues a request behind its client's others; its outcome is cleared.
    void Push(LineRequest* request, SchedulerClock::time_point now);
    // Removes a client's requests that have not begun (no attempt yet); those
    // removed. A request begun stays until it is finished, between its
    // attempts too, so that its station is judged.
    std::vector<LineRequest*> Drop(std::uint64_t client);
    std::vector<LineRequest*> DropAll();
    std::size_t Depth() const { return depth_; }
    // The first queued request for this station that has not started (no
    // attempt of its first exchange yet, not under way) and that `match`
    // takes; nullptr when there is none.
    LineRequest* FindWaiting(unsigned station, const std::function<bool(const LineRequest&)>& match) const;

    LineAction Next(SchedulerClock::time_point now);
    // After Attempt: true when the request is finished (outcome set).
    bool Attempted(LineRequest& request, const AttemptOutcome& outcome, SchedulerClock::time_point now);
    // After FailDown: the request is finished (a line failure with this
    // failure; done for a request without exchanges, FailureKind::None).
    void FailedDown(LineRequest& request, FailureKind failure);
    // After Probe.
    void Probed(unsigned station, const AttemptOutcome& outcome, SchedulerClock::time_point now);
    // After Reopen: whether the port is open again.
    void Reopened(bool open, SchedulerClock::time_point now);
    // The port failed: the next action is a reopen.
    void PortFailed(SchedulerClock::time_point now);

    const StationHealth& Health(unsigned station) const { return health_[station % STATION_COUNT]; }
    bool PortOpen() const { return portOpen_; }
    Millis TimeoutFor(unsigned station, SchedulerClock::time_point now) const;

private:
    // Whether the request has had an attempt, or has one under way.
    bool Begun(const LineRequest& request) const;
    // A finished request leaves its client's queue; an emptied queue goes.
    void Finish(LineRequest& request);
    void Remember(unsigned station, double seconds, SchedulerClock::time_point now);
    void SetState(unsigned station, StationState state, SchedulerClock::time_point now);
    void GoDown(unsigned station, SchedulerClock::time_point now);
    bool LineSilent(SchedulerClock::time_point now) const;

    SchedulerOptions options_;
    std::array<StationHealth, STATION_COUNT> health_{};
    struct ClientQueue {
        std::uint64_t client;
        std::deque<LineRequest*> requests;
        SchedulerClock::time_point lastTurn;  // its last exchange, or when it came
    };
    std::deque<ClientQueue> clients_;  // clients with requests waiting, next turn first
    std::size_t depth_ = 0;
    LineRequest* underWay_ = nullptr;
    bool portOpen_ = true;
    SchedulerClock::time_point reopenAt_{};
    Millis reopenBackoff_{0};
};

}  // namespace qel::session
