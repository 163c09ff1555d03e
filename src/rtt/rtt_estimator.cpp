// Round-trip-time distance: median time of flight of the usable mode-1/mode-3
// steps, converted to metres and tracked over time.
#include "rtt/rtt_internal.h"

#include <cmath>
#include <cstring>

#include "common/numeric.h"
#include "diag/log_texts.h"
#include "estimators/estimators_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

using tarn_est::algFilterKalman;
using tarn_est::algFilterSlidingWindow;

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

// Spread of the accepted times of flight (0.5 ns units) around their median,
// in metres: the robust standard deviation of one step and of the median.
// Quantisation to whole units is the floor of a step's spread.
void measureSpread(double *tofs, int n, double median, const ConfigOpts &opts,
                   tarn_rtt::RttSpread *out) {
    const double unitM = 0.5 * opts.sol / 1000000000.0;
    for (int i = 0; i < n; ++i) tofs[i] = std::fabs(tofs[i] - median);
    const double mad = aaMathCalcMedianDoubleLong(tofs, static_cast<uint16_t>(n));
    const double quant = 1.0 / std::sqrt(12.0);
    const double sd = std::sqrt(1.4826 * mad * 1.4826 * mad + quant * quant) * unitM;
    out->steps = n;
    out->stepSdM = sd;
    // A median's spread is sqrt(pi/2) times the mean's for normal errors.
    out->medianSdM = 1.2533 * sd / std::sqrt(static_cast<double>(n));
}

// The procedure's current distance (metres) from its usable times of flight.
// Returns false when the procedure holds no round-trip step at all.
bool currentEstimate(const CsMeasurement &meas, const ConfigOpts &opts, RangeEstimate &currEst,
                     int &negativeTofs, tarn_rtt::RttSpread *spread) {
    double tofs[TARN_MAX_STEPS];
    // The stored procedure never holds more than the context's slots.
    const int numSteps = meas.N > TARN_MAX_STEPS ? TARN_MAX_STEPS : meas.N;
    const CsStepSlot *initSlots = reinterpret_cast<const CsStepSlot *>(meas.initSteps);
    const CsStepSlot *reflSlots = reinterpret_cast<const CsStepSlot *>(meas.reflSteps);
    bool seen = false;
    uint16_t count = 0;
    uint16_t nTof = 0;
    for (int i = 0; i < numSteps; ++i) {
        const int mode = meas.modes[i];
        if (!tarn_common::isRttMode(mode)) continue;
        const RttSample s = sampleOf(initSlots[i], reflSlots[i], mode);
        DEBUG_LOG(2, "Init toatod  %d, Refl Toatod %d, aaQual %d", s.initTime, s.reflTime,
                  s.aaQual);
        seen = true;
        if (s.aaQual != 0) continue;
        ++count;
        const double tof = static_cast<double>(s.initTime - s.reflTime) * 0.5;
        if (tof < 0.0) ++negativeTofs;
        if (tof < 0.0 && opts.dropNegativeRTTTof != 0) continue;
        if (!(tof < opts.rttTofUpperBond)) continue;
        tofs[nTof++] = tof;
        DEBUG_LOG(2, " tof %lf", tof);
    }
    if (!seen) return false;

    if (static_cast<uint32_t>(count) < static_cast<uint32_t>(opts.minRttStepsForDistEstimation)) {
        DEBUG_LOG(1, "No valid measurement data found.\n");
    } else if (nTof != 0) {
        const double median = aaMathCalcMedianDoubleLong(tofs, nTof);
        DEBUG_LOG(3, "ToFMedian %lf\n", median);
        // The median is a one-way time in 0.5 ns units.
        const double raw = median * 0.5 * opts.sol / 1000000000.0 + opts.rttDisCalAA;
        DEBUG_LOG(0, "RTT estimate raw : %lf\n", raw);
        currEst.dest = raw;
        const bool dropped = raw < 0.0 && opts.dropNegativeRTTDistances == 1;
        currEst.valid = dropped ? 0 : 1;
        currEst.conf = dropped ? 0.0 : 100.0;
        if (spread != nullptr) measureSpread(tofs, nTof, median, opts, spread);
    }
    return true;
}

