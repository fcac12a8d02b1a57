// Where a Sparkplug node keeps its data while it may not send it (the
// primary host offline, the broker away): messages in order, each a
// device's data without its seq, until they are sent after the rebirth.
// Bounded: beyond the bound the oldest go.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "store/message_store.h"

namespace qel::sparkplug {

struct HeldMessage {
    std::int64_t id = 0;
    std::string device;   // empty: the node's own data
    std::string payload;  // a Payload without seq, its metrics historical
    std::int64_t millis = 0;
};

class HeldData {
public:
    virtual ~HeldData() = default;
    // False when it was not kept (a full disk: counted as dropped). `note`
    // gets a line for the log when keeping begins or ends to fail, once an
    // episode, not at each message.
    virtual bool Hold(HeldMessage message, std::string& note) = 0;
    // The oldest, up to `most`.
    virtual std::vector<HeldMessage> Oldest(std::size_t most) = 0;
    // Removes these, sent.
    virtual void Remove(const std::vector<std::int64_t>& ids) = 0;
    virtual std::uint64_t Depth() const = 0;
    virtual std::uint64_t Dropped() const = 0;
    // Why it keeps nothing now; empty while it does.
    virtual std::string Trouble() const { return {}; }
};

// In memory, at most `most` messages.
std::unique_ptr<HeldData> MemoryHeldData(std::size_t most);
// In the on-disk store of host_store (kept across a restart), bounded by its limits.
std::unique_ptr<HeldData> StoreHeldData(std::unique_ptr<store::MessageStore> store);

struct HeldOpening {
    std::unique_ptr<HeldData> held;
    std::string note;     // for the log: a damaged file set aside, or why it is in memory
    std::string trouble;  // why the file is not used; empty when it is
};
// The on-disk store at `file` (a damaged one set aside and made anew); in
// memory, at most `most`, when the file cannot be used, which never keeps
// the node from starting.
HeldOpening OpenHeldData(const std::string& file, const store::StoreLimits& limits, std::size_t most);

}  // namespace qel::sparkplug
