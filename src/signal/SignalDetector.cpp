#include "signal/SignalDetector.h"

#include <algorithm>
#include <iterator>

#include "signal/detector_bands.h"

#if defined(__ARM_NEON)
#include <arm_neon.h>
#endif

namespace {

constexpr int32_t kFloorReset = 10000000;
constexpr int32_t kFloorHoldBlocks = 200;
constexpr int32_t kCandidateWindowEnd = 600;
constexpr int64_t kNoiseFactor = 30;
constexpr float kRelativeThreshold = 10.0f;
constexpr float kAbsoluteThreshold = 64000000.0f;

// Detection needs the excess summed over the bands both large against the summed floors and
// large in absolute terms.
int32_t Decide(float sum, float noise, DetectorState* state) {
    if (sum > kRelativeThreshold * noise && sum > kAbsoluteThreshold) {
        state->hangover = state->hangoverLength;
        return state->hangover;
    }
    if (state->hangover > 0) {
        --state->hangover;
    }
    return state->hangover;
}

#if defined(__ARM_NEON)
struct FloorStep {
    int32x4_t floor;
    int32x4_t candidate;
    int32x4_t count;
};

// UpdateNoiseFloor for the four bands from b, as lane-wise selections.
FloorStep FloorStepNeon(const DetectorState& state, int b) {
    const int32x4x4_t history = vld1q_s32_x4(state.energyHistory[b]);
    const int32x4_t average = vshrq_n_s32(vpaddq_s32(vpaddq_s32(history.val[0], history.val[1]),
                                                     vpaddq_s32(history.val[2], history.val[3])),
                                          2);
    const int32x4_t floor = vld1q_s32(state.floor + b);
    const int32x4_t candidate = vld1q_s32(state.candidate + b);
    const int32x4_t counted = vaddq_s32(vld1q_s32(state.count + b), vdupq_n_s32(1));
    const uint32x4_t gathering =
        vandq_u32(vcgtq_s32(counted, vdupq_n_s32(kFloorHoldBlocks)), vcltq_s32(average, candidate));
    const int32x4_t gathered = vbslq_s32(gathering, average, candidate);
    const uint32x4_t replacing = vcgtq_s32(counted, vdupq_n_s32(kCandidateWindowEnd));
    const uint32x4_t lowering = vcltq_s32(average, floor);
    const int32x4_t reset = vdupq_n_s32(kFloorReset);
    return {vbslq_s32(lowering, average, vbslq_s32(replacing, gathered, floor)),
            vbslq_s32(vorrq_u32(lowering, replacing), reset, gathered),
            vbslq_s32(lowering, vdupq_n_s32(0),
                      vbslq_s32(replacing, vdupq_n_s32(kFloorHoldBlocks), counted))};
}

void UpdateNoiseFloorNeon(DetectorState* state) {
    constexpr int kSteps = std::size(detector::kFourBandStarts);
    FloorStep steps[kSteps];
#pragma GCC unroll 5
    for (int i = 0; i < kSteps; ++i) {
        steps[i] = FloorStepNeon(*state, detector::kFourBandStarts[i]);
    }
#pragma GCC unroll 5
    for (int i = 0; i < kSteps; ++i) {
        const int b = detector::kFourBandStarts[i];
        vst1q_s32(state->floor + b, steps[i].floor);
        vst1q_s32(state->candidate + b, steps[i].candidate);
        vst1q_s32(state->count + b, steps[i].count);
    }
}

// The excess fits 32 bits once it is at least 0 (it is at most an energy), so the saturating
// narrowing loses nothing that matters.
int32_t DecideSignalNeon(const int32_t energy[kDetectorBands], DetectorState* state) {
    float excess[kDetectorBands];
    float floor[kDetectorBands];
#pragma GCC unroll 5
    for (int b : detector::kFourBandStarts) {
        const int32x4_t e = vld1q_s32(energy + b);
        const int32x4_t f = vld1q_s32(state->floor + b);
        const int64x2_t low =
            vsubq_s64(vmovl_s32(vget_low_s32(e)), vmull_n_s32(vget_low_s32(f), kNoiseFactor));
        const int64x2_t high = vsubq_s64(vmovl_high_s32(e), vmull_high_n_s32(f, kNoiseFactor));
        const int32x4_t positive =
            vmaxq_s32(vqmovn_high_s64(vqmovn_s64(low), high), vdupq_n_s32(0));
        vst1q_f32(excess + b, vcvtq_f32_s32(positive));
        vst1q_f32(floor + b, vcvtq_f32_s32(f));
    }
    // Summed in band order, as the portable code does: the decision depends on this rounding.
    float sum = 0.0f;
    float noise = 0.0f;
#pragma GCC unroll 18
    for (int b = 0; b < kDetectorBands; ++b) {
        sum += excess[b];
        noise += floor[b];
    }
    return Decide(sum, noise, state);
}
#endif

}  // namespace

void InitDetectorState(DetectorState* state, int32_t captureRate) {
    *state = DetectorState{};
    std::fill(std::begin(state->floor), std::end(state->floor), kFloorReset);
    std::fill(std::begin(state->candidate), std::end(state->candidate), kFloorReset);
    state->rate = captureRate == 44100 ? 48000 : captureRate;
    state->hangoverLength = kHangoverBlocks;
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
    detector::BandEnergies(re, im, energy, level);

    state->historySlot = (state->historySlot + 1) % kEnergyHistory;
    for (int b = 0; b < kDetectorBands; ++b) {
        state->energyHistory[b][state->historySlot] = energy[b];
    }
    UpdateNoiseFloor(state, level);
#if defined(__ARM_NEON)
    if (level == signal_simd::Level::kNeon) {
        state->result = DecideSignalNeon(energy, state);
        return state->result;
    }
#endif
    state->result = DecideSignal(energy, state);
    return state->result;
}

void UpdateNoiseFloor(DetectorState* state, signal_simd::Level level) {
#if defined(__ARM_NEON)
    if (level == signal_simd::Level::kNeon) {
        UpdateNoiseFloorNeon(state);
        return;
    }
#else
    (void)level;
#endif
    UpdateNoiseFloor(state);
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
    return Decide(sum, noise, state);
}
