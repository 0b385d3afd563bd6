#include "platform/linux/pulse/pulse_capture.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/com_object.h"
#include "platform/linux/event_pump.h"
#include "platform/linux/pulse/packet_queue.h"
#include "platform/linux/pulse/pulse_format.h"
#include "platform/linux/pulse/pulse_sink_watch.h"

namespace pulse_audio {
namespace {

using vesk_platform::ComObject;

constexpr REFERENCE_TIME kDevicePeriod = 100000;  // 10 ms in 100-ns units
constexpr REFERENCE_TIME kMinimumPeriod = 30000;
// What the server hands over at a time: two packets. Each fragment costs a wake-up of the
// capture thread (and the server's own), so 20 ms halve the cost of 10 ms; the far end's voice
// then reaches the detector at most 10 ms later, which keeps the worst onset within 150 ms.
constexpr pa_usec_t kFragmentUsec = 20000;
constexpr int kBufferMs = 200;  // reported buffer size
constexpr int64_t kLongestIterationUsec = 1000000;
constexpr auto kRequestDeadline = std::chrono::seconds(3);

class AudioClient;

class CaptureClient final : public ComObject<IAudioCaptureClient> {
  public:
    explicit CaptureClient(AudioClient* client);
    ~CaptureClient() override;
    HRESULT GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                      UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) override;
    HRESULT ReleaseBuffer(UINT32 numFramesRead) override;

  private:
    AudioClient* m_client;
};

// The loopback stream on a connection of its own, whose events run on the thread that uses the
// client (the capture thread): while it waits for its packet event, it reads the server's
// socket itself (event_pump.h). So each fragment from the server wakes one thread, not a
// libpulse thread that would have to take the data and wake the capture thread in turn.
class AudioClient final : public ComObject<IAudioClient> {
  public:
    explicit AudioClient(Sink sink) : ComObject(IID_IAudioClient), m_sink(std::move(sink)) {}

    ~AudioClient() override {
        if (m_event != nullptr) {
            vesk_platform::SetEventPump(m_event, nullptr);
        }
        if (m_stream != nullptr) {
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_set_read_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
        }
        if (m_context != nullptr) {
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        if (m_loop != nullptr) {
            pa_mainloop_free(m_loop);
        }
    }

    HRESULT Initialize(AUDCLNT_SHAREMODE shareMode, DWORD /*streamFlags*/,
                       REFERENCE_TIME /*hnsBufferDuration*/, REFERENCE_TIME /*hnsPeriodicity*/,
                       const WAVEFORMATEX* pFormat, const GUID* /*audioSessionGuid*/) override {
        if (m_stream != nullptr) {
            return AUDCLNT_E_ALREADY_INITIALIZED;
        }
        pa_sample_spec spec;
        if (shareMode != AUDCLNT_SHAREMODE_SHARED || !StreamSpecOf(pFormat, &spec)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        pa_channel_map map;
        if (spec.channels == m_sink.spec.channels) {
            map = m_sink.map;
        } else {
            pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        }
        m_frameBytes = static_cast<UINT32>(pa_frame_size(&spec));
        m_packet.assign(static_cast<size_t>(spec.rate / 100) * m_frameBytes, 0);
        m_queue.Reset(m_packet.size(),
                      static_cast<size_t>(spec.rate) * kBufferMs / 1000 * m_frameBytes);
        if (!Connect()) {
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        m_stream = pa_stream_new(m_context, "VeskAudioService loopback", &spec, &map);
        if (m_stream == nullptr) {
            return E_FAIL;
        }
        pa_stream_set_state_callback(m_stream, OnStreamState, this);
        pa_stream_set_read_callback(m_stream, OnReadable, this);
        pa_buffer_attr attributes;
        memset(&attributes, 0xFF, sizeof attributes);  // server defaults, except:
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &spec));
        // Small fragments (the default would be ~2 s). The stream stays on this sink's monitor:
        // when the sink goes, the stream fails and capture is restarted, instead of being moved
        // silently to another source. It also keeps the sink from suspending, so the far end's
        // first words are not lost to a resume that can take seconds.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
        if (pa_stream_connect_record(m_stream, m_sink.monitor.c_str(), &attributes, flags) < 0) {
            return E_FAIL;
        }
        RunUntil([this] { return pa_stream_get_state(m_stream) != PA_STREAM_CREATING; });
        return pa_stream_get_state(m_stream) == PA_STREAM_READY ? S_OK
                                                                : AUDCLNT_E_DEVICE_INVALIDATED;
    }

    HRESULT GetBufferSize(UINT32* pNumBufferFrames) override {
        if (pNumBufferFrames == nullptr) {
            return E_POINTER;
        }
        if (m_stream == nullptr) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        *pNumBufferFrames = m_sink.spec.rate * kBufferMs / 1000;
        return S_OK;
    }

    // Shared mode takes the sink's own rate and channel count, in any sample format.
    HRESULT IsFormatSupported(AUDCLNT_SHAREMODE shareMode, const WAVEFORMATEX* pFormat,
                              WAVEFORMATEX** ppClosestMatch) override {
        if (ppClosestMatch != nullptr) {
            *ppClosestMatch = nullptr;
        }
        pa_sample_spec spec;
        if (shareMode != AUDCLNT_SHAREMODE_SHARED || !StreamSpecOf(pFormat, &spec)) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        if (spec.rate == m_sink.spec.rate && spec.channels == m_sink.spec.channels) {
            return S_OK;
        }
        if (ppClosestMatch != nullptr) {
            *ppClosestMatch = MixFormatOf(m_sink.spec);
        }
        return S_FALSE;
    }

    HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) override {
        if (ppDeviceFormat == nullptr) {
            return E_POINTER;
        }
        *ppDeviceFormat = MixFormatOf(m_sink.spec);
        return *ppDeviceFormat != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) override {
        if (defaultPeriod != nullptr) {
            *defaultPeriod = kDevicePeriod;
        }
        if (minimumPeriod != nullptr) {
            *minimumPeriod = kMinimumPeriod;
        }
        return S_OK;
    }

