// The whole road from speaker to camera: the real controller, capture on a real PulseAudio
// null sink, the real notifier and a simulated camera. Waits run 10 times faster (a poll is
// 10 ms, the boot wait 1 s, a reopen 1 s, a resend 0.5 s); audio runs in real time.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "platform/ServiceEvent.h"
#include "testing/usb_sim.h"
#include "test_util.h"
#include "platform/seams.h"

namespace {

using test_util::Count;
using test_util::WaitFor;

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

std::vector<std::string> Sent(int camera) {
    std::vector<std::string> values;
    for (const auto& report : usb_sim::SentFeatureReports(camera)) {
        const std::string text(report.begin() + 11, report.begin() + 11 + 66);
        values.push_back(text.find("\"true\"") != std::string::npos ? "true" : "false");
    }
    return values;
}

bool Capturing() {
    const CSpkLoopback* capture = g_pThis->m_pSpkLoopback.load();
    return capture != nullptr && capture->m_bRunning != 0;
}

std::atomic<int> s_events{0};
void CountEvent(WORD, DWORD, const char*) {
    ++s_events;
}

TEST(Room, FarEndSpeechReachesTheCamera) {
    if (std::getenv("PULSE_SERVER") == nullptr) {
        GTEST_SKIP() << "no PulseAudio server; run through scripts/with-pulse";
    }
    test_util::TempDir root;
    const std::string speech = root / "speech.wav";
    ASSERT_TRUE(
        Shell("espeak-ng -w " + speech + " 'Good morning everyone, the numbers look fine.'"));
    setenv("VESK_DATA_ROOT", root.path().c_str(), 1);
    vesk_platform::SetTimeDivisor(10);
    vesk_platform::SetServiceEventObserver(CountEvent);
    usb_sim::Reset();

    ASSERT_TRUE(SpkLoopback_Start());
    // No camera: no capture, however long the controller runs.
    EXPECT_FALSE(WaitFor(Capturing, 1500ms));

    const int camera = usb_sim::Plug(usb_sim::Device{});
    ASSERT_TRUE(WaitFor([camera] { return !Sent(camera).empty(); }, 3000ms));
    EXPECT_EQ(Sent(camera).front(), "false");  // the first request after opening
    ASSERT_TRUE(WaitFor(Capturing, 1000ms));   // capture starts once the camera is open

    // The capture and notifier threads are scheduled as audio where the system allows it; the
    // threads the notifier started (the device manager's, of the same name) are not.
    bool audioAllowed = false;
    std::thread([&audioAllowed] {
        DWORD index = 0;
        HANDLE task = AvSetMmThreadCharacteristicsW(L"Audio", &index);
        audioAllowed = task != nullptr && AvRevertMmThreadCharacteristics(task);
    }).join();
    const std::vector<std::string> audioThreads = {"vesk-capture", "vesk-notifier"};
    EXPECT_EQ(test_util::RealTimeThreads(),
              audioAllowed ? audioThreads : std::vector<std::string>());

    // Speech: "true" while it plays; "false" after the last detection, then steady resends.
    std::atomic<bool> playing{true};
    std::thread player([&] {
        Shell("paplay --latency-msec=20 " + speech);
        playing = false;
    });
    Clock::time_point lastDetection{};
    while (playing) {
        if (g_pThis->m_pSpkLoopback.load()->m_nSignalDetected > 0) {
            lastDetection = Clock::now();
        }
        std::this_thread::sleep_for(1ms);
    }
    player.join();
    ASSERT_TRUE(
        WaitFor([] { return g_pThis->m_pSpkLoopback.load()->m_nSignalDetected == 0; }, 1000ms));
    std::vector<std::string> sent = Sent(camera);
    ASSERT_NE(std::find(sent.begin(), sent.end(), "true"), sent.end()) << "speech not reported";
    ASSERT_TRUE(WaitFor([camera] { return Sent(camera).back() == "false"; }, 1000ms));
    EXPECT_NE(lastDetection, Clock::time_point{});
    const size_t settled = Sent(camera).size();
    std::this_thread::sleep_for(1300ms);  // 130 polls: resent after 50 and 100
    sent = Sent(camera);
    EXPECT_GE(sent.size(), settled + 2);
    EXPECT_EQ(sent.back(), "false");

    // The camera leaves: the next send fails, capture stops; a camera that comes back is
    // opened about 100 polls after the failure.
    usb_sim::Unplug(camera);
    EXPECT_TRUE(WaitFor([] { return !Capturing(); }, 2000ms));
    const int back = usb_sim::Plug(usb_sim::Device{});
    EXPECT_TRUE(WaitFor([back] { return !Sent(back).empty(); }, 4000ms));
    EXPECT_TRUE(WaitFor(Capturing, 2000ms));

    SpkLoopback_Stop();
    EXPECT_EQ(s_events, 0);  // a clean stop reports nothing
    vesk_platform::SetServiceEventObserver(nullptr);
    vesk_platform::SetTimeDivisor(1);

    const std::string log = test_util::ReadFile(root / "Vesk/Audio/VeskZIZLog.txt");
    EXPECT_NE(log.find("Failed to send the Rest Request!\n"), std::string::npos);
    EXPECT_NE(log.find("---------CRestOHid::SendFarTalkFlagToDevice() Failed, retry in 10 "
                       "seconds---------\n"),
              std::string::npos);
    EXPECT_NE(log.find("==========Found target device=============: vid: 0x3e8c, pid: 0x6b4e\n"),
              std::string::npos);
}

// A new default sink is reported once per role; capture restarts once, on the new sink. A new
// default source is logged and changes nothing.
TEST(Room, DefaultSinkChangeRestartsCaptureOnce) {
    if (std::getenv("PULSE_SERVER") == nullptr) {
        GTEST_SKIP() << "no PulseAudio server; run through scripts/with-pulse";
    }
    test_util::TempDir root;
    setenv("VESK_DATA_ROOT", root.path().c_str(), 1);
    vesk_platform::SetTimeDivisor(10);
    usb_sim::Reset();
    ASSERT_TRUE(Shell("pactl set-default-sink vesk_48k"));
    usb_sim::Plug(usb_sim::Device{});
    ASSERT_TRUE(SpkLoopback_Start());
    ASSERT_TRUE(WaitFor(Capturing, 4000ms));
    ASSERT_TRUE(WaitFor([] { return g_pThis->m_bMonitorRunning.load(); }, 1000ms));

    ASSERT_TRUE(Shell("pactl set-default-sink vesk_44k"));
    std::this_thread::sleep_for(1500ms);  // 150 passes: the restart comes after 50
    EXPECT_TRUE(Capturing());
    ASSERT_TRUE(Shell("pactl set-default-source vesk_6ch.monitor"));
    std::this_thread::sleep_for(1000ms);
    SpkLoopback_Stop();
    Shell("pactl set-default-sink vesk_48k");
    vesk_platform::SetTimeDivisor(1);

    const std::string log = test_util::ReadFile(root / "Vesk/Audio/VeskZIZLog.txt");
    EXPECT_EQ(Count(log, "============Default render device changed, restart SpkLoopback"), 1u);
    EXPECT_EQ(Count(log, "OnDefaultDeviceChanged() | default eRender device changed. Re-detected"),
              3u);
    // (The monitor of the new default sink may become the default source with it.)
    for (const char* role : {"eConsole", "eMultimedia", "eCommunications"}) {
        EXPECT_GE(Count(log, std::string("New default device: flow = eCapture, role = ") + role),
                  1u);
    }
    // The restarted capture selected the new default sink.
    EXPECT_NE(
        test_util::ReadFile(root / "Vesk/Audio/detected_audio_output_devices.txt").find("D | 1, "),
        std::string::npos);
}

}  // namespace
