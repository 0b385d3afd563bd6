// The resampler's coefficient table against its design figures, and its output on known
// signals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <iterator>
#include <random>
#include <vector>

#include "signal/Resampler.h"
#include "simd_levels.h"

namespace {

constexpr int kPrototypeLength = kResamplerPhases * kResamplerTaps;  // 2560
constexpr double kPrototypeRate = 44100.0 * kResamplerPhases;

int PrototypeIndex(int k, int t) {
    return kResamplerPhases * t + (147 * k) % kResamplerPhases;
}

// The 2560-tap prototype whose phase components the rows are.
std::vector<double> Prototype() {
    std::vector<double> p(kPrototypeLength, 0.0);
    std::vector<int> used(kPrototypeLength, 0);
    for (int k = 0; k < kResamplerPhases; ++k) {
        for (int t = 0; t < kResamplerTaps; ++t) {
            p[PrototypeIndex(k, t)] = kResamplerCoefficients[k][t];
            ++used[PrototypeIndex(k, t)];
        }
    }
    EXPECT_EQ(std::count(used.begin(), used.end(), 1), kPrototypeLength);
    return p;
}

// Response in dB relative to unity gain (a prototype summing to 160 · 32768).
double ResponseDb(const std::vector<double>& p, double hz) {
    const double pi = std::acos(-1.0);
    const std::complex<double> step = std::polar(1.0, -2 * pi * hz / kPrototypeRate);
    std::complex<double> phasor = 1.0;
    std::complex<double> sum = 0.0;
    for (double tap : p) {
        sum += tap * phasor;
        phasor *= step;
    }
    return 20 * std::log10(std::abs(sum) / (kResamplerPhases * 32768.0));
}

std::vector<int16_t> ResampleAll(const std::vector<int16_t>& input, ResamplerState& state) {
    std::vector<int16_t> output;
    for (size_t at = 0; at + kResamplerIn <= input.size(); at += kResamplerIn) {
        int16_t block[kResamplerOut];
        Resample44To48(&state, &input[at], block);
        output.insert(output.end(), block, block + kResamplerOut);
    }
    return output;
}

TEST(Resampler, TableHoldsTheGivenRows) {
    const std::vector<std::pair<int, std::vector<int16_t>>> rows = {
        {0,
         {26, -261, -882, 1138, -1683, 2251, -2749, 3116, 29597, 2995, -2700, 2229, -1674, 1137,
          -886, -257}},
        {1,
         {-184, -950, 1081, -1465, 1743, -1704, 730, 29339, 5634, -3699, 2656, -1818, 1138, -784,
          -343, 34}},
        {2,
         {-119, -985, 971, -1187, 1183, -666, -1338, 28546, 8471, -4591, 2969, -1872, 1076, -649,
          -437, 41}},
        {80,
         {30, -831, 174, 182, -997, 2556, -5894, 20559, 20432, -5910, 2578, -1017, 197, 164, -827,
          31}},
        {159,
         {34, -345, -781, 1137, -1821, 2665, -3721, 5699, 29326, 676, -1679, 1730, -1459, 1079,
          -952, -182}},
    };
    for (const auto& [k, taps] : rows) {
        EXPECT_EQ(std::vector<int16_t>(kResamplerCoefficients[k],
                                       kResamplerCoefficients[k] + kResamplerTaps),
                  taps)
            << "row " << k;
    }
}

TEST(Resampler, TableMeetsItsDesignFigures) {
    int smallest = 0;
    int largest = 0;
    for (int k = 0; k < kResamplerPhases; ++k) {
        int sum = 0;
        int absoluteSum = 0;
        for (int t = 0; t < kResamplerTaps; ++t) {
            sum += kResamplerCoefficients[k][t];
            absoluteSum += std::abs(kResamplerCoefficients[k][t]);
            smallest = std::min<int>(smallest, kResamplerCoefficients[k][t]);
            largest = std::max<int>(largest, kResamplerCoefficients[k][t]);
        }
        EXPECT_GE(sum, 31397) << k;
        EXPECT_LE(sum, 31431) << k;
        EXPECT_LE(absoluteSum, 62379) << k;
    }
    EXPECT_EQ(largest, 29597);
    EXPECT_NEAR(smallest, -6046, 3);

    const std::vector<double> p = Prototype();
    EXPECT_EQ(std::max_element(p.begin(), p.end()) - p.begin(), 1280);  // delay 8 inputs
    for (int m = 1; m < 1280; ++m) {
        EXPECT_LE(std::abs(p[1280 + m] - p[1280 - m]), 143) << m;
    }

    const std::pair<double, double> passband[] = {{0, -0.37},    {5000, 0.01},  {10000, 0.35},
                                                  {15000, 0.11}, {18000, -1.1}, {19000, -3.4},
                                                  {20000, -7.0}};
    for (const auto& [hz, db] : passband) {
        EXPECT_NEAR(ResponseDb(p, hz), db, 0.3) << hz;
    }
    EXPECT_NEAR(ResponseDb(p, 22050), -19.8, 2.0);
    EXPECT_NEAR(ResponseDb(p, 24000), -44.7, 2.0);

    // Stop band on a dense grid up to the prototype's Nyquist frequency.
    double worst = -200;
    double worstHz = 0;
    for (double hz = 25000; hz <= kPrototypeRate / 2; hz += (hz < 200000 ? 50 : 500)) {
        const double db = ResponseDb(p, hz);
        if (db > worst) {
            worst = db;
            worstHz = hz;
        }
    }
    EXPECT_LT(worst, -68.0) << "at " << worstHz << " Hz";
}

TEST(Resampler, ZerosStayZeroAndAConstantSettles) {
    ResamplerState state;
    ClearResamplerState(&state);
    EXPECT_EQ(ResampleAll(std::vector<int16_t>(441 * 3, 0), state),
              std::vector<int16_t>(480 * 3, 0));

    ClearResamplerState(&state);
    const std::vector<int16_t> out = ResampleAll(std::vector<int16_t>(441 * 4, 1000), state);
    EXPECT_EQ(out[0], (1000 * kResamplerCoefficients[0][0]) >> 15);  // history is zero
    EXPECT_LT(out[0], out[8]);
    for (size_t i = 20; i < out.size(); ++i) {
        ASSERT_GE(out[i], 948) << i;
        ASSERT_LE(out[i], 954) << i;
    }

    // A cleared state forgets the earlier input.
    ClearResamplerState(&state);
    EXPECT_EQ(ResampleAll(std::vector<int16_t>(441, 0), state), std::vector<int16_t>(480, 0));
}

// Splitting a long signal into 441-sample calls gives the output of one long filtering with
// 160/147 phase steps: output i weighs the 16 inputs ending at 147·i/160 (8 inputs late).
TEST(Resampler, ConsecutiveCallsEqualOneLongFiltering) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> sample(-20000, 20000);
    std::vector<int16_t> input(441 * 20);
    for (int16_t& x : input) {
        x = static_cast<int16_t>(sample(random));
    }
    ResamplerState state;
    ClearResamplerState(&state);
    const std::vector<int16_t> chunked = ResampleAll(input, state);
    ASSERT_EQ(chunked.size(), 480u * 20);

