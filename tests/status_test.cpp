// The status snapshot: its verdict, its file (schema, torn and garbled files, links) and the
// writer's summary line for the service manager.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "status/StatusBoard.h"
#include "platform/seams.h"
#include "status/StatusSnapshot.h"
#include "status_fixture.h"
#include "test_util.h"

namespace {

using vesk_status::Judge;
using vesk_status::ReadResult;
using vesk_status::Snapshot;
using vesk_status::Verdict;

constexpr vesk_status::UnixTime kNow = 1796000000;  // some time in 2026

Snapshot Healthy() {
    return status_fixture::HealthyRoom(kNow);
}

// The board writes a change at once, but no sooner than a second after its last write; with
// the clock paced 1000 times faster, a few milliseconds between the calls are enough.
class PacedBoard {
  public:
    explicit PacedBoard(unsigned divisor = 1000) { vesk_platform::SetTimeDivisor(divisor); }
    ~PacedBoard() { vesk_platform::SetTimeDivisor(1); }
    PacedBoard(const PacedBoard&) = delete;
    PacedBoard& operator=(const PacedBoard&) = delete;
    static void Write(const char* folder, CVeskLogger* logger) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        vesk_status::WriteIfDue(folder, 0, logger);
    }
};

std::vector<std::string> Reasons(Snapshot s, vesk_status::UnixTime now, Verdict* verdict) {
    Judge(s, now);
    *verdict = s.verdict;
    return s.reasons;
}

TEST(StatusVerdict, NamesEachFaultWithItsWeight) {
    Verdict verdict;
    EXPECT_TRUE(Reasons(Healthy(), kNow, &verdict).empty());
    EXPECT_EQ(verdict, Verdict::kOk);

    Snapshot s = Healthy();
    s.cameraOpen = false;
    s.soundServerConnected = false;
    s.outputDeviceFound = false;
    EXPECT_EQ(
        Reasons(s, kNow, &verdict),
        (std::vector<std::string>{"no sound server", "no output device", "no camera attached"}));
    EXPECT_EQ(verdict, Verdict::kCritical);
    // While the service starts (boot wait, camera retry) the same is only a warning.
    Reasons(s, s.started + 29, &verdict);
    EXPECT_EQ(verdict, Verdict::kWarning);
    Reasons(s, s.started + 30, &verdict);  // the manual page's "first 30 seconds"
    EXPECT_EQ(verdict, Verdict::kCritical);

    s = Healthy();
    s.captureRunning = false;
    s.captureSince = kNow - 30;
    EXPECT_EQ(Reasons(s, kNow, &verdict), std::vector<std::string>{"capture not running"});
    EXPECT_EQ(verdict, Verdict::kWarning);
    EXPECT_EQ(Reasons(s, kNow + 1, &verdict),
              std::vector<std::string>{"camera open but capture not running for more than 30 s"});
    EXPECT_EQ(verdict, Verdict::kCritical);

    s = Healthy();
    s.lastFailedSend = s.lastGoodSend;
    s.lastSendFailed = true;
    EXPECT_EQ(Reasons(s, kNow, &verdict), std::vector<std::string>{"sends failing"});
    EXPECT_EQ(verdict, Verdict::kCritical);
    s.lastSendFailed = false;  // recovered (in the same second): a warning for five minutes
    Reasons(s, s.lastFailedSend + 299, &verdict);
    EXPECT_EQ(verdict, Verdict::kWarning);
    Reasons(s, s.lastFailedSend + 300, &verdict);
    EXPECT_EQ(verdict, Verdict::kOk);

    s = Healthy();
    s.stopped = true;
    EXPECT_EQ(Reasons(s, kNow, &verdict), std::vector<std::string>{"service stopped"});
    EXPECT_EQ(verdict, Verdict::kCritical);
}

