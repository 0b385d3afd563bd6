// The program's systemd side: the unit text it installs (and the package ships), the install
// command's failures, and its children. A systemctl stand-in on the PATH plays systemd.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/service.h"
#include "platform/linux/systemd/systemd_manager.h"
#include "test_util.h"

namespace {

bool HaveSystemdAnalyze() {
    return std::system("command -v systemd-analyze >/dev/null 2>&1") == 0;
}

// The program copied into a folder whose name holds a blank and systemd's special characters.
std::string ProgramInAwkwardFolder(const test_util::TempDir& dir) {
    const std::string folder = dir / "room app 100% $HOME";
    std::filesystem::create_directories(folder);
    const std::string program = folder + "/VeskAudioService";
    std::filesystem::copy_file(VESK_SERVICE_BINARY, program);
    return program;
}

// The units named on the unit's lines of `key` ("Wants", "After"), each line split at blanks.
std::set<std::string> UnitsOn(const std::string& unit, const std::string& key) {
    std::set<std::string> names;
    for (const std::string& line : test_util::SplitLines(unit)) {
        if (line.rfind(key + "=", 0) == 0) {
            std::istringstream words(line.substr(key.size() + 1));
            names.insert(std::istream_iterator<std::string>(words), {});
        }
    }
    return names;
}

// Ended: no such process, or one that only waits to be reaped by whoever inherited it.
bool Gone(pid_t pid) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        const std::string stat = test_util::ReadFile("/proc/" + std::to_string(pid) + "/stat");
        const size_t state = stat.rfind(')');
        if (stat.empty() || (state != std::string::npos && stat.compare(state, 3, ") Z") == 0)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A systemctl that records every call with whether NOTIFY_SOCKET reached it, fails the verbs
// named in the file "fail", says "inactive" and "running" when asked.
class SystemctlStandIn {
  public:
    SystemctlStandIn() {
        std::filesystem::create_directories(m_dir / "bin");
        std::filesystem::create_directories(units());
        const std::string script = m_dir / "bin/systemctl";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "echo \"$* notify=${NOTIFY_SOCKET-unset}\" >> '"
                              << calls()
                              << "'\n"
                                 // Built-ins only up to the hang: on a busy machine the
                                 // stop's wait must find the stand-in hanging, not in a grep.
                                 "if read -r verb < '"
                              << (m_dir / "hang")
                              << "' 2>/dev/null && [ \"$verb\" = \"$1\" ]; then sleep 600 & "
                                 "echo $! > '"
                              << (m_dir / "helper.pid") << "'; echo $$ > '" << (m_dir / "hung.pid")
                              << "'; exec sleep 600; fi\n"
                                 "grep -qxe \"$1\" '"
                              << (m_dir / "fail")
                              << "' 2>/dev/null && exit 1\n"
                                 "case \"$1\" in\n"
                                 "  is-active) echo inactive; exit 3 ;;\n"
                                 "  is-system-running) echo running ;;\n"
                                 "esac\n"
                                 "exit 0\n";
        chmod(script.c_str(), 0755);
    }
    ~SystemctlStandIn() {
        for (pid_t pid : {HungPid(), HelperPid()}) {
            if (pid > 0) {
                kill(pid, SIGKILL);  // left behind only when the program under test failed
            }
        }
    }
    SystemctlStandIn(const SystemctlStandIn&) = delete;
    SystemctlStandIn& operator=(const SystemctlStandIn&) = delete;

    std::string units() const { return m_dir / "units"; }
    std::string calls() const { return m_dir / "calls"; }
    std::string Calls() const { return test_util::ReadFile(calls()); }
    void FailOn(const std::string& verb) const { std::ofstream(m_dir / "fail") << verb << "\n"; }
    void HangOn(const std::string& verb) const { std::ofstream(m_dir / "hang") << verb << "\n"; }
    // The pid of the stand-in that hung, 0 when none did; and of the helper it started in the
    // background, which holds its output open.
    pid_t HungPid() const { return std::atoi(test_util::ReadFile(m_dir / "hung.pid").c_str()); }
    pid_t HelperPid() const { return std::atoi(test_util::ReadFile(m_dir / "helper.pid").c_str()); }
    std::vector<std::string> Units() const { return test_util::ListDir(units()); }

    // Runs `program` with the stand-in on the PATH; returns its exit code, its standard error
    // in `err`. `user` becomes VESK_SESSION_USER; `notify` NOTIFY_SOCKET when not empty. After
    // `stopAfterMs`, `stopSignals` SIGTERMs 20 ms apart.
    int Run(const std::string& program, std::vector<std::string> args, const std::string& user,
            std::string* err, const std::string& notify = "", int stopAfterMs = 0,
            int stopSignals = 1) {
        const std::string errFile = m_dir / "stderr.txt";
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("PATH", (m_dir / "bin:" + std::getenv("PATH")).c_str(), 1);
            setenv("VESK_SYSTEMD_UNIT_DIR", units().c_str(), 1);
            setenv("VESK_SESSION_USER", user.c_str(), 1);
            unsetenv("SUDO_USER");
            setenv("VESK_DATA_ROOT", m_dir.path().c_str(), 1);
            setenv("PULSE_SERVER", "unix:/nonexistent", 1);
            if (!notify.empty()) {
                setenv("NOTIFY_SOCKET", notify.c_str(), 1);
            }
            if (freopen(errFile.c_str(), "w", stderr) == nullptr ||
                freopen("/dev/null", "w", stdout) == nullptr) {
                _exit(3);
            }
            test_util::ExecProgram(program, std::move(args));
        }
        const auto stopped =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(stopAfterMs);
        if (stopAfterMs > 0) {
            std::this_thread::sleep_until(stopped);
            for (int signal = 0; signal < stopSignals; ++signal) {
                std::this_thread::sleep_for(std::chrono::milliseconds(signal == 0 ? 0 : 20));
                kill(pid, SIGTERM);
            }
        }
        // Bounded: a program that never ends fails the test instead of hanging it.
        const int code = test_util::ExitCodeWithin(pid, 30000);
        m_stopMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - stopped)
                       .count();
        *err = test_util::ReadFile(errFile);
        return code == -1000 ? -1 : code;
    }

