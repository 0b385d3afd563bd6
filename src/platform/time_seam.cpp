// The clock's pace, the sleep hook and the log's rotation size (seams.h), the same on both
// systems.
#include <atomic>

#include "platform/seams.h"

namespace vesk_platform {
namespace {

std::atomic<unsigned> g_timeDivisor{1};
std::atomic<SleepHook> g_sleepHook{nullptr};
std::atomic<long> g_logRotationSize{0};  // 0: the log's own

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

void SetLogRotationSize(long bytes) {
    g_logRotationSize.store(bytes < 0 ? 0 : bytes);
}

long LogRotationSize() {
    return g_logRotationSize.load();
}

}  // namespace vesk_platform
