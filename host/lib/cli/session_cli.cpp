#include "cli/session_cli.h"

#include <charconv>

#include "cli/setting_words.h"
#include "session/diagnosis/port_diagnosis.h"

namespace qel::cli {

using namespace qel::session;

void AddSessionOptions(CLI::App& app, SessionOptions& o) {
    app.add_option("--port", o.line.port,
                   "serial port: ttyUSB0 (taken under /dev), a path (/dev/serial/by-id/...), tcp:HOST:PORT for a "
                   "line behind a serial device server, or COM1 on Windows; required for every command that uses "
                   "the line");
    app.add_option("--baud", o.line.baud, "line speed in baud, 50 to 57600 (default 9600)")
        ->check(CLI::Validator(
            [](std::string& text) {
                unsigned long baud = 0;
                const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), baud);
                if (ec == std::errc::result_out_of_range) return text + " does not fit: " + ExplainBaud(70000);
                if (ec != std::errc{} || end != text.data() + text.size()) return text + " is not a number";
                return ExplainBaud(baud);
            },
            "BAUD"));
    app.add_option("--data-bits", o.line.dataBits, "data bits (default 8)")->check(CLI::Range(5u, 8u));
    app.add_option("--parity", o.line.parity, "none|odd|even|mark|space (default even)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}));
    app.add_option("--stop-bits", o.line.stopBits, "1|1.5|2 (default 1)")->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("--timeout", o.line.timeout, "read time-out in 10 ms units (default 100 = 1 s)")
        ->check(CLI::Range(1, 100000))
        ->each([&o](const std::string&) { o.timeoutGiven = true; });
    app.add_option("--qel", o.line.qel, "QEL number; also names the station model file davEVnn.int (default 1)")
        ->check(CLI::Range(0, 9999));
    app.add_option("--models", o.modelsFile,
                   "station model file (lines such as 002FA3), used as davEVnn.int for this run; "
                   "without it the driver reads davEVnn.int from the current directory")
        ->check(CLI::ExistingFile);
    app.add_option_function<std::vector<std::string>>(
           "--station",
           [&o](const std::vector<std::string>& texts) {
               for (const std::string& text : texts) {
                   StationModelOption option;
                   if (const StationModelFault fault = ParseStationModel(text, option);
                       fault != StationModelFault::None)
                       throw CLI::ValidationError(StationModelWords(text, fault));
                   o.stations.push_back(option);
               }
           },
           "N:MODEL names a station's model, e.g. --station 2:FA3 (repeatable; over the model file)")
        ->type_name("N:MODEL");
    app.add_option("--driver", o.driverPath, "driver library to load (default: the one beside the program)");
    app.add_option("--log", o.logFile, "append the driver's log lines to this file");
    app.add_flag("-v,--verbose", o.verbose, "show the driver's log lines on stderr");
    app.add_flag("--driver-retries", o.driverRetries,
                 "let the driver retry on its own (5 attempts, 600 ms apart, each waiting --timeout) instead of "
                 "the line scheduler, which serves other stations between the attempts and holds silent stations "
                 "down");
    app.add_option("--probe-timeout", o.probeTimeoutMs,
                   "milliseconds an attempt waits on a station without a recent answer, and every probe of a "
                   "station held down (default 100; raise it for controllers slow to turn round)")
        ->check(CLI::Range(10, 100000));
}

}  // namespace qel::cli