    for (size_t i = 0; i < chunked.size(); ++i) {
        const int k = static_cast<int>(i % kResamplerPhases);
        const long newest = static_cast<long>(i / kResamplerPhases) * 147 + (147L * k) / 160;
        int32_t sum = 0;
        for (int t = 0; t < kResamplerTaps; ++t) {
            const long at = newest - t;
            const int32_t x = at >= 0 ? input[at] : 0;
            sum += (x * kResamplerCoefficients[k][t]) >> 15;
        }
        ASSERT_EQ(chunked[i], std::clamp(sum, -32768, 32767)) << i;
    }
}

// Every instruction-set level gives the portable kernel's output, call after call.
TEST(Resampler, SimdLevelsMatchThePortableKernel) {
    std::mt19937 random(3);
    std::uniform_int_distribution<int> sample(-32768, 32767);
    ResamplerState portable;
    ClearResamplerState(&portable);
    const std::vector<signal_simd::Level> levels = simd_levels::Compared();
    std::vector<ResamplerState> states(std::size(signal_simd::kLevels));
    for (ResamplerState& state : states) {
        ClearResamplerState(&state);
    }
    for (int call = 0; call < 50; ++call) {
        int16_t in[kResamplerIn];
        for (int16_t& x : in) {
            x = static_cast<int16_t>(call % 5 == 4 ? (sample(random) > 0 ? 32767 : -32768)
                                                   : sample(random));
        }
        int16_t expected[kResamplerOut];
        Resample44To48(&portable, in, expected, signal_simd::Level::kPortable);
        for (signal_simd::Level level : levels) {
            int16_t out[kResamplerOut];
            Resample44To48(&states[static_cast<int>(level)], in, out, level);
            ASSERT_TRUE(std::equal(out, out + kResamplerOut, expected))
                << "call " << call << " level " << signal_simd::Name(level);
        }
    }
}

TEST(Resampler, ToneKeepsItsFrequencyAndOutOfRangeOutputsSaturate) {
    const double pi = std::acos(-1.0);
    std::vector<int16_t> input(441 * 10);
    for (size_t n = 0; n < input.size(); ++n) {
        input[n] = static_cast<int16_t>(std::lround(10000 * std::sin(2 * pi * 1000 * n / 44100.0)));
    }
    ResamplerState state;
    ClearResamplerState(&state);
    const std::vector<int16_t> out = ResampleAll(input, state);
    // Correlate with 1 kHz at 48 kHz past the start: nearly all energy is there.
    double in = 0;
    double quadrature = 0;
    double energy = 0;
    for (size_t m = 480; m < out.size(); ++m) {
        in += out[m] * std::sin(2 * pi * 1000 * m / 48000.0);
        quadrature += out[m] * std::cos(2 * pi * 1000 * m / 48000.0);
        energy += static_cast<double>(out[m]) * out[m];
    }
    const double count = out.size() - 480;
    const double toneEnergy = 2 * (in * in + quadrature * quadrature) / count;
    EXPECT_GT(toneEnergy / energy, 0.999);
    // The passband lies between -0.37 dB and +0.35 dB.
    const double amplitude = std::sqrt(2 * energy / count);
    EXPECT_GT(amplitude, 10000 * 0.957);
    EXPECT_LT(amplitude, 10000 * 1.041);

    // Inputs shaped to row 0's signs at full scale drive the sum past 16 bits.
    std::vector<int16_t> contrived(441 * 2, 0);
    for (int t = 0; t < kResamplerTaps; ++t) {
        contrived[441 - t] = kResamplerCoefficients[0][t] >= 0 ? 32767 : -32768;
    }
    ClearResamplerState(&state);
    const std::vector<int16_t> loud = ResampleAll(contrived, state);
    EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 32767);
}

}  // namespace
