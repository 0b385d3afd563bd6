#include "tools/soak/soak_analysis.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace soak {
namespace {

constexpr double kGrid = vesk_timings::Seconds(kDetectorBlockMs);
constexpr double kPollPeriod = vesk_timings::Seconds(vesk_timings::kNotifierPollMs);
// After a room came back, the flag may still show the hold of what came before.
constexpr double kCalmMargin = kReleaseAllowance;

// What the service could hear, on a 10 ms grid of the soak's clock: detecting blocks of the
// program as it was played, where a person speaks, and the program's moment (-1: none heard).
struct Heard {
    std::vector<int> mayDetectSum;     // prefix sums: detects for some phase of the blocks
    std::vector<int> surelyDetectSum;  // for every phase
    std::vector<int> speechSum;
    std::vector<int32_t> programMs;

    static int Cell(double time) { return static_cast<int>(std::floor(time / kGrid)); }
    static bool Any(const std::vector<int>& sum, double from, double to) {
        const int a = std::clamp(Cell(from), 0, static_cast<int>(sum.size()) - 1);
        const int b = std::clamp(Cell(to), 0, static_cast<int>(sum.size()) - 1);
        return b > a && sum[b] - sum[a] > 0;
    }
    bool MayDetect(double from, double to) const { return Any(mayDetectSum, from, to); }
    bool SurelyDetects(double from, double to) const { return Any(surelyDetectSum, from, to); }
    bool Speaks(double from, double to) const { return Any(speechSum, from, to); }
    bool SureIn(size_t cell) const { return surelyDetectSum[cell + 1] > surelyDetectSum[cell]; }
};

Heard HearProgram(const Observations& seen, const Hearing& hearing) {
    const int cells = Heard::Cell(seen.seconds) + 2;
    std::vector<int> may(static_cast<size_t>(cells), 0);
    std::vector<int> surely(static_cast<size_t>(cells), 0);
    std::vector<int> speech(static_cast<size_t>(cells), 0);
    Heard heard;
    heard.programMs.assign(static_cast<size_t>(cells), -1);
    const std::vector<HeardPoint>& points = seen.heard;
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        const HeardPoint& a = points[i];
        const HeardPoint& b = points[i + 1];
        if (a.stream == 0 || b.stream != a.stream || b.time - a.time > 0.2 || b.time <= a.time) {
            continue;
        }
        const double pace = (b.programMs - a.programMs) / (b.time - a.time);
        for (int cell = Heard::Cell(a.time) + 1; cell <= Heard::Cell(b.time) && cell < cells;
             ++cell) {
            const double ms = a.programMs + (cell * kGrid - a.time) * pace;
            may[static_cast<size_t>(cell)] =
                hearing.detects(a.rate, a.channels, static_cast<int32_t>(ms), false);
            surely[static_cast<size_t>(cell)] =
                hearing.detects(a.rate, a.channels, static_cast<int32_t>(ms), true);
            speech[static_cast<size_t>(cell)] = hearing.speaks(static_cast<int32_t>(ms));
            heard.programMs[static_cast<size_t>(cell)] = static_cast<int32_t>(ms);
        }
    }
    heard.mayDetectSum.resize(may.size() + 1, 0);
    heard.surelyDetectSum.resize(may.size() + 1, 0);
    heard.speechSum.resize(speech.size() + 1, 0);
    for (size_t i = 0; i < may.size(); ++i) {
        heard.mayDetectSum[i + 1] = heard.mayDetectSum[i] + may[i];
        heard.surelyDetectSum[i + 1] = heard.surelyDetectSum[i] + surely[i];
        heard.speechSum[i + 1] = heard.speechSum[i] + speech[i];
    }
    return heard;
}

