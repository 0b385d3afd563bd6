// Longer than 400 lines: the capture object is one class whose thread, output device selection,
// format negotiation and sample conversion share its state; split apart, each would reach into
// the others' members.
#include "SpkLoopback/SpkLoopback/SpkLoopback.h"

#include "platform/thread_control.h"
#include "base/timings.h"
#include "status/StatusBoard.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

// A failed stop's log line names the wait.
static_assert(vesk_timings::WAIT_OT_MS == 5000, "a failed stop logs the wait as 5000");

constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
constexpr int32_t kPacketPrintPeriod = 100;
constexpr int32_t kBlockLogPeriod = 3000;
constexpr int kRingFrames = 5;
constexpr size_t kTextSize = 1024;
constexpr size_t kGuidTextSize = 40;
constexpr size_t kNameSize = 261;
constexpr int kBlock44k = 441;

// A refused audio scheduling is logged once in the process's life, not at every capture start.
std::atomic<bool> s_bAudioTaskRefusalLogged{false};

// Candidate stream rates in trial order.
constexpr DWORD Rates[] = {48000, 32000, 16000, 8000, 44100};

const char* const kSubFormatPcm = "{00000001-0000-0010-8000-00aa00389b71}";
const char* const kSubFormatFloat = "{00000003-0000-0010-8000-00aa00389b71}";
const char* const kAudioFolderPart = VESK_PATH_SEP "Vesk" VESK_PATH_SEP "Audio";

bool IsSampleWidth(int bits) {
    return bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

int32_t FrameLength(DWORD rate) {
    switch (rate) {
        case 48000:
            return 960;
        case 44100:
            return 882;
        case 32000:
            return 640;
        case 16000:
            return 320;
        case 8000:
            return 160;
        default:
            return 0;
    }
}

template <typename Interface>
void SafeRelease(Interface*& object) {
    if (object != nullptr) {
        object->Release();
        object = nullptr;
    }
}

// One COM reference, released at the end of its scope.
template <typename Interface>
class Com {
  public:
    Com() = default;
    ~Com() { SafeRelease(m_object); }
    Com(const Com&) = delete;
    Com& operator=(const Com&) = delete;

    Interface* get() const { return m_object; }
    Interface* operator->() const { return m_object; }
    explicit operator bool() const { return m_object != nullptr; }
    // For the calls that hand out a reference.
    Interface** put() {
        SafeRelease(m_object);
        return &m_object;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    Interface* release() {
        Interface* object = m_object;
        m_object = nullptr;
        return object;
    }

  private:
    Interface* m_object = nullptr;
};

// `*slot` takes a new reference to `object` in place of the one it held.
template <typename Interface>
void Replace(Interface** slot, Interface* object) {
    object->AddRef();
    SafeRelease(*slot);
    *slot = object;
}

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Sets `format` to each rate of Rates in turn, with its block alignment and byte rate, until
// the engine takes it as it is (S_FALSE with a closest match does not count).
bool FindSupportedRate(IAudioClient* client, WAVEFORMATEX* format) {
    for (DWORD rate : Rates) {
        format->nSamplesPerSec = rate;
        format->nBlockAlign = static_cast<WORD>(format->nChannels * format->wBitsPerSample / 8);
        format->nAvgBytesPerSec = rate * format->nBlockAlign;
        WAVEFORMATEX* closest = nullptr;
        const HRESULT hr = client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, format, &closest);
        CoTaskMemFree(closest);
        if (hr == S_OK) {
            return true;
        }
    }
    return false;
}

// A string property as text cut to `size` (empty when the value holds no string); the
// property's read result.
HRESULT ReadTextProperty(IPropertyStore* store, const PROPERTYKEY& key, char* text, size_t size) {
    PROPVARIANT value;
    PropVariantInit(&value);
    const HRESULT hr = store->GetValue(key, &value);
    if (SUCCEEDED(hr)) {
        text[0] = '\0';
        if (value.vt == VT_LPWSTR && value.pwszVal != nullptr) {
            const int length =
                WideCharToMultiByte(CP_ACP, 0, value.pwszVal, -1, nullptr, 0, nullptr, nullptr);
            if (length > 0 && static_cast<size_t>(length) <= size) {
                WideCharToMultiByte(CP_ACP, 0, value.pwszVal, -1, text, static_cast<int>(size),
                                    nullptr, nullptr);
            } else if (length > 0) {
                // Longer than the working text: keep what fits.
                char* whole = new char[length];
                WideCharToMultiByte(CP_ACP, 0, value.pwszVal, -1, whole, length, nullptr, nullptr);
                snprintf(text, size, "%s", whole);
                delete[] whole;
            }
        }
    }
    PropVariantClear(&value);
    return hr;
}

bool IsSubFormat(const WAVEFORMATEX* format, const char* text) {
    GUID guid;
    if (format->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) ||
        !GuidFromString(text, &guid)) {
        return false;
    }
    const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
    return memcmp(&extensible->SubFormat, &guid, sizeof guid) == 0;
}

