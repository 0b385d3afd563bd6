// Stages of the signal detector before the noise floors: the block brought to 48 kHz, the
// windowed 480-point DFT at the 18 band bins, and the band energies.
#pragma once

#include <cstdint>

#include "signal/SignalDetector.h"

namespace detector {

// Q-formats: window in Q15 / 8 (peak 4095); rotation factors in Q12 (4095.875 · cos).
struct Tables {
    int32_t window[BLOCK_48K];
    int32_t cosine[kDetectorBands][30];  // [K - 1][r], r = 1..29 used
    int32_t sine[kDetectorBands][30];
};

// Built by rule in double precision on first use.
const Tables& GetTables();

// Brings one block at `rate` to 48 kHz in `out`; any other rate leaves `out` unchanged.
void ToBlock48k(const int16_t* in, int32_t rate, int16_t out[BLOCK_48K]);

// Band values before scaling: (1/8) · windowed DFT at bin 4K, phase referred to sample 240.
// Computed in 64 bits: full-scale inputs shaped to a band overflow 32 bits, and below that
// the values equal the 32-bit computation's.
void BandValues(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands], int64_t im[kDetectorBands]);

// Scales, clamps to ±8192 and squares: E[b] = Re² + Im², at most 134,217,728.
void BandEnergies(const int64_t re[kDetectorBands], const int64_t im[kDetectorBands],
                  int32_t energy[kDetectorBands]);

}  // namespace detector
