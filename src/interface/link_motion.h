// The moving-target mode of a link (tracking mode 1): what the host
// functions and the worker call, each from one marked call site. The state
// is the registry entry's `state.motion` member (TarnLinkMotion, track/track_state.h).
// Not exported.
//
// Call sites (all marked "MOTION"):
//   host_api.cpp  csIfAddMeasurement / csIfAddMeasurementV2, after a stored
//                 procedure: motionNoteSteps / motionNoteProcedure (the
//                 subevent layout of the stored procedure; any mode).
//   worker.cpp    computeLinkEstimate: a MotionComputation for the two
//                 estimators (mode 1: option profile, within-procedure
//                 compensation) and its combine() in place of
//                 alg_combineRttRtp (mode 1: the tracker writes the result);
//                 deliver: motionRecordLatest.
//   rtp_driver.cpp after the complex tones: rtpCompensateMotion (rtp_motion.h).
// In mode 0 none of them changes anything a host sees.
#pragma once

#include "rtp/rtp_motion.h"
#include "tarn_interface.h"
#include "track/motion_tracker.h"

struct TarnLinkState;  // interface/link_state.h

namespace tarn_link {

// The layout of a procedure just stored from controller records, from
// which a computation times its steps: the subevents the intake admitted,
// their steps and usable time stamps. stored: the intake's result (0
// clears the layout).
void motionNoteProcedure(TarnLinkMotion &m, const CsProcedure *proc, int stored);
// The same for a step-level record: one subevent.
void motionNoteSteps(TarnLinkMotion &m, const CsMeasurement *meas, int stored);

// Times of the stored procedure's steps (s after its first time stamp)
// composed from a given step timing: the steps of each subevent back to
// back from its start (the previous subevent's end without a time stamp),
// each lasting its mode's duration. Writes and returns at most the steps
// the intake laid out (m.timingCount), no more than meas holds.
int composeStepTimes(const TarnLinkMotion &m, const TarnStepTiming &timing,
                     const CsMeasurement &meas, float *out);

// The tracker configuration of mode 1.
const tarn_track::TrackerConfig &motionTrackerConfig();

// One computation of a link: mode 1's option profile and within-procedure
// compensation for the estimators, and its tracker in place of the
// combination. Construct before the estimators run, from the link's state
// and the options in force (the link's, which it never writes); both must
// outlive it.
class MotionComputation {
  public:
    MotionComputation(CsContextItem *item, TarnLinkState &state, const ConfigOpts &inForce);
    MotionComputation(const MotionComputation &) = delete;
    MotionComputation &operator=(const MotionComputation &) = delete;

    // The options the estimators run with: the options in force, or in mode 1
    // a copy with its profile (per-procedure phase candidates, the
    // unfiltered round trip: the tracker does the tracking).
    const ConfigOpts &options() const { return active_ ? profile_ : inForce_; }
    // The phase pipeline's: the same, except that a target standing still is
    // computed with the options in force (the default tracking's filters).
    const ConfigOpts &phaseOptions() const { return active_ && !still_ ? profile_ : inForce_; }

    // Mode 1: the tracker takes the candidates, the round-trip candidate
    // becomes the tracked one and the result record gets the tracked
    // distance; returns true. Mode 0 (or no track yet): false, nothing
    // changed; the caller combines as in mode 0. phaseFresh: the phase
    // pipeline formed its candidate from this procedure (a held-over one is
    // no news to the tracker).
    bool combine(RangeEstimate *phase, bool phaseFresh, RangeEstimate *rtt, CsEstimate *result);

    // What the phase pipeline is asked for (mode 1; null otherwise).
    tarn_rtp::MotionRequest *request() { return active_ ? &request_ : nullptr; }

  private:
    CsContextItem *item_;
    TarnLinkState &state_;  // the link's, held under the registry lock
    const ConfigOpts &inForce_;
    bool active_ = false;
    ConfigOpts profile_;  // mode 1 only
    tarn_rtp::MotionRequest request_;
    // Mode 1: the steps timed by the given timing, or without one by the
    // learned scale (then also each step's offset within its subevent and
    // the measured speed's sensitivity to the scale), and whether the
    // measured speed may steer the track (given, or the scale known).
    float timeS_[TARN_MOTION_MAX_STEPS];
    float withinS_[TARN_MOTION_MAX_STEPS];
    uint8_t subeventOf_[TARN_MOTION_MAX_STEPS];  // each stored step's subevent
    double sensitivity_ = 0.0;
    bool speedTrusted_ = true;
    // The target stood still over the latest procedures.
    bool still_ = false;
};

// Fills the motion fields of the link's latest-computation record from the
// link's motion state m (mode 0: trackingMode 0, no flags, no speed); opts:
// the link's options (their distSF scales the speed; null: mm).
void motionRecordLatest(const TarnLinkMotion &m, const ConfigOpts *opts,
                        TarnLatestComputation *latest);

}  // namespace tarn_link
