// Serial backend on the Win32 communications API.
#include <windows.h>

#include <array>
#include <atomic>
#include <cstring>

#include "serial/line_control.h"
#include "serial/serial_port.h"
#include "serial/win32/win32_device_name.h"

namespace qel {
namespace {

static_assert(sizeof(HANDLE) == 4 || sizeof(void*) == 8, "handles fit the 32-bit slot");

HANDLE HandleOf(PortHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(handle));
}

DWORD DtrControl(std::uint16_t control) {
    if (LineControlHas(control, LINE_DTR_ON)) return DTR_CONTROL_ENABLE;
    if (LineControlHas(control, LINE_DTR_HANDSHAKE)) return DTR_CONTROL_HANDSHAKE;
    return DTR_CONTROL_DISABLE;
}

DWORD RtsControl(std::uint16_t control) {
    if (LineControlHas(control, LINE_RTS_ON)) return RTS_CONTROL_ENABLE;
    if (LineControlHas(control, LINE_RTS_HANDSHAKE)) return RTS_CONTROL_HANDSHAKE;
    if (LineControlHas(control, LINE_RTS_TOGGLE)) return RTS_CONTROL_TOGGLE;
    return RTS_CONTROL_DISABLE;
}

// The configuration steps report 1 (time-outs), 4 (reading the state) and
// 5 (setting the state); any of them fails the open.
int Configure(HANDLE port, const PortSettings& settings) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(port, &dcb)) return 4;

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = OPEN_READ_TIMEOUT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(port, &timeouts)) return 1;

    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = static_cast<BYTE>(settings.dataBits & 0xFFu);
    dcb.Parity = static_cast<BYTE>(settings.parity & 0xFFu);
    dcb.StopBits = static_cast<BYTE>(settings.stopBits & 0xFFu);
    dcb.fBinary = 1;
    dcb.fParity = 1;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DtrControl(settings.lineControl) & 0x3u;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RtsControl(settings.lineControl) & 0x3u;
    dcb.fAbortOnError = 0;
    dcb.ErrorChar = static_cast<char>(ERROR_REPLACEMENT_CHAR);
    if (!SetCommState(port, &dcb)) return 5;

    (void)SetupComm(port, QUEUE_SIZE, QUEUE_SIZE);
    return 0;
}

// The ports whose line was left quiet (markQuiet): the system keeps the port
// object, so its mark is kept here by handle, one entry per marked port.
constexpr std::size_t kQuietPorts = 64;
std::array<std::atomic<PortHandle>, kQuietPorts> quietPorts{};

bool TakeQuiet(PortHandle handle) {
    if (handle == NO_PORT) return false;
    for (auto& entry : quietPorts) {
        PortHandle expected = handle;
        if (entry.compare_exchange_strong(expected, NO_PORT, std::memory_order_acq_rel)) return true;
    }
    return false;
}

void MarkQuiet(PortHandle handle) {
    if (handle == NO_PORT) return;
    for (auto& entry : quietPorts) {
        if (entry.load(std::memory_order_acquire) == handle) return;
    }
    for (auto& entry : quietPorts) {
        PortHandle expected = NO_PORT;
        // With every entry taken the mark is not kept: the next purge waits.
        if (entry.compare_exchange_strong(expected, handle, std::memory_order_acq_rel)) return;
    }
}

PortHandle Opened(HANDLE port) {
    const auto handle = static_cast<PortHandle>(reinterpret_cast<ULONG_PTR>(port));
    (void)TakeQuiet(handle);
    return handle;
}

PortHandle Open(const PortSettings& settings) {
    char name[DEVICE_NAME_SIZE];
    DeviceName(settings, name);
    HANDLE port = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) return NO_PORT;
    if (std::strncmp(settings.portName, "NUL", PORT_NAME_SIZE) == 0) return Opened(port);
    if (Configure(port, settings) != 0) {
        CloseHandle(port);
        return NO_PORT;
    }
    return Opened(port);
}

bool Close(PortHandle handle) {
    (void)TakeQuiet(handle);
    return CloseHandle(HandleOf(handle)) != 0;
}

bool GetReadTimeout(PortHandle handle, std::uint32_t* milliseconds) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(HandleOf(handle), &timeouts)) return false;
    *milliseconds = timeouts.ReadTotalTimeoutConstant;
    return true;
}

bool SetReadTimeoutMs(PortHandle handle, std::uint32_t milliseconds) {
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(HandleOf(handle), &timeouts)) return false;
    timeouts.ReadTotalTimeoutConstant = milliseconds;
    return SetCommTimeouts(HandleOf(handle), &timeouts) != 0;
}

bool Write(PortHandle handle, std::span<const std::uint8_t> bytes, std::uint32_t* written) {
    DWORD done = 0;
    if (!WriteFile(HandleOf(handle), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr)) {
        return false;
    }
    *written = done;
    return true;
}

bool Read(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t* received) {
    DWORD got = 0;
    if (!ReadFile(HandleOf(handle), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
        (void)GetLastError();
        return false;
    }
    *received = got;
    return true;
}

// A read that returns at once with what waits (ReadIntervalTimeout MAXDWORD,
// the total time-outs 0) and otherwise waits at most the given time for a
// first byte (ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD,
// ReadTotalTimeoutConstant the wait). The wait asks for one byte: Windows
// returns at the first byte whatever the count, but wine (8.0) waits out the
// constant unless the whole count came, and both return once one byte is
// there. The time-outs are restored afterwards.
bool ReadWaiting(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t firstByteMs,
                 std::uint32_t* received) {
    const HANDLE port = HandleOf(handle);
    *received = 0;
    COMMTIMEOUTS saved{};
    if (!GetCommTimeouts(port, &saved)) return false;
    if (buffer.empty()) return true;
    COMMTIMEOUTS timeouts = saved;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    DWORD got = 0;
    bool read = SetCommTimeouts(port, &timeouts) &&
                ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
    if (read && got == 0 && firstByteMs > 0) {
        timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
        timeouts.ReadTotalTimeoutConstant = firstByteMs < MAXDWORD ? firstByteMs : MAXDWORD - 1;
        read = SetCommTimeouts(port, &timeouts) && ReadFile(port, buffer.data(), 1, &got, nullptr);
    }
    if (!read) (void)GetLastError();
    const bool restored = SetCommTimeouts(port, &saved) != 0;
    *received = read ? got : 0;
    return read && restored;
}

bool InputPending(PortHandle handle, bool* pending) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(HandleOf(handle), &errors, &status)) return false;
    *pending = status.cbInQue > 0;
    return true;
}

bool SetBreak(PortHandle handle, bool on) {
    return (on ? SetCommBreak(HandleOf(handle)) : ClearCommBreak(HandleOf(handle))) != 0;
}

void SleepMs(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

// ClearCommError reports, and clears, the errors of the receiver since it was
// last asked. A device that is not a communications port (the null device)
// fails the call and has no line errors.
bool LineErrors(PortHandle handle) {
    constexpr DWORD kLineErrors = CE_RXPARITY | CE_FRAME | CE_OVERRUN | CE_BREAK | CE_RXOVER;
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(HandleOf(handle), &errors, &status)) return false;
    return (errors & kLineErrors) != 0;
}

constexpr SerialBackend kWin32Backend{
    Open, Close, GetReadTimeout, SetReadTimeoutMs, Write, Read, ReadWaiting, InputPending, SetBreak, SleepMs,
    LineErrors, MarkQuiet, TakeQuiet,
};

}  // namespace

const SerialBackend& PlatformSerialBackend() { return kWin32Backend; }

}  // namespace qel
