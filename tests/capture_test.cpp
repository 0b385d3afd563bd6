// CSpkLoopback on scripted endpoints: device selection, format negotiation, sample conversion
// and the capture loop.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "testing/scripted_audio.h"
#include "test_util.h"
#include "platform/seams.h"

#ifndef E_ACCESSDENIED
#define E_ACCESSDENIED ((HRESULT)0x80070005)
#endif

struct CSpkLoopbackProbe {
    static int32_t FrameLen(const CSpkLoopback& c) { return c.m_nFrameLen; }
    static int32_t Rate(const CSpkLoopback& c) { return c.m_nSamplesPerSec; }
    static int32_t Channels(const CSpkLoopback& c) { return c.m_nChannels; }
    static int32_t Bits(const CSpkLoopback& c) { return c.m_nBitsPerSample; }
    static int32_t FormatType(const CSpkLoopback& c) { return c.m_eFormatType; }
    static bool Preferred(const CSpkLoopback& c) { return c.m_bUsePreferredFormat; }
    static int32_t RingSize(const CSpkLoopback& c) { return c.m_nRingSize; }
    static int32_t WritePos(const CSpkLoopback& c) { return c.m_nWritePos; }
    static int32_t ReadPos(const CSpkLoopback& c) { return c.m_nReadPos; }
    static void SetWritePos(CSpkLoopback& c, int32_t at) { c.m_nWritePos = at; }
    static int16_t Ring(const CSpkLoopback& c, int32_t at) { return c.m_pRing[at]; }
    static bool HasResampler(const CSpkLoopback& c) { return c.m_pResampler != nullptr; }
    static bool StopAsked(const CSpkLoopback& c) { return c.m_bStop != 0; }
};

namespace {

using test_util::Count;

using Probe = CSpkLoopbackProbe;
using scripted_audio::Endpoint;
using scripted_audio::Extensible;
using scripted_audio::Format;
using scripted_audio::Packet;

const double kPi = std::acos(-1.0);
const char* const kPcm = "{00000001-0000-0010-8000-00aa00389b71}";
const char* const kFloat = "{00000003-0000-0010-8000-00aa00389b71}";
const char* const kOther = "{00000092-0000-0010-8000-00aa00389b71}";

// Accepts exactly the listed (tag, bits, rate) formats.
std::function<HRESULT(const WAVEFORMATEX&)> Accepting(
    std::vector<std::tuple<WORD, WORD, DWORD>> accepted) {
    return [accepted](const WAVEFORMATEX& format) {
        for (const auto& [tag, bits, rate] : accepted) {
            if (format.wFormatTag == tag && format.wBitsPerSample == bits &&
                format.nSamplesPerSec == rate) {
                return S_OK;
            }
        }
        return S_FALSE;
    };
}

Endpoint Speaker(std::vector<uint8_t> mix, std::function<HRESULT(const WAVEFORMATEX&)> accepts,
                 std::string guid = "{11111111-2222-3333-4444-555555555555}") {
    Endpoint endpoint;
    endpoint.guid = std::move(guid);
    endpoint.name = "Speakers (Room)";
    endpoint.mixFormat = std::move(mix);
    endpoint.isFormatSupported = std::move(accepts);
    return endpoint;
}

template <typename Sample>
Packet Frames(const std::vector<Sample>& samples, int channels) {
    Packet packet;
    packet.bytes.resize(samples.size() * sizeof(Sample));
    memcpy(packet.bytes.data(), samples.data(), packet.bytes.size());
    packet.frames = static_cast<UINT32>(samples.size() / channels);
    return packet;
}

Packet Bytes(std::vector<uint8_t> bytes, int bytesPerFrame) {
    Packet packet;
    packet.frames = static_cast<UINT32>(bytes.size() / bytesPerFrame);
    packet.bytes = std::move(bytes);
    return packet;
}

class Capture : public testing::Test {
  protected:
    void SetUp() override {
        // A start's poll and a stop's wait run out only where a test holds the capture thread.
        vesk_platform::SetTimeDivisor(20);
        vesk_platform::SetLockstepThreadWaits(true);
        // The system's own separator: the capture object checks for its folder's name.
        m_audioDir = m_root.path() + VESK_PATH_SEP "Vesk";
        MakeDirectory(m_audioDir.c_str());
        m_audioDir += VESK_PATH_SEP "Audio";
        MakeDirectory(m_audioDir.c_str());
        m_logger = std::make_unique<CVeskLogger>(m_audioDir.c_str(), "Audio");
    }
    void TearDown() override {
        m_capture.reset();
        EXPECT_EQ(scripted_audio::Recorded().liveObjects, 0) << "COM objects leaked";
        scripted_audio::Uninstall();
        vesk_platform::SetLockstepThreadWaits(false);
        vesk_platform::SetTimeDivisor(1);
    }

