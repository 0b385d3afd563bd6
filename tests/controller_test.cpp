// The loopback controller's start, stop and main loop, against the stand-ins of fake_room.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "testing/fake_room.h"
#include "testing/scripted_audio.h"
#include "platform/ServiceEvent.h"
#include "test_util.h"
#include "platform/seams.h"
#include "status/StatusSnapshot.h"

using fake_room::Call;
using fake_room::CaptureCall;
using fake_room::CaptureCalls;
using fake_room::RunPasses;

namespace {

using test_util::Count;

struct ReportedEvent {
    WORD type;
    std::string text;
};

std::mutex s_eventsMutex;
std::vector<ReportedEvent> s_events;

void ObserveEvent(WORD type, DWORD /*eventId*/, const char* text) {
    std::lock_guard<std::mutex> lock(s_eventsMutex);
    s_events.push_back({type, text});
}

std::vector<ReportedEvent> Events() {
    std::lock_guard<std::mutex> lock(s_eventsMutex);
    return s_events;
}

// Every wait and sleep runs 20 times faster: the boot wait takes 0.5 s, a pass 5 ms. The waits
// for the controller's threads run out only where a test holds a thread (lock-step), so a busy
// machine cannot make them.
constexpr unsigned kTimeDivisor = 20;

class Controller : public testing::Test {
  protected:
    void SetUp() override {
        vesk_platform::SetTimeDivisor(kTimeDivisor);
        vesk_platform::SetLockstepThreadWaits(true);
        vesk_platform::SetServiceEventObserver(ObserveEvent);
        test_util::SetEnv("VESK_DATA_ROOT", m_root.path());
        fake_room::Reset();
        std::lock_guard<std::mutex> lock(s_eventsMutex);
        s_events.clear();
    }

    void TearDown() override {
        fake_room::FreeRun();
        SpkLoopback_Stop();
        EXPECT_EQ(fake_room::LiveObjects(), 0);
        vesk_platform::SetServiceEventObserver(nullptr);
        vesk_platform::SetLockstepThreadWaits(false);
        vesk_platform::SetTimeDivisor(1);
    }

    // Stops the controller (which flushes the log) and returns the log.
    std::string StopAndReadLog() {
        fake_room::FreeRun();
        SpkLoopback_Stop();
        return test_util::ReadText(m_root / "Vesk/Audio/VeskZIZLog.txt");
    }

