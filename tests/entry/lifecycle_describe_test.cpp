// QEL_DESCRIBE: the ten values and the installation banner.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "entry/lifecycle.h"
#include "vuzorur.h"

namespace {

DriverInfo Describe(void* workspace) {
    DriverInfo info;
    std::memset(&info, 0xCC, sizeof info);
    QelRequest request{};
    request.operation = QEL_DESCRIBE;
    request.workspace = workspace;
    request.parameters = &info;
    EXPECT_EQ(QelMain(&request), 0);
    return info;
}

TEST(Describe, FillsTheTenValuesWithoutAWorkspace) {
    const DriverInfo info = Describe(nullptr);
    EXPECT_EQ(info.hostCode1, 70u);
    EXPECT_STREQ(info.driverName, "Izumi FA-series Driver");
    ASSERT_NE(info.bannerText, nullptr);
    EXPECT_EQ(info.workspaceSize, 1591u);
    EXPECT_EQ(info.hostCode2, 4u);
    EXPECT_EQ(info.baudRate, 9600);
    EXPECT_EQ(info.dataBits, 8);
    EXPECT_EQ(info.stopBits, 0);
    EXPECT_EQ(info.parity, 2);
    EXPECT_EQ(info.hostCode3, 3u);
}

// The banner is a constant whose length and line widths the driver asserts
// when it is compiled; the host gets that constant.
TEST(Describe, BannerIsTheDriversConstant) {
    const DriverInfo info = Describe(nullptr);
    ASSERT_EQ(std::strlen(info.bannerText), 379u);
    EXPECT_EQ(std::string(info.bannerText), std::string(qel::InstallationBanner()));
    const std::string banner = info.bannerText;
    EXPECT_NE(banner.find("\xB3              Izumi FA-series Driver installed.             \xB3\n"), std::string::npos);
    EXPECT_NE(banner.find(" Q E L Z N "), std::string::npos);
}

TEST(Describe, BannerLinesAreSixtyTwoWide) {
    const std::string banner = Describe(nullptr).bannerText;
    ASSERT_EQ(banner.front(), '\n');
    std::size_t start = 1;
    int lines = 0;
    for (std::size_t end = banner.find('\n', start); end != std::string::npos; end = banner.find('\n', start)) {
        EXPECT_EQ(end - start, 62u) << "line " << lines;
        start = end + 1;
        ++lines;
    }
    EXPECT_EQ(lines, 6);
    EXPECT_EQ(start, banner.size());
}

TEST(Describe, TextsHaveTheLibrarysLifetime) {
    const DriverInfo first = Describe(nullptr);
    const DriverInfo second = Describe(nullptr);
    EXPECT_EQ(first.driverName, second.driverName);
    EXPECT_EQ(first.bannerText, second.bannerText);
}

TEST(Describe, AnUnpreparedWorkspaceIsNotTouched) {
    DriverWorkspace workspace;
    std::memset(&workspace, 0x5A, sizeof workspace);
    const DriverWorkspace before = workspace;
    const DriverInfo info = Describe(&workspace);
    EXPECT_EQ(info.workspaceSize, 1591u);
    EXPECT_EQ(std::memcmp(&workspace, &before, sizeof workspace), 0);
}

TEST(Describe, WithoutAParameterBlockIsRefused) {
    QelRequest request{};
    request.operation = QEL_DESCRIBE;
    EXPECT_EQ(QelMain(&request), 1);
}

}  // namespace
