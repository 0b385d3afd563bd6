// The invariants checked on what the soak saw: the camera's far-end flag against the detector's
// offline decisions on the audio as it was heard (calm stretches only), the resend, the
// recovery of each event, no growth of descriptors, threads and memory, the log whole across
// its rotations, and the stop.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "service/timings.h"
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
    vesk_timings::Seconds(vesk_timings::kHangoverMs + vesk_timings::kFarTalkHoldMs + 100);
constexpr double kHoldSeconds = vesk_timings::Seconds(vesk_timings::kFarTalkHoldMs);
constexpr double kRequiredAgreement = 0.95;
// A steady flag is resent every resend period, later by the polls' own time on a busy machine.
constexpr double kLongestResend = vesk_timings::Seconds(vesk_timings::kResendPeriodMs + 600);
constexpr double kLongestStop = 0.5;
// The truth's sampling period, and how long the far end may lag behind a new default.
constexpr double kTruthPeriod = 0.2;
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

double Median(std::vector<double> values);
double Worst(const std::vector<double>& values);

}  // namespace soak
