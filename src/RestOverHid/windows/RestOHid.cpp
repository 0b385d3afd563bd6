#include "RestOverHid/windows/RestOHid.h"

#include "platform/thread_control.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <thread>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback_API.h"
#include "base/timings.h"
#include "status/StatusBoard.h"

namespace {

// The log lines below name these waits in words.
static_assert(vesk_timings::kReopenWaitMs == 10000, "the notifier logs \"retry in 10 seconds\"");
static_assert(vesk_timings::WAIT_OT_MS == 5000, "a failed stop logs the wait as 5000");

constexpr int32_t kOpenFailureLogPeriod = 900;
constexpr int32_t kNoTargetLogPeriod = 60;
constexpr int32_t kRequestLogPeriod = 12;
constexpr size_t kLineSize = 1024;
constexpr size_t kRequestLineSize = 120;

// Process-wide throttles, touched only by the notifier thread.
int32_t s_nOpenFailures = 0;
int32_t s_nEmptyLists = 0;
int32_t s_nNoTargets = 0;
int32_t s_nRequests = 0;
// A refused audio scheduling is logged once in the process's life.
std::atomic<bool> s_bAudioTaskRefusalLogged{false};

}  // namespace

CRestOHid::CRestOHid(CVeskLogger* logger) : m_pLogger(logger) {}

CRestOHid::~CRestOHid() {
    m_bStopThread = true;
    vesk_platform::WakeStoppedSleeps();
    if (!vesk_platform::AwaitThreadEnd(
            m_hThread, vesk_timings::WAIT_OT_MS,
            "WaitForSingleObject(m_hThread, 5000); Failed dwRet = %x\n")) {
        // The thread is inside Open() or a send; it uses this object until it ends.
        WaitForSingleObject(m_hThread, INFINITE);
        CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    vesk::RestOHidDevMgr::GetInstance().Deinit();
    VESK_LOG(m_pLogger, "========CRestOHid::~CRestOHid()==============\n");
    SetDevice(nullptr);
}

void CRestOHid::Run() {
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadProc, this, 0, nullptr));
    if (m_hThread == nullptr) {
        printf("Failed to start thread of CRestOHid::ThreadProc\n");
        return;
    }
    vesk_platform::AwaitThreadRunning(m_hThread, m_bThreadRunning, vesk_timings::kThreadStartPolls,
                                      vesk_timings::kThreadStartPollMs);
    VESK_LOG(m_pLogger, "---------CRestOHid::Run() thread started---------\n");
}

bool CRestOHid::IsReady() const {
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    return m_pDevice != nullptr && m_bThreadRunning;
}

void CRestOHid::SetDevice(std::shared_ptr<vesk::RestOHidDev> device) {
    if (device != nullptr) {
        vesk_status::CameraOpened({device->m_vendorId, device->m_productId, device->m_releaseNumber,
                                   device->m_serialNumber, device->m_manufacturer,
                                   device->m_product});
    } else {
        vesk_status::CameraClosed();
    }
    std::shared_ptr<vesk::RestOHidDev> previous;
    {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        previous.swap(m_pDevice);
        m_pDevice = std::move(device);
    }
    // A released transport may join its reader thread: not under the lock.
}

unsigned __stdcall CRestOHid::ThreadProc(void* self) {
    static_cast<CRestOHid*>(self)->theThread();
    return 0;
}

// Far-end audio in the latest capture block, stretched by a hold of four polls.
bool CRestOHid::FarEndTalking() {
    // The controller clears the pointer, and ends this thread, before the object goes.
    const CSpkLoopback* capture = g_pThis->m_pSpkLoopback.load();
    if (capture != nullptr && capture->m_bRunning != 0 && capture->m_nSignalDetected > 0) {
        m_nFarTalkHold = vesk_timings::kFarTalkHoldPolls;
    } else if (m_nFarTalkHold > 0) {
        --m_nFarTalkHold;
    }
    return m_nFarTalkHold > 0;
}

