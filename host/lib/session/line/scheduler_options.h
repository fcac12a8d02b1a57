// The line scheduler's rules in numbers (line_scheduler.h tells the rules),
// and the clock its decisions are taken on.
#pragma once

#include <bitset>
#include <chrono>
#include <cstddef>

#include "session/report/report.h"
#include "session/session_options.h"
#include "vuzorur.h"

namespace qel::session {

using SchedulerClock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The programs' pause after a failed attempt. Each attempt purges stale
// input first, so the pause need only outlast the rest of a garbled reply
// at the line's speed (100 characters at 9600 baud: 115 ms); the driver's
// own 600 ms only queues the station's other clients behind a line that is
// ready.
inline constexpr std::chrono::milliseconds kRetryPause{150};

struct SchedulerOptions {
    bool driverRetries = false;  // the driver's own loop: plain operations, no health
    int attempts = 5;
    // After a garbled, short or refused answer: the pause before the next
    // attempt at that station (others go meanwhile): the driver's own 600 ms
    // here; the programs take kRetryPause (SchedulerOptionsFor).
    Millis retryPause{600};
    // After nothing at all from a station that answered before: the pause
    // before its one more attempt. The driver's pause lets a busy or garbling
    // controller settle; one that missed a frame answers the next at once.
    Millis silencePause{200};
    Millis probeTimeout{100};
    Millis minTimeout{20};
    Millis timeout{1000};     // the ceiling of a learned time-out (--timeout)
    Millis downHold{10000};   // the longest pause between two probes of a down station
    Millis firstProbe{1000};  // the first probe after a station went down
    Millis probeGrace{500};   // a probe this late goes ahead of the queue
    Millis recent{60000};     // an answer this old no longer teaches the time-out
    std::size_t backlog = 4;    // more requests waiting than this: the client goes after the others
    Millis backlogGrace{1000};  // a client without a turn for this long goes in its turn, backlog or not
    // Shared exchanges: after a read answers a client, a queued read that
    // covers the client's last read waits at most this long for the client
    // to ask again, so that its next read joins it (0: never waits).
    Millis joinWait{10};
    // The line image: a read is answered from memory when every element
    // has a good value read no more than this long ago (0: no image).
    Millis maxAge{0};
    // The stations the user named (station models, --units): one that never
    // answered goes down as any other. An unnamed unit that never answered
    // is absent instead (line_decider.h): no probes, no alarm.
    std::bitset<STATION_COUNT> expected;
    // Where the scheduler and its attempts say what they did (a station down
    // or up again, the port reopened, a block trailer learned): this
    // scheduler's own sink, empty for none.
    ReportSink report;
};

// The options a session's settings give: --timeout as the ceiling,
// --probe-timeout, --driver-retries.
SchedulerOptions SchedulerOptionsFor(const SessionOptions& session);

}  // namespace qel::session
