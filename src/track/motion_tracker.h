// Two-state motion tracker (distance, radial speed) of the moving-target
// mode: a Kalman filter with a constant-speed model whose process noise comes
// from a maximum acceleration, innovation gating with a clipped (Huber)
// update, and restarts (each with a log line) instead of propagating bad
// input. Not exported; the state record is TarnMotionTrack (track/track_state.h).
#pragma once

#include "track/track_state.h"

namespace tarn_track {

struct TrackerConfig {
    // Process noise: white acceleration with standard deviation
    // maxAccelMps2 / 2 per prediction (a target within +-maxAccel about 95 %
    // of the time).
    double maxAccelMps2 = 6.0;
    // Speeds beyond are absurd for the targets (people, hand-held devices):
    // a state or measurement beyond restarts or is refused.
    double maxSpeedMps = 12.0;
    // Distances outside [minDistM, maxDistM] are absurd.
    double minDistM = -5.0;
    double maxDistM = 1000.0;
    // A longer time between two updates restarts the track.
    double maxGapS = 3.0;
    // Innovations beyond gateSigma standard deviations are rejected; beyond
    // clipSigma they are clipped to it (a single outlier inside the gate moves
    // the track by at most clipSigma x pDD / sqrt(S)).
    double gateSigma = 4.0;
    double clipSigma = 1.5;
    // After this many consecutive rejected distances that agree with each
    // other (each where the previous one would have moved to at the track's
    // speed, within restartAgreeM plus twice its standard deviation), the
    // track restarts at the latest of them, keeping its speed (unsure).
    int restartAfter = 3;
    double restartAgreeM = 0.3;
    // Speed uncertainty of a new track (m/s, standard deviation), and the
    // least distance uncertainty it starts with (m): the first measurement
    // may be off, the next ones must be able to pull the track.
    double startSpeedSd = 1.5;
    double startDistSd = 0.15;
    // A speed measurement outside the gate but at most this uncertain
    // (m/s) re-seats the speed: the target turned or stopped faster than
    // maxAccel allows. The distance then becomes as uncertain as the turn
    // makes it (somewhere since the latest distance).
    double reseatMaxSd = 0.2;
    // Less sure speed measurements outside the gate re-seat it when this
    // many in a row agree with each other within speedAgreeMps.
    int reseatAfter = 2;
    double speedAgreeMps = 0.5;
};

enum class Outcome : unsigned char {
    Accepted,   // taken as it is
    Clipped,    // taken with its innovation clipped
    Rejected,   // outside the gate; the state is unchanged
    Started,    // the track started (or restarted) at this measurement
    Reseated,   // speed only: the speed jumped to the measurement
    Refused,    // not a usable value (NaN, absurd, bad variance); nothing changed
};

// Clears the track (valid 0). `why` (may be null: no log line) is logged at
// level 1 together with the state being dropped.
void trackerReset(TarnMotionTrack &tr, const char *why);

// Starts the track at distance z (m) with standard deviation sd at time t,
// with speed v0 (sd v0Sd). Refused (and the track left as it was) when a
// value is not finite or absurd.
Outcome trackerStart(TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double z, double sd,
                     double v0, double v0Sd);

// Moves a valid track forward to time t (s). A time that is not finite, lies
// before the track's time, or more than maxGapS after it, and a state that
// is not finite or absurd, reset the track (log line) and return false.
// Returns true with the track at t (unchanged when t equals its time).
bool trackerPredict(TarnMotionTrack &tr, const TrackerConfig &cfg, double t);

// Distance measurement z (m, standard deviation sd) at time t. Predicts to t
// first. Without a valid track nothing happens (Refused; the caller decides
// how to start one). Rejected measurements that agree with each other
// restart the track after restartAfter of them (Started) when allowRestart
// is true; otherwise they only count.
Outcome trackerUpdateDistance(TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double z,
                              double sd, bool allowRestart = true);

// Speed measurement zv (m/s, standard deviation sd) at time t; gated and
// clipped like a distance; beyond the gate it re-seats the speed when sd is
// at most reseatMaxSd, or when it is the reseatAfter-th such measurement in
// a row agreeing with the previous one (Reseated), else it is rejected.
// Never restarts the track.
Outcome trackerUpdateSpeed(TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double zv,
                           double sd);

// Standard deviations of the track's distance and speed (sqrt of the
// variances; 0 for an invalid track).
double trackerDistSd(const TarnMotionTrack &tr);
double trackerSpeedSd(const TarnMotionTrack &tr);

// The track's distance and speed predicted to time t without changing it
// (t before the track's time or beyond the gap: the track's own values).
void trackerPeek(const TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double *dist,
                 double *speed, double *distVar, double *speedVar);

}  // namespace tarn_track
