// The station model file: one optional text file per QEL, "davEV%.2d.int" in
// the process's current directory, that names the controller model of each
// station it lists ("001FA3" gives station 1 the model FA3).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "base/station_kind.h"
#include "vuzorur.h"

namespace qel {

// The model texts the driver tells apart; any other text reads as an FA3.
inline constexpr char kModelFa2[] = "FA2";
inline constexpr char kModelFa3[] = "FA3";
static_assert(sizeof(kModelFa2) <= STATION_MODEL_SIZE);
static_assert(sizeof(kModelFa3) <= STATION_MODEL_SIZE);

// The kind of a station's model slot (station taken modulo STATION_COUNT):
// FA2 or FA3 when the slot holds exactly that text and its terminator, Other
// for anything else. Never looks past the slot.
StationKind StationKindOf(const DriverWorkspace& workspace, std::uint32_t station);

// Characters of a line that are looked at; the rest of a longer line is read
// as the next line.
constexpr std::size_t MODEL_LINE_CHARACTERS = 10;
// Room for the kept characters of one line and their terminating zero.
constexpr std::size_t MODEL_LINE_BUFFER_SIZE = MODEL_LINE_CHARACTERS + 1;
// A record keeps exactly this many letters and digits: station, then model.
constexpr std::size_t MODEL_RECORD_LENGTH = 6;
constexpr std::size_t RECORD_STATION_DIGITS = 3;
constexpr std::size_t RECORD_MODEL_LENGTH = 3;
constexpr unsigned HIGHEST_STATION = STATION_COUNT - 1;
constexpr std::size_t MODEL_FILE_NAME_SIZE = 32;

// Results of LoadStationModels.
constexpr int MODELS_FILE_DISREGARDED = 0;
constexpr int MODELS_READ = 1;  // also: no file

// "davEV%.2d.int" with the QEL number, zero-terminated.
void ModelFileName(std::int32_t qelNumber, std::span<char, MODEL_FILE_NAME_SIZE> name);

// Writes "FA2" and its terminating zero into every station's model slot; the
// fifth byte of a slot is left as it is.
void SetDefaultModels(DriverWorkspace& workspace);

// One character as text-mode reading delivers it: a CR LF pair comes as one
// LF, and a Ctrl-Z ends the file. EOF at the end of the file or on an error.
int ReadTextCharacter(std::FILE* file);

// Reads one line of at most MODEL_LINE_CHARACTERS characters (a line feed ends
// it earlier and is consumed without being counted) and leaves its ASCII
// letters and digits zero-terminated in line. True when exactly
// MODEL_RECORD_LENGTH were kept; false at the end of the file, even when
// characters were kept before it.
bool ReadModelLine(std::FILE* file, std::span<char, MODEL_LINE_BUFFER_SIZE> line);

// True when the record starts with three decimal digits whose value is at
// most HIGHEST_STATION.
bool IsValidModelLine(std::span<const char, MODEL_RECORD_LENGTH> record);

// Reads the QEL's station model file into the request's workspace, whose
// models QEL_INIT has already set to "FA2". MODELS_READ when there is no file
// or it was read up to its end, its first line that is not a record, or its
// STATION_COUNT-th record; MODELS_FILE_DISREGARDED when an illegal record made
// every station "FA2" again.
int LoadStationModels(const QelRequest& request);

}  // namespace qel
