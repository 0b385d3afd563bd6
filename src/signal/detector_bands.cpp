// Longer than 400 lines: the band energies' kernels for every instruction-set level (portable,
// SSE2, AVX2, NEON) stay beside each other, so that a change to one is made to all.
#include "signal/detector_bands.h"

#include <algorithm>
#include <array>
#include <cmath>

#if defined(__SSE2__)
#include <immintrin.h>
#endif
#if defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace detector {
namespace {

constexpr int kFolds = BLOCK_48K / kResidues;  // 8
constexpr double kQ12 = 4095.875;              // 32767 / 8
constexpr int32_t kClamp = 8192;

// Q15 weights of the 32 kHz interpolation: 0.33 and 0.67.
constexpr int32_t kNearWeight = 21955;
constexpr int32_t kFarWeight = 10813;

int BandNumber(int parity, int index) {
    return 2 * index + 1 + parity;
}  // K

Tables BuildTables() {
    const double pi = std::acos(-1.0);
    Tables tables{};
    for (int n = 0; n < BLOCK_48K; ++n) {
        const double blackman = 0.42 - 0.5 * std::cos(2 * pi * n / (BLOCK_48K - 1)) +
                                0.08 * std::cos(4 * pi * n / (BLOCK_48K - 1));
        tables.window[n] = static_cast<int16_t>(kQ12 * blackman);
    }
    for (int parity = 0; parity < 2; ++parity) {
        for (int i = 0; i < kBandsPerParity; ++i) {
            const int k = BandNumber(parity, i);
            for (int r = 1; r < kHalfResidue; ++r) {
                const double theta = pi * k * (r - BLOCK_48K / 2) / kResidues;
                tables.cosine[parity][r][i] = std::trunc(kQ12 * std::cos(theta));
                tables.sine[parity][r][i] = std::trunc(kQ12 * std::sin(theta));
            }
        }
    }
    return tables;
}

constexpr int OutputShift(int band) {
    return band < 2 ? 12 : (band == 2 ? 11 : 10);
}

// P[r] sums the windowed samples r + 60m, Q[r] alternates their signs. |P|, |Q| are below
// 8 · 4095 · 32768 < 2^30, and so are P[r] ± P[60 − r] below 2^31.
void Fold(const int16_t* window, const int16_t* y, int32_t p[kResidues], int32_t q[kResidues],
          signal_simd::Level level) {
    int r = 0;
#if defined(__SSE2__)
    // Windowed products of eight residues, as two vectors of four 32-bit values.
    const auto products = [window, y](int at, __m128i& low4, __m128i& high4) {
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window + at));
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + at));
        const __m128i low = _mm_mullo_epi16(w, x);
        const __m128i high = _mm_mulhi_epi16(w, x);
        low4 = _mm_unpacklo_epi16(low, high);
        high4 = _mm_unpackhi_epi16(low, high);
    };
    const bool x86 = level == signal_simd::Level::kSse2 || level == signal_simd::Level::kAvx2;
    for (; x86 && r + 8 <= kResidues; r += 8) {
        __m128i evenLow = _mm_setzero_si128();
        __m128i evenHigh = _mm_setzero_si128();
        __m128i oddLow = _mm_setzero_si128();
        __m128i oddHigh = _mm_setzero_si128();
        for (int m = 0; m < kFolds; m += 2) {
            __m128i low;
            __m128i high;
            products(r + kResidues * m, low, high);
            evenLow = _mm_add_epi32(evenLow, low);
            evenHigh = _mm_add_epi32(evenHigh, high);
            products(r + kResidues * (m + 1), low, high);
            oddLow = _mm_add_epi32(oddLow, low);
            oddHigh = _mm_add_epi32(oddHigh, high);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + r), _mm_add_epi32(evenLow, oddLow));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p + r + 4), _mm_add_epi32(evenHigh, oddHigh));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q + r), _mm_sub_epi32(evenLow, oddLow));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(q + r + 4), _mm_sub_epi32(evenHigh, oddHigh));
    }
