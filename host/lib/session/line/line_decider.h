// LineDecider: the line scheduler's decisions (line_scheduler.h tells its
// rules) without a thread, a driver or a clock of its own. It holds the
// queue, each client's requests in order, and each station's health; the
// caller asks it what to do next at a time it gives, does it, and tells it
// what came of it. Tests drive it with scripted times.
//
// Shared exchanges (always on). A read request joins reads already queued
// when every one of its exchanges is covered (exchange_cover.h Covers) by a
// read exchange of another client's request for the same station that has
// not started (no attempt yet, not under way) and does not ride on another
// itself, of a client not held (Hold), and no write that touches its gates is waiting or under way, from
// any client (the read would miss it). The exchange it joined answers it:
// each joined exchange gets its own slice of the values, or the exchange's
// failure. The joined request keeps its place in its client's queue and is
// handed back when it is its client's next (LineAction::Answer), so each
// client gets its answers in the order it asked. Its exchanges that were
// not run because the request it joined failed or left first run on their
// own. After a read answers a client, a queued read that covers that read
// waits up to `joinWait` for the client to ask again (the read it asks then
// joins it) before it goes to the line.
//
// The line image (`maxAge` above 0; line_image.h). Every read that succeeds
// stores its values with the time its attempt began; a read that fails and
// every write remove their elements, a write when it is queued and again
// when it is done; a station's values go when it is held down. A read
// request that is its client's next, for a station that is up, with no
// write to its gates waiting, whose every element has a value no older than
// `maxAge`, is answered at once from the image (Push gives
// Pushed::Answered) unless it asks for the line (LineRequest::fromLine).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "session/line/attempt_runner.h"
#include "session/line/line_image.h"
#include "session/line/line_request.h"
#include "session/line/line_stats.h"
#include "session/line/scheduler_options.h"
#include "vuzorur.h"

namespace qel::session {

// Per-station health as the decisions see it.
struct StationHealth {
    StationState state = StationState::Up;
    SchedulerClock::time_point since{};
    SchedulerClock::time_point lastAnswer{};  // epoch: never
    SchedulerClock::time_point retryAt{};     // no attempt before this
    SchedulerClock::time_point probeAt{};     // down: the next probe; absent: the next try a request may make
    Millis backoff{0};                        // down: the pause after the next failed probe
    std::array<float, 16> recent{};           // seconds, the last answers (ring)
    std::uint8_t recentCount = 0, recentNext = 0;
    std::uint8_t silent = 0;                  // attempts in a row that got nothing at all
};

// What to do next.
struct LineAction {
    // Answer: the request's exchanges were answered by the exchanges it
    // joined; it is finished without line time (call Answered).
    enum Kind { Idle, Wait, Attempt, FailDown, Probe, Reopen, Answer } kind = Idle;
    LineRequest* request = nullptr;             // Attempt, FailDown, Answer
    unsigned station = 0;                       // Attempt, FailDown, Probe
    Millis timeout{0};                          // Attempt, Probe
    SchedulerClock::time_point until{};         // Wait
    FailureKind failure = FailureKind::Down;    // FailDown: Down, or Port while the port is closed
};

// What Push did with a request.
enum class Pushed {
    Queued,    // behind its client's others, to run on the line
    Joined,    // queued, each exchange riding on a queued read of another request
    Answered,  // answered from the line image: finished (outcome set), not queued
};

// What sharing saved, for the statistics.
struct ShareCounts {
    std::uint64_t sharedRequests = 0;  // requests answered (in part) by exchanges they joined
    std::uint64_t imageRequests = 0;   // requests answered from the image
    std::uint64_t exchangesSaved = 0;  // exchanges these did not run
    double imageAgeSum = 0;            // seconds: the age of each image answer's oldest value
    double imageAgeMax = 0;
};

class LineDecider {
public:
    explicit LineDecider(const SchedulerOptions& options);

    // Queues a request behind its client's others, joining queued reads or
    // answered from the image as the rules above allow; its outcome is
    // cleared.
    Pushed Push(LineRequest* request, SchedulerClock::time_point now);
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

