#include "tools/soak/soak_program.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "tools/scene_audio.h"

namespace soak {
namespace {

// A clip's voiced span, for the speech labels: where a 10 ms window peaks above this.
constexpr int kVoicedPeak = 600;
// Offsets of the capture's blocks against the clip's tried by the offline detection.
constexpr size_t kBlockPhases = 4;

int16_t Gained(int16_t sample, int level) {
    const double gain = std::pow(10.0, kLevelsDb[level] / 20.0);
    return static_cast<int16_t>(std::clamp(std::lrint(sample * gain), -32768L, 32767L));
}

bool ReadRendering(const std::string& path, int rate, std::vector<int16_t>* samples,
                   std::string* error) {
    room_demo::SceneAudio audio;
    if (!room_demo::ReadSceneAudio(path, &audio, error)) {
        return false;
    }
    if (audio.rate != rate) {
        *error = path + ": " + std::to_string(audio.rate) + " Hz, not " + std::to_string(rate);
        return false;
    }
    *samples = std::move(audio.mono);
    return true;
}

std::pair<int32_t, int32_t> VoicedSpan(const Clip& clip) {
    int32_t first = -1;
    int32_t last = -1;
    for (int32_t ms = 0; ms + 10 <= clip.milliseconds; ms += 10) {
        const auto begin = clip.at48k.begin() + ms * 48;
        const int16_t peak = *std::max_element(begin, begin + 480, [](int16_t a, int16_t b) {
            return std::abs(int{a}) < std::abs(int{b});
        });
        if (std::abs(int{peak}) > kVoicedPeak) {
            first = first < 0 ? ms : first;
            last = ms + 10;
        }
    }
    return {first, last};
}

}  // namespace

const char* ClipKindName(ClipKind kind) {
    switch (kind) {
        case ClipKind::kSpeech:
            return "speech";
        case ClipKind::kMusic:
            return "music";
        default:
            return "noise";
    }
}

bool LoadClips(const std::string& dir, std::vector<Clip>* clips, std::string* error) {
    std::ifstream index(dir + "/index.txt");
    std::string name;
    std::string kind;
    while (index >> name >> kind) {
        Clip clip;
        clip.name = name;
        clip.kind = kind == "speech"  ? ClipKind::kSpeech
                    : kind == "music" ? ClipKind::kMusic
                                      : ClipKind::kNoise;
        if (!ReadRendering(dir + "/48000/" + name + ".wav", 48000, &clip.at48k, error) ||
            !ReadRendering(dir + "/44100/" + name + ".wav", 44100, &clip.at44k, error)) {
            return false;
        }
        clip.milliseconds =
            static_cast<int32_t>(std::min(clip.at48k.size() / 480, clip.at44k.size() / 441) * 10);
        clips->push_back(std::move(clip));
    }
    if (clips->empty()) {
        *error = dir + "/index.txt: no clips";
        return false;
    }
    return true;
}

int16_t CapturedMono(int16_t sample, int channels) {
    // The capture's down-mix of 16-bit PCM: two channels are scaled twice, more than two are
    // summed (the first four) and scaled once.
    const auto clamp = [](float v) { return std::clamp(v, -32768.0f, 32767.0f); };
    const float s = static_cast<float>(sample);
    switch (channels) {
        case 1:
            return sample;
        case 2:
            return static_cast<int16_t>(clamp((s + s) * 0.707f) * 0.707f);
        case 3:
            return static_cast<int16_t>(clamp(3 * s) * 0.577f);
        default:
            return static_cast<int16_t>(clamp(4 * s) * 0.5f);
    }
}

Program::Program(std::vector<Clip> clips, uint64_t seed, int32_t lengthMs)
    : m_clips(std::move(clips)), m_lengthMs(lengthMs) {
    for (const Clip& clip : m_clips) {
        m_voiced.push_back(VoicedSpan(clip));
    }
    std::mt19937_64 random(seed ^ 0x50A6A0D10ull);
    Draw(random);
}

void Program::Draw(std::mt19937_64& random) {
    std::vector<int> byKind[3];
    for (int i = 0; i < static_cast<int>(m_clips.size()); ++i) {
        byKind[static_cast<int>(m_clips[i].kind)].push_back(i);
    }
    const auto uniform = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    const auto pick = [&](ClipKind kind) {
        const std::vector<int>& list = byKind[static_cast<int>(kind)];
        return list.empty() ? -1 : list[uniform(0, static_cast<int>(list.size()) - 1)];
    };
    int32_t at = 1000;
    int number = 0;
    while (at < m_lengthMs) {
        const int roll = uniform(0, 99);
        const std::string kind = roll < 45   ? "call"
                                 : roll < 70 ? "silence"
                                 : roll < 85 ? "music"
                                             : "noise";
        Segment segment{++number, kind, at, at};
        const auto place = [&](int clip, int level, int gapLow, int gapHigh) {
            if (clip < 0) {
                return;
            }
            m_placements.push_back({at, clip, level, number});
            at += m_clips[clip].milliseconds + uniform(gapLow / 10, gapHigh / 10) * 10;
        };
        if (kind == "call") {
            // Each voice of the call speaks at its own level.
            std::map<std::string, int> levels;
            for (int turn = uniform(4, 12); turn > 0; --turn) {
                const int clip = pick(ClipKind::kSpeech);
                const std::string voice =
                    m_clips[clip].name.substr(0, m_clips[clip].name.find('_'));
                if (levels.count(voice) == 0) {
                    levels[voice] = uniform(0, 3);
                }
                place(clip, levels[voice], 200, 1500);
            }
        } else if (kind == "music") {
            for (int piece = uniform(1, 3); piece > 0; --piece) {
                place(pick(ClipKind::kMusic), uniform(0, 1), 100, 400);
            }
        } else if (kind == "noise") {
            for (int piece = uniform(1, 2); piece > 0; --piece) {
                place(pick(ClipKind::kNoise), uniform(1, 3), 200, 600);
            }
        } else {
            at += uniform(200, 1500) * 10;
        }
        segment.endMs = at;
        m_segments.push_back(segment);
        at += uniform(30, 200) * 10;
    }
}

const Placement* Program::At(int32_t ms) const {
    auto after = std::upper_bound(m_placements.begin(), m_placements.end(), ms,
                                  [](int32_t t, const Placement& p) { return t < p.startMs; });
    if (after == m_placements.begin()) {
        return nullptr;
    }
    const Placement& placement = *(after - 1);
    return ms < placement.startMs + m_clips[placement.clip].milliseconds ? &placement : nullptr;
}

void Program::Fill(int rate, int64_t first, size_t count, int16_t* out) const {
    std::fill(out, out + count, int16_t{0});
    const int32_t firstMs = static_cast<int32_t>(first * 1000 / rate);
    auto placement = std::upper_bound(m_placements.begin(), m_placements.end(), firstMs,
                                      [](int32_t t, const Placement& p) { return t < p.startMs; });
    if (placement != m_placements.begin()) {
        --placement;
    }
    for (; placement != m_placements.end(); ++placement) {
        const int64_t start = int64_t{placement->startMs} * rate / 1000;
        if (start >= first + static_cast<int64_t>(count)) {
            break;
        }
        const Clip& clip = m_clips[placement->clip];
        const std::vector<int16_t>& samples = rate == 44100 ? clip.at44k : clip.at48k;
        for (int64_t i = std::max(first, start); i < first + static_cast<int64_t>(count) &&
                                                 i - start < static_cast<int64_t>(samples.size());
             ++i) {
            out[i - first] = Gained(samples[static_cast<size_t>(i - start)], placement->level);
        }
    }
}

const Program::Decisions& Program::Detecting(const Placement& placement, int rate,
                                             int channels) const {
    const auto key = std::make_tuple(placement.clip, placement.level, rate, channels);
    auto found = m_detecting.find(key);
    if (found != m_detecting.end()) {
        return found->second;
    }
    const Clip& clip = m_clips[placement.clip];
    std::vector<int16_t> heard;
    for (int16_t sample : rate == 44100 ? clip.at44k : clip.at48k) {
        heard.push_back(CapturedMono(Gained(sample, placement.level), channels));
    }
    const size_t block = static_cast<size_t>(rate == 44100 ? 441 : rate / 100);
    const size_t blocks = static_cast<size_t>(clip.milliseconds / 10);
    Decisions decisions{std::vector<bool>(blocks, false), std::vector<bool>(blocks, true)};
    for (size_t phase = 0; phase < kBlockPhases; ++phase) {
        // Blocks that start a fraction of a block before the clip's: each ends in one of its.
        const size_t lead = (block - phase * block / kBlockPhases) % block;
        room_demo::SceneAudio shifted;
        shifted.rate = rate;
        shifted.channels = 1;
        shifted.mono.assign(lead, 0);
        shifted.mono.insert(shifted.mono.end(), heard.begin(), heard.end());
        shifted.mono.resize(shifted.mono.size() + block, 0);
        const std::vector<bool> detecting = room_demo::DetectingBlocks(shifted);
        for (size_t i = 0; i < blocks; ++i) {
            const size_t ending = (lead + (i + 1) * block - 1) / block;
            const bool detects = ending < detecting.size() && detecting[ending];
            decisions.any[i] = decisions.any[i] || detects;
            decisions.all[i] = decisions.all[i] && detects;
        }
    }
    return m_detecting[key] = std::move(decisions);
}

bool Program::Detects(int rate, int channels, int32_t ms, bool surely) const {
    const Placement* placement = At(ms);
    if (placement == nullptr) {
        return false;
    }
    const Decisions& decisions = Detecting(*placement, rate, channels);
    const size_t block = static_cast<size_t>((ms - placement->startMs) / 10);
    const std::vector<bool>& blocks = surely ? decisions.all : decisions.any;
    return block < blocks.size() && blocks[block];
}

bool Program::Speech(int32_t ms) const {
    const Placement* placement = At(ms);
    if (placement == nullptr || m_clips[placement->clip].kind != ClipKind::kSpeech) {
        return false;
    }
    const auto [first, last] = m_voiced[placement->clip];
    const int32_t offset = ms - placement->startMs;
    return first >= 0 && offset >= first && offset < last;
}

Hearing Program::AsHeard() const {
    std::vector<PlacedClip> placed;
    for (const Placement& placement : m_placements) {
        placed.push_back(
            {m_clips[placement.clip].name, kLevelsDb[placement.level], placement.startMs});
    }
    return {[this](int rate, int channels, int32_t ms, bool surely) {
                return Detects(rate, channels, ms, surely);
            },
            [this](int32_t ms) { return Speech(ms); },
            [this](int32_t ms) {
                const Placement* placement = At(ms);
                return placement == nullptr ? -1
                                            : static_cast<int>(placement - m_placements.data());
            },
            std::move(placed)};
}

}  // namespace soak
