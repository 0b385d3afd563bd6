// The clock's pace and the sleep hook (seams.h), the same on both systems.
#include <atomic>

#include "platform/seams.h"

namespace vesk_platform {
namespace {

std::atomic<unsigned> g_timeDivisor{1};
std::atomic<SleepHook> g_sleepHook{nullptr};

}  // namespace

void SetTimeDivisor(unsigned divisor) {
    g_timeDivisor.store(divisor == 0 ? 1 : divisor);
}

unsigned TimeDivisor() {
    return g_timeDivisor.load();
}

void SetSleepHook(SleepHook hook) {
    g_sleepHook.store(hook);
}

SleepHook CurrentSleepHook() {
    return g_sleepHook.load();
}

}  // namespace vesk_platform
