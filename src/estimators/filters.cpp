// Tracking filters: confidence-weighted IIR, constant-position Kalman and a
// time-limited sliding window. All state lives in the caller's records.
#include <cmath>

#include "common/numeric.h"
#include "estimators/estimators_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

namespace {

using tarn_common::kNoDistance;
using tarn_est::kNoBlendWeight;
constexpr double kKalmanResetVariance = 100.0;
constexpr double kKalmanProcessSpeed = 1.8;         // m/s of unmodelled motion
constexpr double kKalmanMeasurementVariance = 9.0;  // m^2
constexpr uint16_t kMaxFrameSize = 100;

// Trimmed mean of sorted[0..n-1] around the median; frame in percent 1..99.
// Returns false when the frame does not fit around the median.
bool trimmedMean(const double *sorted, int n, int frame, double *mean) {
    const int m = static_cast<int>((frame / 100.0) * n);
    int left;
    int right;
    if (m % 2 != 0) {
        left = static_cast<int>(std::floor(m * 0.5)) - 1;
        if (left < 0) left = 0;
        right = left;
    } else {
        right = m / 2;
        left = m == 0 ? 0 : m / 2 - 1;
    }
    const int mid = static_cast<int>(std::ceil(n * 0.5)) - 1;
    DEBUG_LOG(4,
              "frameLeftLength %d , frameRightLength %d , midIdx  %d, numFrameDist %d , "
              "FrameSize %d, numDist %d \n",
              left, right, mid, m, frame, n);
    const int start = mid - left;
    const int end = mid + right;
    if (start < 0 || start > end || end >= n) return false;
    *mean = aaMathCalcMeanDouble(sorted + start, end - start + 1);
    return true;
}

}  // namespace

tarn_est::IirBlend tarn_est::iirBlend(const ConfigOpts &opts, double trackedDest,
                                      double trackedConf, double newDest, double newConf) {
    const double decayed = iirDecayedConf(opts, trackedConf);
    const double f = std::pow(newConf / 100.0, opts.fiAvgPwr);
    IirBlend b;
    b.weight = 1.0 - f;
    b.dest = newDest * f + trackedDest * b.weight;
    b.conf = decayed > newConf ? decayed : newConf;
    return b;
}

namespace tarn_est {

void algFilterIir(const ConfigOpts *opts, IirState *presEst, const RangeEstimate *currEst,
                  double *disAvg, double /*time*/, int reset) {
    double dest;
    double conf;
    double weight;
    uint8_t valid;
    if (reset != 0) {
        DEBUG_LOG(2, "IIR filter reset , reset %d , presEst->valid %d", reset, presEst->valid);
        if (!(currEst->conf < static_cast<double>(opts->fiMinConf)) && currEst->valid != 0) {
            valid = 1;
            dest = currEst->dest;
            conf = currEst->conf;
        } else {
            valid = 0;
            dest = -1.0;
            conf = -1.0;
        }
        weight = -1.0;
    } else {
        dest = kNoDistance;
        valid = 0;
        conf = tarn_est::iirDecayedConf(*opts, presEst->conf);
        weight = kNoBlendWeight;
        if (currEst->valid == 1 && currEst->conf != tarn_common::kNoConfidence) {
            const tarn_est::IirBlend b =
                tarn_est::iirBlend(*opts, presEst->dest, presEst->conf, currEst->dest, currEst->conf);
            weight = b.weight;
            dest = b.dest;
            conf = b.conf;
            valid = 1;
        }
    }
    DEBUG_LOG(4,
              "disAvg %lf, presEst->dest %lf,presEst->conf %lf , currEst->conf %lf,currEst->dest "
              "%lf , dest %lf, conf \n %lf",
              weight, presEst->dest, presEst->conf, currEst->conf, currEst->dest, dest, conf);
    presEst->dest = dest;
    presEst->conf = conf;
    presEst->valid = valid;
    *disAvg = weight;
}

int algFilterKalman(const ConfigOpts * /*opts*/, RangeEstimate *state, const RangeEstimate *currEst,
                    double *P, double *K, double prevTime, double currTime, int reset) {
    if (reset != 0 || (state->dest < 0.0 && currEst->valid == 1)) {
        *K = -1.0;
        *P = kKalmanResetVariance;
        *state = *currEst;
        state->conf = kKalmanResetVariance;
        return 0;
    }
    const double dt = currTime - prevTime;
    const double drift = kKalmanProcessSpeed * dt;
    *P = *P + drift * drift;
    if (currEst->valid == 1) {
        *K = *P / (*P + kKalmanMeasurementVariance);
        state->dest = *K * currEst->dest + (1.0 - *K) * state->dest;
        *P = (1.0 - *K) * *P;
        state->conf = *P;
        state->vest = 0.0;
        state->valid = 1;
    } else {
        state->valid = 0;
    }
    return currEst->valid;
}

void algFilterSlidingWindow(const ConfigOpts *opts, RangeEstimate *slots,
                            const RangeEstimate *currEst, SlidingWindowCtl *ctl, double *timestamps,
                            double currTime, int /*reset*/, RangeEstimate *out) {
    // The callers' slot and timestamp arrays hold TARN_MAX_WINDOW_SLOTS entries,
    // whatever size the installed options ask for.
    const int n = ctl->size > TARN_MAX_WINDOW_SLOTS ? TARN_MAX_WINDOW_SLOTS : ctl->size;
    const int frame = ctl->frameSize > kMaxFrameSize ? kMaxFrameSize : ctl->frameSize;

    int index = ctl->index + 1;
    if (index >= n) index = 0;
    ctl->index = static_cast<uint16_t>(index);
    slots[index] = *currEst;
    timestamps[index] = currTime;
    DEBUG_LOG(2, "windowStartindex  %d", index);

    double selected[TARN_MAX_WINDOW_SLOTS];
    double sorted[TARN_MAX_WINDOW_SLOTS];
    uint16_t order[TARN_MAX_WINDOW_SLOTS];
    int count = 0;
    const double period = opts->slidingWindowMaxPeriod;
    for (int k = 0; k < n; ++k) {
        const int slot = (index + k) % n;
        const double stamp = timestamps[slot];
        const double dest = slots[slot].dest;
        DEBUG_LOG(2, "Sliding Timestamps %lf, Dist %lf ", stamp, dest);
        const double age = currTime - stamp;
        // A NaN age fails both comparisons; non-finite distances cannot be ordered.
        if (age <= period && age >= 0.0 && slots[slot].valid == 1 && std::isfinite(dest)) {
            selected[count++] = dest;
            DEBUG_LOG(2, "Dist selected %lf , %lf \n", dest, stamp);
        } else {
            DEBUG_LOG(2, "currTime %lf , temptime %lf, period %lf \n", currTime, stamp, period);
        }
    }

    if (count == 0) {
        out->valid = 1;
        out->dest = currEst->dest;
        DEBUG_LOG(2, "no valid distances in sliding window");
        return;
    }

    out->valid = 1;
    aaMathSortVectorAndGetUI2OrderDouble(selected, static_cast<uint16_t>(count), sorted, order, 0);
    if (frame == kMaxFrameSize) {
        out->dest = aaMathCalcMeanDouble(sorted, static_cast<int8_t>(count));
    } else if (frame == 0) {
        out->dest = aaMathCalcMedianDouble(selected, static_cast<int>(count));
    } else {
        double mean = 0.0;
        if (trimmedMean(sorted, count, frame, &mean)) {
            out->dest = mean;
        } else {
            out->valid = 0;
            out->dest = currEst->dest;
        }
    }
}

}  // namespace tarn_est
