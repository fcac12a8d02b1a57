#include "store/message_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace qel::store {
namespace {

class MessageStoreTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("store-test-" + std::to_string(getpid()) + "-" +
                                                         testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "queue.db").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static StoredMessage Make(const std::string& topic, const std::string& payload, std::int64_t millis) {
        return {0, topic, payload, 1, true, millis};
    }
    static std::vector<std::string> Payloads(const std::vector<StoredMessage>& messages) {
        std::vector<std::string> out;
        for (const StoredMessage& m : messages) out.push_back(m.payload);
        return out;
    }
    void Append(MessageStore& store, std::vector<StoredMessage> messages, std::int64_t now = 1000) {
        std::uint64_t dropped = 0;
        std::string error;
        ASSERT_TRUE(store.Append(messages, now, dropped, error)) << error;
        dropped_ += dropped;
        for (const StoredMessage& m : messages) ids_.push_back(m.id);
    }

    std::filesystem::path dir_;
    std::string path_;
    std::uint64_t dropped_ = 0;
    std::vector<std::int64_t> ids_;
};

TEST_F(MessageStoreTest, KeepsOrderAndEveryField) {
    MessageStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path_, {}, error)) << error;
    std::string binary("a\0b\xff", 4);
    Append(store, {Make("fa/l/001/DR0010", "{\"v\":1}", 111), Make("fa/l/001/DR0011", binary, 222)});
    Append(store, {{0, "x", "3", 0, false, 333}});
    const std::vector<StoredMessage> all = store.Next(0, 10);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(Payloads(all), (std::vector<std::string>{"{\"v\":1}", binary, "3"}));
    EXPECT_LT(all[0].id, all[1].id);
    EXPECT_LT(all[1].id, all[2].id);
    EXPECT_EQ(all[1].topic, "fa/l/001/DR0011");
    EXPECT_EQ(all[1].millis, 222);
    EXPECT_TRUE(all[1].retain);
    EXPECT_EQ(all[2].qos, 0);
    EXPECT_FALSE(all[2].retain);
    // From a cursor, and no more than asked.
    EXPECT_EQ(Payloads(store.Next(all[0].id, 1)), std::vector<std::string>{binary});
    EXPECT_EQ(store.Counts().depth, 3u);
    EXPECT_EQ(store.Counts().oldestMillis, 111);
}

TEST_F(MessageStoreTest, AcknowledgedLeaveAndAreCountedOnce) {
    MessageStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path_, {}, error)) << error;
    Append(store, {Make("a", "1", 1), Make("b", "2", 2), Make("a", "3", 3)});
    ASSERT_TRUE(store.Remove({ids_[1], ids_[1], 9999}, error)) << error;  // twice, and one never there
    EXPECT_EQ(Payloads(store.Next(0, 10)), (std::vector<std::string>{"1", "3"}));
    StoreCounts counts = store.Counts();
    EXPECT_EQ(counts.depth, 2u);
    EXPECT_EQ(counts.forwarded, 1u);
    ASSERT_TRUE(store.Remove({ids_[0], ids_[2]}, error)) << error;
    counts = store.Counts();
    EXPECT_EQ(counts.depth, 0u);
    EXPECT_EQ(counts.bytes, 0u);
    EXPECT_EQ(counts.oldestMillis, 0);
    EXPECT_EQ(counts.forwarded, 3u);
    // Ids go on rising after the store was empty: a cursor never skips a new message.
    Append(store, {Make("a", "4", 4)});
    EXPECT_GT(ids_.back(), ids_[2]);
    EXPECT_EQ(Payloads(store.Next(ids_[2], 10)), std::vector<std::string>{"4"});
}

TEST_F(MessageStoreTest, NewestOfEachTopic) {
    MessageStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path_, {}, error)) << error;
    Append(store, {Make("a", "1", 1), Make("b", "2", 2), Make("a", "3", 3)});
    EXPECT_FALSE(store.IsNewest("a", ids_[0]));
    EXPECT_TRUE(store.IsNewest("b", ids_[1]));
    EXPECT_TRUE(store.IsNewest("a", ids_[2]));
    EXPECT_TRUE(store.Contains(ids_[0]));
    ASSERT_TRUE(store.Remove({ids_[0]}, error));
    EXPECT_FALSE(store.Contains(ids_[0]));
}

struct BoundCase {
    const char* name;
    StoreLimits limits;
    std::int64_t now;
    std::vector<std::string> kept;
    std::uint64_t dropped;
};

