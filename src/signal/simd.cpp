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
#else
    return Level::kPortable;
#endif
}

}  // namespace signal_simd
