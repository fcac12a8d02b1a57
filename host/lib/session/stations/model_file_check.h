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
    bool disregarded = false;                      // an illegal line: every station FA2
    std::vector<ModelWarning> warnings;

    StationModels() { model.fill(ModelText(StationKind::FA2)); }
};

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
