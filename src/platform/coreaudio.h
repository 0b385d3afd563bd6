// The Core Audio interfaces the capture is written against: the endpoint enumerator, its
// endpoints and property stores, and the audio client in loopback mode.
//
// On Windows these are the real COM interfaces. On Linux this header declares the subset the
// service uses, implemented on PulseAudio (linux/coreaudio_linux.cpp and linux/pulse/): render
// endpoints are sinks, the loopback stream records a sink's monitor. Tests may replace the
// endpoints with their own (SetAudioEndpoints, seams.h).
#pragma once

#include "platform/platform.h"

#ifdef _WIN32

#include <mmdeviceapi.h>
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <ksmedia.h>
#include <mmreg.h>

// Endpoint enumerators are created through the platform layer (the test seam below).
#define CoCreateInstance VeskCoCreateInstance
HRESULT VeskCoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                             LPVOID* ppv);

#else  // Linux

#include <cstddef>

typedef uint32_t ULONG;
typedef uint32_t UINT32;
typedef unsigned int UINT;
typedef uint64_t UINT64;
typedef int64_t REFERENCE_TIME;
typedef wchar_t* LPWSTR;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFIID;
typedef const GUID& REFCLSID;
bool IsEqualGUID(const GUID& a, const GUID& b);

#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_NOTFOUND ((HRESULT)0x80070490)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)
#define AUDCLNT_E_NOT_INITIALIZED ((HRESULT)0x88890001)
#define AUDCLNT_E_ALREADY_INITIALIZED ((HRESULT)0x88890002)
#define AUDCLNT_E_DEVICE_INVALIDATED ((HRESULT)0x88890004)
#define AUDCLNT_E_UNSUPPORTED_FORMAT ((HRESULT)0x88890008)
#define AUDCLNT_E_SERVICE_NOT_RUNNING ((HRESULT)0x88890010)
#define AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED ((HRESULT)0x88890019)
#define AUDCLNT_S_BUFFER_EMPTY ((HRESULT)0x08890001)

#define CLSCTX_ALL 0x17
#define STGM_READ 0x00000000
#define DEVICE_STATE_ACTIVE 0x00000001
#define DEVICE_STATE_DISABLED 0x00000002
#define DEVICE_STATE_NOTPRESENT 0x00000004
#define DEVICE_STATE_UNPLUGGED 0x00000008
#define STDMETHODCALLTYPE
#define CP_ACP 0

#define AUDCLNT_STREAMFLAGS_LOOPBACK 0x00020000
#define AUDCLNT_STREAMFLAGS_EVENTCALLBACK 0x00040000
#define AUDCLNT_BUFFERFLAGS_SILENT 0x2

#define WAVE_FORMAT_PCM 0x0001
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)

enum EDataFlow { eRender, eCapture, eAll };
enum ERole { eConsole, eMultimedia, eCommunications };
enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED, AUDCLNT_SHAREMODE_EXCLUSIVE };

struct PROPERTYKEY {
    GUID fmtid;
    DWORD pid;
};

#define VT_EMPTY 0
#define VT_LPWSTR 31
struct PROPVARIANT {
    WORD vt;
    union {
        LPWSTR pwszVal;
        uint64_t uhVal;
    };
};
void PropVariantInit(PROPVARIANT* pv);
HRESULT PropVariantClear(PROPVARIANT* pv);

extern const CLSID CLSID_MMDeviceEnumerator;
extern const IID IID_IUnknown;
extern const IID IID_IMMDeviceEnumerator;
extern const IID IID_IAudioClient;
extern const IID IID_IAudioCaptureClient;
extern const IID IID_IMMNotificationClient;
extern const PROPERTYKEY PKEY_AudioEndpoint_GUID;
extern const PROPERTYKEY PKEY_Device_FriendlyName;

// Reference-counted interfaces: Release frees the object when the count reaches 0.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;

struct IPropertyStore : IUnknown {
    virtual HRESULT GetValue(const PROPERTYKEY& key, PROPVARIANT* pv) = 0;