    test_util::TempDir m_root;
};

TEST_F(Controller, HealthyStartRunsTheLoopAndStopEndsEverything) {
    testing::internal::CaptureStdout();
    EXPECT_TRUE(SpkLoopback_Start());
    EXPECT_TRUE(test_util::FileExists(m_root / "Vesk/Audio"));
    ASSERT_TRUE(RunPasses(3));
    EXPECT_EQ(fake_room::NotifierRuns(), 1);
    EXPECT_TRUE(CaptureCalls().empty());  // no camera, no capture
    // What was logged reaches the disk while the service runs, not only at its stop.
    EXPECT_TRUE(test_util::WaitFor(
        [this] {
            return test_util::ReadText(m_root / "Vesk/Audio/VeskZIZLog.txt")
                       .find("SpkLoopback_Start()---EXIT\n") != std::string::npos;
        },
        std::chrono::seconds(10)));

    const std::string log = StopAndReadLog();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(fake_room::LiveObjects(), 0);
    EXPECT_TRUE(Events().empty()) << Events().front().text;

    const std::vector<std::string> inOrder = {
        ".../SpkLoopback_API.cpp | ",
        "SpkLoopback_API theMainThreadProc() | wait for 10 seconds to make sure system is fully "
        "booted up.\n",
        "SpkLoopback_API theMainThreadProc() |  wait has finished.\n",
        "SpkLoopback_Stop() ---------ENTRY.\n",
        "-----------SpkLoopback_Stop() ---------EXIT.\n",
    };
    EXPECT_EQ(test_util::FirstMissingInOrder(log, inOrder), "") << log;
    EXPECT_EQ(Count(log, "SpkLoopback_Start()---EXIT\n"), 1u);
    EXPECT_EQ(out.rfind("SpkLoopback_Start()---ENTRY\n", 0), 0u);
    EXPECT_NE(out.find("-----------CVeskLogger::~CVeskLogger()------------\n"), std::string::npos);
}

#ifndef _WIN32
// A user planted the audio folder as a link: the controller says so, and neither the log nor
// anything else is written where the link points.
TEST_F(Controller, RefusesADataFolderThatIsALink) {
    test_util::TempDir elsewhere;
    ASSERT_TRUE(MakeDirectory((m_root / "Vesk").c_str()));
    ASSERT_EQ(symlink(elsewhere.path().c_str(), (m_root / "Vesk/Audio").c_str()), 0);
    testing::internal::CaptureStdout();
    SpkLoopback_Start();
    ASSERT_TRUE(RunPasses(3));
    fake_room::FreeRun();
    SpkLoopback_Stop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(test_util::ListDir(elsewhere.path()).empty());
    ASSERT_EQ(Events().size(), 1u) << Events().back().text;  // and the stop succeeded
    EXPECT_EQ(Events().front().type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(Events().front().text,
              "The data folder is a link (junction or symbolic link), not used: " +
                  m_root / "Vesk/Audio");
    EXPECT_NE(out.find("Audio | .../SpkLoopback_API.cpp | "), std::string::npos)
        << "the log goes to standard output";
}
#endif

TEST_F(Controller, CaptureRunsExactlyWhileTheCameraIsReady) {
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(3));
    EXPECT_TRUE(CaptureCalls().empty());

    fake_room::SetCameraReady(true);
    ASSERT_TRUE(RunPasses(6));  // passes 4..9
    fake_room::SetCameraReady(false);
    ASSERT_TRUE(RunPasses(4));  // passes 10..13
    fake_room::SetCameraReady(true);
    ASSERT_TRUE(RunPasses(1));  // pass 14

    EXPECT_EQ(CaptureCalls(),
              (std::vector<CaptureCall>{{4, Call::kStart}, {10, Call::kStop}, {14, Call::kStart}}));
}

TEST_F(Controller, RetriesEveryHundredPassesWithoutTheSpeakerDevice) {
    fake_room::SetCameraReady(true);
    fake_room::SetDeviceFound(false);
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(203));

    EXPECT_EQ(CaptureCalls(), (std::vector<CaptureCall>{{1, Call::kStart},
                                                        {101, Call::kStop},
                                                        {102, Call::kStart},
                                                        {202, Call::kStop},
                                                        {203, Call::kStart}}));
    EXPECT_EQ(
        Count(StopAndReadLog(), "Failed to find speaker device, retry interval: 10 seconds\n"), 2u);
}

// Without a sound server every start fails at once: the next comes 51 passes (5.1 s) later, as
// after a start's whole poll, not in every pass.
TEST_F(Controller, FailedStartIsRetriedAfterTheStartPollNotEveryPass) {
    fake_room::SetCameraReady(true);
    fake_room::SetStartFails(true);
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(110));
    fake_room::SetStartFails(false);
    ASSERT_TRUE(RunPasses(60));

    EXPECT_EQ(
        CaptureCalls(),
        (std::vector<CaptureCall>{
            {1, Call::kStart}, {52, Call::kStart}, {103, Call::kStart}, {154, Call::kStart}}));

    // A start that fails only when its whole poll ran out has waited that long already: the
    // next comes within two passes, not 5 s later.
    fake_room::FreeRun();
    SpkLoopback_Stop();
    fake_room::Reset();
    fake_room::SetCameraReady(true);
    fake_room::SetStartFails(true);
    fake_room::SetCaptureStartMs(5010);
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(3));
    fake_room::SetCaptureStartMs(0);  // the stop's wait must not meet a slow start
    const std::vector<CaptureCall> calls = CaptureCalls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_LE(calls[1].pass - calls[0].pass, 2);
}

TEST_F(Controller, DeviceRetryCountsPassesWithoutTheDeviceOnly) {
    fake_room::SetCameraReady(true);
    fake_room::SetDeviceFound(false);
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(61));  // start, then 60 passes counted
    fake_room::SetCameraReady(false);
    ASSERT_TRUE(RunPasses(1));  // pass 62: stopped with the camera
    fake_room::SetCameraReady(true);
    ASSERT_TRUE(RunPasses(1));  // pass 63: started again, the count is kept
    ASSERT_TRUE(RunPasses(40));

    EXPECT_EQ(CaptureCalls(),
              (std::vector<CaptureCall>{
                  {1, Call::kStart}, {62, Call::kStop}, {63, Call::kStart}, {103, Call::kStop}}));
}

