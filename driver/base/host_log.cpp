#include "base/host_log.h"

#include <cstdarg>
#include <cstdio>

#if defined(_WIN32)

// The host's logging function, imported from KESTAN.dll.
extern "C" __declspec(dllimport) void err(int level, const char* format, ...);

namespace qel {
namespace {
using HostErr = void (*)(int, const char*, ...);
HostErr BoundErr() { return &err; }
}  // namespace
}  // namespace qel

#else

#include <dlfcn.h>
#include <link.h>

#include <atomic>

namespace qel {
namespace {

using HostErr = void (*)(int, const char*, ...);

// err is taken from a library named libkestan.so, found by the dynamic
// loader's normal search, so a host can supply its own. The C library also
// exports an err (it prints and exits the process): the symbol is accepted
// only when it really lives in the host library.
HostErr LookUpErr() {
    void* library = dlopen("libkestan.so", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    void* symbol = dlsym(library, "err");
    link_map* library_map = nullptr;
    link_map* symbol_map = nullptr;
    Dl_info where{};
    if (symbol == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &library_map) != 0 ||
        dladdr1(symbol, &where, reinterpret_cast<void**>(&symbol_map), RTLD_DL_LINKMAP) == 0 ||
        symbol_map == nullptr || symbol_map != library_map) {
        return nullptr;
    }
    return reinterpret_cast<HostErr>(symbol);
}

HostErr BoundErr() {
    static std::atomic<bool> looked{false};
    static std::atomic<HostErr> bound{nullptr};
    if (!looked.load(std::memory_order_acquire)) {
        bound.store(LookUpErr(), std::memory_order_release);
        looked.store(true, std::memory_order_release);
    }
    return bound.load(std::memory_order_acquire);
}

}  // namespace
}  // namespace qel

#endif

namespace qel {

void HostLog(int level, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    if (HostErr hostErr = BoundErr(); hostErr != nullptr) {
        hostErr(level, "%s", text);
    } else {
        // No host library to be found: keep the message on stderr.
        std::fprintf(stderr, "%d %s\n", level, text);
    }
}

}  // namespace qel