#endif
#if defined(__ARM_NEON)
    // Eight residues at a time, then the last four.
    for (; level == signal_simd::Level::kNeon && r + 8 <= kResidues; r += 8) {
        int32x4_t evenLow = vdupq_n_s32(0);
        int32x4_t evenHigh = vdupq_n_s32(0);
        int32x4_t oddLow = vdupq_n_s32(0);
        int32x4_t oddHigh = vdupq_n_s32(0);
#pragma GCC unroll 4
        for (int m = 0; m < kFolds; m += 2) {
            const int at = r + kResidues * m;
            const int16x8_t w0 = vld1q_s16(window + at);
            const int16x8_t y0 = vld1q_s16(y + at);
            const int16x8_t w1 = vld1q_s16(window + at + kResidues);
            const int16x8_t y1 = vld1q_s16(y + at + kResidues);
            evenLow = vmlal_s16(evenLow, vget_low_s16(w0), vget_low_s16(y0));
            evenHigh = vmlal_high_s16(evenHigh, w0, y0);
            oddLow = vmlal_s16(oddLow, vget_low_s16(w1), vget_low_s16(y1));
            oddHigh = vmlal_high_s16(oddHigh, w1, y1);
        }
        vst1q_s32(p + r, vaddq_s32(evenLow, oddLow));
        vst1q_s32(p + r + 4, vaddq_s32(evenHigh, oddHigh));
        vst1q_s32(q + r, vsubq_s32(evenLow, oddLow));
        vst1q_s32(q + r + 4, vsubq_s32(evenHigh, oddHigh));
    }
    for (; level == signal_simd::Level::kNeon && r + 4 <= kResidues; r += 4) {
        int32x4_t even = vdupq_n_s32(0);
        int32x4_t odd = vdupq_n_s32(0);
#pragma GCC unroll 4
        for (int m = 0; m < kFolds; m += 2) {
            const int at = r + kResidues * m;
            even = vmlal_s16(even, vld1_s16(window + at), vld1_s16(y + at));
            odd = vmlal_s16(odd, vld1_s16(window + at + kResidues), vld1_s16(y + at + kResidues));
        }
        vst1q_s32(p + r, vaddq_s32(even, odd));
        vst1q_s32(q + r, vsubq_s32(even, odd));
    }
#endif
    for (; r < kResidues; ++r) {
        int32_t even = 0;
        int32_t odd = 0;
        for (int m = 0; m < kFolds; m += 2) {
            even += window[r + kResidues * m] * y[r + kResidues * m];
            odd += window[r + kResidues * (m + 1)] * y[r + kResidues * (m + 1)];
        }
        p[r] = even + odd;
        q[r] = even - odd;
    }
}

// The four rotations of the residue pairs: out[j][i] = Σ_{r=1..29} x[j][r] · table[j][r][i].
// Exact in double: every product and partial sum is an integer below 2^53.
using RotationTable = double[kHalfResidue][kPaddedBands];
struct Rotation {
    const double* x[4];
    const RotationTable* table[4];
};

void RotateScalar(const Rotation& rotation, double out[4][kPaddedBands]) {
    for (int j = 0; j < 4; ++j) {
        std::fill(out[j], out[j] + kPaddedBands, 0.0);
        for (int r = 1; r < kHalfResidue; ++r) {
            for (int i = 0; i < kPaddedBands; ++i) {
                out[j][i] += rotation.x[j][r] * (*rotation.table[j])[r][i];
            }
        }
    }
}

#if defined(__SSE2__)
void RotateSse2(const Rotation& rotation, double out[4][kPaddedBands]) {
    constexpr int kVectors = kPaddedBands / 2;
    for (int j = 0; j < 4; ++j) {
        __m128d sum[kVectors];
        for (__m128d& s : sum) {
            s = _mm_setzero_pd();
        }
        for (int r = 1; r < kHalfResidue; ++r) {
            const __m128d factor = _mm_set1_pd(rotation.x[j][r]);
            const double* row = (*rotation.table[j])[r];
            for (int v = 0; v < kVectors; ++v) {
                sum[v] = _mm_add_pd(sum[v], _mm_mul_pd(factor, _mm_loadu_pd(row + 2 * v)));
            }
        }
        for (int v = 0; v < kVectors; ++v) {
            _mm_storeu_pd(out[j] + 2 * v, sum[v]);
        }
    }
}