// Down-mix gains by channel count (single precision, as written).
float Gain(int channels) {
    switch (channels) {
        case 1:
            return 1.0f;
        case 2:
            return 0.707f;
        case 3:
            return 0.577f;
        default:
            return 0.5f;
    }
}

// To the 16-bit range; a NaN (a broken float stream) counts as silence.
float Clamp(float value) {
    if (value > 32767.0f) {
        return 32767.0f;
    }
    if (value < -32768.0f) {
        return -32768.0f;
    }
    return value == value ? value : 0.0f;
}

int16_t Truncate(float value) {
    return static_cast<int16_t>(value);
}

int16_t ReadInt16(const BYTE* at) {
    int16_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

float ReadFloat(const BYTE* at) {
    float value;
    memcpy(&value, at, sizeof value);
    return value;
}

}  // namespace

std::atomic<int32_t> CSpkLoopback::s_nPackets{0};
std::atomic<int32_t> CSpkLoopback::s_nBlocks{0};

CSpkLoopback::CSpkLoopback(CVeskLogger* logger, const char* audioDir) : m_pLogger(logger) {
    InitializeCriticalSection(&m_cs);
    snprintf(m_szPorgramDataVeskAudioDir, sizeof m_szPorgramDataVeskAudioDir, "%s", audioDir);
    VESK_LOG(m_pLogger, "========START========CSpkLoopback::CSpkLoopback()==============\n");
}

CSpkLoopback::~CSpkLoopback() {
    if (m_hThread != nullptr && !Stop()) {
        // The thread still uses this object: freeing it now would be worse than waiting.
        // Its waits are bounded, so it ends.
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    ReleaseStreamState();
    delete m_pResampler;
    m_pResampler = nullptr;
    DeleteCriticalSection(&m_cs);
    VESK_LOG(m_pLogger, "========CSpkLoopback::~CSpkLoopback()==============\n");
}

void CSpkLoopback::ReleaseStreamState() {
    SafeRelease(m_pAudioClient);
    SafeRelease(m_pDevice);
    CoTaskMemFree(m_pWfx);
    m_pWfx = nullptr;
    delete[] m_pRing;
    m_pRing = nullptr;
    delete m_pDetector;
    m_pDetector = nullptr;
}

int32_t CSpkLoopback::Start() {
    // A thread that ended by itself (failed configuration or stream) leaves its handle behind;
    // one still configuring is stopped first, since two threads on one object would share it.
    if (m_hThread != nullptr) {
        if (WaitForSingleObject(m_hThread, 0) != WAIT_OBJECT_0 && !Stop()) {
            return 0;
        }
        CloseHandle(m_hThread);
    }
    m_bStop = 0;
    m_bRunning = 0;
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadProc, this, 0, nullptr));
    if (m_hThread == nullptr) {
        printf("Failed to start thread of CSpkLoopback::ThreadProc\n");
        return 0;
    }
    vesk_platform::AwaitThreadRunning(m_hThread, m_bRunning, vesk_timings::kThreadStartPolls,
                                      vesk_timings::kThreadStartPollMs);
    VESK_LOG(m_pLogger, "---------CSpkLoopback::Start()---------\n");
    return m_bRunning;
}

bool CSpkLoopback::Stop() {
    m_bStop = 1;
    // With no thread the result is false.
    const bool stopped =
        m_hThread != nullptr &&
        vesk_platform::AwaitThreadEnd(m_hThread, vesk_timings::WAIT_OT_MS,
                                      "WaitForSingleObject(m_hThread, 5000); Failed dwRet = %x\n");
    VESK_LOG(m_pLogger, "---------CSpkLoopback::Stop()---------\n");
    return stopped;
}

unsigned __stdcall CSpkLoopback::ThreadProc(void* self) {
    static_cast<CSpkLoopback*>(self)->theThread();
    return 0;
}