class StoreBound : public MessageStoreTest, public testing::WithParamInterface<BoundCase> {};

// Ten messages of topic "t" (1 byte), payload 9 bytes: 42 bytes a row as
// counted; times 1000, 2000, ... 10000.
TEST_P(StoreBound, DropsTheOldestFirstAndCountsThem) {
    const BoundCase& c = GetParam();
    MessageStore store;
    std::string error;
    ASSERT_TRUE(store.Open(path_, c.limits, error)) << error;
    for (int i = 1; i <= 10; ++i) {
        char payload[16];
        std::snprintf(payload, sizeof payload, "value-%03d", i);
        Append(store, {Make("t", payload, i * 1000)}, std::min<std::int64_t>(c.now, i * 1000));
    }
    // One more append at `now` applies the age bound at that moment.
    Append(store, {}, c.now);
    std::vector<std::string> kept = Payloads(store.Next(0, 100));
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(dropped_, c.dropped);
    EXPECT_EQ(store.Counts().dropped, c.dropped);
    EXPECT_EQ(store.Counts().depth, c.kept.size());
    EXPECT_LE(store.Counts().bytes, c.limits.maxBytes ? c.limits.maxBytes : UINT64_MAX);
}

std::vector<std::string> Values(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i <= to; ++i) {
        char payload[16];
        std::snprintf(payload, sizeof payload, "value-%03d", i);
        out.push_back(payload);
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, StoreBound,
    testing::Values(BoundCase{"none", {}, 10000, Values(1, 10), 0},
                    BoundCase{"size_fits_all", {420, 0}, 10000, Values(1, 10), 0},
                    BoundCase{"size_keeps_four", {4 * 42 + 41, 0}, 10000, Values(7, 10), 6},
                    BoundCase{"age", {0, 3500}, 10000, Values(7, 10), 6},
                    BoundCase{"size_and_age", {5 * 42, 2500}, 10000, Values(8, 10), 7}),
    [](const testing::TestParamInfo<BoundCase>& param) { return std::string(param.param.name); });

TEST_F(MessageStoreTest, SurvivesReopenAndRefusesASecondOwner) {
    std::string error;
    {
        MessageStore store;
        ASSERT_TRUE(store.Open(path_, {}, error)) << error;
        Append(store, {Make("a", "1", 1), Make("b", "2", 2), Make("a", "3", 3)});
        ASSERT_TRUE(store.Remove({ids_[0]}, error));
        MessageStore second;
        EXPECT_FALSE(second.Open(path_, {}, error));
        EXPECT_NE(error.find("in use"), std::string::npos) << error;
    }
    MessageStore again;
    ASSERT_TRUE(again.Open(path_, {}, error)) << error;
    EXPECT_EQ(Payloads(again.Next(0, 10)), (std::vector<std::string>{"2", "3"}));
    EXPECT_EQ(again.Counts().depth, 2u);
    EXPECT_EQ(again.Counts().bytes, 2u * (32 + 1 + 1));
    EXPECT_TRUE(again.IsNewest("a", ids_[2]));
    Append(again, {Make("a", "4", 4)});
    EXPECT_GT(ids_.back(), ids_[2]);
}

TEST(StoreLimits, Parse) {
    struct Case {
        const char* text;
        bool ok;
        std::uint64_t bytes;
        std::int64_t millis;
    };
    for (const Case& c : std::vector<Case>{{"100MB", true, 100ull << 20, 0},
                                           {"512k", true, 512 << 10, 0},
                                           {"2G", true, 2ull << 30, 0},
                                           {"100M", true, 100ull << 20, 0},
                                           {"90m", true, 0, 90 * 60000},
                                           {"24h", true, 0, 86400000},
                                           {"500MB,7d", true, 500ull << 20, 7 * 86400000ll},
                                           {"1.5GB", true, 3ull << 29, 0},
                                           {"100", false, 0, 0},
                                           {"MB", false, 0, 0},
                                           {"10 parsecs", false, 0, 0},
                                           {"100MB,", false, 0, 0},
                                           {"0MB", false, 0, 0}}) {
        StoreLimits limits;
        std::string error;
        EXPECT_EQ(ParseStoreLimits(c.text, limits, error), c.ok) << c.text;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.text;
            continue;
        }
        EXPECT_EQ(limits.maxBytes, c.bytes) << c.text;
        EXPECT_EQ(limits.maxAgeMillis, c.millis) << c.text;
    }
}

}  // namespace
}  // namespace qel::store
