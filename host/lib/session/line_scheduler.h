// The line scheduler: the one owner of a QEL's serial line. Callers queue
// requests (one or more exchanges for one station); the scheduler decides
// which exchange goes next from the queue and from each station's health, and
// runs the attempts itself, one driver attempt (QEL_READ_ATTEMPT,
// QEL_WRITE_ATTEMPT) at a time, so that the pauses between the attempts of one
// station are spent on the others.
//
// Rules (the defaults in brackets, SchedulerOptions):
//  * An exchange gets up to `attempts` [5] attempts. After a failed attempt
//    its station is not tried again for `retryPause` [600 ms]; other
//    stations' exchanges run meanwhile. The last attempt's result (1 or 2)
//    is the exchange's, as the driver's own loop would have given it.
//  * Clients take turns, exchange by exchange. A client with more than
//    `backlog` [4] requests waiting goes after the clients without one,
//    unless it has had no turn for `backlogGrace` [1 s].
//  * A request that failed on "no answer" marks its station down. Requests
//    for a down station fail at once (FailureKind::Down, result 2). A down
//    station is probed with one attempt of `probeTimeout` [100 ms] when the
//    line has nothing else to do, or ahead of the queue once the probe is
//    overdue; the probes back off 1 s, 2 s, 4 s ... up to `downHold` [10 s].
//    Any answer (a Nak or a garbled reply too) brings it back up at once.
//  * Time-out of an attempt: on a station that answered within the last
//    minute, three times its slowest recent answer, between `minTimeout`
//    [20 ms; the driver raises it to its own floor] and `timeout` [1 s];
//    on a station without a recent answer, and for every probe,
//    `probeTimeout`.
//  * A port failure (QEL_FAILURE_PORT), or every station that answered
//    lately falling silent together, closes the port and opens it again
//    (QEL_CLOSE_PORT, QEL_OPEN_PORT) with back-off, logging each try.
//  * A block reply whose trailer breaks its station's learned rule is a
//    failed attempt (BlockTrailers). While a station's rule is unknown, a
//    block that no trailer judged is read again and is a failed attempt
//    unless both reads give the same values.
//  * With `driverRetries` the plain operations (QEL_READ, QEL_READ_BLOCK,
//    QEL_WRITE) run instead, the driver's own attempts and pauses, and no
//    station is held down.
//
// The decisions live in LineDecider, which sees only the queue, the health
// and a clock that the caller passes in; LineScheduler runs them on a thread
// of its own against the driver.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/block_trailers.h"
#include "session/line_stats.h"
#include "session/program_name.h"
#include "session/qel_session.h"
#include "plan/scan_plan.h"
#include "session/session_options.h"
#include "vuzorur.h"

namespace qel::session {

using SchedulerClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

struct SchedulerOptions {
    bool driverRetries = false;  // the driver's own loop: plain operations, no health
    int attempts = 5;
    Millis retryPause{600};
    Millis probeTimeout{100};
    Millis minTimeout{20};
    Millis timeout{1000};     // the ceiling of a learned time-out (--timeout)
    Millis downHold{10000};   // the longest pause between two probes of a down station
    Millis firstProbe{1000};  // the first probe after a station went down
    Millis probeGrace{500};   // a probe this late goes ahead of the queue
    Millis recent{60000};     // an answer this old no longer teaches the time-out
    std::size_t backlog = 4;    // more requests waiting than this: the client goes after the others
    Millis backlogGrace{1000};  // a client without a turn for this long goes in its turn, backlog or not
};

// The options a session's settings give: --timeout as the ceiling,
// --probe-timeout, --driver-retries.
SchedulerOptions SchedulerOptionsFor(const SessionOptions& session);

// One read or write of a request.
struct LineExchange {
    bool write = false;
    GateTransfer transfer{};              // values point into `slots`
    std::vector<std::uint16_t> slots;     // slot 1 for one value, 0..count-1 for a block
    std::string gas;                      // the transfer's gas points here
    int result = -1;                      // -1: not run
    FailureKind failure = FailureKind::None;
    int attempts = 0;

    // A read of a checked gate; for a word or bit of its own `count` is 1.
    static LineExchange Read(const Gate& gate);
    static LineExchange Write(const Gate& gate, std::uint16_t value);
    // A read of the planner's transfer.
    static LineExchange Read(const plan::Transfer& planned);
    // The values read: the single value, or the block.
    std::vector<std::uint16_t> Values() const;
};

// What a caller queues: one or more exchanges for one station, run in order
// until one fails. A client's requests run in the order queued; different
// clients take turns exchange by exchange. Derive from it to carry a
// caller's own record through the queue.
struct LineRequest {
    virtual ~LineRequest() = default;
    std::uint64_t client = 0;
    unsigned station = 0;
    std::vector<LineExchange> exchanges;

