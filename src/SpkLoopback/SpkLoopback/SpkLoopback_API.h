// The loopback controller: the service's start and stop entry points and its main loop,
// which keeps capture running exactly while the notifier has a camera open.
#pragma once

#include <atomic>
#include <cstdint>

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/coreaudio.h"
#include "platform/platform.h"

class CSpkLoopback;

// The controller's single context. Flags and counters shared between threads are atomics;
// the handles, m_bRestart and m_szAudioDir belong to one thread at a time.
struct SpkLoopbackContext {
    HANDLE m_hThread;                           // main thread; null when none
    std::atomic<bool> m_bRunning;               // main thread runs
    std::atomic<bool> m_bStop;                  // stop request to the main thread
    bool m_bRestart;                            // capture restart due (main thread only)
    std::atomic<CVeskLogger*> m_pLogger;        // created by Start, destroyed by Stop
    std::atomic<CSpkLoopback*> m_pSpkLoopback;  // published for the notifier's thread
    char m_szAudioDir[MAX_PATH];                // data folder + "/Vesk/Audio"
    HANDLE hWin;                                // endpoint monitor thread
    std::atomic<bool> m_bMonitorRunning;
    std::atomic<bool> m_bMonitorStop;
    IMMDeviceEnumerator* m_pEnumerator;        // the monitor thread's
    std::atomic<int32_t> m_nRestartCountdown;  // main-loop passes until a capture restart
};

// Receives the audio system's endpoint notifications for the monitor: a new default render
// device arms the capture restart; the rest is printed (and a new default logged).
class CMMNotificationClient : public IMMNotificationClient {
  public:
    CMMNotificationClient() = default;
    virtual ~CMMNotificationClient() = default;

    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR deviceId, DWORD newState) override;
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR deviceId) override;
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR deviceId) override;
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                     LPCWSTR deviceId) override;
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR deviceId,
                                                     const PROPERTYKEY key) override;

  private:
    std::atomic<ULONG> m_cRef{1};
};

extern SpkLoopbackContext* const g_pThis;

// Creates the data folders and the logger, starts the main and monitor threads. True when
// the main thread runs.
bool SpkLoopback_Start();
// Stops the monitor and the main thread, then destroys the logger.
void SpkLoopback_Stop();

unsigned __stdcall theMainThreadProc(void* unused);
unsigned __stdcall theMonitorThreadProc(void* unused);
