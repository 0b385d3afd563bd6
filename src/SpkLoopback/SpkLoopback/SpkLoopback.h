// Loopback capture of the default output device and the far-end decision per 10 ms block.
#pragma once

#include <atomic>
#include <cstdint>

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/platform.h"

class CSpkLoopback {
  public:
    // `logger` must outlive the object; `audioDir` is copied.
    CSpkLoopback(CVeskLogger* logger, const char* audioDir);
    virtual ~CSpkLoopback();

    CSpkLoopback(const CSpkLoopback&) = delete;
    CSpkLoopback& operator=(const CSpkLoopback&) = delete;

    // Starts the capture thread; returns m_bRunning once the thread runs or the poll ended.
    int32_t Start();
    // Asks the capture thread to end and waits up to 5000 ms; true when it has ended.
    bool Stop();

    static unsigned __stdcall ThreadProc(void* self);

    // Written by the capture thread, read by the controller and the notifier.
    std::atomic<int32_t> m_bRunning{0};
    std::atomic<int32_t> m_bDeviceFound{0};
    std::atomic<int32_t> m_nSignalDetected{0};

  private:
    HRESULT theThread();
    HRESULT ConfigDevice();

    CVeskLogger* m_pLogger;
    CRITICAL_SECTION m_cs;
    HANDLE m_hThread = nullptr;
    std::atomic<int32_t> m_bStop{0};
    char m_szPorgramDataVeskAudioDir[MAX_PATH];
};
