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
    // False with a reason when it was not kept.
    virtual bool Hold(HeldMessage message, std::string& error) = 0;
    // The oldest, up to `most`.
    virtual std::vector<HeldMessage> Oldest(std::size_t most) = 0;
    // Removes these, sent.
    virtual void Remove(const std::vector<std::int64_t>& ids) = 0;
    virtual std::uint64_t Depth() const = 0;
    virtual std::uint64_t Dropped() const = 0;
};

// In memory, at most `most` messages.
std::unique_ptr<HeldData> MemoryHeldData(std::size_t most);
// In the on-disk store of host_store (kept across a restart), bounded by its limits.
std::unique_ptr<HeldData> StoreHeldData(std::unique_ptr<store::MessageStore> store);

}  // namespace qel::sparkplug
