#include "testing/scripted_audio.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <algorithm>
#include <deque>
#include <mutex>

#include "platform/com_object.h"
#include "platform/seams.h"

namespace scripted_audio {
namespace {

using vesk_platform::ComObject;

struct Failure {
    HRESULT result;
    int remaining;  // 0: always
};

struct Room {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Endpoint> endpoints;
    int defaultIndex = 0;
    std::map<std::string, Failure> failures;
    bool blockActivate = false;
    std::function<bool()> activateUntil;  // ends the block when it returns true
    HANDLE event = nullptr;
    std::deque<Packet> packets;
    int released = 0;
    int getBufferCalls = 0;
    Record record;
    std::vector<IMMNotificationClient*> clients;
};

Room& room() {
    static Room instance;
    return instance;
}

// Called with the room's mutex held.
bool ActivateReleased() {
    return !room().blockActivate || (room().activateUntil && room().activateUntil());
}

std::string Describe(const WAVEFORMATEX& format) {
    return std::to_string(format.wFormatTag) + "/" + std::to_string(format.nChannels) + "/" +
           std::to_string(format.nSamplesPerSec) + "/" + std::to_string(format.wBitsPerSample);
}

// Records the call and returns its scripted failure, or S_OK. Caller holds the lock.
HRESULT Call(const std::string& call, const std::string& detail = "") {
    Room& r = room();
    r.record.calls.push_back(detail.empty() ? call : call + " " + detail);
    auto failure = r.failures.find(call);
    if (failure == r.failures.end()) {
        return S_OK;
    }
    const HRESULT result = failure->second.result;
    if (failure->second.remaining > 0 && --failure->second.remaining == 0) {
        r.failures.erase(failure);
    }
    return result;
}

template <typename Interface>
class Counted : public ComObject<Interface> {
  public:
    explicit Counted(const IID& iid) : ComObject<Interface>(iid) {
        std::lock_guard<std::mutex> lock(room().mutex);
        ++room().record.liveObjects;
    }
    ~Counted() override {
        std::lock_guard<std::mutex> lock(room().mutex);
        --room().record.liveObjects;
    }
};

wchar_t* Wide(const std::string& text) {
    auto* wide = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
    for (size_t i = 0; i <= text.size(); ++i) {
        wide[i] = static_cast<unsigned char>(text.c_str()[i]);
    }
    return wide;
}

WAVEFORMATEX* CopyFormat(const std::vector<uint8_t>& bytes) {
    auto* copy = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(bytes.size()));
    memcpy(copy, bytes.data(), bytes.size());
    return copy;
}

class PropertyStore final : public Counted<IPropertyStore> {
  public:
    explicit PropertyStore(Endpoint endpoint)
        : Counted(IID_IUnknown), m_endpoint(std::move(endpoint)) {}
    HRESULT STDMETHODCALLTYPE GetValue(const PROPERTYKEY& key, PROPVARIANT* pv) override {
        PropVariantInit(pv);
        const bool isName = key.pid == PKEY_Device_FriendlyName.pid;
        if (isName && m_endpoint.nameReadFails) {
            return E_FAIL;
        }
        const std::string& text = isName ? m_endpoint.name : m_endpoint.guid;
        if (!text.empty()) {
            pv->vt = VT_LPWSTR;
            pv->pwszVal = Wide(text);
        }
        return S_OK;
    }
    // clang-format 14 and 19 disagree on short bodies inside a conditional block.
    // clang-format off
#ifdef _WIN32
    HRESULT STDMETHODCALLTYPE GetCount(DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAt(DWORD, PROPERTYKEY*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY, REFPROPVARIANT) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit() override {
        return E_NOTIMPL;
    }
#endif
    // clang-format on

  private:
    Endpoint m_endpoint;
};

class AudioClient;

class CaptureClient final : public Counted<IAudioCaptureClient> {
  public:
    CaptureClient() : Counted(IID_IAudioCaptureClient) {}
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                        UINT64*) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        *frames = 0;
        *flags = 0;
        ++room().getBufferCalls;
        room().changed.notify_all();
        const HRESULT failure = Call("GetBuffer");
        if (FAILED(failure)) {
            return failure;
        }
        if (room().packets.empty()) {
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        m_current = room().packets.front();
        room().packets.pop_front();
        *data = m_current.bytes.data();
        *frames = m_current.frames;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        const HRESULT failure = Call("ReleaseBuffer");
        ++room().released;
        room().changed.notify_all();
        return failure;
    }
    // clang-format off
#ifdef _WIN32
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32*) override {
        return E_NOTIMPL;
    }
#endif
    // clang-format on

  private:
    Packet m_current;
};

