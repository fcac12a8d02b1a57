// The line scheduler: the one owner of a QEL's serial line. Callers queue
// requests (one or more exchanges for one station); the scheduler decides
// which exchange goes next from the queue and from each station's health, and
// runs the attempts itself, one driver attempt (QEL_READ_ATTEMPT,
// QEL_WRITE_ATTEMPT) at a time, so that the pauses between the attempts of one
// station are spent on the others.
//
// Rules (the defaults in brackets, SchedulerOptions):
//  * An exchange gets up to `attempts` [5] attempts. After a failed attempt
//    its station is not tried again for `retryPause` [150 ms: kRetryPause]; other
//    stations' exchanges run meanwhile. The last attempt's outcome (refused
//    or line failure) is the exchange's, as the driver's own loop would
//    have given it.
//  * Clients share the line by line time, exchange by exchange: each
//    attempt's time is charged to its client, and of the clients with a
//    request ready the one charged least goes next (a client that comes
//    back starts where the others are, or at its own charge while that is
//    higher). A request answered without the line goes at once. At equal
//    charge a client with more than `backlog` [4] requests waiting goes
//    after the clients without one, unless it has had no turn for
//    `backlogGrace` [1 s]. A held client (HoldClient) gets only the time no
//    other client wants.
//  * A request that failed on "no answer" marks its station down. Requests
//    for a down station fail at once (FailureKind::Down, a line failure). A down
//    station is probed with one attempt of `probeTimeout` [100 ms] when the
//    line has nothing else to do, or ahead of the queue once the probe is
//    overdue; the probes back off 1 s, 2 s, 4 s ... up to `downHold` [10 s].
//    Any answer (a Nak or a garbled reply too) brings it back up at once.
//    A request begun (its first attempt made) runs to its end although its
//    client went away (DropClient), so that its station is judged.
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
// The parts: LineDecider (line_decider.h) takes the decisions and holds the
// queue, seeing only the requests, the stations' health and a time that the
// caller passes in; an AttemptRunner (attempt_runner.h) runs one attempt,
// probe or reopening, DriverAttempts (driver_attempts.h) through the driver,
// judging block trailers; LineCounters (line_counters.h) counts for the
// Snapshot. LineScheduler owns the thread that runs the decisions and the
// hand-over of requests between the callers and that thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "session/line/line_request.h"
#include "session/line/line_stats.h"
#include "session/driver/qel_session.h"
#include "session/line/scheduler_options.h"

namespace qel::session {

class AttemptRunner;

// An element's value as a round of a gate list read it (gate_rounds.h): the
// station, the area and number as a gate address writes them ("DR" 10, "IO"
// 157), and the UTC milliseconds of the round.
struct RoundValue {
    unsigned station = 0;
    std::string area;
    unsigned number = 0;
    std::uint16_t value = 0;
    std::int64_t millis = 0;
};

// The line's owner: a thread running LineDecider's decisions against an
// AttemptRunner. Asynchronous callers Submit and collect from TakeFinished
// when WakeFd is readable; synchronous ones Call.
class LineScheduler {
public:
    // Over the driver: DriverAttempts on this session.
    LineScheduler(QelSession& line, const SchedulerOptions& options);
    // Over another runner, which outlives the scheduler.
    LineScheduler(AttemptRunner& runner, const SchedulerOptions& options);
    ~LineScheduler();
    LineScheduler(const LineScheduler&) = delete;
    LineScheduler& operator=(const LineScheduler&) = delete;

    // Called on the scheduler's thread once per turn, at least once a second
    // even when idle (a service watchdog, periodic logging). Set before Start.
    std::function<void()> onLoop;
    // Called on the scheduler's thread, with the line free between two
    // attempts, after an exchange whose last attempt the station answered
    // with less than a reply (a Nak, a short or a malformed answer; a
    // refusal a later attempt mended does not count): the caller may ask the
    // station what it is and NoteStation what it found. Set before Start.
    std::function<void(unsigned station)> onRefused;
    // Called after each round of a gate list read on this line (a
    // publisher's, the background poll's, qelhost's), on that round's
    // thread, with the values its good reads brought: so that a recording
    // shares the reads the line makes anyway and adds none. The rounds of
    // several lists may call at once. Set before the rounds begin.
    std::function<void(const std::vector<RoundValue>&)> onRoundValues;

    void Start();
    // Finishes the exchange under way, and with `finishBegun` above zero,
    // for at most that long, every request that has begun on the line (all
    // its exchanges; no other request is begun meanwhile); ends the thread,
    // and hands back the requests that were not done (no outcome; one
    // begun and cut off by the bound has `done` and `current` as it was
    // left). Requests of Call and CallAll that were not done come back to
    // their callers with no outcome.
    std::vector<std::unique_ptr<LineRequest>> Stop(SchedulerClock::duration finishBegun = {});

    void Submit(std::unique_ptr<LineRequest> request);
    // Forgets the requests of a client that went away that have not begun;
    // how many. One begun runs to its end, so that its station is judged.
    // A request of Call or CallAll forgotten comes back to its caller
    // without an outcome.
    std::size_t DropClient(std::uint64_t client);
    // A held client gets only the line time no other client wants, until it
    // is let go (one that does not read its answers); LineDecider::Hold.
    void HoldClient(std::uint64_t client, bool held);
    // Another inbox for finished requests (LineRequest::inbox), with a wake
    // descriptor of its own, for a second asynchronous caller; its number.
    // Inbox 0 is there from the start.
    std::size_t OpenInbox();
    // The requests of this inbox finished since the last call (not those of Call).
    std::vector<std::unique_ptr<LineRequest>> TakeFinished(std::size_t inbox = 0);
    // Readable while finished requests wait in the inbox's TakeFinished.
    int WakeFd(std::size_t inbox = 0) const;

    // Queues the request and waits until it is finished.
    void Call(LineRequest& request);
    // Queues these requests at once and waits until all are finished. Each
    // keeps the client its caller gave it: requests of different clients
    // take turns exchange by exchange, those of one client run in order.
    void CallAll(const std::vector<LineRequest*>& requests);

    // Reopens the line with new settings on the line's thread: first the
    // requests begun on the line are finished (all their exchanges, for at
    // most `finishBegun`; none other is begun meanwhile), as a stop does;
    // then `reopen` closes and opens the port, and the requests that were
    // waiting run on the new settings. A request the bound cut off fails as
    // a line failure (FailureKind::Port). When `reopen` fails, the usual
    // reopening with back-off follows.
    void ReopenLine(std::function<bool()> reopen, SchedulerClock::duration finishBegun = {});

    bool StationDown(unsigned station) const;
    // What a probe found the station answers as ("FA2", "FA3") and the
    // advice, for the snapshot's StationStats.
    void NoteStation(unsigned station, const std::string& answersAs, const std::string& advice);
    LineSnapshot Snapshot() const;
    const SchedulerOptions& options() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qel::session
