// Longer than 400 lines: the controller and its endpoint monitor share the controller's one
// context and start and stop together, so they stay in one unit.
#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "RestOverHid/windows/RestOHid.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "base/timings.h"
#include "platform/ServiceEvent.h"
#include "platform/seams.h"
#include "platform/thread_control.h"
#include "status/StatusBoard.h"

namespace {

constexpr size_t kTextSize = 256;

SpkLoopbackContext s_context{};

// Start and Stop come from different service threads (service main, control handler).
// The first lock of all (platform/thread_control.h): held while Start and Stop wait for threads.
std::mutex s_entryMutex;

// A logger that Stop could not destroy because a thread did not end in time; the next Start
// destroys it once that thread has ended.
CVeskLogger* s_pOrphanedLogger = nullptr;

CVeskLogger* Logger() {
    return g_pThis->m_pLogger.load();
}

// The controller's threads wake every 100 ms anyway: each pass puts what was logged since on
// disk, so that a crash or a kill loses at most a pass of lines, and keeps the status snapshot
// current. The main thread can be held in a capture start or stop for seconds, the monitor
// not; both do it, whichever comes first.
void Housekeeping() {
    CVeskLogger* logger = Logger();
    if (logger != nullptr) {
        logger->FlushPending();
    }
    vesk_status::WriteIfDue(g_pThis->m_szAudioDir, CSpkLoopback::s_nPackets.load(), logger);
}

// Asks a thread to end and waits for it; true when it has ended (or there was none), and
// then its handle is closed. On failure the handle is kept for a later attempt.
bool EndThread(HANDLE& thread, std::atomic<bool>& stop, const char* failureFormat) {
    if (thread == nullptr) {
        return true;
    }
    stop = true;
    vesk_platform::WakeStoppedSleeps();
    return vesk_platform::AwaitThreadEnd(thread, vesk_timings::WAIT_OT_MS, failureFormat);
}

bool EndMonitorThread() {
    return EndThread(g_pThis->hWin, g_pThis->m_bMonitorStop,
                     "WaitForSingleObject(g_pThis->hWin, WAIT_OT_MS); Failed dwRet = %x\n");
}

bool EndMainThread() {
    return EndThread(g_pThis->m_hThread, g_pThis->m_bStop,
                     "WaitForSingleObject(m_hThread, WAIT_OT_MS); Failed dwRet = %x\n");
}

// A path cut short would name another folder, so it counts as a failure.
bool FormatPath(char (&out)[MAX_PATH], const char* folder, const char* tail) {
    const int length = snprintf(out, sizeof out, "%s%s", folder, tail);
    return length >= 0 && length < static_cast<int>(sizeof out);
}

void CreateDataFolders(const char* parentDir, const char* audioDir) {
    if (!IsDirectory(parentDir)) {
        if (!MakeDirectory(parentDir)) {
            printf("Failed to make folder of Vesk.\n");
        } else if (!MakeDirectory(audioDir)) {
            printf("Failed to make folder of Vesk\\Audio.\n");
        }
    } else if (!IsDirectory(audioDir) && !MakeDirectory(audioDir)) {
        printf("Failed to make folder of Vesk\\Audio....2\n");
    }
}

// A folder planted as a link (junction or symbolic link) by a user, where the service expects
// its own: the log and the device list must not land where it points, so the service runs
// without its data folder (the log on standard output, no capture) and says why.
void RefuseLinkedDataFolder(const char* parentDir, char (&audioDir)[MAX_PATH]) {
    const char* link = IsLink(parentDir) ? parentDir : IsLink(audioDir) ? audioDir : nullptr;
    if (link == nullptr) {
        return;
    }
    char text[kTextSize + MAX_PATH];
    snprintf(text, sizeof text,
             "The data folder is a link (junction or symbolic link), not used: %s", link);
    printf("%s\n", text);
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, text);
    audioDir[0] = '\0';
}

// The main loop's own counts, kept across passes.
struct LoopCounts {
    int retryCountdown = vesk_timings::kDeviceRetryPasses;
    int startHold = 0;  // passes before a start may follow a failed one
};

