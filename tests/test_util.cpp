#include "test_util.h"

#ifndef _WIN32
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace test_util {

TempDir::TempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate = std::filesystem::temp_directory_path() /
                               ("vesk.test." + std::to_string(random() % 1000000000));
        if (std::filesystem::create_directory(candidate)) {
            m_path = candidate.string();
            return;
        }
    }
    throw std::runtime_error("no temporary folder");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string FirstMissingInOrder(const std::string& text, const std::vector<std::string>& pieces) {
    size_t at = 0;
    for (const std::string& piece : pieces) {
        at = text.find(piece, at);
        if (at == std::string::npos) {
            return piece;
        }
    }
    return {};
}

void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

int32_t LargestOver(const std::atomic<int32_t>& value, int ms) {
    int32_t largest = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        largest = std::max(largest, value.load());
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return largest;
}

bool FileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

#ifndef _WIN32
std::vector<std::string> RealTimeThreads() {
    std::vector<std::string> names;
    for (const std::string& task : ListDir("/proc/self/task")) {
        const int policy = sched_getscheduler(std::stoi(task)) & ~SCHED_RESET_ON_FORK;
        if (policy == SCHED_RR || policy == SCHED_FIFO) {
            const std::string name = ReadFile("/proc/self/task/" + task + "/comm");
            names.push_back(name.substr(0, name.find('\n')));
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool DropRealTimeRights() {
    if (geteuid() == 0) {
        const uid_t nobody = 65534;
        return setgroups(0, nullptr) == 0 && setgid(nobody) == 0 && setuid(nobody) == 0;
    }
    rlimit limit{};
    return getrlimit(RLIMIT_RTPRIO, &limit) == 0 && limit.rlim_cur == 0;
}

int ExitCodeWithin(int pid, int limitMs) {
    int status = 0;
    pid_t ended = 0;
    for (int waited = 0; waited < limitMs && ended == 0; waited += 10) {
        ended = waitpid(pid, &status, WNOHANG);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1000;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
}
#endif

std::vector<std::string> ListDir(const std::string& path) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = (end == std::string::npos) ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (predicate()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return predicate();
}

#ifndef _WIN32
void ExecProgram(const std::string& program, std::vector<std::string> args) {
    std::vector<std::string> words = {program};
#ifdef VESK_TEST_EMULATOR
    words.insert(words.begin(), VESK_TEST_EMULATOR);
#endif
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(2);
}
#endif

}  // namespace test_util
