// The signal detector against worked values of its fixed-point arithmetic and whole runs of
// its noise-floor tracking and decision.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "signal/SignalDetector.h"
#include "signal/detector_bands.h"
#include "simd_levels.h"

namespace {

using Block = std::vector<int16_t>;

Block Cosine(double hz, double amplitude = 1000.0) {
    const double pi = std::acos(-1.0);
    Block block(BLOCK_48K);
    for (int n = 0; n < BLOCK_48K; ++n) {
        block[n] = static_cast<int16_t>(
            std::lround(amplitude * std::cos(2 * pi * hz * (n - 240) / 48000.0)));
    }
    return block;
}

struct Bands {
    int64_t re[kDetectorBands];
    int64_t im[kDetectorBands];
    int32_t energy[kDetectorBands];
};

Bands Analyse(const Block& block) {
    Bands bands;
    detector::BandValues(block.data(), bands.re, bands.im);
    detector::BandEnergies(bands.re, bands.im, bands.energy);
    return bands;
}

DetectorState Fresh(int32_t rate = 48000) {
    DetectorState state;
    InitDetectorState(&state, rate);
    return state;
}

TEST(Detector, WindowTableFollowsTheRule) {
    const int16_t* w = detector::GetTables().window;
    for (int n : {0, 1, 2, 3, 476, 477, 478, 479}) {
        EXPECT_EQ(w[n], 0) << n;
    }
    EXPECT_EQ(w[4], 1);
    for (int n = 238; n <= 241; ++n) {
        EXPECT_EQ(w[n], 4095) << n;
    }
    EXPECT_EQ(w[365], 1242);  // 1241 if the rule were evaluated in single precision
    for (int n = 0; n < BLOCK_48K; ++n) {
        EXPECT_EQ(w[n], w[BLOCK_48K - 1 - n]) << n;  // symmetric
    }
}

TEST(Detector, ImpulseAtTheCentreGivesTheSameValueInEveryBand) {
    Block block(BLOCK_48K, 0);
    block[240] = 1000;
    const Bands bands = Analyse(block);
    for (int b = 0; b < kDetectorBands; ++b) {
        EXPECT_EQ(bands.re[b], 511875) << b;
        EXPECT_EQ(bands.im[b], 0) << b;
    }
}

TEST(Detector, CosinesGiveTheWorkedBandValues) {
    Bands bands = Analyse(Cosine(400));
    EXPECT_EQ(bands.re[0], 51439880);
    EXPECT_EQ(bands.im[0], -18014);
    EXPECT_EQ(bands.energy[0], 67108889);  // 8192 (clamped) and -5 after scaling
    EXPECT_EQ(bands.re[1], 125);
    EXPECT_EQ(bands.im[1], -20735);
    EXPECT_EQ(bands.energy[1], 36);
    EXPECT_EQ(bands.energy[2], 130);

    bands = Analyse(Cosine(2000));
    EXPECT_EQ(bands.energy[4], 67108964);

    // Every band's own centre frequency lands in that band and is clamped there.
    for (int b = 0; b < kDetectorBands; ++b) {
        bands = Analyse(Cosine(400.0 * (b + 1)));
        EXPECT_GE(bands.energy[b], 8192 * 8192) << b;
        for (int other = 0; other < kDetectorBands; ++other) {
            if (std::abs(other - b) > 1) {
                EXPECT_LT(bands.energy[other], bands.energy[b] / 1000) << b << " " << other;
            }
        }
    }
}

// A full-scale square wave at a band centre drives the accumulators past 32 bits; the values
// stay exact and the band clamps as any loud band does.
TEST(Detector, FullScaleSquareWaveIsComputedWithoutOverflow) {
    const double pi = std::acos(-1.0);
    for (int b : {0, 3, 11, 17}) {
        Block block(BLOCK_48K);
        for (int n = 0; n < BLOCK_48K; ++n) {
            const double phase = 2 * pi * 400.0 * (b + 1) * (n - 240) / 48000.0;
            block[n] = std::cos(phase) >= 0 ? 32767 : -32768;
        }
        const Bands bands = Analyse(block);
        if (b == 11) {
            EXPECT_GT(bands.re[b], std::numeric_limits<int32_t>::max());
        }
        EXPECT_GE(bands.energy[b], 8192 * 8192) << b;
        EXPECT_LE(bands.energy[b], 2 * 8192 * 8192) << b;
    }
}

// Every instruction-set level gives the values of the plain sample-by-sample computation.
TEST(Detector, SimdLevelsMatchThePlainComputation) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> fullScale(-32768, 32767);
    std::uniform_int_distribution<int> quiet(-300, 300);
    const double pi = std::acos(-1.0);
    const std::vector<signal_simd::Level> levels = simd_levels::Compared();
    for (int trial = 0; trial < 200; ++trial) {
        Block block(BLOCK_48K);
        for (int n = 0; n < BLOCK_48K; ++n) {
            switch (trial % 4) {
                case 0:
                    block[n] = static_cast<int16_t>(fullScale(random));
                    break;
                case 1:
                    block[n] = static_cast<int16_t>(quiet(random));
                    break;
                case 2:  // full-scale square at a band centre: past 32 bits
                    block[n] = std::cos(2 * pi * 400.0 * (trial % 18 + 1) * (n - 240) / 48000) >= 0
                                   ? 32767
                                   : -32768;
                    break;
                default:
                    block[n] = (n % 2 == 0) ? -32768 : 32767;
                    break;
            }
        }
        int64_t re[kDetectorBands];
        int64_t im[kDetectorBands];
        detector::BandValuesReference(block.data(), re, im);
        for (signal_simd::Level level : levels) {
            int64_t levelRe[kDetectorBands];
            int64_t levelIm[kDetectorBands];
            detector::BandValues(block.data(), levelRe, levelIm, level);
            for (int b = 0; b < kDetectorBands; ++b) {
                ASSERT_EQ(levelRe[b], re[b])
                    << trial << " " << signal_simd::Name(level) << " " << b;
                ASSERT_EQ(levelIm[b], im[b])
                    << trial << " " << signal_simd::Name(level) << " " << b;
            }
        }
    }
}

