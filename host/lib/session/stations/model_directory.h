// The driver reads davEVnn.int from the current directory. A session that
// brings its own station models works in a private directory.
#pragma once

#include <string>

namespace qel::session {

// Makes a fresh directory and changes into it. False with a reason.
bool MakeWorkDirectory(std::string& directory, std::string& error);
// Writes text as the station model file of the QEL into directory.
bool WriteModelFile(const std::string& directory, int qel, const std::string& text, std::string& error);
// Removes the directory with what it holds.
void LeaveWorkDirectory(const std::string& directory);
// "davEV01.int" for QEL 1, "davEV123.int" for QEL 123.
std::string ModelFileName(int qel);
// An absolute form of a path given relative to the starting directory.
std::string Absolute(const std::string& path);

}  // namespace qel::session
