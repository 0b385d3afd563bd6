// Runs BLOCKS 10 ms blocks through one stage of the signal path with the kernels of one
// instruction-set level, after one block that builds the tables, and prints a checksum of the
// last block's outputs and the state (equal for every level). scripts/measure-arm64 counts the
// instructions of runs with BLOCKS and with 0 blocks; the difference is the stage's cost, so
// nothing else happens per block.
// Usage: vesk_signal_blocks detect|resample portable|sse2|avx2|neon BLOCKS
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "signal/Resampler.h"
#include "signal/SignalDetector.h"

namespace {

constexpr int kFrames = 16;  // distinct frames cycled through

// Speech-like: a few harmonics under a slow envelope, and a little deterministic noise.
std::vector<int16_t> Signal(int rate, int samplesPerFrame) {
    const double pi = std::acos(-1.0);
    std::vector<int16_t> samples(static_cast<size_t>(samplesPerFrame) * kFrames);
    uint32_t noise = 1;
    for (size_t n = 0; n < samples.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double envelope = 0.5 + 0.5 * std::sin(2 * pi * 3 * t);
        noise = noise * 1664525u + 1013904223u;
        double value = static_cast<double>(noise >> 24) - 128.0;
        for (int h = 1; h <= 5; ++h) {
            value += envelope * 4000.0 / h * std::sin(2 * pi * 180 * h * t);
        }
        samples[n] = static_cast<int16_t>(std::lround(value));
    }
    return samples;
}

uint32_t Mix(uint32_t checksum, int32_t value) {
    return (checksum ^ static_cast<uint32_t>(value)) * 16777619u;
}

uint32_t Detect(signal_simd::Level level, int blocks) {
    const std::vector<int16_t> input = Signal(48000, BLOCK_48K);
    DetectorState state;
    InitDetectorState(&state, 48000);
    int32_t result = 0;
    for (int block = 0; block <= blocks; ++block) {
        result =
            DetectSignal(&input[static_cast<size_t>(block % kFrames) * BLOCK_48K], &state, level);
    }
    uint32_t checksum = Mix(2166136261u, result);
    for (int b = 0; b < kDetectorBands; ++b) {
        checksum = Mix(checksum, state.floor[b]);
        checksum = Mix(checksum, state.energyHistory[b][state.historySlot]);
    }
    return checksum;
}

uint32_t Resample(signal_simd::Level level, int blocks) {
    const std::vector<int16_t> input = Signal(44100, kResamplerIn);
    ResamplerState state;
    ClearResamplerState(&state);
    int16_t out[kResamplerOut];
    for (int block = 0; block <= blocks; ++block) {
        Resample44To48(&state, &input[static_cast<size_t>(block % kFrames) * kResamplerIn], out,
                       level);
    }
    uint32_t checksum = 2166136261u;
    for (int16_t sample : out) {
        checksum = Mix(checksum, sample);
    }
    for (int16_t sample : state.samples) {
        checksum = Mix(checksum, sample);
    }
    return checksum;
}

}  // namespace

int main(int argc, char** argv) {
    const char* levelName = argc == 4 ? argv[2] : "";
    const signal_simd::Level* level = nullptr;
    for (const signal_simd::Level& candidate : signal_simd::kLevels) {
        if (std::strcmp(levelName, signal_simd::Name(candidate)) == 0) {
            level = &candidate;
        }
    }
    const bool detect = argc == 4 && std::strcmp(argv[1], "detect") == 0;
    const bool resample = argc == 4 && std::strcmp(argv[1], "resample") == 0;
    const int blocks = argc == 4 ? std::atoi(argv[3]) : -1;
    if ((!detect && !resample) || level == nullptr || blocks < 0) {
        std::fprintf(stderr, "usage: %s detect|resample portable|sse2|avx2|neon BLOCKS\n", argv[0]);
        return 2;
    }
    if (!signal_simd::Supported(*level)) {
        std::fprintf(stderr, "%s: this processor does not run %s\n", argv[0], levelName);
        return 2;
    }
    const uint32_t checksum = detect ? Detect(*level, blocks) : Resample(*level, blocks);
    std::printf("%s %s %d blocks: checksum %08x\n", argv[1], levelName, blocks, checksum);
    return 0;
}
