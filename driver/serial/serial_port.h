// Port operations on a handle, written once over a small table of platform
// primitives. The platform backends (posix/, win32/) fill the table; tests may
// swap in an in-memory line.
#pragma once

#include <cstdint>
#include <span>

#include "vuzorur.h"

namespace qel {

// The workspace's 32-bit handle slot; 0 means no open port.
using PortHandle = std::uint32_t;
constexpr PortHandle NO_PORT = 0;

// Results of the raw port operations: the system's vocabulary, not the
// driver's results (base/result.h); the line (line.h) turns them into those.
constexpr int PORT_OK = 0;
constexpr int PORT_SHORT = 2;
constexpr int PORT_FAILED = 7;

constexpr std::uint32_t OPEN_READ_TIMEOUT_MS = 1000;
constexpr std::uint32_t QUEUE_SIZE = 1200;
constexpr std::uint8_t ERROR_REPLACEMENT_CHAR = 252;

struct SerialBackend {
    // Opens and configures the port (read time-out OPEN_READ_TIMEOUT_MS).
    // NO_PORT when any step fails; the device is then left closed.
    PortHandle (*open)(const PortSettings& settings);
    // True when the system closed the handle.
    bool (*close)(PortHandle handle);
    // The total read time-out of one read call, in milliseconds.
    bool (*getReadTimeout)(PortHandle handle, std::uint32_t* milliseconds);
    bool (*setReadTimeout)(PortHandle handle, std::uint32_t milliseconds);
    // One write call; false when the call failed.
    bool (*write)(PortHandle handle, std::span<const std::uint8_t> bytes, std::uint32_t* written);
    // One read call: waits at most the total read time-out for the whole span
    // and reports what arrived by then; false when the call failed.
    bool (*read)(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t* received);
    // One read that returns at once with what waits; when nothing waits, it
    // waits at most `firstByteMs` for a first byte and returns with what has
    // arrived by then (nothing when the line stayed quiet). The total read
    // time-out is the same afterwards. False when the call failed.
    bool (*readWaiting)(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t firstByteMs,
                        std::uint32_t* received);
    // Clears line errors; false when that fails. *pending tells whether input waits.
    bool (*inputPending)(PortHandle handle, bool* pending);
    bool (*setBreak)(PortHandle handle, bool on);
    void (*sleep)(std::uint32_t milliseconds);
    // True when the port reported a parity, framing, overrun or break error
    // since the last call. A device that keeps no such record has none.
    bool (*lineErrors)(PortHandle handle);
    // The port's quiet mark: set when a read saw the line quiet for the
    // purge's time after the last byte, taken (and cleared) by the next
    // purge, cleared when the port is opened. Null in a backend that keeps
    // no mark: its purges always wait.
    void (*markQuiet)(PortHandle handle);
    bool (*takeQuiet)(PortHandle handle);
};

const SerialBackend& PlatformSerialBackend();
const SerialBackend& ActiveSerialBackend();
// Replaces the backend for the whole process; nullptr restores the platform's.
void UseSerialBackend(const SerialBackend* backend);

PortHandle OpenPort(const PortSettings& settings);
// 0 closed; 7 the close failed.
int ClosePortHandle(PortHandle handle);
// Sets the total read time-out to value x 10 ms. Returns the previous one in
// 10 ms units, or 0 when reading or setting the time-outs failed.
int SetReadTimeout(PortHandle handle, std::int32_t value);
// 0 all written; 2 fewer written; 7 the write failed.
int PortWrite(PortHandle handle, std::span<const std::uint8_t> bytes, std::uint32_t* written = nullptr);
// 0 the whole span arrived; 7 a read failed or brought no byte.
int PortRead(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t* received = nullptr);
// True when the port reported a line error since the last call.
bool PortLineErrors(PortHandle handle);
// The port's quiet mark (SerialBackend::markQuiet, takeQuiet).
void MarkPortQuiet(PortHandle handle);
bool TakePortQuiet(PortHandle handle);
// Drops pending input in 512-byte pieces; 1 when the last read failed, else 0.
int DrainInput(PortHandle handle);
int SendBreak(std::uint32_t milliseconds, PortHandle handle);
int PauseMs(std::uint32_t milliseconds);

}  // namespace qel
