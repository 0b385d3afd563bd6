// The room demo's view of a sound file: what the sound server will play (its rate and
// channels, as they are) and the mono signal the demo measures and draws, and where the
// service's detector finds audio in it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace room_demo {

struct SceneAudio {
    int rate = 0;
    int channels = 0;
    std::vector<int16_t> mono;  // one sample per frame: the mean of its channels

    double Seconds() const { return rate > 0 ? static_cast<double>(mono.size()) / rate : 0; }
};

// Reads a file that the demo can play as it is: one of the rates the service captures (48000,
// 44100, 32000, 16000 or 8000 Hz), 1 to 6 channels, any sample format the library decodes
// (16-bit, 24-bit, float, ...). Otherwise returns false with a one-line reason that names the
// file.
bool ReadSceneAudio(const std::string& path, SceneAudio* audio, std::string* error);

constexpr double kBlockSeconds = 0.010;

// For each whole 10 ms block of the scene, whether the detector finds audio in it, computed
// as the capture does at the scene's rate (44.1 kHz blocks of 441 samples go through the
// resampler first) after the silence the capture hears before the scene plays.
std::vector<bool> DetectingBlocks(const SceneAudio& audio);

struct Span {
    double start;  // seconds into the scene
    double end;
};

// The runs of detecting blocks, joined across gaps shorter than `joinSeconds`.
std::vector<Span> DetectedSpans(const std::vector<bool>& detecting, double joinSeconds);

}  // namespace room_demo
