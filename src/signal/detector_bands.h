// Stages of the signal detector before the noise floors: the block brought to 48 kHz, the
// windowed 480-point DFT at the 18 band bins, and the band energies.
#pragma once

#include <cstdint>

#include "signal/SignalDetector.h"
#include "signal/simd.h"

namespace detector {

constexpr int kResidues = 60;     // the 480-point block folds to residues modulo 60
constexpr int kHalfResidue = 30;  // residue r pairs with 60 - r; 30 pairs with itself
constexpr int kBandsPerParity = kDetectorBands / 2;
constexpr int kPaddedBands = 12;  // a whole number of SIMD lanes per parity
// Starts of the four-band vectors that cover all bands; the last overlaps the one before it,
// so a step computes every vector from the values before it and stores them all after.
constexpr int kFourBandStarts[] = {0, 4, 8, 12, kDetectorBands - 4};

struct Tables {
    // Blackman window in Q15 / 8 (peak 4095).
    int16_t window[BLOCK_48K];
    // Rotation factors in Q12, trunc(4095.875 · cos θ) and trunc(4095.875 · sin θ), θ =
    // π·K·(r − 240)/60, as [parity][r][band]: parity 0 holds K = 1, 3, … 17, parity 1
    // K = 2, 4, … 18; r = 1..29. Stored as doubles: every product and sum of the band values
    // is an integer below 2^53, so double arithmetic is exact in any order.
    double cosine[2][kHalfResidue][kPaddedBands];
    double sine[2][kHalfResidue][kPaddedBands];
};

// Built by rule in double precision on first use.
const Tables& GetTables();

// Brings one block at `rate` to 48 kHz in `out`; any other rate leaves `out` unchanged.
void ToBlock48k(const int16_t* in, int32_t rate, int16_t out[BLOCK_48K]);

// Band values before scaling: (1/8) · windowed DFT at bin 4K, phase referred to sample 240,
// by folding to residues, pairing r with 60 − r, shifting by 15 and rotating. 64-bit: a
// full-scale input shaped to a band passes 32 bits; below that the values are the same.
void BandValues(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands], int64_t im[kDetectorBands]);
// The same with the kernels of one instruction-set level (tests compare the levels).
void BandValues(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands], int64_t im[kDetectorBands],
                signal_simd::Level level);

// The same values computed plainly, sample by sample; the reference for BandValues.
void BandValuesReference(const int16_t y[BLOCK_48K], int64_t re[kDetectorBands],
                         int64_t im[kDetectorBands]);

// Scales, clamps to ±8192 and squares: E[b] = Re² + Im², at most 134,217,728.
void BandEnergies(const int64_t re[kDetectorBands], const int64_t im[kDetectorBands],
                  int32_t energy[kDetectorBands]);
// The same with the kernels of one instruction-set level.
void BandEnergies(const int64_t re[kDetectorBands], const int64_t im[kDetectorBands],
                  int32_t energy[kDetectorBands], signal_simd::Level level);

}  // namespace detector
