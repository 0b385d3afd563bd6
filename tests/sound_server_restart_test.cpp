// The service across the sound server's life: the real controller, capture and notifier with a
// simulated camera, on private PulseAudio daemons that this test starts after the service,
// kills and starts again. Capture must come up with each server, and a new default output must
// be followed each time. Waits run 10 times faster (the restart countdown is 0.5 s).
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "platform/pulse_audio.h"
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
    std::this_thread::sleep_for(2000ms);  // the camera opens; capture fails without a server
    EXPECT_FALSE(Capturing());

    {
        // The server starts after the service: capture comes up, and a new default follows.
        Daemon first(server.path(), socket);
        ASSERT_TRUE(WaitFor([&first] { return first.Answers(); }, 10000ms));
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

}  // namespace
