// Helpers shared by the phase pipeline stages (not exported).
#pragma once

#include <cmath>
#include <cstdint>

#include "common/numeric.h"
#include "tarn_rtp.h"

namespace tarn_rtp {

constexpr int kChannels = TARN_NUM_CHANNELS;
constexpr int kPaths = TARN_MAX_ANT_PATHS;
constexpr int kMaxTones = TARN_MAX_TONES;
using tarn_common::kPi;

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

// Saturating truncation toward zero into 32 bits (NaN gives 0).
using tarn_common::truncToInt32;

}  // namespace tarn_rtp

namespace tarn_rtp {

// The result filter on the road: tracks one procedure's per-path estimates
// into the link's phase estimate. `link` holds the tracked estimate (time,
// valid, dest, conf, vest) and the invalid counters, `filters` the memory of
// the per-pair, phase-slope and output filters; both are the link's own and
// are updated in place. nap is clamped to 0..4.
void phaseResultFilter(PresState &link, NewPresState &filters, const ToneRecord &rawMeas,
                       const PhaseResult &phase, MusicResult &music, const ConfigOpts &opts,
                       int nap, int reset);

}  // namespace tarn_rtp
