#include "program_name.h"

namespace qelhost {

namespace {
const char* programName = "qelhost";
}

void SetProgramName(const char* name) { programName = name; }

const char* ProgramName() { return programName; }

std::string MessageHead() { return std::string(programName) + ": "; }

}  // namespace qelhost