__attribute__((target("avx2,fma"))) void RotateAvx2(const Rotation& rotation,
                                                    double out[4][kPaddedBands]) {
    constexpr int kVectors = kPaddedBands / 4;
    __m256d sum[4][kVectors];
    for (auto& rotationSums : sum) {
        for (__m256d& s : rotationSums) {
            s = _mm256_setzero_pd();
        }
    }
    // All four rotations in one pass: twelve independent chains hide the FMA latency.
    for (int r = 1; r < kHalfResidue; ++r) {
        for (int j = 0; j < 4; ++j) {
            const __m256d factor = _mm256_set1_pd(rotation.x[j][r]);
            const double* row = (*rotation.table[j])[r];
            for (int v = 0; v < kVectors; ++v) {
                sum[j][v] = _mm256_fmadd_pd(factor, _mm256_loadu_pd(row + 4 * v), sum[j][v]);
            }
        }
    }
    for (int j = 0; j < 4; ++j) {
        for (int v = 0; v < kVectors; ++v) {
            _mm256_storeu_pd(out[j] + 4 * v, sum[j][v]);
        }
    }
}
#endif

// The band values from the rotations: the terms of r = 0 and r = 30 (where θ is a multiple of
// π/2) added, for band indices i from `first` on.
void AxisTerms(const int32_t p[kResidues], const int32_t q[kResidues],
               const int64_t rotated[4][kPaddedBands], int first, int64_t re[kDetectorBands],
               int64_t im[kDetectorBands]) {
    for (int i = first; i < kBandsPerParity; ++i) {
        const int oddK = BandNumber(0, i);
        const int64_t sine30 = (oddK % 4 == 1) ? 1 : -1;
        re[oddK - 1] = (int64_t{q[0]} >> 3) + rotated[0][i];
        im[oddK - 1] = ((sine30 * q[kHalfResidue]) >> 3) + rotated[1][i];

        const int evenK = BandNumber(1, i);
        const int64_t cosine30 = (evenK % 4 == 2) ? -1 : 1;
        re[evenK - 1] = ((p[0] + cosine30 * p[kHalfResidue]) >> 3) + rotated[2][i];
        im[evenK - 1] = rotated[3][i];
    }
}

// The residue pairs shifted by 15 as doubles, rotated by the kernels of `level`.
void RotateInDouble(const int32_t p[kResidues], const int32_t q[kResidues],
                    signal_simd::Level level, int64_t out[4][kPaddedBands]) {
    const Tables& tables = GetTables();
    double pairs[4][kHalfResidue];
    enum { kSumP, kDifferenceP, kSumQ, kDifferenceQ };
    for (int r = 1; r < kHalfResidue; ++r) {
        pairs[kSumP][r] = (p[r] + p[kResidues - r]) >> 15;
        pairs[kDifferenceP][r] = (p[r] - p[kResidues - r]) >> 15;
        pairs[kSumQ][r] = (q[r] + q[kResidues - r]) >> 15;
        pairs[kDifferenceQ][r] = (q[r] - q[kResidues - r]) >> 15;
    }
    const Rotation rotation = {
        {pairs[kDifferenceQ], pairs[kSumQ], pairs[kSumP], pairs[kDifferenceP]},
        {&tables.cosine[0], &tables.sine[0], &tables.cosine[1], &tables.sine[1]}};
    double rotated[4][kPaddedBands];
    switch (level) {
#if defined(__SSE2__)
        case signal_simd::Level::kAvx2:
            RotateAvx2(rotation, rotated);
            break;
        case signal_simd::Level::kSse2:
            RotateSse2(rotation, rotated);
            break;
#endif
        default:
            RotateScalar(rotation, rotated);
            break;
    }
    for (int j = 0; j < 4; ++j) {
        for (int i = 0; i < kPaddedBands; ++i) {
            out[j][i] = static_cast<int64_t>(rotated[j][i]);
        }
    }
}

