// The COM plumbing of coreaudio.h on Linux: GUIDs, property values, task memory and the
// creation of the endpoint enumerator.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "platform/coreaudio.h"
#include "platform/linux/pulse/pulse_audio.h"
#include "platform/seams.h"

bool IsEqualGUID(const GUID& a, const GUID& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

const CLSID CLSID_MMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const IID IID_IAudioClient = {
    0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
const IID IID_IAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
const IID IID_IMMNotificationClient = {
    0x7991EEC9, 0x7E89, 0x4D85, {0x83, 0x90, 0x6C, 0x70, 0x3C, 0xEC, 0x60, 0xC0}};
const PROPERTYKEY PKEY_AudioEndpoint_GUID = {
    {0x1DA5D803, 0xD492, 0x4EDD, {0x8C, 0x23, 0xE0, 0xC0, 0xFF, 0xEE, 0x7F, 0x0E}}, 4};
const PROPERTYKEY PKEY_Device_FriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};

void PropVariantInit(PROPVARIANT* pv) {
    memset(pv, 0, sizeof *pv);
}

HRESULT PropVariantClear(PROPVARIANT* pv) {
    if (pv == nullptr) {
        return E_POINTER;
    }
    if (pv->vt == VT_LPWSTR) {
        CoTaskMemFree(pv->pwszVal);
    }
    PropVariantInit(pv);
    return S_OK;
}

HRESULT CoInitialize(LPVOID /*reserved*/) {
    return S_OK;
}

void CoUninitialize() {}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN /*pUnkOuter*/, DWORD /*dwClsContext*/,
                         REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (!IsEqualGUID(rclsid, CLSID_MMDeviceEnumerator)) {
        return REGDB_E_CLASSNOTREG;
    }
    IMMDeviceEnumerator* enumerator = nullptr;
    vesk_platform::AudioEndpointsFactory factory = vesk_platform::AudioEndpoints();
    const HRESULT hr =
        factory != nullptr ? factory(&enumerator) : pulse_audio::CreateEnumerator(&enumerator);
    if (FAILED(hr)) {
        return hr;
    }
    const HRESULT query = enumerator->QueryInterface(riid, ppv);
    enumerator->Release();
    return query;
}

LPVOID CoTaskMemAlloc(size_t size) {
    return malloc(size);
}

void CoTaskMemFree(LPVOID pv) {
    free(pv);
}

int WideCharToMultiByte(UINT /*codePage*/, DWORD /*flags*/, const wchar_t* wide, int wideLength,
                        LPSTR multiByte, int multiByteSize, LPCSTR /*defaultChar*/,
                        BOOL* usedDefaultChar) {
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = FALSE;
    }
    // UTF-8 encoding of each code point; -1 means up to and including the terminator.
    int written = 0;
    for (int i = 0; wideLength < 0 || i < wideLength; ++i) {
        const auto c = static_cast<uint32_t>(wide[i]);
        char bytes[4];
        int count = 0;
        if (c < 0x80) {
            bytes[count++] = static_cast<char>(c);
        } else if (c < 0x800) {
            bytes[count++] = static_cast<char>(0xC0 | (c >> 6));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            bytes[count++] = static_cast<char>(0xE0 | (c >> 12));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes[count++] = static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes[count++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        if (multiByteSize > 0) {
            if (written + count > multiByteSize) {
                return 0;  // ERROR_INSUFFICIENT_BUFFER
            }
            memcpy(multiByte + written, bytes, count);
        }
        written += count;
        if (wideLength < 0 && c == 0) {
            break;
        }
    }
    return written;
}
