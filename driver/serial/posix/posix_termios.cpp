#include "serial/posix/posix_termios.h"

#include <array>
#include <cstdint>

#include "serial/line_control.h"

namespace qel {
namespace {

struct BaudEntry {
    unsigned baud;
    speed_t code;
};
constexpr std::array<BaudEntry, 16> kBaudTable{{
    {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200},
    {300, B300}, {600, B600}, {1200, B1200}, {1800, B1800}, {2400, B2400},
    {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
    {57600, B57600},
}};

bool BaudCode(unsigned baud, speed_t* code) {
    for (const BaudEntry& entry : kBaudTable) {
        if (entry.baud == baud) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

}  // namespace

bool MakeLineTermios(const PortSettings& settings, termios& tio) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    speed_t speed{};
    if (!BaudCode(settings.baudRate, &speed)) return false;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;

    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (settings.dataBits & 0xFFu) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        case 8: tio.c_cflag |= CS8; break;
        default: return false;
    }

    switch (settings.stopBits & 0xFFu) {
        case 0: tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); break;
        case 1:  // one and a half: termios offers two, which 5-bit lines read as 1.5
        case 2: tio.c_cflag |= CSTOPB; break;
        default: return false;
    }

    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD);
#if defined(CMSPAR)
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (settings.parity & 0xFFu) {
        case 0: break;
        case 1: tio.c_cflag |= PARENB | PARODD; break;
        case 2: tio.c_cflag |= PARENB; break;
#if defined(CMSPAR)
        case 3: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 4: tio.c_cflag |= PARENB | CMSPAR; break;
#endif
        default: return false;
    }
    if ((settings.parity & 0xFFu) != 0) tio.c_iflag |= INPCK;

    // RTS handshaking is the hardware flow control termios knows.
    const std::uint16_t control = settings.lineControl;
    if (!LineControlHas(control, LINE_RTS_ON) && LineControlHas(control, LINE_RTS_HANDSHAKE)) tio.c_cflag |= CRTSCTS;
    else tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);

    return true;
}


}  // namespace qel