// Every instruction-set level runs the whole detector to the same state, block by block,
// through floors lowered, gathered and replaced, clamped bands, detections and hangovers.
TEST(Detector, LevelsAgreeBlockByBlock) {
    const std::vector<signal_simd::Level> levels = simd_levels::Compared();
    std::vector<DetectorState> states(levels.size(), Fresh());
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0.0, 30.0);
    const double pi = std::acos(-1.0);
    int detecting = 0;
    bool replaced = false;
    for (int n = 0; n < 1500; ++n) {
        // Quiet noise; from block 100 a steady 1200 Hz tone (band 2), whose floor is replaced
        // 600 blocks later; every 50th block a loud chord that clamps its bands and detects.
        Block block(BLOCK_48K);
        for (int i = 0; i < BLOCK_48K; ++i) {
            const double t = (n * BLOCK_48K + i) / 48000.0;
            double value = noise(random) + (n >= 100 ? 50 * std::sin(2 * pi * 1200 * t) : 0);
            if (n % 50 == 49) {
                for (double hz : {400.0, 2000.0, 4000.0}) {
                    value += 10000 * std::sin(2 * pi * hz * t);
                }
            }
            block[i] = static_cast<int16_t>(std::clamp(value, -32768.0, 32767.0));
        }
        const int32_t previousCount = states[0].count[2];
        for (size_t l = 0; l < levels.size(); ++l) {
            const int32_t result = DetectSignal(block.data(), &states[l], levels[l]);
            const DetectorState& a = states[0];
            const DetectorState& b = states[l];
            ASSERT_EQ(result, a.result) << n << " " << signal_simd::Name(levels[l]);
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << n << " " << signal_simd::Name(levels[l]);
        }
        detecting += states[0].result == 10 ? 1 : 0;
        replaced = replaced || (previousCount == 600 && states[0].count[2] == 200);
    }
    EXPECT_GT(detecting, 10);
    EXPECT_TRUE(replaced);
    EXPECT_LT(states[0].candidate[2], 10000000);  // gathering again after the replacement
}

