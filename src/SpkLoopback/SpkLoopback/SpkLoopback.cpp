#include "SpkLoopback/SpkLoopback/SpkLoopback.h"

#include <cstdio>

namespace {

constexpr int kStartPolls = 500;
constexpr DWORD kStartPollMs = 10;
constexpr DWORD kStopWaitMs = 5000;

}  // namespace

CSpkLoopback::CSpkLoopback(CVeskLogger* logger, const char* audioDir) : m_pLogger(logger) {
    InitializeCriticalSection(&m_cs);
    snprintf(m_szPorgramDataVeskAudioDir, sizeof m_szPorgramDataVeskAudioDir, "%s", audioDir);
    VESK_LOG(m_pLogger, "========START========CSpkLoopback::CSpkLoopback()==============\n");
}

CSpkLoopback::~CSpkLoopback() {
    if (m_hThread != nullptr) {
        Stop();
    }
    DeleteCriticalSection(&m_cs);
    VESK_LOG(m_pLogger, "========CSpkLoopback::~CSpkLoopback()==============\n");
}

int32_t CSpkLoopback::Start() {
    m_hThread = nullptr;
    m_bStop = 0;
    m_bRunning = 0;
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadProc, this, 0, nullptr));
    if (m_hThread == nullptr) {
        printf("Failed to start thread of CSpkLoopback::ThreadProc\n");
        return 0;
    }
    // The counter starts at 500 and the poll goes on while its value before decrement is > 0.
    int polls = kStartPolls;
    do {
        Sleep(kStartPollMs);
    } while (m_bRunning == 0 && polls-- > 0);
    VESK_LOG(m_pLogger, "---------CSpkLoopback::Start()---------\n");
    return m_bRunning;
}

bool CSpkLoopback::Stop() {
    m_bStop = 1;
    bool stopped = false;
    if (m_hThread != nullptr) {
        const DWORD result = WaitForSingleObject(m_hThread, kStopWaitMs);
        if (result == WAIT_OBJECT_0) {
            CloseHandle(m_hThread);
            m_hThread = nullptr;
            stopped = true;
        } else {
            printf("WaitForSingleObject(m_hThread, 5000); Failed dwRet = %x\n",
                   static_cast<unsigned>(result));
        }
    }
    VESK_LOG(m_pLogger, "---------CSpkLoopback::Stop()---------\n");
    return stopped;
}

unsigned __stdcall CSpkLoopback::ThreadProc(void* self) {
    static_cast<CSpkLoopback*>(self)->theThread();
    return 0;
}

HRESULT CSpkLoopback::theThread() {
    const HRESULT hr = ConfigDevice();
    if (FAILED(hr)) {
        VESK_LOG(m_pLogger, "ConfigDevice() Failed\n");
        return hr;
    }
    VESK_LOG(m_pLogger, "---------Exit CSpkLoopback::theThread()---------\n");
    return hr;
}

// This build has no audio back end yet: no output device is ever found, so the controller
// keeps retrying and capture never runs.
HRESULT CSpkLoopback::ConfigDevice() {
    m_bDeviceFound = 0;
    return E_FAIL;
}
