/* Round-trip-time distance estimator. */
#ifndef TARN_RTT_H
#define TARN_RTT_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

/* Distance from the stored procedure's mode-1/mode-3 ToA_ToD values, tracked
 * over time; writes the link's result record. Returns 1 when it wrote a
 * distance, 0 when the procedure gave none (no round-trip step, fewer usable
 * steps than minRttStepsForDistEstimation, or a dropped negative distance);
 * then the result record and the tracking state are left as they were. Runs on the
 * calling thread without blocking; ctx stays the caller's. Its sliding
 * window lives in the shared gNewPres, so outside the worker hold
 * csContextListlock around the call. */
TARN_API int RTT_calcEstimate(CsContext *ctx);

TARN_END_DECLS

#endif /* TARN_RTT_H */
