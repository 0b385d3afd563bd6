// Helpers shared by the tests.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <cstdint>
#include <string>
#include <vector>

namespace test_util {

// A fresh folder under the system's temporary folder, removed with its contents at the end.
// Its name holds dots on purpose: paths with dots must not confuse the code under test.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

bool FileExists(const std::string& path);
std::string ReadFile(const std::string& path);
// A text file as the C library reads it: line ends are "\n" on every system.
std::string ReadText(const std::string& path);
std::vector<std::string> ListDir(const std::string& path);
// How often `what` occurs in `text` (overlapping occurrences count).
size_t Count(const std::string& text, const std::string& what);
// The first of `pieces` that `text` lacks when they are looked for in order, each after the
// previous one; empty when all are there.
std::string FirstMissingInOrder(const std::string& text, const std::vector<std::string>& pieces);
// Sets an environment variable of this process (an empty value removes it).
void SetEnv(const char* name, const std::string& value);
// The largest value `value` takes over the next `ms` milliseconds, sampled every 2 ms.
int32_t LargestOver(const std::atomic<int32_t>& value, int ms);
// Whether `predicate` holds within `limit`, asked every millisecond.
bool WaitFor(const std::function<bool()>& predicate, std::chrono::milliseconds limit);
#ifndef _WIN32
// Waits up to `limitMs` for the child `pid` to end: its exit code, or -1000 when it did not end
// in time (it is then killed) or ended by a signal.
int ExitCodeWithin(int pid, int limitMs);
#endif
// Splits after every '\n'; a last piece without newline is kept as it is.
std::vector<std::string> SplitLines(const std::string& text);
#ifndef _WIN32
// The names of this process's threads that run at a real-time priority, sorted.
std::vector<std::string> RealTimeThreads();
// Makes this (forked) process an ordinary user's, without the right to real-time scheduling
// (root becomes nobody); false when that cannot be had.
bool DropRealTimeRights();
// Replaces this (forked) process with `program` and `args`; a test built for another processor
// runs it through the emulator the build names (VESK_TEST_EMULATOR). Exits with 2 on failure.
[[noreturn]] void ExecProgram(const std::string& program, std::vector<std::string> args);
#endif

}  // namespace test_util
