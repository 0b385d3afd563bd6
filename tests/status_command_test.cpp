// The status command's logic: what it answers (exit code and first line) for each kind of
// snapshot, its arguments, and its outputs for programs.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>

#include "status/StatusCommand.h"
#include "status_fixture.h"
#include "test_util.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using namespace vesk_status;
using test_util::TempDir;

constexpr UnixTime kNow = 1796673000;  // 2026-12-07

Snapshot Healthy() {
    return status_fixture::HealthyRoom(kNow);
}

std::string Write(const TempDir& dir, const std::string& text) {
    const std::string path = dir / kFileName;
    FILE* file = fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    fwrite(text.data(), 1, text.size(), file);
    fclose(file);
    return path;
}

Check CheckOf(const std::string& text) {
    TempDir dir;
    return RunCheck(Write(dir, text), kNow);
}

// Each sample's family has its HELP and TYPE lines before it, and each series is there once.
void ExpectWellFormed(const std::string& metrics) {
    std::set<std::string> typed;
    std::set<std::string> series;
    for (const std::string& line : test_util::SplitLines(metrics)) {
        ASSERT_EQ(line.back(), '\n');
        if (line.rfind("# TYPE ", 0) == 0) {
            typed.insert(line.substr(7, line.find(' ', 7) - 7));
        } else if (line[0] != '#') {
            const std::string name = line.substr(0, line.find_first_of("{ "));
            EXPECT_EQ(name.rfind("vesk_audio_", 0), 0u) << line;
            EXPECT_TRUE(typed.count(name)) << line;
            EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
        }
    }
}

Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors;
    return root;
}

