// CSpkLoopback against a real PulseAudio server (scripts/with-pulse starts one with null
// sinks): speech played into the default sink is detected, silence never is. And the capture
// stream's packet queue, which needs no server.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "platform/com_object.h"
#include "platform/linux/pulse/packet_queue.h"
#include "platform/linux/pulse/pulse_client_config.h"
#include "platform/linux/pulse/pulse_sink_watch.h"
#include "platform/linux/pulse/pulse_audio.h"
#include "platform/linux/pulse/pulse_connection.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* const kSentence = "Good morning everyone, the numbers look better than expected.";

bool Shell(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// PipeWire's server answers set-default-sink before a new connection sees the new default; on a
// busy machine the capture object's would still see the old one.
bool SetDefaultSink(const std::string& sink) {
    return Shell("pactl set-default-sink " + sink) &&
           test_util::WaitFor(
               [&sink] { return Shell("test \"$(pactl get-default-sink)\" = " + sink); },
               std::chrono::seconds(10));
}

std::string Output(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[256];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            out += buffer;
        }
        pclose(pipe);
    }
    return out;
}

class PulseCapture : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_speech = new test_util::TempDir;
        Shell("espeak-ng -w " + SpeechFile() + " \"" + kSentence + "\"");
    }
    static void TearDownTestSuite() {
        delete s_speech;
        s_speech = nullptr;
    }
    static std::string SpeechFile() { return *s_speech / "speech.wav"; }

    void SetUp() override {
        if (std::getenv("PULSE_SERVER") == nullptr || !Shell("pactl info >/dev/null 2>&1")) {
            GTEST_SKIP() << "no PulseAudio server; run through scripts/with-pulse";
        }
        ASSERT_TRUE(test_util::FileExists(SpeechFile())) << "espeak-ng made no speech";
        m_audioDir = m_root / "Vesk";
        MakeDirectory(m_audioDir.c_str());
        m_audioDir += "/Audio";
        MakeDirectory(m_audioDir.c_str());
        m_logger = std::make_unique<CVeskLogger>(m_audioDir.c_str(), "Audio");
    }

    void TearDown() override { SetDefaultSink("vesk_48k"); }

    // Plays the sentence into `sink`; watches the detection while it plays and returns the
    // largest value seen, and the time from the end of playback until the value was 0.
    void PlaySpeech(CSpkLoopback& capture, const std::string& sink, int32_t* largest,
                    double* releaseMs) {
        std::atomic<bool> playing{true};
        std::thread player([&] {
            Shell("paplay -d " + sink + " " + SpeechFile());
            playing = false;
        });
        *largest = 0;
        while (playing) {
            *largest = std::max(*largest, capture.m_nSignalDetected.load());
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        player.join();
        const auto ended = Clock::now();
        while (capture.m_nSignalDetected != 0 && Clock::now() - ended < std::chrono::seconds(3)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        *releaseMs = std::chrono::duration<double, std::milli>(Clock::now() - ended).count();
    }

    std::string ListFile() {
        return test_util::ReadFile(m_audioDir + "/detected_audio_output_devices.txt");
    }

    static test_util::TempDir* s_speech;
    test_util::TempDir m_root;
    std::string m_audioDir;
    std::unique_ptr<CVeskLogger> m_logger;
};

test_util::TempDir* PulseCapture::s_speech = nullptr;

TEST_F(PulseCapture, DetectsSpeechOnTheDefaultSinkAndNeverSilence) {
    CSpkLoopback capture(m_logger.get(), m_audioDir.c_str());
    ASSERT_EQ(capture.Start(), 1);
    EXPECT_EQ(capture.m_bDeviceFound, 1);

    // Every sink listed, in index order, the default marked.
    EXPECT_EQ(ListFile(), "D | 0, " + pulse_audio::EndpointGuidText("vesk_48k") +
                              ", Vesk-48k-stereo\n"
                              "  | 1, " +
                              pulse_audio::EndpointGuidText("vesk_44k") +
                              ", Vesk-44k-stereo\n"
                              "  | 2, " +
                              pulse_audio::EndpointGuidText("vesk_6ch") + ", Vesk-48k-6ch\n");

    EXPECT_EQ(test_util::LargestOver(capture.m_nSignalDetected, 1500), 0) << "silence detected";
    int32_t largest = 0;
    double releaseMs = 0;
    PlaySpeech(capture, "vesk_48k", &largest, &releaseMs);
    EXPECT_GT(largest, 0) << "speech not detected";
    EXPECT_LT(releaseMs, 400) << "detection outlasted the hangover";
    EXPECT_EQ(test_util::LargestOver(capture.m_nSignalDetected, 1000), 0);
    EXPECT_TRUE(capture.Stop());
    EXPECT_EQ(capture.m_bRunning, 0);
}

TEST_F(PulseCapture, CapturesA44kSinkThroughTheResamplerAndASixChannelSink) {
    for (const char* sink : {"vesk_44k", "vesk_6ch"}) {
        ASSERT_TRUE(SetDefaultSink(sink));
        CSpkLoopback capture(m_logger.get(), m_audioDir.c_str());
        ASSERT_EQ(capture.Start(), 1) << sink;
        EXPECT_NE(ListFile().find(std::string("D | ") + (sink[5] == '4' ? "1" : "2")),
                  std::string::npos)
            << sink;
        EXPECT_EQ(test_util::LargestOver(capture.m_nSignalDetected, 500), 0) << sink;
        int32_t largest = 0;
        double releaseMs = 0;
        PlaySpeech(capture, sink, &largest, &releaseMs);
        EXPECT_GT(largest, 0) << sink;
        EXPECT_LT(releaseMs, 400) << sink;
        EXPECT_TRUE(capture.Stop()) << sink;
    }
    m_logger.reset();
    const std::string log = test_util::ReadFile(m_audioDir + "/VeskZIZLog.txt");
    EXPECT_NE(log.find("Native Sampling rate match found | ch: 2 Rates[i]: 44100"),
              std::string::npos);
    EXPECT_NE(log.find("Native Sampling rate match found | ch: 6 Rates[i]: 48000"),
              std::string::npos);
}

// The stream stays on its sink: when the sink goes, capture ends instead of moving on.
// PulseAudio and PipeWire 0.3 end the stream themselves; PipeWire 1.x leaves it unlinked and
// silent, and the watch of its sink ends it. So a watch of the sink on a connection without a
// stream, which no server ends, must tell of the removal on every server.
TEST_F(PulseCapture, RemovingTheSinkEndsCapture) {
    const std::string module = Output(
        "pactl load-module module-null-sink sink_name=vesk_gone "
        "sink_properties=device.description=Vesk-gone");
    ASSERT_FALSE(module.empty());
    ASSERT_TRUE(SetDefaultSink("vesk_gone"));
    CSpkLoopback capture(m_logger.get(), m_audioDir.c_str());
    ASSERT_EQ(capture.Start(), 1);
    // Its start's own changes of the sink, which can come after the first audio, are not its
    // end.
    const int32_t packets = CSpkLoopback::s_nPackets;
    ASSERT_TRUE(test_util::WaitFor([packets] { return CSpkLoopback::s_nPackets >= packets + 10; },
                                   std::chrono::seconds(10)));
    ASSERT_EQ(capture.m_bRunning, 1) << "capture ended before its sink went";

    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "sink watch test");
    const auto pump = [loop](const auto& done) {
        const auto end = Clock::now() + std::chrono::seconds(3);
        while (!done() && Clock::now() < end && pa_mainloop_iterate(loop, 0, nullptr) >= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done();
    };
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    ASSERT_TRUE(pump([context] { return pa_context_get_state(context) == PA_CONTEXT_READY; }));
    bool lost = false;
    pulse_audio::SinkWatch watch(context, "vesk_gone", [&lost] { lost = true; });
    // Answered after the watch's own look at the sink: the watch knows it then.
    bool known = false;
    pa_operation_unref(pa_context_get_sink_info_by_name(
        context, "vesk_gone",
        [](pa_context*, const pa_sink_info*, int eol, void* done) {
            *static_cast<bool*>(done) = eol != 0;
        },
        &known));
    ASSERT_TRUE(pump([&known] { return known; }));

    ASSERT_TRUE(Shell("pactl unload-module " + module));
    EXPECT_TRUE(pump([&] { return lost && capture.m_bRunning == 0; }))
        << "watch told: " << lost << ", capture ended: " << (capture.m_bRunning == 0);
    EXPECT_TRUE(capture.Stop());
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
}

// A sink suspended and resumed while it is captured: its far end is heard again afterwards. On
// PipeWire's server the stream that lived through the suspension stays silent, so it ends and,
// as the controller does, capture is started again.
TEST_F(PulseCapture, ASuspendedAndResumedSinkIsHeardAgain) {
    CSpkLoopback capture(m_logger.get(), m_audioDir.c_str());
    ASSERT_EQ(capture.Start(), 1);
    // Something plays while the sink is suspended and resumed (without it, PipeWire's stream
    // survives).
    std::thread player([] { Shell("paplay -d vesk_48k " + SpeechFile()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // Another sink's change is not this sink's restart.
    EXPECT_TRUE(Shell("pactl set-sink-volume vesk_44k 50%"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture.m_bRunning, 1) << "another sink's change ended capture";
    EXPECT_TRUE(Shell("pactl suspend-sink vesk_48k 1"));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_TRUE(Shell("pactl suspend-sink vesk_48k 0"));
    player.join();
    if (capture.m_bRunning == 0) {
        ASSERT_EQ(capture.Start(), 1);
    }
    int32_t largest = 0;
    double releaseMs = 0;
    PlaySpeech(capture, "vesk_48k", &largest, &releaseMs);
    EXPECT_GT(largest, 0) << "deaf after the sink resumed";
    EXPECT_TRUE(capture.Stop());
}

// Counts the render devices reported as the new default, by id.
class DefaultReports final : public vesk_platform::ComObject<IMMNotificationClient> {
  public:
    DefaultReports() : ComObject(IID_IMMNotificationClient) {}
    HRESULT OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole, LPCWSTR id) override {
        if (flow == eRender) {
            const std::string sink(id, id + wcslen(id));
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_reports[sink];
        }
        return S_OK;
    }
    HRESULT OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }
    int Of(const std::string& sink) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports[pulse_audio::EndpointGuidText(sink)];
    }

  private:
    std::mutex m_mutex;
    std::map<std::string, int> m_reports;
};

// The server may go on telling the process's long-lived connection an old default while new
// connections are told the new one (PipeWire 0.3's does). Such a connection, here one that no
// longer hears server events, has its default checked on a new connection after a sink event
// and again a second later (a server may settle on a default a moment after its events), and is
// renewed: the new default is reported, once per role, and later ones too.
TEST_F(PulseCapture, ADefaultTheConnectionWasNotToldOfIsFoundAfterASinkEvent) {
    IMMDeviceEnumerator* enumerator = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                               IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator)),
              S_OK);
    auto* reports = new DefaultReports;
    ASSERT_EQ(enumerator->RegisterEndpointNotificationCallback(reports), S_OK);
    const auto connection = pulse_audio::Connection::Get();
    {
        pulse_audio::Lock lock(*connection);
        ASSERT_NE(connection->Ready(), nullptr);
        connection->Wait(pa_context_subscribe(
            connection->Ready(), PA_SUBSCRIPTION_MASK_SINK,
            [](pa_context*, int, void* self) {
                static_cast<pulse_audio::Connection*>(self)->Signal();
            },
            connection.get()));
    }
    const int renewals = connection->Renewals();
    // One sink event (a sink added: PipeWire 1.x sends none for a null sink's volume): the check
    // it causes finds the old default, the one a second later the new.
    const std::string module = Output(
        "pactl load-module module-null-sink sink_name=vesk_event "
        "sink_properties=device.description=Vesk-event");
    ASSERT_FALSE(module.empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(Shell("pactl set-default-sink vesk_44k"));
    EXPECT_TRUE(
        test_util::WaitFor([&] { return reports->Of("vesk_44k") == 3; }, std::chrono::seconds(4)));
    EXPECT_GT(connection->Renewals(), renewals);

    // The renewed connection hears server events again, and checks that agree renew nothing.
    ASSERT_TRUE(Shell("pactl set-default-sink vesk_48k"));
    EXPECT_TRUE(
        test_util::WaitFor([&] { return reports->Of("vesk_48k") == 3; }, std::chrono::seconds(4)));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int settled = connection->Renewals();
    ASSERT_TRUE(Shell("pactl unload-module " + module));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(connection->Renewals(), settled);
    EXPECT_EQ(reports->Of("vesk_44k"), 3);
    EXPECT_EQ(enumerator->UnregisterEndpointNotificationCallback(reports), S_OK);
    reports->Release();
    enumerator->Release();
}