class AudioClient final : public Counted<IAudioClient> {
  public:
    explicit AudioClient(Endpoint endpoint)
        : Counted(IID_IAudioClient), m_endpoint(std::move(endpoint)) {}
    ~AudioClient() override {
        std::lock_guard<std::mutex> lock(room().mutex);
        room().event = nullptr;  // the capture thread has closed it
    }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD flags, REFERENCE_TIME duration,
                                         REFERENCE_TIME, const WAVEFORMATEX* format,
                                         const GUID*) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        room().record.initializeDurations.push_back(duration);
        room().record.initializeFlags.push_back(flags);
        const HRESULT failure = Call("Initialize", Describe(*format));
        m_initialized = SUCCEEDED(failure);
        return failure;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        *frames = 1056;
        return Call("GetBufferSize");
    }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX* format,
                                                WAVEFORMATEX** closest) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        Call("IsFormatSupported", Describe(*format));
        *closest = nullptr;
        if (m_endpoint.isFormatSupported) {
            return m_endpoint.isFormatSupported(*format);
        }
        const auto* mix = reinterpret_cast<const WAVEFORMATEX*>(m_endpoint.mixFormat.data());
        if (format->nSamplesPerSec == mix->nSamplesPerSec && format->nChannels == mix->nChannels) {
            return S_OK;
        }
        *closest = CopyFormat(m_endpoint.mixFormat);
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        const HRESULT failure = Call("GetMixFormat");
        *format = SUCCEEDED(failure) ? CopyFormat(m_endpoint.mixFormat) : nullptr;
        return failure;
    }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* period,
                                              REFERENCE_TIME* minimum) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        *period = 100000;
        *minimum = 30000;
        return Call("GetDevicePeriod");
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        std::lock_guard<std::mutex> lock(room().mutex);
        return Call("Start");
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        std::lock_guard<std::mutex> lock(room().mutex);
        return Call("Stop");
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        const HRESULT failure = Call("SetEventHandle");
        if (SUCCEEDED(failure)) {
            room().event = event;
        }
        return failure;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID, void** ppv) override {
        *ppv = nullptr;
        {
            std::lock_guard<std::mutex> lock(room().mutex);
            const HRESULT failure = Call("GetService");
            if (FAILED(failure)) {
                return failure;
            }
        }
        if (!m_initialized) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        *ppv = static_cast<IAudioCaptureClient*>(new CaptureClient);
        return S_OK;
    }
    // clang-format off
#ifdef _WIN32
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        return E_NOTIMPL;
    }
#endif
    // clang-format on

  private:
    Endpoint m_endpoint;
    bool m_initialized = false;
};

class Device final : public Counted<IMMDevice> {
  public:
    explicit Device(Endpoint endpoint) : Counted(IID_IUnknown), m_endpoint(std::move(endpoint)) {}
    HRESULT STDMETHODCALLTYPE Activate(REFIID, DWORD, PROPVARIANT*, void** ppv) override {
        std::unique_lock<std::mutex> lock(room().mutex);
        if (!ActivateReleased()) {
            const vesk_platform::ThreadHold hold([] {
                std::lock_guard<std::mutex> held(room().mutex);
                return ActivateReleased();
            });
            // The release may come from a flag of the object under test: looked at often.
            while (!ActivateReleased()) {
                room().changed.wait_for(lock, std::chrono::milliseconds(1));
            }
        }
        *ppv = nullptr;
        const HRESULT failure = Call("Activate");
        if (SUCCEEDED(failure)) {
            lock.unlock();
            *ppv = static_cast<IAudioClient*>(new AudioClient(m_endpoint));
        }
        return failure;
    }
    HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore** store) override {
        {
            std::lock_guard<std::mutex> lock(room().mutex);
            *store = nullptr;
            const HRESULT failure = Call("OpenPropertyStore");
            if (FAILED(failure)) {
                return failure;
            }
        }
        *store = new PropertyStore(m_endpoint);
        return S_OK;
    }
    // clang-format off
#ifdef _WIN32
    HRESULT STDMETHODCALLTYPE GetId(LPWSTR*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetState(DWORD*) override {
        return E_NOTIMPL;
    }
#endif
    // clang-format on

  private:
    Endpoint m_endpoint;
};

class Collection final : public Counted<IMMDeviceCollection> {
  public:
    Collection() : Counted(IID_IUnknown) {}
    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        *count = static_cast<UINT>(room().endpoints.size());
        return Call("GetCount");
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) override {
        Endpoint endpoint;
        {
            std::lock_guard<std::mutex> lock(room().mutex);
            *device = nullptr;
            const HRESULT failure = Call("Item");
            if (FAILED(failure)) {
                return failure;
            }
            endpoint = room().endpoints.at(index);
        }
        *device = new Device(std::move(endpoint));
        return S_OK;
    }
};