    // Milliseconds from the last Run's first stop signal to the program's end.
    long StopMs() const { return m_stopMs; }

  private:
    test_util::TempDir m_dir;
    long m_stopMs = 0;
};

TEST(SystemdUnit, RunsTheProgramQuotedAsTheRoomUserHardened) {
    using vesk_platform::UnitRecovery;
    test_util::TempDir dir;
    const std::string program = ProgramInAwkwardFolder(dir);
    const std::string unit =
        vesk_platform::SystemdUnit(program, "nobody", false, UnitRecovery::kNone);
    EXPECT_NE(
        unit.find("\nExecStart=\"" + dir.path() + "/room app 100%% $HOME/VeskAudioService\"\n"),
        std::string::npos)
        << unit;
    for (const char* line :
         {"\nType=notify\n", "\nRestart=no\n", "\nUser=nobody\n", "\nStateDirectory=Vesk/Audio\n",
          "\nStandardOutput=null\n", "\nStandardError=journal\n", "\nWantedBy=multi-user.target\n",
          "\nWants=modprobe@usbcore.service modprobe@hid.service\n"}) {
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    }
    // The audio threads' real-time priority: allowed, guarded, and its system call let back
    // through after the filter that takes away the rest of @resources.
    for (const char* line : {"\nLimitRTPRIO=1\n", "\nLimitRTTIME=200ms:1s\n"}) {
        EXPECT_NE(unit.find(line), std::string::npos) << line;
    }
    const size_t allowed = unit.find("\nSystemCallFilter=sched_setscheduler\n");
    EXPECT_TRUE(allowed != std::string::npos &&
                allowed > unit.find("\nSystemCallFilter=~@privileged @resources\n"));
    EXPECT_EQ(unit.find("XDG_RUNTIME_DIR"), std::string::npos);  // no uid written in
    EXPECT_EQ(unit.find("SupplementaryGroups"), std::string::npos);
    EXPECT_EQ(unit.find("StartLimit"), std::string::npos);  // install: no recovery
    const std::string packaged =
        vesk_platform::SystemdUnit(program, "nobody", true, UnitRecovery::kRestartAfterCrash);
    EXPECT_NE(packaged.find("\nSupplementaryGroups=vesk-audio\n"), std::string::npos);
    // Wanted alone, a driver loads beside the start, too late for DeviceAllow's lookup.
    for (const std::string& text : {unit, packaged}) {
        const std::set<std::string> after = UnitsOn(text, "After");
        for (const std::string& wanted : UnitsOn(text, "Wants")) {
            EXPECT_TRUE(after.count(wanted)) << wanted << " wanted but not after";
        }
    }

    // The package restarts a crash, not a refused second instance (exit 0 before READY=1), and
    // gives up on a crash loop; start limits belong to [Unit], restarts to [Service].
    const size_t service = packaged.find("\n[Service]\n");
    EXPECT_EQ(packaged.find("\nRestart=no\n"), std::string::npos);
    for (const char* line : {"\nStartLimitIntervalSec=5min\n", "\nStartLimitBurst=5\n"}) {
        EXPECT_LT(packaged.find(line), service) << line;
    }
    for (const char* line :
         {"\nRestart=on-failure\n", "\nRestartSec=5s\n", "\nRestartPreventExitStatus=0\n"}) {
        const size_t at = packaged.find(line);
        EXPECT_TRUE(at != std::string::npos && at > service) << line;
    }

    if (!HaveSystemdAnalyze()) {
        GTEST_SKIP() << "no systemd-analyze";
    }
    const std::string path = dir / "VeskAudioService.service";
    std::string out;
    std::ofstream(path) << packaged;
    EXPECT_EQ(vesk_platform::RunChild({"systemd-analyze", "verify", "--man=no", path}, &out), 0);
    std::ofstream(path) << unit;
    EXPECT_EQ(vesk_platform::RunChild({"systemd-analyze", "verify", "--man=no", path}, &out), 0);
    vesk_platform::RunChild({"systemd-analyze", "security", "--offline=yes", path}, &out);
    const size_t at = out.find("Overall exposure level for VeskAudioService.service: ");
    ASSERT_NE(at, std::string::npos) << out;
    const double exposure = std::stod(out.substr(at + 54));
    EXPECT_LE(exposure, 1.5) << out;

    // No systemd runs here to apply the sandbox, so systemd's own reading of it is checked for
    // what the room needs (the boxed room runs it). The room user's sound server listens under
    // /run/user, which ProtectHome hides unless it is read-only (or off); the camera's nodes
    // are written: feature reports on hidraw, usbfs opened read-write by libusb.
    const auto said = [&out](const std::string& setting) {
        for (const std::string& line : test_util::SplitLines(out)) {
            if (line.find(" " + setting + "= ") != std::string::npos) {
                return line;
            }
        }
        return std::string();
    };
    EXPECT_NE(said("ProtectHome").find("read-only access to home directories"), std::string::npos)
        << said("ProtectHome");
    for (const char* node : {" char-hidraw:rw", " char-usb_device:rw"}) {
        EXPECT_NE(said("DeviceAllow").find(node), std::string::npos) << said("DeviceAllow");
    }
}

