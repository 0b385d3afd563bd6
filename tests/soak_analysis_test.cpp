// The soak's judge on synthetic runs: a room that does everything right, then one fault at a
// time, each just inside and just outside what the judge allows.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "test_util.h"
#include "tools/soak/soak_analysis.h"

namespace {

using Invariants = std::set<std::string>;

// Audio the detector finds: a 250 ms burst at each whole second from 1 to 99, except one 2.5 s
// stretch at 60 s; silence after 100 s. The player plays program time at the soak's own clock.
struct Scenario {
    double onLag = 0.14;       // the flag comes on this long after the audio starts
    double offLag = 0.58;      // and goes off this long after it ends
    int lateOnsets = 0;        // bursts from 10 s on whose flag comes 0.1 s later
    double longOnLag = 0.14;   // the onset lag in the 2.5 s stretch
    double firstResend = 5.0;  // in the silence: the first resend's gap (then every 5 s)
    std::function<int(double)> descriptorsAdded = [](double) { return 0; };
    long residentStepKiB = 0;  // added to resident memory at 90 s
    bool sanitized = false;
    std::function<void(std::vector<std::string>*)> editLog = [](std::vector<std::string>*) {};
    long logBytesTogether = 1000;
    double stopSeconds = 0.2;
    std::string stopStatus = "exit status 0";
    soak::Window farEndAway = {0, 0};  // the far end plays on another sink than the default
    soak::Window event = {0, 0};       // a disturbing event, recovered at its end
    // The server plays only part of the far end's channels (end -1: to the soak's end).
    std::vector<soak::Window> farEndPartial;
    std::set<int> unflagged;  // bursts (by second) that never turn the flag on
    int shortBurst = 0;       // a burst of 0.15 s instead of 0.25
    bool burstAtEnd = false;  // one more, unflagged, as the soak ends
    // The player notes nothing for 0.6 s from here, its position stalls a note 1.2 s later, and
    // the burst after it turns the flag on 0.5 s late.
    double playerFrozenAt = 0;
};

struct Interval {
    double start;
    double end;
};

std::vector<Interval> Audio(int shortBurst, bool burstAtEnd) {
    std::vector<Interval> audio;
    for (int second = 1; second < 100; ++second) {
        if (second == 60) {
            audio.push_back({60, 62.5});
        } else if (second < 60 || second > 62) {
            audio.push_back(
                {static_cast<double>(second), second + (second == shortBurst ? 0.15 : 0.25)});
        }
    }
    if (burstAtEnd) {
        audio.push_back({119.45, 119.7});
    }
    return audio;
}

std::string LogTime(time_t wall) {
    struct tm local = {};
    localtime_r(&wall, &local);
    char text[40];
    strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
    return text;
}

soak::Analysis Judge(const Scenario& scenario, const std::string& logFolder) {
    const std::vector<Interval> audio = Audio(scenario.shortBurst, scenario.burstAtEnd);
    soak::Observations seen;
    seen.seconds = 120;
    seen.startRecovered = 5;
    seen.sanitized = scenario.sanitized;
    const double frozen = scenario.playerFrozenAt;
    for (int i = 0; i <= 1200; ++i) {
        const double t = i * 0.1;
        if (frozen > 0 && t > frozen + 0.05 && t < frozen + 0.55) {
            continue;
        }
        const bool stalled = frozen > 0 && std::abs(t - (frozen + 1.2)) < 0.05;
        // The player takes a new stream at 30.55 s, as on a new default.
        seen.heard.push_back({t, t < 30.55 ? 1 : 2, (stalled ? i - 1 : i) * 100.0, 48000, 2});
        if (i == 305) {
            seen.heard.push_back({30.55, 0, -1, 0, 0});
        }
    }

    seen.reports.push_back({0.5, false});
    int late = 0;
    for (const Interval& interval : audio) {
        if (scenario.unflagged.count(static_cast<int>(interval.start)) != 0 ||
            interval.start > 119) {
            continue;
        }
        const bool longStretch = interval.end - interval.start > 1;
        const bool lateOnset = interval.start >= 10 && !longStretch && late++ < scenario.lateOnsets;
        const bool afterFreeze =
            frozen > 0 && interval.start > frozen && interval.start < frozen + 1;
        const double lag = longStretch
                               ? scenario.longOnLag
                               : scenario.onLag + (lateOnset ? 0.1 : 0) + (afterFreeze ? 0.5 : 0);
        seen.reports.push_back({interval.start + lag, true});
        seen.reports.push_back({interval.end + scenario.offLag, false});
    }
    for (double t = seen.reports.back().time + scenario.firstResend; t < 120; t += 5) {
        seen.reports.push_back({t, false});
    }

    for (double t = 0; t < 120; t += 0.2) {
        const bool away = t >= scenario.farEndAway.start && t < scenario.farEndAway.end;
        seen.truth.push_back(
            {t, true, true, "vesk_48k", "vesk_48k", away ? "vesk_44k" : "vesk_48k"});
    }
    seen.farEndPartial = scenario.farEndPartial;
    if (scenario.event.end > 0) {
        soak::EventRecord record;
        record.event.kind = "suspend";
        record.event.start = scenario.event.start;
        record.end = record.recovered = scenario.event.end;
        seen.events.push_back(record);
    }
    for (int number = 1; number <= 4; ++number) {
        soak::EventRecord record;
        record.event.number = number;
        record.event.kind = "log-flood";
        record.event.start = 60 + 10 * number;
        record.event.disturbs = false;
        record.end = record.event.start;
        record.recovered = record.end + 1;
        seen.events.push_back(record);
    }
    for (double t = 0; t < 120; t += 0.5) {
        seen.process.push_back({t, 20 + scenario.descriptorsAdded(t), 8,
                                10000 + (t >= 90 ? scenario.residentStepKiB : 0)});
    }

    // Ten numbered lines, one each 10 s; the disk full from 50 s to 55 s.
    struct tm start = {};
    start.tm_year = 2026 - 1900;
    start.tm_mon = 11;
    start.tm_mday = 8;
    start.tm_hour = 8;
    start.tm_isdst = -1;
    const time_t zero = mktime(&start);
    seen.wallAtZero = static_cast<double>(zero);
    seen.diskFull = {{50, 55}};
    std::vector<std::string> lines;
    for (int number = 1; number <= 10; ++number) {
        seen.logLinesSent.emplace_back(number, 10.0 * number);
        lines.push_back(LogTime(zero + 10 * number) + " | soak_main.cpp | 1 | 7 | soak line " +
                        std::to_string(number) + " 1 segment call heard");
    }
    scenario.editLog(&lines);
    std::ofstream log(logFolder + "/VeskZIZLog.txt");
    for (const std::string& line : lines) {
        log << line << "\n";
    }
    log.close();
    seen.logFolder = logFolder;
    seen.log.maxBytesTogether = scenario.logBytesTogether;
    seen.stopSeconds = scenario.stopSeconds;
    seen.stopStatus = scenario.stopStatus;

    // Each burst is a clip of its own, at -26 dB, ending in 0.2 s of quiet.
    const auto within = [&audio](int32_t ms, double tail) {
        for (size_t i = 0; i < audio.size(); ++i) {
            if (ms >= audio[i].start * 1000 && ms < (audio[i].end + tail) * 1000) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    const auto clipAt = [&within](int32_t ms) { return within(ms, 0.2); };
    const auto heard = [&within](int32_t ms) { return within(ms, 0) >= 0; };
    std::vector<soak::PlacedClip> clips;
    for (const Interval& interval : audio) {
        clips.push_back({"clip" + std::to_string(static_cast<int>(interval.start)), -26,
                         static_cast<int32_t>(interval.start * 1000)});
    }
    return soak::Analyze(
        seen, {[&heard](int, int, int32_t ms, bool) { return heard(ms); }, heard, clipAt, clips});
}

Invariants Failed(const soak::Analysis& analysis) {
    Invariants failed;
    for (const soak::Failure& failure : analysis.failures) {
        failed.insert(failure.invariant);
    }
    return failed;
}

TEST(SoakJudge, EachFaultJustOutsideItsAllowanceFailsAndJustInsidePasses) {
    test_util::TempDir folder;
    const soak::Analysis right = Judge({}, folder.path());
    ASSERT_TRUE(Failed(right).empty());
    ASSERT_EQ(right.agreement.agreeing, right.agreement.polls);
    // Every burst from 6 s on (calm from 5.6 s), the long stretch one; a new stream is no freeze.
    EXPECT_EQ(right.agreement.clipsJudged, 92);
    EXPECT_TRUE(right.playerFrozen.empty());
    // A late onset costs one poll: the most that still leave 95 % of the polls agreeing.
    const long polls = right.agreement.polls;
    int allowed = 0;
    while (static_cast<double>(polls - allowed - 1) >= 0.95 * static_cast<double>(polls)) {
        ++allowed;
    }

    // Faults in the log: a line torn, doubled or lost after the line at `index`.
    using LogEdit = std::function<void(std::vector<std::string>*)>;
    const auto tornAfter = [](int index) -> LogEdit {
        return [index](auto* lines) { lines->insert(lines->begin() + index + 1, "Tue Dec  8 0"); };
    };
    const auto doubled = [](int index) -> LogEdit {
        return [index](auto* lines) { lines->insert(lines->begin() + index, (*lines)[index]); };
    };
    const auto lost = [](int index) -> LogEdit {
        return [index](auto* lines) { lines->erase(lines->begin() + index); };
    };
    // A descriptor more after each event from the `first`-th on (events at 70, 80, 90, 100 s).
    const auto leakedFrom = [](int first) {
        return [first](double t) {
            int leaked = 0;
            for (int event = first; event <= 4; ++event) {
                leaked += t >= 60 + 10 * event;
            }
            return leaked;
        };
    };

    const auto farEndAway = [](soak::Window away) {
        return [away](Scenario* s) { s->farEndAway = away; };
    };
    const auto missedAfterSuspend = [](Scenario* s) {
        s->event = {73, 74.5};
        s->unflagged = {76, 77, 79};
    };

    struct Row {
        const char* name;
        std::function<void(Scenario*)> fault;
        Invariants expected;
    };
    const std::vector<Row> rows = {
        {"flag on a poll late", [](Scenario* s) { s->onLag = 0.24; }, {"agreement"}},
        {"flag off a poll late", [](Scenario* s) { s->offLag = 0.7; }, {"agreement"}},
        {"flag off early, within the hold", [](Scenario* s) { s->offLag = 0.37; }, {}},
        {"flag off a poll earlier", [](Scenario* s) { s->offLag = 0.27; }, {"agreement"}},
        {"late onsets, 95 % agree", [&](Scenario* s) { s->lateOnsets = allowed; }, {}},
        {"late onsets, under 95 %",
         [&](Scenario* s) { s->lateOnsets = allowed + 1; },
         {"agreement"}},
        {"deaf for 1.9 s", [](Scenario* s) { s->longOnLag = 2.15; }, {}},
        {"deaf for 2.1 s", [](Scenario* s) { s->longOnLag = 2.35; }, {"capture hears"}},
        {"deaf for 2.1 s, an event in its middle",
         [](Scenario* s) {
             s->longOnLag = 2.35;
             s->event = {61.0, 61.1};
         },
         {}},
        // The replay's shape: after a suspend, quiet clips that the detector is sure of only in
        // short runs of polls never turn the flag on; the agreement's share and the deaf
        // stretches let them through.
        {"quiet clips after a suspend, never flagged", missedAfterSuspend, {"clip flagged"}},
        // The same, where the server was seen to play only part of the far end's channels after
        // the resume: the sink did not play what the detector offline hears.
        {"quiet clips after a suspend, the server playing part of the far end",
         [&](Scenario* s) {
             missedAfterSuspend(s);
             s->farEndPartial = {{74.5, -1}};
         },
         {}},
        {"a clip sure in 2 polls, never flagged",
         [](Scenario* s) {
             s->shortBurst = 76;
             s->unflagged = {76};
         },
         {}},
        {"a clip as the soak ends, the flag not shown yet",
         [](Scenario* s) { s->burstAtEnd = true; },
         {}},
        {"clips never flagged within an event's recovery",
         [](Scenario* s) {
             s->event = {75.5, 77.5};
             s->unflagged = {76, 77};
         },
         {}},
        {"the soak's player froze, the flag late after it",
         [](Scenario* s) { s->playerFrozenAt = 40.3; },
         {}},
        {"the far end elsewhere for 0.8 s", farEndAway({30, 30.8}), {}},
        {"the far end elsewhere for 1.2 s, the flag off",
         [](Scenario* s) {
             s->farEndAway = {59.9, 61.1};
             s->longOnLag = 2.35;
         },
         {"far end on the default"}},
        {"resend after 5.5 s", [](Scenario* s) { s->firstResend = 5.5; }, {}},
        {"resend after 5.7 s", [](Scenario* s) { s->firstResend = 5.7; }, {"resend"}},
        {"a descriptor leaked per event",
         [&](Scenario* s) { s->descriptorsAdded = leakedFrom(1); },
         {"no growth"}},
        {"a descriptor leaked in 3 of 4 events",
         [&](Scenario* s) { s->descriptorsAdded = leakedFrom(2); },
         {}},
        {"8 MiB more memory", [](Scenario* s) { s->residentStepKiB = 8192; }, {"no growth"}},
        {"less than 8 MiB more", [](Scenario* s) { s->residentStepKiB = 8000; }, {}},
        {"sanitizer's quarantine",
         [](Scenario* s) {
             s->residentStepKiB = 9000;
             s->sanitized = true;
         },
         {}},
        {"a torn line", [&](Scenario* s) { s->editLog = tornAfter(1); }, {"log whole"}},
        {"a torn line while the disk was full",
         [&](Scenario* s) { s->editLog = tornAfter(4); },
         {}},
        {"a line twice", [&](Scenario* s) { s->editLog = doubled(2); }, {"log whole"}},
        {"a line lost", [&](Scenario* s) { s->editLog = lost(6); }, {"log whole"}},
        {"a line lost while the disk was full", [&](Scenario* s) { s->editLog = lost(4); }, {}},
        {"log at its limit", [](Scenario* s) { s->logBytesTogether = 20000000; }, {"log size"}},
        {"log a byte under", [](Scenario* s) { s->logBytesTogether = 19999999; }, {}},
        {"stop in 0.5 s", [](Scenario* s) { s->stopSeconds = 0.5; }, {}},
        {"stop in 0.51 s", [](Scenario* s) { s->stopSeconds = 0.51; }, {"stop"}},
        {"stop with an error", [](Scenario* s) { s->stopStatus = "exit status 1"; }, {"stop"}},
    };
    for (const Row& row : rows) {
        Scenario scenario;
        row.fault(&scenario);
        EXPECT_EQ(Failed(Judge(scenario, folder.path())), row.expected) << row.name;
    }

    // The missed clips are named with their level and time, each once.
    Scenario suspended;
    missedAfterSuspend(&suspended);
    const soak::Analysis missed = Judge(suspended, folder.path());
    std::vector<std::string> named;
    for (const soak::Failure& failure : missed.failures) {
        named.push_back(failure.detail.substr(0, failure.detail.find(':')));
    }
    EXPECT_EQ(named, (std::vector<std::string>{"clip76 at -26 dB, heard from 76.0 s to 76.5 s",
                                               "clip77 at -26 dB, heard from 77.0 s to 77.5 s",
                                               "clip79 at -26 dB, heard from 79.0 s to 79.5 s"}));
    EXPECT_EQ(missed.agreement.clipsMissed, 3);
    EXPECT_EQ(right.agreement.clipsMissed, 0);
    // Those of 73 to 75 s are the suspend's.
    EXPECT_EQ(missed.agreement.clipsJudged, right.agreement.clipsJudged - 3);

    // Where the player froze, the late flag is the harness's: one stretch from the freeze to
    // the stall that corrected its position, and no onset or release near it.
    Scenario froze;
    froze.playerFrozenAt = 40.3;
    const soak::Analysis harness = Judge(froze, folder.path());
    ASSERT_EQ(harness.playerFrozen.size(), 1u);
    EXPECT_NEAR(harness.playerFrozen[0].start, 40.3, 0.01);
    EXPECT_NEAR(harness.playerFrozen[0].end, 41.6, 0.01);
    EXPECT_LT(soak::Worst(harness.agreement.onsets), 0.15);
    // The bursts of 40, 41 and 42 s.
    EXPECT_EQ(harness.agreement.onsets.size(), right.agreement.onsets.size() - 3);
    EXPECT_EQ(harness.agreement.releases.size(), right.agreement.releases.size() - 3);
}

// A restart's new stream counts from the first sample that saw it, wherever between two
// samples it fell: recovery no longer hangs on a sample catching the stream away.
TEST(SoakJudge, ARestartCountsFromItsStreamsFirstSample) {
    // The event's last action at 0 s; samples every 0.2 s to 6 s: the stream `before` until
    // `lastBefore`, none until `firstAfter`, then `after`.
    const auto restarted = [](const char* verb, int64_t before, double lastBefore,
                              double firstAfter, int64_t after) {
        std::vector<soak::TruthSample> truth;
        for (int i = 0; i <= 30; ++i) {
            const double t = i * 0.2;
            const int64_t stream = t <= lastBefore + 0.01   ? before
                                   : t >= firstAfter - 0.01 ? after
                                                            : -1;
            truth.push_back({t, true, stream >= 0, "vesk_48k", "", "", stream});
        }
        soak::EventRecord record;
        record.event.actions = {{0, verb, "vesk_44k"}};
        record.end = 0;
        return soak::RestartedFor(record, truth);
    };
    // After a new default, the restart 5 s later:
    EXPECT_TRUE(restarted("switch", 5, 3.4, 4.6, 6));   // a new index after a caught gap
    EXPECT_TRUE(restarted("switch", 5, 4.4, 4.6, 6));   // the gap fell between two samples
    EXPECT_TRUE(restarted("switch", 5, 3.4, 4.6, 5));   // the same index again
    EXPECT_FALSE(restarted("switch", 5, 4.2, 4.4, 6));  // too soon: for an earlier change
    EXPECT_FALSE(restarted("switch", 0, 6.0, 9.0, 0));  // none (the server's first stream)
    EXPECT_FALSE(restarted("switch", 5, 3.4, 9.0, 6));  // no stream now
    // After the server's return any stream made since counts.
    EXPECT_TRUE(restarted("start-server", 5, 0.2, 0.4, 6));
    EXPECT_TRUE(restarted("start-server", 5, 0.2, 0.4, 0));  // a new server's first stream
    EXPECT_FALSE(restarted("switch", 5, 0.2, 0.4, 6));
    EXPECT_FALSE(restarted("add", 5, 0.2, 0.4, 6));  // a sink added back is a new default too
}

}  // namespace
