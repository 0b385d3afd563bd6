// The service host: command line, installation on a scripted service manager, the service's
// life under the dispatcher, and the program itself as a process.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testing/fake_room.h"
#include "platform/ServiceEvent.h"
#include "service/ServiceHost.h"
#include "test_util.h"
#include "platform/seams.h"

namespace {

struct Report {
    WORD type;
    DWORD id;
    std::string text;
};

std::mutex s_mutex;
std::vector<Report> s_reports;

void Observe(WORD type, DWORD id, const char* text) {
    std::lock_guard<std::mutex> lock(s_mutex);
    s_reports.push_back({type, id, text});
}

std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> lock(s_mutex);
    std::vector<std::string> texts;
    for (const Report& report : s_reports) {
        texts.push_back(report.text);
    }
    return texts;
}

class ScriptedManager final : public vesk_platform::ServiceManager {
  public:
    bool reachable = true;
    bool installed = false;
    DWORD state = SERVICE_STOPPED;
    std::string executable;

    bool Reachable() override { return reachable; }
    bool Create(const std::string& name, const std::string& path, DWORD* error) override {
        EXPECT_EQ(name, "VeskAudioService");
        if (installed) {
            *error = ERROR_SERVICE_EXISTS;
            return false;
        }
        installed = true;
        executable = path;
        return true;
    }
    bool Exists(const std::string&) override { return installed; }
    DWORD State(const std::string&) override { return state; }
    bool Delete(const std::string&, DWORD*) override {
        installed = false;
        return true;
    }
};

class Service : public testing::Test {
  protected:
    void SetUp() override {
        vesk_platform::SetServiceManager(&m_manager);
        vesk_platform::SetServiceEventObserver(Observe);
        vesk_platform::SetTimeDivisor(50);
        vesk_platform::SetLockstepThreadWaits(true);  // a thread's start or end is waited for
        test_util::SetEnv("VESK_DATA_ROOT", m_root.path());
        fake_room::Reset();
        fake_room::FreeRun();
        std::lock_guard<std::mutex> lock(s_mutex);
        s_reports.clear();
    }
    void TearDown() override {
        vesk_platform::SetServiceManager(nullptr);
        vesk_platform::SetServiceEventObserver(nullptr);
        vesk_platform::SetLockstepThreadWaits(false);
        vesk_platform::SetTimeDivisor(1);
    }

    int Run(std::vector<std::string> words) {
        {
            std::lock_guard<std::mutex> lock(s_mutex);
            s_reports.clear();
        }
        std::vector<char*> argv;
        std::string program = "VeskAudioService";
        argv.push_back(program.data());
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        return RunCommandLine(static_cast<int>(argv.size()), argv.data());
    }

    // Runs the service under the dispatcher, delivers `controls`, and returns the exit code.
    int RunService(const std::vector<DWORD>& controls) {
        int code = -2;
        std::thread dispatcher([&] { code = Run({}); });
        for (int i = 0; i < 5000; ++i) {
            const std::vector<std::string> texts = Texts();
            if (!texts.empty() && (texts.back() == "initialize service success." ||
                                   texts.back() == "initialize service failed.")) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (DWORD control : controls) {
            vesk_platform::PostServiceControl(control);
        }
        dispatcher.join();
        return code;
    }

    test_util::TempDir m_root;
    ScriptedManager m_manager;
};

TEST_F(Service, CommandLineInstallsAndRemoves) {
    EXPECT_EQ(Run({"install"}), 0);
    EXPECT_EQ(Texts(),
              (std::vector<std::string>{"service start install.", "create service success.",
                                        "service install success."}));
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    EXPECT_EQ(m_manager.executable, "\"" + std::string(self) + "\"");  // its own path, quoted

    EXPECT_EQ(Run({"install"}), -1);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"service start install.", "create service failed.",
                                                 "service install failed."}));

    m_manager.state = SERVICE_RUNNING;
    EXPECT_EQ(Run({"uninstall"}), -1);
    EXPECT_EQ(Texts(),
              (std::vector<std::string>{"service not stopped, can not delete this service.",
                                        "service uninstall failed."}));
    m_manager.state = SERVICE_STOPPED;
    EXPECT_EQ(Run({"uninstall"}), 0);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"service stopped.", "service delete success.",
                                                 "service uninstall success."}));
    EXPECT_EQ(Run({"uninstall"}), -1);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"Open Vesk Audio Service failed.",
                                                 "service uninstall failed."}));

    for (const auto& words : std::vector<std::vector<std::string>>{
             {"INSTALL"}, {"install", "now"}, {"uninstal"}, {"Uninstall"}}) {
        EXPECT_EQ(Run(words), -1);
        EXPECT_EQ(Texts(), (std::vector<std::string>{"service start with bad parameters."}));
    }

    m_manager.reachable = false;  // no service manager here
    EXPECT_EQ(Run({"install"}), -1);
    EXPECT_EQ(Texts(), (std::vector<std::string>{"service start install.",
                                                 "open service control manager failed.",
                                                 "service install failed."}));
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        EXPECT_EQ(s_reports[1].type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(s_reports[0].type, EVENTLOG_INFORMATION_TYPE);
        EXPECT_EQ(s_reports[1].id, s_reports[0].id + 1);
    }
}

