// The exported tracking filters and combination: adapters over the engine's.
#include "estimators/estimators_internal.h"
#include "tarn_estimators.h"

extern "C" {

void algFilterIir(const ConfigOpts *opts, IirState *presEst, const RangeEstimate *currEst,
                  double *disAvg, double time, int reset) {
    tarn_est::algFilterIir(opts, presEst, currEst, disAvg, time, reset);
}

int algFilterKalman(const ConfigOpts *opts, RangeEstimate *state, const RangeEstimate *currEst,
                    double *P, double *K, double prevTime, double currTime, int reset) {
    return tarn_est::algFilterKalman(opts, state, currEst, P, K, prevTime, currTime, reset);
}

void algFilterSlidingWindow(const ConfigOpts *opts, RangeEstimate *slots,
                            const RangeEstimate *currEst, SlidingWindowCtl *ctl,
                            double *timestamps, double currTime, int reset, RangeEstimate *out) {
    tarn_est::algFilterSlidingWindow(opts, slots, currEst, ctl, timestamps, currTime, reset, out);
}

int alg_combineRttRtp(const CsContext *ctx, const RangeEstimate *rtp, const RangeEstimate *rtt,
                      CsEstimate *result) {
    return tarn_est::alg_combineRttRtp(ctx, rtp, rtt, result);
}

}  // extern "C"