// Where the soak's own player froze: no note of its position for several of its periods, or a
// position that ran ahead of or fell behind the clock (a position guessed across a freeze,
// corrected by the server's next timing report). Close ones are one stretch: the correction
// can come that much later.
std::vector<Window> PlayerFrozen(const std::vector<HeardPoint>& points) {
    constexpr double kLongestNoteGap = 0.15;
    constexpr double kLongestSlip = 0.05;
    constexpr double kCorrectionLag = 1.6;
    std::vector<Window> frozen;
    for (size_t i = 0; i + 1 < points.size(); ++i) {
        const HeardPoint& a = points[i];
        const HeardPoint& b = points[i + 1];
        if (a.stream == 0 || b.stream != a.stream) {
            continue;
        }
        const double elapsed = b.time - a.time;
        const double played = (b.programMs - a.programMs) / 1000;
        if (elapsed <= kLongestNoteGap && std::abs(played - elapsed) <= kLongestSlip) {
            continue;
        }
        if (!frozen.empty() && a.time - frozen.back().end < kCorrectionLag) {
            frozen.back().end = b.time;
        } else {
            frozen.push_back({a.time, b.time});
        }
    }
    return frozen;
}

// Whether [from, to] comes within the release allowance of a stretch where the player froze.
bool NearFrozen(const std::vector<Window>& frozen, double from, double to) {
    for (const Window& window : frozen) {
        if (window.start - kReleaseAllowance < to && window.end + kReleaseAllowance > from) {
            return true;
        }
    }
    return false;
}

// The stretches in which the server played only part of the far end's channels, the last one
// to the soak's end when the far end opened no new stream by then.
std::vector<Window> FarEndPartial(const Observations& seen) {
    std::vector<Window> partial = seen.farEndPartial;
    for (Window& window : partial) {
        window.end = window.end < 0 ? seen.seconds : window.end;
    }
    return partial;
}

// Stretches in which the far end played on another sink than the default: the default's
// monitor, which the service must capture, had nothing to hear.
std::vector<Window> FarEndAway(const Observations& seen) {
    std::vector<Window> away;
    double start = -1;
    for (const TruthSample& sample : seen.truth) {
        const bool off =
            sample.up && !sample.farEndSink.empty() && sample.farEndSink != sample.defaultSink;
        if (off && start < 0) {
            start = sample.time;
        } else if (!off && start >= 0) {
            away.push_back({start, sample.time});
            start = -1;
        }
    }
    if (start >= 0) {
        away.push_back({start, seen.seconds});
    }
    return away;
}

// Calm: after the room recovered from what disturbed it, until the next disturbance. A far end
// off the default output disturbs the comparison too.
std::vector<Window> CalmWindows(const Observations& seen) {
    std::vector<Window> disturbed = {
        {0, (seen.startRecovered >= 0 ? seen.startRecovered : kStartRecovery) + kCalmMargin}};
    for (const EventRecord& record : seen.events) {
        if (!record.event.disturbs) {
            continue;
        }
        const double back =
            record.recovered >= 0 ? record.recovered : record.end + record.event.recovery;
        disturbed.push_back({record.event.start, back + kCalmMargin});
    }
    for (const Window& partial : FarEndPartial(seen)) {
        disturbed.push_back({partial.start, partial.end + kCalmMargin});
    }
    for (const Window& away : FarEndAway(seen)) {
        disturbed.push_back({away.start - kTruthPeriod, away.end + kCalmMargin});
    }
    std::sort(disturbed.begin(), disturbed.end(),
              [](const Window& a, const Window& b) { return a.start < b.start; });
    disturbed.push_back({seen.seconds - 0.2, seen.seconds + 1});
    std::vector<Window> calm;
    double from = 0;
    for (const Window& window : disturbed) {
        if (window.start > from) {
            calm.push_back({from, window.start});
        }
        from = std::max(from, window.end);
    }
    return calm;
}

bool CameraAt(const std::vector<CameraReport>& reports, double time, bool* value) {
    auto after = std::upper_bound(reports.begin(), reports.end(), time,
                                  [](double t, const CameraReport& r) { return t < r.time; });
    if (after == reports.begin()) {
        return false;
    }
    *value = (after - 1)->farEnd;
    return true;
}

