// The Windows capture loop on real WASAPI endpoints (run under Wine with a PulseAudio null
// sink, see scripts/wine-tests). Wine does not deliver loopback data, so the endpoint seam
// hands the capture object the monitor of the default output, a capture endpoint: the event,
// GetBuffer, ReleaseBuffer, conversion and detection are the real ones. The test plays into
// the default output through WASAPI itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "platform/com_object.h"
#include "test_util.h"
#include "platform/seams.h"

// The system's own enumerator, beneath the seam.
#undef CoCreateInstance

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kTwoPi = 6.283185307179586;

std::string FriendlyName(IMMDevice* device) {
    IPropertyStore* store = nullptr;
    std::string name;
    if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, &store))) {
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &value)) && value.vt == VT_LPWSTR) {
            for (const wchar_t* c = value.pwszVal; *c != L'\0'; ++c) {
                name += *c < 0x80 ? static_cast<char>(*c) : '?';
            }
        }
        PropVariantClear(&value);
        store->Release();
    }
    return name;
}

// The system's endpoints, with the monitor of the default output standing in for the
// default output and the capture endpoints for the output list.
class MonitorEnumerator final : public vesk_platform::ComObject<IMMDeviceEnumerator> {
  public:
    MonitorEnumerator(IMMDeviceEnumerator* system, IMMDevice* monitor)
        : ComObject(IID_IMMDeviceEnumerator), m_system(system), m_monitor(monitor) {
        m_system->AddRef();
        m_monitor->AddRef();
    }
    ~MonitorEnumerator() override {
        m_monitor->Release();
        m_system->Release();
    }
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD mask,
                                                 IMMDeviceCollection** devices) override {
        return m_system->EnumAudioEndpoints(eCapture, mask, devices);
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole,
                                                      IMMDevice** device) override {
        m_monitor->AddRef();
        *device = m_monitor;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) override {
        return m_system->GetDevice(id, device);
    }
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        return m_system->RegisterEndpointNotificationCallback(client);
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        return m_system->UnregisterEndpointNotificationCallback(client);
    }

  private:
    IMMDeviceEnumerator* m_system;
    IMMDevice* m_monitor;
};

IMMDeviceEnumerator* g_system = nullptr;
IMMDevice* g_monitor = nullptr;

HRESULT CreateMonitorEnumerator(IMMDeviceEnumerator** enumerator) {
    *enumerator = new MonitorEnumerator(g_system, g_monitor);
    return S_OK;
}

