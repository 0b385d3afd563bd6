#include "platform/pulse_audio.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/com_object.h"

namespace pulse_audio {
namespace {

using vesk_platform::ComObject;

constexpr REFERENCE_TIME kDevicePeriod = 100000;  // 10 ms in 100-ns units
constexpr REFERENCE_TIME kMinimumPeriod = 30000;
constexpr pa_usec_t kPacketUsec = 10000;  // the record stream delivers ~10 ms fragments
constexpr int kBufferMs = 200;            // reported buffer size

const GUID kSubFormatPcm = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID kSubFormatFloat = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

// One connection to the sound server with its own event thread. Every call into libpulse
// holds the thread's lock; callbacks run on that thread with the lock held.
class Connection {
  public:
    static std::shared_ptr<Connection> Open() {
        auto connection = std::shared_ptr<Connection>(new Connection);
        return connection->Connect() ? connection : nullptr;
    }

    ~Connection() {
        if (m_loop == nullptr) {
            return;
        }
        pa_threaded_mainloop_stop(m_loop);
        if (m_context != nullptr) {
            pa_context_disconnect(m_context);
            pa_context_unref(m_context);
        }
        pa_threaded_mainloop_free(m_loop);
    }

    pa_threaded_mainloop* loop() const { return m_loop; }
    pa_context* context() const { return m_context; }

    // Runs an operation to its end; the caller holds the lock.
    void Wait(pa_operation* operation) {
        if (operation == nullptr) {
            return;
        }
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING &&
               pa_context_get_state(m_context) == PA_CONTEXT_READY) {
            pa_threaded_mainloop_wait(m_loop);
        }
        pa_operation_unref(operation);
    }

  private:
    Connection() = default;

    bool Connect() {
        m_loop = pa_threaded_mainloop_new();
        if (m_loop == nullptr) {
            return false;
        }
        m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "VeskAudioService");
        if (m_context == nullptr) {
            return false;
        }
        pa_context_set_state_callback(
            m_context,
            [](pa_context*, void* loop) {
                pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
            },
            m_loop);
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            pa_threaded_mainloop_start(m_loop) < 0) {
            return false;
        }
        pa_threaded_mainloop_lock(m_loop);
        pa_context_state_t state;
        while ((state = pa_context_get_state(m_context)) != PA_CONTEXT_READY &&
               PA_CONTEXT_IS_GOOD(state)) {
            pa_threaded_mainloop_wait(m_loop);
        }
        pa_threaded_mainloop_unlock(m_loop);
        return state == PA_CONTEXT_READY;
    }

    pa_threaded_mainloop* m_loop = nullptr;
    pa_context* m_context = nullptr;
};

class Lock {
  public:
    explicit Lock(const Connection& connection) : m_loop(connection.loop()) {
        pa_threaded_mainloop_lock(m_loop);
    }
    ~Lock() { pa_threaded_mainloop_unlock(m_loop); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    pa_threaded_mainloop* m_loop;
};

struct Sink {
    std::string name;
    std::string description;
    std::string monitor;
    pa_sample_spec spec;
    pa_channel_map map;
};

struct SinkQuery {
    Connection* connection;
    std::vector<Sink>* sinks;
};

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* query = static_cast<SinkQuery*>(userdata);
    if (eol == 0 && info != nullptr) {
        query->sinks->push_back({info->name, info->description ? info->description : "",
                                 info->monitor_source_name ? info->monitor_source_name : "",
                                 info->sample_spec, info->channel_map});
    }
    pa_threaded_mainloop_signal(query->connection->loop(), 0);
}

// Sinks in index order (the server lists them so).
std::vector<Sink> ListSinks(Connection& connection) {
    std::vector<Sink> sinks;
    SinkQuery query{&connection, &sinks};
    Lock lock(connection);
    connection.Wait(pa_context_get_sink_info_list(connection.context(), OnSinkInfo, &query));
    return sinks;
}

struct ServerDefaults {
    std::string sink;
    std::string source;
};

ServerDefaults Defaults(const pa_server_info* info) {
    ServerDefaults defaults;
    if (info != nullptr && info->default_sink_name != nullptr) {
        defaults.sink = info->default_sink_name;
    }
    if (info != nullptr && info->default_source_name != nullptr) {
        defaults.source = info->default_source_name;
    }
    return defaults;
}

ServerDefaults QueryDefaults(Connection& connection) {
    struct Query {
        Connection* connection;
        ServerDefaults defaults;
    } query{&connection, {}};
    Lock lock(connection);
    connection.Wait(pa_context_get_server_info(
        connection.context(),
        [](pa_context*, const pa_server_info* info, void* userdata) {
            auto* q = static_cast<Query*>(userdata);
            q->defaults = Defaults(info);
            pa_threaded_mainloop_signal(q->connection->loop(), 0);
        },
        &query));
    return query.defaults;
}

