// QelMain dispatch: codes outside the table and empty slots are refused
// without calling through a missing handler.
#include <gtest/gtest.h>

#include <cstring>

#include "vuzorur.h"

namespace {

TEST(Dispatch, NullRequestIsRefused) { EXPECT_EQ(QelMain(nullptr), 1); }

TEST(Dispatch, NotSupportedAnswersOneWhateverTheRequestHolds) {
    QelRequest request{};
    request.operation = QEL_NOT_SUPPORTED;
    request.workspace = nullptr;
    request.parameters = nullptr;
    EXPECT_EQ(QelMain(&request), 1);

    DriverWorkspace workspace;
    std::memset(&workspace, 0xA5, sizeof workspace);
    DriverWorkspace before = workspace;
    request.workspace = &workspace;
    EXPECT_EQ(QelMain(&request), 1);
    EXPECT_EQ(std::memcmp(&workspace, &before, sizeof workspace), 0) << "code 10 touches nothing";
}

class EmptyAndOutOfRange : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(EmptyAndOutOfRange, ReturnsOneWithoutACrash) {
    DriverWorkspace workspace{};
    QelRequest request{};
    request.operation = GetParam();
    request.workspace = &workspace;
    EXPECT_EQ(QelMain(&request), 1);
    request.workspace = nullptr;
    EXPECT_EQ(QelMain(&request), 1);
}

INSTANTIATE_TEST_SUITE_P(Codes, EmptyAndOutOfRange,
                         ::testing::Values(0, 8, 9, 16, 19, 100, -1, -17, INT32_MIN, INT32_MAX));

}  // namespace
