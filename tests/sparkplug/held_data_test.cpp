// Where a Sparkplug node keeps its data while it may not send it: in memory
// and in the on-disk store, the same promises: oldest first with every field
// kept, only what was sent removed, the bound dropping the oldest and
// counting them, and (on disk) the data there again after a restart.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "sparkplug/held_data.h"
#include "store/message_store.h"
#include "support/temp_store.h"

namespace {

using qel::sparkplug::HeldData;
using qel::sparkplug::HeldMessage;
using testsupport::TempStore;

std::unique_ptr<HeldData> OnDisk(const std::string& path, qel::store::StoreLimits limits = {}) {
    auto store = std::make_unique<qel::store::MessageStore>();
    std::string error;
    if (!store->Open(path, limits, error)) {
        ADD_FAILURE() << error;
        return nullptr;
    }
    return qel::sparkplug::StoreHeldData(std::move(store));
}

HeldMessage Message(int n) {
    // A payload with a zero byte in it, as a protobuf payload may have.
    return {0, n % 2 == 0 ? "" : "station" + std::to_string(n), std::string("p\0", 2) + std::to_string(n),
            1700000000000 + n};
}

// Both kinds of HeldData, unbounded for the purpose of these tests.
class Held : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        held_ = GetParam() ? OnDisk(temp_.Path()) : qel::sparkplug::MemoryHeldData(1000);
        ASSERT_TRUE(held_);
    }
    TempStore temp_;
    std::unique_ptr<HeldData> held_;
};

TEST_P(Held, GivesTheOldestFirstWithEveryField) {
    std::string error;
    for (int n = 1; n <= 5; ++n) ASSERT_TRUE(held_->Hold(Message(n), error)) << error;
    EXPECT_EQ(held_->Depth(), 5u);
    const std::vector<HeldMessage> three = held_->Oldest(3);
    ASSERT_EQ(three.size(), 3u);
    for (int n = 1; n <= 3; ++n) {
        const HeldMessage want = Message(n);
        const HeldMessage& got = three[static_cast<std::size_t>(n - 1)];
        EXPECT_EQ(got.device, want.device) << n;
        EXPECT_EQ(got.payload, want.payload) << n;
        EXPECT_EQ(got.millis, want.millis) << n;
        if (n > 1) {
            EXPECT_GT(got.id, three[static_cast<std::size_t>(n - 2)].id) << n;
        }
    }
    EXPECT_EQ(held_->Oldest(100).size(), 5u);
    EXPECT_TRUE(held_->Oldest(0).empty());
}

TEST_P(Held, RemovesOnlyWhatWasSent) {
    std::string error;
    for (int n = 1; n <= 5; ++n) ASSERT_TRUE(held_->Hold(Message(n), error)) << error;
    const std::vector<HeldMessage> all = held_->Oldest(5);
    ASSERT_EQ(all.size(), 5u);
    // The first and the third sent; an id not there is passed over.
    held_->Remove({all[0].id, all[2].id, all[4].id + 1000});
    const std::vector<HeldMessage> left = held_->Oldest(10);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left[0].payload, Message(2).payload);
    EXPECT_EQ(left[1].payload, Message(4).payload);
    EXPECT_EQ(left[2].payload, Message(5).payload);
    EXPECT_EQ(held_->Depth(), 3u);
    // Held after a removal: still behind the older ones.
    ASSERT_TRUE(held_->Hold(Message(6), error)) << error;
    EXPECT_EQ(held_->Oldest(10).back().payload, Message(6).payload);
    held_->Remove({left[0].id, left[1].id, left[2].id});
    ASSERT_EQ(held_->Oldest(10).size(), 1u);
    EXPECT_EQ(held_->Dropped(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Kinds, Held, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) { return p.param ? "OnDisk" : "InMemory"; });

TEST(HeldInMemory, BeyondItsBoundTheOldestGoAndAreCounted) {
    auto held = qel::sparkplug::MemoryHeldData(3);
    std::string error;
    for (int n = 1; n <= 7; ++n) ASSERT_TRUE(held->Hold(Message(n), error));
    EXPECT_EQ(held->Depth(), 3u);
    EXPECT_EQ(held->Dropped(), 4u);
    const std::vector<HeldMessage> left = held->Oldest(10);
    ASSERT_EQ(left.size(), 3u);
    EXPECT_EQ(left[0].payload, Message(5).payload);
    EXPECT_EQ(left[2].payload, Message(7).payload);
}

TEST(HeldOnDisk, BeyondItsAgeTheOldestGoAndAreCounted) {
    TempStore temp;
    qel::store::StoreLimits limits;
    limits.maxAgeMillis = 1000;
    auto held = OnDisk(temp.Path(), limits);
    ASSERT_TRUE(held);
    std::string error;
    // Messages made 2 s apart: each new one ages the one before out.
    for (int n = 0; n < 3; ++n) {
        HeldMessage m = Message(n);
        m.millis = 1700000000000 + 2000 * n;
        ASSERT_TRUE(held->Hold(m, error)) << error;
    }
    EXPECT_EQ(held->Depth(), 1u);
    EXPECT_EQ(held->Dropped(), 2u);
    ASSERT_EQ(held->Oldest(10).size(), 1u);
    EXPECT_EQ(held->Oldest(10)[0].payload, Message(2).payload);
}

TEST(HeldOnDisk, IsThereAgainAfterARestart) {
    TempStore temp;
    std::string error;
    {
        auto held = OnDisk(temp.Path());
        ASSERT_TRUE(held);
        for (int n = 1; n <= 3; ++n) ASSERT_TRUE(held->Hold(Message(n), error)) << error;
        held->Remove({held->Oldest(1)[0].id});
    }
    auto again = OnDisk(temp.Path());
    ASSERT_TRUE(again);
    const std::vector<HeldMessage> left = again->Oldest(10);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].device, Message(2).device);
    EXPECT_EQ(left[0].payload, Message(2).payload);
    EXPECT_EQ(left[1].millis, Message(3).millis);
}

}  // namespace
