// The seams through which tests (and the tools that run the service by hand) replace what the
// service would otherwise take from the system. Production code never calls the setters; with
// none set, every seam passes through to the system.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/ServiceEvent.h"
#include "platform/coreaudio.h"
#include "platform/platform.h"
#include "platform/service.h"

namespace vesk_platform {

// Replaces the clock's pace: every Sleep and every finite WaitForSingleObject time-out is
// divided by `divisor` (1 in production). Counts of loop passes stay exact; only wall time
// shrinks, so that the 10 s boot wait, 5 s thread waits and 10 s retries run fast.
void SetTimeDivisor(unsigned divisor);
unsigned TimeDivisor();

// Lock-step thread waits (tests): while on, a bounded wait for a thread to raise its running
// flag or to end runs out only while the test holds that thread (a stand-in parks it in a
// ThreadHold) or once it has ended, never because the machine was slow to schedule it; a
// thread that neither ends nor is held is waited for on, up to a minute of real time (a hang).
// The service's stopwatch then counts the calling thread's own sleeps and timed-out waits, at
// their nominal lengths, instead of the clock.
void SetLockstepThreadWaits(bool on);
bool LockstepThreadWaits();

// Marks the calling thread, for the object's life, as parked by a test stand-in until
// `released` returns true (asked from the waiting thread, without the stand-in's locks).
class ThreadHold {
  public:
    explicit ThreadHold(std::function<bool()> released);
    ~ThreadHold();
    ThreadHold(const ThreadHold&) = delete;
    ThreadHold& operator=(const ThreadHold&) = delete;

  private:
    uint64_t m_thread;
};
// Whether the thread with this system id is parked in a ThreadHold and not yet released.
bool ThreadIsHeld(uint64_t thread);

// How long something took in the service's own milliseconds: the steady clock times the
// divisor, or with lock-step thread waits the calling thread's nominal waits (see above).
class ServiceStopwatch {
  public:
    ServiceStopwatch();
    uint64_t ElapsedMs() const;

  private:
    std::chrono::steady_clock::time_point m_began;
    uint64_t m_waitedAtStart;
};
// Called by the platform's Sleep and by a finite wait that timed out: the calling thread has
// waited `milliseconds` (nominal) more.
void NoteWaited(DWORD milliseconds);

// Replaces Sleep: while set, Sleep calls `hook` instead of sleeping (tests hold a thread's
// loop between its passes with it).
using SleepHook = void (*)(DWORD milliseconds);
void SetSleepHook(SleepHook hook);
SleepHook CurrentSleepHook();

// Replaces the size at which the log is rotated (VeskZIZLog.txt to VeskZIZLog2.txt; 10,000,000
// bytes when unset or set to 0), so that a long run can rotate it many times.
void SetLogRotationSize(long bytes);
long LogRotationSize();

// Replaces the system's audio endpoints: while set, CoCreateInstance of
// CLSID_MMDeviceEnumerator calls `factory` (scripted endpoints).
using AudioEndpointsFactory = HRESULT (*)(IMMDeviceEnumerator** enumerator);
void SetAudioEndpoints(AudioEndpointsFactory factory);
AudioEndpointsFactory AudioEndpoints();

// Replaces the service control manager (null restores the system's): install and uninstall
// then talk to `manager`; on Windows the dispatcher and device notifications then run in this
// process too, as they always do on Linux. The tests deliver the controls with
// PostServiceControl (service.h).
void SetServiceManager(ServiceManager* manager);

// Replaces the event log: while set, reports go to `observer` instead.
using ServiceEventObserver = void (*)(WORD type, DWORD eventId, const char* text);
void SetServiceEventObserver(ServiceEventObserver observer);

}  // namespace vesk_platform

namespace vesk_status {

// Counts the status snapshots written (put in place in the data folder) since the process
// began, so that tests can check the writer's pace.
uint64_t SnapshotWrites();

}  // namespace vesk_status

// Seams of the environment, read by the platform layer:
// - VESK_DATA_ROOT names the common application data folder (default: the system's).
// - VESK_SYSTEMD_UNIT_DIR names the folder for systemd units (Linux; default
//   /etc/systemd/system), and lets a systemctl on the PATH stand in for a running systemd.
