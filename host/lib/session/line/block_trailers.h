// Judges the characters a controller sends after BlockData, which
// QEL_READ_ATTEMPT hands back unjudged (QelAttempt.trailer). BlockData
// itself carries no check: a character lost or gained on the line shifts
// every value after it and is otherwise served as good. The trailer shows
// it, once the station's trailer is known.
//
// Each station's trailer is learned from its own block replies:
//
//   Learning    3 block replies whose trailers are the byte field of the
//               digit sum of their data and a CR (the rule of element
//               replies) make the checksum the station's rule (Checksum),
//               whatever came between them, as long as more trailers of
//               that shape fit than not: line noise does not make a
//               checksum that fits. Without any such trailer, 3 block
//               replies in a row whose trailers have the same shape (the
//               same length, CR last) make that shape the rule (Shape); 10
//               in a row for a shape one or two characters off the
//               checksum's, which lost or gained characters make of it. A
//               Shape station whose trailers are then the checksum of their
//               data 3 times in a row takes the checksum as its rule, and
//               such a trailer is good whatever the learned shape.
//               While learning, every reply is accepted, except that once
//               more checksums fit than not, a reply whose trailer is not
//               the checksum of its data is retried.
//   Shape,      a block reply that breaks the rule is a failed attempt
//   Checksum    (Accept gives false) that the caller retries.
//   Unverified  the trailers fit no rule (20 block replies without one),
//               or the learned rule kept failing. Every
//               reply is accepted, so that a firmware change or another
//               controller model on the station does not stop its reads;
//               a log line tells it. The station learns again, from 10
//               replies in a row of one shape.
//
// When a learned rule "kept failing": 5 failed replies (no accepted one
// between them) that line noise does not explain, or 20 failed replies in a
// row of any sort. Line noise explains a trailer up to two characters longer
// or shorter than the rule's (characters gained or lost in the data shift
// the trailer), and on a Checksum station a trailer of the rule's shape
// whose checksum differs (a character damaged). At 0.002 faults per
// character a 100-word block has about even odds of a fault, so 5 failures
// in a row of any sort would unlearn a good rule within a few hundred
// reads; a rule that no longer fits the station fails every reply. A new
// trailer within two characters of the old length is therefore unlearned
// only by the 20 failures in a row.
//
// A checksum is judged as far as the values tell the data (block_text.h):
// of TM and CT words the driver keeps 14 bits, and of a single bit the rest
// of its byte is unknown.
//
// Thread-safe; the line scheduler calls it from one thread, the front-ends
// read Check from theirs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "session/line/line_stats.h"
#include "vuzorur.h"

namespace qel::session {

// Whether a read of `transfer` from a station of `model` is answered with
// BlockData and so has a trailer: every read from a station that is not FA2,
// and a data-register block of more than one element from an FA2 station.
bool HasBlockReply(std::string_view model, const GateTransfer& transfer);

class BlockTrailers {
public:
    static constexpr int kLearnRun = 3;        // replies in a row of one shape, at first contact
    static constexpr int kRelearnRun = 10;     // the same, after the station was unverified
    static constexpr int kLearnLimit = 20;     // replies at first contact without a rule: unverified
    static constexpr int kUnexplainedRun = 5;  // failures noise does not explain: unlearned
    static constexpr int kFailureRun = 20;     // failures of any sort: unlearned

    using LogSink = std::function<void(const std::string& line)>;
    explicit BlockTrailers(LogSink log = {});

    // A block reply that arrived whole through QEL_READ_ATTEMPT: its transfer (values decoded,
    // station, area, count, dataType) and the trailer characters. False: the reply breaks the
    // station's learned rule and is a failed attempt to retry (FailureKind::Trailer).
    bool Accept(unsigned station, const GateTransfer& transfer, std::span<const std::uint8_t> trailer);
    BlockCheck Check(unsigned station) const;
    // Whether the station's next reply is judged: a learned rule, or while
    // learning a checksum that fit more often than not.
    bool Judges(unsigned station) const;
    // The learned trailer in words, e.g. "3 characters, CR last, checksum"; empty without a rule.
    std::string Rule(unsigned station) const;

private:
    struct Shape {
        std::size_t length = 0;
        bool crLast = false;
        bool operator==(const Shape&) const = default;
    };
    // What a trailer's checksum says: fits, differs, or cannot be judged.
    enum class Sum { Fits, Differs, Unknown };
    struct Station {
        BlockCheck check = BlockCheck::Learning;
        Shape shape;              // the rule, in Shape and Checksum
        // The run of one shape being learned.
        Shape runShape;
        int run = 0;
        // Replies whose trailer was the checksum of their data, and of the
        // checksum's shape but not its sum; in Shape, sums that fit in a row.
        int sumsFit = 0;
        int sumsDiffer = 0;
        int seen = 0;             // replies since learning began
        bool relearning = false;  // learning again after being unverified
        int unexplained = 0;
        int failures = 0;
    };

    static Shape ShapeOf(std::span<const std::uint8_t> trailer);
    static Sum SumOf(const GateTransfer& transfer, std::span<const std::uint8_t> trailer);
    void Learn(unsigned station, Station& s, Shape shape, Sum sum);
    bool Judge(unsigned station, Station& s, Shape shape, Sum sum, std::span<const std::uint8_t> trailer);
    void Log(const std::string& line) const;
    static std::string RuleText(const Station& s);

    LogSink log_;
    mutable std::mutex mutex_;
    std::map<unsigned, Station> stations_;
};

}  // namespace qel::session