    CSpkLoopback& Make() {
        m_capture = std::make_unique<CSpkLoopback>(m_logger.get(), m_audioDir.c_str());
        return *m_capture;
    }

    // Configures a capture object for one endpoint and returns it.
    CSpkLoopback& Configured(Endpoint endpoint, HRESULT expected = S_OK) {
        scripted_audio::Install({std::move(endpoint)}, 0);
        CSpkLoopback& capture = Make();
        EXPECT_EQ(capture.ConfigDevice(), expected);
        return capture;
    }

    std::vector<int16_t> Convert(CSpkLoopback& capture, const Packet& packet) {
        const int32_t from = Probe::WritePos(capture);
        EXPECT_TRUE(capture.ConvertSamples(packet.bytes.data(), packet.frames));
        std::vector<int16_t> out;
        for (UINT32 i = 0; i < packet.frames; ++i) {
            out.push_back(Probe::Ring(capture, (from + i) % Probe::RingSize(capture)));
        }
        return out;
    }

    std::string Log() {
        m_capture.reset();
        m_logger.reset();
        return test_util::ReadText(m_audioDir + "/VeskZIZLog.txt");
    }

    test_util::TempDir m_root;
    std::string m_audioDir;
    std::unique_ptr<CVeskLogger> m_logger;
    std::unique_ptr<CSpkLoopback> m_capture;
};

TEST_F(Capture, ConvertsEveryFormatToMono16) {
    // 16-bit stereo: the gain is applied twice.
    CSpkLoopback* capture = &Configured(Speaker(Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32),
                                                Accepting({{WAVE_FORMAT_PCM, 16, 48000}})));
    EXPECT_EQ(Convert(*capture, Frames<int16_t>({20000, 20000, 32767, 32767, -32768, -32768}, 2)),
              (std::vector<int16_t>{19993, 23166, -23166}));

    capture = &Configured(Speaker(Format(WAVE_FORMAT_PCM, 1, 48000, 16), nullptr));
    EXPECT_EQ(Convert(*capture, Frames<int16_t>({-32768, 1, 32767, -5}, 1)),
              (std::vector<int16_t>{-32768, 1, 32767, -5}));

