// How the service starts and ends its threads: each thread raises a running flag itself; its
// starter polls for that flag (every 10 ms, at most 501 times, and no longer than the thread
// lives), and its owner, having set the thread's stop flag, waits a bounded time for it to end,
// printing the wait's result when it does not.
//
// Locks, in the order in which they may be taken (a lock is only taken while holding locks
// above it; the last one takes no other):
//   1. the controller's entry mutex (SpkLoopback_API.cpp): Start and Stop hold it while they
//      wait for threads, which never take it;
//   2. CSpkLoopback::m_cs: the capture thread, around one packet;
//      the sound-server connection's lock (pulse_connection.h): its event thread, and the
//      endpoint queries; never together with m_cs;
//      the device manager's mutex (RestOHidDevMgrImpl.h), then a transport's handle mutex
//      (RestOHidDevImpl.h): a departing camera's transport closes under the first;
//      the notifier's device mutex (RestOHid.h), the in-process dispatcher's mutex
//      (service_inprocess.cpp) and the pauses' mutex (SleepUnless, thread_control.cpp): taken
//      alone;
//      the status board's writer mutex (StatusBoard.cpp): a controller thread while it writes
//      the snapshot (under 1 at the stop); it takes the locks of 3 and, only if free, the
//      service status lock (service_linux.cpp), which the service's state reports hold alone;
//   3. the logger's lock (VeskLogger.h) and the status board's facts mutex (StatusBoard.cpp):
//      under any of the above, around one line or a few copies; they take no other.
// Flags and counts shared between threads are atomics, read and written without a lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/platform.h"

namespace vesk_platform {

// The system's id of a thread given by its handle (0 for none), and of the calling thread.
uint64_t ThreadIdOf(HANDLE thread);
uint64_t CallingThreadId();

// Whether a bounded wait for a thread may run out: always, except under the time seam's
// lock-step thread waits (tests, seams.h), where only while the test holds the thread, once it
// has ended, or after a minute of real time.
class ThreadWaitLimit {
  public:
    explicit ThreadWaitLimit(HANDLE thread);
    bool MayRunOut() const;

  private:
    HANDLE m_thread;
    bool m_lockstep;
    std::chrono::steady_clock::time_point m_began;
};

// Polls `running` every `pollMs`: the count starts at `polls` and the poll goes on while its
// value before decrement is above 0; a thread that has ended stops it at once. True when the
// flag was seen raised.
template <typename Flag>
bool AwaitThreadRunning(HANDLE thread, const Flag& running, int polls, DWORD pollMs) {
    const ThreadWaitLimit limit(thread);
    bool ended = false;
    do {
        ended = WaitForSingleObject(thread, pollMs) == WAIT_OBJECT_0;
    } while (!running && !ended && (!limit.MayRunOut() || polls-- > 0));
    return running != 0;
}

// A loop's pause between its passes: sleeps `milliseconds` through the time seam, but ends as
// soon as `stopped` holds, which whoever raises a stop flag announces with WakeStoppedSleeps.
// The pass keeps its period; a stop no longer waits out the rest of it. Under a test's sleep
// hook it sleeps through the hook, as Sleep does.
void SleepUnless(DWORD milliseconds, const std::function<bool()>& stopped);
void WakeStoppedSleeps();

// Waits up to `waitMs` for the thread to end. When it has, closes its handle, sets it to null
// and returns true; otherwise prints `failureFormat` with the wait's result and keeps the
// handle. With no thread, true.
bool AwaitThreadEnd(HANDLE& thread, DWORD waitMs, const char* failureFormat);

// The calling thread in the system's "Audio" scheduling task (platform.h) from construction to
// destruction: the threads whose late wake-up is a late far-end flag. A thread the system
// refuses runs as before; `Joined` says which.
class AudioTaskScope {
  public:
    AudioTaskScope() : m_task(AvSetMmThreadCharacteristicsW(L"Audio", &m_taskIndex)) {}
    ~AudioTaskScope() {
        if (m_task != nullptr) {
            AvRevertMmThreadCharacteristics(m_task);
        }
    }
    AudioTaskScope(const AudioTaskScope&) = delete;
    AudioTaskScope& operator=(const AudioTaskScope&) = delete;
    bool Joined() const { return m_task != nullptr; }

  private:
    DWORD m_taskIndex = 0;  // 0: a new task index; set by the join
    HANDLE m_task;
};

}  // namespace vesk_platform