TEST(StatusFile, RoundTripsAndRefusesWhatIsNotASnapshot) {
    Snapshot s = Healthy();
    Judge(s, s.written);
    const std::string text = vesk_status::ToJson(s);
    Snapshot back;
    std::string error;
    ASSERT_TRUE(vesk_status::ParseSnapshot(text, &back, &error)) << error;
    EXPECT_EQ(vesk_status::ToJson(back), text);
    EXPECT_EQ(back.camera.vendorId, 0x3E8C);
    EXPECT_EQ(vesk_status::SummaryLine(back).rfind(
                  "ok: capturing \"Speakers\" 48000 Hz; camera Quorin Q30 (serial "
                  "Q30-0001) open; far end silent since ",
                  0),
              0u)
        << vesk_status::SummaryLine(back);

    // Torn (a writer that stopped half-way), garbled, or of another schema: each says why.
    const auto refused = [](const std::string& bad, const std::string& why) {
        Snapshot ignored;
        std::string reason;
        EXPECT_FALSE(vesk_status::ParseSnapshot(bad, &ignored, &reason)) << bad;
        EXPECT_NE(reason.find(why), std::string::npos) << reason;
    };
    const auto replaced = [&text](const std::string& from, const std::string& to) {
        std::string changed = text;
        changed.replace(changed.find(from), from.size(), to);
        return changed;
    };
    refused(text.substr(0, text.size() / 2), "not valid JSON");
    refused("", "not valid JSON");
    refused("[1]", "not a JSON object");
    refused(std::string(100000, '['), "not valid JSON");
    refused(replaced("\"schema_version\":1", "\"schema_version\":2"), "schema_version 2");
    refused(replaced("\"running\":true", "\"running\":\"yes\""), "capture.running");
    refused(replaced("\"vendor_id\":\"0x3e8c\"", "\"vendor_id\":\"15948\""), "camera.vendor_id");
    refused(replaced("\"verdict\":\"ok\"", "\"verdict\":\"fine\""), "verdict");
    const std::string written = "\"written\":\"" + vesk_status::FormatUtc(s.written) + "\"";
    refused(replaced(written, "\"written\":\"2026-11-30T24:54:20Z\""), "written");
    refused(replaced(written, "\"written\":\"2026-02-30T00:54:20Z\""), "written");
    refused(replaced(written, "\"written\":\" 026-11-30T00:54:20Z\""), "written");
    refused(replaced(written, "\"written\":null"), "written");
    refused(replaced("\"far_end\":{", "\"far_end\":{\"talking\":true,"), "not valid JSON");
    // Nothing but the document: no text after a NUL byte, no byte-order mark before it.
    refused(text + std::string("\0garbage", 8), "not valid JSON");
    refused("\xef\xbb\xbf" + text, "not valid JSON");

    // Names that are not UTF-8 (a device's own bytes) still make a file JSON readers take.
    s.camera.serial = "Q30\xff\xc3(\xed\xa0\x80\xe2\x82\xac";
    ASSERT_TRUE(vesk_status::ParseSnapshot(vesk_status::ToJson(s), &back, &error)) << error;
    EXPECT_EQ(back.camera.serial, "Q30\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD\u20AC");
}

#ifndef _WIN32
TEST(StatusFile, IsNeverReadOrWrittenThroughALink) {
    test_util::TempDir dir;
    test_util::TempDir elsewhere;
    const std::string path = dir / "status.json";
    Snapshot ignored;
    std::string error;
    EXPECT_EQ(vesk_status::ReadSnapshotFile(path, &ignored, &error), ReadResult::kMissing);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);  // a reader must not block on it
    EXPECT_EQ(vesk_status::ReadSnapshotFile(path, &ignored, &error), ReadResult::kUnreadable);
    std::filesystem::remove(path);
    std::ofstream(path) << std::string(vesk_status::kMaxFileBytes + 1, ' ');
    EXPECT_EQ(vesk_status::ReadSnapshotFile(path, &ignored, &error), ReadResult::kMalformed);
    std::filesystem::remove(path);

    // A link planted at the snapshot is replaced, not written through. A write that fails (its
    // folder gone here) is said once in the log, and tried again until it succeeds, even with
    // nothing new to write.
    std::ofstream(elsewhere / "target") << "kept";
    ASSERT_EQ(symlink((elsewhere / "target").c_str(), path.c_str()), 0);
    EXPECT_EQ(vesk_status::ReadSnapshotFile(path, &ignored, &error), ReadResult::kUnreadable);
    EXPECT_NE(error.find("link"), std::string::npos) << error;
    const std::string gone = dir / "gone";
    const mode_t umaskBefore = umask(027);  // the unit's: files are the service's own
    {
        PacedBoard board;
        CVeskLogger logger(dir.path().c_str(), "Audio");
        vesk_status::ServiceStarting();
        board.Write(gone.c_str(), &logger);
        vesk_status::CaptureRunning(true);  // a change, refused again
        board.Write(gone.c_str(), &logger);
        ASSERT_TRUE(MakeDirectory(gone.c_str()));
        board.Write(gone.c_str(), &logger);
        board.Write(dir.path().c_str(), &logger);  // only the periodic write would come now
        vesk_status::CaptureDevice("Speakers", "{id}");
        board.Write(dir.path().c_str(), &logger);
    }
    umask(umaskBefore);
    EXPECT_EQ(vesk_status::ReadSnapshotFile(gone + "/status.json", &ignored, &error),
              ReadResult::kOk)
        << error;
    EXPECT_EQ(test_util::ReadFile(elsewhere / "target"), "kept");
    struct stat written = {};
    ASSERT_EQ(stat(path.c_str(), &written), 0);
    EXPECT_EQ(written.st_mode & 0777, 0644u) << "monitoring agents read it";
    EXPECT_EQ(test_util::Count(test_util::ReadFile(dir / "VeskZIZLog.txt"),
                               "Failed to write the status snapshot: "),
              1u);
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(test_util::ListDir(dir.path()),
              (std::vector<std::string>{"VeskZIZLog.txt", "gone", "status.json"}))
        << "no temporary file left";
    EXPECT_EQ(vesk_status::ReadSnapshotFile(path, &ignored, &error), ReadResult::kOk) << error;
    EXPECT_TRUE(ignored.captureRunning);
}