HRESULT CSpkLoopback::InitializeStream(const WAVEFORMATEX* format) {
    HRESULT hr =
        m_pAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, 0, 0, format, nullptr);
    if (SUCCEEDED(hr)) {
        return hr;
    }
    VESK_LOG(m_pLogger, "AudioClient->Initialize() Failed.\n");
    if (hr != AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED) {
        return E_FAIL;
    }
    // Once more with a duration that matches the engine's aligned buffer.
    UINT32 frames = 0;
    hr = m_pAudioClient->GetBufferSize(&frames);
    if (FAILED(hr)) {
        return E_FAIL;
    }
    IAudioClient* client = nullptr;
    hr = m_pDevice->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                             reinterpret_cast<void**>(&client));
    if (FAILED(hr)) {
        return E_FAIL;
    }
    SafeRelease(m_pAudioClient);
    m_pAudioClient = client;
    const auto duration =
        static_cast<REFERENCE_TIME>(10000000.0 / format->nSamplesPerSec * frames + 0.5);
    hr = m_pAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, duration, 0, format,
                                    nullptr);
    return SUCCEEDED(hr) ? hr : E_FAIL;
}

HRESULT CSpkLoopback::theThread() {
    vesk_platform::NameThisThread("vesk-capture");
    // Scheduled as audio for its life: a packet waits 10 ms at most for it, and on a busy host a
    // late wake-up is a late far-end flag.
    const vesk_platform::AudioTaskScope audioTask;
    if (!audioTask.Joined() && !s_bAudioTaskRefusalLogged.exchange(true)) {
        VESK_LOG(m_pLogger,
                 "AvSetMmThreadCharacteristicsW(Audio) Failed, the capture thread runs at normal "
                 "priority.\n");
    }
    CoInitialize(nullptr);
    HRESULT hr = ConfigDevice();
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "ConfigDevice() Failed\n");
        CoUninitialize();
        return hr;
    }
    if (m_pAudioClient == nullptr) {
        VESK_LOG(m_pLogger, "Unexpected: m_pAudioClientis NULL.\n");
        CoUninitialize();
        return E_FAIL;
    }

    IAudioCaptureClient* capture = nullptr;
    hr = PrepareStream();
    // Without an event nothing more is set up; the result stays as it is.
    HANDLE event = SUCCEEDED(hr) ? CreateEventW(nullptr, FALSE, FALSE, nullptr) : nullptr;
    if (event != nullptr) {
        hr = StartStream(event, &capture);
        if (SUCCEEDED(hr)) {
            m_nSignalDetected = 0;
            m_bRunning = 1;
            vesk_status::CaptureRunning(true);
            if (m_bStop != 0) {
                m_pAudioClient->Stop();
            } else {
                hr = CaptureLoop(event, capture, hr);
            }
        }
        CloseHandle(event);
    }

    SafeRelease(capture);
    SafeRelease(m_pAudioClient);
    m_bRunning = 0;
    vesk_status::CaptureRunning(false);
    CoUninitialize();
    VESK_LOG(m_pLogger, "---------Exit CSpkLoopback::theThread()---------\n");
    return hr;
}

HRESULT CSpkLoopback::PrepareStream() {
    REFERENCE_TIME defaultPeriod = 0;
    REFERENCE_TIME minimumPeriod = 0;
    if (FAILED(m_pAudioClient->GetDevicePeriod(&defaultPeriod, &minimumPeriod))) {
        VESK_LOG(m_pLogger, "m_pAudioClient->GetDevicePeriod() Failed.\n");
        return E_FAIL;
    }
    const WAVEFORMATEX* format = m_bUsePreferredFormat ? &m_WfxPerferred : m_pWfx;
    HRESULT hr = InitializeStream(format);
    if (FAILED(hr)) {
        return hr;
    }
    if (FrameLength(format->nSamplesPerSec) == 0) {
        return E_FAIL;
    }
    delete m_pDetector;
    m_pDetector = new DetectorState;
    InitDetectorState(m_pDetector, static_cast<int32_t>(format->nSamplesPerSec));
    return hr;
}

HRESULT CSpkLoopback::StartStream(HANDLE event, IAudioCaptureClient** capture) {
    HRESULT hr = m_pAudioClient->SetEventHandle(event);
    if (SUCCEEDED(hr)) {
        hr = m_pAudioClient->GetService(IID_IAudioCaptureClient, reinterpret_cast<void**>(capture));
    }
    UINT32 bufferFrames = 0;
    if (SUCCEEDED(hr)) {
        hr = m_pAudioClient->GetBufferSize(&bufferFrames);
    }
    if (SUCCEEDED(hr)) {
        hr = m_pAudioClient->Start();
    }
    return hr;
}

