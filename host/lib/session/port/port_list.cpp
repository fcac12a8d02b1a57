// The serial devices a person can name with --port, for the messages that
// say the port is missing.
#include "session/diagnosis/port_diagnosis.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace qel::session {

namespace fs = std::filesystem;

#if !defined(_WIN32)
namespace {

// A ttyS device node exists for every possible UART; the kernel says "0"
// (no UART) in its type for those that are not there.
bool HasUart(const std::string& name) {
    std::ifstream type("/sys/class/tty/" + name + "/type");
    int code = 0;
    return type >> code && code != 0;
}

}  // namespace
#endif

std::vector<std::string> ListSerialDevices() {
    std::vector<std::string> devices;
#if !defined(_WIN32)
    std::error_code ec;
    std::vector<std::string> byId;
    for (const auto& entry : fs::directory_iterator("/dev/serial/by-id", ec)) {
        std::error_code e2;
        const fs::path target = fs::canonical(entry.path(), e2);
        byId.push_back(entry.path().string() + (e2 ? "" : " (" + target.string() + ")"));
    }
    std::sort(byId.begin(), byId.end());
    std::vector<std::string> nodes;
    for (const auto& entry : fs::directory_iterator("/dev", ec)) {
        const std::string name = entry.path().filename().string();
        const bool usb = name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0;
        const bool uart = name.rfind("ttyS", 0) == 0 && name.size() > 4 && HasUart(name);
        if (usb || uart) nodes.push_back(entry.path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    devices = byId;
    devices.insert(devices.end(), nodes.begin(), nodes.end());
#endif
    return devices;
}

std::string SerialDevicesHint() {
#if defined(_WIN32)
    return "the serial ports here are named COM1 ... COM99";
#else
    const std::vector<std::string> devices = ListSerialDevices();
    if (devices.empty()) return "no serial device is present here (is the adapter plugged in?)";
    std::string text = "serial devices here: ";
    for (std::size_t i = 0; i < devices.size(); ++i) text += (i == 0 ? "" : ", ") + devices[i];
    return text;
#endif
}

std::string ExplainBaud(unsigned long baud) {
    if (baud > 65535) {
        return std::to_string(baud) + " does not fit: the driver keeps the line speed in a 16-bit field (at most "
               "65535), and the fastest rate it accepts is " + std::to_string(kFastestBaud) + " baud";
    }
    if (baud < 50) return std::to_string(baud) + " is below 50, the slowest rate the driver accepts";
    return "";
}

}  // namespace qel::session
