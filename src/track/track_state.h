/* Motion tracking: the per-link state of the moving-target mode (library
 * internal; the flags a host reads are in tarn_interface.h).
 *
 * A link in tracking mode 1 ("moving", set with tarnSetTrackingMode, see
 * tarn_interface.h) follows its target with one two-state tracker (distance
 * and radial speed), compensates the motion within each procedure and
 * delivers the tracked distance. The records below are that state; they
 * sit in the state the library allocates for each link beside its registry
 * entry, are written by the library only (the worker, and the host
 * functions while they hold the registry lock). Hosts do not read or write
 * them; their layout is not a wire format and may change between versions. */
#ifndef TARN_TRACK_STATE_H
#define TARN_TRACK_STATE_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

/* Steps of one stored procedure the intake's layout covers (TARN_MAX_STEPS). */
#define TARN_MOTION_MAX_STEPS 256
/* Subevents of one stored procedure whose layout the intake keeps. */
#define TARN_MOTION_MAX_SUBEVENTS 32

/* Two-state tracker: distance and radial speed, with their covariance.
 * Distances in metres, speeds in metres per second (positive: the devices
 * move apart), times in seconds on the procedures' clock. */
typedef struct TarnMotionTrack {
    uint8_t valid;      /* 1: dist/speed/P describe the target */
    uint8_t misses;     /* consecutive distance measurements rejected */
    uint16_t updates;   /* distance measurements taken since the start */
    double time;        /* s, time the state refers to */
    double lastUpdate;  /* s, time of the latest distance measurement taken */
    double dist;        /* m */
    double speed;       /* m/s */
    double pDD;         /* covariance: distance variance, m^2 */
    double pDV;         /* distance-speed covariance, m^2/s */
    double pVV;         /* speed variance, m^2/s^2 */
    double missDist;    /* m, the latest rejected distance (restart candidate) */
    double missTime;    /* s, its time */
    uint8_t speedMisses; /* consecutive speed measurements rejected */
    double missSpeed;   /* m/s, the latest rejected speed */
} TarnMotionTrack;

/* The link's own step duration, learned when the host gives no step timing:
 * scale = true step duration / the nominal one (times within a subevent are
 * nominal x scale). Its evidence: per procedure, the factor that lines the
 * tones up within their subevents at the speed the track sees; or, where
 * the speed itself carries the scale, segments of about a second comparing
 * the track's displacement with what the tones' speeds add up to. Each
 * round of evidence rescales; a round that finds the factor 1 confirms it. */
typedef struct TarnStepScale {
    uint8_t known;    /* 1: the latest round confirmed the scale in use */
    uint8_t rounds;   /* rounds completed (saturates at 255) */
    uint16_t samples; /* segments in the current round */
    double scale;     /* in use; 0 (zero-filled) reads as 1 */
    double sumXY;     /* current round: weighted sums of the regression */
    double sumYY;     /*   (displacement difference on displacement x sensitivity) */
    double bound;     /* largest scale the subevent time stamps allow; 0: none */
    /* The open segment: since segTime (s) at track distance segDist (m),
     * the measured speeds integrated (m), with their variance (m^2), and
     * the mean sensitivity of those measurements. */
    uint8_t segOpen;
    uint16_t segCount;
    double segTime;
    double segDist;
    double segLastTime;
    double segMoved;
    double segMovedVar;
    double segSens;
} TarnStepScale;

/* Everything the moving-target mode keeps per link. Zero-filled: mode 0. */
typedef struct TarnLinkMotion {
    uint32_t modeKey;     /* TARN_MOTION_MODE_KEY: mode 1; anything else: mode 0 */
    uint8_t switched;     /* the mode changed since the last computation */
    uint8_t timingSource; /* 0 none, 1 nominal step durations only, 2 subevent time stamps */
    uint16_t timingCount; /* steps of the stored procedure the subevents below hold */
    /* The stored procedure's subevents (the admitted ones holding steps, in
     * order; a step-level record is one): steps of each, and the start of
     * each in s after the procedure's first time stamp (NaN: no usable time
     * stamp, it follows the previous one). A given step timing times the
     * steps from them at the computation. */
    uint8_t subeventCount;
    uint16_t subeventSteps[TARN_MOTION_MAX_SUBEVENTS];
    float subeventStartS[TARN_MOTION_MAX_SUBEVENTS];
    TarnMotionTrack track;
    /* Round-trip candidate of mode 1: the raw round trip minus the track,
     * smoothed (its multipath bias and noise), added back to the track. */
    uint8_t rttOffsetValid;
    double rttOffset;     /* m */
    double rttOffsetTime; /* s */
    /* Spread of the phase candidates: the latest changes from one candidate
     * to the next less the track's motion in between (m, capped), whose
     * median sets the candidates' variance where it is larger than their
     * confidence says (multipath). */
    float phaseDiff[16];
    uint8_t phaseDiffCount;
    uint8_t phaseDiffNext;
    double prevPhaseM;    /* m, the latest phase candidate taken into the spread */
    double prevPhaseTime; /* s, its time */
    /* How sharp the link's procedures come out at their measured speed
     * (relative to their tone count, smoothed; 0: not yet): a search that
     * falls far below it missed the speed. */
    double sharpRef;
    double lastPhaseM;    /* m, the latest phase distance given to the tracker (NaN none) */
    double lastConf;      /* confidence of the latest delivered mode-1 result */
    /* What the latest computation did (read into TarnLatestComputation). */
    uint32_t lastMode;    /* tracking mode it ran in */
    uint32_t lastTimingOrigin; /* TARN_TIMING_* the steps were timed by */
    double lastStepScale; /* true step / step timing used (1 unless learned) */
    uint32_t lastFlags;   /* TARN_TRACK_FLAG_* */
    double lastSpeed;     /* m/s */
    double lastSpeedSd;   /* m/s; negative: none */
    TarnStepScale stepScale; /* learned step duration (no step timing given) */
    /* A target standing still: consecutive procedures whose tones showed no
     * motion, and those that showed some (the link computes and delivers as
     * the default tracking does from a few of the first to a few of the
     * second; a new track starts still). */
    uint8_t stillCount;
    uint8_t movingCount;
    uint8_t stillActive; /* the latest computation was one of a still target */
    uint8_t stillRttMisses; /* round trips in a row far from a still target */
} TarnLinkMotion;

#define TARN_MOTION_MODE_KEY 0x4d4f5631u /* "MOV1" */

TARN_END_DECLS

#endif /* TARN_TRACK_STATE_H */