#if defined(__ARM_NEON)
// NEON rotates in integers: residues r = 1..32 as eight vectors of four (factors zero past
// r = 29), so that each lane sums eight products, each below 65520 · 4095: under 2^31.
constexpr int kNeonVectors = 8;

// The factors of rotation j (as in Rotation) for band index i over r = 1..32.
struct NeonFactors {
    alignas(16) int32_t factor[4][kBandsPerParity][4 * kNeonVectors];
};

const NeonFactors& GetNeonFactors() {
    static const NeonFactors factors = [] {
        const Tables& tables = GetTables();
        const RotationTable* source[4] = {&tables.cosine[0], &tables.sine[0], &tables.cosine[1],
                                          &tables.sine[1]};
        NeonFactors built{};
        for (int j = 0; j < 4; ++j) {
            for (int i = 0; i < kBandsPerParity; ++i) {
                for (int r = 1; r < kHalfResidue; ++r) {
                    built.factor[j][i][r - 1] = static_cast<int32_t>((*source[j])[r][i]);
                }
            }
        }
        return built;
    }();
    return factors;
}

// (g[r] ± g[60 − r]) >> 15 for r = 4v + 1 .. 4v + 4. |g| < 2^30, so neither wraps.
inline __attribute__((always_inline)) void PairsNeon(const int32_t g[kResidues],
                                                     int32x4_t sums[kNeonVectors],
                                                     int32x4_t differences[kNeonVectors]) {
#pragma GCC unroll 8
    for (int v = 0; v < kNeonVectors; ++v) {
        const int32x4_t near = vld1q_s32(g + 4 * v + 1);
        const int32x4_t mirrored = vrev64q_s32(vld1q_s32(g + kResidues - 4 * v - 4));
        const int32x4_t far = vextq_s32(mirrored, mirrored, 2);
        sums[v] = vshrq_n_s32(vaddq_s32(near, far), 15);
        differences[v] = vshrq_n_s32(vsubq_s32(near, far), 15);
    }
}

inline __attribute__((always_inline)) int64_t DotNeon(const int32x4_t x[kNeonVectors],
                                                      const int32_t* factors) {
    const int32x4x4_t low = vld1q_s32_x4(factors);
    const int32x4x4_t high = vld1q_s32_x4(factors + 16);
    int32x4_t sum = vmulq_s32(x[0], low.val[0]);
    sum = vmlaq_s32(sum, x[1], low.val[1]);
    sum = vmlaq_s32(sum, x[2], low.val[2]);
    sum = vmlaq_s32(sum, x[3], low.val[3]);
    sum = vmlaq_s32(sum, x[4], high.val[0]);
    sum = vmlaq_s32(sum, x[5], high.val[1]);
    sum = vmlaq_s32(sum, x[6], high.val[2]);
    sum = vmlaq_s32(sum, x[7], high.val[3]);
    return vaddlvq_s32(sum);
}

void RotateNeon(const int32_t p[kResidues], const int32_t q[kResidues],
                int64_t out[4][kPaddedBands]) {
    const NeonFactors& factors = GetNeonFactors();
    int32x4_t sums[kNeonVectors];
    int32x4_t differences[kNeonVectors];
    PairsNeon(q, sums, differences);
    for (int i = 0; i < kBandsPerParity; ++i) {
        out[0][i] = DotNeon(differences, factors.factor[0][i]);
        out[1][i] = DotNeon(sums, factors.factor[1][i]);
    }
    PairsNeon(p, sums, differences);
    for (int i = 0; i < kBandsPerParity; ++i) {
        out[2][i] = DotNeon(sums, factors.factor[2][i]);
        out[3][i] = DotNeon(differences, factors.factor[3][i]);
    }
}