std::string DefaultSinkName(Connection& connection) {
    return QueryDefaults(connection).sink;
}

// A device id for notifications: the endpoint GUID text as a wide string.
std::wstring WideId(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

wchar_t* CopyToTaskMemory(const std::string& utf8) {
    // Decodes UTF-8; an invalid byte becomes U+FFFD.
    std::vector<wchar_t> wide;
    for (size_t i = 0; i < utf8.size();) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        int length = byte < 0x80         ? 1
                     : (byte >> 5) == 6  ? 2
                     : (byte >> 4) == 14 ? 3
                     : (byte >> 3) == 30 ? 4
                                         : 0;
        uint32_t code = length == 1   ? byte
                        : length == 2 ? byte & 0x1F
                        : length == 3 ? byte & 0x0F
                                      : byte & 0x07;
        bool valid = length > 0 && i + length <= utf8.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            valid = (next >> 6) == 2;
            code = (code << 6) | (next & 0x3F);
        }
        wide.push_back(valid ? static_cast<wchar_t>(code) : L'\uFFFD');
        i += valid ? length : 1;
    }
    wide.push_back(L'\0');
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(wide.size() * sizeof(wchar_t)));
    if (copy != nullptr) {
        memcpy(copy, wide.data(), wide.size() * sizeof(wchar_t));
    }
    return copy;
}

// The sample format of a stream format record; PA_SAMPLE_INVALID when it has none here.
pa_sample_format_t SampleFormatOf(const WAVEFORMATEX& format) {
    bool isFloat = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    bool isPcm = format.wFormatTag == WAVE_FORMAT_PCM;
    if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22) {
        const auto& extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format);
        isFloat = IsEqualGUID(extensible.SubFormat, kSubFormatFloat);
        isPcm = IsEqualGUID(extensible.SubFormat, kSubFormatPcm);
    }
    if (isFloat && format.wBitsPerSample == 32) {
        return PA_SAMPLE_FLOAT32LE;
    }
    if (!isPcm) {
        return PA_SAMPLE_INVALID;
    }
    switch (format.wBitsPerSample) {
        case 8:
            return PA_SAMPLE_U8;
        case 16:
            return PA_SAMPLE_S16LE;
        case 24:
            return PA_SAMPLE_S24LE;
        case 32:
            return PA_SAMPLE_S32LE;
        default:
            return PA_SAMPLE_INVALID;
    }
}

bool StreamSpecOf(const WAVEFORMATEX* format, pa_sample_spec* spec) {
    if (format == nullptr || format->nChannels == 0 || format->nChannels > PA_CHANNELS_MAX ||
        format->nBlockAlign != format->nChannels * format->wBitsPerSample / 8) {
        return false;
    }
    spec->format = SampleFormatOf(*format);
    spec->rate = format->nSamplesPerSec;
    spec->channels = static_cast<uint8_t>(format->nChannels);
    return spec->format != PA_SAMPLE_INVALID && pa_sample_spec_valid(spec) != 0;
}

// The sink's own format, as the Windows engine reports a mix format: float or PCM, and
// extensible beyond two channels.
WAVEFORMATEX* MixFormatOf(const pa_sample_spec& spec) {
    WORD bits = 16;
    bool isFloat = false;
    switch (spec.format) {
        case PA_SAMPLE_U8:
            bits = 8;
            break;
        case PA_SAMPLE_S24LE:
            bits = 24;
            break;
        case PA_SAMPLE_S24_32LE:
        case PA_SAMPLE_S32LE:
            bits = 32;
            break;
        case PA_SAMPLE_FLOAT32LE:
            bits = 32;
            isFloat = true;
            break;
        default:  // any other format is converted by the server to 16-bit
            bits = 16;
            break;
    }
    auto* extensible =
        static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
    if (extensible == nullptr) {
        return nullptr;
    }
    memset(extensible, 0, sizeof *extensible);
    WAVEFORMATEX& format = extensible->Format;
    format.nChannels = spec.channels;
    format.nSamplesPerSec = spec.rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(spec.channels * bits / 8);
    format.nAvgBytesPerSec = spec.rate * format.nBlockAlign;
    if (spec.channels > 2) {
        format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        extensible->Samples.wValidBitsPerSample = bits;
        extensible->dwChannelMask = (1u << spec.channels) - 1;
        extensible->SubFormat = isFloat ? kSubFormatFloat : kSubFormatPcm;
    } else {
        format.wFormatTag = isFloat ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    }
    return &format;
}