class Enumerator final : public Counted<IMMDeviceEnumerator> {
  public:
    Enumerator() : Counted(IID_IMMDeviceEnumerator) {}
    HRESULT STDMETHODCALLTYPE
    RegisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        client->AddRef();
        room().clients.push_back(client);
        return Call("RegisterEndpointNotificationCallback");
    }
    HRESULT STDMETHODCALLTYPE
    UnregisterEndpointNotificationCallback(IMMNotificationClient* client) override {
        std::lock_guard<std::mutex> lock(room().mutex);
        auto& clients = room().clients;
        const auto found = std::find(clients.begin(), clients.end(), client);
        if (found == clients.end()) {
            return E_NOTFOUND;
        }
        clients.erase(found);
        client->Release();
        return Call("UnregisterEndpointNotificationCallback");
    }
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD,
                                                 IMMDeviceCollection** devices) override {
        {
            std::lock_guard<std::mutex> lock(room().mutex);
            *devices = nullptr;
            const HRESULT failure = Call("EnumAudioEndpoints");
            if (FAILED(failure)) {
                return failure;
            }
        }
        *devices = new Collection;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow, ERole,
                                                      IMMDevice** device) override {
        Endpoint endpoint;
        {
            std::lock_guard<std::mutex> lock(room().mutex);
            *device = nullptr;
            const HRESULT failure = Call("GetDefaultAudioEndpoint");
            if (FAILED(failure)) {
                return failure;
            }
            endpoint = room().endpoints.at(room().defaultIndex);
        }
        *device = new Device(std::move(endpoint));
        return S_OK;
    }
    // clang-format off
#ifdef _WIN32
    HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR, IMMDevice**) override {
        return E_NOTIMPL;
    }
#endif
    // clang-format on
};

HRESULT CreateEnumerator(IMMDeviceEnumerator** enumerator) {
    {
        std::lock_guard<std::mutex> lock(room().mutex);
        const HRESULT failure = Call("CoCreateInstance");
        if (FAILED(failure)) {
            return failure;
        }
    }
    *enumerator = new Enumerator;
    return S_OK;
}

}  // namespace

std::vector<uint8_t> Format(WORD tag, WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEX format{};
    format.wFormatTag = tag;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    const auto* bytes = reinterpret_cast<const uint8_t*>(&format);
    return std::vector<uint8_t>(bytes, bytes + sizeof format);
}

std::vector<uint8_t> Extensible(const char* subFormat, WORD channels, DWORD rate, WORD bits) {
    WAVEFORMATEXTENSIBLE format{};
    const std::vector<uint8_t> base = Format(WAVE_FORMAT_EXTENSIBLE, channels, rate, bits);
    memcpy(&format.Format, base.data(), sizeof format.Format);
    format.Format.cbSize = sizeof format - sizeof format.Format;
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = (1u << channels) - 1;
    GuidFromString(subFormat, &format.SubFormat);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&format);
    return std::vector<uint8_t>(bytes, bytes + sizeof format);
}

void Install(std::vector<Endpoint> endpoints, int defaultIndex) {
    {
        Room& r = room();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.endpoints = std::move(endpoints);
        r.defaultIndex = defaultIndex;
        r.failures.clear();
        r.blockActivate = false;
        r.activateUntil = nullptr;
        r.event = nullptr;
        r.packets.clear();
        r.released = 0;
        r.getBufferCalls = 0;
        const int live = r.record.liveObjects;
        r.record = Record{};
        r.record.liveObjects = live;
    }
    vesk_platform::SetAudioEndpoints(CreateEnumerator);
}

void Uninstall() {
    vesk_platform::SetAudioEndpoints(nullptr);
}

void Fail(const std::string& call, HRESULT result, int times) {
    std::lock_guard<std::mutex> lock(room().mutex);
    if (result == S_OK) {
        room().failures.erase(call);
    } else {
        room().failures[call] = {result, times};
    }
}

void BlockActivate(bool block, std::function<bool()> until) {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().blockActivate = block;
    room().activateUntil = std::move(until);
    room().changed.notify_all();
}

bool Deliver(const Packet& packet, bool waitForRelease) {
    Room& r = room();
    std::unique_lock<std::mutex> lock(r.mutex);
    if (r.event == nullptr) {
        return false;
    }
    const int target = r.released + 1;
    r.packets.push_back(packet);
    SetEvent(r.event);
    return !waitForRelease || r.changed.wait_for(lock, std::chrono::seconds(10),
                                                 [&r, target] { return r.released >= target; });
}

bool WakeWithoutPacket() {
    Room& r = room();
    std::unique_lock<std::mutex> lock(r.mutex);
    if (r.event == nullptr || !r.packets.empty()) {
        return false;
    }
    const int target = r.getBufferCalls + 1;
    SetEvent(r.event);
    return r.changed.wait_for(lock, std::chrono::seconds(10),
                              [&r, target] { return r.getBufferCalls >= target; });
}

void NotifyDefaultDeviceChanged(EDataFlow flow, ERole role) {
    std::lock_guard<std::mutex> lock(room().mutex);
    for (IMMNotificationClient* client : room().clients) {
        client->OnDefaultDeviceChanged(flow, role, L"{scripted}");
    }
}

int RegisteredClients() {
    std::lock_guard<std::mutex> lock(room().mutex);
    return static_cast<int>(room().clients.size());
}

Record Recorded() {
    std::lock_guard<std::mutex> lock(room().mutex);
    return room().record;
}

}  // namespace scripted_audio
