// Runs the loopback controller in the foreground until the given number of seconds has passed
// or SIGINT/SIGTERM arrives, then stops it.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"

namespace {

volatile std::sig_atomic_t s_stopRequested = 0;

void OnStopSignal(int) {
    s_stopRequested = 1;
}

}  // namespace

int main(int argc, char** argv) {
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 30;
    if (argc > 2 || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 2;
    }
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);

    const bool started = SpkLoopback_Start();
    std::printf("SpkLoopback_Start() returned %s\n", started ? "true" : "false");
    for (long tenths = 0; tenths < seconds * 10 && !s_stopRequested; ++tenths) {
        Sleep(100);
    }
    SpkLoopback_Stop();
    return started ? 0 : 1;
}
