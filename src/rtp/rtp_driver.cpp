// Phase-based estimate of one stored procedure.
#include "tarn_rtp.h"

#include "rtp/rtp_internal.h"
#include "rtp/rtp_tones.h"
#include "tarn_diag.h"

using namespace tarn_rtp;

extern "C" {

int RTP_calcEstimate(CsContext *ctx) {
    DEBUG_LOG(3, "%s ENTER \n", "RTP_calcEstimate");
    if (ctx == nullptr || ctx->meas == nullptr || ctx->opts == nullptr) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    const CsMeasurement *meas = ctx->meas;
    const int nap = static_cast<int8_t>(meas->NAP);
    DEBUG_LOG(0, "NAP %d", nap);

    // Pending: the calibration-mode option overrides belong here, ahead of
    // the checks; they come with the estimation stages below.

    if (nap < 1 || nap > kPaths) {
        DEBUG_LOG(1, "Incorrect NAP [%d]\n", nap);
        DEBUG_LOG(3, "NAP should be: 1 to %d\n", kPaths);
        return 0;
    }
    if (meas->initSteps == nullptr || meas->reflSteps == nullptr || meas->N == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }

    // Only the count matters until the stages that use the tones exist.
    if (rtpCountTones(*meas) == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }

    // Pending: the estimation stages (gain map through result filter) are
    // not built yet. Until they are there is no phase-based estimate: the
    // result record is left as it is and the invalid phase candidate leaves
    // the round-trip-time result in place.
    DEBUG_LOG(3, "%s EXIT\n", "RTP_calcEstimate");
    return 0;
}

}  // extern "C"
