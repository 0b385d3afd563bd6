// Keeps every log file the service writes in a run: each older file (VeskZIZLog2.txt) is
// linked into an archive folder as soon as a rotation makes it, before the next rotation can
// delete it, so that the whole log of the run can be read afterwards. Watches the two files'
// sizes meanwhile. Then reads it all back: every line whole, every numbered line there once.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/soak/soak_observations.h"

namespace soak {

class LogKeeper {
  public:
    // `archive` must be on the log's file system (the older files are linked, not copied).
    LogKeeper(std::string folder, std::string archive);
    ~LogKeeper() { Stop(); }
    void Start();
    void Stop();
    LogStats Stats() const;

  private:
    void Watch();
    void Look();

    std::string m_folder;
    std::string m_archive;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    LogStats m_stats;
    ino_t m_lastOlder = 0;
};

struct LogFindings {
    long lines = 0;
    long tornLines = 0;        // not a log line, outside the full disk's windows
    long tornWhileFull = 0;    // not a log line, written while the disk was full
    long numberedMissing = 0;  // numbered lines sent while the disk had room, not found
    long numberedMissingWhileFull = 0;
    long numberedDuplicated = 0;
    long numberedOutOfOrder = 0;
    long chainBreaks = 0;  // an older file that does not end with the old-name line, or a
                           // file after it that does not start with NEW FILE CREATED
    std::vector<std::string> examples;  // a few of the faults, for the report
};

// Reads the archived older files in order and then the current log.
LogFindings CheckLog(const Observations& seen);

}  // namespace soak
