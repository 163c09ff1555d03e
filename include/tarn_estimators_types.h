/* Records of the distance estimators and tracking filters: the estimate
 * passed between filters and the filter states (records only; the exported
 * filter functions are declared in tarn_estimators.h). */
#ifndef TARN_ESTIMATORS_TYPES_H
#define TARN_ESTIMATORS_TYPES_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

/* An estimate passed between filters, and the state the Kalman filter and
 * the sliding windows keep. Distances in metres (or metres x distSF where the
 * caller says so), confidence in percent (-1 = none). */
typedef struct RangeEstimate {
    uint8_t valid; /* 1 = usable */
    double dest;
    double conf;
    double vest; /* velocity, m/s */
} RangeEstimate;

/* State of the confidence-weighted IIR filter (the caller's previous output). */
typedef struct IirState {
    uint8_t valid;
    double dest;
    double conf;
} IirState;

/* Control of a sliding window; the caller owns the slots and timestamps. */
typedef struct SlidingWindowCtl {
    uint16_t size;      /* number of slots */
    uint16_t frameSize; /* 0 median, 100 mean, 1..99 trimmed mean (percent) */
    uint16_t index;     /* slot written last */
} SlidingWindowCtl;

/* Fixed capacities of the tracking state. */
#define TARN_MAX_WINDOW_SLOTS 20
#define TARN_MAX_MUSIC_ORDERS 7
#define TARN_MAX_ANT_PATHS 4

/* Integrity flags of a computation (TarnLatestComputation.integrityFlags,
 * tarn_interface.h). Each is a statement
 * about this procedure, set in every combination mode; the rules use
 * J = sqrt(phaseSigmaM^2 + rttSigmaM^2), the joint uncertainty, and
 * TARN_INTEGRITY_MULTIPATH_ALLOWANCE_M, how long an honest round trip may
 * read under multipath. */
/* Both candidates valid and |phase - round trip| > 3 J. */
#define TARN_INTEGRITY_DISAGREE 0x001u
/* The phase distance (the phase candidate; without one, the median of the
 * antenna paths' phase-slope distances, which a manipulation can push below
 * zero where the pipeline gives no distance) is shorter than the round
 * trip's lower bound (round trip - allowance) by more than 2 J: something
 * advanced the phase
 * (manipulation suspected). A reflector cannot advance the round trip's
 * timing when it is protected by a random sequence. */
#define TARN_INTEGRITY_MANIPULATION 0x002u
/* The response holds more than one significant path: a two-path fit of one
 * antenna path's channel response finds a second path at least 0.6 m from
 * the first with at least a quarter of the stronger one's amplitude, and
 * it explains the response clearly better than one path does. */
#define TARN_INTEGRITY_MULTIPATH 0x004u
/* Direct path possibly blocked: of those two paths the earlier one is the
 * weaker (below 0.8 of the later one's amplitude); firstPathM gives it. */
#define TARN_INTEGRITY_BLOCKED 0x008u
/* Residual frequency offset or phase jumps: neighbouring channels (up to
 * 4 MHz apart) measured in different subevents (runs of tone steps between
 * mode-0 steps) turn against each other by more than 45 degrees on average
 * beyond the turn of same-subevent neighbours, and by 25 degrees more than
 * those vary among themselves. */
#define TARN_INTEGRITY_PHASE_JUMPS 0x010u
/* The tracking (re)started with this computation: the phase pipeline's
 * filters reset (first procedure, a gap, repeated invalid procedures) or
 * the moving-target tracker started over. */
#define TARN_INTEGRITY_RESTARTED 0x020u
/* The round trip is not known to be protected by a random sequence: the
 * link's RTT type (given with tarnSetStepTiming) is AA-only (0) or a fixed
 * sounding sequence (1, 2), or the host did not give it. */
#define TARN_INTEGRITY_RTT_UNPROTECTED 0x040u
/* The delivered distance is the round trip (guarded combination: the phase
 * distance was refused, or there was none). */
#define TARN_INTEGRITY_RTT_DELIVERED 0x080u
/* The delivered distance follows the first path of a blocked direct path
 * (guarded combination or tracking mode 1). */
#define TARN_INTEGRITY_FIRST_PATH 0x100u
/* The delivered distance fuses both candidates by their uncertainties. */
#define TARN_INTEGRITY_FUSED 0x200u

/* How far an honest round trip may read long under multipath, metres. */
#define TARN_INTEGRITY_MULTIPATH_ALLOWANCE_M 1.0

TARN_END_DECLS

#endif /* TARN_ESTIMATORS_TYPES_H */
