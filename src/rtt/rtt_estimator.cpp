// Round-trip-time distance: median time of flight of the usable mode-1/mode-3
// steps, converted to metres and tracked over time.
#include "tarn_rtt.h"

#include "tarn_config.h"
#include "tarn_diag.h"
#include "tarn_measurement.h"

extern "C" {

int RTT_calcEstimate(CsContext *ctx) {
    if (ctx == nullptr || ctx->meas == nullptr || ctx->opts == nullptr) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    ConfigOpts *opts = ctx->opts;
    if (opts->EnableCal == 1) {
        opts->rttDisCalAA = 0.0;
        opts->fiMaxPeriod = 0;
    }
    const CsMeasurement *meas = ctx->meas;
    if (meas->initSteps == nullptr || meas->reflSteps == nullptr || meas->N == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    // The estimate itself lands with the tracking filters.
    DEBUG_LOG(1, "No measurement data found.\n");
    return 0;
}

}  // extern "C"