// AxisTerms for two band indices per step: i even has K ≡ 1 (odd K) and 2 (even K) mod 4,
// i odd K ≡ 3 and 0, so the signs of the r = 30 terms alternate lane by lane.
void AxisTermsNeon(const int32_t p[kResidues], const int32_t q[kResidues],
                   const int64_t rotated[4][kPaddedBands], int64_t re[kDetectorBands],
                   int64_t im[kDetectorBands]) {
    const int64_t q30 = q[kHalfResidue];
    const int64_t p30 = p[kHalfResidue];
    const int64x2_t reOddAxis = vdupq_n_s64(int64_t{q[0]} >> 3);
    const int64x2_t imOddAxis = {q30 >> 3, -q30 >> 3};
    const int64x2_t reEvenAxis = {(p[0] - p30) >> 3, (p[0] + p30) >> 3};
    constexpr int kPairs = kBandsPerParity / 2;
#pragma GCC unroll 4
    for (int j = 0; j < kPairs; ++j) {
        const int64x2_t reOdd = vaddq_s64(reOddAxis, vld1q_s64(rotated[0] + 2 * j));
        const int64x2_t imOdd = vaddq_s64(imOddAxis, vld1q_s64(rotated[1] + 2 * j));
        const int64x2_t reEven = vaddq_s64(reEvenAxis, vld1q_s64(rotated[2] + 2 * j));
        const int64x2_t imEven = vld1q_s64(rotated[3] + 2 * j);
        vst1q_s64(re + 4 * j, vzip1q_s64(reOdd, reEven));
        vst1q_s64(re + 4 * j + 2, vzip2q_s64(reOdd, reEven));
        vst1q_s64(im + 4 * j, vzip1q_s64(imOdd, imEven));
        vst1q_s64(im + 4 * j + 2, vzip2q_s64(imOdd, imEven));
    }
    AxisTerms(p, q, rotated, 2 * kPairs, re, im);
}

// Four bands' values shifted right by their output shifts, in 32 bits with saturation (which
// the clamp to ±8192 makes no different from clamping the 64-bit values), then clamped.
inline __attribute__((always_inline)) int32x4_t ScaledNeon(const int64_t* values, int b) {
    static constexpr auto kRightShifts = [] {
        std::array<int64_t, kDetectorBands> shifts{};
        for (int band = 0; band < kDetectorBands; ++band) {
            shifts[band] = -OutputShift(band);  // a negative left shift shifts right
        }
        return shifts;
    }();
    const int64x2x2_t value = vld1q_s64_x2(values + b);
    const int64x2x2_t shift = vld1q_s64_x2(kRightShifts.data() + b);
    const int32x4_t scaled = vqmovn_high_s64(vqmovn_s64(vshlq_s64(value.val[0], shift.val[0])),
                                             vshlq_s64(value.val[1], shift.val[1]));
    return vmaxq_s32(vminq_s32(scaled, vdupq_n_s32(kClamp)), vdupq_n_s32(-kClamp));
}

void EnergiesNeon(const int64_t re[kDetectorBands], const int64_t im[kDetectorBands],
                  int32_t energy[kDetectorBands]) {
#pragma GCC unroll 5
    for (int b : kFourBandStarts) {
        const int32x4_t real = ScaledNeon(re, b);
        const int32x4_t imag = ScaledNeon(im, b);
        vst1q_s32(energy + b, vmlaq_s32(vmulq_s32(real, real), imag, imag));
    }
}
#endif

}  // namespace

const Tables& GetTables() {
    static const Tables tables = BuildTables();
    return tables;
}

void ToBlock48k(const int16_t* in, int32_t rate, int16_t out[BLOCK_48K]) {
    switch (rate) {
        case 48000:
            std::copy(in, in + BLOCK_48K, out);
            break;
        case 32000: {
            // Products of each input sample with both weights, used by two outputs each.
            int32_t far[BLOCK_48K * 2 / 3];
            int32_t near[BLOCK_48K * 2 / 3];
            for (int i = 0; i < BLOCK_48K * 2 / 3; ++i) {
                far[i] = (in[i] * kFarWeight) >> 15;
                near[i] = (in[i] * kNearWeight) >> 15;
            }
            for (int i = 0; i < BLOCK_48K / 3; ++i) {
                // The last triple has no following sample and uses the last one twice.
                const int next = (i + 1 < BLOCK_48K / 3) ? 2 * i + 2 : 2 * i + 1;
                out[3 * i] = in[2 * i];
                out[3 * i + 1] = static_cast<int16_t>(far[2 * i] + near[2 * i + 1]);
                out[3 * i + 2] = static_cast<int16_t>(far[next] + near[2 * i + 1]);
            }
            break;
        }
        case 16000:
            for (int i = 0; i < BLOCK_48K / 3; ++i) {
                std::fill_n(out + 3 * i, 3, in[i]);
            }
            break;
        case 8000:
            for (int i = 0; i < BLOCK_48K / 6; ++i) {
                std::fill_n(out + 6 * i, 6, in[i]);
            }
            break;
        default:
            break;
    }
}

