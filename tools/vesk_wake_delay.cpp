// How late the machine wakes a sleeping thread: a thread that sleeps 10 ms in a loop, as the
// service's threads and the tests' waits do, notes by how much each wake-up came late. On
// SIGTERM or SIGINT it prints one line and exits: the wake-ups, the median, 99th percentile and
// worst delay, and how many came over 100 ms late. scripts/stress-timing runs it beside the
// timing suites to tell a starved machine from a slow service.
// Usage: vesk_wake_delay [period_ms]   (default 10; runs until ended by a signal)
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    const int periodMs = argc > 1 ? std::atoi(argv[1]) : 10;
    if (periodMs < 1 || periodMs > 1000) {
        fprintf(stderr, "usage: vesk_wake_delay [period_ms (1 to 1000)]\n");
        return 2;
    }
    // Blocked before the sleeper starts, so that only the main thread takes them.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::mutex mutex;
    std::vector<double> delaysMs;
    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        using Clock = std::chrono::steady_clock;
        const auto period = std::chrono::milliseconds(periodMs);
        while (!done) {
            const auto due = Clock::now() + period;
            std::this_thread::sleep_until(due);
            const double late =
                std::chrono::duration<double, std::milli>(Clock::now() - due).count();
            std::lock_guard<std::mutex> lock(mutex);
            delaysMs.push_back(late);
        }
    });
    int signal = 0;
    sigwait(&stops, &signal);
    done = true;
    sleeper.join();

    std::vector<double> sorted = delaysMs;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const auto at = [&sorted, n](double share) {
        return n == 0 ? 0.0 : sorted[std::min(n - 1, static_cast<size_t>(share * (n - 1) + 0.5))];
    };
    const auto over100 =
        std::count_if(sorted.begin(), sorted.end(), [](double d) { return d > 100; });
    printf(
        "wake-ups %zu every %d ms: late by median %.1f ms, p99 %.1f ms, worst %.1f ms; %ld over "
        "100 ms\n",
        n, periodMs, at(0.5), at(0.99), n == 0 ? 0.0 : sorted.back(), static_cast<long>(over100));
    return 0;
}
