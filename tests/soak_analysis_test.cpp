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
};

struct Interval {
    double start;
    double end;
};

std::vector<Interval> Audio() {
    std::vector<Interval> audio;
    for (int second = 1; second < 100; ++second) {
        if (second == 60) {
            audio.push_back({60, 62.5});
        } else if (second < 60 || second > 62) {
            audio.push_back({static_cast<double>(second), second + 0.25});
        }
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
    const std::vector<Interval> audio = Audio();
    soak::Observations seen;
    seen.seconds = 120;
    seen.startRecovered = 5;
    seen.sanitized = scenario.sanitized;
    for (int i = 0; i <= 1200; ++i) {
        seen.heard.push_back({i * 0.1, 1, i * 100.0, 48000, 2});
    }

    seen.reports.push_back({0.5, false});
    int late = 0;
    for (const Interval& interval : audio) {
        const bool longStretch = interval.end - interval.start > 1;
        const bool lateOnset = interval.start >= 10 && !longStretch && late++ < scenario.lateOnsets;
        const double lag =
            longStretch ? scenario.longOnLag : scenario.onLag + (lateOnset ? 0.1 : 0);
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
    if (scenario.event.end > 0) {
        soak::EventRecord record;
        record.event.kind = "default-switch";
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

    const auto heard = [&audio](int32_t ms) {
        for (const Interval& interval : audio) {
            if (ms >= interval.start * 1000 && ms < interval.end * 1000) {
                return true;
            }
        }
        return false;
    };
    return soak::Analyze(seen, {[&heard](int, int, int32_t ms, bool) { return heard(ms); }, heard});
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
}

}  // namespace
