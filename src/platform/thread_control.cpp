#include "platform/thread_control.h"

#include <condition_variable>
#include <mutex>

#include "platform/seams.h"

namespace vesk_platform {

namespace {

// A thread that neither ends nor is held this long under lock-step waits hangs.
constexpr auto kLockstepHangLimit = std::chrono::minutes(1);

// Taken alone, around a sleeper's look at its flag and a waker's announcement.
std::mutex g_sleepersMutex;
std::condition_variable g_sleepers;

}  // namespace

ThreadWaitLimit::ThreadWaitLimit(HANDLE thread)
    : m_thread(thread),
      m_lockstep(LockstepThreadWaits()),
      m_began(std::chrono::steady_clock::now()) {}

bool ThreadWaitLimit::MayRunOut() const {
    return !m_lockstep || ThreadIsHeld(ThreadIdOf(m_thread)) ||
           WaitForSingleObject(m_thread, 0) == WAIT_OBJECT_0 ||
           std::chrono::steady_clock::now() - m_began > kLockstepHangLimit;
}

void SleepUnless(DWORD milliseconds, const std::function<bool()>& stopped) {
    if (stopped()) {
        return;
    }
    if (CurrentSleepHook() != nullptr) {
        Sleep(milliseconds);
        return;
    }
    NoteWaited(milliseconds);
    const auto scaled = std::chrono::microseconds(uint64_t{milliseconds} * 1000u / TimeDivisor());
    std::unique_lock<std::mutex> lock(g_sleepersMutex);
    g_sleepers.wait_for(lock, scaled, stopped);
}

void WakeStoppedSleeps() {
    // Taken and left first, so that a sleeper between its look at the flag and its wait is not
    // missed.
    g_sleepersMutex.lock();
    g_sleepersMutex.unlock();
    g_sleepers.notify_all();
}

bool AwaitThreadEnd(HANDLE& thread, DWORD waitMs, const char* failureFormat) {
    if (thread == nullptr) {
        return true;
    }
    const ThreadWaitLimit limit(thread);
    DWORD result = WaitForSingleObject(thread, waitMs);
    while (result == WAIT_TIMEOUT && !limit.MayRunOut()) {
        result = WaitForSingleObject(thread, waitMs);
    }
    if (result != WAIT_OBJECT_0) {
        printf(failureFormat, static_cast<unsigned>(result));
        return false;
    }
    CloseHandle(thread);
    thread = nullptr;
    return true;
}

}  // namespace vesk_platform
