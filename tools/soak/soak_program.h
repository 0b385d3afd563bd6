// What the soak plays: a program of clips (speech of several voices and levels, music, noise)
// and silences, drawn from the seed, and what the service's detector decides on it offline, as
// the capture would hear it on a sink of a given rate and channel count.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace soak {

enum class ClipKind { kSpeech, kMusic, kNoise };
const char* ClipKindName(ClipKind kind);

struct Clip {
    std::string name;
    ClipKind kind;
    // Mono 16-bit samples at 48000 Hz and at 44100 Hz (the same sound, rendered at each rate).
    std::vector<int16_t> at48k;
    std::vector<int16_t> at44k;
    int32_t milliseconds = 0;  // whole 10 ms blocks of the shorter rendering
};

// Reads DIR/index.txt ("NAME KIND" lines) and DIR/48000/NAME.wav, DIR/44100/NAME.wav.
bool LoadClips(const std::string& dir, std::vector<Clip>* clips, std::string* error);

struct Placement {
    int32_t startMs;  // program time, a multiple of 10 ms
    int clip;
    int level;    // index into kLevelsDb
    int segment;  // the program's segment (a call, a piece of music, ...), numbered from 1
};

constexpr double kLevelsDb[] = {0.0, -8.0, -16.0, -26.0};

struct Segment {
    int number;
    std::string kind;  // "call", "music", "noise", "silence"
    int32_t startMs;
    int32_t endMs;
};

// A clip as placed in the program, as the judge names it in a failure.
struct PlacedClip {
    std::string name;
    double levelDb;
    int32_t startMs;
};

// What the judge asks of the audio played: whether the detector finds audio in the 10 ms block
// of program time `ms` on a sink of `rate` and `channels` (for every phase of the capture's
// blocks when `surely`), whether a person speaks there, and which of the placed clips plays
// there (-1: none). A program answers from its clips.
struct Hearing {
    std::function<bool(int rate, int channels, int32_t ms, bool surely)> detects;
    std::function<bool(int32_t ms)> speaks;
    std::function<int(int32_t ms)> clipAt;
    std::vector<PlacedClip> clips;
};

class Program {
  public:
    Program(std::vector<Clip> clips, uint64_t seed, int32_t lengthMs);

    int32_t LengthMs() const { return m_lengthMs; }
    const std::vector<Segment>& Segments() const { return m_segments; }
    const std::vector<Placement>& Placements() const { return m_placements; }
    const std::vector<Clip>& Clips() const { return m_clips; }

    // Mono samples from absolute sample index `first` (program time first / rate) on.
    void Fill(int rate, int64_t first, size_t count, int16_t* out) const;

    // Whether the detector finds audio in the 10 ms block of program time `ms`, heard on a sink
    // of `rate` and `channels` captured as 16-bit PCM. The capture's blocks fall anywhere on the
    // program's: `surely` asks whether it does so whatever their phase, otherwise whether it
    // does for some phase (quiet audio near the detector's threshold can go either way).
    bool Detects(int rate, int channels, int32_t ms, bool surely) const;
    // Whether a person speaks there.
    bool Speech(int32_t ms) const;
    // Both, for the judge; the program must outlive it.
    Hearing AsHeard() const;

  private:
    const Placement* At(int32_t ms) const;
    struct Decisions {
        std::vector<bool> any;  // per 10 ms block of the clip: some phase detects there
        std::vector<bool> all;  // every phase does
    };
    const Decisions& Detecting(const Placement& placement, int rate, int channels) const;
    void Draw(std::mt19937_64& random);

    std::vector<Clip> m_clips;
    std::vector<Placement> m_placements;  // by start, never overlapping
    std::vector<Segment> m_segments;
    std::vector<std::pair<int32_t, int32_t>> m_voiced;  // per clip: first and last voiced ms
    int32_t m_lengthMs;
    mutable std::map<std::tuple<int, int, int, int>, Decisions> m_detecting;
};

// The capture's 16-bit mono sample for a frame whose every channel holds `sample`, as the
// service down-mixes 16-bit PCM of `channels` channels.
int16_t CapturedMono(int16_t sample, int channels);

}  // namespace soak