TEST(StatusCommand, ExitCodeAndFirstLineForEachKindOfSnapshot) {
    Snapshot warning = Healthy();
    warning.cameraOpen = false;
    warning.captureRunning = false;
    warning.started = kNow - 10;  // still in the start's grace
    Judge(warning, warning.written);
    Snapshot critical = warning;
    critical.started = kNow - 600;
    Judge(critical, critical.written);
    Snapshot edge = Healthy();
    edge.written = kNow - kStaleAfterSeconds;
    Snapshot stale = Healthy();
    stale.written = kNow - kStaleAfterSeconds - 1;
    Snapshot ahead = Healthy();
    ahead.written = kNow + 3600;
    Snapshot stopped = Healthy();
    stopped.stopped = true;
    stopped.written = kNow - 7200;  // long ago, and its verdict claims ok: still a stop
    const std::string healthy = ToJson(Healthy());
    std::string wrongVerdict = healthy;
    wrongVerdict.replace(wrongVerdict.find("\"verdict\":\"ok\""), 14, "\"verdict\":\"fine\"");

    const struct {
        std::string text;
        State state;
        Condition condition;
        std::string firstLine;
    } cases[] = {
        {healthy, State::kOk, Condition::kFresh,
         "ok: capturing \"Speakers\" 48000 Hz; camera Quorin Q30 (serial Q30-0001) open; "
         "far end silent since "},
        {ToJson(warning), State::kWarning, Condition::kFresh, "warning: no camera attached"},
        {ToJson(critical), State::kCritical, Condition::kFresh, "critical: no camera attached"},
        {ToJson(edge), State::kOk, Condition::kFresh, "ok: capturing"},
        {ToJson(stale), State::kCritical, Condition::kStale,
         "critical: service not running or hung: its snapshot was written 31 s ago"},
        {ToJson(ahead), State::kCritical, Condition::kStale,
         "critical: the snapshot is dated 60 min ahead of this computer's clock"},
        {ToJson(stopped), State::kCritical, Condition::kStopped, "critical: service stopped at "},
        {wrongVerdict, State::kUnknown, Condition::kMalformed,
         "member \"verdict\" is not \"ok\", \"warning\" or \"critical\""},
        {healthy.substr(0, healthy.size() / 2), State::kUnknown, Condition::kMalformed,
         "not valid JSON: "},
        {"", State::kUnknown, Condition::kMalformed,
         "not valid JSON: Line 1, Column 1: Syntax error: value, object or array expected."},
    };
    for (const auto& c : cases) {
        const Check check = CheckOf(c.text);
        SCOPED_TRACE(c.text);
        EXPECT_EQ(check.state, c.state);
        EXPECT_EQ(check.condition, c.condition);
        EXPECT_NE(check.headline.find(c.firstLine), std::string::npos) << check.headline;
        EXPECT_EQ(check.headline.rfind(StateName(c.state) + std::string(": "), 0), 0u);
        EXPECT_EQ(RenderSummary(check).substr(0, check.headline.size() + 1), check.headline + "\n");
        EXPECT_EQ(ExitCode(Mode::kSummary, check), static_cast<int>(c.state));
        EXPECT_EQ(ExitCode(Mode::kJson, check), static_cast<int>(c.state));
        EXPECT_EQ(ExitCode(Mode::kPrometheus, check), 0);  // the metrics carry the state
    }

    TempDir dir;
    const std::string path = SnapshotPath(dir.path());  // a folder: its snapshot
    EXPECT_EQ(path.substr(dir.path().size() + 1), kFileName);
    const Check missing = RunCheck(path, kNow);
    EXPECT_EQ(missing.state, State::kCritical);
    EXPECT_EQ(missing.headline, "critical: service not running or hung: no snapshot at " + path);
    EXPECT_EQ(RenderSummary(missing), missing.headline + "\n");
#ifndef _WIN32
    Write(dir, healthy);
    ASSERT_EQ(symlink((dir / kFileName).c_str(), (dir / "link.json").c_str()), 0);
    const Check link = RunCheck(dir / "link.json", kNow);
    EXPECT_EQ(link.state, State::kUnknown);
    EXPECT_EQ(link.headline, "unknown: cannot read " + (dir / "link.json") + ": it is a link");
    const Check folder = RunCheck(dir.path(), kNow);  // a folder, not given to SnapshotPath
    EXPECT_EQ(folder.state, State::kUnknown);
    // A folder named as the snapshot is the snapshot's place: given with --file, the same
    // answer as when the data root leads there.
    TempDir root;
    std::filesystem::create_directory(root / kFileName);
    EXPECT_EQ(SnapshotPath(root / kFileName), root / kFileName);
    EXPECT_EQ(RunCheck(SnapshotPath(root / kFileName), kNow).headline,
              "unknown: cannot read " + (root / kFileName) + ": not a regular file");
#endif
}

TEST(StatusCommand, SummaryKeepsOneFactPerLineWhateverTheNamesHold) {
    Snapshot s = Healthy();
    // Line breaks, C1 controls, bidirectional overrides and isolates of Unicode too (U+0085,
    // U+0090, U+009F, U+2028, U+202E, U+2066, U+2069).
    s.deviceName =
        "Speakers\n\x1b[2Jok: all good\xc2\x85\xc2\x90\xc2\x9f\xe2\x80\xa8\xe2\x80\xae"
        "\xe2\x81\xa6\xe2\x81\xa9";
    s.camera.serial = "1\r2";
    const Check check = CheckOf(ToJson(s));
    const std::string summary = RenderSummary(check);
    EXPECT_EQ(summary.find('\x1b'), std::string::npos);
    EXPECT_EQ(summary.find('\r'), std::string::npos);
    EXPECT_EQ(summary.find_first_of("\xc2\xe2"), std::string::npos);  // nor any of those
    EXPECT_EQ(check.headline.find('\n'), std::string::npos);
    EXPECT_EQ(test_util::FirstMissingInOrder(
                  summary,
                  {"ok: capturing \"Speakers??[2Jok: all good???????\" 48000 Hz",
                   "\nservice:      VeskAudioService 0.1.0, pid 4242, running since",
                   "\nsnapshot:     ", ", written 3 s ago\n", "sound server: connected since ",
                   "\ncapture:      running since ",
                   "48000 Hz, 2 channels, float32, 100.0 packets/s\n", "camera:       open since ",
                   "Vesk Quorin Q30, serial 1?2 (0x3e8c:0x6b4e release 0x0102)\n",
                   "requests:     120 sent, 2 failed; last good ", "far end:      silent since "}),
              "");
    EXPECT_EQ(test_util::Count(summary, "\n"), 8u);
    s.packetsPerSecond = 1e308;  // a rate no capture has, but a file may claim
    EXPECT_EQ(test_util::Count(RenderSummary(CheckOf(ToJson(s))), "\n"), 8u);
}

