// The lifecycle and port operations of a QEL: initialisation, warm start,
// opening, closing and reconfiguring its port, and the description of the
// driver for the host: their handlers, and what they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/result.h"
#include "vuzorur.h"

namespace qel {

// Handlers of the operation table.
std::int32_t InitQel(const QelRequest* request);            // 1  QEL_INIT
std::int32_t WarmStart(const QelRequest* request);          // 2  QEL_WARM_START
std::int32_t NotSupported(const QelRequest* request);       // 10 QEL_NOT_SUPPORTED
std::int32_t Close(const QelRequest* request);              // 11 QEL_CLOSE, calls ClosePort
std::int32_t ClosePort(const QelRequest* request);          // 12 QEL_CLOSE_PORT
std::int32_t OpenPortOperation(const QelRequest* request);  // 13 QEL_OPEN_PORT
std::int32_t Describe(const QelRequest* request);           // 14 QEL_DESCRIBE
std::int32_t Reconfigure(const QelRequest* request);        // 15 QEL_RECONFIGURE

// Every port QEL_INIT opens has DTR and RTS held off.
constexpr std::uint16_t INIT_LINE_CONTROL = 8;

// What QEL_DESCRIBE reports.
constexpr std::uint32_t DESCRIBE_HOST_CODE_1 = 70;
constexpr std::uint32_t DESCRIBE_HOST_CODE_2 = 4;
constexpr std::uint32_t DESCRIBE_HOST_CODE_3 = 3;
constexpr std::uint16_t DEFAULT_BAUD_RATE = 9600;
constexpr std::uint16_t DEFAULT_DATA_BITS = 8;
constexpr std::uint16_t DEFAULT_STOP_BITS = 0;  // one
constexpr std::uint16_t DEFAULT_PARITY = 2;     // even
inline constexpr char kDriverName[] = "Izumi FA-series Driver";

// The installation banner, code page 437: a newline, then six lines of
// BANNER_LINE_WIDTH characters, each followed by a newline.
constexpr std::size_t BANNER_LINE_WIDTH = 62;
constexpr std::size_t BANNER_LINE_COUNT = 6;
constexpr std::size_t BANNER_LENGTH = 1 + BANNER_LINE_COUNT * (BANNER_LINE_WIDTH + 1);
static_assert(BANNER_LENGTH == 379);

// The banner, zero-terminated, with the lifetime of the library.
std::string_view InstallationBanner();

// "DAVEV: ver. compiled on <Mmm dd yyyy> at <hh:mm:ss>", the build's date and time.
std::string_view VersionText();

// Closes the workspace's port, if it holds one. RESULT_DONE when closed or
// none was open; RESULT_LINE_FAILURE when the system refused, the handle
// then stays in the workspace.
Result ReleasePort(DriverWorkspace& workspace);

}  // namespace qel
