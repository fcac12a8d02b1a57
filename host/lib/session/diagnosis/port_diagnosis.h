// Turns a failed port open into one line that says what happened, and what
// the device and the system tell about it.
#pragma once

#include <string>
#include <vector>

namespace qel::session {

// Whether the port did not open because the device refused the line
// settings the user gave (a program names its own options for them).
enum class PortFault { Other, LineSettings };

// One line: why the port did not open; when the device is missing or is no
// serial port, the serial devices that exist are named. fault, when given,
// says whether the line settings were refused.
std::string ExplainOpenFailure(const std::string& port, PortFault* fault = nullptr);

// The serial devices of this machine: /dev/serial/by-id links (with their
// targets), then ttyUSB*, ttyACM* and the ttyS* that have a UART.
std::vector<std::string> ListSerialDevices();

// "serial devices here: ..." or "no serial device is present ...".
std::string SerialDevicesHint();

// The fastest line speed the driver accepts, and an explanation for a
// --baud it cannot take; empty when the rate fits.
constexpr unsigned kFastestBaud = 57600;
std::string ExplainBaud(unsigned long baud);

}  // namespace qel::session
