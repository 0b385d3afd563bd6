#include "testing/fake_room.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "RestOverHid/windows/RestOHid.h"
#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "platform/seams.h"

namespace fake_room {
namespace {

struct Room {
    std::mutex mutex;
    std::condition_variable changed;
    bool cameraReady = false;
    bool deviceFound = true;
    bool startFails = false;
    uint32_t captureStartMs = 0;
    bool holdCaptureStop = false;
    bool lockstep = true;
    int passesStarted = 0;
    int passesAllowed = 0;
    int blockedAtPass = 0;
    std::vector<CaptureCall> calls;
    int notifierRuns = 0;
    int liveObjects = 0;
};

Room& room() {
    static Room instance;
    return instance;
}

void Record(Call call) {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().calls.push_back({room().passesStarted, call});
}

}  // namespace

void Reset() {
    Room& r = room();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.cameraReady = false;
    r.deviceFound = true;
    r.startFails = false;
    r.captureStartMs = 0;
    r.holdCaptureStop = false;
    r.lockstep = true;
    r.passesStarted = r.passesAllowed = r.blockedAtPass = 0;
    r.calls.clear();
    r.notifierRuns = 0;
}

void SetCameraReady(bool ready) {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().cameraReady = ready;
}

void SetDeviceFound(bool found) {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().deviceFound = found;
}

void SetStartFails(bool fails) {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().startFails = fails;
}

void SetCaptureStartMs(uint32_t ms) {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().captureStartMs = ms;
}

void HoldCaptureStop(bool hold) {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().holdCaptureStop = hold;
    room().changed.notify_all();
}

bool RunPasses(int passes) {
    Room& r = room();
    std::unique_lock<std::mutex> lock(r.mutex);
    r.passesAllowed += passes;
    r.changed.notify_all();
    return r.changed.wait_for(lock, std::chrono::seconds(30),
                              [&r] { return r.blockedAtPass == r.passesAllowed + 1; });
}

void FreeRun() {
    std::lock_guard<std::mutex> lock(room().mutex);
    room().lockstep = false;
    room().changed.notify_all();
}

int PassesStarted() {
    std::lock_guard<std::mutex> lock(room().mutex);
    return room().passesStarted;
}

std::vector<CaptureCall> CaptureCalls() {
    std::lock_guard<std::mutex> lock(room().mutex);
    return room().calls;
}

int NotifierRuns() {
    std::lock_guard<std::mutex> lock(room().mutex);
    return room().notifierRuns;
}

int LiveObjects() {
    std::lock_guard<std::mutex> lock(room().mutex);
    return room().liveObjects;
}

}  // namespace fake_room

using fake_room::room;

std::atomic<int32_t> CSpkLoopback::s_nPackets{0};
std::atomic<int32_t> CSpkLoopback::s_nBlocks{0};

CSpkLoopback::CSpkLoopback(CVeskLogger* logger, const char* /*audioDir*/) : m_pLogger(logger) {
    std::lock_guard<std::mutex> lock(room().mutex);
    ++room().liveObjects;
}

CSpkLoopback::~CSpkLoopback() {
    std::lock_guard<std::mutex> lock(room().mutex);
    --room().liveObjects;
}

int32_t CSpkLoopback::Start() {
    fake_room::Record(fake_room::Call::kStart);
    uint32_t startMs;
    {
        std::lock_guard<std::mutex> lock(room().mutex);
        startMs = room().captureStartMs;
    }
    Sleep(startMs);
    std::lock_guard<std::mutex> lock(room().mutex);
    m_bDeviceFound = room().deviceFound ? 1 : 0;
    m_bRunning = room().startFails ? 0 : 1;
    return m_bRunning;
}

bool CSpkLoopback::Stop() {
    fake_room::Record(fake_room::Call::kStop);
    bool held;
    {
        std::unique_lock<std::mutex> lock(room().mutex);
        held = room().holdCaptureStop;
        if (held) {
            const auto released = [] {
                std::lock_guard<std::mutex> lock(room().mutex);
                return !room().holdCaptureStop;
            };
            const vesk_platform::ThreadHold hold(released);
            room().changed.wait(lock, [] { return !room().holdCaptureStop; });
        }
    }
    m_bRunning = 0;
    if (held) {
        // A slow stop still logs when it is done, as the real one does, possibly after the
        // controller gave up waiting for this thread.
        VESK_LOG(m_pLogger, "fake_room: slow capture stop done\n");
    }
    return true;
}

CRestOHid::CRestOHid(CVeskLogger* logger) : m_pLogger(logger) {
    std::lock_guard<std::mutex> lock(room().mutex);
    ++room().liveObjects;
}

CRestOHid::~CRestOHid() {
    std::lock_guard<std::mutex> lock(room().mutex);
    --room().liveObjects;
}

void CRestOHid::Run() {
    std::lock_guard<std::mutex> lock(room().mutex);
    ++room().notifierRuns;
    m_bThreadRunning = true;
}

bool CRestOHid::IsReady() const {
    fake_room::Room& r = room();
    std::unique_lock<std::mutex> lock(r.mutex);
    const int pass = ++r.passesStarted;
    if (r.lockstep && pass > r.passesAllowed) {
        r.blockedAtPass = pass;
        r.changed.notify_all();
        const auto released = [&r, pass] {
            std::lock_guard<std::mutex> lock(r.mutex);
            return !r.lockstep || pass <= r.passesAllowed;
        };
        const vesk_platform::ThreadHold hold(released);
        r.changed.wait(lock, [&r, pass] { return !r.lockstep || pass <= r.passesAllowed; });
    }
    return r.cameraReady && m_bThreadRunning;
}
