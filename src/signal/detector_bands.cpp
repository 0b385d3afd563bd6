#include "signal/detector_bands.h"

#include <algorithm>
#include <cmath>

namespace detector {
namespace {

constexpr int kResidues = 60;     // the 480-point block folds to residues modulo 60
constexpr int kHalfResidue = 30;  // r = 30 pairs with itself
constexpr int kFolds = BLOCK_48K / kResidues;
constexpr double kQ12 = 4095.875;  // 32767 / 8
constexpr int32_t kClamp = 8192;

// Q15 weights of the 32 kHz interpolation: 0.33 and 0.67.
constexpr int32_t kNearWeight = 21955;
constexpr int32_t kFarWeight = 10813;

Tables BuildTables() {
    const double pi = std::acos(-1.0);
    Tables tables{};
    for (int n = 0; n < BLOCK_48K; ++n) {
        const double blackman = 0.42 - 0.5 * std::cos(2 * pi * n / (BLOCK_48K - 1)) +
                                0.08 * std::cos(4 * pi * n / (BLOCK_48K - 1));
        tables.window[n] = static_cast<int32_t>(kQ12 * blackman);
    }
    for (int k = 1; k <= kDetectorBands; ++k) {
        for (int r = 1; r < kHalfResidue; ++r) {
            const double theta = pi * k * (r - BLOCK_48K / 2) / kResidues;
            tables.cosine[k - 1][r] = static_cast<int32_t>(kQ12 * std::cos(theta));
            tables.sine[k - 1][r] = static_cast<int32_t>(kQ12 * std::sin(theta));
        }
    }
    return tables;
}

int16_t Interpolate(int16_t far, int16_t near) {
    return static_cast<int16_t>(((far * kFarWeight) >> 15) + ((near * kNearWeight) >> 15));
}

int OutputShift(int band) {
    return band < 2 ? 12 : (band == 2 ? 11 : 10);
}

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
        case 32000:
            for (int i = 0; i < BLOCK_48K / 3; ++i) {
                // The last triple has no following sample and uses the last one twice.
                const int16_t next = (i + 1 < BLOCK_48K / 3) ? in[2 * i + 2] : in[2 * i + 1];
                out[3 * i] = in[2 * i];
                out[3 * i + 1] = Interpolate(in[2 * i], in[2 * i + 1]);
                out[3 * i + 2] = Interpolate(next, in[2 * i + 1]);
            }
            break;
        case 16000:
            for (int i = 0; i < BLOCK_48K; ++i) {
                out[i] = in[i / 3];
            }
            break;
        case 8000:
            for (int i = 0; i < BLOCK_48K; ++i) {
                out[i] = in[i / 6];
            }
            break;
        default:
            break;
    }
}

void BandValues(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands],
                int64_t im[kDetectorBands]) {
    const Tables& tables = GetTables();

    // Fold by residues: P sums the windowed samples r + 60m, Q alternates their signs.
    // |P|, |Q| < 8 · 4095 · 32768 < 2^30: 32 bits hold them.
    int32_t p[kResidues];
    int32_t q[kResidues];
    for (int r = 0; r < kResidues; ++r) {
        int32_t even = 0;
        int32_t odd = 0;
        for (int m = 0; m < kFolds; m += 2) {
            even += tables.window[r + kResidues * m] * y[r + kResidues * m];
            odd += tables.window[r + kResidues * (m + 1)] * y[r + kResidues * (m + 1)];
        }
        p[r] = even + odd;
        q[r] = even - odd;
    }

    for (int b = 0; b < kDetectorBands; ++b) {
        const int k = b + 1;
        const bool odd = (k % 2) != 0;
        const int32_t* g = odd ? q : p;
        const int c = odd ? 0 : (k % 4 == 2 ? -1 : 1);
        const int s = odd ? (k % 4 == 1 ? 1 : -1) : 0;

        int64_t real = (int64_t{g[0]} + int64_t{c} * g[kHalfResidue]) >> 3;
        int64_t imag = (int64_t{s} * g[kHalfResidue]) >> 3;
        const int32_t* cosine = tables.cosine[b];
        const int32_t* sine = tables.sine[b];
        for (int r = 1; r < kHalfResidue; ++r) {
            const int64_t sum = (int64_t{g[r]} + g[kResidues - r]) >> 15;
            const int64_t difference = (int64_t{g[r]} - g[kResidues - r]) >> 15;
            real += (odd ? difference : sum) * cosine[r];
            imag += (odd ? sum : difference) * sine[r];
        }
        re[b] = real;
        im[b] = imag;
    }
}

void BandEnergies(const int64_t re[kDetectorBands], const int64_t im[kDetectorBands],
                  int32_t energy[kDetectorBands]) {
    for (int b = 0; b < kDetectorBands; ++b) {
        const int32_t real =
            static_cast<int32_t>(std::clamp<int64_t>(re[b] >> OutputShift(b), -kClamp, kClamp));
        const int32_t imag =
            static_cast<int32_t>(std::clamp<int64_t>(im[b] >> OutputShift(b), -kClamp, kClamp));
        energy[b] = real * real + imag * imag;
    }
}

}  // namespace detector
