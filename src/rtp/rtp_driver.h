// The phase pipeline's entry point on the road, its work area and the
// internal pieces its tests reach (not exported).
#pragma once

#include "rtp/rtp_cir.h"
#include "rtp/rtp_internal.h"
#include "rtp/rtp_motion.h"
#include "rtp/rtp_music.h"
#include "rtp/rtp_tones.h"
#include "rtp/rtp_stages.h"

namespace tarn_rtp {

// Everything one phase estimate works on. The worker owns one and hands it
// down; its contents are the latest computation's until the next one (the
// impulse-response extension reads them during the result callback).
struct PhaseWork {
    // Cleared at the start of every computation, from `tones` up to `cir`.
    RtpTones tones;
    uint8_t toneGmap[TARN_MAX_TONES][TARN_MAX_ANT_PATHS];
    TarnCplxD initToneC[TARN_MAX_TONES][TARN_MAX_ANT_PATHS];
    TarnCplxD reflToneC[TARN_MAX_TONES][TARN_MAX_ANT_PATHS];
    ToneRecord rawMeas;
    ToneRecord procMeas;
    uint8_t measuredMap[TARN_NUM_CHANNELS][TARN_MAX_ANT_PATHS];
    RangeEstimate productEstimate;
    PhaseResult phase;
    MusicResult music;
    CirEstimate cirEstimate;
    uint8_t rawGconf[TARN_MAX_ANT_PATHS];
    // Antenna paths whose impulse response the latest computation formed.
    int cirPaths;
    // The impulse response's transform area (overwritten, never cleared).
    CirWork cir;
    // MUSIC's own work area (nothing carries over between calls).
    MusicWorkspace musicWork;
    // What the computation leaves for the link's options (keepOptionWrites):
    // the calibration run's table, and whether MUSIC ran (its channel-centre
    // bound leaves its order sets behind). Set by every computation.
    CalTableUpdate cal;
    bool musicRan;
    // The options the stages after MUSIC read, when they differ from the
    // options in force (optionsAfterMusic).
    ConfigOpts afterMusic;
};

// What one phase estimate gives.
struct PhaseOutcome {
    bool done;    // an estimate was formed (it may say "no distance": conf -1)
    bool failed;  // tone processing failed (pctMode other than 0 and 1, or
                  // a failed interpolation)
    // The link's tracked estimate as delivered: dest in metres x distSF,
    // conf the delivered signed byte as a double. valid 1 when done.
    RangeEstimate estimate;
    // The result filter started over with this procedure (no usable
    // previous estimate, a gap, repeated invalid procedures).
    bool restarted;
    // The estimate is this procedure's own; false when the result filter
    // held an earlier one over (nothing of this procedure survived).
    bool fresh;
};

// The phase pipeline of the link's stored procedure `meas` at `timeUs`
// (microseconds): tones, per-path estimates, path selection and the result
// filter. `link` (the link's PresState: the tracked estimate, counters,
// calibration run) and `filters` (the memory of its result filter) are
// updated in place; nothing else of the link is touched. opts, the options
// in force, are only read: what the computation leaves for the link's
// options is in `work` until keepOptionWrites writes it there. `motion`
// (tracking mode 1; null otherwise) asks for the within-procedure motion
// compensation and gets what it found. The worker's thread; `work` and
// `motion` are the caller's.
PhaseOutcome phaseEstimate(const CsMeasurement &meas, double timeUs, const ConfigOpts &opts,
                           PresState &link, NewPresState &filters, PhaseWork &work,
                           MotionRequest *motion);

// Writes into the link's options what the latest computation in `work`
// leaves there for the host to read back: a calibration run's table and
// switches, and the order sets MUSIC's channel-centre bound leaves. The
// link's own options record, also when the computation ran on a copy.
void keepOptionWrites(ConfigOpts &linkOpts, const PhaseWork &work);

// Calibration mode (EnableCal 1): the overrides of the phase pipeline,
// written into the link's options where they stay (they show in the options
// dump and in the record a host reads back) until a record is installed
// again; then dumps the options. Nothing without calibration mode.
void applyPhaseCalibrationMode(ConfigOpts &opts);

// True when tracking restarts with a procedure at `now` seconds: no usable
// previous estimate within fiMaxPeriod, or the invalid-procedure counter at
// inValidCounterMax (which it then clears).
bool rtpResetDecision(PresState &pres, const ConfigOpts &opts, double now);

// Impulse-response magnitudes of antenna path `path` as the latest
// computation in `work` measured them; opts must be the options it ran with.
// Tap k lies at *firstM + k x *tapM metres. Returns the transform size
// written to out, or 0 when that computation did not reach the stage, path
// is not one of its paths, capacity is too small or the response has no
// finite value.
int phaseImpulseResponse(PhaseWork &work, const ConfigOpts &opts, int path, double *out,
                         int capacity, double *tapM, double *firstM);

}  // namespace tarn_rtp