// The summary goes to systemd's notify socket once per change, not once per write.
TEST(StatusBoard, TellsTheServiceManagerEachNewSummaryOnce) {
    test_util::TempDir dir;
    const std::string socketPath = dir / "notify";
    const int listener = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    test_util::SetEnv("NOTIFY_SOCKET", socketPath);

    {
        PacedBoard board;
        vesk_status::ServiceStarting();
        board.Write("", nullptr);
        board.Write("", nullptr);  // nothing new
        // A camera's strings must not add assignments to the notification, nor break or turn
        // round the line that systemctl status shows.
        vesk_status::CameraOpened({0x3E8C, 0x6B4E, 0x0102, "Q30-0001", "Vesk",
                                   "Q30\nSTOPPING=1\xc2\x85\xe2\x80\xa8\xe2\x80\xae"});
        board.Write("", nullptr);
    }
    vesk_platform::ReportServiceStatusText("plain\nREADY=1");  // cleaned by the sender too
    test_util::SetEnv("NOTIFY_SOCKET", "");

    std::vector<std::string> lines;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(listener, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        lines.emplace_back(buffer, static_cast<size_t>(got));
    }
    close(listener);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "STATUS=warning: no camera attached");
    EXPECT_EQ(lines[1],
              "STATUS=warning: capture not running; camera Q30?STOPPING=1??? (serial "
              "Q30-0001) open");
    EXPECT_EQ(lines[2], "STATUS=plain READY=1");
}

// A call's far end turns on and off several times a second; on a room host's SD card its
// changes reach the disk at most once a second.
TEST(StatusBoard, WritesChangesAtMostOnceASecond) {
    test_util::TempDir dir;
    vesk_status::ServiceStarting();
    const uint64_t before = vesk_status::SnapshotWrites();
    vesk_status::WriteIfDue(dir.path().c_str(), 0, nullptr);
    const auto first = std::chrono::steady_clock::now();
    for (bool talking : {true, false}) {
        vesk_status::RequestSent(talking, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        vesk_status::WriteIfDue(dir.path().c_str(), 0, nullptr);
    }
    EXPECT_EQ(vesk_status::SnapshotWrites() - before, 1u);
    std::this_thread::sleep_until(first + std::chrono::milliseconds(1050));
    vesk_status::WriteIfDue(dir.path().c_str(), 0, nullptr);
    EXPECT_EQ(vesk_status::SnapshotWrites() - before, 2u);
}
#endif

// Nothing changes in a steady room, yet its snapshot is rewritten every 10 s: one older than
// 30 s is a hung service to the status command and the alert rules.
TEST(StatusBoard, RewritesASteadyRoomBeforeItLooksHung) {
    test_util::TempDir dir;
    PacedBoard board(100);  // 5 ms between passes: half a second each
    vesk_status::ServiceStarting();
    board.Write(dir.path().c_str(), nullptr);
    const uint64_t before = vesk_status::SnapshotWrites();
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(vesk_status::kStaleAfterSeconds * 1000 / 100);
    while (std::chrono::steady_clock::now() < end) {
        board.Write(dir.path().c_str(), nullptr);
    }
    EXPECT_GE(vesk_status::SnapshotWrites() - before, 2u);
    EXPECT_LE(vesk_status::SnapshotWrites() - before, 3u);
}

}  // namespace