// Tracks the current estimate: the Kalman filter on the link's state, the
// sliding window on the filters' memory. Returns the distance to deliver
// (metres).
double track(const RangeEstimate &currEst, double now, const ConfigOpts &opts, PresState &link,
             NewPresState &filters) {
    int reset = 0;
    if (link.rttTime < 0.0 || now - link.rttTime > opts.rttFiMaxPeriod) reset = 1;
    DEBUG_LOG(3, "TimeUS %lf , pres->rttTime %lf , reset %d\n", now, link.rttTime, reset);

    RangeEstimate kalmanState = {};
    kalmanState.dest = link.rttDest;
    kalmanState.conf = link.rttP;
    // The window's size and frame come from the options at every use, limited
    // to what its arrays hold, so the state never describes a larger window.
    auto runWindow = [&](const RangeEstimate &input) {
        filters.rttWinCtl.size = clampWindow(opts.rttSlidingWindowSize);
        filters.rttWinCtl.frameSize = clampFrame(opts.rttSlidingWindowFrameSize);
        algFilterSlidingWindow(&opts, filters.rttWin, &input, &filters.rttWinCtl,
                               filters.rttWinTime, now, reset, &filters.rttOut);
    };
    double delivered = currEst.dest;
    switch (opts.rttFilterType) {
        case TARN_RTT_FILTER_KALMAN:
            algFilterKalman(&opts, &kalmanState, &currEst, &link.rttP, &link.rttK, link.rttTime, now,
                            reset);
            delivered = kalmanState.dest;
            break;
        case TARN_RTT_FILTER_WINDOW:
            runWindow(currEst);
            kalmanState.dest = filters.rttOut.dest;
            delivered = filters.rttOut.dest;
            break;
        case TARN_RTT_FILTER_KALMAN_WINDOW:
            algFilterKalman(&opts, &kalmanState, &currEst, &link.rttP, &link.rttK, link.rttTime, now,
                            reset);
            runWindow(kalmanState);
            delivered = filters.rttOut.dest;
            break;
        default:
            break;
    }
    link.rttDest = opts.EnableCal == 1 ? currEst.dest : kalmanState.dest;
    link.rttTime = now;
    return delivered;
}

}  // namespace

RangeEstimate tarn_rtt::rttEstimate(const CsMeasurement &meas, double timeUs,
                                    const ConfigOpts &opts, PresState &link,
                                    NewPresState &filters, RttSpread *spread) {
    RangeEstimate none = {};
    if (spread != nullptr) *spread = RttSpread();
    if (meas.initSteps == nullptr || meas.reflSteps == nullptr || meas.N == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return none;
    }
    RangeEstimate currEst = {};
    int negativeTofs = 0;
    if (!currentEstimate(meas, opts, currEst, negativeTofs, spread)) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return none;
    }
    DEBUG_LOG(2, "Negative Tof Count %d", negativeTofs);
    if (currEst.valid != 1) {
        // Without a distance of its own the procedure says nothing about the
        // link: the filters keep their state and nothing is delivered (the
        // window would otherwise hand back an old or a zero distance as new).
        DEBUG_LOG(2, "No round-trip distance: tracking state kept.\n");
        return none;
    }
    const double delivered = track(currEst, timeUs / 1000000.0, opts, link, filters);
    DEBUG_LOG(0, tarn_diag::kLogRttDistance, delivered, 0);
    return RangeEstimate{1, delivered * opts.distSF, 0.0, 0.0};
}

void tarn_rtt::applyRttCalibrationMode(ConfigOpts &opts) {
    // Calibration wants raw distances: no offset and no tracking memory.
    if (opts.EnableCal != 1) return;
    opts.rttDisCalAA = 0.0;
    opts.fiMaxPeriod = 0;
}