TEST(Detector, LowerRatesAreBroughtTo48kHz) {
    Block x(320);
    for (int i = 0; i < 320; ++i) {
        x[i] = static_cast<int16_t>(i * 7 - 1000);
    }
    x[318] = -1000;
    x[319] = 1000;
    DetectorState state = Fresh(32000);
    DetectSignal(x.data(), &state);
    EXPECT_EQ(state.block[0], x[0]);
    EXPECT_EQ(state.block[3], x[2]);
    // ((x·10813) >> 15) + ((x'·21955) >> 15), floored: 10·10813 >> 15 = 3, 7·21955 >> 15 = 4.
    EXPECT_EQ(state.block[1], ((x[0] * 10813) >> 15) + ((x[1] * 21955) >> 15));
    EXPECT_EQ(state.block[2], ((x[2] * 10813) >> 15) + ((x[1] * 21955) >> 15));
    EXPECT_EQ(state.block[477], -1000);
    EXPECT_EQ(state.block[478], -330 + 670);
    EXPECT_EQ(state.block[479], 329 + 670);  // from the last input sample alone

    Block low(160);
    for (int i = 0; i < 160; ++i) {
        low[i] = static_cast<int16_t>(i);
    }
    state = Fresh(16000);
    DetectSignal(low.data(), &state);
    for (int n = 0; n < BLOCK_48K; ++n) {
        ASSERT_EQ(state.block[n], n / 3) << n;
    }
    state = Fresh(8000);
    DetectSignal(low.data(), &state);  // the first 80 samples
    for (int n = 0; n < BLOCK_48K; ++n) {
        ASSERT_EQ(state.block[n], n / 6) << n;
    }

    // 44100 is analysed at 48000 (after the resampler); an unknown rate keeps the old block.
    EXPECT_EQ(Fresh(44100).rate, 48000);
    state = Fresh(22050);
    state.block[7] = 1234;
    DetectSignal(low.data(), &state);
    EXPECT_EQ(state.block[7], 1234);
    EXPECT_EQ(DetectSignal(low.data(), nullptr), 0);
}

TEST(Detector, SilenceSetsFloorsToZeroAndNeverDetects) {
    DetectorState state = Fresh();
    const Block zeros(BLOCK_48K, 0);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(DetectSignal(zeros.data(), &state), 0);
    }
    for (int b = 0; b < kDetectorBands; ++b) {
        EXPECT_EQ(state.floor[b], 0);
    }
}

TEST(Detector, OneDetectingBlockGivesTheHangoverRun) {
    DetectorState state = Fresh();
    const Block zeros(BLOCK_48K, 0);
    const Block tone = Cosine(400);
    EXPECT_EQ(DetectSignal(zeros.data(), &state), 0);  // floors drop to 0
    std::vector<int32_t> results{DetectSignal(tone.data(), &state)};
    for (int i = 0; i < 12; ++i) {
        results.push_back(DetectSignal(zeros.data(), &state));
    }
    EXPECT_EQ(results, (std::vector<int32_t>{10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0, 0}));
}

TEST(Detector, BothThresholdsMustBePassedStrictly) {
    DetectorState state = Fresh();
    int32_t energy[kDetectorBands] = {};
    std::fill(std::begin(state.floor), std::end(state.floor), 0);

    energy[0] = 50000000;  // no floors, but below the absolute threshold
    EXPECT_EQ(DecideSignal(energy, &state), 0);
    energy[0] = 64000000;  // equal is not above
    EXPECT_EQ(DecideSignal(energy, &state), 0);
    energy[0] = 64000008;
    EXPECT_EQ(DecideSignal(energy, &state), 10);

    state.hangover = 0;
    state.floor[1] = 8000000;  // 70,000,000 is not above 10 · 8,000,000
    energy[0] = 70000000;
    EXPECT_EQ(DecideSignal(energy, &state), 0);
    state.floor[1] = 6500000;  // 65,000,000 is equal to 10 · 6,500,000
    energy[0] = 65000000;
    EXPECT_EQ(DecideSignal(energy, &state), 0);
    energy[0] = 65000008;
    EXPECT_EQ(DecideSignal(energy, &state), 10);

    // A band counts only its energy above 30 times its floor.
    state.hangover = 0;
    std::fill(std::begin(state.floor), std::end(state.floor), 0);
    state.floor[0] = 1000000;
    energy[0] = 30000000 + 64000000;  // excess 64,000,000: not above
    EXPECT_EQ(DecideSignal(energy, &state), 0);
    energy[0] = 30000000 + 64000008;
    EXPECT_EQ(DecideSignal(energy, &state), 10);
}