// The back end itself: every packet of a sink's monitor carries 10 ms, as the Windows engine
// delivers them (the capture loop takes one detector block per packet), and they come a few at
// a time: the first of a wake's packets waited for the others, so the far end's voice reaches
// the detector that much later. An idle sink delivers nothing, as an idle Windows endpoint
// does, so speech plays meanwhile.
TEST_F(PulseCapture, TheBackEndDeliversTenMillisecondPackets) {
    for (const auto& [sink, frames] : {std::pair<const char*, UINT32>{"vesk_48k", 480},
                                       std::pair<const char*, UINT32>{"vesk_44k", 441}}) {
        ASSERT_TRUE(SetDefaultSink(sink));
        IMMDeviceEnumerator* enumerator = nullptr;
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                   IID_IMMDeviceEnumerator, reinterpret_cast<void**>(&enumerator)),
                  S_OK);
        IMMDevice* device = nullptr;
        ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, &device), S_OK);
        IAudioClient* client = nullptr;
        ASSERT_EQ(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                                   reinterpret_cast<void**>(&client)),
                  S_OK);
        WAVEFORMATEX* mix = nullptr;
        ASSERT_EQ(client->GetMixFormat(&mix), S_OK);
        ASSERT_EQ(
            client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                               AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0,
                               0, mix, nullptr),
            S_OK);
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(client->SetEventHandle(event), S_OK);
        IAudioCaptureClient* capture = nullptr;
        ASSERT_EQ(client->GetService(IID_IAudioCaptureClient, reinterpret_cast<void**>(&capture)),
                  S_OK);
        ASSERT_EQ(client->Start(), S_OK);
        std::thread player(
            [&] { Shell(std::string("timeout 2 paplay -d ") + sink + " " + SpeechFile()); });

        std::vector<UINT32> sizes;
        std::vector<size_t> wakes;                                // packets taken at each wake
        const auto end = Clock::now() + std::chrono::seconds(5);  // the sink resumes first
        while (sizes.size() < 50 && Clock::now() < end) {
            if (WaitForSingleObject(event, 100) != WAIT_OBJECT_0) {
                continue;
            }
            BYTE* data = nullptr;
            UINT32 count = 0;
            DWORD flags = 0;
            HRESULT got;
            const size_t before = sizes.size();
            while ((got = capture->GetBuffer(&data, &count, &flags, nullptr, nullptr)) == S_OK) {
                sizes.push_back(count);
                capture->ReleaseBuffer(count);
            }
            EXPECT_EQ(got, AUDCLNT_S_BUFFER_EMPTY) << sink;
            if (sizes.size() > before) {
                wakes.push_back(sizes.size() - before);
            }
        }
        player.join();
        EXPECT_GE(sizes.size(), 50u) << sink;
        EXPECT_EQ(std::count(sizes.begin(), sizes.end(), frames),
                  static_cast<std::ptrdiff_t>(sizes.size()))
            << sink;
        // 20 ms from the server at a time, two packets; a late wake (a busy host) takes more.
        std::sort(wakes.begin(), wakes.end());
        EXPECT_LE(wakes.empty() ? 0 : wakes[wakes.size() / 2], 2u) << sink;

        client->Stop();
        capture->Release();
        CloseHandle(event);
        CoTaskMemFree(mix);
        client->Release();
        device->Release();
        enumerator->Release();
    }
}

}  // namespace

