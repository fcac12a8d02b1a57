// The recording on disk: what goes in comes back in order, changes only,
// within its bound, and a file that is not a recording is told apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "record/change_filter.h"
#include "record/recorder.h"
#include "record/recording_reader.h"
#include "record/recording_schema.h"
#include "record/recording_writer.h"
#include "store/message_store.h"
#include "store/store_opening.h"

namespace qel::record {
namespace {

namespace fs = std::filesystem;

class RecordingTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("recording-" + std::to_string(getpid()) + "-" +
                                            testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "night.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    Recording Read() const {
        Recording recording;
        std::string error;
        EXPECT_TRUE(ReadRecording(path_, recording, error)) << error;
        return recording;
    }

    fs::path dir_;
    std::string path_;
};

Change At(std::int64_t millis, unsigned station, const char* area, unsigned number, std::uint16_t value) {
    return {millis, station, area, number, value};
}

TEST(ChangeFilterTest, KeepsTheFirstValueAndEachDifferentOne) {
    ChangeFilter filter;
    const std::vector<Change> first = {At(1, 1, "DR", 10, 5), At(1, 1, "DR", 11, 0), At(1, 2, "IO", 157, 1)};
    EXPECT_EQ(filter.Keep(first), first);
    // The same values again: nothing.
    EXPECT_TRUE(filter.Keep({At(2, 1, "DR", 10, 5), At(2, 1, "DR", 11, 0), At(2, 2, "IO", 157, 1)}).empty());
    // One element changes; the same number in another area or station is another element.
    const std::vector<Change> kept =
        filter.Keep({At(3, 1, "DR", 10, 6), At(3, 1, "DR", 11, 0), At(3, 1, "TM", 10, 5), At(3, 3, "DR", 10, 5)});
    EXPECT_EQ(kept, (std::vector<Change>{At(3, 1, "DR", 10, 6), At(3, 1, "TM", 10, 5), At(3, 3, "DR", 10, 5)}));
    // Back to the earlier value is a change too.
    EXPECT_EQ(filter.Keep({At(4, 1, "DR", 10, 5)}), (std::vector<Change>{At(4, 1, "DR", 10, 5)}));
    filter.Forget();
    EXPECT_EQ(filter.Keep({At(5, 1, "DR", 10, 5)}).size(), 1u);
}

TEST_F(RecordingTest, ChangesComeBackInTheOrderTheyWereWritten) {
    const std::vector<Change> changes = {At(1000, 1, "DR", 10, 4660), At(1000, 2, "IO", 157, 1),
                                         At(1500, 1, "DR", 10, 65535), At(1400, 2, "IM", 640, 0)};
    {
        RecordingWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path_, {}, error)) << error;
        ASSERT_TRUE(writer.Append({changes[0], changes[1]}, 1000, error)) << error;
        ASSERT_TRUE(writer.Append({changes[2], changes[3]}, 1600, error)) << error;
        ASSERT_TRUE(writer.Mark(2500, error)) << error;
        EXPECT_EQ(writer.Counts().changes, 4u);
    }
    const Recording recording = Read();
    EXPECT_EQ(recording.changes, changes);  // in the order written, not sorted by time
    EXPECT_EQ(recording.endedMillis, 2500);
    // A second writer goes on with the same file.
    RecordingWriter again;
    std::string error;
    ASSERT_TRUE(again.Open(path_, {}, error)) << error;
    EXPECT_EQ(again.Counts().changes, 4u);
    ASSERT_TRUE(again.Append({At(3000, 1, "DR", 10, 7)}, 3000, error)) << error;
    again.Close();
    EXPECT_EQ(Read().changes.size(), 5u);
}

TEST_F(RecordingTest, ASecondWriterIsRefusedWhileReadersMayRead) {
    RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path_, {}, error)) << error;
    ASSERT_TRUE(writer.Append({At(1000, 1, "DR", 1, 1)}, 1000, error)) << error;
    RecordingWriter second;
    EXPECT_FALSE(second.Open(path_, {}, error));
    EXPECT_NE(error.find("in use by another process"), std::string::npos) << error;
    EXPECT_FALSE(second.Damaged());
    EXPECT_EQ(Read().changes.size(), 1u);
    ASSERT_TRUE(writer.Append({At(1100, 1, "DR", 1, 2)}, 1100, error)) << error;
    EXPECT_EQ(Read().changes.size(), 2u);
}