TEST(StatusCommand, ArgumentsAndTheirRefusals) {
    Options options;
    std::string error;
    ASSERT_TRUE(ParseArguments({}, &options, &error));
    EXPECT_EQ(options.mode, Mode::kSummary);
    EXPECT_EQ(options.path, "");
    ASSERT_TRUE(ParseArguments({"--file", "/x/status.json", "--prometheus"}, &options, &error));
    EXPECT_EQ(options.mode, Mode::kPrometheus);
    EXPECT_EQ(options.path, "/x/status.json");
    ASSERT_TRUE(ParseArguments({"--json", "--file=/y"}, &options, &error));
    EXPECT_EQ(options.mode, Mode::kJson);
    EXPECT_EQ(options.path, "/y");
    ASSERT_TRUE(ParseArguments({"--watch"}, &options, &error));
    EXPECT_EQ(options.mode, Mode::kWatch);
    ASSERT_TRUE(ParseArguments({"--json", "--help"}, &options, &error));
    EXPECT_EQ(options.mode, Mode::kHelp);

    const struct {
        std::vector<std::string> args;
        std::string error;
    } refused[] = {
        {{"--json", "--watch"}, "only one of --json, --prometheus and --watch may be given"},
        {{"--json", "--json"}, "only one of --json, --prometheus and --watch may be given"},
        {{"--file"}, "--file needs a path"},
        {{"--file="}, "--file needs a path"},
        {{"--file", "a", "--file", "b"}, "--file may be given once"},
        {{"status"}, "unknown argument: status"},
        {{"-x\x1b"}, "unknown argument: -x?"},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(ParseArguments(r.args, &options, &error));
        EXPECT_EQ(error, r.error);
    }
}

