// Helpers shared by the phase pipeline stages (not exported).
#pragma once

#include <cmath>
#include <cstdint>

#include "common/numeric.h"
#include "rtp/rtp_stages.h"

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
// are updated in place. nap is clamped to 0..4. True when the tracked
// estimate is this procedure's own, false when it holds an earlier one.
bool phaseResultFilter(PresState &link, NewPresState &filters, const ToneRecord &rawMeas,
                       const PhaseResult &phase, MusicResult &music, const ConfigOpts &opts,
                       int nap, int reset);

// What a procedure's calibration run leaves for the link's options: the
// table (its running sums, or the finished table) and whether the run
// finished, which switches estimation off and application on.
struct CalTableUpdate {
    bool written;   // table is calTable's new value
    bool finished;  // estimateFilterChannel 0, applyEstimatedReverseChannel 1
    TarnCplxD table[kChannels][kPaths];
};

// alg_rotatePct reading the options only: the calibration run's table goes
// to `update` (its flags are set on every call), which the caller keeps
// with keepCalTableUpdate; the run's progress is in *pres.
void rotatePct(PresState *pres, ToneRecord *rawMeas, ToneRecord *procMeas, const ConfigOpts &opts,
               int8_t NAP, const PhaseResult *phaseResult, CalTableUpdate &update);

// Writes what the calibration run left into the link's options, where the
// host reads the table and the switches back (nothing when no run ran).
void keepCalTableUpdate(ConfigOpts &opts, const CalTableUpdate &update);

}  // namespace tarn_rtp
