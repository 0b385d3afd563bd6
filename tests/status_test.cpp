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
#include "test_util.h"

namespace {

using vesk_status::Judge;
using vesk_status::ReadResult;
using vesk_status::Snapshot;
using vesk_status::Verdict;

constexpr vesk_status::UnixTime kStart = 1796000000;  // some time in 2026

// A healthy room, a minute after the service started.
Snapshot Healthy() {
    Snapshot s;
    s.version = "0.1.0";
    s.pid = 42;
    s.started = kStart;
    s.written = kStart + 60;
    s.hasSoundServer = true;
    s.soundServerConnected = true;
    s.soundServerSince = kStart;
    s.captureRunning = true;
    s.captureSince = kStart + 11;
    s.hasDevice = true;
    s.deviceName = "Speakers \"front\"";
    s.deviceId = "{EFAD3565-6F84-37C0-590C-E7D3026664E1}";
    s.rate = 48000;
    s.channels = 2;
    s.sampleFormat = "float32";
    s.packetsPerSecond = 100;
    s.cameraOpen = true;
    s.cameraSince = kStart + 10;
    s.vendorId = 0x3E8C;
    s.productId = 0x6B4E;
    s.release = 0x0102;
    s.serial = "Q30-0001";
    s.manufacturer = "Vesk";
    s.product = "Quorin Q30";
    s.requestsSent = 12;
    s.lastGoodSend = kStart + 58;
    s.farEndLastFalse = kStart + 10;
    return s;
}

// The board writes a change at once, but no sooner than a second after its last write; with
// the clock paced 1000 times faster, a few milliseconds between the calls are enough.
class PacedBoard {
  public:
    PacedBoard() { vesk_platform::SetTimeDivisor(1000); }
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
    EXPECT_TRUE(Reasons(Healthy(), kStart + 60, &verdict).empty());
    EXPECT_EQ(verdict, Verdict::kOk);

    Snapshot s = Healthy();
    s.cameraOpen = false;
    s.soundServerConnected = false;
    s.outputDeviceFound = false;
    EXPECT_EQ(
        Reasons(s, kStart + 60, &verdict),
        (std::vector<std::string>{"no sound server", "no output device", "no camera attached"}));
    EXPECT_EQ(verdict, Verdict::kCritical);
    // While the service starts (boot wait, camera retry) the same is only a warning.
    Reasons(s, kStart + 29, &verdict);
    EXPECT_EQ(verdict, Verdict::kWarning);

    s = Healthy();
    s.captureRunning = false;
    s.captureSince = kStart + 40;
    EXPECT_EQ(Reasons(s, kStart + 70, &verdict), std::vector<std::string>{"capture not running"});
    EXPECT_EQ(verdict, Verdict::kWarning);
    EXPECT_EQ(Reasons(s, kStart + 71, &verdict),
              std::vector<std::string>{"camera open but capture not running for more than 30 s"});
    EXPECT_EQ(verdict, Verdict::kCritical);

    s = Healthy();
    s.lastFailedSend = s.lastGoodSend;
    s.lastSendFailed = true;
    EXPECT_EQ(Reasons(s, kStart + 60, &verdict), std::vector<std::string>{"sends failing"});
    EXPECT_EQ(verdict, Verdict::kCritical);
    s.lastSendFailed = false;  // recovered (in the same second): a warning for five minutes
    Reasons(s, s.lastFailedSend + 299, &verdict);
    EXPECT_EQ(verdict, Verdict::kWarning);
    Reasons(s, s.lastFailedSend + 300, &verdict);
    EXPECT_EQ(verdict, Verdict::kOk);

