// Cost of one 10 ms block through the detector and the resampler, beside WebRTC's voice
// activity detection and speexdsp's resampler on the same frames.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include <speex/speex_resampler.h>
#if VESK_WEBRTC_APM_SERIES >= 1
#include <api/scoped_refptr.h>
#include <modules/audio_processing/include/audio_processing.h>
#else
#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>
#endif

#include "signal/Resampler.h"
#include "signal/SignalDetector.h"
#include "signal/detector_bands.h"

namespace {

constexpr int kFrames = 64;  // distinct frames cycled through, so no single input is cached

// Speech-like test signal: a few harmonics under a slow envelope, plus noise.
std::vector<int16_t> Signal(int rate, int samplesPerFrame) {
    const double pi = std::acos(-1.0);
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 300.0);
    std::vector<int16_t> samples(static_cast<size_t>(samplesPerFrame) * kFrames);
    for (size_t n = 0; n < samples.size(); ++n) {
        const double t = static_cast<double>(n) / rate;
        const double envelope = 0.5 + 0.5 * std::sin(2 * pi * 3 * t);
        double value = noise(random);
        for (int h = 1; h <= 5; ++h) {
            value += envelope * 4000.0 / h * std::sin(2 * pi * 180 * h * t);
        }
        samples[n] = static_cast<int16_t>(std::lround(value));
    }
    return samples;
}

// The instruction-set levels this processor runs, as arguments.
void SupportedLevels(benchmark::internal::Benchmark* benchmark) {
    for (signal_simd::Level level : signal_simd::kLevels) {
        if (signal_simd::Supported(level)) {
            benchmark->Arg(static_cast<int>(level));
        }
    }
}

void BM_DetectSignal(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    const int block = rate / 100;
    const std::vector<int16_t> input = Signal(rate, block);
    DetectorState detector;
    InitDetectorState(&detector, rate);
    int frame = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            DetectSignal(&input[static_cast<size_t>(frame) * block], &detector));
        frame = (frame + 1) % kFrames;
    }
}
BENCHMARK(BM_DetectSignal)->Arg(48000)->Arg(32000)->Arg(16000)->Arg(8000);

// The band values of one 48 kHz block per instruction-set level (argument as below).
void BM_BandValues48k(benchmark::State& state) {
    const auto level = static_cast<signal_simd::Level>(state.range(0));
    const std::vector<int16_t> input = Signal(48000, BLOCK_48K);
    int64_t re[kDetectorBands];
    int64_t im[kDetectorBands];
    int frame = 0;
    for (auto _ : state) {
        detector::BandValues(&input[static_cast<size_t>(frame) * BLOCK_48K], re, im, level);
        benchmark::DoNotOptimize(re);
        benchmark::DoNotOptimize(im);
        frame = (frame + 1) % kFrames;
    }
}
BENCHMARK(BM_BandValues48k)->Apply(SupportedLevels);

// Argument: instruction-set level (0 portable, 1 SSE2, 2 AVX2, 3 NEON); the product picks the
// best.
void BM_Resample44To48(benchmark::State& state) {
    const auto level = static_cast<signal_simd::Level>(state.range(0));
    const std::vector<int16_t> input = Signal(44100, kResamplerIn);
    ResamplerState resampler;
    ClearResamplerState(&resampler);
    int16_t out[kResamplerOut];
    int frame = 0;
    for (auto _ : state) {
        Resample44To48(&resampler, &input[static_cast<size_t>(frame) * kResamplerIn], out, level);
        benchmark::DoNotOptimize(out);
        frame = (frame + 1) % kFrames;
    }
}
BENCHMARK(BM_Resample44To48)->Apply(SupportedLevels);

void BM_Resample44To48ThenDetect(benchmark::State& state) {
    const std::vector<int16_t> input = Signal(44100, kResamplerIn);
    ResamplerState resampler;
    ClearResamplerState(&resampler);
    DetectorState detector;
    InitDetectorState(&detector, 44100);
    int16_t out[kResamplerOut];
    int frame = 0;
    for (auto _ : state) {
        Resample44To48(&resampler, &input[static_cast<size_t>(frame) * kResamplerIn], out);
        benchmark::DoNotOptimize(DetectSignal(out, &detector));
        frame = (frame + 1) % kFrames;
    }
}
BENCHMARK(BM_Resample44To48ThenDetect);

// Peer: WebRTC's voice detection on 10 ms frames at 48 kHz, nothing else enabled, through
// whichever interface the installed series has.
void BM_WebRtcVoiceDetection48k(benchmark::State& state) {
    const std::vector<int16_t> input = Signal(48000, 480);
#if VESK_WEBRTC_APM_SERIES >= 1
    rtc::scoped_refptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessingBuilder().Create());
    webrtc::AudioProcessing::Config config;
    config.voice_detection.enabled = true;
    apm->ApplyConfig(config);
    const webrtc::StreamConfig stream(48000, 1);
    std::vector<int16_t> output(480);
    int index = 0;
    for (auto _ : state) {
        if (apm->ProcessStream(&input[static_cast<size_t>(index) * 480], stream, stream,
                               output.data()) != 0) {
            state.SkipWithError("ProcessStream failed");
            break;
        }
        benchmark::DoNotOptimize(apm->GetStatistics().voice_detected);
        index = (index + 1) % kFrames;
    }
#else
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
    apm->voice_detection()->Enable(true);
    apm->voice_detection()->set_frame_size_ms(10);
    webrtc::AudioFrame frame;
    frame.sample_rate_hz_ = 48000;
    frame.samples_per_channel_ = 480;
    frame.num_channels_ = 1;
    int index = 0;
    for (auto _ : state) {
        std::copy_n(&input[static_cast<size_t>(index) * 480], 480, frame.data_);
        if (apm->ProcessStream(&frame) != 0) {
            state.SkipWithError("ProcessStream failed");
            break;
        }
        benchmark::DoNotOptimize(apm->voice_detection()->stream_has_voice());
        index = (index + 1) % kFrames;
    }
#endif
}
BENCHMARK(BM_WebRtcVoiceDetection48k);

// Peer: speexdsp's resampler, 44100 to 48000 at quality 5, 441 samples per call.
void BM_SpeexResampler44To48(benchmark::State& state) {
    const std::vector<int16_t> input = Signal(44100, kResamplerIn);
    int error = 0;
    SpeexResamplerState* speex = speex_resampler_init(1, 44100, 48000, 5, &error);
    if (speex == nullptr) {
        state.SkipWithError("speex_resampler_init failed");
        return;
    }
    int16_t out[kResamplerOut + 16];
    int frame = 0;
    for (auto _ : state) {
        spx_uint32_t inLength = kResamplerIn;
        spx_uint32_t outLength = kResamplerOut + 16;
        speex_resampler_process_int(speex, 0, &input[static_cast<size_t>(frame) * kResamplerIn],
                                    &inLength, out, &outLength);
        benchmark::DoNotOptimize(out);
        frame = (frame + 1) % kFrames;
    }
    speex_resampler_destroy(speex);
}
BENCHMARK(BM_SpeexResampler44To48);

}  // namespace

BENCHMARK_MAIN();
