// The service control manager on Linux: systemd, reached through systemctl. The unit text
// comes from systemd_unit.cpp, which the package's build uses as well.
#include "platform/linux/systemd/systemd_manager.h"

#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace vesk_platform {
namespace {

std::string UnitDirectory() {
    const char* dir = std::getenv("VESK_SYSTEMD_UNIT_DIR");
    return dir != nullptr && dir[0] != '\0' ? dir : "/etc/systemd/system";
}

bool Systemctl(std::initializer_list<std::string> words, std::string* output = nullptr) {
    std::vector<std::string> argv = {"systemctl"};
    argv.insert(argv.end(), words);
    return RunChild(argv, output) == 0;
}

// The room's user: named by VESK_SESSION_USER or, under sudo, SUDO_USER. Its sound server is
// the one the service follows, so it must be a user of this system, and not root.
bool SessionUser(std::string* user) {
    for (const char* variable : {"VESK_SESSION_USER", "SUDO_USER"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') {
            *user = value;
            break;
        }
    }
    const passwd* entry = user->empty() ? nullptr : getpwnam(user->c_str());
    if (entry == nullptr || entry->pw_uid == 0) {
        fprintf(stderr,
                "VeskAudioService: install needs the room's user, whose sound the service "
                "follows: a user of this system other than root, named by VESK_SESSION_USER "
                "(given: \"%s\")\n",
                user->c_str());
        return false;
    }
    return true;
}

// The service manager hands over the path as Windows registers it, in double quotes.
std::string Unquoted(const std::string& path) {
    if (path.size() >= 2 && path.front() == '"' && path.back() == '"') {
        return path.substr(1, path.size() - 2);
    }
    return path;
}

// The systemd manager: a unit named after the service in the unit folder.
class Systemd final : public ServiceManager {
  public:
    bool Reachable() override {
        // Tests name a unit folder of their own and put a systemctl of their own on the PATH.
        const bool testFolder = std::getenv("VESK_SYSTEMD_UNIT_DIR") != nullptr;
        return (testFolder || std::filesystem::exists("/run/systemd/system")) &&
               Systemctl({"--version"});
    }

    // Writes, reloads and enables; any failure takes back what this call wrote.
    bool Create(const std::string& name, const std::string& executable, DWORD* error) override {
        const std::string path = UnitDirectory() + "/" + name + ".service";
        if (std::filesystem::exists(path)) {
            *error = ERROR_SERVICE_EXISTS;
            return false;
        }
        std::string user;
        const std::string program = Unquoted(executable);
        if (!SessionUser(&user)) {
            *error = ERROR_INVALID_SERVICE_ACCOUNT;
            return false;
        }
        if (program.find_first_of("\n\r") != std::string::npos) {
            *error = ERROR_INVALID_PARAMETER;
            return false;
        }
        const auto takeBack = [&path, error] {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
            *error = ERROR_ACCESS_DENIED;
            return false;
        };
        std::ofstream unit(path);
        // Registered as Windows registers it: no recovery settings.
        unit << SystemdUnit(program, user, getgrnam(kCameraGroup) != nullptr, UnitRecovery::kNone);
        unit.close();
        if (!unit || !Systemctl({"daemon-reload"})) {
            return takeBack();
        }
        if (!Systemctl({"enable", name + ".service"})) {
            Systemctl({"disable", name + ".service"});
            takeBack();
            Systemctl({"daemon-reload"});
            return false;
        }
        return true;
    }

    bool Exists(const std::string& name) override {
        return std::filesystem::exists(UnitDirectory() + "/" + name + ".service");
    }

    DWORD State(const std::string& name) override {
        std::string word;
        Systemctl({"is-active", name + ".service"}, &word);
        word = word.substr(0, word.find('\n'));
        if (word == "active" || word == "reloading") {
            return SERVICE_RUNNING;
        }
        if (word == "activating") {
            return SERVICE_START_PENDING;
        }
        if (word == "deactivating") {
            return SERVICE_STOP_PENDING;
        }
        return SERVICE_STOPPED;
    }

    bool Delete(const std::string& name, DWORD* error) override {
        Systemctl({"disable", name + ".service"});
        std::error_code removed;
        if (!std::filesystem::remove(UnitDirectory() + "/" + name + ".service", removed)) {
            *error = ERROR_ACCESS_DENIED;
            return false;
        }
        Systemctl({"daemon-reload"});
        return true;
    }
};

}  // namespace

ServiceManager& SystemdManager() {
    static Systemd instance;
    return instance;
}

namespace {

// Starts `argv` with its standard output into `outputFd`, in a process group of its own (so that
// a child given up on is ended with whatever it started). The child's pid, or -1.
pid_t SpawnChild(const std::vector<std::string>& argv, int outputFd) {
    // The child is no part of the service: it must not speak to systemd in its name.
    std::vector<char*> environment;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (strncmp(*variable, "NOTIFY_SOCKET=", 14) != 0) {
            environment.push_back(*variable);
        }
    }
    environment.push_back(nullptr);
    std::vector<char*> words;
    for (const std::string& word : argv) {
        words.push_back(const_cast<char*>(word.c_str()));
    }
    words.push_back(nullptr);

    // The child starts with the signals the service blocks unblocked and at their defaults.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t stopSignals;
    sigemptyset(&none);
    sigemptyset(&stopSignals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaddset(&stopSignals, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stopSignals);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(
        &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned =
        posix_spawnp(&pid, words[0], &actions, &attributes, words.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return spawned == 0 ? pid : -1;
}

// Reads `fd` to its end into `text`; false when `deadline` came first.
bool ReadToEnd(int fd, std::string* text, std::chrono::steady_clock::time_point deadline,
               bool bounded) {
    char buffer[256];
    for (;;) {
        int waitMs = -1;
        if (bounded) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return false;
            }
            waitMs = static_cast<int>(left.count());
        }
        pollfd readable = {fd, POLLIN, 0};
        const int ready = poll(&readable, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            return true;
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            return true;
        }
        text->append(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    }
}

// How long a killed child gets to be reaped before it is left behind.
constexpr std::chrono::milliseconds kReapAfterKill{100};

// Waits for the child to end, up to `deadline` when `bounded`; true when it has been reaped.
bool ReapChild(pid_t pid, int* status, std::chrono::steady_clock::time_point deadline,
               bool bounded) {
    for (;;) {
        const pid_t ended = waitpid(pid, status, bounded ? WNOHANG : 0);
        if (ended == pid) {
            return true;
        }
        if (ended < 0 && errno != EINTR) {
            return false;
        }
        if (bounded) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

}  // namespace

int RunChild(const std::vector<std::string>& argv, std::string* output, int timeoutMs) {
    int pipe[2] = {-1, -1};
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = SpawnChild(argv, pipe[1]);
    close(pipe[1]);
    if (pid < 0) {
        close(pipe[0]);
        return -1;
    }
    const bool bounded = timeoutMs >= 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string text;
    bool answered = ReadToEnd(pipe[0], &text, deadline, bounded);
    close(pipe[0]);
    int status = 0;
    // A child that closed its output may still be running: it too gets the rest of the time.
    answered = answered && ReapChild(pid, &status, deadline, bounded);
    if (!answered) {
        kill(-pid, SIGKILL);
        // Reaped if it ends at once; one stuck in the kernel is left behind rather than waited for.
        ReapChild(pid, &status, std::chrono::steady_clock::now() + kReapAfterKill, true);
        return -1;
    }
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace vesk_platform
