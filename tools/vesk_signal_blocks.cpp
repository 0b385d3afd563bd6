// Runs BLOCKS 10 ms blocks through one stage of the signal path with the kernels of one
// instruction-set level, after one block that builds the tables, and prints a checksum of the
// last block's outputs and the state (equal for every level). scripts/measure-arm64 counts the
// instructions of runs with BLOCKS and with 0 blocks; the difference is the stage's cost, so
// nothing else happens per block.
// Built with the peers of the benchmarks (where their libraries are installed), it runs them
// the same way: WebRTC's voice detection on 48 kHz blocks and speexdsp's resampler (44.1 to
// 48 kHz, quality 5), as level "peer".
// Usage: vesk_signal_blocks detect|resample portable|sse2|avx2|neon|peer BLOCKS
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#if defined(VESK_WITH_PEERS)
#include <speex/speex_resampler.h>
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <memory>
#endif

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

#if defined(VESK_WITH_PEERS)
uint32_t DetectPeer(int blocks) {
    const std::vector<int16_t> input = Signal(48000, BLOCK_48K);
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
    apm->voice_detection()->Enable(true);
    apm->voice_detection()->set_frame_size_ms(10);
    webrtc::AudioFrame frame;
    frame.sample_rate_hz_ = 48000;
    frame.samples_per_channel_ = BLOCK_48K;
    frame.num_channels_ = 1;
    uint32_t voiced = 0;
    for (int block = 0; block <= blocks; ++block) {
        std::copy_n(&input[static_cast<size_t>(block % kFrames) * BLOCK_48K], BLOCK_48K,
                    frame.data_);
        if (apm->ProcessStream(&frame) != 0) {
            return 0;
        }
        voiced += apm->voice_detection()->stream_has_voice() ? 1 : 0;
    }
    return Mix(2166136261u, static_cast<int32_t>(voiced));
}

uint32_t ResamplePeer(int blocks) {
    const std::vector<int16_t> input = Signal(44100, kResamplerIn);
    int error = 0;
    SpeexResamplerState* speex = speex_resampler_init(1, 44100, 48000, 5, &error);
    if (speex == nullptr) {
        return 0;
    }
    int16_t out[kResamplerOut + 16];
    spx_uint32_t outLength = 0;
    for (int block = 0; block <= blocks; ++block) {
        spx_uint32_t inLength = kResamplerIn;
        outLength = kResamplerOut + 16;
        speex_resampler_process_int(speex, 0,
                                    &input[static_cast<size_t>(block % kFrames) * kResamplerIn],
                                    &inLength, out, &outLength);
    }
    speex_resampler_destroy(speex);
    uint32_t checksum = 2166136261u;
    for (spx_uint32_t i = 0; i < outLength; ++i) {
        checksum = Mix(checksum, out[i]);
    }
    return checksum;
}
#endif

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
    const bool peer = std::strcmp(levelName, "peer") == 0;
    const int blocks = argc == 4 ? std::atoi(argv[3]) : -1;
    if ((!detect && !resample) || (level == nullptr && !peer) || blocks < 0) {
        std::fprintf(stderr, "usage: %s detect|resample portable|sse2|avx2|neon|peer BLOCKS\n",
                     argv[0]);
        return 2;
    }
    if (peer) {
#if defined(VESK_WITH_PEERS)
        const uint32_t checksum = detect ? DetectPeer(blocks) : ResamplePeer(blocks);
        std::printf("%s peer %d blocks: checksum %08x\n", argv[1], blocks, checksum);
        return 0;
#else
        std::fprintf(stderr, "%s: built without the peers' libraries\n", argv[0]);
        return 3;
#endif
    }
    if (!signal_simd::Supported(*level)) {
        std::fprintf(stderr, "%s: this processor does not run %s\n", argv[0], levelName);
        return 2;
    }
    const uint32_t checksum = detect ? Detect(*level, blocks) : Resample(*level, blocks);
    std::printf("%s %s %d blocks: checksum %08x\n", argv[1], levelName, blocks, checksum);
    return 0;
}
