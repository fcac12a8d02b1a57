// The driver reads davEVnn.int from the current directory. A model file named
// on the command line is copied there, in a private working directory.
#pragma once

#include <string>

namespace qelhost {

// Makes a fresh directory, copies source into it as davEVnn.int and changes
// into it. Returns false with a reason.
bool EnterModelDirectory(const std::string& source, int qel, std::string& directory, std::string& copy,
                         std::string& error);
// Removes the copy and the directory.
void LeaveModelDirectory(const std::string& directory, const std::string& copy);
// An absolute form of a path given relative to the starting directory.
std::string Absolute(const std::string& path);

}  // namespace qelhost
