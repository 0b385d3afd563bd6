// The instruction-set levels that the signal kernels' tests compare on this machine.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "signal/simd.h"

namespace simd_levels {

// Every level this processor runs. The levels that every processor of its architecture has
// must be among them: one that stopped counting as supported would otherwise leave its
// kernels out of every comparison without a word. The test's output names the levels.
inline std::vector<signal_simd::Level> Compared() {
    using signal_simd::Level;
    std::vector<Level> levels;
    std::string names;
    for (Level level : signal_simd::kLevels) {
        if (signal_simd::Supported(level)) {
            levels.push_back(level);
            names += std::string(names.empty() ? "" : ", ") + signal_simd::Name(level);
        }
    }
    const auto has = [&levels](Level level) {
        return std::find(levels.begin(), levels.end(), level) != levels.end();
    };
    EXPECT_TRUE(has(Level::kPortable));
#if defined(__x86_64__) || defined(_M_X64)
    EXPECT_TRUE(has(Level::kSse2));
#elif defined(__aarch64__)
    EXPECT_TRUE(has(Level::kNeon));
#endif
    testing::Test::RecordProperty("levels", names);
    std::cout << "comparing " << levels.size() << " instruction-set levels: " << names << "\n";
    return levels;
}

}  // namespace simd_levels