// The capture stream's queue: packets across the ring's end, holes as silence, and what does
// not fit dropped (the newest, as an overflowing capture buffer loses it).
TEST(PacketQueue, TakesWholePacketsAcrossTheEndKeepsHolesSilentAndDropsTheOverflow) {
    pulse_audio::PacketQueue queue;
    queue.Reset(4, 10);
    uint8_t packet[4];
    EXPECT_FALSE(queue.HasPacket());
    queue.Append("abc", 3);
    EXPECT_FALSE(queue.Take(packet));
    queue.Append("defgh", 5);
    ASSERT_TRUE(queue.Take(packet));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet), 4), "abcd");
    queue.Append(nullptr, 2);     // a hole
    queue.Append("ijklmnop", 8);  // 6 queued before: only 4 fit
    ASSERT_TRUE(queue.Take(packet));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet), 4), "efgh");
    ASSERT_TRUE(queue.Take(packet));  // across the ring's end
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet), 4), std::string("\0\0ij", 4));
    EXPECT_FALSE(queue.HasPacket());
    queue.Append("qr", 2);
    ASSERT_TRUE(queue.Take(packet));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(packet), 4), "klqr");
    EXPECT_FALSE(queue.Take(packet));
}

// The process's client configuration: the user's own (or the system's), shared memory turned off
// after it; one the environment names is kept.
TEST(PulseClientConfig, TheUsersConfigurationWithSharedMemoryOffAfterIt) {
    const char* named = std::getenv("PULSE_CLIENTCONFIG");
    ASSERT_NE(named, nullptr);
    const std::string own = test_util::ReadFile(named);
    EXPECT_EQ(own.substr(own.size() - 16), "enable-shm = no\n");
    EXPECT_FALSE(pulse_audio::UseOwnClientConfig());
    EXPECT_STREQ(std::getenv("PULSE_CLIENTCONFIG"), named);

    EXPECT_EQ(pulse_audio::ClientConfigText(""), "enable-shm = no\n");
    EXPECT_EQ(pulse_audio::ClientConfigText("default-server = a\nenable-shm = yes"),
              "default-server = a\nenable-shm = yes\nenable-shm = no\n");
    test_util::TempDir config;
    const char* before = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = before != nullptr ? before : "";
    test_util::SetEnv("XDG_CONFIG_HOME", config.path());
    EXPECT_EQ(pulse_audio::CurrentClientConfigPath(), "/etc/pulse/client.conf");
    MakeDirectory((config / "pulse").c_str());
    std::ofstream(config / "pulse/client.conf") << "autospawn = no\n";
    EXPECT_EQ(pulse_audio::CurrentClientConfigPath(), config / "pulse/client.conf");
    test_util::SetEnv("XDG_CONFIG_HOME", saved);
}