void StartCapture(CSpkLoopback* capture, LoopCounts& counts) {
    const vesk_platform::ServiceStopwatch stopwatch;
    if (capture->Start() != 0) {
        return;
    }
    // The start's own time counts: one that failed only when its poll ran out is tried again in
    // the next pass, as before.
    const uint64_t spent = stopwatch.ElapsedMs();
    counts.startHold = std::max(
        1, vesk_timings::kFailedStartHoldPasses - static_cast<int>(spent / vesk_timings::kPassMs));
}

// One pass of the main loop while the notifier has a camera ready.
void ReadyPass(CSpkLoopback* capture, bool captureWasRunning, LoopCounts& counts) {
    SpkLoopbackContext& ctx = *g_pThis;
    char text[kTextSize];
    int& retryCountdown = counts.retryCountdown;
    if (!captureWasRunning) {
        if (counts.startHold == 0) {
            // The start takes in the default device as it is now: a restart for a change
            // reported before it would cut its first seconds short. Cleared before the start,
            // so that a report during it still counts.
            ctx.m_nRestartCountdown = 0;
            StartCapture(capture, counts);
        }
    } else if (capture->m_bDeviceFound == 0 && --retryCountdown == 0) {
        // Started again by the next pass.
        capture->Stop();
        retryCountdown = vesk_timings::kDeviceRetryPasses;
        snprintf(text, sizeof text, "Failed to find speaker device, retry interval: %d seconds\n",
                 vesk_timings::kDeviceRetryPasses * vesk_timings::kPassMs / 1000);
        VESK_LOG(Logger(), text);
    }

    // Only this thread counts down; the monitor may set it back to 50 at any time.
    if (ctx.m_nRestartCountdown.load() > 0 && ctx.m_nRestartCountdown.fetch_sub(1) == 1) {
        ctx.m_bRestart = true;
        VESK_LOG(Logger(),
                 "============Default render device changed, restart SpkLoopback=============\n");
    }
    if (ctx.m_bRestart) {
        if (capture->m_bRunning != 0) {
            capture->Stop();
            Sleep(vesk_timings::kRestartPauseMs);
        }
        StartCapture(capture, counts);
        ctx.m_bRestart = false;
    }
}

}  // namespace

SpkLoopbackContext* const g_pThis = &s_context;

unsigned __stdcall theMainThreadProc(void* /*unused*/) {
    vesk_platform::NameThisThread("vesk-controller");
    SpkLoopbackContext& ctx = *g_pThis;
    auto* capture = new CSpkLoopback(Logger(), ctx.m_szAudioDir);
    auto* notifier = new CRestOHid(Logger());
    ctx.m_pSpkLoopback = capture;
    // Raised before the boot wait so that Start reports the thread's start; the wait and the
    // notifier start below look at the stop request too, so a Stop never waits them out.
    ctx.m_bRunning = true;

    char text[kTextSize];
    snprintf(text, sizeof text,
             "SpkLoopback_API theMainThreadProc() | wait for %d seconds to make sure system is "
             "fully booted up.\n",
             vesk_timings::kBootWaitMs / 1000);
    VESK_LOG(Logger(), text);
    const auto stopped = [&ctx] { return ctx.m_bStop.load(); };
    for (int i = 0; i < vesk_timings::kBootWaitPasses && !ctx.m_bStop; ++i) {
        Housekeeping();
        vesk_platform::SleepUnless(vesk_timings::kPassMs, stopped);
    }
    if (!ctx.m_bStop) {
        VESK_LOG(Logger(), "SpkLoopback_API theMainThreadProc() |  wait has finished.\n");
        notifier->Run();
    }

    LoopCounts counts;
    while (!ctx.m_bStop) {
        const bool captureWasRunning = capture->m_bRunning != 0;
        if (notifier->IsReady()) {
            ReadyPass(capture, captureWasRunning, counts);
        } else if (captureWasRunning) {
            capture->Stop();
        }
        if (counts.startHold > 0) {
            --counts.startHold;
        }
        Housekeeping();
        vesk_platform::SleepUnless(vesk_timings::kPassMs, stopped);
    }

    ctx.m_bRunning = false;
    ctx.m_pSpkLoopback = nullptr;
    // The notifier's thread reads the capture object, so it ends first.
    delete notifier;
    delete capture;
    return 0;
}