void CRestOHid::theThread() {
    vesk_platform::NameThisThread("vesk-notifier");
    // Scheduled as audio, as the capture thread: a late poll is a late far-end flag. Each poll
    // ends in a 100 ms sleep, and the threads the camera's library starts here do not inherit it.
    const vesk_platform::AudioTaskScope audioTask;
    if (!audioTask.Joined() && !s_bAudioTaskRefusalLogged.exchange(true)) {
        VESK_LOG(m_pLogger,
                 "AvSetMmThreadCharacteristicsW(Audio) Failed, the notifier thread runs at normal "
                 "priority.\n");
    }
    m_nFarTalkHold = 0;
    m_bThreadRunning = true;
    int reopenCountdown = 0;
    int resendCountdown = 0;
    bool lastSent = false;

    // The controller's stop ends the loop too, so that this thread winds down while the
    // controller's threads do rather than after them; either stop ends its pause at once.
    while (!m_bStopThread && !g_pThis->m_bStop) {
        try {
            std::shared_ptr<vesk::RestOHidDev> device;
            {
                std::lock_guard<std::mutex> lock(m_deviceMutex);
                device = m_pDevice;
            }
            if (device == nullptr) {
                if (reopenCountdown > 0) {
                    --reopenCountdown;
                } else if (Open()) {
                    lastSent = false;
                    resendCountdown = 0;
                    m_nFarTalkHold = 0;
                } else {
                    reopenCountdown = vesk_timings::kReopenPolls;
                    if (s_nOpenFailures++ % kOpenFailureLogPeriod == 0) {
                        VESK_LOG(
                            m_pLogger,
                            "---------CRestOHid::Open() Failed, retry in 10 seconds---------\n");
                    }
                    --reopenCountdown;
                }
            } else {
                const bool farEndTalk = FarEndTalking();
                if (resendCountdown == 0 || farEndTalk != lastSent) {
                    if (!SendFarTalkFlagToDevice(device, farEndTalk)) {
                        SetDevice(nullptr);
                        reopenCountdown = vesk_timings::kReopenPolls;
                        VESK_LOG(
                            m_pLogger,
                            "---------CRestOHid::SendFarTalkFlagToDevice() Failed, retry in 10 "
                            "seconds---------\n");
                    }
                    lastSent = farEndTalk;
                    resendCountdown = vesk_timings::kResendPolls;
                }
                if (resendCountdown > 0) {
                    --resendCountdown;
                }
            }
        } catch (const std::exception&) {
            VESK_LOG(m_pLogger, "SendFarTalkFlagToDevice() caught exception.\n");
        }
        vesk_platform::SleepUnless(vesk_timings::kNotifierPollMs,
                                   [this] { return m_bStopThread || g_pThis->m_bStop; });
    }
    m_bThreadRunning = false;
    printf("-----------------theThread()--------------------EXIT.\n");
}

bool CRestOHid::Open() {
    vesk::RestOHidDevMgr& manager = vesk::RestOHidDevMgr::GetInstance();
    manager.Deinit();
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    manager.Init();
    SetDevice(nullptr);

    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string serialNumber;
    const std::list<vesk::DeviceId> devices = manager.GetDeviceList();
    int index = 0;
    for (const vesk::DeviceId& id : devices) {
        std::cout << "Device[" << index++ << "]: VendorId: " << std::hex << std::showbase
                  << id.vendorId << " ProductId: " << id.productId << std::dec
                  << " Serial Number: " << id.serialNumber << std::endl;
        // The last matching camera in the list wins.
        if (vesk::IsCamera(id.vendorId, id.productId)) {
            vendorId = id.vendorId;
            productId = id.productId;
            serialNumber = id.serialNumber;
        }
    }
    if (devices.empty()) {
        if (s_nEmptyLists++ % kOpenFailureLogPeriod == 0) {
            VESK_LOG(m_pLogger,
                     "Failed to find targeted device (Vesk Quorin Q30 camera)...No Available "
                     "Device!\n");
        }
        return false;
    }
    if (vendorId == 0) {
        if (s_nNoTargets++ % kNoTargetLogPeriod == 0) {
            VESK_LOG(m_pLogger, "Failed to find targeted device (Vesk Quorin Q30 camera)...\n");
        }
        return false;
    }
    char line[kLineSize];
    snprintf(line, sizeof line,
             "==========Found target device=============: vid: 0x%04x, pid: 0x%04x\n", vendorId,
             productId);
    VESK_LOG(m_pLogger, line);

    const std::shared_ptr<vesk::RestOHidDev> device =
        manager.GetDevice(vendorId, productId, serialNumber).lock();
    if (device == nullptr) {
        VESK_LOG(m_pLogger, "================No Device Found!=======================\n");
        return false;
    }
    device->Open(vesk::EventCallback());
    if (!device->IsOpen()) {
        VESK_LOG(m_pLogger, "================Device not opened!=======================\n");
        return false;
    }
    SetDevice(device);
    // Device strings longer than the line are cut, never written past it.
    snprintf(line, sizeof line,
             " Manufactuere: %s\n nProduct: %s\n Serial Number: %s\n nRevision: 0x%x\n",
             device->m_manufacturer.c_str(), device->m_product.c_str(),
             device->m_serialNumber.c_str(), device->m_releaseNumber);
    VESK_LOG(m_pLogger, line);
    return true;
}

bool CRestOHid::SendFarTalkFlagToDevice(std::shared_ptr<vesk::RestOHidDev> device,
                                        bool farEndTalk) {
    const vesk::RestRequest request = vesk::FarEndRequest(farEndTalk);
    if (++s_nRequests % kRequestLogPeriod == 0) {
        char line[kRequestLineSize];
        snprintf(line, sizeof line, "Request Head: %s Request Body: %s\n", request.head.c_str(),
                 request.body.c_str());
        VESK_LOG(m_pLogger, line);
    }
    const bool sent = device->SendRequest(request.head, request.body);
    vesk_status::RequestSent(farEndTalk, sent);
    if (sent) {
        return true;
    }
    VESK_LOG(m_pLogger, "Failed to send the Rest Request!\n");
    return false;
}
