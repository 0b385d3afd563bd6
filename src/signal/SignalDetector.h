// Far-end signal detector: 18 narrow bands from 400 Hz to 7200 Hz per 10 ms block, noise
// floors tracked by minimum statistics, and a hangover count as the decision.
//
// Fixed point, allocation-free, no platform dependency. One DetectorState per capture start.
#pragma once

#include <cstdint>

#include "signal/simd.h"

constexpr int kDetectorBands = 18;
// The detector decides once a block, and holds a detection for a hangover of blocks; the
// service's timings and judges that depend on them take them from here.
constexpr int kDetectorBlockMs = 10;
constexpr int kHangoverBlocks = 10;
constexpr int kHangoverMs = kHangoverBlocks * kDetectorBlockMs;
constexpr int BLOCK_48K = 48 * kDetectorBlockMs;  // samples of a block at 48 kHz
constexpr int kEnergyHistory = 4;

struct DetectorState {
    int32_t energyHistory[kDetectorBands][kEnergyHistory];
    int32_t floor[kDetectorBands];
    int32_t candidate[kDetectorBands];
    int32_t count[kDetectorBands];
    int16_t block[BLOCK_48K];
    int32_t rate;  // of the blocks handed in: 48000, 32000, 16000 or 8000
    int32_t result;
    int32_t historySlot;
    int32_t hangover;
    int32_t hangoverLength;
};

// Sets the initial values for a capture at `captureRate` (44100 is analysed at 48000, after
// the resampler).
void InitDetectorState(DetectorState* state, int32_t captureRate);

// Analyses one 10 ms block (480, 320, 160 or 80 samples at 48, 32, 16 or 8 kHz) and returns
// the hangover count: 10 after a detecting block, then one less per block, down to 0.
// Returns 0 when `state` is null.
int32_t DetectSignal(const int16_t* block, DetectorState* state);
// The same with the kernels of one instruction-set level (measurements compare the levels).
int32_t DetectSignal(const int16_t* block, DetectorState* state, signal_simd::Level level);

// The detector's two steps after the band energies, exposed for tests.
void UpdateNoiseFloor(DetectorState* state);
// The same with the kernels of one instruction-set level.
void UpdateNoiseFloor(DetectorState* state, signal_simd::Level level);
int32_t DecideSignal(const int32_t energy[kDetectorBands], DetectorState* state);
