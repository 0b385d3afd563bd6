#include "signal/simd.h"

namespace signal_simd {

Level Best() {
#if defined(__x86_64__) || defined(__i386__)
    static const Level best = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) {
            return Level::kAvx2;
        }
        return Level::kSse2;
    }();
    return best;
#elif defined(__aarch64__)
    return Level::kNeon;
#else
    return Level::kPortable;
#endif
}

bool Supported(Level level) {
    switch (level) {
        case Level::kPortable:
            return true;
        case Level::kSse2:
            return Best() == Level::kSse2 || Best() == Level::kAvx2;
        case Level::kAvx2:
        case Level::kNeon:
            return Best() == level;
    }
    return false;
}

const char* Name(Level level) {
    switch (level) {
        case Level::kPortable:
            return "portable";
        case Level::kSse2:
            return "sse2";
        case Level::kAvx2:
            return "avx2";
        case Level::kNeon:
            return "neon";
    }
    return "unknown";
}

}  // namespace signal_simd
