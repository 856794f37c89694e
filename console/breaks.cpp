#include "breaks.h"

#include <array>
#include <cstddef>

volatile std::sig_atomic_t exitNow = 0;

extern "C" void OnBreak(int signalNumber) {
    exitNow = 1;
#if defined(_WIN32)
    // Windows resets a handler before running it; a second break must still
    // land here rather than kill the program in the middle of a block.
    std::signal(signalNumber, OnBreak);
#else
    // Installed once with sigaction, it stays; signal() here would bring
    // back the restarting of reads and writes that the break must cut short.
    static_cast<void>(signalNumber);
#endif
}

namespace {

// Ctrl+C, Ctrl+\ (quit), a kill, and a terminal or ssh session that goes away.
constexpr std::array breakSignals{
    SIGINT, SIGTERM,
#if defined(SIGHUP)
    SIGHUP,
#endif
#if defined(SIGQUIT)
    SIGQUIT,
#endif
#if defined(SIGBREAK)
    SIGBREAK,
#endif
};

#if defined(_WIN32)
using Disposition = void (*)(int);
#else
using Disposition = struct sigaction;
#endif

// What each break signal did before the copy: it gets that back after.
std::array<Disposition, breakSignals.size()> beforeCopy;

}  // namespace

void catchBreak() {
    for (std::size_t i = 0; i < breakSignals.size(); ++i) {
#if defined(_WIN32)
        beforeCopy[i] = std::signal(breakSignals[i], OnBreak);
        if (beforeCopy[i] == SIG_IGN) std::signal(breakSignals[i], SIG_IGN);
#else
        sigaction(breakSignals[i], nullptr, &beforeCopy[i]);
        if (beforeCopy[i].sa_handler == SIG_IGN) continue;
        // No SA_RESTART: a read of an image pipe that has stalled, or a write
        // to a reader that has, returns at the break instead of waiting on
        // for them.
        struct sigaction onBreak {};
        onBreak.sa_handler = OnBreak;
        sigemptyset(&onBreak.sa_mask);
        sigaction(breakSignals[i], &onBreak, nullptr);
#endif
    }
}

void releaseBreak() {
    for (std::size_t i = 0; i < breakSignals.size(); ++i) {
#if defined(_WIN32)
        std::signal(breakSignals[i], beforeCopy[i]);
#else
        sigaction(breakSignals[i], &beforeCopy[i], nullptr);
#endif
    }
}
