#include "signal/Resampler.h"

#include <algorithm>
#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif
#if defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace {

constexpr int kSubBlocks = 3;
constexpr int kSubBlockIn = 147;

// First sample of each output phase's 16-sample window: floor(147·k / 160); the window
// ends at the phase's base sample, 15 later.
constexpr std::array<int, kResamplerPhases> MakeWindowStarts() {
    std::array<int, kResamplerPhases> starts{};
    for (int k = 0; k < kResamplerPhases; ++k) {
        starts[k] = kSubBlockIn * k / kResamplerPhases;
    }
    return starts;
}
constexpr std::array<int, kResamplerPhases> kWindowStarts = MakeWindowStarts();

// The rows in window order (oldest sample first), aligned for vector loads.
struct ReversedRows {
    alignas(32) int16_t taps[kResamplerPhases][kResamplerTaps];
};

const ReversedRows& Reversed() {
    static const ReversedRows rows = [] {
        ReversedRows reversed{};
        for (int k = 0; k < kResamplerPhases; ++k) {
            std::reverse_copy(kResamplerCoefficients[k], kResamplerCoefficients[k] + kResamplerTaps,
                              reversed.taps[k]);
        }
        return reversed;
    }();
    return rows;
}

int16_t Saturate(int32_t value) {
    return static_cast<int16_t>(std::clamp<int32_t>(value, INT16_MIN, INT16_MAX));
}

// Each product is floored on its own; the sum (at most 62379 in size) is exact.
void FilterPortable(const int16_t* s, int16_t* out) {
    for (int k = 0; k < kResamplerPhases; ++k) {
        const int16_t* newest = s + kWindowStarts[k] + kResamplerHistory;
        int32_t sum = 0;
        for (int t = 0; t < kResamplerTaps; ++t) {
            sum += (int32_t{newest[-t]} * kResamplerCoefficients[k][t]) >> 15;
        }
        out[k] = Saturate(sum);
    }
}

#if defined(__SSE2__)
// A product's floor(x·c / 2^15) from its high and low halves: 2·high + the low half's top
// bit. It fits 16 bits: |x·c| / 2^15 ≤ 29597.
__m128i FlooredProducts(__m128i x, __m128i c) {
    const __m128i high = _mm_mulhi_epi16(x, c);
    return _mm_add_epi16(_mm_add_epi16(high, high), _mm_srli_epi16(_mm_mullo_epi16(x, c), 15));
}

// Four 32-bit partial sums of one output phase.
__m128i PhaseSse2(const int16_t* s, int k, const ReversedRows& rows) {
    const int16_t* window = s + kWindowStarts[k];
    const __m128i ones = _mm_set1_epi16(1);
    const __m128i first =
        FlooredProducts(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window)),
                        _mm_load_si128(reinterpret_cast<const __m128i*>(rows.taps[k])));
    const __m128i second =
        FlooredProducts(_mm_loadu_si128(reinterpret_cast<const __m128i*>(window + 8)),
                        _mm_load_si128(reinterpret_cast<const __m128i*>(rows.taps[k] + 8)));
    return _mm_add_epi32(_mm_madd_epi16(first, ones), _mm_madd_epi16(second, ones));
}

// The totals of four vectors of four partial sums.
__m128i Totals4(__m128i a, __m128i b, __m128i c, __m128i d) {
    const __m128i ab = _mm_add_epi32(_mm_unpacklo_epi32(a, b), _mm_unpackhi_epi32(a, b));
    const __m128i cd = _mm_add_epi32(_mm_unpacklo_epi32(c, d), _mm_unpackhi_epi32(c, d));
    return _mm_add_epi32(_mm_unpacklo_epi64(ab, cd), _mm_unpackhi_epi64(ab, cd));
}

void FilterSse2(const int16_t* s, int16_t* out) {
    const ReversedRows& rows = Reversed();
    for (int k = 0; k < kResamplerPhases; k += 8) {
        const __m128i low = Totals4(PhaseSse2(s, k, rows), PhaseSse2(s, k + 1, rows),
                                    PhaseSse2(s, k + 2, rows), PhaseSse2(s, k + 3, rows));
        const __m128i high = Totals4(PhaseSse2(s, k + 4, rows), PhaseSse2(s, k + 5, rows),
                                     PhaseSse2(s, k + 6, rows), PhaseSse2(s, k + 7, rows));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_packs_epi32(low, high));
    }
}

__attribute__((target("avx2"))) __m256i PhaseAvx2(const int16_t* s, int k,
                                                  const ReversedRows& rows) {
    const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + kWindowStarts[k]));
    const __m256i c = _mm256_load_si256(reinterpret_cast<const __m256i*>(rows.taps[k]));
    const __m256i high = _mm256_mulhi_epi16(x, c);
    const __m256i floored = _mm256_add_epi16(_mm256_add_epi16(high, high),
                                             _mm256_srli_epi16(_mm256_mullo_epi16(x, c), 15));
    return _mm256_madd_epi16(floored, _mm256_set1_epi16(1));
}

