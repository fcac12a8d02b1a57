// The name of the program that runs the session, for the head of every
// message the session library prints ("qelhost: ...", "qelgate: ...").
#pragma once

#include <string>

namespace qel::session {

// Set once, at the start of main; no name (and no head) until then.
void SetProgramName(const char* name);
const char* ProgramName();
// "NAME: " for the start of a message.
std::string MessageHead();

}  // namespace qel::session
