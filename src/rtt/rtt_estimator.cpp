// Round-trip-time distance: median time of flight of the usable mode-1/mode-3
// steps, converted to metres and tracked over time.
#include "common/numeric.h"
#include "diag/log_texts.h"
#include "tarn_rtt.h"

#include <cstring>

#include "tarn_config.h"
#include "tarn_diag.h"
#include "tarn_estimators.h"
#include "tarn_math.h"
#include "tarn_measurement.h"

namespace {

constexpr int kModeRtt = tarn_common::kStepModeRtt;

struct RttSample {
    int aaQual;
    int initTime;
    int reflTime;
};

RttSample sampleOf(const CsStepSlot &init, const CsStepSlot &refl, int mode) {
    if (mode == kModeRtt) {
        return {init.step.mode1.aaQual, init.step.mode1.timeEst, refl.step.mode1.timeEst};
    }
    return {init.step.tone.aaQual, init.step.tone.timeEst, refl.step.tone.timeEst};
}

uint16_t clampWindow(uint16_t size) {
    return size > TARN_MAX_WINDOW_SLOTS ? TARN_MAX_WINDOW_SLOTS : size;
}

uint16_t clampFrame(uint16_t frame) {
    return frame > 100 ? 100 : frame;
}

}  // namespace

extern "C" {

int RTT_calcEstimate(CsContext *ctx) {
    RangeEstimate currEst;
    RangeEstimate kalmanState;
    double tofs[TARN_MAX_STEPS];
    std::memset(&currEst, 0, sizeof currEst);
    std::memset(&kalmanState, 0, sizeof kalmanState);
    std::memset(tofs, 0, sizeof tofs);

    if (ctx == nullptr || ctx->meas == nullptr || ctx->opts == nullptr || ctx->pres == nullptr ||
        ctx->result == nullptr) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    ConfigOpts *opts = ctx->opts;
    // Calibration wants raw distances: no offset and no tracking memory.
    if (opts->EnableCal == 1) {
        opts->rttDisCalAA = 0.0;
        opts->fiMaxPeriod = 0;
    }

    const CsMeasurement *meas = ctx->meas;
    if (meas->initSteps == nullptr || meas->reflSteps == nullptr || meas->N == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    const double now = ctx->timeUs / 1000000.0;

    // The stored procedure never holds more than the context's slots.
    const int numSteps = meas->N > TARN_MAX_STEPS ? TARN_MAX_STEPS : meas->N;
    const CsStepSlot *initSlots = reinterpret_cast<const CsStepSlot *>(meas->initSteps);
    const CsStepSlot *reflSlots = reinterpret_cast<const CsStepSlot *>(meas->reflSteps);
    bool seen = false;
    uint16_t count = 0;
    uint16_t nTof = 0;
    int negativeTofs = 0;
    for (int i = 0; i < numSteps; ++i) {
        const int mode = meas->modes[i];
        if (!tarn_common::isRttMode(mode)) continue;
        const RttSample s = sampleOf(initSlots[i], reflSlots[i], mode);
        DEBUG_LOG(2, "Init toatod  %d, Refl Toatod %d, aaQual %d", s.initTime, s.reflTime,
                  s.aaQual);
        seen = true;
        if (s.aaQual != 0) continue;
        ++count;
        const double tof = static_cast<double>(s.initTime - s.reflTime) * 0.5;
        if (tof < 0.0) ++negativeTofs;
        if (tof < 0.0 && opts->dropNegativeRTTTof != 0) continue;
        if (!(tof < opts->rttTofUpperBond)) continue;
        tofs[nTof++] = tof;
        DEBUG_LOG(2, " tof %lf", tof);
    }
    if (!seen) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }

    if (static_cast<uint32_t>(count) < static_cast<uint32_t>(opts->minRttStepsForDistEstimation)) {
        DEBUG_LOG(1, "No valid measurement data found.\n");
    } else if (nTof != 0) {
        const double median = aaMathCalcMedianDoubleLong(tofs, nTof);
        DEBUG_LOG(3, "ToFMedian %lf\n", median);
        // The median is a one-way time in 0.5 ns units.
        const double raw = median * 0.5 * opts->sol / 1000000000.0 + opts->rttDisCalAA;
        DEBUG_LOG(0, "RTT estimate raw : %lf\n", raw);
        currEst.dest = raw;
        if (raw < 0.0 && opts->dropNegativeRTTDistances == 1) {
            currEst.valid = 0;
            currEst.conf = 0.0;
        } else {
            currEst.valid = 1;
            currEst.conf = 100.0;
        }
    }
    const double formedDest = currEst.dest;
    if (currEst.valid != 1) {
        // Without a distance of its own the procedure says nothing about the
        // link: the filters keep their state and nothing is delivered (the
        // window would otherwise hand back an old or a zero distance as new).
        DEBUG_LOG(2, "Negative Tof Count %d", negativeTofs);
        DEBUG_LOG(2, "No round-trip distance: tracking state kept.\n");
        return 0;
    }

    PresState *pres = ctx->pres;
    int reset = 0;
    if (pres->rttTime < 0.0 || now - pres->rttTime > opts->rttFiMaxPeriod) reset = 1;
    DEBUG_LOG(3, "TimeUS %lf , pres->rttTime %lf , reset %d\n", now, pres->rttTime, reset);

    kalmanState.dest = pres->rttDest;
    kalmanState.conf = pres->rttP;
    gNewPres.rttK = pres->rttK;
    gNewPres.rttP = pres->rttP;
    gNewPres.time = pres->rttTime;

    // The window's size and frame come from the options at every use, limited
    // to what its arrays hold, so the state never describes a larger window.
    auto runWindow = [&](const RangeEstimate &input) {
        gNewPres.rttWinCtl.size = clampWindow(opts->rttSlidingWindowSize);
        gNewPres.rttWinCtl.frameSize = clampFrame(opts->rttSlidingWindowFrameSize);
        algFilterSlidingWindow(opts, gNewPres.rttWin, &input, &gNewPres.rttWinCtl,
                               gNewPres.rttWinTime, now, reset, &gNewPres.rttOut);
    };

    double delivered;
    switch (opts->rttFilterType) {
        case TARN_RTT_FILTER_KALMAN:
            algFilterKalman(opts, &kalmanState, &currEst, &gNewPres.rttP, &gNewPres.rttK,
                            pres->rttTime, now, reset);
            delivered = kalmanState.dest;
            break;
        case TARN_RTT_FILTER_WINDOW:
            runWindow(currEst);
            kalmanState.dest = gNewPres.rttOut.dest;
            delivered = gNewPres.rttOut.dest;
            break;
        case TARN_RTT_FILTER_KALMAN_WINDOW:
            algFilterKalman(opts, &kalmanState, &currEst, &gNewPres.rttP, &gNewPres.rttK,
                            pres->rttTime, now, reset);
            runWindow(kalmanState);
            delivered = gNewPres.rttOut.dest;
            break;
        default:
            delivered = formedDest;
            break;
    }
    DEBUG_LOG(2, "Negative Tof Count %d", negativeTofs);

    pres->rttDest = kalmanState.dest;
    pres->rttK = gNewPres.rttK;
    pres->rttTime = now;
    pres->rttP = gNewPres.rttP;
    if (opts->EnableCal == 1) pres->rttDest = formedDest;

    ctx->result->conf = 0;
    ctx->result->dest = delivered * opts->distSF;
    DEBUG_LOG(0, tarn_diag::kLogRttDistance, delivered, 0);
    return 1;
}

}  // extern "C"
