#include "sparkplug/held_data.h"

#include <chrono>
#include <ctime>
#include <deque>
#include <mutex>

#include "store/store_opening.h"
#include "store/write_failures.h"

namespace qel::sparkplug {

namespace {

class MemoryHeld final : public HeldData {
public:
    explicit MemoryHeld(std::size_t most) : most_(most) {}
    bool Hold(HeldMessage message, std::string&) override {
        message.id = ++lastId_;
        queue_.push_back(std::move(message));
        while (queue_.size() > most_) {
            queue_.pop_front();
            ++dropped_;
        }
        return true;
    }
    std::vector<HeldMessage> Oldest(std::size_t most) override {
        std::vector<HeldMessage> out;
        for (std::size_t i = 0; i < queue_.size() && i < most; ++i) out.push_back(queue_[i]);
        return out;
    }
    void Remove(const std::vector<std::int64_t>& ids) override {
        for (const std::int64_t id : ids)
            for (auto it = queue_.begin(); it != queue_.end(); ++it)
                if (it->id == id) {
                    queue_.erase(it);
                    break;
                }
    }
    std::uint64_t Depth() const override { return queue_.size(); }
    std::uint64_t Dropped() const override { return dropped_; }

private:
    std::size_t most_;
    std::deque<HeldMessage> queue_;
    std::int64_t lastId_ = 0;
    std::uint64_t dropped_ = 0;
};

class StoreHeld final : public HeldData {
public:
    explicit StoreHeld(std::unique_ptr<store::MessageStore> store) : store_(std::move(store)) {}
    bool Hold(HeldMessage message, std::string& note) override {
        // The device stands where the store keeps a topic.
        std::vector<store::StoredMessage> messages{{0, message.device, std::move(message.payload), 1, false,
                                                    message.millis}};
        std::uint64_t dropped = 0;
        std::string error;
        const std::string what = "the Sparkplug buffer";
        if (!store_->Append(messages, message.millis, dropped, error)) {
            note = failures_.Failed(what, error, 1);
            if (!note.empty()) note += "; held data is dropped (counted) until it takes messages again";
            return false;
        }
        note = failures_.Succeeded(what);
        return true;
    }
    std::vector<HeldMessage> Oldest(std::size_t most) override {
        std::vector<HeldMessage> out;
        for (store::StoredMessage& m : store_->Next(0, most))
            out.push_back({m.id, std::move(m.topic), std::move(m.payload), m.millis});
        return out;
    }
    void Remove(const std::vector<std::int64_t>& ids) override {
        std::string error;
        store_->Remove(ids, error);
    }
    std::uint64_t Depth() const override { return store_->Counts().depth; }
    std::uint64_t Dropped() const override { return store_->Counts().dropped + failures_.LostTotal(); }
    std::string Trouble() const override { return failures_.Error(); }

private:
    std::unique_ptr<store::MessageStore> store_;
    store::WriteFailures failures_;
};

}  // namespace

std::unique_ptr<HeldData> MemoryHeldData(std::size_t most) { return std::make_unique<MemoryHeld>(most); }

std::unique_ptr<HeldData> StoreHeldData(std::unique_ptr<store::MessageStore> store) {
    return std::make_unique<StoreHeld>(std::move(store));
}

HeldOpening OpenHeldData(const std::string& file, const store::StoreLimits& limits, std::size_t most) {
    HeldOpening out;
    auto store = std::make_unique<store::MessageStore>();
    const store::StoreOpening opening = store::OpenStore(*store, file, limits, std::time(nullptr));
    switch (opening.outcome) {
    case store::StoreOpening::Outcome::Unusable:
        out.trouble = opening.error + "; holding in memory";
        out.note = "Sparkplug buffer unusable: " + out.trouble + " (lost if the gateway stops)";
        out.held = MemoryHeldData(most);
        return out;
    case store::StoreOpening::Outcome::Renewed:
        out.note = "Sparkplug buffer damaged (" + opening.error + "): set aside as " + opening.setAside +
                   ", a new one made";
        break;
    case store::StoreOpening::Outcome::Opened:
        break;
    }
    out.held = StoreHeldData(std::move(store));
    return out;
}

}  // namespace qel::sparkplug
