// The service across the sound server's life: the real controller, capture and notifier with a
// simulated camera, on private PulseAudio daemons that these tests start, kill and start again.
// Capture must come up with each server, a new default output must be followed each time, and
// the status snapshot must tell the truth throughout. Waits run 10 times faster (the restart
// countdown is 0.5 s).
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "platform/linux/pulse/pulse_audio.h"
#include "status/StatusSnapshot.h"
#include "testing/usb_sim.h"
#include "test_util.h"
#include "platform/seams.h"

extern char** environ;

namespace {

using test_util::WaitFor;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A PulseAudio daemon of this test's own on a fixed socket, with two null sinks (vesk_48k the
// default). Stopped by its process id.
class Daemon {
  public:
    Daemon(const std::string& dir, const std::string& socket) : m_dir(dir) {
        const std::string home = "HOME=" + dir;
        const std::string runtime = "XDG_RUNTIME_DIR=" + dir;
        std::vector<std::string> args = {
            "pulseaudio",
            "-n",
            "--daemonize=no",
            "--exit-idle-time=-1",
            "--use-pid-file=no",
            "--log-target=file:" + dir + "/pulseaudio.log",
            "-L",
            "module-native-protocol-unix socket=" + socket + " auth-anonymous=1",
            "-L",
            "module-null-sink sink_name=vesk_48k rate=48000 channels=2",
            "-L",
            "module-null-sink sink_name=vesk_44k rate=44100 channels=2",
        };
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        std::vector<std::string> variables = {home, runtime};
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (strncmp(*variable, "HOME=", 5) != 0 && strncmp(*variable, "XDG_RUNTIME_DIR=", 16)) {
                variables.emplace_back(*variable);
            }
        }
        std::vector<char*> envp;
        for (std::string& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        if (posix_spawnp(&m_pid, "pulseaudio", nullptr, nullptr, argv.data(), envp.data()) != 0) {
            m_pid = -1;
        }
    }
    ~Daemon() { Kill(SIGTERM); }

    bool Answers() const { return Pactl("info"); }
    bool Pactl(const std::string& command) const {
        return std::system(("pactl " + command + " >/dev/null 2>&1").c_str()) == 0;
    }
    void Kill(int signal) {
        if (m_pid > 0) {
            kill(m_pid, signal);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

  private:
    std::string m_dir;
    pid_t m_pid = -1;
};

bool Capturing() {
    const CSpkLoopback* capture = g_pThis->m_pSpkLoopback.load();
    return capture != nullptr && capture->m_bRunning != 0;
}

TEST(SoundServerRestart, DefaultOutputIsFollowedAfterALateStartAndAfterACrash) {
    test_util::TempDir root;
    test_util::TempDir server;
    const std::string socket = server / "native";
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    setenv("VESK_DATA_ROOT", root.path().c_str(), 1);
    const std::string list = root / "Vesk/Audio/detected_audio_output_devices.txt";
    const auto defaultIs = [&list](const char* index) {
        return test_util::ReadFile(list).find(std::string("D | ") + index + ", ") !=
               std::string::npos;
    };

    // No server yet: the enumerator exists (as on Windows), its queries fail.
    IMMDeviceEnumerator* enumerator = nullptr;
    ASSERT_EQ(pulse_audio::CreateEnumerator(&enumerator), S_OK);
    IMMDevice* device = nullptr;
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, &device),
              AUDCLNT_E_SERVICE_NOT_RUNNING);
    enumerator->Release();

    vesk_platform::SetTimeDivisor(10);
    usb_sim::Reset();
    usb_sim::Plug(usb_sim::Device{});
    SpkLoopback_Start();
    ASSERT_TRUE(WaitFor([] { return g_pThis->m_bMonitorRunning.load(); }, 3000ms));
    // The camera opens; capture fails without a server. The server comes 7 s after the
    // service, as a login long after the boot: the connection's retries, never more than 2 s
    // apart however long it has tried, find it within 2 s.
    std::this_thread::sleep_for(7000ms);
    EXPECT_FALSE(Capturing());

    {
        // The server starts after the service: capture comes up, and a new default follows.
        Daemon first(server.path(), socket);
        ASSERT_TRUE(WaitFor([&first] { return first.Answers(); }, 10000ms));
        EXPECT_TRUE(WaitFor([] { return vesk_platform::SoundServerState() == 1; }, 3000ms));
        ASSERT_TRUE(WaitFor(Capturing, 5000ms));
        EXPECT_TRUE(defaultIs("0"));
        ASSERT_TRUE(first.Pactl("set-default-sink vesk_44k"));
        EXPECT_TRUE(WaitFor([&] { return defaultIs("1") && Capturing(); }, 4000ms))
            << "the new default output after a late server start was not followed";

        // The server crashes; a new one starts with its own default.
        first.Kill(SIGKILL);
    }
    Daemon second(server.path(), socket);
    ASSERT_TRUE(WaitFor([&second] { return second.Answers(); }, 10000ms));
    ASSERT_TRUE(WaitFor([&] { return defaultIs("0") && Capturing(); }, 8000ms));
    ASSERT_TRUE(second.Pactl("set-default-sink vesk_44k"));
    EXPECT_TRUE(WaitFor([&] { return defaultIs("1") && Capturing(); }, 4000ms))
        << "the new default output after a server restart was not followed";

