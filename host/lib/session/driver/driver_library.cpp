#include "session/driver/driver_library.h"

#include "session/driver/driver_log.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>

#include <sys/stat.h>

#include <climits>
#endif

namespace qel::session {

std::string ProgramDirectory() {
#if defined(_WIN32)
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string full(path, n);
    const auto slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
#else
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string full(path, static_cast<std::size_t>(n));
    const auto slash = full.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
#endif
}

std::string DriverLibrary::DefaultPath() {
#if defined(_WIN32)
    return ProgramDirectory() + "\\VUZORUR.dll";
#else
    // In the build tree the driver lies beside this program; installed, it
    // lies in the library directory. Both go by the driver's soname.
    const std::string beside = ProgramDirectory() + "/" VUZORUR_DRIVER_FILE;
    const std::string installed = ProgramDirectory() + "/" VUZORUR_LIBRARY_FROM_PROGRAM "/" VUZORUR_DRIVER_FILE;
    struct stat info {};
    if (stat(beside.c_str(), &info) != 0 && stat(installed.c_str(), &info) == 0) return installed;
    return beside;
#endif
}

bool DriverLibrary::Load(const std::string& path, std::string& error) {
    // The driver logs on stderr until told otherwise: a host that never
    // routes its log hears nothing.
    QuietDriverLogUnlessRouted();
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "cannot load the driver " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    library_ = reinterpret_cast<void*>(module);
    qelMain_ = reinterpret_cast<QelMainFunction>(reinterpret_cast<void*>(GetProcAddress(module, "QelMain")));
#else
    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* why = dlerror();
        error = "cannot load the driver " + path + ": " + (why != nullptr ? why : "unknown error");
        return false;
    }
    qelMain_ = reinterpret_cast<QelMainFunction>(dlsym(library_, "QelMain"));
#endif
    if (qelMain_ == nullptr) {
        error = "the library " + path + " has no QelMain: is it the driver?";
        return false;
    }
    return true;
}

DriverLibrary::~DriverLibrary() {
#if defined(_WIN32)
    if (library_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library_));
#else
    if (library_ != nullptr) dlclose(library_);
#endif
}

}  // namespace qel::session
