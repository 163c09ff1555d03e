// How far the phase candidate of one computation can be trusted: its
// uncertainty and what the channel response says about multipath, a blocked
// direct path and phase jumps between subevents (not exported).
#pragma once

#include <cmath>
#include <optional>

#include "rtp/rtp_driver.h"

namespace tarn_rtp {

// The two strongest paths of one antenna path's channel response, from a
// two-path least-squares fit (distances in metres, as the phase candidate).
struct PathPair {
    bool found = false;
    double earlyM = 0.0, lateM = 0.0;  // earlyM < lateM
    double earlyAmp = 0.0, lateAmp = 0.0;
    // Residual energy of the best one-path and two-path fits, as shares of
    // the response's energy.
    double residual1 = 1.0, residual2 = 1.0;
};

struct PhaseIntegrity {
    std::optional<double> sigmaM;  // the phase candidate's standard uncertainty
    bool multipath = false;
    bool blocked = false;
    bool phaseJumps = false;
    std::optional<double> firstPathM;  // earliest significant path (metres)
    // What the round trip may read long by under this response's multipath
    // (the later path's pull on a packet detector), metres.
    double rttPullM = 0.0;
    double jumpDeg = 0.0;  // mean turn of cross-subevent neighbours against same-subevent ones
    // Median of the antenna paths' phase-slope distances (metres).
    std::optional<double> slopeM;
};

// Assesses the latest phase computation in `work` (the procedure `meas`, the
// options it ran with, nap antenna paths). Nothing when that computation did
// not reach the per-path estimates. Reads only; worker's thread.
PhaseIntegrity assessPhase(const PhaseWork &work, const CsMeasurement &meas,
                           const ConfigOpts &opts, int nap);

// The two-path fit of channel response h[0..78] (one-way, channel k at
// k MHz, usable where use[k] is non-zero), searched from lowM to lowM + 9 m
// (distances as the response's own phase slope gives them). Exposed for tests.
PathPair fitTwoPaths(const TarnCplxD *h, const uint8_t *use, double lowM, double sol);

// Mean turn (degrees) of neighbouring channels measured in different
// subevents, against the turn of those measured in the same one, of the
// two-way products p[0..78] (use[k] non-zero where measured) with subevent
// group[k]. *sameDeg gets the same-subevent pairs' own spread. Returns -1
// when there are too few pairs of either kind to tell.
double subeventJumpDeg(const TarnCplxD *p, const uint8_t *use, const int *group, double *sameDeg);

}  // namespace tarn_rtp
