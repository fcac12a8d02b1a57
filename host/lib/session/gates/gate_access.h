// Gates read and written by name through the line scheduler, for the
// front-ends that take a gate address from a user (the Python module, the
// HTTP gate API): the driver's check on a session without a line, a run of
// consecutive elements planned into the fewest exchanges, a write's value
// and allow-list checked before anything goes to the line, and every
// failure as a value: the gate's diagnosis, or the line's, found without
// asking the station anything more (the scheduler keeps the line).
// Thread-safe: the checks take turns on a mutex, the exchanges queue on the
// scheduler, each call its own client.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "plan/scan_plan.h"
#include "session/diagnosis/diagnosis.h"
#include "session/diagnosis/gate_diagnosis.h"
#include "session/line/line_scheduler.h"
#include "session/stations/model_file_check.h"
#include "session/driver/qel_session.h"
#include "session/gates/write_allow.h"

namespace qel::session {

// What a call amounts to for its caller: done, or the one kind of failure
// the front-ends tell apart (an exception class, a status code).
enum class GateFailure {
    None,
    BadGate,      // the driver refuses the gate, the count, or the gate cannot be served
    BadValue,     // the value does not fit the gate
    NotAllowed,   // the write allow-list (or the front-end) does not allow the write
    StationDown,  // the station is held down: failed at once, nothing sent
    NoAnswer,     // the station did not answer
    LineError,    // the port, a garbled or refused answer
};
// "bad_gate", "bad_value", "not_allowed", "station_down", "no_answer", "line_error" ("" for None).
const char* GateFailureKey(GateFailure failure);

struct GateResult {
    GateFailure failure = GateFailure::None;
    std::string gas;                     // as the caller wrote it
    int count = 1;
    bool bits = false;                   // bit gates (IO, IR, IM, SR, FORCE)
    std::vector<std::uint16_t> values;   // the values read, `count` of them
    std::optional<GateDiagnosis> gate;   // BadGate: what is wrong with the address
    std::optional<Diagnosis> line;       // a failure on the line: the diagnosis
    std::string reason;                  // BadValue, NotAllowed, or a BadGate without a GateDiagnosis

    bool ok() const { return failure == GateFailure::None; }
};

// "too_long", "no_station", ..., "outside_range": a gate fault for JSON and
// the Python exceptions.
const char* GateFaultKey(GateFault fault);

// The failure a finished exchange's diagnosis amounts to.
GateFailure FailureOf(const Diagnosis& diagnosis);

// What the diagnoses of a line name besides the gate: the station models,
// the port as the user named it and the line settings.
struct LineFacts {
    StationModels models;
    std::string modelFile;
    std::string port;
    LineOptions line;
};

// A read or write on its way through the line scheduler: what BeginRead
// and BeginWrite give when the call needs the line. Its caller queues it
// (LineScheduler::Submit, or Call) and hands it to Finish once finished.
struct GateCall : LineRequest {
    GateResult result;                     // filled so far: the gate, the count, bits
    Gate gate;                             // the read's first element, or the gate written
    bool write = false;
    std::uint16_t word = 0;                // the value written
    std::vector<std::uint16_t> words;      // a tag's words written, from the gate on (WriteWords)
    std::vector<plan::Transfer> transfers; // a read's, as planned
    bool whole = false;                    // a checked gate planned whole (BeginReadGate)
    std::uint64_t tag = 0;                 // the caller's own
};

class GateAccess {
public:
    // `checks`: a session of its own on the same station models, without a
    // line (only this object uses it); the scheduler owns the line. Both
    // outlive this object. Client ids count up from clientBase.
    GateAccess(QelSession& checks, LineScheduler& scheduler, LineFacts facts, std::uint64_t clientBase);

    // count consecutive elements from gas (bit areas skip the bit digits 8
    // and 9), through as few exchanges as the driver's block check allows.
    // `client`: the scheduler's client of the call, from NewClient, so that
    // the caller may Withdraw it; 0: one of its own.
    GateResult Read(const std::string& gas, int count = 1, std::uint64_t client = 0);
    // One value; refused before the line when it does not fit the gate, or
    // when `allow` is given and does not hold the gate.
    GateResult Write(const std::string& gas, long long value, const WriteAllowList* allow = nullptr,
                     std::uint64_t client = 0);
    // A client id for one call, never 0.
    std::uint64_t NewClient() { return NextClient(); }
    // The caller of that call went away (a Python Ctrl-C): what of its
    // request has not begun on the line is dropped, the call comes back
    // without it; what has begun ends, so that its station is judged.
    void Withdraw(std::uint64_t client) { scheduler_.DropClient(client); }
    // The same in two halves, for a caller that waits on the scheduler's
    // wake descriptor rather than in Call: the checks and the plan, giving
    // the call to queue, or none with the answer in `now` (a bad gate, a
    // value refused: nothing for the line); then the result of the finished
    // call. client: the call's client, 0 for a new one.
    std::unique_ptr<GateCall> BeginRead(const std::string& gas, int count, GateResult& now, std::uint64_t client = 0);
    std::unique_ptr<GateCall> BeginWrite(const std::string& gas, long long value, const WriteAllowList* allow,
                                         GateResult& now, std::uint64_t client = 0);
    GateResult Finish(GateCall& call);
    // Runs a begun call on the line and waits for it (a caller without a loop).
    void Call(GateCall& call) { scheduler_.Call(call); }

    // Consecutive words of a checked gate from its first element on, in one
    // request (a tag's value, tag_write.h); the caller has checked the words
    // and the allow list. BeginWriteWords: the call to queue and Finish.
    GateResult WriteWords(const Gate& gate, const std::vector<std::uint16_t>& words, std::uint64_t client = 0);
    // A checked gate's `count` elements planned as one gate (a tag's read:
    // a 32-bit value's words in one slot of one exchange), as BeginRead.
    std::unique_ptr<GateCall> BeginReadGate(const Gate& gate, GateResult& now, std::uint64_t client = 0);
    std::unique_ptr<GateCall> BeginWriteWords(const Gate& gate, const std::vector<std::uint16_t>& words,
                                              std::uint64_t client = 0);

    // The driver's check of one gate (data type from its area), under the
    // checks' mutex; the diagnosis when it refuses.
    std::optional<GateDiagnosis> Check(Gate& gate);
    // Reads checked gates of several stations at once: each station's gates
    // planned into exchanges, the stations' requests queued together so a
    // silent one costs the others nothing. One result per gate, in order.
    std::vector<GateResult> ReadMany(const std::vector<Gate>& gates);

    // The diagnosis of a failed exchange of this checked gate.
    Diagnosis DiagnoseLine(const Gate& gate, const Outcome& outcome, bool write, std::uint16_t value);

    const LineFacts& facts() const { return facts_; }

private:
    std::uint64_t NextClient() { return nextClient_.fetch_add(1); }
    GateResult Refused(const Gate& gate, GateDiagnosis diagnosis) const;

    QelSession& checks_;
    LineScheduler& scheduler_;
    LineFacts facts_;
    std::mutex checkMutex_;
    std::atomic<std::uint64_t> nextClient_;
};

}  // namespace qel::session
