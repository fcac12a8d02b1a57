#include "config/station_models.h"

#include <array>
#include <cstring>

#include "base/host_log.h"
#include "base/workspace.h"

namespace qel {
namespace {

constexpr int CTRL_Z = 0x1A;

constexpr bool IsDecimalDigit(int c) { return c >= '0' && c <= '9'; }

// ASCII only: bytes above 127 are never letters here, whatever the locale.
constexpr bool IsLetterOrDigit(int c) {
    return IsDecimalDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

unsigned StationOf(std::span<const char, MODEL_RECORD_LENGTH> record) {
    unsigned station = 0;
    for (std::size_t i = 0; i < RECORD_STATION_DIGITS; ++i) {
        station = station * 10 + static_cast<unsigned>(record[i] - '0');
    }
    return station;
}

// Closes the file on every way out of LoadStationModels.
class OpenModelFile {
public:
    explicit OpenModelFile(const char* name) : file_(std::fopen(name, "r")) {}
    ~OpenModelFile() {
        if (file_ != nullptr) std::fclose(file_);
    }
    OpenModelFile(const OpenModelFile&) = delete;
    OpenModelFile& operator=(const OpenModelFile&) = delete;
    std::FILE* get() const { return file_; }

private:
    std::FILE* file_;
};

// Whether the slot holds exactly this text and its terminator.
bool SlotHolds(const char (&slot)[STATION_MODEL_SIZE], const char* model) {
    for (std::size_t i = 0; i < STATION_MODEL_SIZE; ++i) {
        if (slot[i] != model[i]) return false;
        if (model[i] == '\0') return true;
    }
    return false;
}

}  // namespace

StationKind StationKindOf(const DriverWorkspace& workspace, std::uint32_t station) {
    const auto& slot = workspace.stationModel[station % STATION_COUNT];
    if (SlotHolds(slot, kModelFa2)) return StationKind::FA2;
    if (SlotHolds(slot, kModelFa3)) return StationKind::FA3;
    return StationKind::Other;
}

void ModelFileName(std::int32_t qelNumber, std::span<char, MODEL_FILE_NAME_SIZE> name) {
    std::snprintf(name.data(), name.size(), "davEV%.2d.int", static_cast<int>(qelNumber));
}

void SetDefaultModels(DriverWorkspace& workspace) {
    for (auto& slot : workspace.stationModel) {
        std::memcpy(slot, kModelFa2, sizeof(kModelFa2));
    }
}

int ReadTextCharacter(std::FILE* file) {
#if defined(_WIN32)
    // The Windows C library's text mode has already folded CR LF and stops
    // at a Ctrl-Z.
    return std::fgetc(file);
#else
    // Other C libraries hand over every byte; fold them the same way, so a
    // file reads alike wherever the driver runs.
    const int c = std::fgetc(file);
    if (c == CTRL_Z) {
        // Put it back: every later read ends here as well.
        std::ungetc(c, file);
        return EOF;
    }
    if (c != '\r') return c;
    const int next = std::fgetc(file);
    if (next == '\n') return '\n';
    if (next != EOF) std::ungetc(next, file);
    return '\r';
#endif
}

bool ReadModelLine(std::FILE* file, std::span<char, MODEL_LINE_BUFFER_SIZE> line) {
    std::size_t kept = 0;
    for (std::size_t read = 0; read < MODEL_LINE_CHARACTERS; ++read) {
        const int c = ReadTextCharacter(file);
        if (c == EOF) {
            line[kept] = '\0';
            return false;
        }
        if (c == '\n') break;
        if (IsLetterOrDigit(c)) line[kept++] = static_cast<char>(c);
    }
    line[kept] = '\0';
    return kept == MODEL_RECORD_LENGTH;
}

bool IsValidModelLine(std::span<const char, MODEL_RECORD_LENGTH> record) {
    for (std::size_t i = 0; i < RECORD_STATION_DIGITS; ++i) {
        if (!IsDecimalDigit(record[i])) return false;
    }
    return StationOf(record) <= HIGHEST_STATION;
}

int LoadStationModels(const QelRequest& request) {
    DriverWorkspace* workspace = WorkspaceOf(&request);
    if (workspace == nullptr) return MODELS_READ;

    std::array<char, MODEL_FILE_NAME_SIZE> name{};
    ModelFileName(request.qelNumber, name);
    const OpenModelFile file(name.data());
    if (file.get() == nullptr) {
        HostLog(LOG_INFO, "DavEV: No Init file. Assuming FA-2 PLC's.");
        return MODELS_READ;
    }

    std::array<char, MODEL_LINE_BUFFER_SIZE> line{};
    for (int index = 0; index < STATION_COUNT; ++index) {
        if (!ReadModelLine(file.get(), line)) break;
        const std::span<const char, MODEL_RECORD_LENGTH> record(line.data(), MODEL_RECORD_LENGTH);
        if (!IsValidModelLine(record)) {
            HostLog(LOG_INFO, "DavEV: Line (%d) in Init file is illegal", index);
            HostLog(LOG_INFO, "DavEV: Disregarding Init file");
            SetDefaultModels(*workspace);
            return MODELS_FILE_DISREGARDED;
        }
        std::memcpy(workspace->stationModel[StationOf(record)], record.data() + RECORD_STATION_DIGITS,
                    RECORD_MODEL_LENGTH);
    }
    return MODELS_READ;
}

}  // namespace qel