void ComparePolls(const Observations& seen, const Heard& heard, Analysis* analysis) {
    Agreement& agreement = analysis->agreement;
    for (const Window& window : analysis->calm) {
        for (double t = std::ceil(window.start / kPollPeriod) * kPollPeriod; t < window.end;
             t += kPollPeriod) {
            bool camera = false;
            if (!CameraAt(seen.reports, t, &camera)) {
                continue;
            }
            const bool mayBeOn = heard.MayDetect(t - kReleaseAllowance, t);
            const bool mustBeOn = heard.SurelyDetects(t - kHoldSeconds, t - kOnsetAllowance);
            const bool agrees = camera ? mayBeOn : !mustBeOn;
            const bool speech = heard.Speaks(t - kReleaseAllowance, t - kOnsetAllowance);
            ++agreement.polls;
            agreement.agreeing += agrees;
            agreement.speechAgreeing += camera == speech;
            analysis->polls.push_back(
                {t, heard.MayDetect(t - kHoldSeconds, t), mayBeOn, mustBeOn, camera, agrees});
        }
    }
}

// The first request of `value` in [from, to], as seconds after `from`; -1 when none.
double FirstReport(const std::vector<CameraReport>& reports, bool value, double from, double to) {
    auto report = std::lower_bound(reports.begin(), reports.end(), from,
                                   [](const CameraReport& r, double t) { return r.time < t; });
    for (; report != reports.end() && report->time <= to; ++report) {
        if (report->farEnd == value) {
            return report->time - from;
        }
    }
    return -1;
}

// The flag's delays: from each first block the detector finds after a quiet stretch to the
// flag on, and from the last block of a stretch to the flag off.
void MeasureDelays(const Observations& seen, const Heard& heard, Analysis* analysis) {
    for (const Window& window : analysis->calm) {
        double last = -1;
        bool on = heard.MayDetect(window.start, window.start + kReleaseAllowance);
        if (on) {
            last = window.start + kReleaseAllowance;
        }
        for (double t = window.start + kReleaseAllowance; t < window.end - 2; t += kGrid) {
            if (heard.MayDetect(t - kGrid, t)) {
                // An onset the capture cannot miss whatever its blocks' phase.
                if (!on && heard.SurelyDetects(t - kGrid, t + 0.1)) {
                    const double delay = FirstReport(seen.reports, true, t - kGrid, t + 2);
                    if (delay >= 0 && !NearFrozen(analysis->playerFrozen, t - kGrid, t + delay)) {
                        analysis->agreement.onsets.push_back(delay);
                    }
                }
                on = true;
                last = t;
            } else if (on && t - last >= kReleaseAllowance) {
                on = false;
                const double delay = FirstReport(seen.reports, false, last, last + 2);
                if (delay >= 0 && !NearFrozen(analysis->playerFrozen, last, last + delay)) {
                    analysis->agreement.releases.push_back(delay);
                }
            }
        }
    }
}

bool InCalm(const std::vector<Window>& calm, double time) {
    for (const Window& window : calm) {
        if (time >= window.start && time <= window.end) {
            return true;
        }
    }
    return false;
}