    SpkLoopback_Stop();
    vesk_platform::SetTimeDivisor(1);
    unsetenv("PULSE_SERVER");
}

// A notify socket as systemd's: the datagrams the service sends it.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            setenv("NOTIFY_SOCKET", path.c_str(), 1);
        }
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        close(m_fd);
    }
    std::vector<std::string> Received() {
        char buffer[4096];
        ssize_t got;
        while ((got = recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
            m_received.emplace_back(buffer, static_cast<size_t>(got));
        }
        return m_received;
    }

  private:
    int m_fd = -1;
    std::vector<std::string> m_received;
};

// The snapshot follows the room: no camera, a camera plugged, speech and silence, a new default
// output, the sound server killed and back, the camera unplugged, the service stopped; and the
// summary line reaches the notify socket on each change.
TEST(StatusSnapshot, FollowsTheRoom) {
    test_util::TempDir root;
    test_util::TempDir server;
    const std::string socket = server / "native";
    setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);
    setenv("VESK_DATA_ROOT", root.path().c_str(), 1);
    NotifySocket notify(root / "notify");
    const std::string speech = root / "speech.wav";
    ASSERT_EQ(std::system(("espeak-ng -w " + speech +
                           " 'Good morning everyone, the numbers look fine today.'")
                              .c_str()),
              0);
    const std::string path = root / "Vesk/Audio/status.json";
    vesk_status::Snapshot now;
    const auto holds = [&](const std::function<bool(const vesk_status::Snapshot&)>& what) {
        return WaitFor(
            [&] {
                notify.Received();  // drained as systemd would
                std::string error;
                return vesk_status::ReadSnapshotFile(path, &now, &error) ==
                           vesk_status::ReadResult::kOk &&
                       what(now);
            },
            15000ms);
    };
    const auto hasReason = [](const vesk_status::Snapshot& s, const std::string& reason) {
        return std::find(s.reasons.begin(), s.reasons.end(), reason) != s.reasons.end();
    };

    auto first = std::make_unique<Daemon>(server.path(), socket);
    ASSERT_TRUE(WaitFor([&first] { return first->Answers(); }, 10000ms));
    vesk_platform::SetTimeDivisor(10);
    usb_sim::Reset();
    SpkLoopback_Start();
    EXPECT_TRUE(holds([&](const auto& s) {
        return !s.stopped && s.soundServerConnected && !s.cameraOpen &&
               hasReason(s, "no camera attached");
    }));

    const int camera = usb_sim::Plug(usb_sim::Device{});
    ASSERT_TRUE(holds([](const auto& s) {
        return s.cameraOpen && s.camera.serial == "Q30-0001" && s.camera.product == "Quorin Q30" &&
               s.camera.vendorId == 0x3E8C && s.captureRunning && s.rate == 48000 && s.hasDevice &&
               s.verdict == vesk_status::Verdict::kOk && s.lastGoodSend != 0;
    })) << vesk_status::ToJson(now);
    const std::string firstDevice = now.deviceId;

    std::thread player([&speech] { std::system(("paplay " + speech + " 2>/dev/null").c_str()); });
    EXPECT_TRUE(holds([](const auto& s) { return s.farEndTalking && s.packetsPerSecond > 0; }));
    player.join();
    EXPECT_TRUE(holds([](const auto& s) {
        return !s.farEndTalking && s.farEndLastFalse >= s.farEndLastTrue && s.farEndLastTrue != 0;
    }));

    ASSERT_TRUE(first->Pactl("set-default-sink vesk_44k"));
    EXPECT_TRUE(holds([&](const auto& s) {
        return s.captureRunning && s.rate == 44100 && s.deviceId != firstDevice;
    })) << vesk_status::ToJson(now);

    first->Kill(SIGKILL);
    EXPECT_TRUE(holds([&](const auto& s) {
        return !s.soundServerConnected && !s.captureRunning && hasReason(s, "no sound server");
    })) << vesk_status::ToJson(now);
    Daemon second(server.path(), socket);
    EXPECT_TRUE(holds([](const auto& s) { return s.soundServerConnected && s.captureRunning; }));

    usb_sim::Unplug(camera);
    EXPECT_TRUE(holds([&](const auto& s) {
        return !s.cameraOpen && !s.captureRunning && hasReason(s, "no camera attached");
    })) << vesk_status::ToJson(now);

    SpkLoopback_Stop();
    EXPECT_TRUE(holds(
        [](const auto& s) { return s.stopped && s.verdict == vesk_status::Verdict::kCritical; }));
    vesk_platform::SetTimeDivisor(1);
    unsetenv("PULSE_SERVER");

    const std::vector<std::string> lines = notify.Received();
    EXPECT_NE(std::find_if(lines.begin(), lines.end(),
                           [](const std::string& line) {
                               return line.rfind("STATUS=ok: capturing \"", 0) == 0 &&
                                      line.find("camera Quorin Q30 (serial Q30-0001) open") !=
                                          std::string::npos;
                           }),
              lines.end());
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_NE(lines[i], lines[i - 1]) << "sent twice";
    }
}

}  // namespace
