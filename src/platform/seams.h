// The seams through which tests (and the tools that run the service by hand) replace what the
// service would otherwise take from the system. Production code never calls the setters; with
// none set, every seam passes through to the system.
#pragma once

#include <cstdint>

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
