#include "tools/soak/soak_processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace soak {
namespace {

std::vector<std::string> Environment(const std::map<std::string, std::string>& added) {
    std::vector<std::string> variables;
    for (char** variable = environ; *variable != nullptr; ++variable) {
        const std::string text = *variable;
        if (added.count(text.substr(0, text.find('='))) == 0) {
            variables.push_back(text);
        }
    }
    for (const auto& [name, value] : added) {
        variables.push_back(name + "=" + value);
    }
    return variables;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Waits for `pid` to end until `deadline`, polling every `poll`, then kills it; its wait
// status goes to `status`.
void ReapBy(pid_t pid, std::chrono::steady_clock::time_point deadline,
            std::chrono::milliseconds poll, int* status) {
    while (waitpid(pid, status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, status, 0);
            return;
        }
        std::this_thread::sleep_for(poll);
    }
}

}  // namespace

pid_t Children::Start(const std::vector<std::string>& argv,
                      const std::map<std::string, std::string>& environment,
                      const std::string& logFile) {
    std::vector<std::string> args = argv;
    std::vector<std::string> variables = Environment(environment);
    std::vector<char*> argPointers = Pointers(args);
    std::vector<char*> envPointers = Pointers(variables);
    const int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        setpgid(0, 0);  // a terminal's Ctrl-C reaches the soak, which stops its children itself
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        if (log >= 0) {
            dup2(log, 1);
            dup2(log, 2);
        }
        execvpe(argPointers[0], argPointers.data(), envPointers.data());
        _exit(127);
    }
    if (log >= 0) {
        close(log);
    }
    if (pid < 0) {
        return -1;
    }
    m_children.emplace_back(pid, argv[0]);
    WritePidFile();
    return pid;
}

bool Children::Stop(pid_t pid, int signal, int* status) {
    const auto child = std::find_if(m_children.begin(), m_children.end(),
                                    [pid](const auto& entry) { return entry.first == pid; });
    if (child == m_children.end()) {
        return false;
    }
    int ended = 0;
    const bool running = waitpid(pid, &ended, WNOHANG) == 0;
    if (running) {
        kill(pid, signal);
        // A process that does not end within 10 s is killed: the soak itself never hangs. The
        // fine poll times the stop.
        ReapBy(pid, std::chrono::steady_clock::now() + std::chrono::seconds(10),
               std::chrono::milliseconds(1), &ended);
    }
    if (status != nullptr) {
        *status = ended;
    }
    m_children.erase(child);
    WritePidFile();
    return running;
}

bool Children::Ended(pid_t pid, int* status) {
    const auto child = std::find_if(m_children.begin(), m_children.end(),
                                    [pid](const auto& entry) { return entry.first == pid; });
    if (child == m_children.end() || waitpid(pid, status, WNOHANG) != pid) {
        return false;
    }
    m_children.erase(child);
    WritePidFile();
    return true;
}

void Children::StopAll() {
    for (auto child = m_children.rbegin(); child != m_children.rend(); ++child) {
        kill(child->first, SIGTERM);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (const auto& [pid, name] : m_children) {
        int status = 0;
        ReapBy(pid, deadline, std::chrono::milliseconds(20), &status);
    }
    m_children.clear();
    WritePidFile();
}

void Children::WritePidFile() const {
    std::ofstream file(m_pidFile, std::ios::trunc);
    for (const auto& [pid, name] : m_children) {
        file << pid << ' ' << name << '\n';
    }
}

std::string DescribeStatus(int status) {
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) +
               ")";
    }
    return "status " + std::to_string(status);
}

}  // namespace soak
