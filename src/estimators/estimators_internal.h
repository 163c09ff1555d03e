// The estimators' engine functions: the tracking filters and the
// combination of the two candidates (the exported ones are adapters over
// the filters and alg_combineRttRtp), and the library-internal rules.
#pragma once

#include <cmath>
#include <optional>

#include "common/numeric.h"

#include "config/config_defaults.h"
#include "tarn_config_types.h"
#include "tarn_estimators_types.h"
#include "tarn_measurement_types.h"

namespace tarn_est {

// The tracking filters and the combination; their contracts are those of the
// exported functions of the same names (tarn_estimators.h).
void algFilterIir(const ConfigOpts *opts, IirState *presEst, const RangeEstimate *currEst,
                  double *disAvg, double time, int reset);
int algFilterKalman(const ConfigOpts *opts, RangeEstimate *state, const RangeEstimate *currEst,
                    double *P, double *K, double prevTime, double currTime, int reset);
void algFilterSlidingWindow(const ConfigOpts *opts, RangeEstimate *slots,
                            const RangeEstimate *currEst, SlidingWindowCtl *ctl,
                            double *timestamps, double currTime, int reset, RangeEstimate *out);
int alg_combineRttRtp(const CsContext *ctx, const RangeEstimate *rtp, const RangeEstimate *rtt,
                      CsEstimate *result);

// Confidence of a candidate that carries no confidence, and of a result that
// carries no estimate.
constexpr double kNoConfidence = tarn_common::kNoConfidence;

// The confidence-weighted IIR blend of a tracked distance with a new one
// (both in the same unit): the new one weighs (conf / 100)^fiAvgPwr, the
// tracked one the rest; the confidence is the larger of the tracked one's,
// decayed by fiConfDecay, and the new one's. Every IIR tracker of the engine
// blends through this, so they round alike.
struct IirBlend {
    double dest;
    double conf;
    double weight;  // the tracked distance's weight
};
IirBlend iirBlend(const ConfigOpts &opts, double trackedDest, double trackedConf, double newDest,
                  double newConf);
// The weight an IIR tracker reports (its disAvg) when no new distance came
// to blend with. The number is the records' "no distance" one; here it is a
// weight, and only its identity matters (-1 says "just restarted", 1 "held").
constexpr double kNoBlendWeight = tarn_common::kNoDistance;
// The tracked confidence decayed by one procedure without a blend.
inline double iirDecayedConf(const ConfigOpts &opts, double trackedConf) {
    return trackedConf * (1.0 - opts.fiConfDecay);
}

// A candidate the combination may use: flagged valid, a confidence other than
// "none" and a finite distance (a hostile option record must never reach the
// host as NaN or infinity).
bool candidateUsable(const RangeEstimate &c);

// The result of one computation from its two candidates: the phase candidate
// unless a usable round-trip candidate disagrees by more than
// rtpWithinRttThresh, the round-trip candidate when the phase one is not
// usable, and "no estimate" (distance 0, confidence -1) when neither is.
// *taken (when given) says which candidate the result is.
enum class Taken { None, Phase, Rtt };
CsEstimate combineCandidates(const ConfigOpts &opts, const RangeEstimate &phase,
                             const RangeEstimate &rtt, Taken *taken = nullptr);

// The two candidates with their standard uncertainties (metres; empty or
// not positive: unknown, taken as 0) for the guarded combination.
struct GuardInput {
    RangeEstimate phase;  // dest in metres x distSF
    RangeEstimate rtt;
    std::optional<double> phaseSigmaM;
    std::optional<double> rttSigmaM;
    bool phaseJumps = false;  // the phase shows residual offset or jumps
    bool multipath = false;   // the response shows a second path: the round trip reads long
    // The phase slope's own distance (metres x distSF), which judges the
    // phase when the phase candidate is missing (a manipulation can push it
    // below zero, where the pipeline gives no distance); empty or not
    // finite: none.
    std::optional<double> slopeDest;
};

// What the guarded combination delivers.
struct GuardOutcome {
    CsEstimate result;      // dest in metres x distSF
    std::optional<double> sigmaM;  // its uncertainty; empty with no estimate
    uint32_t flags = 0;     // TARN_INTEGRITY_ DISAGREE, MANIPULATION, RTT_DELIVERED, FUSED
};

// The flags that compare the two candidates (TARN_INTEGRITY_DISAGREE and
// TARN_INTEGRITY_MANIPULATION): both usable, distances in metres x distSF.
uint32_t candidatePairFlags(const ConfigOpts &opts, const GuardInput &in);

// The guarded combination (tarnSetCombination mode 1): the round trip bounds
// the result from below. Without a usable phase candidate the round trip is
// delivered, without a usable round trip the phase candidate (none when the
// phase shows jumps); a phase distance under the lower bound or with phase
// jumps gives way to the round trip; without multipath (where the round trip
// reads long, a bias rather than noise) candidates within twice their joint
// uncertainty are fused by inverse variance; otherwise the phase candidate
// stands.
GuardOutcome guardedCombination(const ConfigOpts &opts, const GuardInput &in);

}  // namespace tarn_est
