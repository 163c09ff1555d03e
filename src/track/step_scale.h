// The link's step duration learned from its own procedures (moving-target
// mode without a step timing from the host). Not exported; the state record
// is TarnStepScale (tarn_track.h).
//
// A procedure's tones give the speed that lines them up on the step times
// assumed; a step that really lasts k times longer within its subevent makes
// that speed u = v (1 + g (k - 1)) to first order, v being the true speed and
// g (0..1, see stepScaleSensitivity) the share of the tones' time spread that
// lies within subevents (the subevents' own time stamps are true). The track
// sees v over procedures from distances alone. Each round regresses u - v on
// g v, rescales the steps by the k it finds and starts over; a round that
// finds k = 1 within its uncertainty makes the scale known.
#pragma once

#include "tarn_track.h"

namespace tarn_track {

struct StepScaleConfig {
    // Scales outside are not step timings a controller can have: the
    // shortest step (T_FCS 15, T_IP 10, T_PM 10 us, one path) is about a
    // quarter of the nominal 150 us, the longest well under 8 times it.
    double minScale = 0.25;
    double maxScale = 8.0;
    // An observation needs a track that knows it moves: |v| at least
    // minSpeedMps and more than speedSigma of its own standard deviation.
    double minSpeedMps = 0.25;
    double speedSigma = 3.0;
    // A round closes after at least minSamples observations once the
    // standard deviation of its k is at most closeSd, or after maxSamples
    // when it is at most looseSd (else it starts over: no information).
    int minSamples = 8;
    int maxSamples = 40;
    double closeSd = 0.04;
    double looseSd = 0.15;
    // One round changes the scale by at most this factor either way.
    double maxStep = 2.0;
    // A round's k within this of 1 (or within 2 standard deviations)
    // confirms the scale in use.
    double confirmTol = 0.03;
};

const StepScaleConfig &stepScaleDefaults();

// Scale in use (1 for a zero-filled record).
double stepScaleValue(const TarnStepScale &s);

// Back to the nominal step, unknown (the step timing changed, or a restart).
void stepScaleReset(TarnStepScale &s);

// Sensitivity g of the measured speed to the step scale, from the tones'
// times under the scale in use: timeS[k] of each tone and withinS[k], its
// offset from its subevent's start. g = cov(t, w) / var(t); 0 when the tones
// have no time spread.
double stepScaleSensitivity(const double *timeS, const double *withinS, int n);

// The speed the tones should show for a track speed v, by what the current
// round has seen so far (v itself when it has seen nothing).
double stepScaleExpectedSpeed(const TarnStepScale &s, double v, double g);

// One procedure: the speed its tones gave (u, standard deviation uSd) with
// its sensitivity g, and the track's speed over procedures (v, vSd), all
// m/s. Returns true when a round closed (the scale may have changed).
bool stepScaleObserve(TarnStepScale &s, const StepScaleConfig &cfg, double u, double uSd, double v,
                      double vSd, double g);

// The largest scale the subevent time stamps allow (each subevent's steps
// fit before the next one starts); 0 or less: no bound. The scale in use is
// clipped to it at once.
void stepScaleBound(TarnStepScale &s, const StepScaleConfig &cfg, double bound);

}  // namespace tarn_track
