// QEL_DESCRIBE: the ten values and the installation banner, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "entry/lifecycle.h"
#include "vuzorur.h"

namespace {

// The banner as the host shows it, written out here on its own: code page
// 437 box characters 0xDA 0xC4 0xBF 0xB3 0xC0 0xD9, shading 0xDB 0xB2 0xB1 0xB0.
std::string ExpectedBanner() {
    const std::string bar(60, '\xC4');
    const std::string up = std::string(5, '\xDB') + std::string(6, '\xB2') + std::string(6, '\xB1') +
                           std::string(6, '\xB0');
    const std::string down = std::string(6, '\xB0') + std::string(6, '\xB1') + std::string(6, '\xB2') +
                             std::string(5, '\xDB');
    std::string banner = "\n";
    banner += "\xDA" + bar + "\xBF\n";
    banner += "\xB3 " + up + " Q E L Z N " + down + "  \xB3\n";
    banner += "\xB3              Izumi FA-series Driver installed.             \xB3\n";
    banner += "\xB3                 Izumi 1/N Serial Protocol.                 \xB3\n";
    banner += "\xB3       Made by the Vuzorur driver team - Version 7.03       \xB3\n";
    banner += "\xC0" + bar + "\xD9\n";
    return banner;
}

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

TEST(Describe, BannerByteForByte) {
    const DriverInfo info = Describe(nullptr);
    const std::string expected = ExpectedBanner();
    ASSERT_EQ(expected.size(), 379u);
    ASSERT_EQ(std::strlen(info.bannerText), 379u);
    EXPECT_EQ(std::string(info.bannerText), expected);
    EXPECT_EQ(std::string(qel::InstallationBanner()), expected);
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
