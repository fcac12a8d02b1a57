// Loads the driver library at run time, as a SCADA host does, and finds its
// one export.
#pragma once

#include <string>

#include "vuzorur.h"

namespace qel::session {

class DriverLibrary {
public:
    DriverLibrary() = default;
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // Loads the library at path; on failure error says why.
    bool Load(const std::string& path, std::string& error);
    std::int32_t Call(const QelRequest& request) const { return qelMain_(&request); }

    // The driver beside this program (libvuzorur.so.N, or VUZORUR.dll on
    // Windows); on Linux, failing that, the one in the installed library
    // directory.
    static std::string DefaultPath();

private:
    void* library_ = nullptr;
    QelMainFunction qelMain_ = nullptr;
};

// The directory this program was started from.
std::string ProgramDirectory();

}  // namespace qel::session