    // Filled by the scheduler.
    int result = -1;                          // 0, 1, 2; -1 while queued
    FailureKind failure = FailureKind::None;  // the failed exchange's last failure
    std::size_t done = 0;                     // exchanges that succeeded
    std::size_t current = 0;                  // the exchange under way
    SchedulerClock::time_point queued{};
    SchedulerClock::time_point notBefore{};   // the next attempt's earliest time
    bool waited = false;                      // synchronous caller waiting
};

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

// The outcome of one attempt.
struct AttemptOutcome {
    int result = 0;
    FailureKind failure = FailureKind::None;
    std::chrono::duration<double> took{0};
};

// The scheduler's decisions, without a thread, a driver or a clock of its
// own: tests drive it with scripted times.
class LineDecider {
public:
    explicit LineDecider(const SchedulerOptions& options);

    void Push(LineRequest* request, SchedulerClock::time_point now);
    // Removes a client's requests (except the one under way); those removed.
    std::vector<LineRequest*> Drop(std::uint64_t client);
    std::vector<LineRequest*> DropAll();
    std::size_t Depth() const { return depth_; }

    LineAction Next(SchedulerClock::time_point now);
    // After Attempt: true when the request is finished (result set).
    bool Attempted(LineRequest& request, const AttemptOutcome& outcome, SchedulerClock::time_point now);
    // After FailDown: the request is finished (result 2; 0 for a request
    // without exchanges, FailureKind::None).
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

// The line's owner: a thread running LineDecider's decisions against the
// driver. Asynchronous callers Submit and collect from TakeFinished when
// WakeFd is readable; synchronous ones Call.
class LineScheduler {
public:
    LineScheduler(QelSession& line, const SchedulerOptions& options);
    ~LineScheduler();
    LineScheduler(const LineScheduler&) = delete;
    LineScheduler& operator=(const LineScheduler&) = delete;

    // Called on the scheduler's thread once per turn, at least once a second
    // even when idle (a service watchdog, periodic logging). Set before Start.
    std::function<void()> onLoop;

    void Start();
    // Finishes the exchange under way, ends the thread, and hands back the
    // requests that were not done (result -1).
    std::vector<std::unique_ptr<LineRequest>> Stop();

    void Submit(std::unique_ptr<LineRequest> request);
    // Forgets the waiting requests of a client that went away; how many.
    std::size_t DropClient(std::uint64_t client);
    // The requests finished since the last call (not those of Call).
    std::vector<std::unique_ptr<LineRequest>> TakeFinished();
    // Readable while finished requests wait in TakeFinished.
    int WakeFd() const { return wakeFd_; }

    // Queues the request and waits until it is finished.
    void Call(LineRequest& request);
    // Runs these requests together (each its own client, so they interleave)
    // and waits until all are finished.
    void CallAll(const std::vector<LineRequest*>& requests);

    // Reopens the line with new settings on the line's thread, after the
    // exchange under way: the requests waiting fail at once (FailureKind::Port,
    // result 2), then `reopen` closes and opens the port; when it fails, the
    // usual reopening with back-off follows.
    void ReopenLine(std::function<bool()> reopen);

    bool StationDown(unsigned station) const;
    LineSnapshot Snapshot() const;
    const SchedulerOptions& options() const { return options_; }

private:
    void Run();
    void Finish(LineRequest* request);
    AttemptOutcome RunAttempt(LineExchange& exchange, Millis timeout);
    bool Confirmed(const LineExchange& exchange, Millis timeout);
    AttemptOutcome RunProbe(unsigned station, Millis timeout);
    bool ReopenPort();
    void Count(unsigned station, const LineExchange* exchange, const AttemptOutcome& outcome, bool probe);
    void CountFinished(const LineRequest& request);

    QelSession& line_;
    SchedulerOptions options_;
    // Each station's block trailer, learned and judged on the line's thread.
    BlockTrailers trailers_{[](const std::string& line) {
        std::fprintf(stderr, "%s%s\n", MessageHead().c_str(), line.c_str());
    }};
    int wakeFd_ = -1;

    mutable std::mutex mutex_;  // the decider, the finished list, the counters
    std::condition_variable ready_;
    std::condition_variable called_;
    LineDecider decider_;
    std::vector<std::unique_ptr<LineRequest>> owned_;  // submitted, not yet finished
    std::vector<std::unique_ptr<LineRequest>> finished_;
    bool stopping_ = false;
    bool running_ = false;
    std::function<bool()> reopenLine_;  // a reopen asked for by ReopenLine
    std::thread thread_;
    std::array<std::atomic<bool>, STATION_COUNT> down_{};

    // Counters, under mutex_.
    struct Counters;
    std::unique_ptr<Counters> counters_;
};

}  // namespace qel::session