// Every far-end clip the detector is sure of, in calm polls of its first seconds, must turn the
// flag on at least once: quiet speech gives sure polls only in short runs, which neither the
// deaf stretches nor the agreement's share see go missing. The flag counts as this clip's where
// no audio before the clip can still hold it.
void CheckClips(const Observations& seen, const Hearing& hearing, const Heard& heard,
                Analysis* analysis) {
    struct Clip {
        double first = -1;  // its first and last cell heard, on the soak's clock
        double last = -1;
        int surePolls = 0;
        long lastSurePoll = -1;
    };
    constexpr long kCellsPerPoll = vesk_timings::kNotifierPollMs / kDetectorBlockMs;
    std::vector<Clip> clips(hearing.clips.size());
    for (size_t cell = 0; cell < heard.programMs.size(); ++cell) {
        const int32_t ms = heard.programMs[cell];
        const int index = ms < 0 || !hearing.clipAt ? -1 : hearing.clipAt(ms);
        if (index < 0 || static_cast<size_t>(index) >= clips.size()) {
            continue;
        }
        Clip& clip = clips[static_cast<size_t>(index)];
        const double time = static_cast<double>(cell) * kGrid;
        clip.first = clip.first < 0 ? time : clip.first;
        clip.last = time + kGrid;
        const long poll = static_cast<long>(cell) / kCellsPerPoll;
        // A poll counts where the flag has time to show it before the soak ends.
        if (heard.SureIn(cell) && poll != clip.lastSurePoll &&
            ms - hearing.clips[static_cast<size_t>(index)].startMs < kClipJudgedSeconds * 1000 &&
            time < seen.seconds - kReleaseAllowance && InCalm(analysis->calm, time)) {
            ++clip.surePolls;
            clip.lastSurePoll = poll;
        }
    }
    for (size_t index = 0; index < clips.size(); ++index) {
        const Clip& clip = clips[index];
        if (clip.surePolls < kClipSurePolls) {
            continue;
        }
        ++analysis->agreement.clipsJudged;
        bool flagged = false;
        for (double t = std::ceil(clip.first / kPollPeriod) * kPollPeriod;
             !flagged && t <= clip.last + kReleaseAllowance; t += kPollPeriod) {
            bool camera = false;
            flagged = CameraAt(seen.reports, t, &camera) && camera &&
                      !heard.MayDetect(t - kReleaseAllowance, clip.first);
        }
        if (flagged) {
            continue;
        }
        ++analysis->agreement.clipsMissed;
        const PlacedClip& placed = hearing.clips[index];
        char detail[200];
        std::snprintf(detail, sizeof detail,
                      "%s at %.0f dB, heard from %.1f s to %.1f s: the flag never came on, though "
                      "the detector offline is sure of audio in %d polls of its first %.0f s",
                      placed.name.c_str(), placed.levelDb, clip.first, clip.last, clip.surePolls,
                      kClipJudgedSeconds);
        analysis->failures.push_back(
            {clip.first, "clip flagged", detail, PrecedingEvent(seen, clip.first)});
    }
}

}  // namespace

int PrecedingEvent(const Observations& seen, double time) {
    int number = 0;
    for (const EventRecord& record : seen.events) {
        if (record.event.start <= time) {
            number = record.event.number;
        }
    }
    return number;
}

double CurrentStreamSince(const std::vector<TruthSample>& truth) {
    double since = -1;
    for (auto sample = truth.rbegin(); sample != truth.rend(); ++sample) {
        if (sample->stream < 0 || sample->stream != truth.back().stream) {
            break;
        }
        since = sample->time;
    }
    return since;
}