// Plays into the default output in shared mode: silence, or while `tone` is set a chord of
// 300, 1200 and 2500 Hz at about -10 dBFS.
class Player {
  public:
    explicit Player(IMMDevice* output) {
        if (FAILED(output->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                                    reinterpret_cast<void**>(&m_client))) ||
            FAILED(m_client->GetMixFormat(&m_format)) ||
            FAILED(
                m_client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 2000000, 0, m_format, nullptr)) ||
            FAILED(m_client->GetBufferSize(&m_bufferFrames)) ||
            FAILED(m_client->GetService(__uuidof(IAudioRenderClient),
                                        reinterpret_cast<void**>(&m_render))) ||
            FAILED(m_client->Start())) {
            return;
        }
        GUID floatSubFormat;
        GuidFromString("{00000003-0000-0010-8000-00aa00389b71}", &floatSubFormat);
        m_float = m_format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
                  (m_format->wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
                   IsEqualGUID(reinterpret_cast<WAVEFORMATEXTENSIBLE*>(m_format)->SubFormat,
                               floatSubFormat));
        m_ready = m_float || m_format->wBitsPerSample == 16;
        m_thread = std::thread([this] { Run(); });
    }
    ~Player() {
        m_stop = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
        if (m_client != nullptr) {
            m_client->Stop();
        }
        if (m_render != nullptr) {
            m_render->Release();
        }
        if (m_client != nullptr) {
            m_client->Release();
        }
        CoTaskMemFree(m_format);
    }
    bool ready() const { return m_ready; }
    std::atomic<bool> tone{false};

  private:
    void Run() {
        const double rate = m_format->nSamplesPerSec;
        const int channels = m_format->nChannels;
        while (!m_stop) {
            UINT32 padding = 0;
            BYTE* data = nullptr;
            if (SUCCEEDED(m_client->GetCurrentPadding(&padding))) {
                const UINT32 frames = m_bufferFrames - padding;
                if (frames > 0 && SUCCEEDED(m_render->GetBuffer(frames, &data))) {
                    for (UINT32 i = 0; i < frames; ++i, ++m_frame) {
                        const double t = static_cast<double>(m_frame) / rate;
                        const double value =
                            tone ? 0.1 * (std::sin(kTwoPi * 300 * t) + std::sin(kTwoPi * 1200 * t) +
                                          std::sin(kTwoPi * 2500 * t))
                                 : 0.0;
                        for (int c = 0; c < channels; ++c) {
                            if (m_float) {
                                reinterpret_cast<float*>(data)[i * channels + c] =
                                    static_cast<float>(value);
                            } else {
                                reinterpret_cast<int16_t*>(data)[i * channels + c] =
                                    static_cast<int16_t>(value * 32767);
                            }
                        }
                    }
                    m_render->ReleaseBuffer(frames, 0);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    IAudioClient* m_client = nullptr;
    IAudioRenderClient* m_render = nullptr;
    WAVEFORMATEX* m_format = nullptr;
    UINT32 m_bufferFrames = 0;
    bool m_float = false;
    bool m_ready = false;
    uint64_t m_frame = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class WasapiCapture : public testing::Test {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                    IID_IMMDeviceEnumerator,
                                    reinterpret_cast<void**>(&g_system))) ||
            FAILED(g_system->GetDefaultAudioEndpoint(eRender, eMultimedia, &m_output))) {
            GTEST_SKIP() << "no audio output; run through scripts/with-pulse under Wine";
        }
        m_outputName = FriendlyName(m_output);
        // Wine's default output is an alias of the sound server's default sink, so the script
        // names the monitor to use.
        const char* monitorName = std::getenv("VESK_MONITOR_NAME");
        if (monitorName == nullptr || monitorName[0] == '\0') {
            GTEST_SKIP() << "VESK_MONITOR_NAME names no monitor input";
        }
        m_monitorName = monitorName;
        IMMDeviceCollection* inputs = nullptr;
        UINT count = 0;
        if (SUCCEEDED(g_system->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &inputs)) &&
            SUCCEEDED(inputs->GetCount(&count))) {
            for (UINT i = 0; i < count && g_monitor == nullptr; ++i) {
                IMMDevice* input = nullptr;
                if (SUCCEEDED(inputs->Item(i, &input))) {
                    if (FriendlyName(input) == m_monitorName) {
                        g_monitor = input;
                    } else {
                        input->Release();
                    }
                }
            }
            inputs->Release();
        }
        if (g_monitor == nullptr) {
            GTEST_SKIP() << "no input \"" << m_monitorName << "\"";
        }
        m_audioDir = m_root.path() + "\\Vesk";
        MakeDirectory(m_audioDir.c_str());
        m_audioDir += "\\Audio";
        MakeDirectory(m_audioDir.c_str());
        m_logger = std::make_unique<CVeskLogger>(m_audioDir.c_str(), "Audio");
        vesk_platform::SetAudioEndpoints(CreateMonitorEnumerator);
    }

    void TearDown() override {
        vesk_platform::SetAudioEndpoints(nullptr);
        m_logger.reset();
        for (IUnknown** object :
             {reinterpret_cast<IUnknown**>(&g_monitor), reinterpret_cast<IUnknown**>(&m_output),
              reinterpret_cast<IUnknown**>(&g_system)}) {
            if (*object != nullptr) {
                (*object)->Release();
                *object = nullptr;
            }
        }
        CoUninitialize();
    }

    IMMDevice* m_output = nullptr;
    std::string m_outputName;
    std::string m_monitorName;
    test_util::TempDir m_root;
    std::string m_audioDir;
    std::unique_ptr<CVeskLogger> m_logger;
};

TEST_F(WasapiCapture, DetectsWhatTheOutputPlaysAndNeverSilence) {
    Player player(m_output);
    ASSERT_TRUE(player.ready()) << "cannot play into \"" << m_outputName << "\"";
    CSpkLoopback capture(m_logger.get(), m_audioDir.c_str());
    ASSERT_EQ(capture.Start(), 1);
    EXPECT_EQ(capture.m_bDeviceFound, 1);

    // Packets flow within a few seconds of the start.
    const int32_t packetsAtStart = CSpkLoopback::s_nPackets;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (CSpkLoopback::s_nPackets - packetsAtStart < 50 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GE(CSpkLoopback::s_nPackets - packetsAtStart, 50) << "no packets from the monitor";

    EXPECT_EQ(test_util::LargestOver(capture.m_nSignalDetected, 1000), 0) << "detected silence";
    player.tone = true;
    EXPECT_GT(test_util::LargestOver(capture.m_nSignalDetected, 1500), 0) << "missed the chord";
    player.tone = false;
    const auto toneEnded = Clock::now();
    while (capture.m_nSignalDetected != 0 && Clock::now() - toneEnded < std::chrono::seconds(3)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(capture.m_nSignalDetected, 0) << "still detecting 3 s after the chord";

    EXPECT_TRUE(capture.Stop());
    const std::string list =
        test_util::ReadText(m_audioDir + "\\detected_audio_output_devices.txt");
    EXPECT_NE(list.find(", " + m_monitorName + "\n"), std::string::npos) << list;
    EXPECT_EQ(test_util::Count(list, "D | "), 1u) << list;
}

}  // namespace