    s = Healthy();
    s.stopped = true;
    EXPECT_EQ(Reasons(s, kStart + 60, &verdict), std::vector<std::string>{"service stopped"});
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
    EXPECT_EQ(back.deviceName, s.deviceName);
    EXPECT_EQ(back.vendorId, 0x3E8C);
    EXPECT_EQ(vesk_status::SummaryLine(back).rfind(
                  "ok: capturing \"Speakers \"front\"\" 48000 Hz; camera Quorin Q30 (serial "
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

    // Names that are not UTF-8 (a device's own bytes) still make a file JSON readers take.
    s.serial = "Q30\xff\xc3(\xed\xa0\x80\xe2\x82\xac";
    ASSERT_TRUE(vesk_status::ParseSnapshot(vesk_status::ToJson(s), &back, &error)) << error;
    EXPECT_EQ(back.serial, "Q30\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD\u20AC");
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

    // Links planted at the snapshot and at its temporary file: the temporary one is refused
    // (said once in the log), the final one replaced; nothing lands where they point.
    Snapshot s = Healthy();
    std::ofstream(elsewhere / "target") << "kept";
    ASSERT_EQ(symlink((elsewhere / "target").c_str(), path.c_str()), 0);
    ASSERT_EQ(symlink((elsewhere / "target").c_str(), (path + ".tmp").c_str()), 0);
    EXPECT_EQ(vesk_status::ReadSnapshotFile(path, &ignored, &error), ReadResult::kUnreadable);
    EXPECT_NE(error.find("link"), std::string::npos) << error;
    const mode_t umaskBefore = umask(027);  // the unit's: files are the service's own
    {
        PacedBoard board;
        CVeskLogger logger(dir.path().c_str(), "Audio");
        vesk_status::ServiceStarting();
        board.Write(dir.path().c_str(), &logger);
        vesk_status::CaptureDevice("Speakers", "{id}");  // a change: written, refused again
        board.Write(dir.path().c_str(), &logger);
        std::filesystem::remove(path + ".tmp");
        vesk_status::CaptureRunning(true);
        board.Write(dir.path().c_str(), &logger);
    }
    umask(umaskBefore);
    EXPECT_EQ(test_util::ReadFile(elsewhere / "target"), "kept");
    struct stat written {};
    ASSERT_EQ(stat(path.c_str(), &written), 0);
    EXPECT_EQ(written.st_mode & 0777, 0644u) << "monitoring agents read it";
    EXPECT_EQ(test_util::Count(test_util::ReadFile(dir / "VeskZIZLog.txt"),
                               "Failed to write the status snapshot: "),
              1u);
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(vesk_status::ReadSnapshotFile(path, &ignored, &error), ReadResult::kOk) << error;
    EXPECT_TRUE(ignored.captureRunning);
}

// A change whose write failed (a full disk) is written at the next pass, with no new fact and
// well before the periodic write.
TEST(StatusBoard, FailedWriteIsTriedAgainAtTheNextPass) {
    test_util::TempDir dir;
    const std::string path = dir / "status.json";
    PacedBoard board;
    vesk_status::ServiceStarting();
    board.Write(dir.path().c_str(), nullptr);
    ASSERT_TRUE(std::filesystem::create_directory(path + ".tmp"));  // the write cannot start
    vesk_status::CameraOpened({0x3E8C, 0x6B4E, 0x0102, "Q30-0001", "Vesk", "Quorin Q30"});
    board.Write(dir.path().c_str(), nullptr);
    std::filesystem::remove(path + ".tmp");
    board.Write(dir.path().c_str(), nullptr);
    Snapshot written;
    std::string error;
    ASSERT_EQ(vesk_status::ReadSnapshotFile(path, &written, &error), ReadResult::kOk) << error;
    EXPECT_TRUE(written.cameraOpen);
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
        vesk_status::CameraOpened({0x3E8C, 0x6B4E, 0x0102, "Q30-0001", "Vesk", "Quorin Q30"});
        board.Write("", nullptr);
    }
    test_util::SetEnv("NOTIFY_SOCKET", "");

    std::vector<std::string> lines;
    char buffer[4096];
    ssize_t got;
    while ((got = recv(listener, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
        lines.emplace_back(buffer, static_cast<size_t>(got));
    }
    close(listener);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "STATUS=warning: no camera attached");
    EXPECT_EQ(lines[1],
              "STATUS=warning: capture not running; camera Quorin Q30 (serial "
              "Q30-0001) open");
}
#endif

}  // namespace