TEST_F(Controller, BurstOfDefaultDeviceReportsGivesOneRestart) {
    fake_room::SetCameraReady(true);
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(1));
    for (int report = 0; report < 3; ++report) {  // one report per role, a pass apart
        g_pThis->m_nRestartCountdown = 50;
        ASSERT_TRUE(RunPasses(1));
    }
    // The last report came before pass 4; its 50th ready pass is pass 53.
    ASSERT_TRUE(RunPasses(48));
    EXPECT_EQ(CaptureCalls().size(), 1u);
    ASSERT_TRUE(RunPasses(1));
    ASSERT_TRUE(RunPasses(60));

    EXPECT_EQ(CaptureCalls(),
              (std::vector<CaptureCall>{{1, Call::kStart}, {53, Call::kStop}, {53, Call::kStart}}));
    EXPECT_EQ(g_pThis->m_nRestartCountdown, 0);
    EXPECT_EQ(
        Count(StopAndReadLog(),
              "============Default render device changed, restart SpkLoopback=============\n"),
        1u);
}

// A capture start takes in the default device as it is then: a change reported before it (in
// the boot wait, as a session's sound server announces its defaults, or while no camera was
// ready) restarts nothing. The countdown stands still while no camera is ready.
TEST_F(Controller, AStartTakesInEveryDefaultChangeReportedBeforeIt) {
    fake_room::SetCameraReady(true);
    ASSERT_TRUE(SpkLoopback_Start());
    g_pThis->m_nRestartCountdown = 50;  // in the boot wait
    ASSERT_TRUE(RunPasses(60));
    EXPECT_EQ(CaptureCalls(), (std::vector<CaptureCall>{{1, Call::kStart}}));

    g_pThis->m_nRestartCountdown = 50;
    ASSERT_TRUE(RunPasses(10));  // passes 61..70: 40 left
    fake_room::SetCameraReady(false);
    ASSERT_TRUE(RunPasses(30));  // passes 71..100
    EXPECT_EQ(g_pThis->m_nRestartCountdown, 40);
    fake_room::SetCameraReady(true);
    ASSERT_TRUE(RunPasses(60));  // passes 101..160

    EXPECT_EQ(CaptureCalls(), (std::vector<CaptureCall>{
                                  {1, Call::kStart}, {71, Call::kStop}, {101, Call::kStart}}));
    EXPECT_EQ(g_pThis->m_nRestartCountdown, 0);
}

TEST_F(Controller, SecondStartEndsTheFirstThreadsAndRecreatesTheLogger) {
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(2));
    fake_room::FreeRun();

    testing::internal::CaptureStdout();
    EXPECT_TRUE(SpkLoopback_Start());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("-----------CVeskLogger::~CVeskLogger()------------\n"), std::string::npos);
    EXPECT_EQ(fake_room::LiveObjects(), 2);  // the second thread's pair only

    const std::string log = StopAndReadLog();
    EXPECT_EQ(Count(log, "SpkLoopback_Start()---EXIT\n"), 2u);
    EXPECT_EQ(Count(log, "SpkLoopback_Stop() ---------ENTRY.\n"), 1u);
    EXPECT_TRUE(Events().empty());
}

TEST_F(Controller, StopDuringTheBootWaitEndsTheMainThread) {
    ASSERT_TRUE(SpkLoopback_Start());
    const std::string log = StopAndReadLog();
    EXPECT_EQ(fake_room::LiveObjects(), 0);
    EXPECT_EQ(fake_room::NotifierRuns(), 0);
    EXPECT_EQ(fake_room::PassesStarted(), 0);
    EXPECT_EQ(log.find("wait has finished"), std::string::npos);
    EXPECT_TRUE(Events().empty());

    // Stopping again finds nothing to stop and reports nothing.
    SpkLoopback_Stop();
    EXPECT_TRUE(Events().empty());
}