// Until a stop request, or a packet that cannot be taken or given back: `hr` unchanged on a
// stop, the failing call's result otherwise.
HRESULT CSpkLoopback::CaptureLoop(HANDLE event, IAudioCaptureClient* capture, HRESULT hr) {
    for (;;) {
        if (WaitForSingleObject(event, vesk_timings::kPacketWaitMs) == WAIT_OBJECT_0) {
            const HRESULT taken = TakePacket(capture);
            if (FAILED(taken)) {
                return taken;
            }
        }
        if (m_bStop != 0) {
            m_pAudioClient->Stop();
            return hr;
        }
    }
}

HRESULT CSpkLoopback::TakePacket(IAudioCaptureClient* capture) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 0;
    EnterCriticalSection(&m_cs);
    const HRESULT got = capture->GetBuffer(&data, &frames, &flags, &position, nullptr);
    if (FAILED(got)) {
        LeaveCriticalSection(&m_cs);
        return got;
    }
    // A wake-up without a packet (the engine's first moments, Wine) holds no buffer: nothing
    // to count, detect or release.
    const bool packet = got != AUDCLNT_S_BUFFER_EMPTY && frames > 0;
    if (packet) {
        ProcessPacket(data, frames);
    }
    LeaveCriticalSection(&m_cs);
    return packet ? capture->ReleaseBuffer(frames) : S_OK;
}

void CSpkLoopback::ProcessPacket(const BYTE* data, UINT32 frames) {
    const int32_t packets = ++s_nPackets;
    if (packets % kPacketPrintPeriod == 0) {
        printf("Number of frames are processed: %d\n", packets);
    }
    ConvertSamples(data, frames);

    int32_t available = m_nWritePos - m_nReadPos;
    if (m_nWritePos < m_nReadPos) {
        available += m_nRingSize;
    }
    const int32_t half = m_nFrameLen >> 1;
    if (available < half) {
        return;
    }
    // One block per packet, however many the ring holds.
    int16_t block[BLOCK_48K];
    const auto take = [this](int16_t* to, int32_t count) {
        while (count > 0) {
            const int32_t run = std::min(count, m_nRingSize - m_nReadPos);
            std::memcpy(to, m_pRing + m_nReadPos, run * sizeof *to);
            to += run;
            count -= run;
            m_nReadPos += run;
            if (m_nReadPos == m_nRingSize) {
                m_nReadPos = 0;
            }
        }
    };
    if (half == kBlock44k) {
        int16_t in44k[kBlock44k];
        take(in44k, kBlock44k);
        Resample44To48(m_pResampler, in44k, block);
    } else if (half > 0) {
        take(block, half);
    }
    m_nSignalDetected = DetectSignal(block, m_pDetector);

    const int32_t blocks = ++s_nBlocks;
    if (blocks % kBlockLogPeriod == 0) {
        char text[120];
        snprintf(text, sizeof text, "fc: %d m_nSignalDetected = %d\n", blocks,
                 m_nSignalDetected.load());
        VESK_LOG(m_pLogger, text);
        printf("%s", text);
    }
}

HRESULT CSpkLoopback::ConfigDevice() {
    m_bDeviceFound = 0;
    // Each configuration starts from scratch.
    ReleaseStreamState();
    m_bUsePreferredFormat = false;

    if (strstr(m_szPorgramDataVeskAudioDir, kAudioFolderPart) == nullptr) {
        VESK_LOG(m_pLogger, "Unexpected m_szPorgramDataVeskAudioDir.\n");
        return E_FAIL;
    }
    if (!IsDirectory(m_szPorgramDataVeskAudioDir)) {
        VESK_LOG(m_pLogger,
                 "Unexpected, failed create/open vesk folder: C:/ProgramData/Vesk/Audio.\n");
        return E_FAIL;
    }
    HRESULT hr = SelectDevice();
    if (FAILED(hr)) {
        return hr;
    }
    hr = NegotiateFormat();
    if (FAILED(hr)) {
        return hr;
    }
    VESK_LOG(m_pLogger, "==========CSpkLoopback::ConfigDevice() done successfully==============\n");
    return S_OK;
}

