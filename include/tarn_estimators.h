/* Legacy exports: distance estimators and tracking filters (the records they
 * work on are in tarn_estimators_types.h). */
#ifndef TARN_ESTIMATORS_H
#define TARN_ESTIMATORS_H

#include "tarn_estimators_types.h"
#include "tarn_common.h"

TARN_BEGIN_DECLS

/* ---- Tracking filters ---------------------------------------------------- */

/* Confidence-weighted first-order filter: updates presEst from currEst and
 * writes the smoothing weight to disAvg (-1 after a reset). time is unused. */
TARN_API void algFilterIir(const ConfigOpts *opts, IirState *presEst, const RangeEstimate *currEst,
                           double *disAvg, double time, int reset);

/* Constant-position Kalman filter. state.conf holds the error variance; P and
 * K are the caller's variance and gain. Returns 0 after a reset, otherwise the
 * valid flag of currEst. opts is unused. */
TARN_API int algFilterKalman(const ConfigOpts *opts, RangeEstimate *state,
                             const RangeEstimate *currEst, double *P, double *K, double prevTime,
                             double currTime, int reset);

/* Time-limited sliding window: stores currEst in the next of ctl->size slots
 * (at most TARN_MAX_WINDOW_SLOTS are used) and writes out.valid and out.dest
 * (median, mean or trimmed mean of the recent valid slots). reset is unused. */
TARN_API void algFilterSlidingWindow(const ConfigOpts *opts, RangeEstimate *slots,
                                     const RangeEstimate *currEst, SlidingWindowCtl *ctl,
                                     double *timestamps, double currTime, int reset,
                                     RangeEstimate *out);

/* ---- Combination of the two candidates ------------------------------------ */

/* Combines the phase and round-trip-time candidates of one computation into
 * result (distances in metres x distSF): the phase candidate, unless a valid
 * round-trip-time candidate differs from it by more than rtpWithinRttThresh
 * (metres, from ctx's options). Returns 1 when result was written, 0 when the
 * phase candidate is not valid (result untouched). */
TARN_API int alg_combineRttRtp(const CsContext *ctx, const RangeEstimate *rtp,
                               const RangeEstimate *rtt, CsEstimate *result);

TARN_END_DECLS

#endif /* TARN_ESTIMATORS_H */