class PropertyStore final : public ComObject<IPropertyStore> {
  public:
    PropertyStore(std::string guid, std::string name)
        : ComObject(IID_IUnknown), m_guid(std::move(guid)), m_name(std::move(name)) {}

    HRESULT GetValue(const PROPERTYKEY& key, PROPVARIANT* pv) override {
        if (pv == nullptr) {
            return E_POINTER;
        }
        PropVariantInit(pv);
        const std::string* text = nullptr;
        if (IsEqualGUID(key.fmtid, PKEY_AudioEndpoint_GUID.fmtid) &&
            key.pid == PKEY_AudioEndpoint_GUID.pid) {
            text = &m_guid;
        } else if (IsEqualGUID(key.fmtid, PKEY_Device_FriendlyName.fmtid) &&
                   key.pid == PKEY_Device_FriendlyName.pid) {
            text = &m_name;
        }
        if (text == nullptr) {
            return S_OK;  // VT_EMPTY, as for a property the endpoint does not have
        }
        pv->pwszVal = CopyToTaskMemory(*text);
        if (pv->pwszVal == nullptr) {
            return E_OUTOFMEMORY;
        }
        pv->vt = VT_LPWSTR;
        return S_OK;
    }

  private:
    std::string m_guid;
    std::string m_name;
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

        Lock lock(*m_connection);
        m_stream = pa_stream_new(m_connection->context(), "VeskAudioService loopback", &spec, &map);
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
        pa_threaded_mainloop_signal(self->m_connection->loop(), 0);
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

class Device final : public ComObject<IMMDevice> {
  public:
    Device(std::shared_ptr<Connection> connection, Sink sink)
        : ComObject(IID_IUnknown), m_connection(std::move(connection)), m_sink(std::move(sink)) {}

    HRESULT Activate(REFIID iid, DWORD, PROPVARIANT*, void** ppInterface) override {
        if (ppInterface == nullptr) {
            return E_POINTER;
        }
        *ppInterface = nullptr;
        if (!IsEqualGUID(iid, IID_IAudioClient)) {
            return E_NOINTERFACE;
        }
        *ppInterface = static_cast<IAudioClient*>(new AudioClient(m_connection, m_sink));
        return S_OK;
    }

    HRESULT OpenPropertyStore(DWORD, IPropertyStore** ppProperties) override {
        if (ppProperties == nullptr) {
            return E_POINTER;
        }
        *ppProperties = new PropertyStore(EndpointGuidText(m_sink.name), m_sink.description);
        return S_OK;
    }

  private:
    std::shared_ptr<Connection> m_connection;
    Sink m_sink;
};

class Collection final : public ComObject<IMMDeviceCollection> {
  public:
    Collection(std::shared_ptr<Connection> connection, std::vector<Sink> sinks)
        : ComObject(IID_IUnknown), m_connection(std::move(connection)), m_sinks(std::move(sinks)) {}

    HRESULT GetCount(UINT* pcDevices) override {
        if (pcDevices == nullptr) {
            return E_POINTER;
        }
        *pcDevices = static_cast<UINT>(m_sinks.size());
        return S_OK;
    }

    HRESULT Item(UINT nDevice, IMMDevice** ppDevice) override {
        if (ppDevice == nullptr) {
            return E_POINTER;
        }
        *ppDevice = nullptr;
        if (nDevice >= m_sinks.size()) {
            return E_INVALIDARG;
        }
        *ppDevice = new Device(m_connection, m_sinks[nDevice]);
        return S_OK;
    }

  private:
    std::shared_ptr<Connection> m_connection;
    std::vector<Sink> m_sinks;
};

class Enumerator final : public ComObject<IMMDeviceEnumerator> {
  public:
    explicit Enumerator(std::shared_ptr<Connection> connection)
        : ComObject(IID_IMMDeviceEnumerator), m_connection(std::move(connection)) {}

    ~Enumerator() override {
        Lock lock(*m_connection);
        if (m_subscribed) {
            pa_context_set_subscribe_callback(m_connection->context(), nullptr, nullptr);
        }
        for (IMMNotificationClient* client : m_clients) {
            client->Release();
        }
    }

