// Helpers shared by the phase pipeline stages (not exported).
#pragma once

#include <cmath>
#include <cstdint>

#include "tarn_rtp.h"

namespace tarn_rtp {

constexpr int kChannels = TARN_NUM_CHANNELS;
constexpr int kPaths = TARN_MAX_ANT_PATHS;
constexpr int kMaxTones = TARN_MAX_TONES;
constexpr double kPi = 3.14159265358979323846;

// Fewest usable channels a path needs before its gaps are filled.
constexpr int kMinFillChannels = 10;

constexpr const char *kStageEnter = "\n\n********** %s ENTER **********\n\n";
constexpr const char *kStageExit = "\n\n********** %s EXIT **********\n\n";

// Antenna-path counts outside 0..4 would index past the fixed arrays.
inline int clampPaths(int nap) {
    return nap < 0 ? 0 : (nap > kPaths ? kPaths : nap);
}

inline int clampTones(int n) {
    return n < 0 ? 0 : (n > kMaxTones ? kMaxTones : n);
}

// Truncation toward zero into 32 bits; out-of-range values saturate and NaN
// gives 0, where a plain cast would be undefined.
inline int32_t truncToInt32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

}  // namespace tarn_rtp
