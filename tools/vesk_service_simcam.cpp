// The service program itself (the same command line, dispatcher and controller) with a
// simulated camera attached in place of the USB bus, so that capture runs on a machine without
// the camera (scripts/measure-stop, scripts/measure-capture, scripts/soak).
//
// For the soak, three environment variables, none of which the service itself knows:
//   VESK_SIMCAM_CONTROL=FIFO   the commands of testing/camera_side.h read from this named pipe,
//                              one per line: unplug, plug (each refused when it changes nothing),
//                              fail, heal (of hid_send_feature_report) and log
//   VESK_SIMCAM_TRACE=FILE     the trace of testing/camera_side.h: report, open, done, refused
//   VESK_LOG_ROTATION_BYTES=N  the log is rotated at N bytes instead of 10,000,000
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/seams.h"
#include "service/ServiceHost.h"
#include "testing/camera_side.h"
#include "testing/usb_sim.h"

namespace {

std::atomic<bool> g_stopWatching{false};
std::atomic<bool> g_stopReading{false};
camera_side::Trace g_trace;
camera_side::Camera g_side;  // fed by the notifier's thread alone
int g_camera = 0;            // the bus's id of the camera while it is plugged, 0 while it is not

// Runs on the notifier's thread under the bus's lock: the request read, a line, nothing else.
void OnFeatureReport(int /*id*/, const uint8_t* data, size_t length) {
    if (const auto request = g_side.TakeFeatureReport(data, length)) {
        g_trace.Line(std::string("report ") + camera_side::TraceWord(request->farEnd));
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

void Carry(const camera_side::Command& command) {
    using camera_side::Verb;
    if (command.verb == Verb::kUnplug && g_camera != 0) {
        usb_sim::Unplug(g_camera);
        g_camera = 0;
    } else if (command.verb == Verb::kPlug && g_camera == 0) {
        g_camera = usb_sim::Plug(usb_sim::Device{});
    } else if (command.verb == Verb::kFail) {
        usb_sim::Fail("hid_send_feature_report", -1);
    } else if (command.verb == Verb::kHeal) {
        usb_sim::Clear("hid_send_feature_report");
    } else if (command.verb == Verb::kLog) {
        WriteLogLines(command.first, command.count, command.text);
    } else {
        g_trace.Line("refused " + command.line);
        return;
    }
    g_trace.Line("done " + command.line);
}

// Reads commands until told to stop. The pipe is opened for writing too, so that it never ends
// when a writer goes away, and polled, so that the thread ends with the program: a thread left
// blocked in stdio would hold exit() back, which flushes every stream.
void ReadControl(const std::string& path) {
    const int pipe = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (pipe < 0) {
        return;
    }
    camera_side::CommandReader commands;
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
        commands.Feed(chunk, static_cast<size_t>(got));
        while (const auto command = commands.Next()) {
            Carry(*command);
        }
    }
    close(pipe);
}

void WatchOpenHandles() {
    int last = -1;
    while (!g_stopWatching) {
        const int open = usb_sim::OpenHidDevices();
        if (open != last) {
            g_trace.Line("open " + std::to_string(open));
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
        if (g_trace.Open(trace)) {
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