// The default render endpoint, found among the active ones (which the device list file lists),
// becomes m_pDevice; the default one is used when it is not among them.
HRESULT CSpkLoopback::SelectDevice() {
    char text[kTextSize];
    char listPath[MAX_PATH];
    const int pathLength = snprintf(listPath, sizeof listPath, "%s%s", m_szPorgramDataVeskAudioDir,
                                    VESK_PATH_SEP "detected_audio_output_devices.txt");
    if (pathLength < 0 || pathLength >= static_cast<int>(sizeof listPath)) {
        listPath[0] = '\0';  // too long for a path: no list file rather than a wrong one
    }
    snprintf(text, sizeof text, "Detected audio output devices list file full path:%s\n", listPath);
    VESK_LOG(m_pLogger, text);
    File list(listPath[0] != '\0' ? OpenFileNoFollow(listPath, "w") : nullptr);
    if (!list) {
        snprintf(text, sizeof text, "Unexpected failed to create file of: %s\n", listPath);
        VESK_LOG(m_pLogger, text);
    }

    Com<IMMDeviceEnumerator> enumerator;
    HRESULT hr = CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                  IID_IMMDeviceEnumerator, enumerator.put_void());
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "Failed to create MMDeviceEnumerator.\n");
        return hr;
    }
    char defaultGuid[kGuidTextSize] = "";
    hr = ReadDefaultGuid(enumerator.get(), defaultGuid, sizeof defaultGuid);
    if (FAILED(hr)) {
        return hr;
    }
    char selectedGuid[kGuidTextSize] = "";
    snprintf(selectedGuid, sizeof selectedGuid, "%s", defaultGuid);
    snprintf(text, sizeof text,
             "ZIZ output device is not configured, use default output device, giud: %s\n",
             selectedGuid);
    VESK_LOG(m_pLogger, text);

    Com<IMMDevice> selected;
    Com<IMMDevice> fallback;
    hr = ListEndpoints(enumerator.get(), list.get(), defaultGuid, selectedGuid, selected.put(),
                       fallback.put());
    list.reset();
    if (FAILED(hr)) {
        return hr;
    }
    if (!selected) {
        snprintf(text, sizeof text,
                 "Failed to find selected device (device may be no longer active (unplugged?)). "
                 "bDeviceFound: %d, pSelectedDevice: 0x%p\n",
                 0, static_cast<void*>(nullptr));
        VESK_LOG(m_pLogger, text);
        if (!fallback) {
            snprintf(text, sizeof text,
                     "FATAL error, failed to find selected device and default device. "
                     "EXIT...bDeviceFound: %d, pSelectedDevice: %p\n",
                     0, static_cast<void*>(nullptr));
            VESK_LOG(m_pLogger, text);
            return E_FAIL;
        }
        snprintf(text, sizeof text,
                 "Failed to find selected device, let's use default output device: %s\n",
                 defaultGuid);
        VESK_LOG(m_pLogger, text);
    }
    m_pDevice = selected ? selected.release() : fallback.release();
    return S_OK;
}

// The endpoint's property store, for reading; a failure is logged.
HRESULT CSpkLoopback::OpenProperties(IMMDevice* endpoint, IPropertyStore** properties) {
    const HRESULT hr = endpoint->OpenPropertyStore(STGM_READ, properties);
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "Unexpected pDevice->OpenPropertyStore() Failed.\n");
    }
    return hr;
}

HRESULT CSpkLoopback::ReadDefaultGuid(IMMDeviceEnumerator* enumerator, char* guid, size_t size) {
    Com<IMMDevice> endpoint;
    HRESULT hr = enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, endpoint.put());
    // No sound server is not the same as no output device: only the answer "none" counts.
    if (SUCCEEDED(hr) || hr == E_NOTFOUND) {
        vesk_status::OutputDeviceFound(SUCCEEDED(hr));
    }
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "pEnumerator->GetDefaultAudioEndpoint() Failed.\n");
        return hr;
    }
    Com<IPropertyStore> properties;
    hr = OpenProperties(endpoint.get(), properties.put());
    if (FAILED(hr)) {
        return hr;
    }
    if (FAILED(ReadTextProperty(properties.get(), PKEY_AudioEndpoint_GUID, guid, size))) {
        guid[0] = '\0';
    }
    char text[kTextSize];
    snprintf(text, sizeof text, "Default speaker guid: %s\n", guid);
    VESK_LOG(m_pLogger, text);
    return S_OK;
}

