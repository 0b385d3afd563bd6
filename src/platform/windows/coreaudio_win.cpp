// Windows: defines the Core Audio interface ids and property keys that the system headers
// only declare, and routes the audio endpoints' creation through the audio-endpoints seam.
#include <initguid.h>

#include "platform/coreaudio.h"
#include "platform/seams.h"

#undef CoCreateInstance

HRESULT VeskCoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                             LPVOID* ppv) {
    vesk_platform::AudioEndpointsFactory factory = vesk_platform::AudioEndpoints();
    if (factory != nullptr && IsEqualCLSID(rclsid, __uuidof(MMDeviceEnumerator))) {
        IMMDeviceEnumerator* enumerator = nullptr;
        const HRESULT hr = factory(&enumerator);
        if (FAILED(hr)) {
            return hr;
        }
        const HRESULT query = enumerator->QueryInterface(riid, ppv);
        enumerator->Release();
        return query;
    }
    return ::CoCreateInstance(rclsid, pUnkOuter, dwClsContext, riid, ppv);
}
