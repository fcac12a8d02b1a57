// What the line scheduler counts, as one snapshot that every front-end reads:
// per station (requests, exchanges, attempts, failures by kind, answer
// times, state), per line (busy share, queue depth, exchange rate, line
// errors) and per front-end (clients, requests by function, exceptions).
// The scheduler fills StationStats and LineStats; a front-end keeps its own
// FrontEndStats. Times are seconds: durations as plain seconds, moments as
// seconds since the Unix epoch (0: never).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/driver/failure_kind.h"

namespace qel::session {

// Absent: a unit no option names that has never answered since the start
// (asked, never answered); neither up nor down.
enum class StationState { Up, Down, Probing, Absent };
const char* StationStateName(StationState state);  // "up", "down", "probing", "absent"

// How a station's block data is checked (the trailer after BlockData).
enum class BlockCheck {
    Learning,    // fewer than 3 block replies seen yet
    Shape,       // length and CR learned: a block with another trailer is retried
    Checksum,    // the digit-sum checksum learned as well
    Unverified,  // the trailers fit no rule, or the learned rule kept failing
};
const char* BlockCheckName(BlockCheck check);  // "learning", "shape", "checksum", "unverified"

// Upper bounds of the answer-time histogram, in seconds: fit for 9600 baud,
// from 10 ms to 10 s (and +Inf after the last).
inline constexpr std::array<double, 10> kAnswerBuckets = {0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10};

struct StationStats {
    unsigned station = 0;
    std::string model;  // "FA2", "FA3", or the model file's text
    StationState state = StationState::Up;
    double stateSince = 0;
    std::uint64_t requests = 0;   // what callers asked (a request is one or more exchanges)
    double firstRequest = 0;      // moments: the first and the last request for it
    double lastRequest = 0;
    std::uint64_t exchanges = 0;  // exchanges done, each of one or more attempts
    std::uint64_t attempts = 0;
    std::uint64_t retries = 0;    // attempts after the first of an exchange
    std::array<std::uint64_t, kFailureKindCount> failures{};  // attempts failed, by FailureKind
    // Answer times of successful attempts: cumulative counts per bucket of
    // kAnswerBuckets, then the +Inf count; their sum and count.
    std::array<std::uint64_t, kAnswerBuckets.size() + 1> answerBuckets{};
    double answerSum = 0;
    std::uint64_t answerCount = 0;
    double answerMedian = 0;  // of the recent answers; 0 without any
    double answerP99 = 0;
    double lastSuccess = 0;
    FailureKind lastFailure = FailureKind::None;
    std::string lastFailureGate;
    double lastFailureTime = 0;
    BlockCheck blockCheck = BlockCheck::Learning;
    // What a probe found the station answers as ("FA2", "FA3"; empty: not
    // asked), and what to do about it in words (empty: nothing).
    std::string answersAs;
    std::string advice;
};

struct LineStats {
    double busyShareMinute = 0;  // share of the last minute the line was in an exchange
    double busyShareTotal = 0;
    double busySeconds = 0;      // in total
    std::size_t queueDepth = 0;
    std::size_t queueDepthMax = 0;
    double exchangesPerSecond = 0;  // over the last minute
    std::uint64_t exchanges = 0;
    std::uint64_t lineErrors = 0;   // attempts the driver failed for parity, framing, overrun or break
    std::uint64_t portReopens = 0;  // times the port was closed and opened again
    bool portOpen = true;
    double started = 0;
    // Sharing the line (line_decider.h): requests answered by a read another
    // request queued (joined), requests answered from the line image, and
    // the exchanges both saved; the image's values and their age when served.
    std::uint64_t sharedRequests = 0;
    std::uint64_t imageRequests = 0;
    std::uint64_t exchangesSaved = 0;
    std::size_t imageValues = 0;
    double imageMaxAge = 0;      // seconds: --max-age, 0 without an image
    double imageAgeMean = 0;     // seconds: the oldest value of each answer from the image, on average
    double imageAgeMax = 0;      // ... and the oldest of all
};

struct LineSnapshot {
    LineStats line;
    std::vector<StationStats> stations;  // the stations seen, ascending
};

// A front-end's store-and-forward queue: what waits for the broker's
// acknowledgement, on disk.
struct BufferStats {
    std::uint64_t depth = 0;        // messages waiting
    std::uint64_t bytes = 0;        // their bytes (topic, payload, a row's overhead)
    std::uint64_t fileBytes = 0;    // the queue's files on disk
    double oldestAge = 0;           // seconds since the oldest waiting message was made; 0 when empty
    std::uint64_t dropped = 0;      // the oldest dropped for the bound, and those the disk refused, since the start
    std::uint64_t forwarded = 0;    // acknowledged by the broker and removed, since the start
    bool usable = true;             // takes messages now: not failing (a full disk), not gone without (unusable at start)
    std::string trouble;            // why not usable, for the page and the log; empty when usable
};

// A front-end's own counters (Modbus TCP, MQTT). Thread-safe.
class FrontEndStats {
public:
    void Connected();
    void Disconnected();
    void Refused();
    void Evicted();
    void Request(unsigned function);
    void Exception(unsigned code);
    // A command refused before the line, by why ("writes_off", "value", ...).
    void Refusal(const std::string& reason);

    struct Snapshot {
        std::uint64_t connected = 0;  // now
        std::uint64_t connects = 0;   // in total
        std::uint64_t refused = 0;
        std::uint64_t evicted = 0;
        std::map<unsigned, std::uint64_t> requests;    // by function code
        std::map<unsigned, std::uint64_t> exceptions;  // by exception code
        std::map<std::string, std::uint64_t> refusals;  // commands refused, by reason
        std::optional<BufferStats> buffer;  // a front-end with a store-and-forward queue: its counts now
    };
    Snapshot Take() const;

private:
    mutable std::mutex mutex_;
    Snapshot counts_;
};

}  // namespace qel::session
