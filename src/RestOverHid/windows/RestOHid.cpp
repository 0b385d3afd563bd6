#include "RestOverHid/windows/RestOHid.h"

#include <cstdio>

namespace {

constexpr int kRunPolls = 500;
constexpr DWORD kRunPollMs = 10;
constexpr DWORD kPollMs = 100;
constexpr DWORD kStopWaitMs = 5000;
constexpr int kReopenPolls = 100;
constexpr uint32_t kOpenFailureLogPeriod = 900;

uint32_t s_nOpenFailures = 0;  // notifier thread only

}  // namespace

CRestOHid::CRestOHid(CVeskLogger* logger) : m_pLogger(logger) {}

CRestOHid::~CRestOHid() {
    m_bStopThread = true;
    if (m_hThread != nullptr) {
        const DWORD result = WaitForSingleObject(m_hThread, kStopWaitMs);
        if (result == WAIT_OBJECT_0) {
            CloseHandle(m_hThread);
            m_hThread = nullptr;
        } else {
            printf("WaitForSingleObject(m_hThread, 5000); Failed dwRet = %x\n",
                   static_cast<unsigned>(result));
        }
    }
    VESK_LOG(m_pLogger, "========CRestOHid::~CRestOHid()==============\n");
}

void CRestOHid::Run() {
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadProc, this, 0, nullptr));
    if (m_hThread == nullptr) {
        printf("Failed to start thread of CRestOHid::ThreadProc\n");
        return;
    }
    int polls = kRunPolls;
    do {
        Sleep(kRunPollMs);
    } while (!m_bThreadRunning && polls-- > 0);
    VESK_LOG(m_pLogger, "---------CRestOHid::Run() thread started---------\n");
}

unsigned __stdcall CRestOHid::ThreadProc(void* self) {
    static_cast<CRestOHid*>(self)->theThread();
    return 0;
}

void CRestOHid::theThread() {
    m_nFarTalkHold = 0;
    m_bThreadRunning = true;
    int reopenCountdown = 0;
    while (!m_bStopThread) {
        if (!m_bDeviceOpen) {
            if (reopenCountdown > 0) {
                --reopenCountdown;
            } else if (!Open()) {
                reopenCountdown = kReopenPolls;
                if (s_nOpenFailures++ % kOpenFailureLogPeriod == 0) {
                    VESK_LOG(m_pLogger,
                             "---------CRestOHid::Open() Failed, retry in 10 seconds---------\n");
                }
                --reopenCountdown;
            }
        }
        Sleep(kPollMs);
    }
    m_bThreadRunning = false;
    printf("-----------------theThread()--------------------EXIT.\n");
}

bool CRestOHid::IsReady() const {
    return m_bDeviceOpen && m_bThreadRunning;
}

// This build has no USB device manager yet, so no camera is ever opened.
bool CRestOHid::Open() {
    return false;
}
