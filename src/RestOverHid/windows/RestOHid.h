// The far-end-talk notifier: keeps the room camera open and tells it, every 100 ms poll on a
// change and every 5 s otherwise, whether the far end is talking.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "RestOverHid/CameraProtocol.h"
#include "RestOverHid/RestOverHid.h"
#include "SpkLoopback/SpkLoopback/VeskLogger.h"
#include "platform/platform.h"

class CRestOHid {
  public:
    explicit CRestOHid(CVeskLogger* logger);
    // Stops the thread (waiting for it to end) and tears the device manager down.
    virtual ~CRestOHid();

    CRestOHid(const CRestOHid&) = delete;
    CRestOHid& operator=(const CRestOHid&) = delete;

    // Starts the notifier thread and returns once it runs or after about 5 seconds.
    void Run();
    // True exactly while a camera is open and the notifier thread runs.
    bool IsReady() const;

    static unsigned __stdcall ThreadProc(void* self);

    // Sends the far-end state to the camera as one REST request; false when the transport
    // refused it. Notifier thread only.
    bool SendFarTalkFlagToDevice(std::shared_ptr<vesk::RestOHidDev> device, bool farEndTalk);
    // Discovers the target camera and opens it into m_pDevice. Notifier thread only.
    bool Open();

  private:
    void theThread();
    void SetDevice(std::shared_ptr<vesk::RestOHidDev> device);
    bool FarEndTalking();

    CVeskLogger* m_pLogger;
    HANDLE m_hThread = nullptr;
    // Replaced by the notifier thread, read by IsReady on the controller's thread.
    mutable std::mutex m_deviceMutex;  // taken alone, around m_pDevice (thread_control.h)
    std::shared_ptr<vesk::RestOHidDev> m_pDevice;
    std::atomic<bool> m_bStopThread{false};
    std::atomic<bool> m_bThreadRunning{false};
    int32_t m_nFarTalkHold = 0;
};
