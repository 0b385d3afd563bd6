// The service's timings in one place. Its parts take their waits from here, and what judges the
// service (the status verdict's limits, the soak's allowances and recovery times) is computed
// from them, so that a change here moves the judges with it. The manual pages and the alert
// rules (packaging/) state some of them in words: a change is theirs to follow.
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

// Capture's start waits for its thread this many polls (after a first wait) before it fails.
constexpr int kCaptureStartPolls = 500;
constexpr int kCaptureStartPollMs = 10;
// After a capture start that failed, the next comes no sooner than a start's whole poll and its
// pass would have allowed: without a sound server a start fails at once, and retrying every
// pass would fill the log and rewrite the device list ten times a second.
constexpr int kFailedStartHoldPasses =
    ((kCaptureStartPolls + 1) * kCaptureStartPollMs + kPassMs) / kPassMs;

// The notifier looks at the detector every poll, tells the camera at once of a change and
// again every resend period while the state stays.
constexpr int kNotifierPollMs = 100;
constexpr int kResendPolls = 50;
// A camera that could not be opened, or refused a request, is looked for again this much later.
constexpr int kReopenPolls = 100;
// The far end counts as talking for this many polls after the detector last found it.
constexpr int kFarTalkHoldPolls = 4;

// The detector decides on 10 ms blocks and holds a detection for a hangover of blocks.
constexpr int kDetectorBlockMs = 10;
constexpr int kHangoverBlocks = 10;

// The service writes its status snapshot at least this often.
constexpr int kSnapshotWritePeriodSeconds = 10;

constexpr int kBootWaitMs = kBootWaitPasses * kPassMs;
constexpr int kRestartDelayMs = kRestartPasses * kPassMs;
constexpr int kFailedStartHoldMs = kFailedStartHoldPasses * kPassMs;
constexpr int kResendPeriodMs = kResendPolls * kNotifierPollMs;
constexpr int kReopenWaitMs = kReopenPolls * kNotifierPollMs;
constexpr int kFarTalkHoldMs = kFarTalkHoldPolls * kNotifierPollMs;
constexpr int kHangoverMs = kHangoverBlocks * kDetectorBlockMs;

// The notifier's log lines name the reopen's wait in words.
static_assert(kReopenWaitMs == 10000, "the notifier logs \"retry in 10 seconds\"");

constexpr double Seconds(int milliseconds) {
    return milliseconds / 1000.0;
}

}  // namespace vesk_timings