  protected:
    ~IPropertyStore() = default;
};

struct IMMDevice : IUnknown {
    virtual HRESULT Activate(REFIID iid, DWORD dwClsCtx, PROPVARIANT* pActivationParams,
                             void** ppInterface) = 0;
    virtual HRESULT OpenPropertyStore(DWORD stgmAccess, IPropertyStore** ppProperties) = 0;

  protected:
    ~IMMDevice() = default;
};

struct IMMDeviceCollection : IUnknown {
    virtual HRESULT GetCount(UINT* pcDevices) = 0;
    virtual HRESULT Item(UINT nDevice, IMMDevice** ppDevice) = 0;

  protected:
    ~IMMDeviceCollection() = default;
};

// Endpoint notifications; called on a thread of the audio system.
struct IMMNotificationClient : IUnknown {
    virtual HRESULT OnDeviceStateChanged(LPCWSTR deviceId, DWORD newState) = 0;
    virtual HRESULT OnDeviceAdded(LPCWSTR deviceId) = 0;
    virtual HRESULT OnDeviceRemoved(LPCWSTR deviceId) = 0;
    virtual HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR deviceId) = 0;
    virtual HRESULT OnPropertyValueChanged(LPCWSTR deviceId, const PROPERTYKEY key) = 0;

  protected:
    ~IMMNotificationClient() = default;
};

struct IMMDeviceEnumerator : IUnknown {
    virtual HRESULT EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask,
                                       IMMDeviceCollection** ppDevices) = 0;
    virtual HRESULT GetDefaultAudioEndpoint(EDataFlow dataFlow, ERole role,
                                            IMMDevice** ppEndpoint) = 0;
    // The enumerator holds a reference to the client while it is registered; after
    // Unregister returns, the client is not called any more.
    virtual HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
    virtual HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;

  protected:
    ~IMMDeviceEnumerator() = default;
};

struct IAudioClient : IUnknown {
    virtual HRESULT Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags,
                               REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME hnsPeriodicity,
                               const WAVEFORMATEX* pFormat, const GUID* audioSessionGuid) = 0;
    virtual HRESULT GetBufferSize(UINT32* pNumBufferFrames) = 0;
    virtual HRESULT IsFormatSupported(AUDCLNT_SHAREMODE shareMode, const WAVEFORMATEX* pFormat,
                                      WAVEFORMATEX** ppClosestMatch) = 0;
    virtual HRESULT GetMixFormat(WAVEFORMATEX** ppDeviceFormat) = 0;
    virtual HRESULT GetDevicePeriod(REFERENCE_TIME* phnsDefaultDevicePeriod,
                                    REFERENCE_TIME* phnsMinimumDevicePeriod) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT SetEventHandle(HANDLE eventHandle) = 0;
    virtual HRESULT GetService(REFIID riid, void** ppv) = 0;

  protected:
    ~IAudioClient() = default;
};

struct IAudioCaptureClient : IUnknown {
    // One packet: data, frames and flags; AUDCLNT_S_BUFFER_EMPTY with 0 frames when none.
    virtual HRESULT GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                              UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) = 0;
    virtual HRESULT ReleaseBuffer(UINT32 numFramesRead) = 0;

  protected:
    ~IAudioCaptureClient() = default;
};

HRESULT CoInitialize(LPVOID reserved);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                         LPVOID* ppv);
LPVOID CoTaskMemAlloc(size_t size);
void CoTaskMemFree(LPVOID pv);

// UTF-8 is the system code page here.
int WideCharToMultiByte(UINT codePage, DWORD flags, const wchar_t* wide, int wideLength,
                        LPSTR multiByte, int multiByteSize, LPCSTR defaultChar,
                        BOOL* usedDefaultChar);

#endif  // _WIN32

// "{00000001-0000-0010-8000-00aa00389b71}" into a GUID; false when the text does not fit the
// layout.
bool GuidFromString(const char* text, GUID* guid);
