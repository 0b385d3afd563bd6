#include "platform/pulse_capture.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/com_object.h"
#include "platform/pulse_format.h"

namespace pulse_audio {
namespace {

using vesk_platform::ComObject;

constexpr REFERENCE_TIME kDevicePeriod = 100000;  // 10 ms in 100-ns units
constexpr REFERENCE_TIME kMinimumPeriod = 30000;
constexpr pa_usec_t kPacketUsec = 10000;  // the record stream delivers ~10 ms fragments
constexpr int kBufferMs = 200;            // reported buffer size

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

class AudioClient final : public ComObject<IAudioClient> {
  public:
    AudioClient(std::shared_ptr<Connection> connection, Sink sink)
        : ComObject(IID_IAudioClient),
          m_connection(std::move(connection)),
          m_sink(std::move(sink)) {}

    ~AudioClient() override {
        if (m_stream != nullptr) {
            Lock lock(*m_connection);
            pa_stream_set_state_callback(m_stream, nullptr, nullptr);
            pa_stream_set_read_callback(m_stream, nullptr, nullptr);
            pa_stream_disconnect(m_stream);
            pa_stream_unref(m_stream);
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

        Lock lock(*m_connection);
        pa_context* context = m_connection->Ready();
        if (context == nullptr) {
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        m_stream = pa_stream_new(context, "VeskAudioService loopback", &spec, &map);
        if (m_stream == nullptr) {
            return E_FAIL;
        }
        pa_stream_set_state_callback(m_stream, OnStreamState, this);
        pa_stream_set_read_callback(m_stream, OnReadable, this);
        pa_buffer_attr attributes;
        memset(&attributes, 0xFF, sizeof attributes);  // server defaults, except:
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kPacketUsec, &spec));
        // Fragments of ~10 ms (the default would be ~2 s). The stream stays on this sink's
        // monitor: when the sink goes, the stream fails and capture is restarted, instead of
        // being moved silently to another source. It also keeps the sink from suspending, so
        // the far end's first words are not lost to a resume that can take seconds.
        const auto flags = static_cast<pa_stream_flags_t>(
            PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE | PA_STREAM_START_CORKED);
        if (pa_stream_connect_record(m_stream, m_sink.monitor.c_str(), &attributes, flags) < 0) {
            return E_FAIL;
        }
        pa_stream_state_t state;
        while ((state = pa_stream_get_state(m_stream)) == PA_STREAM_CREATING) {
            pa_threaded_mainloop_wait(m_connection->loop());
        }
        return state == PA_STREAM_READY ? S_OK : AUDCLNT_E_DEVICE_INVALIDATED;
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
        m_event = eventHandle;
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
    // vary in size (5 ms while a client plays, more when idle), and one packet must never
    // carry more than one detector block.
    HRESULT GetBuffer(BYTE** data, UINT32* frames, DWORD* flags) {
        Lock lock(*m_connection);
        *frames = 0;
        *flags = 0;
        if (m_stream == nullptr || pa_stream_get_state(m_stream) != PA_STREAM_READY) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (Available() < m_packet.size()) {
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        bool silent = true;
        for (size_t copied = 0; copied < m_packet.size();) {
            const void* fragment = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(m_stream, &fragment, &bytes) < 0 || bytes == 0) {
                return AUDCLNT_E_DEVICE_INVALIDATED;
            }
            const size_t take = std::min(bytes - m_offset, m_packet.size() - copied);
            if (fragment != nullptr) {
                memcpy(m_packet.data() + copied, static_cast<const uint8_t*>(fragment) + m_offset,
                       take);
                silent = false;
            } else {  // a hole in the stream
                memset(m_packet.data() + copied, 0, take);
            }
            copied += take;
            m_offset += take;
            if (m_offset == bytes) {
                pa_stream_drop(m_stream);
                m_offset = 0;
            }
        }
        *data = m_packet.data();
        *frames = static_cast<UINT32>(m_packet.size() / m_frameBytes);
        *flags = silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0;
        return S_OK;
    }

    HRESULT ReleaseBuffer() {
        Lock lock(*m_connection);
        // The capture loop takes one packet per wake: wake it again while more are queued.
        if (m_stream != nullptr && Available() >= m_packet.size()) {
            Signal();
        }
        return S_OK;
    }

  private:
    HRESULT Cork(bool cork) {
        if (m_stream == nullptr) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        Lock lock(*m_connection);
        m_connection->Wait(pa_stream_cork(
            m_stream, cork ? 1 : 0,
            [](pa_stream*, int, void* loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
            },
            m_connection->loop()));
        return pa_stream_get_state(m_stream) == PA_STREAM_READY ? S_OK
                                                                : AUDCLNT_E_DEVICE_INVALIDATED;
    }

    void Signal() {
        if (HANDLE event = m_event.load()) {
            SetEvent(event);
        }
    }

    static void OnStreamState(pa_stream* stream, void* userdata) {
        auto* self = static_cast<AudioClient*>(userdata);
        self->m_connection->Signal();
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            self->Signal();  // the capture loop then finds the stream gone
        }
    }

    static void OnReadable(pa_stream*, size_t, void* userdata) {
        auto* self = static_cast<AudioClient*>(userdata);
        if (self->Available() >= self->m_packet.size()) {
            self->Signal();
        }
    }

    // Bytes queued and not yet handed out; the caller holds the lock.
    size_t Available() const {
        const size_t readable = pa_stream_readable_size(m_stream);
        return readable == static_cast<size_t>(-1) ? 0 : readable - m_offset;
    }

    std::shared_ptr<Connection> m_connection;
    Sink m_sink;
    pa_stream* m_stream = nullptr;
    UINT32 m_frameBytes = 0;
    std::atomic<HANDLE> m_event{nullptr};
    std::vector<uint8_t> m_packet;  // one 10 ms packet, handed out by GetBuffer
    size_t m_offset = 0;            // bytes of the current fragment already handed out
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

IAudioClient* NewAudioClient(std::shared_ptr<Connection> connection, Sink sink) {
    return new AudioClient(std::move(connection), std::move(sink));
}

}  // namespace pulse_audio
