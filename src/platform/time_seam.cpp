// The clock's pace, the sleep hook, the lock-step thread waits and the log's rotation size
// (seams.h), the same on both systems.
#include <atomic>
#include <map>
#include <mutex>

#include "platform/seams.h"
#include "platform/thread_control.h"

namespace vesk_platform {
namespace {

std::atomic<unsigned> g_timeDivisor{1};
std::atomic<SleepHook> g_sleepHook{nullptr};
std::atomic<long> g_logRotationSize{0};  // 0: the log's own
std::atomic<bool> g_lockstepThreadWaits{false};

// The parked threads and what releases each; taken alone (a release is asked without it).
std::mutex g_holdsMutex;
std::map<uint64_t, std::function<bool()>> g_holds;

thread_local uint64_t t_waitedMs = 0;  // this thread's sleeps and timed-out waits, nominal

}  // namespace

void SetTimeDivisor(unsigned divisor) {
    g_timeDivisor.store(divisor == 0 ? 1 : divisor);
}

unsigned TimeDivisor() {
    return g_timeDivisor.load();
}

void SetSleepHook(SleepHook hook) {
    g_sleepHook.store(hook);
}

SleepHook CurrentSleepHook() {
    return g_sleepHook.load();
}

void SetLogRotationSize(long bytes) {
    g_logRotationSize.store(bytes < 0 ? 0 : bytes);
}

long LogRotationSize() {
    return g_logRotationSize.load();
}

void SetLockstepThreadWaits(bool on) {
    g_lockstepThreadWaits.store(on);
}

bool LockstepThreadWaits() {
    return g_lockstepThreadWaits.load();
}

ThreadHold::ThreadHold(std::function<bool()> released) : m_thread(CallingThreadId()) {
    std::lock_guard<std::mutex> lock(g_holdsMutex);
    g_holds[m_thread] = std::move(released);
}

ThreadHold::~ThreadHold() {
    std::lock_guard<std::mutex> lock(g_holdsMutex);
    g_holds.erase(m_thread);
}

bool ThreadIsHeld(uint64_t thread) {
    std::function<bool()> released;
    {
        std::lock_guard<std::mutex> lock(g_holdsMutex);
        const auto hold = g_holds.find(thread);
        if (hold == g_holds.end()) {
            return false;
        }
        released = hold->second;
    }
    return !released();
}

ServiceStopwatch::ServiceStopwatch()
    : m_began(std::chrono::steady_clock::now()), m_waitedAtStart(t_waitedMs) {}

uint64_t ServiceStopwatch::ElapsedMs() const {
    if (LockstepThreadWaits()) {
        return t_waitedMs - m_waitedAtStart;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - m_began);
    return static_cast<uint64_t>(elapsed.count()) * TimeDivisor();
}

void NoteWaited(DWORD milliseconds) {
    t_waitedMs += milliseconds;
}

}  // namespace vesk_platform
