// The far-end-talk notifier against the simulated camera, one poll at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "RestOverHid/RestOHidDevMgrImpl.h"
#include "RestOverHid/windows/RestOHid.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "testing/camera_side.h"
#include "testing/usb_sim.h"
#include "test_util.h"
#include "platform/seams.h"

namespace {

using test_util::Count;

// Holds the notifier thread in its 100 ms sleep between polls; other sleeps pass quickly.
class PollStepper {
  public:
    static void Install() {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_allowed = s_done = 0;
        s_waiting = false;
        s_freeRun = false;
        vesk_platform::SetSleepHook(Hook);
    }
    // Later sleeps are real ones; a thread held in the hook sleeps for real too. (Letting it
    // return at once would let the notifier poll without pause until the hook is gone.)
    static void Uninstall() {
        vesk_platform::SetSleepHook(nullptr);
        std::lock_guard<std::mutex> lock(s_mutex);
        s_freeRun = true;
        s_changed.notify_all();
    }
    // Waits for the poll in progress to end, then lets `polls` more run.
    static bool RunPolls(int polls) {
        std::unique_lock<std::mutex> lock(s_mutex);
        s_allowed += polls;
        s_changed.notify_all();
        return s_changed.wait_for(lock, std::chrono::seconds(20),
                                  [] { return s_waiting && s_done == s_allowed; });
    }

  private:
    static void Hook(DWORD milliseconds) {
        if (milliseconds != 100) {
            std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 10));
            return;
        }
        std::unique_lock<std::mutex> lock(s_mutex);
        s_waiting = true;
        s_changed.notify_all();
        s_changed.wait(lock, [] { return s_freeRun || s_done < s_allowed; });
        ++s_done;
        s_waiting = false;
        if (s_freeRun) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        }
    }

    static inline std::mutex s_mutex;
    static inline std::condition_variable s_changed;
    static inline int s_allowed = 0;
    static inline int s_done = 0;
    static inline bool s_waiting = false;
    static inline bool s_freeRun = false;
};

// The far_end_talk value of every request the camera received, as the camera's side reads
// the reports: "true", "false" or "other".
std::vector<std::string> Sent(int camera) {
    camera_side::Camera side;
    std::vector<std::string> values;
    for (const auto& report : usb_sim::SentFeatureReports(camera)) {
        if (const auto request = side.TakeFeatureReport(report.data(), report.size())) {
            values.push_back(camera_side::TraceWord(request->farEnd));
        }
    }
    return values;
}

class Notifier : public testing::Test {
  protected:
    void SetUp() override {
        usb_sim::Reset();
        m_logger = std::make_unique<CVeskLogger>(m_dir.path().c_str(), "Audio");
        m_capture = std::make_unique<CSpkLoopback>(m_logger.get(), "unused");
        g_pThis->m_pSpkLoopback = m_capture.get();
        PollStepper::Install();
    }
    void TearDown() override {
        PollStepper::Uninstall();
        m_notifier.reset();
        g_pThis->m_pSpkLoopback = nullptr;
    }

    // Starts the notifier; its first poll (the discovery) has run when this returns.
    CRestOHid& Start() {
        m_notifier = std::make_unique<CRestOHid>(m_logger.get());
        m_notifier->Run();
        EXPECT_TRUE(PollStepper::RunPolls(0));
        return *m_notifier;
    }

    void Detect(int32_t value) {
        m_capture->m_bRunning = 1;
        m_capture->m_nSignalDetected = value;
    }

    std::string Log() {
        PollStepper::Uninstall();
        m_notifier.reset();
        m_capture.reset();
        m_logger.reset();
        return test_util::ReadText(m_dir / "VeskZIZLog.txt");
    }

    test_util::TempDir m_dir;
    std::unique_ptr<CVeskLogger> m_logger;
    std::unique_ptr<CSpkLoopback> m_capture;
    std::unique_ptr<CRestOHid> m_notifier;
};