TEST_F(Service, RunsUntilStoppedAndAnswersEveryControl) {
    EXPECT_EQ(
        RunService({SERVICE_CONTROL_DEVICEEVENT, SERVICE_CONTROL_PAUSE, SERVICE_CONTROL_CONTINUE,
                    SERVICE_CONTROL_INTERROGATE, 77, SERVICE_CONTROL_STOP}),
        0);
    const std::vector<std::string> expected = {
        "run Vesk Audio Service normally.",
        "enter service main function.",
        "enter initialize service function.",
        "register service control handler success.",
        "enter registerStart function.",
        "register device notification success.",
        "initialize service success.",
        "control code: SERVICE_CONTROL_DEVICEEVENT.",
        "control code: SERVICE_CONTROL_PAUSE.",
        "control code: SERVICE_CONTROL_CONTINUE.",
        "control code: SERVICE_CONTROL_INTERROGATE.",
        "control code: SERVICE_CONTROL_STOP.",
        "enter onStop function.",
        "unregister device notification.",
        "service control stop success.",
        "run service success",
    };
    EXPECT_EQ(Texts(), expected);
    std::lock_guard<std::mutex> lock(s_mutex);
    for (size_t i = 1; i < s_reports.size(); ++i) {
        EXPECT_EQ(s_reports[i].id, s_reports[i - 1].id + 1);
    }
    EXPECT_EQ(fake_room::LiveObjects(), 0);  // the controller has stopped
}

TEST_F(Service, ShutdownTakesTheStopPath) {
    EXPECT_EQ(RunService({SERVICE_CONTROL_SHUTDOWN}), 0);
    const std::vector<std::string> texts = Texts();
    ASSERT_GE(texts.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(texts.end() - 5, texts.end()),
              (std::vector<std::string>{"control code: SERVICE_CONTROL_SHUTDOWN.",
                                        "enter onStop function.", "unregister device notification.",
                                        "service control stop success.", "run service success"}));
}

#ifndef _WIN32
// Starts the program without an argument on `root`, its standard error in `err`.
pid_t Spawn(const std::string& root, const std::string& err) {
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("VESK_DATA_ROOT", root.c_str(), 1);
        setenv("PULSE_SERVER", "unix:/nonexistent", 1);  // no sound server: capture just waits
        if (freopen(err.c_str(), "w", stderr) == nullptr ||
            freopen("/dev/null", "w", stdout) == nullptr) {
            _exit(3);
        }
        test_util::ExecProgram(VESK_SERVICE_BINARY, {});
    }
    return pid;
}

// Waits up to 10 s for the process to end; its exit code, or -1000.
int ExitCode(pid_t pid) {
    return test_util::ExitCodeWithin(pid, 10000);
}