TEST(StatusCommand, PrometheusMetricsForAHealthyRoomAndForNone) {
    Snapshot s = Healthy();
    s.deviceName = "Spe\"ak\\ers\nX\xff";
    const std::string healthy = RenderPrometheus(CheckOf(ToJson(s)));
    ExpectWellFormed(healthy);
    EXPECT_EQ(
        test_util::FirstMissingInOrder(
            healthy,
            {"\nvesk_audio_up 1\n", "\nvesk_audio_status 0\n",
             "\nvesk_audio_state{state=\"ok\"} 1\n", "\nvesk_audio_state{state=\"critical\"} 0\n",
             "\nvesk_audio_snapshot{condition=\"fresh\"} 1\n",
             "\nvesk_audio_snapshot_age_seconds 3\n",
             "\nvesk_audio_info{version=\"0.1.0\",device=\"Spe\\\"ak\\\\ers\\nX\xef\xbf\xbd\","
             "camera=\"Quorin Q30\",serial=\"Q30-0001\"} 1\n",
             "\nvesk_audio_capture_running 1\n", "\nvesk_audio_capture_packets_per_second 100\n",
             "\nvesk_audio_camera_open 1\n",
             "\n# TYPE vesk_audio_camera_requests_sent_total counter\n"
             "vesk_audio_camera_requests_sent_total 120\n",
             "\n# TYPE vesk_audio_camera_requests_failed_total counter\n"
             "vesk_audio_camera_requests_failed_total 2\n",
             "\nvesk_audio_camera_last_send_failed 0\n", "\nvesk_audio_far_end_talking 0\n"}),
        "");
    EXPECT_EQ(healthy.find("vesk_audio_reason"), std::string::npos);
    s.cameraOpen = false;
    Judge(s, kNow);  // a verdict of one reason, as most critical rooms have
    ASSERT_EQ(s.reasons, std::vector<std::string>{"no camera attached"});
    const std::string unplugged = RenderPrometheus(CheckOf(ToJson(s)));
    EXPECT_NE(unplugged.find("\n# TYPE vesk_audio_reason gauge\n"
                             "vesk_audio_reason{reason=\"no camera attached\"} 1\n"),
              std::string::npos)
        << unplugged;
    s.lastSendFailed = true;
    Judge(s, kNow);
    const std::string failing = RenderPrometheus(CheckOf(ToJson(s)));
    ExpectWellFormed(failing);
    EXPECT_EQ(test_util::FirstMissingInOrder(
                  failing, {"\nvesk_audio_reason{reason=\"no camera attached\"} 1\n",
                            "\nvesk_audio_reason{reason=\"sends failing\"} 1\n",
                            "\nvesk_audio_camera_last_send_failed 1\n"}),
              "");
    s = Healthy();

    TempDir dir;
    const std::string missing = RenderPrometheus(RunCheck(dir / kFileName, kNow));
    ExpectWellFormed(missing);
    EXPECT_EQ(test_util::FirstMissingInOrder(missing,
                                             {"\nvesk_audio_up 0\n", "\nvesk_audio_status 2\n",
                                              "\nvesk_audio_state{state=\"critical\"} 1\n",
                                              "\nvesk_audio_snapshot{condition=\"fresh\"} 0\n",
                                              "\nvesk_audio_snapshot{condition=\"missing\"} 1\n"}),
              "");
    // Facts of no running service are not served as if they were current.
    EXPECT_EQ(missing.find("vesk_audio_snapshot_age_seconds "), std::string::npos);
    EXPECT_EQ(missing.find("vesk_audio_capture_running "), std::string::npos);

    s.written = kNow - 100;
    const std::string stale = RenderPrometheus(CheckOf(ToJson(s)));
    EXPECT_NE(stale.find("\nvesk_audio_up 0\n"), std::string::npos);
    EXPECT_NE(stale.find("\nvesk_audio_snapshot{condition=\"stale\"} 1\n"), std::string::npos);
    EXPECT_NE(stale.find("\nvesk_audio_snapshot_age_seconds 100\n"), std::string::npos);
    EXPECT_EQ(stale.find("vesk_audio_info"), std::string::npos);
}

TEST(StatusCommand, JsonIsTheSnapshotWithTheCheckAdded) {
    Snapshot s = Healthy();
    s.deviceName = "Lautsprecher \xc3\xa4\xff";
    const std::string text = RenderJson(CheckOf(ToJson(s)));
    for (const char c : text) {
        ASSERT_LT(static_cast<unsigned char>(c), 0x80);  // any console shows it
    }
    Json::Value root = ParseJson(text);
    EXPECT_EQ(root["check"]["state"].asString(), "ok");
    EXPECT_EQ(root["check"]["exit_code"].asInt(), 0);
    EXPECT_EQ(root["check"]["age_seconds"].asInt(), 3);
    EXPECT_FALSE(root["check"]["stale"].asBool());
    EXPECT_EQ(root["capture"]["device"]["name"].asString(), "Lautsprecher \xc3\xa4\xef\xbf\xbd");
    root.removeMember("check");
    Snapshot back;
    std::string error;
    Json::StreamWriterBuilder writer;
    ASSERT_TRUE(ParseSnapshot(Json::writeString(writer, root), &back, &error)) << error;
    EXPECT_EQ(back.requestsSent, 120u);
    EXPECT_EQ(back.written, kNow - 3);

    TempDir dir;
    root = ParseJson(RenderJson(RunCheck(dir / kFileName, kNow)));
    EXPECT_EQ(root.getMemberNames(), std::vector<std::string>{"check"});
    EXPECT_EQ(root["check"]["state"].asString(), "critical");
    EXPECT_EQ(root["check"]["exit_code"].asInt(), 2);
    EXPECT_EQ(root["check"]["condition"].asString(), "missing");
    EXPECT_FALSE(root["check"].isMember("age_seconds"));
}

