#include "tools/scene_audio.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <memory>

#include "signal/Resampler.h"
#include "signal/SignalDetector.h"

namespace room_demo {
namespace {

constexpr int kCaptureRates[] = {48000, 44100, 32000, 16000, 8000};
constexpr int kMaxChannels = 6;
constexpr sf_count_t kReadFrames = 4096;
// The capture runs on the sink's silence for at least the half second the demo waits between
// the camera opening and the scene playing.
constexpr int kLeadInBlocks = 50;

struct SndfileCloser {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

// A mean of normalised samples to 16 bits; NaN, from a broken float file, counts as silence.
int16_t ToInt16(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    return static_cast<int16_t>(std::lrint(std::clamp(value * 32768.0f, -32768.0f, 32767.0f)));
}

}  // namespace

bool ReadSceneAudio(const std::string& path, SceneAudio* audio, std::string* error) {
    SF_INFO info{};
    std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
    if (!file) {
        *error = path + ": not a sound file the demo can read (" + sf_strerror(nullptr) + ")";
        return false;
    }
    if (std::find(std::begin(kCaptureRates), std::end(kCaptureRates), info.samplerate) ==
        std::end(kCaptureRates)) {
        *error = path + ": " + std::to_string(info.samplerate) +
                 " Hz is not a rate the service captures (48000, 44100, 32000, 16000 or 8000 "
                 "Hz; sox IN.wav -r 48000 OUT.wav converts it)";
        return false;
    }
    if (info.channels < 1 || info.channels > kMaxChannels) {
        *error = path + ": " + std::to_string(info.channels) +
                 " channels; the demo plays 1 to 6 (sox IN.wav -c 2 OUT.wav mixes them down)";
        return false;
    }
    audio->rate = info.samplerate;
    audio->channels = info.channels;
    audio->mono.clear();
    // Read until the data ends, whatever length the header claims.
    std::vector<float> frames(static_cast<size_t>(kReadFrames * info.channels));
    sf_count_t count;
    while ((count = sf_readf_float(file.get(), frames.data(), kReadFrames)) > 0) {
        for (sf_count_t frame = 0; frame < count; ++frame) {
            const float* first = &frames[static_cast<size_t>(frame * info.channels)];
            float sum = 0.0f;
            for (int channel = 0; channel < info.channels; ++channel) {
                sum += first[channel];
            }
            audio->mono.push_back(ToInt16(sum / static_cast<float>(info.channels)));
        }
    }
    if (sf_error(file.get()) != SF_ERR_NO_ERROR) {
        *error = path + ": broken audio data (" + sf_strerror(file.get()) + ")";
        return false;
    }
    if (audio->mono.empty()) {
        *error = path + ": holds no audio";
        return false;
    }
    return true;
}

std::vector<bool> DetectingBlocks(const SceneAudio& audio) {
    const bool resample = audio.rate == 44100;
    const size_t blockIn = resample ? kResamplerIn : static_cast<size_t>(audio.rate / 100);
    if (blockIn == 0) {
        return {};
    }
    DetectorState detector;
    InitDetectorState(&detector, audio.rate);
    ResamplerState resampler;
    ClearResamplerState(&resampler);
    int16_t block48k[BLOCK_48K];
    const auto detects = [&](const int16_t* block) {
        if (resample) {
            Resample44To48(&resampler, block, block48k);
            block = block48k;
        }
        // The hangover is at its full length only right after a detecting block.
        return DetectSignal(block, &detector) == detector.hangoverLength;
    };
    const std::vector<int16_t> silence(blockIn, 0);
    for (int i = 0; i < kLeadInBlocks; ++i) {
        detects(silence.data());
    }
    std::vector<bool> detecting;
    for (size_t at = 0; at + blockIn <= audio.mono.size(); at += blockIn) {
        detecting.push_back(detects(&audio.mono[at]));
    }
    return detecting;
}

std::vector<Span> DetectedSpans(const std::vector<bool>& detecting, double joinSeconds) {
    std::vector<Span> spans;
    for (size_t block = 0; block < detecting.size(); ++block) {
        if (!detecting[block]) {
            continue;
        }
        const double start = static_cast<double>(block) * kBlockSeconds;
        const double end = start + kBlockSeconds;
        if (!spans.empty() && start - spans.back().end < joinSeconds) {
            spans.back().end = end;
        } else {
            spans.push_back({start, end});
        }
    }
    return spans;
}

}  // namespace room_demo