    // Float: stereo sums × 32767, mono clamps.
    capture = &Configured(Speaker(Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32),
                                  Accepting({{WAVE_FORMAT_IEEE_FLOAT, 32, 48000}})));
    EXPECT_EQ(Probe::FormatType(*capture), EN_WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(Convert(*capture, Frames<float>({1.0f, 1.0f, 0.5f, -0.25f, NAN, 0.0f}, 2)),
              (std::vector<int16_t>{23166, 5791, 0}));
    capture = &Configured(Speaker(Format(WAVE_FORMAT_IEEE_FLOAT, 1, 48000, 32),
                                  Accepting({{WAVE_FORMAT_IEEE_FLOAT, 32, 48000}})));
    EXPECT_EQ(Convert(*capture, Frames<float>({1.5f, -1.5f, 0.5f}, 1)),
              (std::vector<int16_t>{32767, -32768, 16383}));

    // 8-bit: unsigned around 128.
    capture = &Configured(
        Speaker(Format(WAVE_FORMAT_PCM, 1, 16000, 8), Accepting({{WAVE_FORMAT_PCM, 8, 16000}})));
    EXPECT_EQ(Convert(*capture, Bytes({128, 255, 0}, 1)), (std::vector<int16_t>{0, 32512, -32768}));

    // Six channels: PCM sums the first four, float all six; both scale by 0.5.
    capture = &Configured(
        Speaker(Extensible(kPcm, 6, 48000, 16), Accepting({{WAVE_FORMAT_EXTENSIBLE, 16, 48000}})));
    EXPECT_EQ(Convert(*capture, Frames<int16_t>({1000, 2000, 3000, 4000, 30000, 30000}, 6)),
              (std::vector<int16_t>{5000}));
    capture = &Configured(Speaker(Extensible(kFloat, 6, 48000, 32),
                                  Accepting({{WAVE_FORMAT_EXTENSIBLE, 32, 48000}})));
    EXPECT_EQ(Convert(*capture, Frames<float>({0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f}, 6)),
              (std::vector<int16_t>{9830}));

    // 24 and 32 bits: the most significant 16 bits of each sample.
    capture = &Configured(
        Speaker(Format(WAVE_FORMAT_PCM, 1, 48000, 24), Accepting({{WAVE_FORMAT_PCM, 24, 48000}})));
    EXPECT_EQ(Convert(*capture, Bytes({0xFF, 0x34, 0x12, 0x00, 0x00, 0x80}, 3)),
              (std::vector<int16_t>{0x1234, -32768}));
    capture = &Configured(
        Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 32), Accepting({{WAVE_FORMAT_PCM, 32, 48000}})));
    EXPECT_EQ(Convert(*capture, Frames<int32_t>({0x10000000, 0x10000000}, 2)),
              (std::vector<int16_t>{static_cast<int16_t>(8192.0f * 0.707f)}));

    // The write position wraps within a packet.
    Probe::SetWritePos(*capture, Probe::RingSize(*capture) - 1);
    capture->ConvertSamples(Frames<int32_t>({0, 0, 0x10000000, 0}, 2).bytes.data(), 2);
    EXPECT_EQ(Probe::WritePos(*capture), 1);
    EXPECT_EQ(Probe::Ring(*capture, 0), static_cast<int16_t>(4096.0f * 0.707f));
}

