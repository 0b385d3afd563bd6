// Instruction-set levels of the signal kernels. Every level computes bit-identical results;
// the best one the processor runs is chosen once at run time.
#pragma once

namespace signal_simd {

enum class Level { kPortable, kSse2, kAvx2 };

// kAvx2 needs AVX2 and FMA; kSse2 is every x86-64 processor; other processors get kPortable.
Level Best();

}  // namespace signal_simd
