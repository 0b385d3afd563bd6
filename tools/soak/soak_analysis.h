// The invariants checked on what the soak saw: the camera's far-end flag against the detector's
// offline decisions on the audio as it was heard (calm stretches only), the resend, the
// recovery of each event, no growth of descriptors, threads and memory, the log whole across
// its rotations, and the stop.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/timings.h"
#include "signal/SignalDetector.h"
#include "tools/soak/soak_log.h"
#include "tools/soak/soak_observations.h"
#include "tools/soak/soak_program.h"

namespace soak {

// The allowance of the comparison, from the service's timings: the flag may come on up to a
// poll and 50 ms after the audio that the detector finds (capture packets, the ring's two
// blocks, the notifier's poll) and go off up to the detector's hangover and the notifier's
// hold after it, with 100 ms to spare.
constexpr double kOnsetAllowance = vesk_timings::Seconds(vesk_timings::kNotifierPollMs + 50);
constexpr double kReleaseAllowance =
    vesk_timings::Seconds(kHangoverMs + vesk_timings::kFarTalkHoldMs + 100);
constexpr double kHoldSeconds = vesk_timings::Seconds(vesk_timings::kFarTalkHoldMs);
constexpr double kRequiredAgreement = 0.95;
// A steady flag is resent every resend period, later by the polls' own time on a busy machine.
constexpr double kLongestResend = vesk_timings::Seconds(vesk_timings::kResendPeriodMs + 600);
constexpr double kLongestStop = 0.5;
// Every far-end clip in which the detector is sure of audio in this many polls of its first
// seconds must turn the flag on.
constexpr int kClipSurePolls = 3;
constexpr double kClipJudgedSeconds = 3.0;
// The truth's sampling period, and how long the far end may lag behind a new default.
constexpr double kTruthPeriod = 0.2;
// How long after a resume the server's links to the sink are looked at.
constexpr double kLinksSettleSeconds = 1.5;
// The restart that follows a new default comes the restart's delay after the last change (less
// half a second for the server's report and the passes); a stream made sooner after it was for
// an earlier change.
constexpr double kRestartEarliest = vesk_timings::Seconds(vesk_timings::kRestartDelayMs) - 0.5;
constexpr double kFarEndSettle = 1.0;
constexpr long kLogLimitBytes = 20000000;

struct Poll {
    double time;
    bool expected;  // the detector found audio in the last 400 ms (the flag should be on)
    bool mayBeOn;   // ... in the last 600 ms
    bool mustBeOn;  // ... between 400 and 150 ms ago
    bool camera;
    bool agrees;
};

struct Agreement {
    long polls = 0;
    long agreeing = 0;
    long speechAgreeing = 0;       // against the speech labels instead, for information
    std::vector<double> onsets;    // from the audio the detector finds to the flag on
    std::vector<double> releases;  // from the last of it to the flag off
    long clipsJudged = 0;          // clips the detector is sure of (see kClipSurePolls)
    long clipsMissed = 0;          // ... that never turned the flag on
    double longestResend = 0;
    long longResends = 0;
};

struct Trend {
    double slopePerHour = 0;
    double first = 0;  // median of the first samples after the warm-up
    double last = 0;   // median of the last ones
    bool leak = false;
};

struct KindStats {
    int count = 0;
    std::vector<double> recoveries;  // seconds from its last action to the room working
    int unrecovered = 0;
};

struct Analysis {
    std::vector<Window> calm;
    // Where the soak's own player froze (a busy machine): the harness's, not the service's; left
    // out of the onset and release figures.
    std::vector<Window> playerFrozen;
    // Where the server played only part of the far end's channels: the server's; not calm.
    std::vector<Window> farEndPartial;
    std::vector<Poll> polls;
    Agreement agreement;
    Trend descriptors;
    Trend threads;
    Trend resident;  // KiB
    double warmUpEnd = 0;
    double leakThreshold = 0;
    std::map<std::string, KindStats> kinds;
    LogFindings log;
    long snapshotChecks = 0;
    long snapshotDisagreements = 0;
    std::vector<Failure> failures;  // the run's and the analysis's
};

Analysis Analyze(const Observations& seen, const Hearing& hearing);

// When the service's current stream was first seen: the first of the latest run of samples that
// saw that same stream (its index, with no sample without it between), -1 when the latest saw
// none.
double CurrentStreamSince(const std::vector<TruthSample>& truth);
// Whether capture was restarted for the event's last change: the service's current stream was
// first seen after its last action, and after a new default no sooner than the restart that
// follows it. It counts from the first sample that saw it, wherever between two samples the
// restart fell.
bool RestartedFor(const EventRecord& record, const std::vector<TruthSample>& truth);

double Median(std::vector<double> values);
double Worst(const std::vector<double>& values);

}  // namespace soak
