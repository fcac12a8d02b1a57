// Files read within a bound: a device, a FIFO or a file too large for its
// kind is refused at once with the reason; a secret file's mode is judged;
// a byte-order mark is taken everywhere.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/bounded_file.h"
#include "common/line_file.h"
#include "common/secret_file.h"

namespace {

namespace fs = std::filesystem;
using namespace qel::common;

class BoundedFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("bounded-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Write(const std::string& name, const std::string& bytes, mode_t mode = 0600) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path, std::ios::binary) << bytes;
        ::chmod(path.c_str(), mode);
        return path;
    }
    fs::path dir_;
};

TEST_F(BoundedFile, WhatIsNotARegularFileIsRefusedAtOnce) {
    const std::string fifo = (dir_ / "fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string link = (dir_ / "to-zero").string();
    fs::create_symlink("/dev/zero", link);
    struct Row {
        std::string path;
        const char* reason;
    };
    const Row rows[] = {
        {"/dev/zero", "a character device, not a regular file"},
        {fifo, "a FIFO, not a regular file"},
        {dir_.string(), "a directory, not a regular file"},
        {link, "a character device, not a regular file"},
        {(dir_ / "absent").string(), "No such file or directory"},
    };
    for (const Row& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        std::string bytes, error;
        EXPECT_FALSE(ReadBoundedFile(row.path, kConfigFile, bytes, error)) << row.path;
        EXPECT_EQ(error.rfind(row.path + ": " + row.reason, 0), 0u) << error;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << row.path;
        std::vector<TextLine> lines;
        EXPECT_FALSE(ReadTextLines(row.path, lines, error)) << row.path;
    }
}

TEST_F(BoundedFile, ASymlinkToARegularFileIsRead) {
    const std::string target = Write("target", "001DR0010\n");
    const std::string link = (dir_ / "link").string();
    fs::create_symlink(target, link);
    std::vector<TextLine> lines;
    std::string error;
    ASSERT_TRUE(ReadTextLines(link, lines, error)) << error;
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "001DR0010");
}

TEST_F(BoundedFile, EachKindHasItsBound) {
    struct Row {
        const char* name;
        std::string bytes;
        FileBound bound;
        bool read;
        const char* reason;  // after "PATH"
    };
    const Row rows[] = {
        {"token-at-bound", std::string(kSecretFile.maxBytes, 'a'), kSecretFile, true, ""},
        {"token-over", std::string(kSecretFile.maxBytes + 1, 'a'), kSecretFile, false,
         ": larger than 4 kB, more than a secret file holds"},
        {"long-line", "001DR0010\n" + std::string(kListFile.maxLineBytes + 1, 'x') + "\n", kListFile, false,
         ":2: a line of over 4 kB, longer than a list's lines"},
        {"line-at-bound", std::string(kListFile.maxLineBytes, 'x'), kListFile, true, ""},
        {"many-lines", std::string(kModelFile.maxLines + 1, '\n'), kModelFile, false,
         ":10001: more than 10000 lines, more than a station model file holds"},
        {"lines-at-bound", std::string(kModelFile.maxLines, '\n'), kModelFile, true, ""},
    };
    for (const Row& row : rows) {
        const std::string path = Write(row.name, row.bytes);
        std::string bytes, error;
        const bool read =
            ReadBoundedFile(path, row.bound, bytes, error) && CheckLineBounds(path, bytes, row.bound, error);
        EXPECT_EQ(read, row.read) << row.name << ": " << error;
        if (row.read) {
            EXPECT_EQ(bytes, row.bytes) << row.name;
        } else {
            EXPECT_EQ(error, path + row.reason) << row.name;
        }
    }
}

TEST_F(BoundedFile, ASecretFilesModeIsJudged) {
    struct Row {
        mode_t mode;
        bool read;
        const char* message;  // the error or the warning, after "PATH: "; empty: none
    };
    const Row rows[] = {
        {0600, true, ""},
        {0400, true, ""},
        {0640, true, ""},
        {0644, true, "mode 0644 lets every user read the secret; it should be 0600"},
        {0604, true, "mode 0604 lets every user read the secret; it should be 0600"},
        {0660, false, "mode 0660 lets its group write the secret; make it 0600"},
        {0666, false, "mode 0666 lets every user write the secret; make it 0600"},
        {0602, false, "mode 0602 lets every user write the secret; make it 0600"},
    };
    for (const Row& row : rows) {
        const std::string path = Write("token", "0123456789abcdefXYZ\n", row.mode);
        Secret secret;
        std::string error;
        EXPECT_EQ(ReadSecretFile(path, secret, error), row.read) << std::oct << row.mode << ": " << error;
        const std::string& said = row.read ? secret.warning : error;
        if (*row.message == '\0') {
            EXPECT_EQ(said, "") << std::oct << row.mode;
        } else {
            EXPECT_EQ(said.rfind(path + ": " + row.message, 0), 0u) << said;
        }
        if (row.read) {
            EXPECT_EQ(secret.text, "0123456789abcdefXYZ");
        }
        fs::remove(path);
    }
}

TEST(SecretText, TheFirstLineWithoutMarkOrBlanks) {
    const std::pair<std::string, std::string> rows[] = {
        {"\xEF\xBB\xBF" "0123456789abcdef\n", "0123456789abcdef"},
        {"  0123456789abcdef \r\nsecond\n", "0123456789abcdef"},
        {"0123456789abcdef", "0123456789abcdef"},
        {"\n0123456789abcdef", ""},
        {"", ""},
    };
    for (const auto& [bytes, secret] : rows) EXPECT_EQ(FirstLineSecret(bytes), secret) << bytes;
}

}  // namespace
