#include "session/line/line_scheduler.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdio>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <sys/eventfd.h>
#include <unistd.h>
#endif

#include "session/line/attempt_runner.h"
#include "session/line/driver_attempts.h"
#include "session/line/line_counters.h"
#include "session/line/line_decider.h"
#include "session/report/report.h"

namespace qel::session {

namespace {
using TimePoint = SchedulerClock::time_point;
}  // namespace

struct LineScheduler::Impl {
    Impl(std::unique_ptr<AttemptRunner> own, AttemptRunner& line, const SchedulerOptions& settings,
         const std::function<void()>& loop, const std::function<void(unsigned)>& refused)
        : owned(std::move(own)),
          runner(line),
          options(settings),
          onLoop(loop),
          onRefused(refused),
          decider(settings),
          counters(line) {
        inboxes.emplace_back();
    }

    void Run();
    void Queue(LineRequest* request, TimePoint now);
    void Finish(LineRequest* request);
    void Publish(unsigned station);

    std::unique_ptr<AttemptRunner> owned;  // DriverAttempts, when the scheduler made it
    AttemptRunner& runner;
    SchedulerOptions options;
    const std::function<void()>& onLoop;
    const std::function<void(unsigned)>& onRefused;
    // Where finished requests wait for their asynchronous callers, each
    // inbox with its own wake descriptor (readable while some wait): the
    // Modbus side's, and one per other front-end that waits on the line.
    struct Inbox {
        Inbox() {
#if !defined(_WIN32)
            wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
#endif
        }
        ~Inbox() {
#if !defined(_WIN32)
            if (wakeFd >= 0) close(wakeFd);
#endif
        }
        Inbox(const Inbox&) = delete;
        Inbox& operator=(const Inbox&) = delete;
        int wakeFd = -1;
        std::vector<std::unique_ptr<LineRequest>> finished;
    };
    std::deque<Inbox> inboxes;  // a deque: an inbox opened later moves none

    mutable std::mutex mutex;  // the decider, the requests, the counters
    std::condition_variable ready;
    std::condition_variable called;
    LineDecider decider;
    LineCounters counters;
    std::vector<std::unique_ptr<LineRequest>> submitted;  // submitted, not yet finished
    bool stopping = false;
    TimePoint finishBegunUntil{};  // stopping: begun requests go on until then
    bool running = false;
    std::function<bool()> reopenLine;  // a reopen asked for by ReopenLine ...
    TimePoint reopenBy{};              // ... once the begun requests are finished, or then
    std::thread thread;
    std::array<std::atomic<bool>, STATION_COUNT> down{};
};

LineScheduler::LineScheduler(QelSession& line, const SchedulerOptions& options) {
    auto own = std::make_unique<DriverAttempts>(line, options.driverRetries, options.report);
    AttemptRunner& runner = *own;
    impl_ = std::make_unique<Impl>(std::move(own), runner, options, onLoop, onRefused);
}

LineScheduler::LineScheduler(AttemptRunner& runner, const SchedulerOptions& options)
    : impl_(std::make_unique<Impl>(nullptr, runner, options, onLoop, onRefused)) {}

LineScheduler::~LineScheduler() { Stop(); }

void LineScheduler::Start() {
    std::lock_guard lock(impl_->mutex);
    if (impl_->running) return;
    impl_->running = true;
    impl_->stopping = false;
    impl_->decider.BegunOnly(false);
    impl_->thread = std::thread([impl = impl_.get()] { impl->Run(); });
}

std::vector<std::unique_ptr<LineRequest>> LineScheduler::Stop(SchedulerClock::duration finishBegun) {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mutex);
        d.stopping = true;
        d.finishBegunUntil = SchedulerClock::now() + finishBegun;
        d.decider.BegunOnly();
    }
    d.ready.notify_all();
    if (d.thread.joinable()) d.thread.join();
    std::vector<std::unique_ptr<LineRequest>> left;
    std::lock_guard lock(d.mutex);
    d.running = false;
    for (LineRequest* request : d.decider.DropAll()) {
        if (request->waited) {
            request->outcome.reset();
            request->waited = false;
            continue;
        }
        auto found = std::find_if(d.submitted.begin(), d.submitted.end(),
                                  [&](const auto& p) { return p.get() == request; });
        if (found == d.submitted.end()) continue;
        left.push_back(std::move(*found));
        d.submitted.erase(found);
    }
    d.called.notify_all();
    return left;
}

void LineScheduler::Impl::Queue(LineRequest* request, TimePoint now) {
    if (!request->exchanges.empty()) counters.Requested(request->station);
    // Answered from the line image: finished at once, without the line's thread.
    if (decider.Push(request, now) == Pushed::Answered) Finish(request);
}

void LineScheduler::Submit(std::unique_ptr<LineRequest> request) {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mutex);
        LineRequest* queued = request.get();
        d.submitted.push_back(std::move(request));
        d.Queue(queued, SchedulerClock::now());
        d.counters.QueueDepth(d.decider.Depth());
    }
    d.ready.notify_all();
}