// The totals of eight phases k..k+7 as eight 32-bit values.
__attribute__((target("avx2"))) __m256i Totals8(const int16_t* s, int k, const ReversedRows& rows) {
    const __m256i h01 = _mm256_hadd_epi32(PhaseAvx2(s, k, rows), PhaseAvx2(s, k + 1, rows));
    const __m256i h23 = _mm256_hadd_epi32(PhaseAvx2(s, k + 2, rows), PhaseAvx2(s, k + 3, rows));
    const __m256i h45 = _mm256_hadd_epi32(PhaseAvx2(s, k + 4, rows), PhaseAvx2(s, k + 5, rows));
    const __m256i h67 = _mm256_hadd_epi32(PhaseAvx2(s, k + 6, rows), PhaseAvx2(s, k + 7, rows));
    // Each 128-bit half holds four phases' sums over its half of the taps.
    const __m256i h0123 = _mm256_hadd_epi32(h01, h23);
    const __m256i h4567 = _mm256_hadd_epi32(h45, h67);
    return _mm256_add_epi32(_mm256_permute2x128_si256(h0123, h4567, 0x20),
                            _mm256_permute2x128_si256(h0123, h4567, 0x31));
}

__attribute__((target("avx2"))) void FilterAvx2(const int16_t* s, int16_t* out) {
    const ReversedRows& rows = Reversed();
    for (int k = 0; k < kResamplerPhases; k += 16) {
        const __m256i packed = _mm256_packs_epi32(Totals8(s, k, rows), Totals8(s, k + 8, rows));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + k),
                            _mm256_permute4x64_epi64(packed, 0xD8));
    }
}
#endif

#if defined(__ARM_NEON)
// Four 32-bit partial sums of one output phase. The doubling multiply's high half is
// floor(x·c / 2^15) exactly; it saturates only for −32768 · −32768, and no tap is −32768.
inline __attribute__((always_inline)) int32x4_t PhaseNeon(const int16_t* window,
                                                          const int16_t* taps) {
    const int16x8x2_t x = vld1q_s16_x2(window);
    const int16x8x2_t c = vld1q_s16_x2(taps);
    return vpadalq_s16(vpaddlq_s16(vqdmulhq_s16(x.val[0], c.val[0])),
                       vqdmulhq_s16(x.val[1], c.val[1]));
}

void FilterNeon(const int16_t* s, int16_t* out) {
    const int16_t* taps = Reversed().taps[0];
    for (int k = 0; k < kResamplerPhases; k += 4, taps += 4 * kResamplerTaps) {
        const int32x4_t sums01 = vpaddq_s32(PhaseNeon(s + kWindowStarts[k], taps),
                                            PhaseNeon(s + kWindowStarts[k + 1], taps + 16));
        const int32x4_t sums23 = vpaddq_s32(PhaseNeon(s + kWindowStarts[k + 2], taps + 32),
                                            PhaseNeon(s + kWindowStarts[k + 3], taps + 48));
        vst1_s16(out + k, vqmovn_s32(vpaddq_s32(sums01, sums23)));
    }
}
#endif

}  // namespace

void ClearResamplerState(ResamplerState* state) {
    std::memset(state, 0, sizeof *state);
}

void Resample44To48(ResamplerState* state, const int16_t in[kResamplerIn],
                    int16_t out[kResamplerOut]) {
    static const signal_simd::Level best = signal_simd::Best();
    Resample44To48(state, in, out, best);
}

void Resample44To48(ResamplerState* state, const int16_t in[kResamplerIn],
                    int16_t out[kResamplerOut], signal_simd::Level level) {
    int16_t* s = state->samples;
    std::memcpy(s + kResamplerHistory, in, kResamplerIn * sizeof *in);
    for (int j = 0; j < kSubBlocks; ++j) {
        const int16_t* subBlock = s + kSubBlockIn * j;
        int16_t* subOut = out + kResamplerPhases * j;
        switch (level) {
#if defined(__SSE2__)
            case signal_simd::Level::kAvx2:
                FilterAvx2(subBlock, subOut);
                break;
            case signal_simd::Level::kSse2:
                FilterSse2(subBlock, subOut);
                break;
#endif
#if defined(__ARM_NEON)
            case signal_simd::Level::kNeon:
                FilterNeon(subBlock, subOut);
                break;
#endif
            default:
                FilterPortable(subBlock, subOut);
                break;
        }
    }
    std::memmove(s, s + kResamplerIn, kResamplerHistory * sizeof *s);
}