    HRESULT Start() override { return Cork(false); }
    HRESULT Stop() override { return Cork(true); }

    HRESULT SetEventHandle(HANDLE eventHandle) override {
        if (eventHandle == nullptr) {
            return E_INVALIDARG;
        }
        if (m_event != nullptr) {
            vesk_platform::SetEventPump(m_event, nullptr);
        }
        m_event = eventHandle;
        vesk_platform::SetEventPump(m_event,
                                    [this](std::chrono::microseconds limit) { Iterate(limit); });
        return S_OK;
    }

    HRESULT GetService(REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (m_stream == nullptr) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (!IsEqualGUID(riid, IID_IAudioCaptureClient)) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IAudioCaptureClient*>(new CaptureClient(this));
        return S_OK;
    }

    // One packet of 10 ms, as the Windows engine delivers them: the server's fragments
    // vary in size, and one packet must never carry more than one detector block.
    HRESULT GetBuffer(BYTE** data, UINT32* frames, DWORD* flags) {
        *frames = 0;
        *flags = 0;
        if (m_failed) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (!m_queue.Take(m_packet.data())) {
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        *data = m_packet.data();
        *frames = static_cast<UINT32>(m_packet.size() / m_frameBytes);
        return S_OK;
    }

    HRESULT ReleaseBuffer() {
        // The capture loop takes one packet per wake: wake it again while more are queued.
        if (m_queue.HasPacket()) {
            Signal();
        }
        return S_OK;
    }

  private:
    bool Connect() {
        m_loop = pa_mainloop_new();
        if (m_loop == nullptr) {
            return false;
        }
        m_context = pa_context_new(pa_mainloop_get_api(m_loop), "VeskAudioService");
        if (m_context == nullptr) {
            return false;
        }
        const std::string server = ServerAddress();
        if (pa_context_connect(m_context, server.empty() ? nullptr : server.c_str(),
                               PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            return false;
        }
        RunUntil([this] {
            const pa_context_state_t state = pa_context_get_state(m_context);
            return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
        });
        pa_context_set_state_callback(m_context, OnContextState, this);
        if (pa_context_get_state(m_context) != PA_CONTEXT_READY) {
            return false;
        }
        // A stream that its sink's restart or removal left silent counts as gone: capture starts
        // anew.
        m_sinkWatch = std::make_unique<SinkWatch>(m_context, m_sink.name, [this] { Fail(); });
        return true;
    }

    // Runs the connection's events for at most `limit`: one poll of its sockets and timers.
    void Iterate(std::chrono::microseconds limit) {
        const auto timeout = std::min<int64_t>(limit.count(), kLongestIterationUsec);
        if (pa_mainloop_prepare(m_loop, static_cast<int>(timeout)) >= 0 &&
            pa_mainloop_poll(m_loop) >= 0) {
            pa_mainloop_dispatch(m_loop);
        }
    }

    // Runs the connection's events until `done` holds, for a few seconds at most (a server
    // that stops answering counts as gone).
    template <typename Done>
    void RunUntil(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            Iterate(std::chrono::microseconds(100000));
        }
    }

    HRESULT Cork(bool cork) {
        if (m_stream == nullptr) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        pa_operation* operation = pa_stream_cork(m_stream, cork ? 1 : 0, nullptr, nullptr);
        if (operation != nullptr) {
            RunUntil(
                [operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; });
            pa_operation_unref(operation);
        }
        return pa_stream_get_state(m_stream) == PA_STREAM_READY ? S_OK
                                                                : AUDCLNT_E_DEVICE_INVALIDATED;
    }

    void Signal() {
        if (m_event != nullptr) {
            SetEvent(m_event);
        }
    }

    void Fail() {
        m_failed = true;
        Signal();  // the capture loop then finds the stream gone
    }

    static void OnContextState(pa_context* context, void* userdata) {
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            static_cast<AudioClient*>(userdata)->Fail();
        }
    }