TEST_F(Capture, NegotiatesTheStreamFormat) {
    // Float 48000 whose engine takes 16-bit PCM at 48000: the preferred format.
    CSpkLoopback* capture = &Configured(Speaker(Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32),
                                                Accepting({{WAVE_FORMAT_PCM, 16, 48000}})));
    EXPECT_TRUE(Probe::Preferred(*capture));
    EXPECT_EQ(Probe::FormatType(*capture), EN_WAVE_FORMAT_PCM);
    EXPECT_EQ(Probe::Bits(*capture), 16);
    EXPECT_EQ(Probe::Channels(*capture), 2);
    EXPECT_EQ(Probe::FrameLen(*capture), 960);
    EXPECT_EQ(Probe::RingSize(*capture), 4800);
    EXPECT_EQ(Probe::WritePos(*capture), 960);
    EXPECT_EQ(Probe::ReadPos(*capture), 0);

    // 44100 whose engine also takes 48000: 48000 is tried first and wins.
    capture = &Configured(
        Speaker(Format(WAVE_FORMAT_PCM, 2, 44100, 16),
                Accepting({{WAVE_FORMAT_PCM, 16, 44100}, {WAVE_FORMAT_PCM, 16, 48000}})));
    EXPECT_EQ(Probe::Rate(*capture), 48000);
    // Only 44100: the resampler path with its state.
    capture = &Configured(Speaker(Format(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32), nullptr));
    EXPECT_EQ(Probe::Rate(*capture), 44100);
    EXPECT_EQ(Probe::FrameLen(*capture), 882);
    EXPECT_TRUE(Probe::HasResampler(*capture));
    const std::vector<std::string> calls = scripted_audio::Recorded().calls;
    std::vector<std::string> tried;
    for (const std::string& call : calls) {
        if (call.rfind("IsFormatSupported", 0) == 0) {
            tried.push_back(call.substr(18));
        }
    }
    EXPECT_EQ(tried, (std::vector<std::string>{"1/2/48000/16", "1/2/32000/16", "1/2/16000/16",
                                               "1/2/8000/16", "1/2/44100/16"}));

    // 96000 with nothing accepted: both loops run through the five rates, then fail.
    capture = &Configured(Speaker(Format(WAVE_FORMAT_IEEE_FLOAT, 2, 96000, 32), nullptr), E_FAIL);
    tried.clear();
    for (const std::string& call : scripted_audio::Recorded().calls) {
        if (call.rfind("IsFormatSupported", 0) == 0) {
            tried.push_back(call.substr(18));
        }
    }
    EXPECT_EQ(tried,
              (std::vector<std::string>{
                  "1/2/48000/16", "1/2/32000/16", "1/2/16000/16", "1/2/8000/16", "1/2/44100/16",
                  "3/2/48000/32", "3/2/32000/32", "3/2/16000/32", "3/2/8000/32", "3/2/44100/32"}));

    // Extensible with an unknown sub-format: PCM when the preferred format is taken…
    capture = &Configured(
        Speaker(Extensible(kOther, 2, 48000, 32), Accepting({{WAVE_FORMAT_PCM, 16, 48000}})));
    EXPECT_EQ(Probe::FormatType(*capture), EN_WAVE_FORMAT_PCM);
    // …otherwise no known type, and every packet is refused.
    capture = &Configured(Speaker(Extensible(kOther, 2, 48000, 32),
                                  Accepting({{WAVE_FORMAT_EXTENSIBLE, 32, 48000}})));
    EXPECT_EQ(Probe::FormatType(*capture), EN_WAVE_FORMAT_NONE);
    const Packet packet = Frames<float>({0.5f, 0.5f}, 2);
    EXPECT_FALSE(capture->ConvertSamples(packet.bytes.data(), packet.frames));

    // 20 bits and unknown tags are refused; so is a failing mix format query.
    Configured(Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 20), nullptr), E_FAIL);
    Configured(Speaker(Format(0x0055, 2, 48000, 16), nullptr), E_FAIL);
    scripted_audio::Install({Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr)}, 0);
    scripted_audio::Fail("GetMixFormat", E_OUTOFMEMORY);
    EXPECT_EQ(Make().ConfigDevice(), E_OUTOFMEMORY);

    const std::string log = Log();
    EXPECT_EQ(Count(log, "IsFormatSupported() Failed to find a supported sampling rate\n"), 1u);
    EXPECT_EQ(Count(log, "CheckFormat() | Failed, unsupported BitsPerSample wBitsPerSample = 20\n"),
              1u);
    EXPECT_EQ(Count(log, "Unsupported m_pWfx->wFormatTag == 0x55\n"), 1u);
    EXPECT_EQ(Count(log,
                    "Unexpected m_eFormatType, we support EN_WAVE_FORMAT_PCM and "
                    "EN_WAVE_FORMAT_IEEE_FLOAT.\n"),
              1u);
    EXPECT_EQ(Count(log, "m_pAudioClient->GetMixFormat() Failed.\n"), 1u);
}

