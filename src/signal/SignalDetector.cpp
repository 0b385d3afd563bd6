#include "signal/SignalDetector.h"

#include <algorithm>
#include <iterator>

#include "signal/detector_bands.h"

namespace {

constexpr int32_t kFloorReset = 10000000;
constexpr int32_t kFloorHoldBlocks = 200;
constexpr int32_t kCandidateWindowEnd = 600;
constexpr int64_t kNoiseFactor = 30;
constexpr float kRelativeThreshold = 10.0f;
constexpr float kAbsoluteThreshold = 64000000.0f;
constexpr int32_t kHangoverLength = 10;

}  // namespace

void InitDetectorState(DetectorState* state, int32_t captureRate) {
    *state = DetectorState{};
    std::fill(std::begin(state->floor), std::end(state->floor), kFloorReset);
    std::fill(std::begin(state->candidate), std::end(state->candidate), kFloorReset);
    state->rate = captureRate == 44100 ? 48000 : captureRate;
    state->hangoverLength = kHangoverLength;
}

int32_t DetectSignal(const int16_t* block, DetectorState* state) {
    static const signal_simd::Level best = signal_simd::Best();
    return DetectSignal(block, state, best);
}

int32_t DetectSignal(const int16_t* block, DetectorState* state, signal_simd::Level level) {
    if (state == nullptr) {
        return 0;
    }
    detector::ToBlock48k(block, state->rate, state->block);

    int64_t re[kDetectorBands];
    int64_t im[kDetectorBands];
    int32_t energy[kDetectorBands];
    detector::BandValues(state->block, re, im, level);
    detector::BandEnergies(re, im, energy);

    state->historySlot = (state->historySlot + 1) % kEnergyHistory;
    for (int b = 0; b < kDetectorBands; ++b) {
        state->energyHistory[b][state->historySlot] = energy[b];
    }
    UpdateNoiseFloor(state);
    state->result = DecideSignal(energy, state);
    return state->result;
}

void UpdateNoiseFloor(DetectorState* state) {
    for (int b = 0; b < kDetectorBands; ++b) {
        const int32_t* history = state->energyHistory[b];
        const int32_t average = (history[0] + history[1] + history[2] + history[3]) >> 2;
        if (average < state->floor[b]) {
            state->floor[b] = average;
            state->candidate[b] = kFloorReset;
            state->count[b] = 0;
            continue;
        }
        ++state->count[b];
        if (state->count[b] > kFloorHoldBlocks && average < state->candidate[b]) {
            state->candidate[b] = average;
        }
        if (state->count[b] > kCandidateWindowEnd) {
            state->floor[b] = state->candidate[b];
            state->candidate[b] = kFloorReset;
            state->count[b] = kFloorHoldBlocks;
        }
    }
}

int32_t DecideSignal(const int32_t energy[kDetectorBands], DetectorState* state) {
    // Single precision, summed in band order: the decision depends on this rounding.
    float sum = 0.0f;
    float noise = 0.0f;
    for (int b = 0; b < kDetectorBands; ++b) {
        const int64_t excess = int64_t{energy[b]} - kNoiseFactor * state->floor[b];
        sum += static_cast<float>(std::max<int64_t>(0, excess));
        noise += static_cast<float>(state->floor[b]);
    }
    if (sum > kRelativeThreshold * noise && sum > kAbsoluteThreshold) {
        state->hangover = state->hangoverLength;
        return state->hangover;
    }
    if (state->hangover > 0) {
        --state->hangover;
    }
    return state->hangover;
}
