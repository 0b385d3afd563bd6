// The cheapest a polling thread can be on this machine: THREADS threads (default 1) that do
// nothing but sleep 100 ms in a loop, as the service's polling threads do between passes.
// The measuring scripts run it beside the service and report its cost as the floor.
// Usage: vesk_sleep_floor [threads]   (runs until it is ended by a signal)
#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const int threads = argc > 1 ? std::atoi(argv[1]) : 1;
    if (threads < 1 || threads > 64) {
        return 2;
    }
    std::vector<std::thread> sleepers;
    for (int i = 0; i < threads; ++i) {
        sleepers.emplace_back([] {
            pthread_setname_np(pthread_self(), "sleep-100ms");
            for (;;) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        });
    }
    pause();
    return 0;
}
