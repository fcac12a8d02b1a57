// The Modbus server's own messages: reports to the sink its maker gave
// (session/report/report.h), which the program prints its own way.
#pragma once

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "session/report/log_limit.h"
#include "session/report/report.h"

namespace qel::modbus {

// Formats one line as printf does and hands it to the sink.
void Log(const session::ReportSink& sink, session::Severity severity, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void LogV(const session::ReportSink& sink, session::Severity severity, const char* format, va_list arguments)
    __attribute__((format(printf, 3, 0)));

// Lines about clients (connects, closes, evictions, refusals) that one
// client could repeat without end: at most kBurst lines per client host and
// reason in a window, then one line with the count of those left out. The
// session's LogLimit does the counting; its lines go to the sink as infos.
class ClientLog {
public:
    explicit ClientLog(session::ReportSink sink) : sink_(std::move(sink)) {}

    using Clock = session::LogLimit::Clock;
    static constexpr int kBurst = 5;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::size_t kMaxKeys = 1024;

    // host: the client's address without the port; reason: a short fixed
    // text that names the kind of line ("connected", "idle", ...).
    void Line(const std::string& host, const char* reason, const std::string& message);
    // Reports what was left out in windows that have ended.
    void Flush(Clock::time_point now) { limit_.Flush(now); }
    void Flush() { Flush(Clock::now()); }
    // Lines left out in total.
    std::uint64_t Suppressed() const { return limit_.Suppressed(); }

private:
    // Keys "'reason' from host"; many hosts at once share one window per
    // reason, so the table stays small.
    session::ReportSink sink_;
    session::LogLimit limit_{[this](const std::string& line) { session::Report(sink_, session::Severity::Info, line); },
                             kBurst, kWindow, kMaxKeys};
};

}  // namespace qel::modbus