// A main thread held up in a capture stop for longer than the stop's wait: the failure is
// reported, and the thread keeps a usable logger until it ends.
TEST_F(Controller, StopThatOutlastsTheWaitIsReported) {
    fake_room::SetCameraReady(true);
    fake_room::HoldCaptureStop(true);
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(RunPasses(1));
    fake_room::SetCameraReady(false);
    fake_room::FreeRun();  // pass 2 stops capture, which hangs

    while (CaptureCalls().size() < 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    SpkLoopback_Stop();  // waits 5 s, scaled to 0.25 s
    const std::vector<ReportedEvent> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, EVENTLOG_ERROR_TYPE);
    EXPECT_EQ(events[0].text, "Failed to stop speaker loopback.");

    // Once the thread has ended, the controller starts again. The logger outlived the thread
    // that logged after the wait gave up (AddressSanitizer would see a freed one): its line is
    // in the file, after the stop's last line.
    fake_room::HoldCaptureStop(false);
    EXPECT_TRUE(
        test_util::WaitFor([] { return fake_room::LiveObjects() == 0; }, std::chrono::seconds(30)));
    // Nor did that thread write "running" over the stop's snapshot.
    vesk_status::Snapshot snapshot;
    std::string error;
    ASSERT_EQ(vesk_status::ReadSnapshotFile(m_root / "Vesk/Audio/status.json", &snapshot, &error),
              vesk_status::ReadResult::kOk)
        << error;
    EXPECT_TRUE(snapshot.stopped);
    fake_room::Reset();
    EXPECT_TRUE(SpkLoopback_Start());
    EXPECT_EQ(test_util::FirstMissingInOrder(
                  StopAndReadLog(),
                  {"-----------SpkLoopback_Stop() ---------EXIT.\n",
                   "fake_room: slow capture stop done\n", "SpkLoopback_Start()---EXIT\n"}),
              "");
}

// The endpoint monitor: every default render report arms the restart countdown; a new
// default capture device is only reported; the client is unregistered before it is released.
TEST_F(Controller, MonitorArmsTheRestartOnADefaultRenderDeviceChange) {
    scripted_audio::Install({}, 0);
    ASSERT_TRUE(SpkLoopback_Start());
    for (int i = 0; i < 5000 && !g_pThis->m_bMonitorRunning; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(g_pThis->m_bMonitorRunning);
    ASSERT_EQ(scripted_audio::RegisteredClients(), 1);

    testing::internal::CaptureStdout();
    scripted_audio::NotifyDefaultDeviceChanged(eCapture, eConsole);
    EXPECT_EQ(g_pThis->m_nRestartCountdown, 0);
    g_pThis->m_nRestartCountdown = 7;
    scripted_audio::NotifyDefaultDeviceChanged(eRender, eMultimedia);
    EXPECT_EQ(g_pThis->m_nRestartCountdown, 50);
    scripted_audio::NotifyDefaultDeviceChanged(static_cast<EDataFlow>(7), static_cast<ERole>(9));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" -->New default device: flow = eCapture, role = eConsole\n"),
              std::string::npos);
    EXPECT_NE(out.find(" -->New default device: flow = ?????, role = ?????\n"), std::string::npos);
    g_pThis->m_nRestartCountdown = 0;

    const std::string log = StopAndReadLog();
    EXPECT_EQ(scripted_audio::RegisteredClients(), 0);
    EXPECT_EQ(g_pThis->m_pEnumerator, nullptr);
    scripted_audio::Uninstall();
    EXPECT_EQ(
        Count(log, "OnDefaultDeviceChanged() | default eRender device changed. Re-detected\n"), 1u);
    EXPECT_EQ(Count(log,
                    "OnDefaultDeviceChanged() | New default device: flow = eRender, role = "
                    "eMultimedia\n"),
              1u);
    EXPECT_EQ(Count(log,
                    "OnDefaultDeviceChanged() | New default device: flow = eCapture, role = "
                    "eConsole\n"),
              1u);
}

TEST(NotificationClient, AnswersOnlyItsTwoInterfaces) {
    auto* client = new CMMNotificationClient;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(client->QueryInterface(IID_IAudioClient, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(client->QueryInterface(IID_IMMNotificationClient, &out), S_OK);
    EXPECT_EQ(out, static_cast<IMMNotificationClient*>(client));
    EXPECT_EQ(client->QueryInterface(IID_IUnknown, &out), S_OK);
    EXPECT_EQ(client->Release(), 2u);  // the two references handed out, then the first
    EXPECT_EQ(client->Release(), 1u);
    EXPECT_EQ(client->Release(), 0u);
}

}  // namespace
