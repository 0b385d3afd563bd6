// Linux implementation of the multimedia class scheduling declared in platform.h: the "Audio"
// task as a low real-time priority, guarded by RLIMIT_RTTIME.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>

#include <sched.h>
#include <signal.h>
#include <sys/resource.h>

namespace {

// The "Audio" task: below the sound servers' real-time threads (PulseAudio's 5, PipeWire's
// higher), above every normally scheduled thread.
constexpr int kAudioPriority = 1;
// RLIMIT_RTTIME where the process has none, as the service's unit sets it: a real-time thread
// that runs 200 ms without blocking gets SIGXCPU (below). The kernel then raises the soft limit
// by a second, so a later overrun meets the hard limit and the process is killed.
constexpr rlim_t kRealTimeSoftUsec = 200000;
constexpr rlim_t kRealTimeHardUsec = 1000000;

// A joined thread's scheduling before it joined.
struct AudioTask {
    int policy;
    sched_param param;
};

// SIGXCPU: a real-time thread has run for the soft limit without blocking. The kernel sends it
// from the tick of the thread that is running, that thread, which goes back to normal
// scheduling (an unprivileged thread may drop real time only keeping the fork flag).
void LeaveRealTime(int /*signal*/) {
    const int saved = errno;
    sched_param param{};
    sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &param);
    errno = saved;
}

// The guard of real-time threads: a soft RLIMIT_RTTIME (the service's unit sets it, elsewhere
// it is lowered here) and the handler that ends an overrun.
bool GuardRealTime() {
    static const bool guarded = [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_RTTIME, &limit) != 0) {
            return false;
        }
        if (limit.rlim_cur == RLIM_INFINITY) {
            limit.rlim_max = std::min(kRealTimeHardUsec, limit.rlim_max);
            limit.rlim_cur = std::min(kRealTimeSoftUsec, limit.rlim_max);
            if (setrlimit(RLIMIT_RTTIME, &limit) != 0) {
                return false;
            }
        }
        struct sigaction action = {};
        action.sa_handler = LeaveRealTime;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        return sigaction(SIGXCPU, &action, nullptr) == 0;
    }();
    return guarded;
}

}  // namespace

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR TaskName, LPDWORD TaskIndex) {
    if (TaskName == nullptr || TaskIndex == nullptr || std::wcscmp(TaskName, L"Audio") != 0) {
        errno = EINVAL;
        return nullptr;
    }
    AudioTask before{sched_getscheduler(0), {}};
    if (before.policy < 0 || sched_getparam(0, &before.param) != 0 || !GuardRealTime()) {
        return nullptr;
    }
    sched_param param{};
    param.sched_priority = kAudioPriority;
    if (sched_setscheduler(0, SCHED_RR | SCHED_RESET_ON_FORK, &param) != 0) {
        return nullptr;
    }
    return new AudioTask(before);
}

BOOL AvRevertMmThreadCharacteristics(HANDLE AvrtHandle) {
    auto* before = static_cast<AudioTask*>(AvrtHandle);
    if (before == nullptr) {
        return FALSE;
    }
    const bool reverted =
        sched_setscheduler(0, before->policy | SCHED_RESET_ON_FORK, &before->param) == 0;
    delete before;
    return reverted ? TRUE : FALSE;
}
