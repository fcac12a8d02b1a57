// Serial backend on POSIX termios.
//
// A port name without '/' is taken under /dev ("ttyUSB0" is /dev/ttyUSB0);
// a name with '/' is a path; "NUL" is /dev/null, which gets no line
// configuration. Ports are opened exclusively, raw, non-blocking; every wait
// is a poll() with millisecond precision, so one read call waits at most the
// total read time-out for the whole count and reports what arrived by then.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "serial/posix/posix_termios.h"
#include "serial/line_control.h"
#include "serial/serial_port.h"

namespace qel {
namespace {

// Open ports. The handle is the slot index plus one, so it is never 0, not
// even for a descriptor 0 that a daemon left free.
struct PortSlot {
    std::atomic<int> fd{-1};
    std::atomic<bool> terminal{false};
    std::atomic<std::uint32_t> readTimeoutMs{0};
    // The UART's error counters as last seen; a device without them (a
    // pseudo-terminal, a pipe) never reports a line error.
    std::atomic<bool> hasErrorCounters{false};
    std::atomic<std::uint32_t> errorsSeen{0};
    // The line was seen quiet after the last byte read (markQuiet).
    std::atomic<bool> quiet{false};
};
constexpr std::size_t kMaxPorts = 256;
std::array<PortSlot, kMaxPorts> slots;

PortSlot* SlotOf(PortHandle handle) {
    if (handle == NO_PORT || handle > kMaxPorts) return nullptr;
    PortSlot& slot = slots[handle - 1];
    return slot.fd.load(std::memory_order_acquire) >= 0 ? &slot : nullptr;
}

int FdOf(PortHandle handle) {
    PortSlot* slot = SlotOf(handle);
    return slot != nullptr ? slot->fd.load(std::memory_order_acquire) : -1;
}

// The sum of the parity, framing, overrun and break counters of a UART;
// false when the device keeps none.
bool ErrorCounters(int fd, std::uint32_t* sum) {
#if defined(__linux__) && defined(TIOCGICOUNT)
    serial_icounter_struct counters{};
    if (ioctl(fd, TIOCGICOUNT, &counters) != 0) return false;
    *sum = static_cast<std::uint32_t>(counters.frame) + static_cast<std::uint32_t>(counters.parity) +
           static_cast<std::uint32_t>(counters.overrun) + static_cast<std::uint32_t>(counters.brk) +
           static_cast<std::uint32_t>(counters.buf_overrun);
    return true;
#else
    (void)fd;
    (void)sum;
    return false;
#endif
}

PortHandle Claim(int fd, bool terminal) {
    for (std::size_t i = 0; i < kMaxPorts; ++i) {
        int expected = -1;
        if (slots[i].fd.compare_exchange_strong(expected, fd, std::memory_order_acq_rel)) {
            std::uint32_t errors = 0;
            const bool counters = terminal && ErrorCounters(fd, &errors);
            slots[i].hasErrorCounters.store(counters, std::memory_order_release);
            slots[i].errorsSeen.store(errors, std::memory_order_release);
            slots[i].terminal.store(terminal, std::memory_order_release);
            slots[i].readTimeoutMs.store(OPEN_READ_TIMEOUT_MS, std::memory_order_release);
            slots[i].quiet.store(false, std::memory_order_release);
            return static_cast<PortHandle>(i + 1);
        }
    }
    return NO_PORT;
}

// The device path for a port name of at most 11 characters.
void DevicePath(const PortSettings& settings, char (&path)[32]) {
    const std::size_t length = strnlen(settings.portName, sizeof settings.portName - 1);
    char name[PORT_NAME_SIZE] = {};
    std::memcpy(name, settings.portName, length);
    if (std::strcmp(name, "NUL") == 0) {
        std::strcpy(path, "/dev/null");
    } else if (std::strchr(name, '/') != nullptr) {
        std::strcpy(path, name);
    } else {
        std::strcpy(path, "/dev/");
        std::strcat(path, name);
    }
}

bool ApplyLineSettings(int fd, const PortSettings& settings) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    if (!MakeLineTermios(settings, tio)) return false;
    if (tcsetattr(fd, TCSANOW, &tio) == 0) return true;
    // The C library reports EINVAL when the device kept its old state in part.
    // A pseudo-terminal fixes character size and parity itself; it is served
    // when the speed, the stop bits and the raw mode took.
    termios applied{};
    if (errno != EINVAL || tcgetattr(fd, &applied) != 0) return false;
    const tcflag_t kept = CSTOPB | CRTSCTS;
    return cfgetospeed(&applied) == cfgetospeed(&tio) && (applied.c_cflag & kept) == (tio.c_cflag & kept) &&
           applied.c_lflag == tio.c_lflag && applied.c_oflag == tio.c_oflag;
}

// DTR and RTS follow lineControl where the device has modem lines; a device
// without them (a pseudo-terminal answers ENOTTY) is served without them.
void ApplyModemLines(int fd, std::uint16_t control) {
    int dtr = TIOCM_DTR;
    const bool dtrOn = LineControlHas(control, LINE_DTR_ON) || LineControlHas(control, LINE_DTR_HANDSHAKE);
    (void)ioctl(fd, dtrOn ? TIOCMBIS : TIOCMBIC, &dtr);

    int rts = TIOCM_RTS;
    const bool rtsOn = LineControlHas(control, LINE_RTS_ON);
    const bool rtsToggle = !rtsOn && !LineControlHas(control, LINE_RTS_HANDSHAKE) && LineControlHas(control, LINE_RTS_TOGGLE);
    if (rtsOn || !LineControlHas(control, LINE_RTS_HANDSHAKE)) {
        (void)ioctl(fd, rtsOn ? TIOCMBIS : TIOCMBIC, &rts);
    }
#if defined(__linux__) && defined(TIOCSRS485)
    if (rtsToggle) {
        // The kernel's RS-485 mode raises RTS while it sends.
        serial_rs485 rs485{};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        (void)ioctl(fd, TIOCSRS485, &rs485);
    }
#else
    (void)rtsToggle;
#endif
}

// Ends the exclusive use (the flag stays with the terminal, not with the
// descriptor) and closes; Linux releases the descriptor even on EINTR.
bool CloseDevice(int fd, bool terminal) {
    if (terminal) (void)ioctl(fd, TIOCNXCL);
    return ::close(fd) == 0 || errno == EINTR;
}

PortHandle Open(const PortSettings& settings) {
    char path[32];
    DevicePath(settings, path);
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return NO_PORT;

    const bool nullDevice = std::strcmp(path, "/dev/null") == 0;
    if (!nullDevice) {
        // No sharing: a second open of an open port fails, also for root,
        // whom TIOCEXCL alone does not stop.
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return NO_PORT;
        }
        if (ioctl(fd, TIOCEXCL) != 0 || !ApplyLineSettings(fd, settings)) {
            CloseDevice(fd, false);
            return NO_PORT;
        }
        ApplyModemLines(fd, settings.lineControl);
    }
    const PortHandle handle = Claim(fd, !nullDevice);
    if (handle == NO_PORT) CloseDevice(fd, !nullDevice);
    return handle;
}

