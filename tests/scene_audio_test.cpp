// The room demo's reading of a user's sound file and the detector's view of it.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>

#include "test_util.h"
#include "tools/scene_audio.h"

using room_demo::SceneAudio;

namespace {

template <typename Sample>
void WriteSound(const std::string& path, int rate, int channels, int format,
                const std::vector<Sample>& interleaved) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    const sf_count_t frames = static_cast<sf_count_t>(interleaved.size()) / channels;
    if constexpr (std::is_same_v<Sample, int16_t>) {
        EXPECT_EQ(sf_writef_short(file, interleaved.data(), frames), frames);
    } else {
        EXPECT_EQ(sf_writef_float(file, interleaved.data(), frames), frames);
    }
    sf_close(file);
}

// A 1200 Hz tone (the detector's third band) over the given spans, silence elsewhere.
SceneAudio ToneScene(int rate, double seconds, const std::vector<room_demo::Span>& tones) {
    SceneAudio scene;
    scene.rate = rate;
    scene.channels = 1;
    scene.mono.resize(static_cast<size_t>(seconds * rate));
    for (const auto& [start, end] : tones) {
        for (auto i = static_cast<size_t>(start * rate); i < static_cast<size_t>(end * rate); ++i) {
            scene.mono[i] = static_cast<int16_t>(
                std::lround(4000 * std::sin(2 * std::numbers::pi * 1200 * i / rate)));
        }
    }
    return scene;
}

}  // namespace

TEST(SceneAudio, ReadsTheFileAsItPlaysAndTakesTheMeanOfItsChannels) {
    test_util::TempDir dir;
    // 44.1 kHz stereo 16-bit: a frame count, not a sample count; the mean of 3k and k is 2k.
    std::vector<int16_t> stereo;
    for (int i = 0; i < 66150; ++i) {
        stereo.push_back(static_cast<int16_t>(3 * (i % 5000)));
        stereo.push_back(static_cast<int16_t>(i % 5000));
    }
    WriteSound(dir / "stereo.wav", 44100, 2, SF_FORMAT_WAV | SF_FORMAT_PCM_16, stereo);
    SceneAudio audio;
    std::string error;
    ASSERT_TRUE(room_demo::ReadSceneAudio(dir / "stereo.wav", &audio, &error)) << error;
    EXPECT_EQ(audio.rate, 44100);
    EXPECT_EQ(audio.channels, 2);
    ASSERT_EQ(audio.mono.size(), 66150u);
    EXPECT_DOUBLE_EQ(audio.Seconds(), 1.5);
    int wrong = 0;
    for (size_t i = 0; i < audio.mono.size(); ++i) {
        wrong += audio.mono[i] != 2 * static_cast<int>(i % 5000);
    }
    EXPECT_EQ(wrong, 0);

    // 48 kHz float, 6 channels: beyond full scale clamps, a NaN is silence.
    std::vector<float> surround(48000 * 6);
    for (size_t i = 0; i < surround.size(); ++i) {
        surround[i] = 0.05f * static_cast<float>(i % 6 + 1);  // mean 0.175
    }
    std::fill_n(surround.begin() + 6, 6, 1.5f);
    std::fill_n(surround.begin() + 12, 6, -2.0f);
    surround[18 + 3] = std::numeric_limits<float>::quiet_NaN();
    WriteSound(dir / "float.wav", 48000, 6, SF_FORMAT_WAV | SF_FORMAT_FLOAT, surround);
    ASSERT_TRUE(room_demo::ReadSceneAudio(dir / "float.wav", &audio, &error)) << error;
    EXPECT_EQ(audio.rate, 48000);
    EXPECT_EQ(audio.channels, 6);
    ASSERT_EQ(audio.mono.size(), 48000u);
    EXPECT_EQ(audio.mono[0], 5734);  // 0.175 * 32768, rounded
    EXPECT_EQ(audio.mono[1], 32767);
    EXPECT_EQ(audio.mono[2], -32768);
    EXPECT_EQ(audio.mono[3], 0);
    EXPECT_EQ(audio.mono[47999], 5734);
}

TEST(SceneAudio, RefusesWhatItCannotPlayWithAOneLineReason) {
    test_util::TempDir dir;
    WriteSound(dir / "whole.wav", 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
               std::vector<int16_t>(4800, 100));
    std::filesystem::copy_file(dir / "whole.wav", dir / "truncated.wav");
    std::filesystem::resize_file(dir / "truncated.wav", 30);  // inside the format chunk
    std::ofstream(dir / "notes.wav") << "minutes of the meeting\n";
    WriteSound(dir / "22k.wav", 22050, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
               std::vector<int16_t>(2205, 100));
    WriteSound(dir / "8ch.wav", 48000, 8, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
               std::vector<int16_t>(8 * 480, 100));
    WriteSound(dir / "empty.wav", 48000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16,
               std::vector<int16_t>());
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"truncated.wav", "not a sound file the demo can read"},
        {"notes.wav", "not a sound file the demo can read"},
        {"missing.wav", "not a sound file the demo can read"},
        {"22k.wav", "22050 Hz is not a rate the service captures"},
        {"8ch.wav", "8 channels; the demo plays 1 to 6"},
        {"empty.wav", "holds no audio"},
    };
    for (const auto& [name, reason] : cases) {
        SceneAudio audio;
        std::string error;
        EXPECT_FALSE(room_demo::ReadSceneAudio(dir / name, &audio, &error)) << name;
        EXPECT_EQ(error.rfind(dir / name + ": " + reason, 0), 0u) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// At 44.1 kHz the blocks go through the resampler, as on the capture path: the detector finds
// the tones where they are, as at 48 kHz, and spans closer than the join are one.
TEST(SceneAudio, DetectsAtTheScenesOwnRate) {
    for (int rate : {44100, 48000, 16000}) {
        SCOPED_TRACE(rate);
        const SceneAudio scene = ToneScene(rate, 5.0, {{1.0, 1.4}, {1.7, 2.0}, {4.0, 4.5}});
        const std::vector<bool> detecting = room_demo::DetectingBlocks(scene);
        EXPECT_EQ(detecting.size(), 500u);
        const auto spans = room_demo::DetectedSpans(detecting, 1.0);
        ASSERT_EQ(spans.size(), 2u);
        EXPECT_NEAR(spans[0].start, 1.0, 0.011);
        EXPECT_NEAR(spans[0].end, 2.0, 0.011);
        EXPECT_NEAR(spans[1].start, 4.0, 0.011);
        EXPECT_NEAR(spans[1].end, 4.5, 0.011);
        EXPECT_EQ(room_demo::DetectedSpans(detecting, 0.1).size(), 3u);
    }
}
