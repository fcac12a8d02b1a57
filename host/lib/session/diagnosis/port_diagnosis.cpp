#include "session/diagnosis/port_diagnosis.h"

#include "session/port/port_holder.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace qel::session {

#if !defined(_WIN32)
namespace {

// "port busy: PATH is held by NAME (pid N)", when the system tells who.
std::string BusyText(const std::string& path) {
    const std::string holder = PortHolder(path);
    return "port busy: " + path + (holder.empty() ? " is in use by another program" : " is held by " + holder) +
           "; stop it, or use another port";
}

}  // namespace
#endif

std::string ExplainOpenFailure(const std::string& port, PortFault* fault) {
    if (fault != nullptr) *fault = PortFault::Other;
#if defined(_WIN32)
    return "cannot open " + port + ": check the port name (COM1 ... COM99) and that no other program uses it";
#else
    const std::string path = port == "NUL" ? "/dev/null" : port.find('/') == std::string::npos ? "/dev/" + port : port;
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int why = errno;
        if (why == ENOENT || why == ENXIO || why == ENODEV) {
            return "cannot open " + path + ": no such device (check the adapter and the port name); " +
                   SerialDevicesHint();
        }
        if (why == EACCES || why == EPERM) {
            return "cannot open " + path + ": permission denied (add your user to the dialout group, then log in again)";
        }
        if (why == EBUSY) return BusyText(path);
        return "cannot open " + path + ": " + std::strerror(why);
    }
    std::string message;
    termios tio{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        message = BusyText(path);
    } else if (tcgetattr(fd, &tio) != 0) {
        message = "cannot open " + path + ": not a serial device; " + SerialDevicesHint();
    } else {
        message = "cannot open " + path + ": the device refused the line settings";
        if (fault != nullptr) *fault = PortFault::LineSettings;
    }
    ::close(fd);
    return message;
#endif
}

}  // namespace qel::session
