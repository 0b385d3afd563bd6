#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/coreaudio.h"
#include "platform/seams.h"

bool GuidFromString(const char* text, GUID* guid) {
    unsigned long data1 = 0;
    unsigned data2 = 0;
    unsigned data3 = 0;
    unsigned data4[8] = {};
    int consumed = 0;
    const int fields = sscanf(text, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}%n", &data1,
                              &data2, &data3, &data4[0], &data4[1], &data4[2], &data4[3], &data4[4],
                              &data4[5], &data4[6], &data4[7], &consumed);
    if (fields != 11 || consumed != static_cast<int>(strlen(text))) {
        return false;
    }
    guid->Data1 = static_cast<uint32_t>(data1);
    guid->Data2 = static_cast<uint16_t>(data2);
    guid->Data3 = static_cast<uint16_t>(data3);
    for (int i = 0; i < 8; ++i) {
        guid->Data4[i] = static_cast<uint8_t>(data4[i]);
    }
    return true;
}

namespace vesk_platform {
namespace {
std::atomic<AudioEndpointsFactory> g_audioEndpoints{nullptr};
}  // namespace

void SetAudioEndpoints(AudioEndpointsFactory factory) {
    g_audioEndpoints.store(factory);
}

AudioEndpointsFactory AudioEndpoints() {
    return g_audioEndpoints.load();
}

}  // namespace vesk_platform