// The bound, as the broker's queue keeps it: the oldest go first.
struct BoundCase {
    const char* name;
    store::StoreLimits limits;
    int appended;          // one change a second, from t = 0
    std::size_t kept;      // the newest this many stay
};

class RecordingBoundTest : public RecordingTest, public testing::WithParamInterface<BoundCase> {};

TEST_P(RecordingBoundTest, TheOldestGoFirst) {
    const BoundCase& c = GetParam();
    RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path_, c.limits, error)) << error;
    for (int i = 0; i < c.appended; ++i)
        ASSERT_TRUE(writer.Append({At(i * 1000, 1, "DR", 10, static_cast<std::uint16_t>(i))}, i * 1000, error)) << error;
    const RecordingCounts counts = writer.Counts();
    EXPECT_EQ(counts.changes, c.kept);
    EXPECT_EQ(counts.dropped, c.appended - c.kept);
    if (c.limits.maxBytes) {
        EXPECT_LE(counts.bytes, c.limits.maxBytes);
    }
    writer.Close();
    const Recording recording = Read();
    ASSERT_EQ(recording.changes.size(), c.kept);
    for (std::size_t i = 0; i < c.kept; ++i)
        EXPECT_EQ(recording.changes[i].value, c.appended - c.kept + i) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, RecordingBoundTest,
    testing::Values(BoundCase{"NoBound", {}, 50, 50},
                    // 42 bytes a change of a two-letter area: 10 fit in 420.
                    BoundCase{"Size", {10 * ChangeBytes(2), 0}, 50, 10},
                    BoundCase{"SizeOfOne", {ChangeBytes(2), 0}, 5, 1},
                    // Changes of the last 10 s at t = 49 s: t >= 39 s.
                    BoundCase{"Age", {0, 10000}, 50, 11},
                    BoundCase{"SizeBeforeAge", {5 * ChangeBytes(2), 10000}, 50, 5},
                    BoundCase{"AgeBeforeSize", {100 * ChangeBytes(2), 3000}, 50, 4}),
    [](const testing::TestParamInfo<BoundCase>& param) { return param.param.name; });

TEST_F(RecordingTest, AgeDropsAlsoWhenNothingChanges) {
    RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path_, {0, 5000}, error)) << error;
    ASSERT_TRUE(writer.Append({At(0, 1, "DR", 1, 1), At(0, 1, "DR", 2, 2)}, 0, error)) << error;
    ASSERT_TRUE(writer.Mark(4000, error)) << error;
    EXPECT_EQ(writer.Counts().changes, 2u);
    ASSERT_TRUE(writer.Mark(6000, error)) << error;
    EXPECT_EQ(writer.Counts().changes, 0u);
    EXPECT_EQ(writer.Counts().dropped, 2u);
}

TEST_F(RecordingTest, TheRecorderWritesChangesOnlyAndNotesTheEnd) {
    RecordingWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path_, {}, error)) << error;
    Recorder recorder(writer);
    const std::vector<Change> round = {At(0, 1, "DR", 10, 1), At(0, 1, "IO", 0, 0)};
    EXPECT_EQ(recorder.Note(round, 0), "");
    for (int t = 100; t < 3000; t += 100) {
        std::vector<Change> same = round;
        for (Change& c : same) c.millis = t;
        if (t >= 1500) same[1].value = 1;
        EXPECT_EQ(recorder.Note(same, t), "");
    }
    EXPECT_EQ(recorder.Counts().recorded, 3u);
    writer.Close();
    const Recording recording = Read();
    EXPECT_EQ(recording.changes, (std::vector<Change>{At(0, 1, "DR", 10, 1), At(0, 1, "IO", 0, 0), At(1500, 1, "IO", 0, 1)}));
    // Noted at most a second apart while nothing changed: the last at 2500.
    EXPECT_EQ(recording.endedMillis, 2500);
}

