#include "model_directory.h"

#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace qelhost {

namespace fs = std::filesystem;

std::string Absolute(const std::string& path) {
    if (path.empty()) return path;
    std::error_code ec;
    const fs::path full = fs::absolute(path, ec);
    return ec ? path : full.string();
}

bool EnterModelDirectory(const std::string& source, int qel, std::string& directory, std::string& copy,
                         std::string& error) {
    std::error_code ec;
    const fs::path from = fs::absolute(source, ec);
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = base / ("qelhost-" + std::to_string(std::random_device{}()) + std::to_string(attempt));
        if (fs::create_directory(candidate, ec)) {
            directory = candidate.string();
            break;
        }
    }
    if (directory.empty()) {
        error = "cannot make a working directory for the station model file";
        return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "davEV%.2d.int", qel);
    copy = (fs::path(directory) / name).string();
    fs::copy_file(from, copy, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        error = "cannot use the station model file " + source + ": " + ec.message();
        LeaveModelDirectory(directory, copy);
        return false;
    }
    fs::current_path(directory, ec);
    if (ec) {
        error = "cannot change into " + directory + ": " + ec.message();
        LeaveModelDirectory(directory, copy);
        return false;
    }
    return true;
}

void LeaveModelDirectory(const std::string& directory, const std::string& copy) {
    std::error_code ec;
    if (!copy.empty()) fs::remove(copy, ec);
    if (!directory.empty()) {
        fs::current_path(fs::temp_directory_path(ec), ec);
        fs::remove(directory, ec);
    }
}

}  // namespace qelhost
