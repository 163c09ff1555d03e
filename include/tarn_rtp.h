/* Phase-based ranging pipeline. */
#ifndef TARN_RTP_H
#define TARN_RTP_H

#include "tarn_common.h"
#include "tarn_config.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"

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

/* ---- Gain map, channel order, coverage ---------------------------------- */

/* Marks each tone (numTones tones in step order, NAP paths) usable or not
 * from both sides' quality indicators. numTones is at most 256. */
TARN_API void algCalcGmap(const uint8_t (*initToneQual)[TARN_MAX_ANT_PATHS],
                          const uint8_t (*reflToneQual)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                          uint16_t numTones, int8_t NAP, uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS]);

/* Arranges tones in step order into one tone per channel (the earliest tone
 * of each channel 0..78) in rawMeas. pres and opts are not used. */
TARN_API void algOrderChans(const PresState *pres, double timeUs, const uint8_t *toneChannel,
                            const TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                            const TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS],
                            const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                            uint16_t numTones, int8_t NAP, ToneRecord *rawMeas);

/* Coverage confidence (percent) of each path's counted channels (map entry 1);
 * writes all four entries of gconf. */
TARN_API void algCalcGmapConf(const uint8_t (*map)[TARN_MAX_ANT_PATHS], int8_t NAP, uint8_t *gconf);

/* ---- Unwrapping and gap filling ------------------------------------------ */

/* Sequential unwrap of n phases (period 2h) from src into dst. */
TARN_API void algPhaseUnwrap(const double *src, int n, double h, double *dst);

/* Unwraps the phases of k ascending channels (k at most 79), guided by their
 * mean gradient; writes the unwrapped phases to out and the gradient (phase
 * units per channel) to gradient. nap is not used. */
TARN_API void algGradientUnwrap(const int8_t *chan, int k, int8_t nap, const double *phase,
                                double h, double *gradient, double *out);

/* Fills the channel gaps of the one-way response in rawMeas into procMeas;
 * measuredMap marks the measured (not interpolated) channels. pres is not used. */
TARN_API void algFillGaps(const PresState *pres, const ToneRecord *rawMeas, const ConfigOpts *opts,
                          int8_t NAP, ToneRecord *procMeas,
                          uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);

/* Forms the two-way product of rawMeas (also stored in rawMeas->pct) and fills
 * its gaps into procMeas. Returns 0, or -1 when an interpolated amplitude came
 * out negative (the fill is completed all the same). */
TARN_API int8_t algInterpProduct(ToneRecord *rawMeas, const ConfigOpts *opts, int8_t NAP,
                                 ToneRecord *procMeas, uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);

/* ---- Tone processing and calibration ------------------------------------ */

/* ---- Event phase alignment ----------------------------------------------- */

/* ---- Phase-slope estimator ----------------------------------------------- */

/* ---- MUSIC estimator ----------------------------------------------------- */

/* ---- Channel impulse response and MUSIC correction ----------------------- */

/* ---- Antenna-path selection ---------------------------------------------- */

/* ---- Result filter ------------------------------------------------------- */

/* ---- Driver ------------------------------------------------------------- */

/* Phase-based estimate of the link's stored procedure into ctx->result.
 * Returns 1 when the result was written, 0 otherwise. */
TARN_API int RTP_calcEstimate(CsContext *ctx);

TARN_END_DECLS

#endif /* TARN_RTP_H */