// Logs every active render endpoint and writes it to the list file (when open); hands out the
// one with the selected GUID and the one with the default GUID, if found.
HRESULT CSpkLoopback::ListEndpoints(IMMDeviceEnumerator* enumerator, FILE* list,
                                    const char* defaultGuid, const char* selectedGuid,
                                    IMMDevice** selected, IMMDevice** fallback) {
    Com<IMMDeviceCollection> endpoints;
    HRESULT hr = enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, endpoints.put());
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "EnumAudioEndpoints() failed.\n");
        return hr;
    }
    UINT count = 0;
    hr = endpoints->GetCount(&count);
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "pEndpoints->GetCount() Failed.\n");
        return hr;
    }
    char text[kTextSize];
    char szDeviceName[kNameSize] = "";  // kept from the endpoint before when a read fails
    for (UINT i = 0; i < count; ++i) {
        Com<IMMDevice> endpoint;
        hr = endpoints->Item(i, endpoint.put());
        if (FAILED(hr)) {
            VESK_LOG(m_pLogger, "Unexpected pEndpoints->Item() Failed.\n");
            return hr;
        }
        Com<IPropertyStore> properties;
        hr = OpenProperties(endpoint.get(), properties.put());
        if (FAILED(hr)) {
            return hr;
        }
        char guid[kGuidTextSize] = "";
        const HRESULT guidRead =
            ReadTextProperty(properties.get(), PKEY_AudioEndpoint_GUID, guid, sizeof guid);
        if (SUCCEEDED(guidRead) && strcmp(guid, selectedGuid) == 0) {
            Replace(selected, endpoint.get());
            m_bDeviceFound = 1;
            snprintf(text, sizeof text, "Selected device found: %s\n", guid);
            VESK_LOG(m_pLogger, text);
        }
        const HRESULT nameRead = ReadTextProperty(properties.get(), PKEY_Device_FriendlyName,
                                                  szDeviceName, sizeof szDeviceName);
        if (SUCCEEDED(guidRead) && strcmp(guid, selectedGuid) == 0) {
            vesk_status::CaptureDevice(szDeviceName, guid);
        }
        snprintf(text, sizeof text, "%d GUID: %s, len: %zd szDeviceName: %s\n", static_cast<int>(i),
                 guid, strlen(guid), szDeviceName);
        VESK_LOG(m_pLogger, text);

        const bool isDefault = SUCCEEDED(nameRead) && strcmp(guid, defaultGuid) == 0;
        if (isDefault) {
            Replace(fallback, endpoint.get());
        }
        if (list != nullptr) {
            fprintf(list, isDefault ? "D | %d, %s, %s\n" : "  | %d, %s, %s\n", static_cast<int>(i),
                    guid, szDeviceName);
        }
    }
    return S_OK;
}

// The audio client of m_pDevice, its mix format (m_pWfx) checked, and the stream format chosen.
HRESULT CSpkLoopback::NegotiateFormat() {
    HRESULT hr = m_pDevice->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr,
                                     reinterpret_cast<void**>(&m_pAudioClient));
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "Unexpected m_pDevice->Activate()| Failed\n");
        m_pAudioClient = nullptr;
        SafeRelease(m_pDevice);
        return hr;
    }
    m_eFormatType = EN_WAVE_FORMAT_NONE;
    hr = m_pAudioClient->GetMixFormat(&m_pWfx);
    if (FAILED(hr) || m_pWfx == nullptr) {
        // Without a mix format there is nothing to negotiate.
        VESK_LOG(m_pLogger, "m_pAudioClient->GetMixFormat() Failed.\n");
        m_pWfx = nullptr;
        return FAILED(hr) ? hr : E_FAIL;
    }
    char text[kTextSize];
    snprintf(text, sizeof text,
             "wFormatTag: %d nChannels: %d nSamplesPerSec: %d nBlockAlign: %d wBitsPerSample: %d\n",
             m_pWfx->wFormatTag, m_pWfx->nChannels, static_cast<int>(m_pWfx->nSamplesPerSec),
             m_pWfx->nBlockAlign, m_pWfx->wBitsPerSample);
    VESK_LOG(m_pLogger, text);
    hr = CheckFormat();
    if (FAILED(hr)) {
        return hr;
    }
    int32_t bits = 16;
    hr = ChooseStreamFormat(&bits);
    if (FAILED(hr)) {
        return hr;
    }
    SetCaptureGeometry(bits);
    return S_OK;
}

