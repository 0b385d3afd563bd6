#include "platform/ServiceEvent.h"
#include "platform/seams.h"

namespace {

std::atomic<vesk_platform::ServiceEventObserver> g_observer{nullptr};

HANDLE RegisterServiceEventSource() {
    return RegisterEventSourceW(nullptr, L"VeskAudioService");
}

}  // namespace

// Registered during static initialisation, before main, in every mode of the program.
HANDLE g_hEventSource = RegisterServiceEventSource();
std::atomic<int32_t> g_nEventId{1};

void ReportServiceEvent(WORD type, const char* text) {
    const DWORD eventId = static_cast<DWORD>(g_nEventId.fetch_add(1));
    if (vesk_platform::ServiceEventObserver observer = g_observer.load()) {
        observer(type, eventId, text);
        return;
    }
    LPCSTR strings[1] = {text};
    ReportEventA(g_hEventSource, type, 0, eventId, nullptr, 1, 0, strings, nullptr);
}

namespace vesk_platform {

void SetServiceEventObserver(ServiceEventObserver observer) {
    g_observer.store(observer);
}

}  // namespace vesk_platform
