// Instruction-set levels of the signal kernels. Every level computes bit-identical results;
// the best one the processor runs is chosen once at run time.
#pragma once

namespace signal_simd {

enum class Level { kPortable, kSse2, kAvx2, kNeon };

// Every level, for tests and measurements that go through them all.
constexpr Level kLevels[] = {Level::kPortable, Level::kSse2, Level::kAvx2, Level::kNeon};

// kAvx2 needs AVX2 and FMA; kSse2 is every x86-64 processor; kNeon is every arm64 processor
// (part of ARMv8-A, so nothing to ask at run time); other processors get kPortable.
Level Best();

// Whether this processor runs the kernels of `level`: kPortable everywhere, the others on
// their own architecture when the processor has them.
bool Supported(Level level);

const char* Name(Level level);

}  // namespace signal_simd