// The mix format's kind of samples (m_eFormatType) and width.
HRESULT CSpkLoopback::CheckFormat() {
    char text[kTextSize];
    switch (m_pWfx->wFormatTag) {
        case WAVE_FORMAT_PCM:
            VESK_LOG(m_pLogger, "m_pWfx->wFormatTag == WAVE_FORMAT_PCM\n");
            m_eFormatType = EN_WAVE_FORMAT_PCM;
            m_pWfx->cbSize = 0;
            break;
        case WAVE_FORMAT_IEEE_FLOAT:
            VESK_LOG(m_pLogger, "m_pWfx->wFormatTag == WAVE_FORMAT_IEEE_FLOAT\n");
            m_eFormatType = EN_WAVE_FORMAT_IEEE_FLOAT;
            m_pWfx->cbSize = 0;
            break;
        case WAVE_FORMAT_EXTENSIBLE:
            if (IsSubFormat(m_pWfx, kSubFormatPcm)) {
                VESK_LOG(m_pLogger,
                         "m_pWfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE, subtype is PCM\n");
                m_eFormatType = EN_WAVE_FORMAT_PCM;
            } else if (IsSubFormat(m_pWfx, kSubFormatFloat)) {
                VESK_LOG(m_pLogger,
                         "m_pWfx->wFormatTag == WAVE_FORMAT_EXTENSIBLE, subtype is FLOAT\n");
                m_eFormatType = EN_WAVE_FORMAT_IEEE_FLOAT;
            }
            break;
        default:
            snprintf(text, sizeof text, "Unsupported m_pWfx->wFormatTag == 0x%x\n",
                     m_pWfx->wFormatTag);
            VESK_LOG(m_pLogger, text);
            return E_FAIL;
    }
    if (!IsSampleWidth(m_pWfx->wBitsPerSample)) {
        snprintf(text, sizeof text,
                 "CheckFormat() | Failed, unsupported BitsPerSample wBitsPerSample = %d\n",
                 m_pWfx->wBitsPerSample);
        VESK_LOG(m_pLogger, text);
        return E_FAIL;
    }
    return S_OK;
}

// The preferred 16-bit PCM format at the first rate the engine takes as it is; otherwise the
// mix format itself at such a rate. Sets the stream's channels and rate, and `bits`.
HRESULT CSpkLoopback::ChooseStreamFormat(int32_t* bits) {
    char text[kTextSize];
    m_WfxPerferred = WAVEFORMATEX{};
    m_WfxPerferred.wFormatTag = WAVE_FORMAT_PCM;
    m_WfxPerferred.nChannels = m_pWfx->nChannels;
    m_WfxPerferred.wBitsPerSample = 16;
    m_WfxPerferred.cbSize = 0;
    if (FindSupportedRate(m_pAudioClient, &m_WfxPerferred)) {
        m_bUsePreferredFormat = true;
        snprintf(text, sizeof text,
                 "Native Sampling rate match found | ch: %d Rates[i]: %d "
                 "m_WfxPerferred.nSamplesPerSec: %d\n",
                 m_WfxPerferred.nChannels, static_cast<int>(m_WfxPerferred.nSamplesPerSec),
                 static_cast<int>(m_WfxPerferred.nSamplesPerSec));
        VESK_LOG(m_pLogger, text);
        m_nChannels = m_WfxPerferred.nChannels;
        m_nSamplesPerSec = static_cast<int32_t>(m_WfxPerferred.nSamplesPerSec);
        m_eFormatType = EN_WAVE_FORMAT_PCM;
        *bits = 16;
        return S_OK;
    }
    if (!FindSupportedRate(m_pAudioClient, m_pWfx)) {
        VESK_LOG(m_pLogger, "IsFormatSupported() Failed to find a supported sampling rate\n");
        return E_FAIL;
    }
    snprintf(text, sizeof text, "CheckFormat(), IsFormatSupported() - pWfx->nSamplesPerSec = %d\n",
             static_cast<int>(m_pWfx->nSamplesPerSec));
    VESK_LOG(m_pLogger, text);
    m_nChannels = m_pWfx->nChannels;
    m_nSamplesPerSec = static_cast<int32_t>(m_pWfx->nSamplesPerSec);
    *bits = m_pWfx->wBitsPerSample;
    return S_OK;
}

