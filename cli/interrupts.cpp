#include "cli/cli.h"

#include <csignal>

namespace dottrack {

namespace {

volatile std::sig_atomic_t interruptRequested = 0;

// Notes the request, which the runs act on at their next step. A second one, for a run
// that has none coming (a live source that delivers nothing), ends the program at once.
extern "C" void requestInterrupt(int signalNumber) {
    if (interruptRequested != 0) {
        std::signal(signalNumber, SIG_DFL);
        std::raise(signalNumber);
    }
    interruptRequested = signalNumber;
}

}  // namespace

int interruptingSignal() {
    return interruptRequested;
}

void catchInterrupts() {
    for (const int signalNumber : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        sigaction(signalNumber, nullptr, &current);
        if (current.sa_handler == SIG_IGN) {
            continue;
        }
        struct sigaction onInterrupt {};
        onInterrupt.sa_handler = requestInterrupt;
        sigemptyset(&onInterrupt.sa_mask);
        onInterrupt.sa_flags = SA_RESTART;
        sigaction(signalNumber, &onInterrupt, nullptr);
    }
}

}  // namespace dottrack