TEST_F(Capture, ListsTheEndpointsAndSelectsTheDefault) {
    std::vector<Endpoint> endpoints = {
        Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr,
                "{00000000-0000-0000-0000-00000000000A}"),
        Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr,
                "{00000000-0000-0000-0000-00000000000B}"),
        Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr,
                "{00000000-0000-0000-0000-00000000000C}"),
    };
    endpoints[0].name = "HDMI";
    endpoints[1].name = "Room speakers";
    endpoints[2].name = "Headset";
    scripted_audio::Install(endpoints, 1);
    CSpkLoopback& capture = Make();
    EXPECT_EQ(capture.ConfigDevice(), S_OK);
    EXPECT_EQ(capture.m_bDeviceFound, 1);
    EXPECT_EQ(test_util::ReadText(m_audioDir + "/detected_audio_output_devices.txt"),
              "  | 0, {00000000-0000-0000-0000-00000000000A}, HDMI\n"
              "D | 1, {00000000-0000-0000-0000-00000000000B}, Room speakers\n"
              "  | 2, {00000000-0000-0000-0000-00000000000C}, Headset\n");

    // A default endpoint whose name cannot be read is listed in the plain form; a failing
    // property store ends the configuration with its result.
    endpoints[1].nameReadFails = true;
    endpoints[1].guid = "{00000000-0000-0000-0000-00000000000D}";
    scripted_audio::Install({endpoints[0], endpoints[1]}, 1);
    EXPECT_EQ(Make().ConfigDevice(), S_OK);  // selected (by GUID) though not "default"
    EXPECT_EQ(test_util::ReadText(m_audioDir + "/detected_audio_output_devices.txt"),
              "  | 0, {00000000-0000-0000-0000-00000000000A}, HDMI\n"
              "  | 1, {00000000-0000-0000-0000-00000000000D}, HDMI\n");
    scripted_audio::Install({endpoints[0], endpoints[2]}, 0);
    scripted_audio::Fail("OpenPropertyStore", E_ACCESSDENIED, 1);  // the default's
    EXPECT_EQ(Make().ConfigDevice(), E_ACCESSDENIED);

    const std::string log = Log();
    EXPECT_EQ(Count(log, "Selected device found: {00000000-0000-0000-0000-00000000000B}\n"), 1u);
    EXPECT_NE(log.find("1 GUID: {00000000-0000-0000-0000-00000000000B}, len: 38 szDeviceName: "
                       "Room speakers\n"),
              std::string::npos);
    EXPECT_EQ(Count(log,
                    "ZIZ output device is not configured, use default output device, giud: "
                    "{00000000-0000-0000-0000-00000000000B}\n"),
              1u);
}

TEST_F(Capture, RefusesAnUnexpectedFolder) {
    scripted_audio::Install({Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr)}, 0);
    CSpkLoopback outside(m_logger.get(), m_root.path().c_str());  // exists, no Vesk/Audio part
    EXPECT_EQ(outside.ConfigDevice(), E_FAIL);
    CSpkLoopback missing(
        m_logger.get(),
        (m_root.path() + VESK_PATH_SEP "x" VESK_PATH_SEP "Vesk" VESK_PATH_SEP "Audio").c_str());
    EXPECT_EQ(missing.ConfigDevice(), E_FAIL);
    EXPECT_TRUE(scripted_audio::Recorded().calls.empty());
}

