// Reads a station model file the way the driver reads davEVnn.int, and says,
// line by line, what the driver would ignore, where it would stop, and which
// model texts it would store that the rest of the driver does not know.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "session/stations/station_kind.h"
#include "vuzorur.h"

namespace qel::session {

struct ModelWarning {
    int line = 0;  // physical line, from 1
    std::string text;
};

// The station models the driver ends up with, and why.
struct StationModels {
    std::array<std::string, STATION_COUNT> model;  // "FA2" unless named
    std::array<bool, STATION_COUNT> named{};       // set by a line the driver applies, or by --station
    std::array<bool, STATION_COUNT> byOption{};    // named by --station
    std::array<int, STATION_COUNT> line{};         // the file's line (from 1) that named it; 0: none
    bool disregarded = false;                      // an illegal line: every station FA2
    int disregardedOn = 0;                         // that line
    std::string file;       // the model file read, as it was named; empty: none was
    std::string lookedFor;  // no file: the one the driver would have read (davEVnn.int, absolute)
    int qel = 0;            // the QEL of that file
    std::vector<ModelWarning> warnings;

    StationModels() { model.fill(ModelText(StationKind::FA2)); }
};

// Where a station's model came from, for the messages that rest on it: a
// line of the model file, a --station option, or the default FA2, because
// the file names it on no line the driver applies, because the driver
// disregards the whole file, or because there is no file (then the file
// the driver would have read, davEVnn.int).
struct ModelOrigin {
    enum class Kind { FileLine, Option, NotInFile, Disregarded, NoFile };
    Kind kind = Kind::NoFile;
    std::string file;  // the model file as named; NoFile: the davEVnn.int looked for (may be empty)
    int line = 0;      // FileLine: the line that names the station; Disregarded: the line that made the driver drop the file
    int qel = 0;       // NoFile: the QEL whose file was looked for
};

// Where the model of the station came from.
ModelOrigin OriginOf(const StationModels& models, unsigned station);

// The driver's reading of the file's bytes.
StationModels ReadStationModels(const std::string& bytes);

// Reads the file at path; false with a reason when it cannot be read.
bool ReadStationModelFile(const std::string& path, StationModels& models, std::string& error);

// A station model file written by hand (--models): a UTF-8 byte-order mark,
// CR LF line ends and '#' comments, on a line of their own or after the
// entry, are taken (common/line_file.h); a blank line still ends the list,
// as for the driver. `text` is what to give the driver: the entries one a
// line; the warnings name the file's own lines. False when it cannot be read.
bool ReadHandWrittenModelFile(const std::string& path, StationModels& models, std::string& text, std::string& error);

// A model file that gives the driver exactly these models: one record per
// named station, in station order, each ending in a line feed.
std::string StationModelText(const StationModels& models);


}  // namespace qel::session