// Frame length, resampler and ring for the stream's rate.
void CSpkLoopback::SetCaptureGeometry(int32_t bits) {
    m_nBitsPerSample = bits;
    char format[16];
    snprintf(format, sizeof format,
             m_eFormatType == EN_WAVE_FORMAT_IEEE_FLOAT ? "float%d" : "pcm%d",
             static_cast<int>(bits));
    vesk_status::CaptureFormat(m_nSamplesPerSec, m_nChannels, format);
    m_nFrameLen = FrameLength(static_cast<DWORD>(m_nSamplesPerSec));
    if (m_nSamplesPerSec == 44100) {
        if (m_pResampler == nullptr) {
            m_pResampler = new ResamplerState;
        }
        ClearResamplerState(m_pResampler);
    }
    m_nRingSize = kRingFrames * m_nFrameLen;
    m_pRing = new int16_t[m_nRingSize]();
    m_nWritePos = m_nFrameLen;
    m_nReadPos = 0;
}

bool CSpkLoopback::ConvertSamples(const BYTE* data, UINT32 frames) {
    if (m_eFormatType != EN_WAVE_FORMAT_PCM && m_eFormatType != EN_WAVE_FORMAT_IEEE_FLOAT) {
        VESK_LOG(m_pLogger,
                 "Unexpected m_eFormatType, we support EN_WAVE_FORMAT_PCM and "
                 "EN_WAVE_FORMAT_IEEE_FLOAT.\n");
        return false;
    }
    if (m_pWfx == nullptr || !IsSampleWidth(m_pWfx->wBitsPerSample)) {
        VESK_LOG(m_pLogger, "Unexpected nBitsPerSample.\n");
        return false;
    }
    if (!IsSampleWidth(m_nBitsPerSample)) {
        VESK_LOG(m_pLogger, "Unexpected nBitsPerSample.\n");
        return false;
    }
    const int bytesPerSample = m_nBitsPerSample / 8;
    const int msbOffset = bytesPerSample - 2;  // the 16 most significant bits
    const int channels = m_nChannels;
    const float gain = Gain(channels);
    const int summed = channels < 4 ? channels : 4;

    // Writes convert(frame) for every frame, in ring segments between wraps.
    const auto write = [this, data, frames](size_t frameBytes, auto convert) {
        UINT32 done = 0;
        while (done < frames) {
            const UINT32 room = static_cast<UINT32>(m_nRingSize - m_nWritePos);
            const UINT32 count = frames - done < room ? frames - done : room;
            int16_t* out = m_pRing + m_nWritePos;
            const BYTE* in = data + done * frameBytes;
            for (UINT32 i = 0; i < count; ++i) {
                out[i] = convert(in + i * frameBytes);
            }
            done += count;
            m_nWritePos += static_cast<int32_t>(count);
            if (m_nWritePos == m_nRingSize) {
                m_nWritePos = 0;
            }
        }
    };

    if (m_eFormatType == EN_WAVE_FORMAT_IEEE_FLOAT) {
        const size_t frameBytes = static_cast<size_t>(channels) * 4;
        if (channels == 1) {
            write(frameBytes,
                  [](const BYTE* frame) { return Truncate(Clamp(ReadFloat(frame) * 32767.0f)); });
        } else {
            write(frameBytes, [channels, gain](const BYTE* frame) {
                float sum = 0.0f;
                for (int c = 0; c < channels; ++c) {
                    sum += ReadFloat(frame + 4 * c) * 32767.0f;
                }
                return Truncate(Clamp(sum) * gain);
            });
        }
        return true;
    }
    const size_t frameBytes = static_cast<size_t>(channels) * bytesPerSample;
    if (channels == 1 && m_nBitsPerSample == 16) {
        write(frameBytes, [](const BYTE* frame) { return ReadInt16(frame); });
    } else if (channels == 2 && m_nBitsPerSample == 16) {
        // The gain is applied twice on this path.
        write(frameBytes, [gain](const BYTE* frame) {
            const float v =
                (static_cast<float>(ReadInt16(frame + 2)) + static_cast<float>(ReadInt16(frame))) *
                gain;
            return Truncate(Clamp(v) * gain);
        });
    } else if (m_nBitsPerSample == 8) {
        write(frameBytes, [summed, gain](const BYTE* frame) {
            float sum = 0.0f;
            for (int c = 0; c < summed; ++c) {
                sum += static_cast<float>((frame[c] - 128) * 256);
            }
            return Truncate(Clamp(sum) * gain);
        });
    } else {
        write(frameBytes, [summed, gain, bytesPerSample, msbOffset](const BYTE* frame) {
            float sum = 0.0f;
            for (int c = 0; c < summed; ++c) {
                sum += static_cast<float>(ReadInt16(frame + c * bytesPerSample + msbOffset));
            }
            return Truncate(Clamp(sum) * gain);
        });
    }
    return true;
}
