// Report framing against its reference table, the round trip through the report parser,
// and the camera's side of the far-end requests.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "RestOverHid/CameraProtocol.h"
#include "RestOverHid/RestOverHid.h"
#include "testing/camera_side.h"
#include "test_util.h"

namespace {

using vesk::BuildReports;
using vesk::Reports;

// (flags, length field) of every report.
std::vector<std::pair<int, int>> Shape(size_t headLength, size_t bodyLength) {
    const Reports reports =
        BuildReports(std::string(headLength, 'h'), std::string(bodyLength, 'b'), 0, 5, 2048);
    std::vector<std::pair<int, int>> shape;
    for (size_t i = 0; i < reports.count(); ++i) {
        EXPECT_EQ(reports[i][0], 5);
        shape.emplace_back(reports[i][3], reports[i][1] | (reports[i][2] << 8));
    }
    return shape;
}

using Shapes = std::vector<std::pair<int, int>>;

TEST(Framing, MatchesTheReferenceTable) {
    EXPECT_EQ(Shape(42, 23), (Shapes{{0x1F, 73}}));
    EXPECT_EQ(Shape(42, 24), (Shapes{{0x1F, 74}}));
    EXPECT_EQ(Shape(100, 5000), (Shapes{{0x1E, 2045}, {0x02, 2045}, {0x03, 1020}}));
    EXPECT_EQ(Shape(5000, 3), (Shapes{{0x18, 2045}, {0x08, 2045}, {0x0F, 923}}));
    EXPECT_EQ(Shape(2037, 10), (Shapes{{0x1C, 2045}, {0x03, 11}}));
    EXPECT_EQ(Shape(2037, 0), (Shapes{{0x1C, 2045}}));
    EXPECT_EQ(Shape(0, 10), (Shapes{{0x13, 18}}));
    EXPECT_EQ(Shape(0, 0), (Shapes{}));
    // A head that ends exactly with a later report: the body starts in the next one.
    EXPECT_EQ(Shape(2037 + 2044, 5), (Shapes{{0x18, 2045}, {0x0C, 2045}, {0x03, 6}}));
    // Head and body exactly fill the last report: it carries the end, and no empty report
    // follows.
    EXPECT_EQ(Shape(42, 2037 - 42), (Shapes{{0x1F, 2045}}));
    EXPECT_EQ(Shape(100, 2037 + 2044 - 100), (Shapes{{0x1E, 2045}, {0x03, 2045}}));
    EXPECT_EQ(Shape(100, 2037 + 2 * 2044 - 100),
              (Shapes{{0x1E, 2045}, {0x02, 2045}, {0x03, 2045}}));
    // Too large for the format: nothing is framed.
    EXPECT_EQ(Shape(65536, 1), (Shapes{}));
}

// The far-end requests as the notifier sends them, byte for byte: a change here changes what
// every camera in the field is told.
TEST(Framing, FarEndRequestIsOneReportWithTheseBytes) {
    for (const bool talking : {true, false}) {
        const vesk::RestRequest request = vesk::FarEndRequest(talking);
        const std::string body =
            talking ? R"({"far_end_talk":"true"})" : R"({"far_end_talk":"false"})";
        EXPECT_EQ(request.head, R"({"msg_id":"20","type":"PUT","url":"audio"})");
        EXPECT_EQ(request.body, body);
        const Reports reports = BuildReports(request.head, request.body, 0, vesk::kRequestReportId,
                                             vesk::kRequestReportLength);
        ASSERT_EQ(reports.count(), 1u);
        const uint8_t* report = reports[0];
        const uint8_t length = talking ? 0x49 : 0x4A;
        const uint8_t bodyLength = talking ? 0x17 : 0x18;
        const std::vector<uint8_t> start(report, report + 11);
        EXPECT_EQ(start, (std::vector<uint8_t>{0x05, length, 0x00, 0x1F, 0x2A, 0x00, bodyLength,
                                               0x00, 0x00, 0x00, 0x00}));
        const size_t end = 11 + 42 + body.size();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(report + 11), end - 11),
                  R"({"msg_id":"20","type":"PUT","url":"audio"})" + body);
        for (size_t i = end; i < 2048; ++i) {
            ASSERT_EQ(report[i], 0) << i;
        }
    }
}

// Random heads and bodies, framed and decoded again, give back the same bytes.
TEST(Framing, RoundTripsThroughTheReportParser) {
    std::mt19937 random(5);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> size(0, 9000);
    for (int trial = 0; trial < 200; ++trial) {
        std::string head(size(random) % 5000, '\0');
        std::string body(size(random), '\0');
        for (char& c : head) {
            c = static_cast<char>(byte(random));
        }
        for (char& c : body) {
            c = static_cast<char>(byte(random));
        }
        const uint8_t kind = trial % 2;
        const Reports reports = BuildReports(head, body, kind, 5, 2048);
        vesk::FramedMessage state;
        vesk::ProgressCallback progress;
        for (size_t i = 0; i < reports.count(); ++i) {
            ASSERT_TRUE(vesk::ParseResponseReport(reports[i], 2048, 5, state, progress));
        }
        if (head.empty() && body.empty()) {
            EXPECT_EQ(reports.count(), 0u);
            continue;
        }
        EXPECT_EQ(state.collected, head + body) << trial;
        EXPECT_EQ(state.headLength, head.size());
        EXPECT_EQ(state.bodyLength, body.size());
        EXPECT_EQ(state.bodyKind, kind);
        EXPECT_EQ(state.headDone, !head.empty());
        // An empty body is marked ended unless the head fills its last report exactly.
        const bool headFillsReports = head.size() >= 2037 && (head.size() - 2037) % 2044 == 0;
        EXPECT_EQ(state.bodyDone, !body.empty() || !headFillsReports);
    }
}

