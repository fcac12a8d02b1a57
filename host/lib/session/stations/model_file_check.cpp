#include "session/stations/model_file_check.h"

#include <cctype>
#include <sstream>

#include "common/line_file.h"
#include "session/gates/gate_address.h"

namespace qel::session {

namespace {

constexpr std::size_t kLineCharacters = 10;  // characters of a line the driver looks at
constexpr std::size_t kRecordLength = 6;     // letters and digits of a record
constexpr int kCtrlZ = 0x1A;
constexpr int kEnd = -1;

bool IsDigit(int c) { return c >= '0' && c <= '9'; }
bool IsLetterOrDigit(int c) { return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The file's characters as the driver's text-mode reading delivers them: CR
// LF as one LF, the end at a Ctrl-Z.
class TextReader {
public:
    explicit TextReader(const std::string& bytes) : bytes_(bytes) {}

    int Next() {
        if (pos_ >= bytes_.size() || static_cast<unsigned char>(bytes_[pos_]) == kCtrlZ) return kEnd;
        int c = static_cast<unsigned char>(bytes_[pos_++]);
        if (c == '\r' && pos_ < bytes_.size() && bytes_[pos_] == '\n') {
            ++pos_;
            c = '\n';
        }
        if (c == '\n') ++line_;
        return c;
    }
    int line() const { return line_; }
    // Whether a letter or digit follows anywhere before the end.
    bool MoreRecordsFollow() const {
        for (std::size_t i = pos_; i < bytes_.size() && static_cast<unsigned char>(bytes_[i]) != kCtrlZ; ++i) {
            if (IsLetterOrDigit(static_cast<unsigned char>(bytes_[i]))) return true;
        }
        return false;
    }
    // The physical line n (from 1), without its line end, shown printable.
    std::string LineText(int n) const {
        std::istringstream in(bytes_);
        std::string text;
        for (int i = 0; i < n && std::getline(in, text); ++i) {
        }
        std::string shown;
        for (const char ch : text) {
            const auto c = static_cast<unsigned char>(ch);
            if (c == '\r') continue;
            if (c == '\t') shown += "\\t";
            else if (c < 32 || c > 126) shown += "?";
            else shown += ch;
        }
        return shown;
    }

private:
    const std::string& bytes_;
    std::size_t pos_ = 0;
    int line_ = 1;
};

// A hint for a line that keeps other than six letters and digits.
std::string RecordHint(const std::string& kept) {
    std::size_t digits = 0;
    while (digits < kept.size() && IsDigit(kept[digits])) ++digits;
    if (digits > 0 && digits < 3 && kept.size() - digits == 3) {
        return "; write the station with three digits: " + std::string(3 - digits, '0') + kept;
    }
    return "; a line is a three-digit station and a model, e.g. 002FA3";
}

}  // namespace

StationModels ReadStationModels(const std::string& bytes) {
    StationModels result;
    std::array<int, STATION_COUNT> namedOn{};
    TextReader reader(bytes);
    auto warn = [&](int line, std::string text) { result.warnings.push_back({line, std::move(text)}); };
    bool continuesCutLine = false;

    for (int index = 0;; ++index) {
        if (index == STATION_COUNT) {
            if (reader.MoreRecordsFollow()) {
                warn(reader.line(), "the driver reads at most 256 station lines; this line and the rest are ignored");
            }
            break;
        }
        const int line = reader.line();
        std::string kept;
        std::size_t read = 0;
        bool ended = false;
        bool atEnd = false;
        for (; read < kLineCharacters; ++read) {
            const int c = reader.Next();
            if (c == kEnd) {
                atEnd = true;
                break;
            }
            if (c == '\n') {
                ended = true;
                break;
            }
            if (IsLetterOrDigit(c)) kept += static_cast<char>(c);
        }
        const bool cut = !ended && !atEnd;
        std::string shown(1, '"');
        shown += reader.LineText(line);
        shown += '"';
        if (atEnd) {
            if (!kept.empty()) {
                warn(line, shown + " has no line end, and the driver ignores a last line without one; end it with a "
                               "line feed");
            }
            break;
        }
        if (kept.size() != kRecordLength) {
            const bool more = reader.MoreRecordsFollow();
            if (continuesCutLine) {
                if (kept.empty() && !more) break;
                warn(line, shown + " is longer than 10 characters: the driver reads the rest as a line of its own, "
                               "which ends the station list" + std::string(more ? "; the lines after it are ignored" : ""));
            } else if (kept.empty() && read == 0 && !cut) {
                if (more) warn(line, "a blank line ends the station list for the driver; the lines after it are ignored");
            } else {
                std::string why = shown + " is not a station line (the driver keeps \"" + kept + "\", " +
                                  std::to_string(kept.size()) + " letters and digits, from its first 10 characters; "
                                  "it needs 6)";
                why += RecordHint(kept);
                why += more ? "; the driver stops reading here and ignores the lines after it" : "";
                warn(line, why);
            }
            break;
        }
        continuesCutLine = cut;
        if (!IsDigit(kept[0]) || !IsDigit(kept[1]) || !IsDigit(kept[2]) || std::stoi(kept.substr(0, 3)) > 255) {
            warn(line, shown + ": the station " + kept.substr(0, 3) +
                           " is not 000 to 255, so the driver disregards the whole file and takes every station "
                           "for an FA-2");
            std::vector<ModelWarning> warnings = std::move(result.warnings);
            result = StationModels{};
            result.warnings = std::move(warnings);
            result.disregarded = true;
            result.disregardedOn = line;
            break;
        }
        const unsigned station = static_cast<unsigned>(std::stoi(kept.substr(0, 3)));
        const std::string model = kept.substr(3);
        if (!IsKnownModel(model)) {
            std::string upper = model;
            for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            std::string why = shown + ": the model " + model + " is neither FA2 nor FA3";
            why += IsKnownModel(upper) ? " (capitals matter): write " + StationText(station) + upper
                                       : ": write " + StationText(station) + std::string(kModelFa2) + " or " + StationText(station) + std::string(kModelFa3);
            warn(line, why);
        }
        if (result.named[station]) {
            warn(namedOn[station], "station " + StationText(station) + " is named again on line " +
                                       std::to_string(line) + ", and the later line wins");
        }
        result.model[station] = model;
        result.named[station] = true;
        result.line[station] = line;
        namedOn[station] = line;
    }
    return result;
}

bool ReadStationModelFile(const std::string& path, StationModels& models, std::string& error) {
    std::string bytes;
    if (!common::ReadBoundedFile(path, common::kModelFile, bytes, error) ||
        !common::CheckLineBounds(path, bytes, common::kModelFile, error)) {
        error = "cannot read the station model file: " + error;
        return false;
    }
    models = ReadStationModels(bytes);
    models.file = path;
    return true;
}

bool ReadHandWrittenModelFile(const std::string& path, StationModels& models, std::string& text, std::string& error) {
    std::string bytes;
    if (!common::ReadBoundedFile(path, common::kModelFile, bytes, error) ||
        !common::CheckLineBounds(path, bytes, common::kModelFile, error)) {
        error = "cannot read the station model file: " + error;
        return false;
    }
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
    // A comment goes, and a line that holds only one; a blank line stays,
    // for it ends the station list for the driver (and is warned of).
    std::vector<common::TextLine> lines;
    std::istringstream in(bytes);
    std::string raw;
    for (unsigned number = 1; std::getline(in, raw); ++number) {
        const std::string entry = common::StripComment(raw);
        const bool blank = raw.find_first_not_of(" \t\r\f\v") == std::string::npos;
        if (!entry.empty() || blank) lines.push_back({number, entry});
    }
    text.clear();
    for (const common::TextLine& line : lines) text += line.text + "\n";
    models = ReadStationModels(text);
    models.file = path;
    // The lines the driver is given are not the file's: each line named
    // goes back to the file's own number.
    const auto fileLine = [&lines](int& line) {
        if (line >= 1 && static_cast<std::size_t>(line) <= lines.size())
            line = static_cast<int>(lines[static_cast<std::size_t>(line) - 1].number);
    };
    for (ModelWarning& warning : models.warnings) fileLine(warning.line);
    for (int& line : models.line) fileLine(line);
    fileLine(models.disregardedOn);
    return true;
}

ModelOrigin OriginOf(const StationModels& models, unsigned station) {
    ModelOrigin origin;
    if (station >= STATION_COUNT) return origin;
    origin.file = models.file;
    if (models.byOption[station]) {
        origin.kind = ModelOrigin::Kind::Option;
    } else if (models.file.empty()) {
        origin.kind = ModelOrigin::Kind::NoFile;
        origin.file = models.lookedFor;
        origin.qel = models.qel;
    } else if (models.disregarded) {
        origin.kind = ModelOrigin::Kind::Disregarded;
        origin.line = models.disregardedOn;
    } else if (models.named[station]) {
        origin.kind = ModelOrigin::Kind::FileLine;
        origin.line = models.line[station];
    } else {
        origin.kind = ModelOrigin::Kind::NotInFile;
    }
    return origin;
}

std::string StationModelText(const StationModels& models) {
    std::string text;
    for (unsigned station = 0; station < STATION_COUNT; ++station) {
        if (models.named[station]) text += StationText(station) + models.model[station] + "\n";
    }
    return text;
}

}  // namespace qel::session
