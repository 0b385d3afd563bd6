// Captures the default output device for a number of seconds and reports what the capture
// cost: the process's CPU time (from its own accounting) and the detections seen.
// Usage: vesk_capture_run [seconds]   (data under $VESK_DATA_ROOT, default /tmp)
#include <sys/resource.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"

namespace {

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of each thread of this process, by thread id, with its name.
std::map<int, std::pair<std::string, double>> ThreadCpu() {
    std::map<int, std::pair<std::string, double>> threads;
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        std::getline(stat, line);
        const size_t close = line.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        double utime = 0;
        double stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) {
                utime = std::stod(field);
            } else if (i == 15) {
                stime = std::stod(field);
            }
        }
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        std::getline(comm, name);
        threads[std::stoi(entry.path().filename().string())] = {name, (utime + stime) / tick};
    }
    return threads;
}

long ResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
    const long seconds = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 30;
    if (argc > 2 || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 2;
    }
    const char* root = std::getenv("VESK_DATA_ROOT");
    const std::string vesk = std::string(root != nullptr ? root : "/tmp") + "/Vesk";
    const std::string audio = vesk + "/Audio";
    MakeDirectory(vesk.c_str());
    MakeDirectory(audio.c_str());

    CVeskLogger logger(audio.c_str(), "Audio");
    CSpkLoopback capture(&logger, audio.c_str());
    if (capture.Start() == 0) {
        std::fprintf(stderr, "capture did not start; see %s/VeskZIZLog.txt\n", audio.c_str());
        return 1;
    }
    const double cpuBefore = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    long polls = 0;
    long detecting = 0;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(seconds) &&
           capture.m_bRunning != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ++polls;
        detecting += capture.m_nSignalDetected > 0 ? 1 : 0;
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = CpuSeconds() - cpuBefore;
    // The capture thread is the one that is neither this thread nor the sound server's.
    const int self = static_cast<int>(gettid());
    for (const auto& [tid, thread] : ThreadCpu()) {
        const char* role = tid == self ? "this tool (10 ms polls)"
                           : thread.first.find("threaded-ml") != std::string::npos
                               ? "sound server client thread"
                               : "capture thread";
        std::printf("thread %d %-16s %-28s CPU %.3f s = %.3f %% of one core\n", tid,
                    thread.first.c_str(), role, thread.second, 100.0 * thread.second / wall);
    }
    capture.Stop();
    std::printf(
        "captured %.1f s: process CPU %.3f s = %.3f %% of one core (includes the 10 ms "
        "polls of this tool); far end present in %ld of %ld polls; max resident %ld KiB; "
        "packets %d, blocks %d\n",
        wall, cpu, 100.0 * cpu / wall, detecting, polls, ResidentKiB(),
        CSpkLoopback::s_nPackets.load(), CSpkLoopback::s_nBlocks.load());
    return 0;
}