// The program as a process: it runs in the foreground, and SIGTERM (or a hang-up) stops it
// with the stop reports (on standard error here, where there is no journal), ids counting
// from 1, and its log written. A second process on the same data root is refused.
TEST(ServiceProcess, RunsInTheForegroundAndStopsOnSigtermOrHangUp) {
    for (int signal : {SIGTERM, SIGHUP}) {
        test_util::TempDir dir;
        const std::string err = dir / "stderr.txt";
        const pid_t pid = Spawn(dir.path(), err);
        ASSERT_GE(pid, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        if (signal == SIGTERM) {
            const std::string secondErr = dir / "second.txt";
            EXPECT_EQ(ExitCode(Spawn(dir.path(), secondErr)), 0);
            const std::string second = test_util::ReadFile(secondErr);
            EXPECT_NE(second.find("another instance runs on the data folder"), std::string::npos)
                << second;
            if (second.find("VeskAudioService[") != std::string::npos) {
                EXPECT_NE(second.find("> [2] start service control dispatcher failed."),
                          std::string::npos)
                    << second;
            }
        }
        ASSERT_EQ(kill(pid, signal), 0);
        ASSERT_EQ(ExitCode(pid), 0) << "signal " << signal;
        EXPECT_NE(test_util::ReadFile(dir / "Vesk/Audio/VeskZIZLog.txt")
                      .find("-----------SpkLoopback_Stop() ---------EXIT.\n"),
                  std::string::npos);

        const std::string out = test_util::ReadFile(err);
        if (out.find("VeskAudioService[") == std::string::npos) {
            continue;  // reports went to the journal or syslog
        }
        const std::vector<std::string> inOrder = {
            "> [1] run Vesk Audio Service normally.",
            "> [2] enter service main function.",
            "> [7] initialize service success.",
            "> [8] control code: SERVICE_CONTROL_STOP.",
            "> [9] enter onStop function.",
            "> [11] service control stop success.",
            "> [12] run service success",
        };
        EXPECT_EQ(test_util::FirstMissingInOrder(out, inOrder), "") << out;
    }
}

// A data folder planted as a link is not used, not even for the instance lock: no file of the
// service's appears where it points, and the process still runs and stops cleanly.
TEST(ServiceProcess, TakesNoInstanceLockThroughALinkedDataFolder) {
    test_util::TempDir dir;
    test_util::TempDir elsewhere;
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (dir / "Vesk").c_str()), 0);
    const pid_t pid = Spawn(dir.path(), dir / "stderr.txt");
    ASSERT_GE(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    EXPECT_EQ(ExitCode(pid), 0);
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "Audio/VeskAudioService.lock"));
    EXPECT_FALSE(std::filesystem::exists(elsewhere / "Audio/VeskZIZLog.txt"));
}
#else  // _WIN32

// The program as Windows sees it: its version resource carries the build's version, and its
// message table gives every event id the report's own text, as Event Viewer formats it.
TEST(WindowsProgram, CarriesItsVersionAndAMessageForEveryEventId) {
    std::string path = "Z:" VESK_SERVICE_BINARY;
    std::replace(path.begin(), path.end(), '/', '\\');
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << path;
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    const DWORD expected = (VESK_VERSION_MAJOR << 16) | VESK_VERSION_MINOR;
    EXPECT_EQ(fixed->dwFileVersionMS, expected);
    EXPECT_EQ(fixed->dwFileVersionLS, static_cast<DWORD>(VESK_VERSION_PATCH << 16));
    EXPECT_EQ(fixed->dwProductVersionMS, expected);
    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\StringFileInfo\\040904B0\\ProductVersion",
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(text, VESK_VERSION);

    HMODULE program = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    for (DWORD id : {1u, 2u, 40000u, 65535u}) {
        char report[] = "service control stop success.";
        char* arguments[] = {report};
        char message[128] = "";
        const DWORD written =
            FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY, program, id,
                           0x409, message, sizeof message, reinterpret_cast<va_list*>(arguments));
        EXPECT_GT(written, 0u) << id << " error " << GetLastError();
        std::string shown(message);
        shown.erase(shown.find_last_not_of("\r\n") + 1);  // the message ends its line
        EXPECT_EQ(shown, report) << id;
    }
    FreeLibrary(program);
}

#endif  // _WIN32

}  // namespace