    // A held client (one that does not read its answers) gets no share of
    // the line, only the time no other client wants, until it is let go.
    // Holding outlives its queue; Drop ends it. Reads of others riding on
    // its exchanges run on their own, and none joins them while it is held.
    void Hold(std::uint64_t client, bool held);
    bool Held(std::uint64_t client) const { return held_.count(client) != 0; }
    // Stopping: from now on only the requests that have begun on the line go
    // on (all their exchanges); the others are not begun.
    void BegunOnly(bool only = true) { begunOnly_ = only; }
    // Whether a queued request has begun on the line and is not finished.
    bool AnyBegun() const;
    // After Attempt: true when the request is finished (outcome set).
    bool Attempted(LineRequest& request, const AttemptOutcome& outcome, SchedulerClock::time_point now);
    // After FailDown: the request is finished (a line failure with this
    // failure; done for a request without exchanges, FailureKind::None).
    void FailedDown(LineRequest& request, FailureKind failure);
    // After Answer: the request is finished with its exchanges' outcome.
    void Answered(LineRequest& request, SchedulerClock::time_point now);
    // After Probe.
    void Probed(unsigned station, const AttemptOutcome& outcome, SchedulerClock::time_point now);
    // After Reopen: whether the port is open again.
    void Reopened(bool open, SchedulerClock::time_point now);
    // The port failed: the next action is a reopen.
    void PortFailed(SchedulerClock::time_point now);

    const StationHealth& Health(unsigned station) const { return health_[station % STATION_COUNT]; }
    bool PortOpen() const { return portOpen_; }
    Millis TimeoutFor(unsigned station, SchedulerClock::time_point now) const;
    // Whether a request for the station is failed at once, without the
    // line: down or probing, or absent and tried too lately to try again.
    bool HeldDown(unsigned station, SchedulerClock::time_point now) const;
    const ShareCounts& Shares() const { return shares_; }
    const SchedulerOptions& Options() const { return options_; }
    const LineImage& Image() const { return image_; }

private:
    enum class Turn { Run, Ride, Done };
    // A client's next request: Run its current exchange on the line, Ride
    // (an exchange it joined is not answered yet), or Done (every exchange
    // answered, or one of them failed).
    Turn Settle(LineRequest& request);
    bool TryJoin(LineRequest& request);
    bool FromImage(LineRequest& request, SchedulerClock::time_point now);
    bool WritePending(const GateTransfer& read) const;
    // Answers the exchanges riding on this one with its outcome and values.
    void AnswerRiders(LineExchange& exchange);
    // Before a request leaves the queue: its riders are answered, or run on
    // their own when their exchange did not run; it stops riding.
    void Unlink(LineRequest& request);
    // Whether a read that is about to go should wait for a client it
    // answered lately to ask again; until when.
    bool HoldFor(const LineRequest& request, SchedulerClock::time_point now, SchedulerClock::time_point& until);
    // A finished request leaves its client's queue; an emptied queue goes.
    void Finish(LineRequest& request, SchedulerClock::time_point now = {});
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
        // The line time charged to it (ms, from where the share started
        // counting); set when the queue is first looked at.
        double used = 0;
        bool placed = false;
    };
    static bool Begun(const LineRequest& request, const LineRequest* underWay);
    // The line time of an attempt goes to its client's account.
    void Charge(std::uint64_t client, double ms);
    std::deque<ClientQueue> clients_;  // clients with requests waiting, next turn first
    std::size_t depth_ = 0;
    LineRequest* underWay_ = nullptr;
    SchedulerClock::time_point startedAt_{};  // when the attempt under way was handed out
    // Clients a read answered lately, with what they read, until when a
    // read that covers it waits for them.
    struct Returning {
        std::uint64_t client;
        SchedulerClock::time_point until;
        std::vector<GateTransfer> reads;
    };
    std::vector<Returning> returning_;
    LineImage image_;
    SchedulerClock::time_point pruned_{};
    ShareCounts shares_;
    // The fair share of line time: the client with the least charged goes
    // next. `virtual_` is the charge of the client last chosen; a client
    // that comes (back) starts there, or at its own charge while that is
    // higher (remembered in `charged_` after its queue emptied), so coming
    // and going buys no more than its share.
    double virtual_ = 0;
    std::map<std::uint64_t, double> charged_;
    std::set<std::uint64_t> held_;
    bool begunOnly_ = false;
    bool portOpen_ = true;
    SchedulerClock::time_point reopenAt_{};
    Millis reopenBackoff_{0};
};

}  // namespace qel::session