// First in this file: the request counter starts at 0 in this process.
TEST_F(Notifier, LogsEveryTwelfthRequest) {
    const int camera = usb_sim::Plug(usb_sim::Device{});
    Start();
    for (int i = 0; i < 23; ++i) {  // a change every poll: one request each
        Detect(i % 2 == 0 ? 5 : 0);
        m_capture->m_nSignalDetected = 0;
        m_capture->m_bRunning = 0;
        if (i % 5 == 0) {
            Detect(5);
        }
        ASSERT_TRUE(PollStepper::RunPolls(1));
    }
    const std::string log = Log();  // the notifier has ended: nothing more is sent
    const size_t sent = Sent(camera).size();
    EXPECT_EQ(Count(log,
                    "Request Head: {\"msg_id\":\"20\",\"type\":\"PUT\",\"url\":\"audio\"} "
                    "Request Body: {\"far_end_talk\":"),
              sent / 12);
}

TEST_F(Notifier, OpensTheCameraAndSendsItsStateAtOnce) {
    const int camera = usb_sim::Plug(usb_sim::Device{});
    CRestOHid& notifier = Start();
    EXPECT_TRUE(notifier.IsReady());
    EXPECT_TRUE(usb_sim::SentFeatureReports(camera).empty());
    ASSERT_TRUE(PollStepper::RunPolls(1));  // the poll after the opening sends, also "false"
    const auto reports = usb_sim::SentFeatureReports(camera);
    ASSERT_EQ(reports.size(), 1u);
    const std::string expected = std::string("\x05\x4a\x00\x1f\x2a\x00\x18\x00\x00\x00\x00", 11) +
                                 R"({"msg_id":"20","type":"PUT","url":"audio"})"
                                 R"({"far_end_talk":"false"})";
    EXPECT_EQ(std::string(reports[0].begin(), reports[0].begin() + 77), expected);

    const std::string log = Log();
    EXPECT_NE(log.find("==========Found target device=============: vid: 0x3e8c, pid: 0x6b4e\n"),
              std::string::npos);
    EXPECT_NE(log.find(" Manufactuere: Vesk\n nProduct: Quorin Q30\n Serial Number: Q30-0001\n "
                       "nRevision: 0x102\n"),
              std::string::npos);
}

TEST_F(Notifier, HoldsADetectionForFourPollsAndResendsEveryFifty) {
    const int camera = usb_sim::Plug(usb_sim::Device{});
    Start();                                // poll 1: opened
    ASSERT_TRUE(PollStepper::RunPolls(1));  // poll 2: "false"
    Detect(3);
    ASSERT_TRUE(PollStepper::RunPolls(1));  // poll 3: detection, "true"
    Detect(0);
    ASSERT_TRUE(PollStepper::RunPolls(3));  // polls 4-6: held
    EXPECT_EQ(Sent(camera), (std::vector<std::string>{"false", "true"}));
    ASSERT_TRUE(PollStepper::RunPolls(1));  // poll 7: fourth poll without detection
    EXPECT_EQ(Sent(camera), (std::vector<std::string>{"false", "true", "false"}));

    ASSERT_TRUE(PollStepper::RunPolls(49));  // steady: the next send is 50 polls later
    EXPECT_EQ(Sent(camera).size(), 3u);
    ASSERT_TRUE(PollStepper::RunPolls(1));
    EXPECT_EQ(Sent(camera).size(), 4u);

    // Capture not running, or no capture object: no far end, whatever the count says.
    m_capture->m_bRunning = 0;
    m_capture->m_nSignalDetected = 10;
    ASSERT_TRUE(PollStepper::RunPolls(5));
    g_pThis->m_pSpkLoopback = nullptr;
    ASSERT_TRUE(PollStepper::RunPolls(5));
    EXPECT_EQ(Sent(camera), (std::vector<std::string>{"false", "true", "false", "false"}));
}

