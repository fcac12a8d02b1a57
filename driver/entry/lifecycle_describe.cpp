// QEL_DESCRIBE and the installation banner it hands the host.
#include <array>

#include "driver_version.h"
#include "entry/lifecycle.h"
#include "entry/operation_table.h"
#include "entry/workspace.h"

namespace qel {
namespace {

// Box and shading characters of code page 437.
constexpr char kCornerTopLeft = '\xDA';     // ┌
constexpr char kHorizontal = '\xC4';        // ─
constexpr char kCornerTopRight = '\xBF';    // ┐
constexpr char kVertical = '\xB3';          // │
constexpr char kCornerBottomLeft = '\xC0';  // └
constexpr char kCornerBottomRight = '\xD9';  // ┘
constexpr char kFullBlock = '\xDB';         // █
constexpr char kDarkShade = '\xB2';         // ▓
constexpr char kMediumShade = '\xB1';       // ▒
constexpr char kLightShade = '\xB0';        // ░

constexpr std::string_view kTitle = " Q E L Z N ";
constexpr std::string_view kInstalled = "Izumi FA-series Driver installed.";
constexpr std::string_view kProtocol = "Izumi 1/N Serial Protocol.";
constexpr std::string_view kVendorNotice = "Made by the Vuzorur driver team";
// The version is the project's; the banner line has room for "7.03".
constexpr std::string_view kVersionNotice = " - Version " VUZORUR_BANNER_VERSION;
constexpr std::size_t kNoticeMargin = 7;
static_assert(kVendorNotice.size() + kVersionNotice.size() == BANNER_LINE_WIDTH - 2 - 2 * kNoticeMargin);

struct Banner {
    std::array<char, BANNER_LENGTH + 1> text{};  // zero-terminated
    std::size_t length = 0;
    std::size_t column = 0;
    bool linesEven = true;  // every line came out BANNER_LINE_WIDTH wide

    constexpr void Put(char c, std::size_t count = 1) {
        for (std::size_t i = 0; i < count; ++i) {
            text[length++] = c;
            ++column;
        }
    }
    constexpr void Put(std::string_view letters) {
        for (char c : letters) Put(c);
    }
    constexpr void EndLine() {
        if (column != BANNER_LINE_WIDTH) linesEven = false;
        text[length++] = '\n';
        column = 0;
    }
    // Framed text, centred between the given margins.
    constexpr void Framed(std::size_t left, std::string_view words, std::size_t right) {
        Put(kVertical);
        Put(' ', left);
        Put(words);
        Put(' ', right);
        Put(kVertical);
        EndLine();
    }
    constexpr void Shading(const std::array<char, 4>& order, const std::array<std::size_t, 4>& counts) {
        for (std::size_t i = 0; i < order.size(); ++i) Put(order[i], counts[i]);
    }
};

constexpr Banner BuildBanner() {
    Banner banner;
    banner.text[banner.length++] = '\n';

    banner.Put(kCornerTopLeft);
    banner.Put(kHorizontal, BANNER_LINE_WIDTH - 2);
    banner.Put(kCornerTopRight);
    banner.EndLine();

    banner.Put(kVertical);
    banner.Put(' ');
    banner.Shading({kFullBlock, kDarkShade, kMediumShade, kLightShade}, {5, 6, 6, 6});
    banner.Put(kTitle);
    banner.Shading({kLightShade, kMediumShade, kDarkShade, kFullBlock}, {6, 6, 6, 5});
    banner.Put(' ', 2);
    banner.Put(kVertical);
    banner.EndLine();

    banner.Framed(14, kInstalled, 13);
    banner.Framed(17, kProtocol, 17);

    banner.Put(kVertical);
    banner.Put(' ', kNoticeMargin);
    banner.Put(kVendorNotice);
    banner.Put(kVersionNotice);
    banner.Put(' ', kNoticeMargin);
    banner.Put(kVertical);
    banner.EndLine();

    banner.Put(kCornerBottomLeft);
    banner.Put(kHorizontal, BANNER_LINE_WIDTH - 2);
    banner.Put(kCornerBottomRight);
    banner.EndLine();
    return banner;
}

constexpr Banner kBanner = BuildBanner();
static_assert(kBanner.length == BANNER_LENGTH, "the banner is 379 characters");
static_assert(kBanner.linesEven, "every banner line is 62 characters wide");
static_assert(kBanner.text[BANNER_LENGTH] == '\0');

}  // namespace

std::string_view InstallationBanner() { return {kBanner.text.data(), kBanner.length}; }

std::int32_t Describe(const QelRequest* request) {
    if (request == nullptr) return LIFECYCLE_REFUSED;
    DriverInfo* info = ParametersOf<DriverInfo>(request);
    if (info == nullptr) return LIFECYCLE_REFUSED;
    info->hostCode1 = DESCRIBE_HOST_CODE_1;
    info->driverName = kDriverName;
    info->bannerText = kBanner.text.data();
    info->workspaceSize = DRIVER_WORKSPACE_SIZE;
    info->hostCode2 = DESCRIBE_HOST_CODE_2;
    info->baudRate = DEFAULT_BAUD_RATE;
    info->dataBits = DEFAULT_DATA_BITS;
    info->stopBits = DEFAULT_STOP_BITS;
    info->parity = DEFAULT_PARITY;
    info->hostCode3 = DESCRIBE_HOST_CODE_3;
    return LIFECYCLE_OK;
}

}  // namespace qel
