#include "signal/Resampler.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr int kSubBlocks = 3;
constexpr int kSubBlockIn = 147;

// Base sample of each output phase: 15 + floor(147·k / 160).
constexpr std::array<int, kResamplerPhases> MakeOffsets() {
    std::array<int, kResamplerPhases> offsets{};
    for (int k = 0; k < kResamplerPhases; ++k) {
        offsets[k] = kResamplerHistory + kSubBlockIn * k / kResamplerPhases;
    }
    return offsets;
}
constexpr std::array<int, kResamplerPhases> kOffsets = MakeOffsets();

int16_t Saturate(int32_t value) {
    return static_cast<int16_t>(std::clamp<int32_t>(value, INT16_MIN, INT16_MAX));
}

}  // namespace

void ClearResamplerState(ResamplerState* state) {
    std::memset(state, 0, sizeof *state);
}

void Resample44To48(ResamplerState* state, const int16_t in[kResamplerIn],
                    int16_t out[kResamplerOut]) {
    int16_t* s = state->samples;
    std::memcpy(s + kResamplerHistory, in, kResamplerIn * sizeof *in);
    for (int j = 0; j < kSubBlocks; ++j) {
        for (int k = 0; k < kResamplerPhases; ++k) {
            const int16_t* newest = s + kSubBlockIn * j + kOffsets[k];
            const int16_t* taps = kResamplerCoefficients[k];
            // Each product is floored on its own; the sum of at most 62379 stays exact.
            int32_t sum = 0;
            for (int t = 0; t < kResamplerTaps; ++t) {
                sum += (int32_t{newest[-t]} * taps[t]) >> 15;
            }
            out[kResamplerPhases * j + k] = Saturate(sum);
        }
    }
    std::memmove(s, s + kResamplerIn, kResamplerHistory * sizeof *s);
}