TEST_F(Notifier, FailedSendReopensAHundredPollsLater) {
    const int camera = usb_sim::Plug(usb_sim::Device{});
    CRestOHid& notifier = Start();
    ASSERT_TRUE(PollStepper::RunPolls(1));
    usb_sim::Unplug(camera);
    Detect(5);  // a change: the send fails on the unplugged camera
    ASSERT_TRUE(PollStepper::RunPolls(1));
    EXPECT_FALSE(notifier.IsReady());
    const int back = usb_sim::Plug(usb_sim::Device{});
    ASSERT_TRUE(PollStepper::RunPolls(100));
    EXPECT_TRUE(Sent(back).empty());
    EXPECT_FALSE(notifier.IsReady());
    ASSERT_TRUE(PollStepper::RunPolls(1));  // 101 polls after the failure: reopened
    EXPECT_TRUE(notifier.IsReady());
    ASSERT_TRUE(PollStepper::RunPolls(1));
    EXPECT_EQ(Sent(back), (std::vector<std::string>{"true"}));

    const std::string log = Log();
    EXPECT_EQ(Count(log, "Failed to send the Rest Request!\n"), 1u);
    EXPECT_EQ(Count(log,
                    "---------CRestOHid::SendFarTalkFlagToDevice() Failed, retry in 10 "
                    "seconds---------\n"),
              1u);
}

TEST_F(Notifier, OpensTheLastListedTargetCamera) {
    usb_sim::Device first;
    first.serial = "FIRST";
    usb_sim::Device second;
    second.serial = "SECOND";
    second.address = 3;
    const int a = usb_sim::Plug(first);
    const int b = usb_sim::Plug(second);
    testing::internal::CaptureStdout();
    Start();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(PollStepper::RunPolls(1));
    // The list as printed: the last target in it is the one opened.
    const std::string last =
        out.find("Serial Number: FIRST") > out.find("Serial Number: SECOND") ? "FIRST" : "SECOND";
    EXPECT_NE(out.find("]: VendorId: 0x3e8c ProductId: 0x6b4e Serial Number: "), std::string::npos)
        << out;
    EXPECT_EQ(Sent(last == "FIRST" ? a : b).size(), 1u);
    EXPECT_EQ(Sent(last == "FIRST" ? b : a).size(), 0u);
}

TEST_F(Notifier, ThrottlesTheDiscoveryFailureLines) {
    usb_sim::Device other;
    other.productId = 0x1111;
    usb_sim::Plug(other);
    CRestOHid& notifier = Start();             // attempt 1
    ASSERT_TRUE(PollStepper::RunPolls(6000));  // attempts 2..61, one every 100 polls
    EXPECT_FALSE(notifier.IsReady());
    const std::string log = Log();
    EXPECT_EQ(Count(log, "Failed to find targeted device (Vesk Quorin Q30 camera)...\n"), 2u);
    EXPECT_EQ(Count(log, "---------CRestOHid::Open() Failed, retry in 10 seconds---------\n"), 1u);
}

// An exception inside a send ends neither the thread nor the camera's session: one log line,
// and the same send goes out in the next poll.
TEST_F(Notifier, ExceptionInASendIsCaughtAndTheSendRepeated) {
    const int camera = usb_sim::Plug(usb_sim::Device{});
    CRestOHid& notifier = Start();
    ASSERT_TRUE(PollStepper::RunPolls(1));  // "false"
    usb_sim::Fail("hid_send_feature_report", usb_sim::kThrow, 1);
    Detect(5);
    ASSERT_TRUE(PollStepper::RunPolls(1));  // "true" throws
    EXPECT_TRUE(notifier.IsReady());
    EXPECT_EQ(Sent(camera), (std::vector<std::string>{"false"}));
    ASSERT_TRUE(PollStepper::RunPolls(1));
    EXPECT_EQ(Sent(camera), (std::vector<std::string>{"false", "true"}));
    EXPECT_TRUE(notifier.IsReady());

    const std::string log = Log();
    EXPECT_EQ(Count(log, "SendFarTalkFlagToDevice() caught exception.\n"), 1u);
    EXPECT_EQ(Count(log, "Failed to send the Rest Request!\n"), 0u);
}

#ifndef _WIN32
// Once armed, the sleeps between the main thread's passes (and the monitor's) end on a grid of
// kPass from the arming, and the notifier's polls kLead before each point of it; before that
// every sleep is 50 times shorter, so that the boot wait passes quickly.
class PhaseGrid {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr Clock::duration kPass = std::chrono::milliseconds(1400);
    static constexpr Clock::duration kLead = std::chrono::milliseconds(400);