TEST(SystemdInstall, RefusesAnUnknownOrRootUserAndTakesBackAFailedRun) {
    SystemctlStandIn systemd;
    std::string err;
    for (const char* user : {"nosuchuser", "root", ""}) {
        EXPECT_EQ(systemd.Run(VESK_SERVICE_BINARY, {"install"}, user, &err), 255) << user;
        EXPECT_NE(err.find("create service failed."), std::string::npos) << err;
        EXPECT_NE(err.find("service install failed."), std::string::npos) << err;
        EXPECT_NE(err.find("install needs the room's user"), std::string::npos) << err;
        EXPECT_TRUE(systemd.Units().empty()) << user;
    }
    EXPECT_EQ(systemd.Calls().find("daemon-reload"), std::string::npos);

    for (const char* verb : {"daemon-reload", "enable"}) {
        systemd.FailOn(verb);
        EXPECT_EQ(systemd.Run(VESK_SERVICE_BINARY, {"install"}, "nobody", &err), 255) << verb;
        EXPECT_NE(err.find("create service failed."), std::string::npos) << err;
        EXPECT_TRUE(systemd.Units().empty()) << "left behind after a failing " << verb;
    }
}

TEST(SystemdInstall, InstallsFromAFolderWithBlanksAndUninstalls) {
    SystemctlStandIn systemd;
    test_util::TempDir dir;
    const std::string program = ProgramInAwkwardFolder(dir);
    std::string err;
    ASSERT_EQ(systemd.Run(program, {"install"}, "nobody", &err), 0) << err;
    EXPECT_NE(err.find("service install success."), std::string::npos) << err;
    ASSERT_EQ(systemd.Units(), std::vector<std::string>{"VeskAudioService.service"});
    const std::string unit = systemd.units() + "/VeskAudioService.service";
    EXPECT_NE(test_util::ReadFile(unit).find("ExecStart=\"" + dir.path() +
                                             "/room app 100%% $HOME/VeskAudioService\"\n"),
              std::string::npos);
    EXPECT_NE(systemd.Calls().find("enable VeskAudioService.service"), std::string::npos);
    if (HaveSystemdAnalyze()) {
        EXPECT_EQ(vesk_platform::RunChild({"systemd-analyze", "verify", "--man=no", unit}), 0);
    }

    ASSERT_EQ(systemd.Run(program, {"uninstall"}, "nobody", &err), 0) << err;
    EXPECT_NE(err.find("service uninstall success."), std::string::npos) << err;
    EXPECT_TRUE(systemd.Units().empty());
}