std::size_t LineScheduler::DropClient(std::uint64_t client) {
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    const std::vector<LineRequest*> dropped = d.decider.Drop(client);
    bool called = false;
    for (LineRequest* request : dropped) {
        // A request of Call or CallAll goes back to its caller without an
        // outcome; it is the caller's, not in `submitted`.
        if (request->waited) {
            request->waited = false;
            called = true;
            continue;
        }
        std::erase_if(d.submitted, [&](const auto& p) { return p.get() == request; });
    }
    if (called) d.called.notify_all();
    return dropped.size();
}

void LineScheduler::HoldClient(std::uint64_t client, bool held) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->decider.Hold(client, held);
    }
    impl_->ready.notify_all();
}

std::size_t LineScheduler::OpenInbox() {
    std::lock_guard lock(impl_->mutex);
    impl_->inboxes.emplace_back();
    return impl_->inboxes.size() - 1;
}

std::vector<std::unique_ptr<LineRequest>> LineScheduler::TakeFinished(std::size_t inbox) {
    Impl& d = *impl_;
    std::lock_guard lock(d.mutex);
    if (inbox >= d.inboxes.size()) return {};
    Impl::Inbox& box = d.inboxes[inbox];
#if !defined(_WIN32)
    std::uint64_t count = 0;
    if (read(box.wakeFd, &count, sizeof count) < 0) count = 0;  // nothing to clear
#endif
    return std::move(box.finished);
}

int LineScheduler::WakeFd(std::size_t inbox) const {
    std::lock_guard lock(impl_->mutex);
    return inbox < impl_->inboxes.size() ? impl_->inboxes[inbox].wakeFd : -1;
}

void LineScheduler::Call(LineRequest& request) { CallAll({&request}); }

void LineScheduler::CallAll(const std::vector<LineRequest*>& requests) {
    Impl& d = *impl_;
    std::unique_lock lock(d.mutex);
    const TimePoint now = SchedulerClock::now();
    for (LineRequest* request : requests) {
        request->waited = true;
        d.Queue(request, now);
    }
    d.counters.QueueDepth(d.decider.Depth());
    d.ready.notify_all();
    d.called.wait(lock, [&] {
        return std::all_of(requests.begin(), requests.end(), [](const LineRequest* r) { return !r->waited; });
    });
}

void LineScheduler::ReopenLine(std::function<bool()> reopen, SchedulerClock::duration finishBegun) {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->reopenLine = std::move(reopen);
        impl_->reopenBy = SchedulerClock::now() + finishBegun;
        impl_->decider.BegunOnly();
    }
    impl_->ready.notify_all();
}

bool LineScheduler::StationDown(unsigned station) const {
    return station < STATION_COUNT && impl_->down[station].load(std::memory_order_relaxed);
}

void LineScheduler::NoteStation(unsigned station, const std::string& answersAs, const std::string& advice) {
    std::lock_guard lock(impl_->mutex);
    impl_->counters.Note(station, answersAs, advice);
}

const SchedulerOptions& LineScheduler::options() const { return impl_->options; }

LineSnapshot LineScheduler::Snapshot() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->counters.Snapshot(impl_->decider, impl_->runner, SchedulerClock::now());
}

// Under the lock.
void LineScheduler::Impl::Finish(LineRequest* request) {
    counters.Finished(*request);
    if (request->waited) {
        request->waited = false;
        called.notify_all();
        return;
    }
    auto found = std::find_if(submitted.begin(), submitted.end(), [&](const auto& p) { return p.get() == request; });
    if (found == submitted.end()) return;
    Inbox& box = inboxes[request->inbox < inboxes.size() ? request->inbox : 0];
    box.finished.push_back(std::move(*found));
    submitted.erase(found);
#if !defined(_WIN32)
    const std::uint64_t one = 1;
    if (write(box.wakeFd, &one, sizeof one) < 0) Report(options.report, Severity::Error, "cannot wake the server thread");
#endif
}

// Under the lock: the station's state as the decider has it, to StationDown,
// the counters and the log.
void LineScheduler::Impl::Publish(unsigned station) {
    const StationState state = decider.Health(station).state;
    // An absent unit is not held down here: its requests reach the decider,
    // which fails them at once or, after a hold, lets one try it again.
    down[station % STATION_COUNT].store(state == StationState::Down || state == StationState::Probing,
                                        std::memory_order_relaxed);
    const std::optional<StationState> before = counters.State(station, state);
    if (!before) return;
    if (state == StationState::Down && *before == StationState::Up)
        Report(options.report, Severity::Info,
               "station " + std::to_string(station) + " did not answer: held down, probed in the background");
    if (state == StationState::Absent && *before == StationState::Up)
        Report(options.report, Severity::Info, "unit " + std::to_string(station) +
                                   " did not answer and never has: absent, not probed; asked again at most once "
                                   "per down hold");
    if (state == StationState::Up)
        Report(options.report, Severity::Info, "station " + std::to_string(station) +
                                   (*before == StationState::Absent ? " answers" : " answers again"));
}