namespace {

const char* StateName(DWORD state) {
    switch (state) {
        case DEVICE_STATE_ACTIVE:
            return "ACTIVE";
        case DEVICE_STATE_DISABLED:
            return "DISABLED";
        case DEVICE_STATE_NOTPRESENT:
            return "NOTPRESENT";
        case DEVICE_STATE_UNPLUGGED:
            return "UNPLUGGED";
        default:
            return "?????";
    }
}

const char* FlowName(EDataFlow flow) {
    switch (flow) {
        case eRender:
            return "eRender";
        case eCapture:
            return "eCapture";
        default:
            return "?????";
    }
}

const char* RoleName(ERole role) {
    switch (role) {
        case eConsole:
            return "eConsole";
        case eMultimedia:
            return "eMultimedia";
        case eCommunications:
            return "eCommunications";
        default:
            return "?????";
    }
}

}  // namespace

ULONG STDMETHODCALLTYPE CMMNotificationClient::AddRef() {
    return ++m_cRef;
}

ULONG STDMETHODCALLTYPE CMMNotificationClient::Release() {
    const ULONG count = --m_cRef;
    if (count == 0) {
        delete this;
    }
    return count;
}

HRESULT STDMETHODCALLTYPE CMMNotificationClient::QueryInterface(REFIID riid, void** ppv) {
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IMMNotificationClient)) {
        AddRef();
        *ppv = static_cast<IMMNotificationClient*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE CMMNotificationClient::OnDeviceStateChanged(LPCWSTR /*deviceId*/,
                                                                      DWORD newState) {
    printf("  -->New device state is DEVICE_STATE_%s (0x%8.8x)\n", StateName(newState),
           static_cast<unsigned>(newState));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMMNotificationClient::OnDeviceAdded(LPCWSTR /*deviceId*/) {
    printf("  -->Added device\n");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMMNotificationClient::OnDeviceRemoved(LPCWSTR /*deviceId*/) {
    printf("  -->Removed device\n");
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMMNotificationClient::OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                                        LPCWSTR /*deviceId*/) {
    if (flow == eRender) {
        // Every role's report sets it back: a burst of reports gives one restart.
        g_pThis->m_nRestartCountdown = vesk_timings::kRestartPasses;
        VESK_LOG(Logger(),
                 "OnDefaultDeviceChanged() | default eRender device changed. Re-detected\n");
    }
    printf(" -->New default device: flow = %s, role = %s\n", FlowName(flow), RoleName(role));
    char text[kTextSize];
    snprintf(text, sizeof text,
             "OnDefaultDeviceChanged() | New default device: flow = %s, role = %s\n",
             FlowName(flow), RoleName(role));
    VESK_LOG(Logger(), text);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CMMNotificationClient::OnPropertyValueChanged(LPCWSTR /*deviceId*/,
                                                                        const PROPERTYKEY /*key*/) {
    return S_OK;
}

unsigned __stdcall theMonitorThreadProc(void* /*unused*/) {
    vesk_platform::NameThisThread("vesk-monitor");
    SpkLoopbackContext& ctx = *g_pThis;
    CoInitialize(nullptr);
    const HRESULT hr =
        CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                         reinterpret_cast<void**>(&ctx.m_pEnumerator));
    if (FAILED(hr)) {
        ctx.m_pEnumerator = nullptr;
        VESK_LOG(Logger(), "theMonitorThreadProc() | Failed to create MMDeviceEnumerator.\n");
        CoUninitialize();
        return static_cast<unsigned>(hr);
    }
    auto* client = new CMMNotificationClient;
    ctx.m_pEnumerator->RegisterEndpointNotificationCallback(client);
    ctx.m_bMonitorRunning = true;
    while (!ctx.m_bMonitorStop) {
        Housekeeping();
        vesk_platform::SleepUnless(vesk_timings::kPassMs,
                                   [&ctx] { return ctx.m_bMonitorStop.load(); });
    }
    // Unregistered first: no notification reaches a released client.
    ctx.m_pEnumerator->UnregisterEndpointNotificationCallback(client);
    client->Release();
    ctx.m_pEnumerator->Release();
    ctx.m_pEnumerator = nullptr;
    CoUninitialize();
    return 0;
}

bool SpkLoopback_Start() {
    std::lock_guard<std::mutex> entry(s_entryMutex);
    SpkLoopbackContext& ctx = *g_pThis;
    printf("SpkLoopback_Start()---ENTRY\n");

    // Threads of an earlier start share this context and its logger: they end first, and a
    // thread that will not end keeps them (a second main thread would corrupt its state).
    const bool mainEnded = EndMainThread();
    if (!EndMonitorThread()) {
        VESK_LOG(Logger(), "WaitForSingleObject(g_pThis->hWin, WAIT_OT_MS); Failed.\n");
    }
    if (!mainEnded || ctx.hWin != nullptr) {
        return false;
    }

    char commonDir[MAX_PATH];
    char parentDir[MAX_PATH];
    if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, commonDir)) &&
        FormatPath(parentDir, commonDir, VESK_PATH_SEP "Vesk") &&
        FormatPath(ctx.m_szAudioDir, commonDir, VESK_PATH_SEP "Vesk" VESK_PATH_SEP "Audio")) {
        CreateDataFolders(parentDir, ctx.m_szAudioDir);
        RefuseLinkedDataFolder(parentDir, ctx.m_szAudioDir);
    } else {
        // Without the data folder the log goes to standard output.
        printf("Failed to get the common application data folder.\n");
        ctx.m_szAudioDir[0] = '\0';
    }

    delete s_pOrphanedLogger;
    s_pOrphanedLogger = nullptr;
    delete ctx.m_pLogger.exchange(nullptr);
    ctx.m_pLogger = new CVeskLogger(ctx.m_szAudioDir, "Audio");
    vesk_status::ServiceStarting();
    ctx.m_bRunning = false;
    ctx.m_bStop = false;
    ctx.m_bRestart = false;

    ctx.m_hThread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, theMainThreadProc, nullptr, 0, nullptr));
    if (ctx.m_hThread == nullptr) {
        VESK_LOG(Logger(), "Failed to start thread of CSpkLoopback::ThreadProc.\n");
        return false;
    }
    const bool started = vesk_platform::AwaitThreadRunning(ctx.m_hThread, ctx.m_bRunning,
                                                           vesk_timings::kThreadStartPolls,
                                                           vesk_timings::kThreadStartPollMs);

    ctx.m_bMonitorRunning = false;
    ctx.m_bMonitorStop = false;
    ctx.hWin = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, theMonitorThreadProc, nullptr, 0, nullptr));
    if (ctx.hWin == nullptr) {
        VESK_LOG(Logger(), "Failed to start thread of CSpkLoopback::ThreadProc.\n");
    }

    VESK_LOG(Logger(), "SpkLoopback_Start()---EXIT\n");
    return started;
}

void SpkLoopback_Stop() {
    std::lock_guard<std::mutex> entry(s_entryMutex);
    SpkLoopbackContext& ctx = *g_pThis;
    VESK_LOG(Logger(), "SpkLoopback_Stop() ---------ENTRY.\n");
    // The main thread is asked to end at once, so that it winds down while the monitor does;
    // they are still waited for in that order.
    if (ctx.m_hThread != nullptr) {
        ctx.m_bStop = true;
        vesk_platform::WakeStoppedSleeps();
    }
    const bool monitorEnded = EndMonitorThread();
    const bool mainEnded = EndMainThread();
    vesk_status::WriteStopped(ctx.m_szAudioDir, Logger());
    VESK_LOG(Logger(), "-----------SpkLoopback_Stop() ---------EXIT.\n");

    CVeskLogger* logger = ctx.m_pLogger.exchange(nullptr);
    if (monitorEnded && mainEnded) {
        delete logger;
    } else if (logger != nullptr) {
        // A thread that did not end may still write through it.
        s_pOrphanedLogger = logger;
    }

    if (!mainEnded) {
        ReportServiceEvent(EVENTLOG_ERROR_TYPE, "Failed to stop speaker loopback.");
    }
}
