#include "session/report/program_name.h"

namespace qel::session {

namespace {
const char* programName = "";
}

void SetProgramName(const char* name) { programName = name; }

const char* ProgramName() { return programName; }

std::string MessageHead() { return *programName == '\0' ? std::string() : std::string(programName) + ": "; }

}  // namespace qel::session