// The stop path asks systemctl whether the system is going down: that child must not carry the
// service's NOTIFY_SOCKET (it would speak to systemd in the service's name), nor hold the stop.
TEST(SystemdService, ChildrenDoNotInheritTheNotifySocket) {
    SystemctlStandIn systemd;
    test_util::TempDir dir;
    std::string err;
    EXPECT_EQ(systemd.Run(VESK_SERVICE_BINARY, {}, "nobody", &err, dir / "notify", 1500), 0);
    const std::string calls = systemd.Calls();
    EXPECT_NE(calls.find("is-system-running notify=unset"), std::string::npos) << calls;
    EXPECT_EQ(calls.find("notify=" + dir / "notify"), std::string::npos) << calls;

    // A systemctl that never answers (systemd busy in a shutdown) does not hold the stop: it
    // is ended with what it started, and the stop goes on as a plain stop. It is asked once
    // however many stop signals come. The stop gives it 100 ms, then wakes the boot wait at
    // once: 120-220 ms at twice the cores' load; a stop that waited 1 s for the answer would
    // take over 1 s.
    systemd.HangOn("is-system-running");
    const size_t asked = test_util::Count(systemd.Calls(), "is-system-running");
    EXPECT_EQ(systemd.Run(VESK_SERVICE_BINARY, {}, "nobody", &err, "", 1500, 3), 0);
    EXPECT_LT(systemd.StopMs(), 900);
    EXPECT_EQ(test_util::Count(systemd.Calls(), "is-system-running"), asked + 1);
    ASSERT_GT(systemd.HungPid(), 0);
    ASSERT_GT(systemd.HelperPid(), 0);
    EXPECT_TRUE(Gone(systemd.HungPid()));
    EXPECT_TRUE(Gone(systemd.HelperPid()));
    if (err.find("VeskAudioService[") != std::string::npos) {
        EXPECT_NE(err.find("control code: SERVICE_CONTROL_STOP."), std::string::npos) << err;
    }

    std::string out;
    setenv("NOTIFY_SOCKET", "/run/systemd/notify", 1);
    EXPECT_EQ(vesk_platform::RunChild({"sh", "-c", "echo ${NOTIFY_SOCKET-unset}"}, &out), 0);
    unsetenv("NOTIFY_SOCKET");
    EXPECT_EQ(out, "unset\n");
    // The bound holds for a child that answered and closed its output but does not end.
    auto quiet = std::async(std::launch::async, [] {
        std::string said;
        return vesk_platform::RunChild({"sh", "-c", "echo stopping; exec >&-; exec sleep 600"},
                                       &said, 200);
    });
    ASSERT_EQ(quiet.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(quiet.get(), -1);
}

}  // namespace
