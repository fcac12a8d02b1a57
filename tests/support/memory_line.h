// An in-memory serial line that stands in for the platform backend, so that
// protocol code can be driven with scripted bytes. A read delivers what is
// queued at once; a short read counts as a time-out that passed. Time is the
// line's own clock (SleptMs): every wait and every time-out advances it, and
// bytes fed for a later time arrive when the clock reaches it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial_port.h"

namespace testsupport {

class MemoryLine {
public:
    // Installs the line as the process's serial backend until destroyed.
    MemoryLine();
    ~MemoryLine();
    MemoryLine(const MemoryLine&) = delete;
    MemoryLine& operator=(const MemoryLine&) = delete;

    static constexpr qel::PortHandle kHandle = 0x51;

    // Bytes the driver will read.
    void Feed(std::string_view bytes);
    // Bytes that arrive one at a time, the first at `atMs` on the line's
    // clock and each next one `everyMs` later.
    void FeedOverTime(std::uint64_t atMs, std::uint64_t everyMs, std::string_view bytes);
    // Bytes not yet read, including those still to arrive.
    std::size_t Pending() const;
    // Every write comes back first, as on a 2-wire line.
    void SetEcho(bool on) { echo_ = on; }
    // Called after each write (after its echo) to script the far end.
    using Responder = std::function<void(std::string_view written, MemoryLine& line)>;
    void SetResponder(Responder responder) { responder_ = std::move(responder); }
    void SetOpenFails(bool fails) { openFails_ = fails; }
    // The port reports a parity/framing error when the byte at this offset
    // of everything fed so far or later is read.
    void LineErrorAt(std::size_t offset);
    // Offset of the next byte a read will take, counted over everything fed.
    std::size_t Consumed() const;

    std::vector<std::string> Writes() const;
    std::string Written() const;
    std::uint32_t ReadTimeoutMs() const { return readTimeoutMs_; }
    std::uint64_t SleptMs() const { return sleptMs_; }
    // Time-outs that ran out because too few bytes were queued.
    int TimeoutsElapsed() const { return timeouts_; }
    int Opens() const { return opens_; }
    int Closes() const { return closes_; }
    bool IsOpen() const { return open_; }
    // The port's quiet mark (SerialBackend::markQuiet) is set.
    bool Quiet() const { return quiet_; }

private:
    static MemoryLine* current_;
    static const qel::SerialBackend kBackend;
    static qel::PortHandle Open(const PortSettings& settings);
    static bool Close(qel::PortHandle handle);
    static bool GetReadTimeout(qel::PortHandle handle, std::uint32_t* ms);
    static bool SetReadTimeout(qel::PortHandle handle, std::uint32_t ms);
    static bool Write(qel::PortHandle handle, std::span<const std::uint8_t> bytes, std::uint32_t* written);
    static bool Read(qel::PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t* received);
    static bool ReadWaiting(qel::PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t firstByteMs,
                            std::uint32_t* received);
    // Moves the bytes due by the clock into the input; with `byMs`, first
    // lets the clock run to the next byte due by then. False when none came.
    void Arrive();
    bool WaitForByte(std::uint64_t byMs);
    std::size_t Take(std::span<std::uint8_t> buffer);
    static bool InputPending(qel::PortHandle handle, bool* pending);
    static bool SetBreak(qel::PortHandle handle, bool on);
    static void Sleep(std::uint32_t ms);
    static bool LineErrors(qel::PortHandle handle);
    static void MarkQuiet(qel::PortHandle handle);
    static bool TakeQuiet(qel::PortHandle handle);
    bool quiet_ = false;

    mutable std::recursive_mutex mutex_;
    std::string input_;
    struct Timed {
        std::uint64_t atMs;
        char byte;
    };
    std::vector<Timed> toArrive_;  // in the order they arrive
    std::size_t consumed_ = 0;
    std::vector<std::size_t> errorOffsets_;
    bool lineError_ = false;
    std::vector<std::string> writes_;
    Responder responder_;
    bool echo_ = false;
    bool openFails_ = false;
    bool open_ = false;
    int opens_ = 0;
    int closes_ = 0;
    int timeouts_ = 0;
    std::uint32_t readTimeoutMs_ = 0;
    std::uint64_t sleptMs_ = 0;
};

}  // namespace testsupport