    static void Install() {
        s_origin = 0;
        vesk_platform::SetSleepHook(Hook);
    }
    static Clock::time_point Arm() {
        const Clock::time_point now = Clock::now();
        s_origin = now.time_since_epoch().count();
        return now;
    }
    static void Uninstall() { vesk_platform::SetSleepHook(nullptr); }

    // Raised on the notifier's thread, where the camera's reports are sent.
    static inline thread_local bool t_notifier = false;

  private:
    static void Hook(DWORD milliseconds) {
        const Clock::rep origin = s_origin;
        if (milliseconds != 100 || origin == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(milliseconds * 20));
            return;
        }
        const Clock::time_point start{Clock::duration(origin)};
        const Clock::duration lead = t_notifier ? kLead : Clock::duration::zero();
        const auto points = (Clock::now() - start + lead) / kPass + 1;
        std::this_thread::sleep_until(start + points * kPass - lead);
    }

    static inline std::atomic<Clock::rep> s_origin{0};
};

std::atomic<int> s_observedReports{0};

// The controller's stop ends the notifier's thread beside the main thread, not after it. The
// stop comes 20 ms after a pass, with the notifier's poll due 400 ms before the next: the
// notifier ends at that poll, and the stop with the pass, 1380 ms later (up to 100 ms more
// while the camera's event reader ends its read). A notifier that waited for its own stop
// would poll once more and hold the stop to 2380-2480 ms. The grid is that coarse so that a
// busy machine's delays stay well inside the bound.
#ifndef _WIN32
// Refused its audio scheduling (a user without real-time rights, in a child process), the
// notifier tells the camera as before, and the refusal is logged once however often it starts.
TEST_F(Notifier, RefusedAudioSchedulingIsLoggedOnceAndTheCameraIsTold) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            if (!test_util::DropRealTimeRights()) {
                std::_Exit(2);
            }
            const int camera = usb_sim::Plug(usb_sim::Device{});
            for (int i = 0; i < 2; ++i) {
                Start();
                if (!PollStepper::RunPolls(1)) {
                    std::_Exit(3);
                }
                PollStepper::Uninstall();
                m_notifier.reset();
                PollStepper::Install();
            }
            const bool told = Sent(camera).size() == 2;
            const std::string log = Log();
            std::_Exit(
                told && Count(log, "the notifier thread runs at normal priority.\n") == 1 ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
}
#endif

TEST(NotifierWithTheController, EndsWithTheControllersStop) {
    using namespace std::chrono_literals;
    test_util::TempDir root;
    const char* server = std::getenv("PULSE_SERVER");
    const std::string pulseServer = server != nullptr ? server : "";
    test_util::SetEnv("VESK_DATA_ROOT", root.path());
    test_util::SetEnv("PULSE_SERVER", "unix:/nonexistent");  // capture starts fail at once
    usb_sim::Reset();
    usb_sim::ObserveFeatureReports([](int, const uint8_t*, size_t) {
        PhaseGrid::t_notifier = true;
        ++s_observedReports;
    });
    usb_sim::Plug(usb_sim::Device{});
    PhaseGrid::Install();
    ASSERT_TRUE(SpkLoopback_Start());
    EXPECT_TRUE(test_util::WaitFor([] { return s_observedReports > 0; }, 10s));

    const PhaseGrid::Clock::time_point armed = PhaseGrid::Arm();
    std::this_thread::sleep_until(armed + 2 * PhaseGrid::kPass + 20ms);
    const PhaseGrid::Clock::time_point stopping = PhaseGrid::Clock::now();
    SpkLoopback_Stop();
    const PhaseGrid::Clock::duration took = PhaseGrid::Clock::now() - stopping;
    PhaseGrid::Uninstall();
    usb_sim::ObserveFeatureReports(nullptr);
    g_pThis->m_bStop = false;  // the notifiers of the other tests run without a controller
    test_util::SetEnv("PULSE_SERVER", pulseServer);
    EXPECT_LT(took, 1900ms);
}
#endif  // _WIN32: the stand-in for a machine without a sound server is Linux's

}  // namespace
