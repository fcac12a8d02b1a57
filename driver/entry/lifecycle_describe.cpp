// QEL_DESCRIBE and the installation banner it hands the host.
#include <cstddef>
#include <string_view>

#include "driver_version.h"
#include "entry/lifecycle.h"
#include "base/workspace.h"

namespace qel {
namespace {

// The banner in code page 437: box characters 0xDA 0xC4 0xBF 0xB3 0xC0 0xD9
// (corners, bar, sides), shading 0xDB 0xB2 0xB1 0xB0 (full to light). The
// version is the project's; its line has room for "7.03".
#define VUZORUR_BANNER_BAR10 "\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4\xC4"
#define VUZORUR_BANNER_BAR \
    VUZORUR_BANNER_BAR10 VUZORUR_BANNER_BAR10 VUZORUR_BANNER_BAR10 \
    VUZORUR_BANNER_BAR10 VUZORUR_BANNER_BAR10 VUZORUR_BANNER_BAR10
constexpr char kBanner[] =
    "\n"
    "\xDA" VUZORUR_BANNER_BAR "\xBF\n"
    "\xB3 "
    "\xDB\xDB\xDB\xDB\xDB" "\xB2\xB2\xB2\xB2\xB2\xB2" "\xB1\xB1\xB1\xB1\xB1\xB1" "\xB0\xB0\xB0\xB0\xB0\xB0"
    " Q E L Z N "
    "\xB0\xB0\xB0\xB0\xB0\xB0" "\xB1\xB1\xB1\xB1\xB1\xB1" "\xB2\xB2\xB2\xB2\xB2\xB2" "\xDB\xDB\xDB\xDB\xDB"
    "  \xB3\n"
    "\xB3              Izumi FA-series Driver installed.             \xB3\n"
    "\xB3                 Izumi 1/N Serial Protocol.                 \xB3\n"
    "\xB3       Made by the Vuzorur driver team - Version " VUZORUR_BANNER_VERSION "       \xB3\n"
    "\xC0" VUZORUR_BANNER_BAR "\xD9\n";
#undef VUZORUR_BANNER_BAR
#undef VUZORUR_BANNER_BAR10

// A newline, then BANNER_LINE_COUNT lines of BANNER_LINE_WIDTH characters,
// each ended by a newline.
constexpr bool BannerLinesEven() {
    if (kBanner[0] != '\n') return false;
    std::size_t lines = 0;
    std::size_t column = 0;
    for (std::size_t i = 1; i < BANNER_LENGTH; ++i) {
        if (kBanner[i] != '\n') {
            ++column;
            continue;
        }
        if (column != BANNER_LINE_WIDTH) return false;
        column = 0;
        ++lines;
    }
    return lines == BANNER_LINE_COUNT && column == 0;
}
static_assert(sizeof(kBanner) == BANNER_LENGTH + 1, "the banner is 379 characters and its terminator");
static_assert(BannerLinesEven(), "every banner line is 62 characters wide");

}  // namespace

std::string_view InstallationBanner() { return {kBanner, BANNER_LENGTH}; }

std::int32_t Describe(const QelRequest* request) {
    DriverInfo* info = ParametersOf<DriverInfo>(request);
    if (info == nullptr) return RESULT_REFUSED;
    info->hostCode1 = DESCRIBE_HOST_CODE_1;
    info->driverName = kDriverName;
    info->bannerText = kBanner;
    info->workspaceSize = DRIVER_WORKSPACE_SIZE;
    info->hostCode2 = DESCRIBE_HOST_CODE_2;
    info->baudRate = DEFAULT_BAUD_RATE;
    info->dataBits = DEFAULT_DATA_BITS;
    info->stopBits = DEFAULT_STOP_BITS;
    info->parity = DEFAULT_PARITY;
    info->hostCode3 = DESCRIBE_HOST_CODE_3;
    return RESULT_DONE;
}

}  // namespace qel
