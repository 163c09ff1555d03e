// The link's step duration learned from its own procedures (moving-target
// mode without a step timing from the host). Not exported; the state record
// is TarnStepScale (track/track_state.h).
//
// A procedure's tones give the speed that lines them up on the step times
// assumed; a step that really lasts k times longer within its subevent makes
// that speed u = v (1 + g (k - 1)), v being the true speed and g (0..1, see
// stepScaleSensitivity) the share of the tones' time spread that lies within
// subevents (the subevents' own time stamps are true). Over a segment of
// about a second the measured speeds add up to a displacement U, while the
// track, which the measured speeds do not steer while the scale is unknown,
// moves by D. Each round regresses U - D on g D over its segments, rescales
// the steps by the k it finds and starts over; a round that finds k = 1
// within its uncertainty makes the scale known.
#pragma once

#include "track/track_state.h"

namespace tarn_track {

struct StepScaleConfig {
    // Scales outside are not step timings a controller can have: the
    // shortest step (T_FCS 15, T_IP 10, T_PM 10 us, one path) is about a
    // quarter of the nominal 150 us, the longest well under 8 times it.
    double minScale = 0.25;
    double maxScale = 8.0;
    // A segment lasts segmentS; a gap of more than maxGapS between two
    // procedures, or one whose tones gave no speed, starts a new one.
    double segmentS = 1.0;
    double maxGapS = 0.5;
    // A segment counts when the track moved at least minMoveM in it and by
    // more than moveSigma of the displacement's standard deviation.
    double minMoveM = 0.25;
    double moveSigma = 3.0;
    // A round closes after at least minSamples segments once the standard
    // deviation of its k is at most closeSd, or after maxSamples when it is
    // at most looseSd (else it starts over: no information).
    int minSamples = 5;
    int maxSamples = 40;
    double closeSd = 0.05;
    double looseSd = 0.15;
    // Estimates less sure than this say nothing.
    double maxEvidenceSd = 1.0;
    // One round changes the scale by at most this factor either way.
    double maxStep = 4.0;
    // A round's k within this of 1 (or within 2 standard deviations)
    // confirms the scale in use.
    double confirmTol = 0.03;
};

const StepScaleConfig &stepScaleDefaults();

// Scale in use (1 for a zero-filled record).
double stepScaleValue(const TarnStepScale &s);

// The largest scale the record allows: its time stamps' bound, within
// [minScale, maxScale].
double stepScaleUpperLimit(const TarnStepScale &s, const StepScaleConfig &cfg);

// Back to the nominal step, unknown (the step timing changed, or a restart).
void stepScaleReset(TarnStepScale &s);

// Sensitivity g of the measured speed to the step scale, from the tones'
// times under the scale in use: timeS[k] of each tone and withinS[k], its
// offset from its subevent's start. g = cov(t, w) / var(t); 0 when the tones
// have no time spread.
double stepScaleSensitivity(const double *timeS, const double *withinS, int n);

// One estimate k (standard deviation sdK) of the ratio true step / step in
// use. Returns true when a round closed (the scale may have changed).
bool stepScaleEvidence(TarnStepScale &s, const StepScaleConfig &cfg, double k, double sdK);

// One segment: the displacement the measured speeds add up to (u, standard
// deviation uSd) with their mean sensitivity g, and the track's own (v,
// vSd), metres. Returns true when a round closed (the scale may have changed).
bool stepScaleObserve(TarnStepScale &s, const StepScaleConfig &cfg, double u, double uSd, double v,
                      double vSd, double g);

// One procedure of a running track at time t (s): the track's distance there
// (m, standard deviation distSd) and, when its tones gave a speed
// (measured), that speed u (m/s, sd uSd) and its sensitivity g. Closes a
// segment when it is long enough (stepScaleObserve). Returns true when a
// round closed.
bool stepScaleNote(TarnStepScale &s, const StepScaleConfig &cfg, double t, double dist,
                   double distSd, bool measured, double u, double uSd, double g);

// The largest scale the subevent time stamps allow (each subevent's steps
// fit before the next one starts); 0 or less: no bound. The scale in use is
// clipped to it at once.
void stepScaleBound(TarnStepScale &s, const StepScaleConfig &cfg, double bound);

}  // namespace tarn_track