// The camera's side decodes the service's far-end requests from the reports that carry them,
// each the data of one SET_REPORT: as sent (one 2048-byte report), and framed the same way in
// 16-byte reports, of which only the last completes the request. It answers with the request's
// msg_id and body, once.
TEST(CameraSide, DecodesTheFarEndRequestsAndAnswersThem) {
    using vesk::FarEnd;
    const std::string head = R"({"msg_id":"20","type":"PUT","url":"audio"})";
    for (const bool talking : {true, false}) {
        const std::string body =
            talking ? R"({"far_end_talk":"true"})" : R"({"far_end_talk":"false"})";
        camera_side::Camera camera;
        // A request left unfinished gives way to the next one.
        ASSERT_FALSE(camera.TakeFeatureReport(BuildReports(head, body, 0, 5, 16)[0], 16));
        for (const uint32_t length : {2048u, 16u}) {
            const Reports reports = BuildReports(head, body, 0, 5, length);
            std::optional<camera_side::Request> request;
            for (size_t i = 0; i < reports.count(); ++i) {
                ASSERT_FALSE(request) << length << " " << i;
                request = camera.TakeFeatureReport(reports[i], length);
            }
            ASSERT_TRUE(request) << length;
            EXPECT_EQ(request->head, head);
            EXPECT_EQ(request->farEnd, talking ? FarEnd::kTrue : FarEnd::kFalse) << length;
            EXPECT_STREQ(camera_side::TraceWord(request->farEnd), talking ? "true" : "false");
        }
        const std::vector<uint8_t> answer = camera.NextFeatureReport();
        vesk::FramedMessage state;
        vesk::ProgressCallback progress;
        ASSERT_TRUE(vesk::ParseResponseReport(answer.data(), answer.size(), 5, state, progress));
        EXPECT_EQ(state.collected, R"({"msg_id":"20","status":"200"})" + body);
        std::vector<uint8_t> none(2048, 0);
        none[0] = 5;
        EXPECT_EQ(camera.NextFeatureReport(), none);
    }
    for (const char* body : {R"({"far_end_talk":true})", R"({"far_end_talk":"yes"})",
                             R"({"far_end":"true"})", R"(["far_end_talk","true"])", "true"}) {
        EXPECT_EQ(vesk::DecodeFarEnd(body), FarEnd::kOther) << body;
    }
    EXPECT_STREQ(camera_side::TraceWord(FarEnd::kOther), "other");
}

// The commands and the trace, as the test cameras and the soak read them: the words of both
// cameras (the simulated one's former fail-sends and heal-sends too), a verb with arguments that
// do not fit it refused, lines cut from a pipe's chunks; a trace line read back as written.
TEST(CameraSide, ReadsCommandsAndTraceLines) {
    using camera_side::Verb;
    camera_side::CommandReader reader;
    const std::string pipe =
        "unplug\nplug\nfail\r\nheal-sends\nslow 6.5\nstorm 7 16\nmark playing-a b\nlog 3 2 "
        "flood\nfail now\nslow 0\nstorm 7 0\nmark\nlog x\nplu";
    reader.Feed(pipe.data(), pipe.size());
    std::vector<Verb> verbs;
    std::vector<camera_side::Command> commands;
    while (const auto command = reader.Next()) {
        verbs.push_back(command->verb);
        commands.push_back(*command);
    }
    EXPECT_EQ(verbs,
              (std::vector<Verb>{Verb::kUnplug, Verb::kPlug, Verb::kFail, Verb::kHeal, Verb::kSlow,
                                 Verb::kStorm, Verb::kMark, Verb::kLog, Verb::kUnknown,
                                 Verb::kUnknown, Verb::kUnknown, Verb::kUnknown, Verb::kUnknown}));
    ASSERT_EQ(commands.size(), 13u);
    EXPECT_EQ(commands[2].line, "fail");
    EXPECT_EQ(commands[4].seconds, 6.5);
    EXPECT_EQ(std::make_pair(commands[5].seed, commands[5].cycles), std::make_pair(7u, 16u));
    EXPECT_EQ(commands[6].text, "playing-a b");
    EXPECT_EQ(std::make_tuple(commands[7].first, commands[7].count, commands[7].text),
              std::make_tuple(3L, 2L, std::string("flood")));
    reader.Feed("g\n", 2);
    EXPECT_EQ(reader.Next()->verb, Verb::kPlug);

    test_util::TempDir dir;
    const std::string path = dir / "trace.txt";
    const int64_t before = camera_side::MonotonicNs();
    {
        camera_side::Trace trace;
        ASSERT_TRUE(trace.Open(path));
        trace.Line("report true");
        trace.Line("done log 3 2 flood");
    }
    std::istringstream lines(test_util::ReadText(path));
    std::vector<camera_side::TraceLine> facts;
    for (std::string line; std::getline(lines, line);) {
        const auto fact = camera_side::ParseTraceLine(line);
        ASSERT_TRUE(fact) << line;
        facts.push_back(*fact);
    }
    ASSERT_EQ(facts.size(), 2u);
    EXPECT_GE(facts[0].ns, before);
    EXPECT_LE(facts[1].ns, camera_side::MonotonicNs());
    EXPECT_EQ(facts[0].what + "|" + facts[0].detail, "report|true");
    EXPECT_EQ(facts[1].what + "|" + facts[1].detail, "done|log 3 2 flood");
    EXPECT_FALSE(camera_side::ParseTraceLine("report true"));
}

}  // namespace