// A steady tone from the first packet on: the ring's two silent blocks come first.
TEST_F(Capture, CaptureLoopDetectsOneBlockPerPacketAfterTwoSilentBlocks) {
    scripted_audio::Install({Speaker(Format(WAVE_FORMAT_PCM, 1, 48000, 16), nullptr)}, 0);
    CSpkLoopback& capture = Make();
    ASSERT_EQ(capture.Start(), 1);
    EXPECT_EQ(scripted_audio::Recorded().initializeFlags, (std::vector<DWORD>{0x60000}));

    std::vector<int16_t> tone(480);
    for (int n = 0; n < 480; ++n) {
        tone[n] =
            static_cast<int16_t>(std::lround(1000 * std::cos(2 * kPi * 400 * (n - 240) / 48000.0)));
    }
    std::vector<int32_t> results;
    const int32_t packetsBefore = CSpkLoopback::s_nPackets;
    for (int packet = 0; packet < 4; ++packet) {
        // Wake-ups without a packet in between change nothing: no packet, no block, no release.
        ASSERT_TRUE(scripted_audio::WakeWithoutPacket());
        ASSERT_TRUE(scripted_audio::Deliver(Frames(tone, 1)));
        results.push_back(capture.m_nSignalDetected);
    }
    EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 10, 10}));
    EXPECT_EQ(CSpkLoopback::s_nPackets - packetsBefore, 4);
    const std::vector<std::string> calls = scripted_audio::Recorded().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "GetBuffer"), 8);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "ReleaseBuffer"), 4);

    // Silence: the hangover runs down one per packet.
    const std::vector<int16_t> silence(480, 0);
    for (int packet = 0; packet < 2; ++packet) {
        ASSERT_TRUE(scripted_audio::Deliver(Frames(silence, 1)));
    }
    EXPECT_EQ(capture.m_nSignalDetected, 10);  // the ring is two blocks behind
    ASSERT_TRUE(scripted_audio::Deliver(Frames(silence, 1)));
    EXPECT_EQ(capture.m_nSignalDetected, 9);

    // A restart, then 5 ms packets: the start-up backlog of two blocks runs down, until a
    // packet leaves exactly one block pending, which is taken; half a block is not.
    ASSERT_TRUE(capture.Stop());
    ASSERT_EQ(capture.Start(), 1);
    // The old stream's detection is not reported by the new one before its first block (the
    // notifier would send a stale "true").
    EXPECT_EQ(capture.m_nSignalDetected, 0);
    const std::vector<int16_t> halfBlock(240, 0);
    const int32_t blocksBefore = CSpkLoopback::s_nBlocks;
    for (int packet = 0; packet < 4; ++packet) {  // pending: 2.5, 2, 1.5, then 1 block
        ASSERT_TRUE(scripted_audio::Deliver(Frames(halfBlock, 1)));
        EXPECT_EQ(CSpkLoopback::s_nBlocks - blocksBefore, packet + 1);
    }
    EXPECT_EQ(Probe::ReadPos(capture), 4 * 480);
    ASSERT_TRUE(scripted_audio::Deliver(Frames(halfBlock, 1)));
    EXPECT_EQ(CSpkLoopback::s_nBlocks - blocksBefore, 4);
    EXPECT_EQ(Probe::ReadPos(capture), 4 * 480);

    // 20 ms packets: still one block each; the backlog grows without an error.
    const std::vector<int16_t> long_packet(960, 0);
    for (int packet = 0; packet < 12; ++packet) {
        ASSERT_TRUE(scripted_audio::Deliver(Frames(long_packet, 1)));
    }
    EXPECT_TRUE(capture.Stop());
    EXPECT_EQ(capture.m_bRunning, 0);
}

TEST_F(Capture, ResamplesA44kStreamBeforeDetection) {
    scripted_audio::Install({Speaker(Format(WAVE_FORMAT_PCM, 1, 44100, 16), nullptr)}, 0);
    CSpkLoopback& capture = Make();
    ASSERT_EQ(capture.Start(), 1);
    std::vector<int16_t> tone(441);
    std::vector<int32_t> results;
    for (int packet = 0; packet < 6; ++packet) {
        for (int n = 0; n < 441; ++n) {
            tone[n] = static_cast<int16_t>(
                std::lround(3000 * std::sin(2 * kPi * 1200 * (packet * 441 + n) / 44100.0)));
        }
        ASSERT_TRUE(scripted_audio::Deliver(Frames(tone, 1)));
        results.push_back(capture.m_nSignalDetected);
    }
    EXPECT_EQ(results, (std::vector<int32_t>{0, 0, 10, 10, 10, 10}));
    EXPECT_EQ(Probe::ReadPos(capture), 6 * 441 % 4410);
}

// Many Start polls and Stop waits, at a twentieth of their time: the thread's own waits of 50 ms
// keep the restarts quick.
constexpr unsigned kRestartsDivisor = 20;

