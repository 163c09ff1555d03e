// The exported round-trip-time estimator: the engine's on the caller's
// context, with the shared gNewPres as its sliding window.
#include "rtt/rtt_internal.h"
#include "tarn_diag.h"
#include "tarn_measurement.h"
#include "tarn_rtt.h"

extern "C" int RTT_calcEstimate(CsContext *ctx) {
    if (ctx == nullptr || ctx->meas == nullptr || ctx->opts == nullptr || ctx->pres == nullptr ||
        ctx->result == nullptr) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    // The entry point's contract: calibration mode rewrites the link's
    // options, and the sliding window is the shared gNewPres's.
    tarn_rtt::applyRttCalibrationMode(*ctx->opts);
    const RangeEstimate c =
        tarn_rtt::rttEstimate(*ctx->meas, ctx->timeUs, *ctx->opts, *ctx->pres, gNewPres);
    if (c.valid != 1) return 0;
    ctx->result->conf = 0;
    ctx->result->dest = c.dest;
    return 1;
}