bool Close(PortHandle handle) {
    PortSlot* slot = SlotOf(handle);
    if (slot == nullptr) return false;
    const bool terminal = slot->terminal.load(std::memory_order_acquire);
    const int fd = slot->fd.exchange(-1, std::memory_order_acq_rel);
    if (fd < 0) return false;
    return CloseDevice(fd, terminal);
}

bool GetReadTimeout(PortHandle handle, std::uint32_t* milliseconds) {
    PortSlot* slot = SlotOf(handle);
    if (slot == nullptr) return false;
    *milliseconds = slot->readTimeoutMs.load(std::memory_order_acquire);
    return true;
}

bool SetReadTimeoutMs(PortHandle handle, std::uint32_t milliseconds) {
    PortSlot* slot = SlotOf(handle);
    if (slot == nullptr) return false;
    slot->readTimeoutMs.store(milliseconds, std::memory_order_release);
    return true;
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, rounded up so that a wait never ends early.
int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    if (left <= 0) return 0;
    const auto ms = (left + 999) / 1000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

bool Write(PortHandle handle, std::span<const std::uint8_t> bytes, std::uint32_t* written) {
    const int fd = FdOf(handle);
    if (fd < 0) return false;
    std::size_t done = 0;
    // Writes wait for room in the output queue, but never for ever: a line
    // that takes no byte for two seconds ends the write short.
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            const int ready = ::poll(&p, 1, 2000);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) break;
            continue;
        }
        if (done == 0) return false;
        break;
    }
    *written = static_cast<std::uint32_t>(done);
    return true;
}