TEST_F(Capture, FailuresEndTheThreadAndARestartRecovers) {
    vesk_platform::SetTimeDivisor(kRestartsDivisor);
    scripted_audio::Install({Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr)}, 0);
    CSpkLoopback& capture = Make();
    for (const char* call : {"CoCreateInstance", "Activate", "GetDevicePeriod", "Initialize",
                             "SetEventHandle", "GetService", "GetBufferSize", "Start"}) {
        scripted_audio::Fail(call, E_FAIL);
        EXPECT_EQ(capture.Start(), 0) << call;
        EXPECT_TRUE(capture.Stop()) << call;  // the thread has ended already
        EXPECT_EQ(capture.m_bRunning, 0) << call;
        scripted_audio::Fail(call, S_OK);
    }
    // The controller starts again without a Stop after a thread ended by itself: each start
    // closes the ended thread's handle instead of dropping it.
    scripted_audio::Fail("CoCreateInstance", E_FAIL);
    DWORD handlesBefore = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesBefore));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(capture.Start(), 0);
    }
    DWORD handlesAfter = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesAfter));
    EXPECT_LE(handlesAfter, handlesBefore + 1);

    // At full time scale: a thread that failed ends Start's poll (a stop of the service must
    // not wait out 5 s of it), with the same result.
    vesk_platform::SetTimeDivisor(1);
    auto start = std::async(std::launch::async, [&capture] { return capture.Start(); });
    ASSERT_EQ(start.wait_for(std::chrono::milliseconds(2500)), std::future_status::ready);
    EXPECT_EQ(start.get(), 0);
    vesk_platform::SetTimeDivisor(kRestartsDivisor);
    scripted_audio::Fail("CoCreateInstance", S_OK);

    // During capture: a failed GetBuffer ends the loop.
    ASSERT_EQ(capture.Start(), 1);
    scripted_audio::Fail("GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED);
    ASSERT_TRUE(scripted_audio::Deliver(Frames<int16_t>({0, 0}, 2), false));
    EXPECT_TRUE(test_util::WaitFor([&capture] { return capture.m_bRunning == 0; },
                                   std::chrono::seconds(30)));
    scripted_audio::Fail("GetBuffer", S_OK);
    capture.Stop();

    // The aligned retry: a second client, initialised with the aligned duration.
    scripted_audio::Fail("Initialize", AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED, 1);
    ASSERT_EQ(capture.Start(), 1);
    const std::vector<REFERENCE_TIME> durations = scripted_audio::Recorded().initializeDurations;
    ASSERT_GE(durations.size(), 2u);
    EXPECT_EQ(durations[durations.size() - 2], 0);
    EXPECT_EQ(durations.back(), static_cast<REFERENCE_TIME>(10000000.0 / 48000 * 1056 + 0.5));
    EXPECT_TRUE(capture.Stop());

    // Many restarts leave nothing behind (checked in TearDown).
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(capture.Start(), 1);
        ASSERT_TRUE(capture.Stop());
    }
}

#ifndef _WIN32
// Refused its audio scheduling (a user without real-time rights, in a child process), the
// capture thread captures as before, and the refusal is logged once however often it starts.
TEST_F(Capture, RefusedAudioSchedulingIsLoggedOnceAndCaptureRuns) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            if (!test_util::DropRealTimeRights()) {
                std::_Exit(2);
            }
            scripted_audio::Install({Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr)}, 0);
            CSpkLoopback& capture = Make();
            for (int i = 0; i < 3; ++i) {
                if (capture.Start() != 1 || !capture.Stop()) {
                    std::_Exit(3);
                }
            }
            std::_Exit(Count(Log(), "the capture thread runs at normal priority.\n") == 1 ? 0 : 4);
        },
        testing::ExitedWithCode(0), "");
}
#endif

TEST_F(Capture, StopWhileConfiguringStartsAndStopsTheClientAtOnce) {
    scripted_audio::Install({Speaker(Format(WAVE_FORMAT_PCM, 2, 48000, 16), nullptr)}, 0);
    CSpkLoopback& capture = Make();
    // Configuring until the stop is asked for.
    scripted_audio::BlockActivate(true, [&capture] { return Probe::StopAsked(capture); });
    EXPECT_EQ(capture.Start(), 0);  // the poll ends while the thread is configuring
    EXPECT_TRUE(capture.Stop());
    EXPECT_EQ(capture.m_bRunning, 0);
    const std::vector<std::string> calls = scripted_audio::Recorded().calls;
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "Start");
    EXPECT_EQ(calls.back(), "Stop");
}

}  // namespace
