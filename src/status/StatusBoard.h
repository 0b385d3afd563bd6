// The service's side of the status snapshot: the facts its parts report as they happen, and
// the writer that the controller's threads call on every pass.
//
// Lock rule: the board's lock is taken last, like the logger's (platform/thread_control.h);
// reporting a fact copies a few values under it and never does I/O, so any thread may report,
// the capture thread included (never per packet). The writer takes the board's lock only to
// copy the facts; it writes and logs outside it.
#pragma once

#include <cstdint>
#include <string>

#include "status/StatusSnapshot.h"

class CVeskLogger;

namespace vesk_status {

// A new run of the service: the board starts afresh.
void ServiceStarting();
// The latest device selection found a default output device (or not).
void OutputDeviceFound(bool found);
// The output device the capture selected, and the stream format it settled on.
void CaptureDevice(const char* name, const char* id);
void CaptureFormat(int32_t rate, int32_t channels, const char* sampleFormat);
void CaptureRunning(bool running);
void CameraOpened(const CameraIdentity& camera);
void CameraClosed();
// A far-end request went to the camera (or failed to).
void RequestSent(bool farEndTalking, bool succeeded);

// Writes `folder`/status.json (nothing for an empty folder) when a fact or the verdict changed,
// or the last write is the snapshot's write period old (base/timings.h); tells the service
// manager the summary line when it changed. `packets` is the process's count of captured
// packets, for their rate. A failed write is logged through `logger` (the 1st and every 60th)
// and otherwise ignored.
void WriteIfDue(const char* folder, int64_t packets, CVeskLogger* logger);
// The run's last snapshot: the service stopped.
void WriteStopped(const char* folder, CVeskLogger* logger);

}  // namespace vesk_status
