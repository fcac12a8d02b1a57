// Every option that holds a path, as an admin may write it relative: the
// table the tests of relative paths go through, so that a key added to one
// is tried by all.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "gateway/gate_options.h"

namespace qel::gateway {

struct PathKey {
    const char* key;
    const char* name;  // the file (or folder) it names, relative
    std::function<const std::string&(const Options&)> field;
};

// Every path-valued key but --config (which names the file the others are in).
const std::vector<PathKey>& PathKeys();

// Each key's file made in `folder` (a folder for the buffer), holding a
// gate list line, so that a key that reads its file finds one.
void MakePathKeyFiles(const std::filesystem::path& folder);

}  // namespace qel::gateway