bool RestartedFor(const EventRecord& record, const std::vector<TruthSample>& truth) {
    const std::vector<Action>& actions = record.event.actions;
    const bool newDefault =
        !actions.empty() && (actions.back().verb == "switch" || actions.back().verb == "add");
    return CurrentStreamSince(truth) >= record.end + (newDefault ? kRestartEarliest : 0);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace soak

namespace soak {
namespace {

// Gaps between requests within calm stretches: a steady flag is sent again every 50 polls.
void CheckResends(const Observations& seen, Analysis* analysis) {
    for (const Window& window : analysis->calm) {
        double previous = -1;
        for (const CameraReport& report : seen.reports) {
            if (report.time < window.start || report.time > window.end) {
                continue;
            }
            if (previous >= 0) {
                const double gap = report.time - previous;
                analysis->agreement.longestResend =
                    std::max(analysis->agreement.longestResend, gap);
                if (gap > kLongestResend) {
                    ++analysis->agreement.longResends;
                    analysis->failures.push_back(
                        {report.time, "resend",
                         "no request for " + std::to_string(gap).substr(0, 4) + " s",
                         PrecedingEvent(seen, report.time)});
                }
            }
            previous = report.time;
        }
    }
}

// A capture that hears nothing: seconds of audio the detector finds whatever the blocks' phase,
// and the flag off throughout. Scattered disagreements are the agreement's; this names a deaf
// stretch with the event before it.
void CheckDeafStretches(const Observations& seen, Analysis* analysis) {
    constexpr double kDeafSeconds = 2.0;
    double start = -1;
    double last = -1;
    const auto close = [&] {
        if (start >= 0 && last - start >= kDeafSeconds) {
            analysis->failures.push_back({start, "capture hears",
                                          "the flag stayed off for " +
                                              std::to_string(last - start).substr(0, 4) +
                                              " s of audio the detector finds",
                                          PrecedingEvent(seen, start)});
        }
        start = -1;
    };
    for (const Poll& poll : analysis->polls) {
        const bool deaf = poll.mustBeOn && !poll.camera;
        if (deaf && start >= 0 && poll.time - last > 0.15) {
            close();  // a gap between calm stretches
        }
        if (deaf) {
            start = start < 0 ? poll.time : start;
            last = poll.time;
        } else if (!poll.mayBeOn || poll.camera) {
            close();  // the flag is on, or there is nothing to hear: not deaf
        }
    }
    close();
}

// The soak's player follows the default output itself (a new stream on each new default): one
// that stays on another sink is the soak's fault, which no verdict on the service may hide.
void CheckFarEnd(const Observations& seen, Analysis* analysis) {
    for (const Window& away : FarEndAway(seen)) {
        if (away.end - away.start < kFarEndSettle) {
            continue;
        }
        analysis->failures.push_back(
            {away.start, "far end on the default",
             "the soak's far end played on another sink than the default for " +
                 std::to_string(away.end - away.start).substr(0, 4) +
                 " s (the soak's own fault, not the service's)",
             PrecedingEvent(seen, away.start)});
    }
}

// A least-squares slope per hour and the medians of the first and last few samples.
Trend Fit(const std::vector<std::pair<double, double>>& samples, double threshold) {
    Trend trend;
    if (samples.size() < 4) {
        return trend;
    }
    double meanT = 0;
    double meanV = 0;
    for (const auto& [t, v] : samples) {
        meanT += t;
        meanV += v;
    }
    meanT /= static_cast<double>(samples.size());
    meanV /= static_cast<double>(samples.size());
    double covariance = 0;
    double variance = 0;
    for (const auto& [t, v] : samples) {
        covariance += (t - meanT) * (v - meanV);
        variance += (t - meanT) * (t - meanT);
    }
    trend.slopePerHour = variance > 0 ? covariance / variance * 3600 : 0;
    const size_t few = std::max<size_t>(3, samples.size() / 10);
    std::vector<double> first;
    std::vector<double> last;
    for (size_t i = 0; i < few; ++i) {
        first.push_back(samples[i].second);
        last.push_back(samples[samples.size() - 1 - i].second);
    }
    trend.first = Median(first);
    trend.last = Median(last);
    trend.leak = trend.last - trend.first >= threshold;
    return trend;
}

// Descriptors, threads and memory in calm stretches after the warm-up. A leak of one per event
// of the rarest kind seen at least 3 times shows as that many more.
void CheckGrowth(const Observations& seen, Analysis* analysis) {
    analysis->warmUpEnd = std::max(60.0, seen.seconds * 0.1) + std::max(seen.startRecovered, 0.0);
    std::map<std::string, int> counts;
    for (const EventRecord& record : seen.events) {
        counts[record.event.kind] += record.event.start >= analysis->warmUpEnd;
    }
    double rarest = 1e9;
    for (const auto& [kind, count] : counts) {
        if (count >= 3) {
            rarest = std::min(rarest, static_cast<double>(count));
        }
    }
    analysis->leakThreshold = std::max(2.0, rarest == 1e9 ? 2.0 : rarest);
    std::vector<std::pair<double, double>> descriptors, threads, resident;
    for (const ProcessSample& sample : seen.process) {
        if (sample.time < analysis->warmUpEnd || !InCalm(analysis->calm, sample.time) ||
            sample.descriptors < 0) {
            continue;
        }
        descriptors.emplace_back(sample.time, sample.descriptors);
        threads.emplace_back(sample.time, sample.threads);
        resident.emplace_back(sample.time, sample.residentKiB);
    }
    analysis->descriptors = Fit(descriptors, analysis->leakThreshold);
    analysis->threads = Fit(threads, analysis->leakThreshold);
    // Memory: no count per event to hold it to; 8 MiB more after the warm-up is a leak.
    analysis->resident = Fit(resident, 8 * 1024);
    analysis->resident.leak = analysis->resident.leak && !seen.sanitized;
    const double end = seen.seconds;
    for (const auto& [name, trend] :
         {std::pair<const char*, const Trend&>{"descriptors", analysis->descriptors},
          {"threads", analysis->threads},
          {"resident memory (KiB)", analysis->resident}}) {
        if (trend.leak) {
            analysis->failures.push_back(
                {end, "no growth",
                 std::string(name) + " from " + std::to_string(static_cast<long>(trend.first)) +
                     " to " + std::to_string(static_cast<long>(trend.last)),
                 PrecedingEvent(seen, end)});
        }
    }
}

void CountKinds(const Observations& seen, Analysis* analysis) {
    for (const EventRecord& record : seen.events) {
        KindStats& stats = analysis->kinds[record.event.kind];
        ++stats.count;
        const double back =
            record.event.kind == "disk-full" ? record.snapshotFresh : record.recovered;
        if (back >= 0) {
            stats.recoveries.push_back(back - record.end);
        } else if (record.event.disturbs || record.event.kind == "disk-full") {
            ++stats.unrecovered;
        }
    }
}

void CheckLogAndStop(const Observations& seen, Analysis* analysis) {
    analysis->log = CheckLog(seen);
    const LogFindings& log = analysis->log;
    const auto fail = [&](const std::string& invariant, const std::string& detail) {
        analysis->failures.push_back(
            {seen.seconds, invariant, detail, PrecedingEvent(seen, seen.seconds)});
    };
    if (seen.log.maxBytesTogether >= kLogLimitBytes) {
        fail("log size",
             std::to_string(seen.log.maxBytesTogether) + " bytes in the log and its older file");
    }
    if (log.tornLines + log.numberedMissing + log.numberedDuplicated + log.numberedOutOfOrder +
            log.chainBreaks >
        0) {
        fail("log whole", std::to_string(log.tornLines) + " torn, " +
                              std::to_string(log.numberedMissing) + " numbered lines missing, " +
                              std::to_string(log.numberedDuplicated) + " twice, " +
                              std::to_string(log.numberedOutOfOrder) + " out of order, " +
                              std::to_string(log.chainBreaks) + " breaks between files");
    }
    if (seen.stopSeconds < 0) {
        return;  // the service had ended before
    }
    if (seen.stopSeconds > kLongestStop || seen.stopStatus != "exit status 0") {
        fail("stop", "SIGTERM to exit: " + std::to_string(seen.stopSeconds).substr(0, 5) + " s, " +
                         seen.stopStatus);
    }
}

}  // namespace

Analysis Analyze(const Observations& seen, const Hearing& hearing) {
    Analysis analysis;
    analysis.failures = seen.failures;
    analysis.calm = CalmWindows(seen);
    analysis.playerFrozen = PlayerFrozen(seen.heard);
    analysis.farEndPartial = FarEndPartial(seen);
    const Heard heard = HearProgram(seen, hearing);
    ComparePolls(seen, heard, &analysis);
    MeasureDelays(seen, heard, &analysis);
    CheckClips(seen, hearing, heard, &analysis);
    const Agreement& agreement = analysis.agreement;
    if (agreement.polls > 0 &&
        static_cast<double>(agreement.agreeing) < kRequiredAgreement * agreement.polls) {
        analysis.failures.push_back({seen.seconds, "agreement",
                                     std::to_string(agreement.agreeing) + " of " +
                                         std::to_string(agreement.polls) +
                                         " calm polls agree with the detector offline",
                                     0});
    }
    CheckResends(seen, &analysis);
    CheckDeafStretches(seen, &analysis);
    CheckFarEnd(seen, &analysis);
    CheckGrowth(seen, &analysis);
    CountKinds(seen, &analysis);
    CheckLogAndStop(seen, &analysis);
    for (const SnapshotCheck& check : seen.snapshots) {
        ++analysis.snapshotChecks;
        analysis.snapshotDisagreements += !check.disagreements.empty();
    }
    std::sort(analysis.failures.begin(), analysis.failures.end(),
              [](const Failure& a, const Failure& b) { return a.time < b.time; });
    return analysis;
}

}  // namespace soak
