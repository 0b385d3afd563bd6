// The processes the soak starts (the service, the sound server's daemons), each held by its
// process id and stopped by it. Their ids are also listed in a file, so that the script that
// runs the soak can stop what is left should the soak itself die; and each child is killed by
// the kernel when the soak's main thread ends (PR_SET_PDEATHSIG).
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace soak {

class Children {
  public:
    explicit Children(std::string pidFile) : m_pidFile(std::move(pidFile)) {}
    ~Children() { StopAll(); }
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // Starts `argv` with `environment` added to (or replacing in) the soak's own, its output
    // to `logFile`. Returns the pid, or -1. Call from the main thread only.
    pid_t Start(const std::vector<std::string>& argv,
                const std::map<std::string, std::string>& environment, const std::string& logFile);
    // Sends `signal` and waits for the end (SIGKILL after 10 s); false when it had ended
    // already (`status` then holds how). The process is forgotten either way.
    bool Stop(pid_t pid, int signal, int* status = nullptr);
    // Whether it ended by itself; then `status` says how, and it is forgotten.
    bool Ended(pid_t pid, int* status);
    // SIGTERM to every child, newest first, then SIGKILL to those still there after 2 s.
    void StopAll();

  private:
    void WritePidFile() const;

    std::string m_pidFile;
    std::vector<std::pair<pid_t, std::string>> m_children;  // start order
};

// "exit status 0", "signal 11 (Segmentation fault)"
std::string DescribeStatus(int status);

}  // namespace soak
