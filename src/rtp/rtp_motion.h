// Motion within one procedure (moving-target mode, not exported).
//
// A procedure takes 20 to 50 ms; a target moving at v changes the round trip
// by 2 v t within it, which turns the tone product of a step at time t by
// -4 pi f v t / c. Visited in hop order, those turns look like several
// radians of noise across the band at 2 m/s. The compensation below turns
// every tone back to the procedure's first step, using a speed measured
// from the procedure's own tones (the speed whose correction makes the
// response over the band sharpest), searched around the link's tracked speed
// when the track is sure of it and over the whole plausible range otherwise.
#pragma once

#include "rtp/rtp_internal.h"
#include "rtp/rtp_stages.h"

namespace tarn_rtp {

// Duration of a step where the records do not say (the step-level input, or
// the steps of a subevent when no later subevent gives its end): 150 us,
// a mode-2 step with T_FCS 40 us, T_IP2 40 us and T_PM 20 us for two
// antenna paths plus switching. When the next subevent's time stamp is
// known, a subevent's steps are spread over at most the time up to it.
constexpr double kNominalStepS = 150e-6;

// What one computation of the phase driver is asked to do about motion;
// set by the worker around RTP_calcEstimate for links in tracking mode 1.
struct MotionRequest {
    // In. The procedure the request is for (the link's stored one); the
    // driver ignores the request for any other.
    const CsMeasurement *meas = nullptr;
    // Time of each stored step in seconds after the procedure's first
    // step (stepCount entries; later steps continue at kNominalStepS).
    const float *stepTimeS = nullptr;
    int stepCount = 0;
    // The tracked speed at the procedure's time (m/s) and its standard
    // deviation; haveSpeed false: no track yet.
    bool haveSpeed = false;
    double speed = 0.0;
    double speedSd = 0.0;
    // Offset of each stored step from the start of its subevent under
    // stepTimeS (stepCount entries); null: the step duration is not asked
    // for. With it, once the speed is measured, the duration that makes the
    // tones sharpest is searched as a factor k of the one in use, within
    // [scaleLo, scaleHi].
    const float *stepWithinS = nullptr;
    double scaleLo = 0.5;
    double scaleHi = 2.0;
    // The link stands still: a measured speed within +-stillMps is taken as
    // none (its noise would only turn the tones); 0: no such test.
    double stillMps = 0.0;
    // How sharp the link's recent procedures came out at their speed
    // (sharpness below; 0: not known yet). A search around the tracked
    // speed that stays far below it missed the target's speed (a turn).
    double sharpRef = 0.0;
    // Subevent of each stored step (stepCount entries, counted from 0);
    // null: not known. Where a channel comes back in a later subevent, each
    // subevent's tones get a phase of their own (a residual frequency
    // offset between the devices, or a phase jump of either one), measured
    // on the channels that come back and removed; the speed is then measured
    // within subevents only, so a jump is never taken for motion.
    const uint8_t *stepSubevent = nullptr;
    // Out.
    bool compensated = false;  // the tones were turned back
    double speedUsed = 0.0;    // m/s
    bool measured = false;     // the procedure's tones gave a speed
    double measuredSpeed = 0.0;
    double measuredSd = 0.0;
    double sharpness = 0.0;      // of the measured speed (see rtpMeasureSpeed)
    bool scaleMeasured = false;  // the tones gave a step-duration factor
    double scale = 1.0;          // k: true step / step in use
    bool subeventPhases = false;  // each subevent's own phase was removed
    // The residual frequency offset the subevents' phases show (Hz, from
    // their turn per second between neighbours on the tones' times); 0
    // without subevent phases or with fewer than two subevents.
    double offsetHz = 0.0;
};

// Phase of each subevent against subevent 0 (radians, into theta[0..count))
// from the tones whose channel comes back in another subevent: each
// subevent's phase is the one that lines its tones up with those of the
// earlier subevents on the same channels. x[k][j] usable where use[k][j];
// sub[k] is tone k's subevent (>= count: none). Returns false when a
// subevent holding tones shares no channel with an earlier one, or when no
// subevent but the first holds tones.
bool rtpSubeventPhases(const TarnCplxD (*x)[kPaths], const uint8_t (*use)[kPaths],
                       const uint8_t *channel, const uint8_t *sub, int numTones, int nap,
                       int count, double *theta);

// Frequency offset (Hz) of subevent phases theta[0..count) at times
// startS[0..count): the mean turn between neighbours, wrapped to +-pi, per
// second, weighted by their spacing. 0 with fewer than two subevents.
double rtpOffsetFromPhases(const double *theta, const double *startS, int count);

// The driver's call site: with a request (the caller's, filled in place),
// measures the speed and turns initToneC[k][j] of every tone k < numTones
// and path j < nap back to the procedure's first step. gmap marks the usable
// tones; toneChannel gives each tone's channel. Nothing happens without a
// request (req null, the default tracking) or with one for another procedure.
void rtpCompensateMotion(MotionRequest *req, const CsMeasurement &meas, const ConfigOpts &opts,
                         int numTones, int nap, const uint8_t (*gmap)[kPaths],
                         const uint8_t *toneChannel, TarnCplxD (*initToneC)[kPaths],
                         const TarnCplxD (*reflToneC)[kPaths]);

// The speed search alone, for tests and benchmarks: tone products x[k][j]
// (usable where use[k][j]), channels and step times of numTones tones.
// Searches span +-halfSpanMps around centreMps in steps of gridMps and
// refines the best. Returns false when no speed stands out (too few tones,
// best at the edge of the span). sharpness (optional) gets the best
// hypothesis' sharpness relative to the number of tones (about 2/3 for
// tones that line up perfectly over a contiguous band).
struct SpeedSearch {
    double centreMps = 0.0;
    double halfSpanMps = 5.0;
    double gridMps = 0.25;
};
bool rtpMeasureSpeed(const TarnCplxD (*x)[kPaths], const uint8_t (*use)[kPaths],
                     const uint8_t *channel, const double *timeS, int numTones, int nap, double sol,
                     const SpeedSearch &search, double *speed, double *sd,
                     double *sharpness = nullptr);

}  // namespace tarn_rtp
