// Opening a store at the start of a front-end, which must never keep the
// gateway from serving its line: a damaged file is set aside (renamed with
// the time in its name, for whoever wants to look into it) and a new one
// made; a place that cannot hold a store at all (a folder where the file
// should be, a read-only folder, another process's file) leaves the caller
// to run without one, with the reason to say so.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "store/message_store.h"
#include "store/store_limits.h"

namespace qel::store {

struct StoreOpening {
    enum class Outcome {
        Opened,     // as it was
        Renewed,    // the damaged file set aside; a new, empty store open
        Unusable,   // not open; `error` says why
    };
    Outcome outcome = Outcome::Unusable;
    std::string setAside;  // Renewed: where the damaged file went
    std::string error;     // Renewed: what was wrong with it; Unusable: why there is no store
};

// The same for any file of ours on SQLite (the queue, a recording): `open`
// opens `path` and says, when it fails, whether the file itself is at fault
// (`damaged`) rather than the place or its owner.
using StoreOpener = std::function<bool(std::string& error, bool& damaged)>;
StoreOpening OpenSettingAside(const std::string& path, std::time_t now, const StoreOpener& open);

// `now` names the set-aside file: queue.db -> queue.db.damaged-20240131T120000
// (its -wal beside it, -wal after the name).
StoreOpening OpenStore(MessageStore& store, const std::string& path, const StoreLimits& limits, std::time_t now);

}  // namespace qel::store