void LineScheduler::Impl::Run() {
    std::unique_lock lock(mutex);
    auto lastLoop = SchedulerClock::now() - std::chrono::seconds(1);
    auto loop = [&] {
        if (!onLoop) return;
        lastLoop = SchedulerClock::now();
        lock.unlock();
        onLoop();
        lock.lock();
    };
    // Stopping, the requests begun on the line are finished, within the bound.
    auto go = [&] {
        return !stopping || (SchedulerClock::now() < finishBegunUntil && decider.AnyBegun());
    };
    while (go()) {
        if (reopenLine && !stopping && (!decider.AnyBegun() || SchedulerClock::now() >= reopenBy)) {
            const std::function<bool()> reopen = std::move(reopenLine);
            reopenLine = nullptr;
            // The requests not begun wait for the new settings; one the
            // bound cut off fails.
            std::vector<LineRequest*> waiting;
            for (LineRequest* request : decider.DropAll()) {
                if (request->current > 0 || (!request->exchanges.empty() && request->exchanges.front().attempts > 0)) {
                    Report(options.report, Severity::Warning, "reopening the line for new settings cut off a request to station " +
                                                  std::to_string(request->station) + " after " +
                                                  std::to_string(request->done) + " of " +
                                                  std::to_string(request->exchanges.size()) + " exchanges");
                    request->outcome = Outcome{DriverResult::LineFailure, FailureKind::Port};
                    Finish(request);
                } else {
                    waiting.push_back(request);
                }
            }
            decider.BegunOnly(false);
            lock.unlock();
            const bool open = reopen();
            lock.lock();
            const TimePoint at = SchedulerClock::now();
            if (!open) decider.PortFailed(at);
            decider.Reopened(open, at);
            counters.Reopened(open);
            for (LineRequest* request : waiting)
                if (decider.Push(request, at) == Pushed::Answered) Finish(request);
            continue;
        }
        const TimePoint now = SchedulerClock::now();
        const LineAction action = decider.Next(now);
        counters.QueueDepth(decider.Depth());
        switch (action.kind) {
            case LineAction::Idle:
            case LineAction::Wait: {
                TimePoint limit = now + std::chrono::seconds(1);
                if (stopping) limit = std::min(limit, finishBegunUntil);
                if (reopenLine) limit = std::min(limit, reopenBy);
                const TimePoint until = action.kind == LineAction::Wait ? std::min(action.until, limit) : limit;
                ready.wait_until(lock, until);
                if (SchedulerClock::now() - lastLoop >= std::chrono::milliseconds(500)) loop();
                continue;
            }
            case LineAction::FailDown:
                decider.FailedDown(*action.request, action.failure);
                Finish(action.request);
                break;
            case LineAction::Answer:
                decider.Answered(*action.request, now);
                Finish(action.request);
                break;
            case LineAction::Attempt: {
                LineRequest& request = *action.request;
                const unsigned station = request.station;
                LineExchange& exchange = request.exchanges[request.current];
                lock.unlock();
                const AttemptOutcome outcome = runner.Exchange(exchange, action.timeout);
                lock.lock();
                const bool done = decider.Attempted(request, outcome, SchedulerClock::now());
                counters.Attempted(station, &exchange, outcome);
                Publish(station);
                if (done) Finish(&request);
                const FailureKind failure = outcome.failure;
                // Only an exchange refused to its last attempt: a station
                // served as the wrong model refuses every time, while a
                // reply garbled on a noisy line is answered at the next
                // attempt and is no reason to stop the line for the
                // seconds that asking the station what it is takes.
                if (onRefused && done && !outcome.ok() &&
                    (failure == FailureKind::Nak || failure == FailureKind::ShortAnswer ||
                     failure == FailureKind::Malformed)) {
                    lock.unlock();
                    onRefused(station);
                    lock.lock();
                }
                break;
            }
            case LineAction::Probe: {
                Publish(action.station);
                lock.unlock();
                const AttemptOutcome outcome = runner.Probe(action.station, action.timeout);
                lock.lock();
                decider.Probed(action.station, outcome, SchedulerClock::now());
                counters.Attempted(action.station, nullptr, outcome);
                Publish(action.station);
                break;
            }
            case LineAction::Reopen: {
                lock.unlock();
                const bool open = runner.Reopen();
                lock.lock();
                counters.Reopened(open);
                if (open) {
                    Report(options.report, Severity::Info, "serial port reopened; serving again");
                } else {
                    Report(options.report, Severity::Info, "serial port closed: reopening failed, trying again after a pause: " +
                                               runner.WhyReopenFailed());
                }
                decider.Reopened(open, SchedulerClock::now());
                break;
            }
        }
        counters.PortOpen(decider.PortOpen());
        loop();
    }
}

}  // namespace qel::session
