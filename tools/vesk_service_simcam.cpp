// The service program itself (the same command line, dispatcher and controller) with a
// simulated camera attached in place of the USB bus, so that capture runs on a machine without
// the camera (scripts/measure-stop, scripts/measure-capture, scripts/soak).
//
// For the soak, three environment variables, none of which the service itself knows:
//   VESK_SIMCAM_CONTROL=FIFO   commands read from this named pipe, one per line:
//                                unplug | plug          the camera leaves the bus, or comes back
//                                fail-sends | heal-sends  its feature reports fail, or work again
//                                log FIRST COUNT TEXT   COUNT lines "soak line N: TEXT" through the
//                                                       service's logger, N counting from FIRST
//   VESK_SIMCAM_TRACE=FILE     appended, one line per fact, stamped with CLOCK_MONOTONIC in ns:
//                                NS report true|false   a request the camera received
//                                NS open N              camera handles open on the bus (on change)
//                                NS done COMMAND        a command carried out
//   VESK_LOG_ROTATION_BYTES=N  the log is rotated at N bytes instead of 10,000,000
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/seams.h"
#include "service/ServiceHost.h"
#include "testing/usb_sim.h"

namespace {

std::atomic<bool> g_stopWatching{false};
std::atomic<bool> g_stopReading{false};
std::mutex g_traceMutex;
FILE* g_trace = nullptr;
int g_camera = 0;  // the bus's id of the camera while it is plugged, 0 while it is not

void Trace(const std::string& what) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::lock_guard<std::mutex> lock(g_traceMutex);
    if (g_trace != nullptr) {
        fprintf(g_trace, "%lld %s\n",
                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec, what.c_str());
        fflush(g_trace);
    }
}

// Runs on the notifier's thread under the bus's lock: a line and nothing else.
void OnFeatureReport(int /*id*/, const uint8_t* data, size_t length) {
    const std::string report(reinterpret_cast<const char*>(data), length);
    if (report.find("\"far_end_talk\":\"true\"") != std::string::npos) {
        Trace("report true");
    } else if (report.find("\"far_end_talk\":\"false\"") != std::string::npos) {
        Trace("report false");
    } else {
        Trace("report other");
    }
}

void WriteLogLines(long first, long count, const std::string& text) {
    char line[256];
    for (long n = first; n < first + count; ++n) {
        snprintf(line, sizeof line, "soak line %ld: %s\n", n, text.c_str());
        VESK_LOG(g_pThis->m_pLogger.load(), line);
        // Paced like a busy service, not a tight loop: other threads keep logging between.
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

void Carry(const std::string& command) {
    std::istringstream words(command);
    std::string verb;
    words >> verb;
    if (verb == "unplug" && g_camera != 0) {
        usb_sim::Unplug(g_camera);
        g_camera = 0;
    } else if (verb == "plug" && g_camera == 0) {
        g_camera = usb_sim::Plug(usb_sim::Device{});
    } else if (verb == "fail-sends") {
        usb_sim::Fail("hid_send_feature_report", -1);
    } else if (verb == "heal-sends") {
        usb_sim::Clear("hid_send_feature_report");
    } else if (verb == "log") {
        long first = 0;
        long count = 0;
        std::string text;
        words >> first >> count;
        std::getline(words >> std::ws, text);
        WriteLogLines(first, count, text);
    } else {
        Trace("refused " + command);
        return;
    }
    Trace("done " + command);
}

// Reads commands until told to stop. The pipe is opened for writing too, so that it never ends
// when a writer goes away, and polled, so that the thread ends with the program: a thread left
// blocked in stdio would hold exit() back, which flushes every stream.
void ReadControl(const std::string& path) {
    const int pipe = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (pipe < 0) {
        return;
    }
    std::string pending;
    while (!g_stopReading) {
        pollfd watched{pipe, POLLIN, 0};
        if (poll(&watched, 1, 100) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t got = read(pipe, chunk, sizeof chunk);
        if (got <= 0) {
            continue;
        }
        pending.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            Carry(line);
        }
    }
    close(pipe);
}

void WatchOpenHandles() {
    int last = -1;
    while (!g_stopWatching) {
        const int open = usb_sim::OpenHidDevices();
        if (open != last) {
            Trace("open " + std::to_string(open));
            last = open;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

struct SoakHooks {
    std::thread watcher;  // of open handles
    std::thread reader;   // of the control pipe
};

SoakHooks StartSoakHooks() {
    // The service takes its stop signals on one thread of its own and blocks them in the
    // others; these threads start before it and must not take them either.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stopSignals, signal);
    }
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    SoakHooks hooks;
    if (const char* bytes = std::getenv("VESK_LOG_ROTATION_BYTES")) {
        vesk_platform::SetLogRotationSize(std::atol(bytes));
    }
    if (const char* trace = std::getenv("VESK_SIMCAM_TRACE")) {
        g_trace = fopen(trace, "a");
        if (g_trace != nullptr) {
            usb_sim::ObserveFeatureReports(OnFeatureReport);
            hooks.watcher = std::thread(WatchOpenHandles);
        }
    }
    if (const char* control = std::getenv("VESK_SIMCAM_CONTROL")) {
        hooks.reader = std::thread(ReadControl, std::string(control));
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return hooks;
}

}  // namespace

int main(int argc, char** argv) {
    g_camera = usb_sim::Plug(usb_sim::Device{});
    SoakHooks hooks = StartSoakHooks();
    const int status = RunCommandLine(argc, argv);
    g_stopWatching = true;
    g_stopReading = true;
    for (std::thread* hook : {&hooks.watcher, &hooks.reader}) {
        if (hook->joinable()) {
            hook->join();
        }
    }
    return status;
}
