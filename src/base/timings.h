// The service's timings in one place: every wait of its own threads (the controller's, the
// capture thread's, the notifier's and the service host's). Its parts take their waits from
// here, and what judges the service (the status verdict's limits, the soak's allowances and
// recovery times) is computed from them, so that a change here moves the judges with it. The
// detector's block and hangover are the detector's own (signal/SignalDetector.h); the REST-over-
// HID library's and the operating-system layer's waits are theirs. The manual pages, the alert
// rules and docs/ state some of these in words; scripts/check-structure holds them to the values
// here. The log lines that name a wait in words assert its value where they are written.
//
// The bottom of src/: every part may include it, and it includes nothing of theirs.
#pragma once

namespace vesk_timings {

// The controller's threads wake every pass: capture's start and restarts, the log's flush and
// the status snapshot.
constexpr int kPassMs = 100;
// Before the camera is first looked for, the host is given this long to finish booting.
constexpr int kBootWaitPasses = 100;
// Capture that finds no output device is stopped, and started again, this often.
constexpr int kDeviceRetryPasses = 100;
// A new default output is followed this many passes after its last report, with a pause
// between the old capture's stop and the new one's start.
constexpr int kRestartPasses = 50;
constexpr int kRestartPauseMs = 1000;

// Starting a thread waits for it to say it runs: this many polls (after a first wait) before
// the start fails.
constexpr int kThreadStartPolls = 500;
constexpr int kThreadStartPollMs = 10;
// The wait for a thread to end after its stop was asked.
constexpr int WAIT_OT_MS = 5000;
static_assert(WAIT_OT_MS == 5000, "a failed stop logs \"WaitForSingleObject(m_hThread, 5000)\"");
// After a capture start that failed, the next comes no sooner than a start's whole poll and its
// pass would have allowed: without a sound server a start fails at once, and retrying every
// pass would fill the log and rewrite the device list ten times a second.
constexpr int kFailedStartHoldPasses =
    ((kThreadStartPolls + 1) * kThreadStartPollMs + kPassMs) / kPassMs;
// The capture thread waits at most this long for a packet before it looks at its stop flag.
constexpr int kPacketWaitMs = 1000;

// The notifier looks at the detector every poll, tells the camera at once of a change and
// again every resend period while the state stays.
constexpr int kNotifierPollMs = 100;
constexpr int kResendPolls = 50;
// A camera that could not be opened, or refused a request, is looked for again this much later.
constexpr int kReopenPolls = 100;
// The far end counts as talking for this many polls after the detector last found it.
constexpr int kFarTalkHoldPolls = 4;

// The service writes its status snapshot at least this often.
constexpr int kSnapshotWritePeriodSeconds = 10;

// Where the service manager's stop ends the dispatcher before the control handler has stopped
// the controller, the program waits this long for that stop before it ends.
constexpr int kServiceStopWaitMs = 30000;

constexpr int kBootWaitMs = kBootWaitPasses * kPassMs;
constexpr int kRestartDelayMs = kRestartPasses * kPassMs;
constexpr int kFailedStartHoldMs = kFailedStartHoldPasses * kPassMs;
constexpr int kResendPeriodMs = kResendPolls * kNotifierPollMs;
constexpr int kReopenWaitMs = kReopenPolls * kNotifierPollMs;
constexpr int kFarTalkHoldMs = kFarTalkHoldPolls * kNotifierPollMs;

// The notifier's log lines name the reopen's wait in words.
static_assert(kReopenWaitMs == 10000, "the notifier logs \"retry in 10 seconds\"");

constexpr double Seconds(int milliseconds) {
    return milliseconds / 1000.0;
}

}  // namespace vesk_timings
