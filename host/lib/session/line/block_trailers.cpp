#include "session/line/block_trailers.h"

#include <cstdio>

#include "session/gates/block_text.h"
#include "session/stations/station_kind.h"

namespace qel::session {

namespace {

constexpr std::uint8_t kCr = 0x0D;
// A checksum trailer: the byte field of the digit sum, then CR.
constexpr std::size_t kChecksumTrailerLength = 3;
// Trailers this many characters longer or shorter than the rule's are what
// line noise makes of it: characters lost or gained in the data before it.
constexpr std::size_t kSlipLimit = 2;

// The trailer as text for a log line, control characters as <hh>.
std::string Printable(std::span<const std::uint8_t> trailer) {
    std::string out;
    for (const std::uint8_t c : trailer) {
        if (c == kCr) {
            out += "<CR>";
        } else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%02X>", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace

bool HasBlockReply(std::string_view model, const GateTransfer& transfer) {
    if (StationKindOf(model) != StationKind::FA2) return true;
    return transfer.areaCode == AREA_DR && transfer.count > 1;
}

BlockTrailers::BlockTrailers(LogSink log) : log_(std::move(log)) {}

BlockTrailers::Shape BlockTrailers::ShapeOf(std::span<const std::uint8_t> trailer) {
    return Shape{trailer.size(), !trailer.empty() && trailer.back() == kCr};
}

BlockTrailers::Sum BlockTrailers::SumOf(const GateTransfer& transfer, std::span<const std::uint8_t> trailer) {
    if (trailer.size() != kChecksumTrailerLength || trailer.back() != kCr) return Sum::Differs;
    std::uint8_t checksum = 0;
    const std::string_view field(reinterpret_cast<const char*>(trailer.data()), 2);
    if (!ParseByteField(field, checksum)) return Sum::Differs;
    const BlockText text = ReformBlockData(transfer);
    if (!ChecksumFits(text, checksum)) return Sum::Differs;
    // A fit that the unknown bits could have made proves nothing.
    return text.wholeBytes && text.maskedWords == 0 ? Sum::Fits : Sum::Unknown;
}

bool BlockTrailers::Accept(unsigned station, const GateTransfer& transfer, std::span<const std::uint8_t> trailer) {
    const Shape shape = ShapeOf(trailer);
    const Sum sum = SumOf(transfer, trailer);
    const std::lock_guard lock(mutex_);
    Station& s = stations_[station];
    if (s.check == BlockCheck::Shape || s.check == BlockCheck::Checksum) return Judge(station, s, shape, sum, trailer);
    // While learning, a checksum that fit already judges: the reply whose
    // trailer is not the checksum of its data is retried.
    const bool provisional = s.sumsFit > 0 && s.sumsFit > s.sumsDiffer && sum != Sum::Unknown;
    Learn(station, s, shape, sum);
    return !provisional || sum == Sum::Fits;
}

void BlockTrailers::Learn(unsigned station, Station& s, Shape shape, Sum sum) {
    ++s.seen;
    if (!shape.crLast) {
        s.run = 0;
    } else if (s.run > 0 && shape == s.runShape) {
        ++s.run;
    } else {
        s.runShape = shape;
        s.run = 1;
    }
    if (sum == Sum::Fits) ++s.sumsFit;
    if (sum == Sum::Differs && shape == Shape{kChecksumTrailerLength, true}) ++s.sumsDiffer;
    // A trailer that is the checksum of its data says more than any run of
    // shapes: line noise does not make one. The checksum is learned from
    // three of them, whatever came between, as long as more fit than not.
    const bool checksum = s.sumsFit >= kLearnRun && s.sumsFit > s.sumsDiffer;
    // A shape a character or two off the checksum's is what lost or gained
    // characters make of it: learned only from as long a run as after an
    // unverified time.
    const std::size_t offChecksum = s.runShape.length > kChecksumTrailerLength
                                        ? s.runShape.length - kChecksumTrailerLength
                                        : kChecksumTrailerLength - s.runShape.length;
    const bool nearChecksum = offChecksum != 0 && offChecksum <= kSlipLimit;
    const bool shapeOnly = s.sumsFit == 0 && s.run >= (s.relearning || nearChecksum ? kRelearnRun : kLearnRun);
    if (checksum || shapeOnly) {
        s.shape = checksum ? Shape{kChecksumTrailerLength, true} : s.runShape;
        s.check = checksum ? BlockCheck::Checksum : BlockCheck::Shape;
        s.run = s.sumsFit = s.sumsDiffer = s.unexplained = s.failures = 0;
        Log("station " + std::to_string(station) + ": block trailer learned: " + RuleText(s));
        return;
    }
    if (s.check == BlockCheck::Learning && s.seen >= kLearnLimit) {
        s.check = BlockCheck::Unverified;
        s.relearning = true;
        s.run = s.sumsFit = s.sumsDiffer = 0;
        Log("station " + std::to_string(station) + ": block data unverified: " + std::to_string(s.seen) +
            " block replies fit no trailer rule");
    }
}

bool BlockTrailers::Judge(unsigned station, Station& s, Shape shape, Sum sum, std::span<const std::uint8_t> trailer) {
    // On a Shape station, trailers that are the checksum of their data
    // count towards the checksum (3 in a row), and such a trailer is good
    // even when the learned shape is another one.
    if (s.check == BlockCheck::Shape) {
        s.sumsFit = sum == Sum::Fits ? s.sumsFit + 1 : sum == Sum::Differs ? 0 : s.sumsFit;
        if (s.sumsFit >= kLearnRun) {
            s.check = BlockCheck::Checksum;
            s.shape = Shape{kChecksumTrailerLength, true};
            s.sumsFit = 0;
            Log("station " + std::to_string(station) + ": block trailer learned: " + RuleText(s));
        }
    }
    const bool fits = sum == Sum::Fits ||
                      (shape == s.shape && (s.check != BlockCheck::Checksum || sum != Sum::Differs));
    if (fits) {
        s.unexplained = s.failures = 0;
        return true;
    }
    ++s.failures;
    // Characters gained or lost (up to two), or damaged under a checksum.
    const std::size_t apart = shape.length > s.shape.length ? shape.length - s.shape.length
                                                            : s.shape.length - shape.length;
    if (apart > kSlipLimit) ++s.unexplained;
    if (s.unexplained >= kUnexplainedRun || s.failures >= kFailureRun) {
        Log("station " + std::to_string(station) + ": block data unverified: the learned trailer (" + RuleText(s) +
            ") failed " + std::to_string(s.failures) + " block replies in a row, the last \"" + Printable(trailer) +
            "\"; learning again");
        s.check = BlockCheck::Unverified;
        s.relearning = true;
        s.run = s.sumsFit = s.sumsDiffer = s.seen = 0;
    }
    return false;
}

BlockCheck BlockTrailers::Check(unsigned station) const {
    const std::lock_guard lock(mutex_);
    const auto found = stations_.find(station);
    return found == stations_.end() ? BlockCheck::Learning : found->second.check;
}

bool BlockTrailers::Judges(unsigned station) const {
    const std::lock_guard lock(mutex_);
    const auto found = stations_.find(station);
    if (found == stations_.end()) return false;
    const Station& s = found->second;
    return s.check == BlockCheck::Shape || s.check == BlockCheck::Checksum ||
           (s.check == BlockCheck::Learning && s.sumsFit > 0 && s.sumsFit > s.sumsDiffer);
}

std::string BlockTrailers::Rule(unsigned station) const {
    const std::lock_guard lock(mutex_);
    const auto found = stations_.find(station);
    if (found == stations_.end()) return {};
    const Station& s = found->second;
    return s.check == BlockCheck::Shape || s.check == BlockCheck::Checksum ? RuleText(s) : std::string{};
}

std::string BlockTrailers::RuleText(const Station& s) {
    std::string text = std::to_string(s.shape.length) + (s.shape.length == 1 ? " character" : " characters");
    text += ", CR last";
    if (s.check == BlockCheck::Checksum) text += ", checksum";
    return text;
}

void BlockTrailers::Log(const std::string& line) const {
    if (log_) log_(line);
}

}  // namespace qel::session
