// qelgate: FA-2/FA-3 controllers as a Modbus TCP server. Each FA station is a
// Modbus unit; reads and writes become the driver's exchanges on the one
// serial line, shared fairly by every client. The gateway itself is a library
// (host/lib/gateway); this program keeps the arguments, the signals and the
// exit codes.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/exit_codes.h"
#include "cli/report_printer.h"
#include "gateway/check_config.h"
#include "gateway/config_file.h"
#include "gateway/gateway_text.h"
#include "gateway/gateway.h"
#include "gateway/option_checks.h"
#include "modbus/address_map.h"
#include "modbus/gateway_log.h"
#include "session/report/service_notify.h"

namespace qel::qelgate {
namespace {

using cli::kExitLine;
using cli::kExitUsage;
// The program's lines, through its printer.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    modbus::LogV(cli::Printer(), session::Severity::Info, format, arguments);
    va_end(arguments);
}

// The signals' bytes on one pipe: 'S' stop (SIGTERM, SIGINT), 'H' reload (SIGHUP).
int signalPipe[2] = {-1, -1};

void OnStopSignal(int) {
    const char byte = 'S';
    [[maybe_unused]] const auto ignored = write(signalPipe[1], &byte, 1);
}

void OnReloadSignal(int) {
    const char byte = 'H';
    [[maybe_unused]] const auto ignored = write(signalPipe[1], &byte, 1);
}

// The next signal's byte; 'S' when the pipe fails.
char NextSignal() {
    char byte = 0;
    for (;;) {
        const ssize_t n = read(signalPipe[0], &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        return 'S';
    }
}

int CheckOnly(const gateway::Options& options) {
    std::string error;
    if (gateway::CheckConfiguration(options, error, cli::Printer()) != session::OpenResult::Ready) {
        if (!error.empty()) Log("%s", error.c_str());
        return kExitUsage;
    }
    std::fputs(gateway::EffectiveConfig(options).c_str(), stdout);
    Log("the configuration is good");
    return 0;
}

int Serve(const std::vector<std::string>& commandLine, const gateway::Options& options) {
    if (pipe2(signalPipe, O_CLOEXEC) != 0) return kExitLine;
    // A handler never blocks on a full pipe: the bytes already there say it.
    fcntl(signalPipe[1], F_SETFL, fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);
    gateway::Gateway gate(commandLine, options, cli::Printer());
    std::string error;
    if (const session::OpenResult started = gate.Start(error); started != session::OpenResult::Ready) {
        if (!error.empty()) Log("%s", error.c_str());
        return cli::ExitCode(started);
    }
    std::signal(SIGTERM, OnStopSignal);
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGHUP, OnReloadSignal);
    std::signal(SIGPIPE, SIG_IGN);
    session::NotifyReady();
    // SIGHUP: the file again, applied between two turns of the Modbus loop;
    // the listener and the clients stay.
    while (NextSignal() != 'S') {
        session::NotifyReloading();
        gate.Reload();
        session::NotifyReady();
    }
    session::NotifyStopping();
    return gate.Stop() ? 0 : kExitLine;
}

}  // namespace
}  // namespace qel::qelgate

int main(int argc, char** argv) {
    using namespace qel::qelgate;
    namespace gateway = qel::gateway;
    qel::cli::PrintReports("qelgate");
    CLI::App app{"qelgate - FA-2/FA-3 controllers on one serial line as a Modbus TCP server: the unit id is the "
                 "station, the address map is printed by --map. With --mqtt it publishes a list of gates to an MQTT "
                 "broker as well. Every option may come from a TOML file (--config); SIGHUP reads it again."};
    gateway::Options shown;
    gateway::AddOptions(app, shown);
    const std::vector<std::string> given(argv + 1, argv + argc);
    // Relative paths on the command line are the working directory's at the
    // start, then and at every reload.
    std::error_code ec;
    const std::vector<std::string> commandLine =
        gateway::AbsoluteCommandLine(given, std::filesystem::current_path(ec).string());
    for (const std::string& arg : commandLine) {
        if (arg == "-h" || arg == "--help") {
            try {
                app.parse(argc, argv);
            } catch (const CLI::ParseError& e) {
                return app.exit(e);
            }
        }
    }
    gateway::Options options;
    std::string error;
    if (!gateway::LoadOptions(commandLine, options, error)) {
        std::cerr << "qelgate: " << error << (options.configFile.empty() ? " (see qelgate --help)" : "") << "\n";
        return kExitUsage;
    }
    if (options.map) {
        std::string text;
        if (!gateway::MapListing(options, text, error)) {
            std::cerr << "qelgate: " << error << "\n";
            return kExitUsage;
        }
        std::fputs(text.c_str(), stdout);
        return 0;
    }
    if (options.check) return CheckOnly(options);
    if (!gateway::CheckCombination(options, error)) {
        std::cerr << "qelgate: " << error << "\n";
        return kExitUsage;
    }
    return Serve(commandLine, options);
}