// Waits at most `wait` ms for input: 1 readable, 0 nothing came, -1 the
// device hung up or failed with nothing left to read. `hungUp` is set when
// input waits behind a hang-up.
int WaitReadable(int fd, int wait, bool& hungUp) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, wait);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return -1;
        if (ready == 0) return 0;
        if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            if ((p.revents & POLLIN) == 0) return -1;
            hungUp = true;  // read what is left, then stop
        }
        return 1;
    }
}

// A read that brought no byte while more may come: nothing waits yet.
bool NothingYet(ssize_t n, bool terminal, bool hungUp) {
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK;
    return n == 0 && terminal && !hungUp;
}

// Every read follows a poll that found input, as a line brings its bytes one
// by one: one poll and one read for each piece, no read that finds nothing.
bool Read(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t* received) {
    PortSlot* slot = SlotOf(handle);
    if (slot == nullptr) return false;
    const int fd = slot->fd.load(std::memory_order_acquire);
    const bool terminal = slot->terminal.load(std::memory_order_acquire);
    const auto deadline = Clock::now() + std::chrono::milliseconds(slot->readTimeoutMs.load());
    std::size_t got = 0;
    bool hungUp = false;
    *received = 0;
    while (got < buffer.size()) {
        if (WaitReadable(fd, RemainingMs(deadline), hungUp) <= 0) break;
        const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A raw terminal may answer 0 while nothing waits; anything else that
        // brings no byte is the end: end of file, or a hang-up (EIO when the
        // far end of a pty is gone, 0 after an unplugged adapter).
        if (!NothingYet(n, terminal, hungUp) || RemainingMs(deadline) == 0) break;
    }
    *received = static_cast<std::uint32_t>(got);
    return got > 0 || buffer.empty() || !hungUp;
}

bool ReadWaiting(PortHandle handle, std::span<std::uint8_t> buffer, std::uint32_t firstByteMs,
                 std::uint32_t* received) {
    PortSlot* slot = SlotOf(handle);
    if (slot == nullptr) return false;
    const int fd = slot->fd.load(std::memory_order_acquire);
    const bool terminal = slot->terminal.load(std::memory_order_acquire);
    const auto deadline = Clock::now() + std::chrono::milliseconds(firstByteMs);
    bool hungUp = false;
    *received = 0;
    while (!buffer.empty()) {
        const int readable = WaitReadable(fd, RemainingMs(deadline), hungUp);
        if (readable <= 0) return readable == 0;
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            *received = static_cast<std::uint32_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        // End of file: nothing waits and nothing will come; an error or a
        // hang-up fails the call.
        if (!NothingYet(n, terminal, hungUp)) return n == 0 && !hungUp;
        if (RemainingMs(deadline) == 0) return true;
    }
    return true;
}

bool InputPending(PortHandle handle, bool* pending) {
    const int fd = FdOf(handle);
    int waiting = 0;
    if (fd < 0 || ioctl(fd, FIONREAD, &waiting) != 0) return false;
    *pending = waiting > 0;
    return true;
}

bool SetBreak(PortHandle handle, bool on) {
    const int fd = FdOf(handle);
    return fd >= 0 && ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0;
}

bool LineErrors(PortHandle handle) {
    PortSlot* slot = SlotOf(handle);
    if (slot == nullptr || !slot->hasErrorCounters.load(std::memory_order_acquire)) return false;
    std::uint32_t now = 0;
    if (!ErrorCounters(slot->fd.load(std::memory_order_acquire), &now)) return false;
    return slot->errorsSeen.exchange(now, std::memory_order_acq_rel) != now;
}

void MarkQuiet(PortHandle handle) {
    PortSlot* slot = SlotOf(handle);
    if (slot != nullptr) slot->quiet.store(true, std::memory_order_release);
}

bool TakeQuiet(PortHandle handle) {
    PortSlot* slot = SlotOf(handle);
    return slot != nullptr && slot->quiet.exchange(false, std::memory_order_acq_rel);
}

void Sleep(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

constexpr SerialBackend kPosixBackend{
    Open, Close, GetReadTimeout, SetReadTimeoutMs, Write, Read, ReadWaiting, InputPending, SetBreak, Sleep,
    LineErrors, MarkQuiet, TakeQuiet,
};

}  // namespace

const SerialBackend& PlatformSerialBackend() { return kPosixBackend; }

}  // namespace qel
