// Per-packet cost of the capture chain: conversion to mono, the block copy, the resampler at
// 44.1 kHz and the detector, for 10 ms packets of several stream formats.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "SpkLoopback/SpkLoopback/SpkLoopback.h"
#include "testing/scripted_audio.h"

struct CSpkLoopbackProbe {
    static void Process(CSpkLoopback& capture, const BYTE* data, UINT32 frames) {
        capture.ProcessPacket(data, frames);
    }
};

namespace {

using scripted_audio::Endpoint;

struct Case {
    std::vector<uint8_t> mix;
    WORD acceptTag;  // the engine takes the mix format itself, never the preferred one
};

// Speech-like samples in the stream format the capture negotiated.
std::vector<uint8_t> Packet(const WAVEFORMATEX& format, int frames, int packet) {
    const bool isFloat =
        format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ||
        (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.wBitsPerSample == 32);
    const int bytes = format.wBitsPerSample / 8;
    std::vector<uint8_t> data(static_cast<size_t>(frames) * format.nChannels * bytes);
    for (int i = 0; i < frames; ++i) {
        const double t = (packet * frames + i) / static_cast<double>(format.nSamplesPerSec);
        const double value =
            0.3 * std::sin(2 * M_PI * 220 * t) + 0.1 * std::sin(2 * M_PI * 1330 * t);
        for (int c = 0; c < format.nChannels; ++c) {
            uint8_t* at = data.data() + (static_cast<size_t>(i) * format.nChannels + c) * bytes;
            if (isFloat) {
                const auto sample = static_cast<float>(value);
                memcpy(at, &sample, 4);
            } else {
                const auto sample = static_cast<int32_t>(value * 2147483647.0);
                memcpy(at, reinterpret_cast<const uint8_t*>(&sample) + 4 - bytes, bytes);
            }
        }
    }
    return data;
}

void BM_CapturePacket(benchmark::State& state, Case config) {
    const auto* mix = reinterpret_cast<const WAVEFORMATEX*>(config.mix.data());
    Endpoint endpoint;
    endpoint.guid = "{11111111-2222-3333-4444-555555555555}";
    endpoint.name = "bench";
    endpoint.mixFormat = config.mix;
    const WORD tag = config.acceptTag;
    const DWORD rate = mix->nSamplesPerSec;
    endpoint.isFormatSupported = [tag, rate](const WAVEFORMATEX& format) {
        return format.wFormatTag == tag && format.nSamplesPerSec == rate ? S_OK : S_FALSE;
    };
    scripted_audio::Install({endpoint}, 0);

    const std::string dir =
        (std::filesystem::temp_directory_path() / "vesk-bench/Vesk/Audio").string();
    std::filesystem::create_directories(dir);
    CVeskLogger logger(dir.c_str(), "Audio");
    CSpkLoopback capture(&logger, dir.c_str());
    if (FAILED(capture.ConfigDevice())) {
        state.SkipWithError("configuration failed");
        return;
    }
    const int frames = static_cast<int>(rate / 100);
    std::vector<std::vector<uint8_t>> packets;
    for (int p = 0; p < 32; ++p) {
        packets.push_back(Packet(*mix, frames, p));
    }
    size_t next = 0;
    for (auto _ : state) {
        CSpkLoopbackProbe::Process(capture, packets[next].data(), static_cast<UINT32>(frames));
        next = (next + 1) % packets.size();
    }
    benchmark::DoNotOptimize(capture.m_nSignalDetected.load());
}

BENCHMARK_CAPTURE(BM_CapturePacket, pcm16_stereo_48k,
                  Case{scripted_audio::Format(WAVE_FORMAT_PCM, 2, 48000, 16), WAVE_FORMAT_PCM});
BENCHMARK_CAPTURE(BM_CapturePacket, float_stereo_48k,
                  Case{scripted_audio::Format(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32),
                       WAVE_FORMAT_IEEE_FLOAT});
BENCHMARK_CAPTURE(BM_CapturePacket, pcm24_6ch_48k,
                  Case{scripted_audio::Extensible("{00000001-0000-0010-8000-00aa00389b71}", 6,
                                                  48000, 24),
                       WAVE_FORMAT_EXTENSIBLE});
BENCHMARK_CAPTURE(BM_CapturePacket, float_stereo_44k,
                  Case{scripted_audio::Format(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32),
                       WAVE_FORMAT_IEEE_FLOAT});

}  // namespace

// The capture prints a line every 100 packets; the results go to standard error instead.
int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    return 0;
}
