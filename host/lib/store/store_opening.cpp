#include "store/store_opening.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qel::store {

namespace {

std::string Stamp(std::time_t now) {
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
    return text;
}

// A free name for the damaged file: the time, and a number when that
// second's name is taken already.
std::string AsideName(const std::string& path, std::time_t now) {
    const std::string base = path + ".damaged-" + Stamp(now);
    std::string name = base;
    for (int n = 2; access(name.c_str(), F_OK) == 0 && n < 100; ++n) name = base + "-" + std::to_string(n);
    return name;
}

}  // namespace

StoreOpening OpenStore(MessageStore& store, const std::string& path, const StoreLimits& limits, std::time_t now) {
    return OpenSettingAside(path, now, [&](std::string& error, bool& damaged) {
        const bool opened = store.Open(path, limits, error);
        damaged = !opened && store.Damaged();
        return opened;
    });
}

StoreOpening OpenSettingAside(const std::string& path, std::time_t now, const StoreOpener& open) {
    StoreOpening opening;
    std::string error;
    bool damaged = false;
    if (open(error, damaged)) {
        opening.outcome = StoreOpening::Outcome::Opened;
        return opening;
    }
    if (!damaged) {
        opening.error = error;
        return opening;
    }
    const std::string aside = AsideName(path, now);
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        opening.error = error + "; cannot set it aside: " + std::strerror(errno);
        return opening;
    }
    // Its log belongs to it: a new file must not replay the old one's.
    const std::string wal = path + "-wal";
    if (access(wal.c_str(), F_OK) == 0) std::rename(wal.c_str(), (aside + "-wal").c_str());
    std::remove((path + "-shm").c_str());
    std::string again;
    bool damagedAgain = false;
    if (!open(again, damagedAgain)) {
        opening.error = error + "; set aside as " + aside + ", but a new one failed too: " + again;
        return opening;
    }
    opening.outcome = StoreOpening::Outcome::Renewed;
    opening.setAside = aside;
    opening.error = error;
    return opening;
}

}  // namespace qel::store
