// A store's bad days: a damaged file at the start, a place that cannot hold
// one, a disk that fills and empties again; and the episodes of the log.
#include "store/store_opening.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/message_store.h"
#include "store/write_failures.h"

namespace qel::store {
namespace {

namespace fs = std::filesystem;

class StoreOpeningTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("store-opening-" + std::to_string(getpid()) + "-" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "queue.db").string();
    }
    void TearDown() override {
        if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
        fs::remove_all(dir_);
    }
    static std::vector<StoredMessage> Messages(int count, std::size_t size = 200) {
        std::vector<StoredMessage> out;
        for (int i = 0; i < count; ++i) out.push_back({0, "fa/l/001/DR" + std::to_string(i), std::string(size, 'v'), 1, true, 1000});
        return out;
    }
    std::vector<fs::path> Aside() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(dir_))
            if (entry.path().filename().string().rfind("queue.db.damaged-", 0) == 0) found.push_back(entry.path());
        return found;
    }

    fs::path dir_;
    std::string path_;
    bool mounted_ = false;
};

// Time 2024-01-31 12:00:00 UTC.
constexpr std::time_t kNow = 1706702400;

TEST_F(StoreOpeningTest, AGoodFileOpensAsItWas) {
    {
        MessageStore store;
        ASSERT_EQ(OpenStore(store, path_, {}, kNow).outcome, StoreOpening::Outcome::Opened);
        std::vector<StoredMessage> messages = Messages(3);
        std::uint64_t dropped = 0;
        std::string error;
        ASSERT_TRUE(store.Append(messages, 1000, dropped, error)) << error;
    }
    MessageStore store;
    EXPECT_EQ(OpenStore(store, path_, {}, kNow).outcome, StoreOpening::Outcome::Opened);
    EXPECT_EQ(store.Counts().depth, 3u);
    EXPECT_TRUE(Aside().empty());
}

// Each damaged file is set aside with the time in its name, its bytes
// untouched, and a new store is made in its place.
struct Damage {
    const char* name;
    std::string bytes;  // written as the file
};

class DamagedFile : public StoreOpeningTest, public testing::WithParamInterface<Damage> {};

TEST_P(DamagedFile, IsSetAsideAndANewStoreMade) {
    {
        std::ofstream out(path_, std::ios::binary);
        out << GetParam().bytes;
    }
    MessageStore store;
    const StoreOpening opening = OpenStore(store, path_, {}, kNow);
    ASSERT_EQ(opening.outcome, StoreOpening::Outcome::Renewed) << opening.error;
    EXPECT_EQ(opening.setAside, path_ + ".damaged-20240131T120000");
    EXPECT_FALSE(opening.error.empty());
    std::ifstream in(opening.setAside, std::ios::binary);
    const std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, GetParam().bytes);
    // The new one works.
    std::vector<StoredMessage> messages = Messages(2);
    std::uint64_t dropped = 0;
    std::string error;
    ASSERT_TRUE(store.Append(messages, 1000, dropped, error)) << error;
    EXPECT_EQ(store.Counts().depth, 2u);
}

std::string Junk() {
    std::string text;
    for (int i = 0; i < 20000; ++i) text += static_cast<char>((i * 7919) % 251);
    return text;
}

// A database of somebody else's: the header is right, the table is not ours.
std::string ForeignDatabase() {
    const std::string path = fs::temp_directory_path() / ("foreign-" + std::to_string(getpid()) + ".db");
    fs::remove(path);
    const std::string command = "sqlite3 " + path + " 'CREATE TABLE messages(x); INSERT INTO messages VALUES(1);'";
    if (std::system(command.c_str()) != 0) return "";
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(path);
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedFile,
                         testing::Values(Damage{"Junk", Junk()}, Damage{"Text", std::string("not a database\n")},
                                         Damage{"HeaderThenJunk", std::string("SQLite format 3", 16) + Junk()}),
                         [](const testing::TestParamInfo<Damage>& p) { return std::string(p.param.name); });

TEST_F(StoreOpeningTest, AForeignTableIsSetAside) {
    const std::string bytes = ForeignDatabase();
    if (bytes.empty()) GTEST_SKIP() << "no sqlite3 command to make a foreign database";
    {
        std::ofstream out(path_, std::ios::binary);
        out << bytes;
    }
    MessageStore store;
    const StoreOpening opening = OpenStore(store, path_, {}, kNow);
    EXPECT_EQ(opening.outcome, StoreOpening::Outcome::Renewed) << opening.error;
}