TEST_F(RecordingTest, TheRecorderCountsWhatAClosedFileLostAndWritesItOnceItIsBack) {
    RecordingWriter writer;
    std::string error;
    Recorder recorder(writer);
    // Not open: every write fails, as on a disk that refuses.
    const std::string first = recorder.Note({At(0, 1, "DR", 10, 1)}, 0);
    EXPECT_NE(first.find("takes no changes"), std::string::npos) << first;
    EXPECT_EQ(recorder.Note({At(100, 1, "DR", 10, 2)}, 100), "");  // one line an episode
    EXPECT_EQ(recorder.Counts().lost, 2u);
    ASSERT_TRUE(writer.Open(path_, {}, error)) << error;
    // The value lost is a change again when the file takes changes.
    const std::string back = recorder.Note({At(200, 1, "DR", 10, 2)}, 200);
    EXPECT_NE(back.find("takes changes again; 2 changes lost"), std::string::npos) << back;
    writer.Close();
    EXPECT_EQ(Read().changes, (std::vector<Change>{At(200, 1, "DR", 10, 2)}));
}

// Files that are not recordings, as a reader meets them and as a writer does.
TEST_F(RecordingTest, TheReaderTellsWhatIsWrongWithAFile) {
    Recording recording;
    std::string error;
    EXPECT_FALSE(ReadRecording((dir_ / "missing.db").string(), recording, error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(dir_ / "missing.db"));  // and made none

    EXPECT_FALSE(ReadRecording(dir_.string(), recording, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    std::ofstream(path_) << std::string(8192, 'x');
    EXPECT_FALSE(ReadRecording(path_, recording, error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;

    const std::string queue = (dir_ / "queue.db").string();
    {
        store::MessageStore store;
        ASSERT_TRUE(store.Open(queue, {}, error)) << error;
    }
    EXPECT_FALSE(ReadRecording(queue, recording, error));
    EXPECT_NE(error.find("not a recording"), std::string::npos) << error;
}

TEST_F(RecordingTest, ADamagedRecordingIsSetAsideAndANewOneBegun) {
    std::ofstream(path_) << std::string(8192, 'x');
    RecordingWriter writer;
    const store::StoreOpening opening = store::OpenSettingAside(path_, 1706702400, [&](std::string& error, bool& damaged) {
        const bool opened = writer.Open(path_, {}, error);
        damaged = !opened && writer.Damaged();
        return opened;
    });
    ASSERT_EQ(opening.outcome, store::StoreOpening::Outcome::Renewed) << opening.error;
    EXPECT_EQ(opening.setAside, path_ + ".damaged-20240131T120000");
    EXPECT_EQ(fs::file_size(opening.setAside), 8192u);
    std::string error;
    ASSERT_TRUE(writer.Append({At(1, 1, "DR", 1, 1)}, 1, error)) << error;
    writer.Close();
    EXPECT_EQ(Read().changes.size(), 1u);
}

TEST_F(RecordingTest, AnotherKindOfDatabaseIsNotWrittenInto) {
    std::string error;
    {
        store::MessageStore store;
        ASSERT_TRUE(store.Open(path_, {}, error)) << error;
    }
    RecordingWriter writer;
    EXPECT_FALSE(writer.Open(path_, {}, error));
    EXPECT_TRUE(writer.Damaged());
    EXPECT_NE(error.find("not a recording"), std::string::npos) << error;
    // The queue is as it was: it still opens as a queue.
    store::MessageStore store;
    EXPECT_TRUE(store.Open(path_, {}, error)) << error;
}

TEST_F(RecordingTest, APlaceThatCannotHoldARecordingIsNotDamage) {
    RecordingWriter writer;
    std::string error;
    EXPECT_FALSE(writer.Open(dir_.string(), {}, error));
    EXPECT_FALSE(writer.Damaged());
    EXPECT_FALSE(writer.Open((dir_ / "no" / "such" / "folder.db").string(), {}, error));
    EXPECT_FALSE(writer.Damaged());
    EXPECT_NE(error.find("cannot open the recording"), std::string::npos) << error;
}

}  // namespace
}  // namespace qel::record