    static void OnStreamState(pa_stream* stream, void* userdata) {
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            static_cast<AudioClient*>(userdata)->Fail();
        }
    }

    // Everything the server sent goes to the queue at once.
    static void OnReadable(pa_stream* stream, size_t, void* userdata) {
        auto* self = static_cast<AudioClient*>(userdata);
        const void* fragment = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(stream, &fragment, &bytes) == 0 && bytes > 0) {
            self->m_queue.Append(fragment, bytes);
            pa_stream_drop(stream);
        }
        if (self->m_sinkWatch != nullptr) {
            self->m_sinkWatch->Arm();
        }
        if (self->m_queue.HasPacket()) {
            self->Signal();
        }
    }

    Sink m_sink;
    pa_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    HANDLE m_event = nullptr;
    UINT32 m_frameBytes = 0;
    std::vector<uint8_t> m_packet;  // one 10 ms packet, handed out by GetBuffer
    PacketQueue m_queue;
    bool m_failed = false;
    std::unique_ptr<SinkWatch> m_sinkWatch;
};

CaptureClient::CaptureClient(AudioClient* client)
    : ComObject(IID_IAudioCaptureClient), m_client(client) {
    m_client->AddRef();
}

CaptureClient::~CaptureClient() {
    m_client->Release();
}

HRESULT CaptureClient::GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                                 UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) {
    if (ppData == nullptr || pNumFramesToRead == nullptr || pdwFlags == nullptr) {
        return E_POINTER;
    }
    if (pu64DevicePosition != nullptr) {
        *pu64DevicePosition = 0;
    }
    if (pu64QPCPosition != nullptr) {
        *pu64QPCPosition = 0;
    }
    return m_client->GetBuffer(ppData, pNumFramesToRead, pdwFlags);
}

HRESULT CaptureClient::ReleaseBuffer(UINT32 /*numFramesRead*/) {
    return m_client->ReleaseBuffer();
}

}  // namespace

IAudioClient* NewAudioClient(Sink sink) {
    return new AudioClient(std::move(sink));
}

}  // namespace pulse_audio
