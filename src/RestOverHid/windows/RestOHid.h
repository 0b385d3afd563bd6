// The far-end-talk notifier: keeps the room camera open and tells it whether the far end
// is talking.
#pragma once

#include <atomic>
#include <cstdint>

#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/platform.h"

class CRestOHid {
  public:
    explicit CRestOHid(CVeskLogger* logger);
    virtual ~CRestOHid();

    CRestOHid(const CRestOHid&) = delete;
    CRestOHid& operator=(const CRestOHid&) = delete;

    // Starts the notifier thread and returns once it runs or after about 5 seconds.
    void Run();
    // True exactly while a camera is open and the notifier thread runs.
    bool IsReady() const;

    static unsigned __stdcall ThreadProc(void* self);

  private:
    void theThread();
    bool Open();

    CVeskLogger* m_pLogger;
    HANDLE m_hThread = nullptr;
    std::atomic<bool> m_bDeviceOpen{false};
    std::atomic<bool> m_bStopThread{false};
    std::atomic<bool> m_bThreadRunning{false};
    int32_t m_nFarTalkHold = 0;
};