TEST_F(StoreOpeningTest, ASecondSetAsideTheSameSecondGetsANameOfItsOwn) {
    for (int round = 0; round < 2; ++round) {
        std::ofstream(path_, std::ios::binary) << Junk();
        MessageStore store;
        ASSERT_EQ(OpenStore(store, path_, {}, kNow).outcome, StoreOpening::Outcome::Renewed);
    }
    EXPECT_EQ(Aside().size(), 2u);
}

TEST_F(StoreOpeningTest, AFolderInItsPlaceIsUnusableAndLeftAlone) {
    fs::create_directories(path_ + "/inside");
    MessageStore store;
    const StoreOpening opening = OpenStore(store, path_, {}, kNow);
    EXPECT_EQ(opening.outcome, StoreOpening::Outcome::Unusable);
    EXPECT_NE(opening.error.find(path_), std::string::npos) << opening.error;
    EXPECT_TRUE(fs::is_directory(path_ + "/inside"));
    EXPECT_TRUE(Aside().empty());
}

TEST_F(StoreOpeningTest, AFileInUseIsUnusableAndLeftAlone) {
    MessageStore first;
    ASSERT_EQ(OpenStore(first, path_, {}, kNow).outcome, StoreOpening::Outcome::Opened);
    MessageStore second;
    const StoreOpening opening = OpenStore(second, path_, {}, kNow);
    EXPECT_EQ(opening.outcome, StoreOpening::Outcome::Unusable);
    EXPECT_NE(opening.error.find("in use"), std::string::npos) << opening.error;
    EXPECT_TRUE(Aside().empty());
}

// A small filesystem of its own that fills: tmpfs, mounted when the test
// may (root); skipped with the reason elsewhere.
TEST_F(StoreOpeningTest, AFullDiskRefusesAppendsAndRemovesThenTakesThemAgain) {
    if (mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << std::strerror(errno) << "): needs root";
    mounted_ = true;
    MessageStore store;
    ASSERT_EQ(OpenStore(store, path_, {}, kNow).outcome, StoreOpening::Outcome::Opened);
    std::vector<StoredMessage> first = Messages(20);
    std::uint64_t dropped = 0;
    std::string error;
    ASSERT_TRUE(store.Append(first, 1000, dropped, error)) << error;
    // The rest of the disk taken.
    const std::string filler = (dir_ / "filler").string();
    {
        std::ofstream out(filler, std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 1000 && out; ++i) out << block << std::flush;
    }
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i) {
        std::vector<StoredMessage> more = Messages(20, 2000);
        refused = !store.Append(more, 1000, dropped, error);
    }
    ASSERT_TRUE(refused) << "the full disk took every append";
    EXPECT_NE(error.find("full"), std::string::npos) << error;
    const StoreCounts full = store.Counts();
    // The space back: appends and removes work, nothing half-written counted.
    fs::remove(filler);
    std::vector<StoredMessage> after = Messages(5);
    ASSERT_TRUE(store.Append(after, 1000, dropped, error)) << error;
    EXPECT_EQ(store.Counts().depth, full.depth + 5);
    std::vector<std::int64_t> ids;
    for (const StoredMessage& m : store.Next(0, 100000)) ids.push_back(m.id);
    EXPECT_EQ(ids.size(), full.depth + 5);
    ASSERT_TRUE(store.Remove(ids, error)) << error;
    EXPECT_EQ(store.Counts().depth, 0u);
}

TEST(WriteFailures, OneLineAnEpisodeAndEveryLossCounted) {
    WriteFailures failures;
    EXPECT_EQ(failures.Succeeded("the buffer q"), "");
    EXPECT_FALSE(failures.Failing());
    EXPECT_EQ(failures.Failed("the buffer q", "database or disk is full", 3),
              "the buffer q takes no messages: database or disk is full");
    EXPECT_EQ(failures.Failed("the buffer q", "another error", 2), "");
    failures.Lost(1);
    EXPECT_TRUE(failures.Failing());
    EXPECT_EQ(failures.Error(), "database or disk is full");
    EXPECT_EQ(failures.Succeeded("the buffer q"), "the buffer q takes messages again; 6 messages dropped while it failed");
    EXPECT_EQ(failures.Succeeded("the buffer q"), "");
    EXPECT_EQ(failures.Error(), "");
    EXPECT_FALSE(failures.Failed("the buffer q", "full", 1).empty());  // a new episode, a new line
    EXPECT_EQ(failures.Succeeded("the buffer q"), "the buffer q takes messages again; 1 message dropped while it failed");
    EXPECT_EQ(failures.LostTotal(), 7u);
}

}  // namespace
}  // namespace qel::store
