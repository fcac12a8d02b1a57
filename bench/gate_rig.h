// What the qelgate benchmarks share: the simulated line, a free TCP port,
// qelgate started as a process of its own on it, and a libmodbus client of it.
#pragma once

#include <modbus/modbus.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fasim.h"
#include "support/free_port.h"

extern char** environ;

namespace gaterig {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// fasim on a pty at `link`; null, with the reason on stderr after `program`,
// when the pty did not start.
inline std::unique_ptr<fasim::Simulator> StartLine(const std::string& link, fasim::Options options,
                                                    const char* program) {
    auto sim = std::make_unique<fasim::Simulator>(std::move(options));
    std::string error;
    if (!sim->StartPty(link, &error)) {
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
        return nullptr;
    }
    return sim;
}

// qelgate on `link`, listening on a free port; stopped with SIGTERM when it goes.
class Gate {
public:
    Gate(const std::string& link, std::vector<std::string> extra = {}) : port_(testsupport::FreeLoopbackPort()) {
        std::vector<std::string> args = {QELGATE_PATH, "--port", link, "--listen",
                                         "127.0.0.1:" + std::to_string(port_), "--driver", DRIVER_PATH};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, QELGATE_PATH, nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
    }
    ~Gate() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;
    bool Running() const { return pid_ > 0; }
    int Port() const { return port_; }

    // A client of unit `unit`, connected (tries for 5 s).
    modbus_t* Client(int unit, int timeoutSeconds = 20) const {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", port_);
        for (int i = 0; i < 100 && modbus_connect(ctx) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        modbus_set_slave(ctx, unit);
        modbus_set_response_timeout(ctx, static_cast<std::uint32_t>(timeoutSeconds), 0);
        return ctx;
    }

private:
    int port_;
    pid_t pid_ = 0;
};

inline void Free(modbus_t* ctx) {
    modbus_close(ctx);
    modbus_free(ctx);
}

}  // namespace gaterig