TEST(StatusCommand, WatchSeesChangesOfTheRoomNotOfTheClock) {
    const Snapshot base = Healthy();
    const std::string key = WatchKey(CheckOf(ToJson(base)));
    Snapshot later = base;
    later.written += 10;
    later.requestsSent += 2;
    later.packetsPerSecond = 99.5;
    EXPECT_EQ(WatchKey(CheckOf(ToJson(later))), key);
    Snapshot talking = base;
    talking.farEndTalking = true;
    talking.farEndLastTrue = base.written;
    EXPECT_NE(WatchKey(CheckOf(ToJson(talking))), key);
    Snapshot noCamera = base;
    noCamera.cameraOpen = false;
    EXPECT_NE(WatchKey(CheckOf(ToJson(noCamera))), key);
    Snapshot stale = base;
    stale.written = kNow - 60;
    EXPECT_NE(WatchKey(CheckOf(ToJson(stale))), key);
    Snapshot staler = stale;  // a second older: the same stale room, no new line
    staler.written -= 1;
    EXPECT_EQ(WatchKey(CheckOf(ToJson(staler))), WatchKey(CheckOf(ToJson(stale))));
    const Check check = CheckOf(ToJson(talking));
    EXPECT_EQ(WatchLine(check).substr(19), " " + check.headline);

    // The loop: the flag resent every 5 s moves the headline's time, not the room; a stale
    // snapshot's age grows at each read. One line for each room seen.
    std::vector<Check> checks;
    for (int i = 0; i < 3; ++i) {
        Snapshot resent = base;
        resent.written += 5 * i;
        resent.farEndLastFalse += 5 * i;
        checks.push_back(Evaluate(kFileName, ReadResult::kOk, resent, "", kNow + 5 * i));
    }
    checks.push_back(check);
    for (int i = 0; i < 2; ++i) {
        checks.push_back(Evaluate(kFileName, ReadResult::kOk, stale, "", kNow + i));
    }
    ASSERT_NE(checks[1].headline, checks[0].headline);
    ASSERT_NE(checks[5].headline, checks[4].headline);
    size_t reads = 0;
    std::vector<std::string> lines;
    const auto read = [&] { return checks[reads++]; };
    const auto more = [&] { return reads < checks.size(); };
    const auto print = [&lines](const std::string& line) {
        lines.push_back(line);
        return true;
    };
    EXPECT_TRUE(RunWatch(read, print, more));
    EXPECT_EQ(lines,
              (std::vector<std::string>{WatchLine(checks[0]) + "\n", WatchLine(checks[3]) + "\n",
                                        WatchLine(checks[4]) + "\n"}));
    reads = 0;  // an output that fails ends the watch
    const auto failing = [](const std::string&) { return false; };
    EXPECT_FALSE(RunWatch(read, failing, more));
    EXPECT_EQ(reads, 1u);
}

TEST(StatusCommand, ValidUtf8ReplacesWhatIsNotUtf8) {
    EXPECT_EQ(ValidUtf8("plain \xc3\xa4 \xe2\x82\xac \xf0\x9f\x8e\xa4"),
              "plain \xc3\xa4 \xe2\x82\xac \xf0\x9f\x8e\xa4");
    const std::string bad = "\xef\xbf\xbd";
    EXPECT_EQ(ValidUtf8("\xc0\x80"), bad + bad);                      // overlong
    EXPECT_EQ(ValidUtf8("\xed\xa0\x80"), bad + bad + bad);            // a surrogate
    EXPECT_EQ(ValidUtf8("\xf4\x90\x80\x80"), bad + bad + bad + bad);  // past U+10FFFF
    EXPECT_EQ(ValidUtf8("a\xe2\x82"), "a" + bad + bad);               // cut short
}

}  // namespace