void BandValues(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands],
                int64_t im[kDetectorBands]) {
    static const signal_simd::Level best = signal_simd::Best();
    BandValues(y, re, im, best);
}

void BandValues(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands], int64_t im[kDetectorBands],
                signal_simd::Level level) {
    const Tables& tables = GetTables();
    int32_t p[kResidues];
    int32_t q[kResidues];
    Fold(tables.window, y, p, q, level);

    // Odd K rotate Q (cosine on its differences, sine on its sums), even K rotate P.
    int64_t rotated[4][kPaddedBands];
    switch (level) {
#if defined(__ARM_NEON)
        case signal_simd::Level::kNeon:
            RotateNeon(p, q, rotated);
            AxisTermsNeon(p, q, rotated, re, im);
            return;
#endif
        default:
            RotateInDouble(p, q, level, rotated);
            AxisTerms(p, q, rotated, 0, re, im);
            break;
    }
}

void BandValuesReference(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands],
                         int64_t im[kDetectorBands]) {
    const Tables& tables = GetTables();
    int64_t p[kResidues] = {};
    int64_t q[kResidues] = {};
    for (int n = 0; n < BLOCK_48K; ++n) {
        const int64_t product = int64_t{tables.window[n]} * y[n];
        p[n % kResidues] += product;
        q[n % kResidues] += ((n / kResidues) % 2 == 0) ? product : -product;
    }
    for (int b = 0; b < kDetectorBands; ++b) {
        const int k = b + 1;
        const bool odd = (k % 2) != 0;
        const int64_t* g = odd ? q : p;
        const int64_t c = odd ? 0 : (k % 4 == 2 ? -1 : 1);
        const int64_t s = odd ? (k % 4 == 1 ? 1 : -1) : 0;
        int64_t real = (g[0] + c * g[kHalfResidue]) >> 3;
        int64_t imag = (s * g[kHalfResidue]) >> 3;
        const int parity = odd ? 0 : 1;
        const int index = (k - 1) / 2;
        for (int r = 1; r < kHalfResidue; ++r) {
            const int64_t sum = (g[r] + g[kResidues - r]) >> 15;
            const int64_t difference = (g[r] - g[kResidues - r]) >> 15;
            const auto cosine = static_cast<int64_t>(tables.cosine[parity][r][index]);
            const auto sine = static_cast<int64_t>(tables.sine[parity][r][index]);
            real += (odd ? difference : sum) * cosine;
            imag += (odd ? sum : difference) * sine;
        }
        re[b] = real;
        im[b] = imag;
    }
}

void BandEnergies(const int64_t re[kDetectorBands], const int64_t im[kDetectorBands],
                  int32_t energy[kDetectorBands]) {
    static const signal_simd::Level best = signal_simd::Best();
    BandEnergies(re, im, energy, best);
}

void BandEnergies(const int64_t re[kDetectorBands], const int64_t im[kDetectorBands],
                  int32_t energy[kDetectorBands], signal_simd::Level level) {
#if defined(__ARM_NEON)
    if (level == signal_simd::Level::kNeon) {
        EnergiesNeon(re, im, energy);
        return;
    }
#else
    (void)level;
#endif
    for (int b = 0; b < kDetectorBands; ++b) {
        const auto real =
            static_cast<int32_t>(std::clamp<int64_t>(re[b] >> OutputShift(b), -kClamp, kClamp));
        const auto imag =
            static_cast<int32_t>(std::clamp<int64_t>(im[b] >> OutputShift(b), -kClamp, kClamp));
        energy[b] = real * real + imag * imag;
    }
}

}  // namespace detector
