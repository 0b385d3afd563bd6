#include "platform/pulse_capture.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cstdlib>
#include <mutex>
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

// The stream's audio, moved out of libpulse on its event thread as it arrives. The capture
// thread takes its packets from here without libpulse's lock, so that it neither contends with
// the event thread nor makes it wake: one wake-up of each per server fragment.
class PacketQueue {
  public:
    void Reset(size_t packetBytes, size_t capacityBytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_packetBytes = packetBytes;
        m_ring.assign(capacityBytes, 0);
        m_read = 0;
        m_queued = 0;
    }

    // Event thread. Null data is a hole in the stream, queued as silence. What does not fit is
    // dropped, as a Windows engine drops what overflows a capture buffer nobody reads.
    void Append(const void* data, size_t bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        bytes = std::min(bytes, m_ring.size() - m_queued);
        for (size_t done = 0; done < bytes;) {
            const size_t at = (m_read + m_queued) % m_ring.size();
            const size_t run = std::min(bytes - done, m_ring.size() - at);
            if (data != nullptr) {
                memcpy(m_ring.data() + at, static_cast<const uint8_t*>(data) + done, run);
            } else {
                memset(m_ring.data() + at, 0, run);
            }
            done += run;
            m_queued += run;
        }
    }

    // Capture thread: copies one packet out; false while less is queued.
    bool Take(uint8_t* packet) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queued < m_packetBytes) {
            return false;
        }
        for (size_t done = 0; done < m_packetBytes;) {
            const size_t run = std::min(m_packetBytes - done, m_ring.size() - m_read);
            memcpy(packet + done, m_ring.data() + m_read, run);
            done += run;
            m_read = (m_read + run) % m_ring.size();
        }
        m_queued -= m_packetBytes;
        return true;
    }

    bool HasPacket() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_packetBytes > 0 && m_queued >= m_packetBytes;
    }

  private:
    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_ring;
    size_t m_packetBytes = 0;
    size_t m_read = 0;
    size_t m_queued = 0;
};

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
        m_queue.Reset(m_packet.size(),
                      static_cast<size_t>(spec.rate) * kBufferMs / 1000 * m_frameBytes);

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
        attributes.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(
            getenv("VESK_FRAG_MS") ? atoi(getenv("VESK_FRAG_MS")) * 1000 : kPacketUsec, &spec));
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
            self->m_failed = true;
            self->Signal();  // the capture loop then finds the stream gone
        }
    }

    // On the event thread: everything the server sent goes to the queue at once.
    static void OnReadable(pa_stream* stream, size_t, void* userdata) {
        auto* self = static_cast<AudioClient*>(userdata);
        const void* fragment = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(stream, &fragment, &bytes) == 0 && bytes > 0) {
            self->m_queue.Append(fragment, bytes);
            pa_stream_drop(stream);
        }
        if (self->m_queue.HasPacket()) {
            self->Signal();
        }
    }

    std::shared_ptr<Connection> m_connection;
    Sink m_sink;
    pa_stream* m_stream = nullptr;
    UINT32 m_frameBytes = 0;
    std::atomic<HANDLE> m_event{nullptr};
    std::vector<uint8_t> m_packet;  // one 10 ms packet, handed out by GetBuffer
    PacketQueue m_queue;
    std::atomic<bool> m_failed{false};
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
