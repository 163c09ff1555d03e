// Library-internal parts of the estimators (not exported).
#pragma once

#include "tarn_config.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"

namespace tarn_est {

// Confidence of a candidate that carries no confidence, and of a result that
// carries no estimate.
constexpr double kNoConfidence = -1.0;

// A candidate the combination may use: flagged valid, a confidence other than
// "none" and a finite distance (a hostile option record must never reach the
// host as NaN or infinity).
bool candidateUsable(const RangeEstimate &c);

// The result of one computation from its two candidates: the phase candidate
// unless a usable round-trip candidate disagrees by more than
// rtpWithinRttThresh, the round-trip candidate when the phase one is not
// usable, and "no estimate" (distance 0, confidence -1) when neither is.
CsEstimate combineCandidates(const ConfigOpts &opts, const RangeEstimate &phase,
                             const RangeEstimate &rtt);

}  // namespace tarn_est
