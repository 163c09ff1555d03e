/* Records of the phase-based ranging pipeline: the tones of one procedure by
 * channel and path, the estimators' output blocks and the pipeline's sizes
 * (records only; the exported stage functions are declared in tarn_rtp.h). */
#ifndef TARN_RTP_TYPES_H
#define TARN_RTP_TYPES_H

#include "tarn_common.h"
#include "tarn_config_types.h"
#include "tarn_estimators_types.h"
#include "tarn_measurement_types.h"

TARN_BEGIN_DECLS

/* Channel slots of a procedure (channel index 0..78, 1 MHz apart). */
#define TARN_NUM_CHANNELS 79
/* Tone steps a stored procedure can hold. */
#define TARN_MAX_TONES 256

/* One procedure's tones by channel and antenna path. Row k of every array is
 * channel chanList[k] = k. Rows of channels without a tone hold zeros, and so
 * do the columns of paths the procedure does not have. */
typedef struct ToneRecord {
    double productDist[TARN_MAX_ANT_PATHS]; /* product-channel distance, m x distSF */
    uint8_t productValid[TARN_MAX_ANT_PATHS];
    double timeUs; /* procedure time, microseconds */
    double prior;  /* distance rotated out of the tones, m */
    uint8_t chanList[TARN_NUM_CHANNELS];
    uint8_t gconf[TARN_MAX_ANT_PATHS];                   /* coverage confidence per path, percent */
    uint8_t gmap[TARN_NUM_CHANNELS][TARN_MAX_ANT_PATHS]; /* 1 = usable tone */
    TarnCplxF initPct[TARN_NUM_CHANNELS][TARN_MAX_ANT_PATHS];
    TarnCplxF reflPct[TARN_NUM_CHANNELS][TARN_MAX_ANT_PATHS];
    TarnCplxD pct[TARN_NUM_CHANNELS][TARN_MAX_ANT_PATHS];
} ToneRecord;

/* ---- Estimator output blocks ---------------------------------------------
 * Owned by the caller (the phase driver keeps them for one call). Distances
 * in metres x distSF unless said otherwise; confidences in percent, -1 none;
 * 2147483647.0 marks a slot without a distance. */

/* MUSIC order slots: up to 7 orders per path, 28 slots leave room for the
 * slot shift of the 7-order override. */
#define TARN_MUSIC_SLOTS 28

/* Phase-slope estimate per antenna path. */
typedef struct PhaseResult {
    uint64_t reserved; /* not read or written by the estimators */
    double pdest[TARN_MAX_ANT_PATHS]; /* m x distSF */
    double pconf[TARN_MAX_ANT_PATHS]; /* 0..100, whole numbers */
    double phFit[TARN_MAX_ANT_PATHS]; /* phase-fit error, degrees */
} PhaseResult;

/* MUSIC estimate per (order slot, antenna path). Zeroed by the caller. */
typedef struct MusicResult {
    uint8_t valid[TARN_MUSIC_SLOTS][TARN_MAX_ANT_PATHS];
    double dest[TARN_MUSIC_SLOTS][TARN_MAX_ANT_PATHS]; /* m x distSF */
    double conf[TARN_MUSIC_SLOTS][TARN_MAX_ANT_PATHS]; /* 1..100, -1 invalid */
    double musicStd[TARN_MAX_ANT_PATHS];                /* m x distSF */
    uint8_t pathValid[TARN_MAX_ANT_PATHS];
} MusicResult;

/* Channel impulse response figures per antenna path. */
typedef struct CirEstimate {
    uint64_t reserved; /* not written by the estimator */
    double cirDist[TARN_MAX_ANT_PATHS];          /* m; -1 = no early peak */
    double energy[TARN_MAX_ANT_PATHS];           /* sum of squared magnitudes */
    double maxToMeanCirDB[TARN_MAX_ANT_PATHS];   /* dB */
    double maxToMedianCirDB[TARN_MAX_ANT_PATHS]; /* dB */
    double delaySpread[TARN_MAX_ANT_PATHS];      /* RMS, m */
    uint16_t numPeaks[TARN_MAX_ANT_PATHS];
    uint16_t numPeaksBeforeMaxPeak[TARN_MAX_ANT_PATHS];
} CirEstimate;

/* Most repeated channels looked for between neighbouring events. */
#define TARN_MAX_EVENT_REPS 5

/* Row stride (elements) of the covariance matrices; sizes up to 28 x 28. */
#define TARN_MUSIC_COV_STRIDE 28

/* Transform size the impulse response uses: ifftSize when it is a power of two
 * from 128 to 16384, otherwise 512. */
#define TARN_CIR_DEFAULT_SIZE 512
#define TARN_CIR_MAX_SIZE 16384

TARN_END_DECLS

#endif /* TARN_RTP_TYPES_H */