    // Sound-server events become endpoint notifications: a new default sink is reported once
    // per role as Windows does, a new default source as a capture flow; sinks that come and go
    // as added and removed devices.
    HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        if (client == nullptr) {
            return E_POINTER;
        }
        const ServerDefaults defaults = QueryDefaults(*m_connection);
        Lock lock(*m_connection);
        client->AddRef();
        m_clients.push_back(client);
        if (!m_subscribed) {
            m_defaults = defaults;
            pa_context_set_subscribe_callback(m_connection->context(), OnEvent, this);
            m_connection->Wait(pa_context_subscribe(
                m_connection->context(),
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SERVER),
                [](pa_context*, int, void* loop) {
                    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
                },
                m_connection->loop()));
            m_subscribed = true;
        }
        return S_OK;
    }

    HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        Lock lock(*m_connection);
        const auto found = std::find(m_clients.begin(), m_clients.end(), client);
        if (found == m_clients.end()) {
            return E_NOTFOUND;
        }
        m_clients.erase(found);
        client->Release();
        return S_OK;
    }

    HRESULT EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask,
                               IMMDeviceCollection** ppDevices) override {
        if (ppDevices == nullptr) {
            return E_POINTER;
        }
        *ppDevices = nullptr;
        if (dataFlow != eRender) {
            return E_NOTIMPL;
        }
        // Every sink is an active endpoint; a suspended one is idle, not absent.
        std::vector<Sink> sinks;
        if ((dwStateMask & DEVICE_STATE_ACTIVE) != 0) {
            sinks = ListSinks(*m_connection);
        }
        *ppDevices = new Collection(m_connection, std::move(sinks));
        return S_OK;
    }

    HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole, IMMDevice** ppEndpoint) override {
        if (ppEndpoint == nullptr) {
            return E_POINTER;
        }
        *ppEndpoint = nullptr;
        if (dataFlow != eRender) {
            return E_NOTIMPL;
        }
        const std::string name = DefaultSinkName(*m_connection);
        for (Sink& sink : ListSinks(*m_connection)) {
            if (sink.name == name) {
                *ppEndpoint = new Device(m_connection, std::move(sink));
                return S_OK;
            }
        }
        return E_NOTFOUND;
    }

  private:
    // On the sound server's event thread, with its lock held.
    static void OnEvent(pa_context* context, pa_subscription_event_type_t event, uint32_t index,
                        void* self) {
        auto* enumerator = static_cast<Enumerator*>(self);
        const unsigned facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const unsigned type = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
            pa_operation* operation = pa_context_get_server_info(context, OnServerInfo, self);
            if (operation != nullptr) {
                pa_operation_unref(operation);
            }
            return;
        }
        if (facility != PA_SUBSCRIPTION_EVENT_SINK) {
            return;
        }
        const std::wstring id = WideId("sink#" + std::to_string(index));
        for (IMMNotificationClient* client : enumerator->m_clients) {
            if (type == PA_SUBSCRIPTION_EVENT_NEW) {
                client->OnDeviceAdded(id.c_str());
            } else if (type == PA_SUBSCRIPTION_EVENT_REMOVE) {
                client->OnDeviceStateChanged(id.c_str(), DEVICE_STATE_NOTPRESENT);
                client->OnDeviceRemoved(id.c_str());
            }
        }
    }

    static void OnServerInfo(pa_context*, const pa_server_info* info, void* self) {
        auto* enumerator = static_cast<Enumerator*>(self);
        const ServerDefaults defaults = Defaults(info);
        const auto report = [enumerator](EDataFlow flow, const std::string& name) {
            const std::wstring id = WideId(EndpointGuidText(name));
            for (ERole role : {eConsole, eMultimedia, eCommunications}) {
                for (IMMNotificationClient* client : enumerator->m_clients) {
                    client->OnDefaultDeviceChanged(flow, role, id.c_str());
                }
            }
        };
        if (defaults.sink != enumerator->m_defaults.sink) {
            report(eRender, defaults.sink);
        }
        if (defaults.source != enumerator->m_defaults.source) {
            report(eCapture, defaults.source);
        }
        enumerator->m_defaults = defaults;
    }

    std::shared_ptr<Connection> m_connection;
    std::vector<IMMNotificationClient*> m_clients;  // guarded by the connection's lock
    bool m_subscribed = false;
    ServerDefaults m_defaults;
};

}  // namespace

HRESULT CreateEnumerator(IMMDeviceEnumerator** enumerator) {
    std::shared_ptr<Connection> connection = Connection::Open();
    if (connection == nullptr) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    *enumerator = new Enumerator(std::move(connection));
    return S_OK;
}

std::string EndpointGuidText(const std::string& sinkName) {
    // Two FNV-1a hashes with different offsets give the 128 bits.
    uint64_t high = 0xCBF29CE484222325ull;
    uint64_t low = 0x84222325CBF29CE4ull;
    for (unsigned char c : sinkName) {
        high = (high ^ c) * 0x100000001B3ull;
        low = (low ^ (c + 0x5Au)) * 0x100000001B3ull;
    }
    char text[40];
    snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(high >> 32),
             static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
             static_cast<unsigned>(low >> 48),
             static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

}  // namespace pulse_audio
