#include "tools/soak/soak_server.h"

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

namespace soak {

const std::vector<SinkSpec>& NullSinks() {
    static const std::vector<SinkSpec> sinks = {
        {"vesk_48k",
         "sink_name=vesk_48k format=float32le rate=48000 channels=2 "
         "sink_properties=device.description=Vesk-48k-stereo"},
        {"vesk_44k",
         "sink_name=vesk_44k format=s16le rate=44100 channels=2 "
         "sink_properties=device.description=Vesk-44k-stereo"},
        {"vesk_6ch",
         "sink_name=vesk_6ch format=s16le rate=48000 channels=6 "
         "sink_properties=device.description=Vesk-48k-6ch"},
    };
    return sinks;
}

SoundServer::SoundServer(Children& children, std::string dir, bool pipewire)
    : m_children(children), m_dir(std::move(dir)), m_pipewire(pipewire) {
    mkdir(m_dir.c_str(), 0700);
}

std::string SoundServer::Address() const {
    return "unix:" + m_dir + (m_pipewire ? "/pulse/native" : "/native");
}

std::map<std::string, std::string> SoundServer::Environment() const {
    return {{"HOME", m_dir},
            {"XDG_RUNTIME_DIR", m_dir},
            {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_dir + "/bus"},
            {"PULSE_SERVER", ""}};
}

bool SoundServer::WaitUntilAnswering(PulseControl& control) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        ServerView view;
        if (control.Query(&view)) {
            return true;
        }
        if (!Ended().empty()) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool SoundServer::Start(PulseControl& control, const std::string& defaultSink) {
    const std::string log = LogPath();
    const auto environment = Environment();
    if (!m_pipewire) {
        std::vector<std::string> argv = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "-L",
            "module-native-protocol-unix socket=" + m_dir + "/native auth-anonymous=1"};
        for (const SinkSpec& sink : NullSinks()) {
            argv.push_back("-L");
            argv.push_back("module-null-sink " + sink.arguments);
        }
        m_pids.push_back(m_children.Start(argv, environment, log));
    } else {
        if (m_bus < 0) {
            m_bus = m_children.Start({"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                      "--address=unix:path=" + m_dir + "/bus"},
                                     environment, log);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        m_pids.push_back(m_children.Start({"pipewire"}, environment, log));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        m_pids.push_back(m_children.Start({"wireplumber"}, environment, log));
        m_pids.push_back(m_children.Start({"pipewire-pulse"}, environment, log));
    }
    if (!WaitUntilAnswering(control)) {
        return false;
    }
    if (m_pipewire) {
        for (const SinkSpec& sink : NullSinks()) {
            control.LoadModule("module-null-sink", sink.arguments);
        }
    }
    // A new sink can take a moment to be known by the name the default is set to. And a client
    // that connected while PipeWire's session was still coming up can keep a view without the
    // default ("@DEFAULT_SINK@") or the service's stream, long after both are there: the server
    // counts as started once a new connection sees the default in effect.
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (control.SetDefaultSink(defaultSink)) {
            control.Disconnect();
            ServerView view;
            if (control.Query(&view) && view.defaultSink == defaultSink) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

void SoundServer::Kill() {
    for (auto pid = m_pids.rbegin(); pid != m_pids.rend(); ++pid) {
        m_children.Stop(*pid, SIGKILL);
    }
    m_pids.clear();
}

void SoundServer::Stop() {
    for (auto pid = m_pids.rbegin(); pid != m_pids.rend(); ++pid) {
        m_children.Stop(*pid, SIGTERM);
    }
    m_pids.clear();
    if (m_bus > 0) {
        m_children.Stop(m_bus, SIGTERM);
        m_bus = -1;
    }
}

std::string SoundServer::Ended() {
    for (pid_t pid : m_pids) {
        int status = 0;
        if (m_children.Ended(pid, &status)) {
            return "pid " + std::to_string(pid) + ": " + DescribeStatus(status);
        }
    }
    return "";
}

}  // namespace soak
