#include "interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace qel::qelhost {

namespace {

std::atomic<bool> stopAsked{false};
std::atomic<const char*> stopNote{nullptr};

void Say(const char* text) {
#if defined(_WIN32)
    _write(2, text, static_cast<unsigned>(std::strlen(text)));
#else
    [[maybe_unused]] const auto written = write(2, text, std::strlen(text));
#endif
}

extern "C" void AskStop(int signal) {
    if (stopAsked.exchange(true)) std::_Exit(130);
    if (const char* note = stopNote.load()) Say(note);
    std::signal(signal, AskStop);  // some platforms reset the handler
}

}  // namespace

void StopOnInterrupt(const char* note, bool alsoTerm) {
    stopAsked.store(false);
    stopNote.store(note);
    std::signal(SIGINT, AskStop);
    if (alsoTerm) std::signal(SIGTERM, AskStop);
}

bool StopAsked() { return stopAsked.load(); }

void InterruptsAsBefore() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

bool StdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

bool StderrIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) != 0;
#endif
}

}  // namespace qel::qelhost
