#include "session/stations/model_directory.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <system_error>

namespace qel::session {

namespace fs = std::filesystem;

std::string Absolute(const std::string& path) {
    if (path.empty()) return path;
    std::error_code ec;
    const fs::path full = fs::absolute(path, ec);
    return ec ? path : full.lexically_normal().string();
}

std::string ModelFileName(int qel) {
    char name[32];
    std::snprintf(name, sizeof name, "davEV%.2d.int", qel);
    return name;
}

bool MakeWorkDirectory(std::string& directory, std::string& error) {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = ".";
    for (int attempt = 0; attempt < 100 && directory.empty(); ++attempt) {
        const fs::path candidate = base / ("vuzorur-session-" + std::to_string(std::random_device{}()) + std::to_string(attempt));
        if (fs::create_directory(candidate, ec)) directory = candidate.string();
    }
    if (directory.empty()) {
        error = "cannot make a working directory for the station model file";
        return false;
    }
    fs::current_path(directory, ec);
    if (ec) {
        error = "cannot change into " + directory + ": " + ec.message();
        LeaveWorkDirectory(directory);
        directory.clear();
        return false;
    }
    return true;
}

bool WriteModelFile(const std::string& directory, int qel, const std::string& text, std::string& error) {
    const fs::path path = fs::path(directory) / ModelFileName(qel);
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << text;
    if (!file.flush()) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

void LeaveWorkDirectory(const std::string& directory) {
    if (directory.empty()) return;
    std::error_code ec;
    fs::current_path(fs::temp_directory_path(ec), ec);
    fs::remove_all(directory, ec);
}

}  // namespace qel::session