// The floor's rule at its boundaries, on every level, from a lowering (count 0): a 4-block
// average below the candidate is gathered once the count is past 200, and the candidate
// replaces the floor once the count is past 600 (the count then restarts at 200). Band b's
// values are offset by b, so that a band taking another's lane shows.
TEST(Detector, FloorCandidateWaitsOutTheHoldAndReplacesTheFloorAfterTheWindow) {
    constexpr int32_t kReset = 10000000;
    for (signal_simd::Level level : simd_levels::Compared()) {
        DetectorState state = Fresh();
        for (int b = 0; b < kDetectorBands; ++b) {
            state.floor[b] = 1000 + b;
        }
        int block = 0;
        const auto step = [&](int32_t average) {
            for (int b = 0; b < kDetectorBands; ++b) {
                std::fill_n(state.energyHistory[b], kEnergyHistory, average + b);
            }
            UpdateNoiseFloor(&state, level);
            ++block;
        };
        const auto expect = [&](int32_t floor, int32_t candidate, int32_t count) {
            for (int b = 0; b < kDetectorBands; ++b) {
                const std::string where = std::string(signal_simd::Name(level)) + " block " +
                                          std::to_string(block) + " band " + std::to_string(b);
                EXPECT_EQ(state.floor[b], floor + b) << where;
                EXPECT_EQ(state.candidate[b], candidate == kReset ? kReset : candidate + b)
                    << where;
                EXPECT_EQ(state.count[b], count) << where;
            }
        };
        while (block < 199) {
            step(5000);
        }
        expect(1000, kReset, 199);
        step(4000);  // below the candidate, but a count of 200 is not past the hold
        expect(1000, kReset, 200);
        step(4500);  // 201: gathered
        expect(1000, 4500, 201);
        while (block < 599) {
            step(5000);  // above the candidate: kept
        }
        step(3000);  // 600: gathered, and the window has not ended
        expect(1000, 3000, 600);
        step(3500);  // 601: the candidate (3000, not 3500) replaces the floor; the count is 200
        expect(3000, kReset, 200);
        step(5000);  // 201 at once: gathered in the next block
        expect(3000, 5000, 201);
    }
}

// A steady tone: detected while the floors are 0, no longer once its own band's floor has
// been replaced 601 blocks after its last lowering.
TEST(Detector, NoiseFloorsAdaptToASteadyTone) {
    DetectorState state = Fresh();
    const Block zeros(BLOCK_48K, 0);
    const Block tone = Cosine(400);
    DetectSignal(zeros.data(), &state);  // the silent start of every capture

    for (int block = 1; block <= 600; ++block) {
        ASSERT_EQ(DetectSignal(tone.data(), &state), 10) << block;
    }
    EXPECT_EQ(state.floor[0], 0);
    EXPECT_EQ(state.count[0], 600);
    EXPECT_EQ(DetectSignal(tone.data(), &state), 9);
    EXPECT_EQ(state.floor[0], 10000000);  // louder than the reset value: capped by it
    EXPECT_EQ(state.count[0], 200);
    for (int expected = 8; expected >= 0; --expected) {
        EXPECT_EQ(DetectSignal(tone.data(), &state), expected);
    }

    // Floors drop at once: the fourth quiet block brings the smoothed energy below the floor.
    const Block quiet = Cosine(400, 100);
    const int32_t quietEnergy = Analyse(quiet).energy[0];
    for (int block = 1; block <= 3; ++block) {
        DetectSignal(quiet.data(), &state);
        EXPECT_EQ(state.floor[0], 10000000) << block;
    }
    DetectSignal(quiet.data(), &state);
    EXPECT_EQ(state.floor[0], quietEnergy);
    EXPECT_EQ(state.count[0], 0);
    EXPECT_EQ(state.candidate[0], 10000000);

    // A louder level raises the floor only by replacement: 601 blocks after the lowering,
    // then every 401 blocks, to the smallest smoothed energy of the window.
    const Block medium = Cosine(400, 200);
    const int32_t mediumEnergy = Analyse(medium).energy[0];
    for (int block = 1; block <= 600; ++block) {
        DetectSignal(medium.data(), &state);
        ASSERT_EQ(state.floor[0], quietEnergy) << block;
    }
    DetectSignal(medium.data(), &state);
    EXPECT_EQ(state.floor[0], mediumEnergy);
    EXPECT_EQ(state.count[0], 200);

    const Block louder = Cosine(400, 240);
    const int32_t louderEnergy = Analyse(louder).energy[0];
    ASSERT_LT(louderEnergy, 10000000);
    for (int block = 1; block <= 400; ++block) {
        DetectSignal(louder.data(), &state);
        ASSERT_EQ(state.floor[0], mediumEnergy) << block;
    }
    DetectSignal(louder.data(), &state);
    // The window began right after the last replacement, with three medium slots in history.
    EXPECT_EQ(state.floor[0], (3 * mediumEnergy + louderEnergy) >> 2);
}

}  // namespace
