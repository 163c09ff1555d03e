// Tone processing: the one-way response from both devices' tones, the prior
// rotation, and the per-channel calibration table.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace {

// Channels whose calibration entry is always 0 (outside the usable band).
inline bool outsideCalBand(int k) { return k < 2 || k > 76; }

// A previous distance usable as a prior, in metres: the "no estimate"
// sentinels and non-finite values give 0.
double priorFromDest(double dest, uint16_t distSF) {
    if (tarn_common::isNoDistanceMarker(dest)) return 0.0;
    const double p = dest / distSF;
    return std::isfinite(p) ? p : 0.0;
}

// Phase rate (radians per channel index) that removes the slope a distance of
// d - disCal[j] leaves on the one-way tones.
double rotationRate(double d, const ConfigOpts *opts, int j) {
    return (d - opts->disCal[j]) * 1000000.0 * 2.0 * kPi / opts->sol;
}

inline double phaseUnits(TarnCplxD z, double h) { return std::atan2(z.imag(), z.real()) / kPi * h; }

// Continuous square root over the 79 channels of one path: the two-way phases
// p (phase units, half a turn = h) are unwrapped first and then halved, so
// the one-way phase follows the channels without jumping by half a turn.
void sqrtUnwrap(const double *a, const double *p, double h, TarnCplxD *out) {
    double u[kChannels];
    algPhaseUnwrap(p, kChannels, h, u);
    for (int k = 0; k < kChannels; ++k) {
        TarnCplxD e;
        aaMathCalcExpImag(u[k] / h * kPi * 0.5, &e);
        out[k] = std::sqrt(std::fabs(a[k])) * e;
    }
}

// Rotation by rate w, conjugation and rounding of one path's one-way tones
// into dst column j.
void rotateStore(const TarnCplxD *tones, double w, const uint8_t *chanList, const ConfigOpts *opts,
                 int j, TarnCplxD (*dst)[kPaths]) {
    for (int k = 0; k < kChannels; ++k) {
        TarnCplxD e;
        aaMathCalcExpImag(w * chanList[k], &e);
        TarnCplxD v = tones[k] * e;
        if (opts->pctInvert == 1) v = std::conj(v);
        if (opts->quant == 1) v = TarnCplxD(std::round(v.real()), std::round(v.imag()));
        dst[k][j] = v;
    }
}

using CalTable = TarnCplxD[kChannels][kPaths];

void logTable(const CalTable &table, int nap) {
    for (int k = 0; k < kChannels; ++k) {
        char line[4 * 64 + 2];
        int len = 0;
        for (int j = 0; j < nap; ++j) {
            const TarnCplxD v = table[k][j];
            const int n = std::snprintf(line + len, sizeof line - static_cast<size_t>(len),
                                        "  [ch=%d]: %+.4f %+.4fj\t", k, v.real(), v.imag());
            if (n < 0 || len + n >= static_cast<int>(sizeof line)) break;
            len += n;
        }
        DEBUG_LOG(2, "%s\n", line);
    }
}

// Adds one procedure's normalised ratio of the tones to the response expected
// at the calibration distance. `refM` is the distance still left in the tones
// at the calibration setup: the true distance less what the prior rotation
// already took out.
void accumulateCal(const ToneRecord *procMeas, const ConfigOpts *opts, CalTable &table, int j,
                   double refM) {
    TarnCplxD H[kChannels];
    for (int k = 0; k < kChannels; ++k) {
        if (outsideCalBand(k)) {
            H[k] = TarnCplxD(0.0, 0.0);
            continue;
        }
        TarnCplxD e;
        aaMathCalcExpImag(procMeas->chanList[k] * 1000000.0 * (-refM) * 2.0 * kPi / opts->sol, &e);
        aaMathCalcCplxDiv(&H[k], procMeas->pct[k][j], e);
    }
    // Referenced to the saved channel-2 value, so that every channel is
    // divided by the same number.
    const TarnCplxD ref = H[2];
    if (ref == TarnCplxD(0.0, 0.0) || !std::isfinite(ref.real()) || !std::isfinite(ref.imag())) {
        DEBUG_LOG(1, "Calibration: no tone on channel 2 of path %d, procedure not used.\n", j);
        return;
    }
    double M = 0.0;
    for (int k = 2; k < kChannels; ++k) {
        if (!outsideCalBand(k)) aaMathCalcCplxDiv(&H[k], H[k], ref);
        const double m = std::abs(H[k]);
        if (m > M) M = m;
    }
    if (!(M > 0.0) || !std::isfinite(M)) return;
    for (int k = 0; k < kChannels; ++k) table[k][j] += H[k] / M;
}

// Turns path j's accumulated sums over `count` procedures into the
// normalised reciprocal average.
void finishCal(CalTable &table, int j, int count) {
    TarnCplxD R[kChannels];
    for (int k = 0; k < kChannels; ++k) {
        const TarnCplxD A = table[k][j] / static_cast<double>(count);
        if (A == TarnCplxD(0.0, 0.0))
            R[k] = A;
        else
            aaMathCalcCplxReciprocal(&R[k], A);
    }
    const TarnCplxD ref = R[2];
    if (ref == TarnCplxD(0.0, 0.0)) {
        // No procedure gave this path anything: leave its tones uncorrected
        // rather than multiply them by zero.
        DEBUG_LOG(1, "Calibration: no data for path %d, its table is left neutral.\n", j);
        for (int k = 0; k < kChannels; ++k) table[k][j] = TarnCplxD(1.0, 0.0);
        return;
    }
    double M = 0.0;
    for (int k = 0; k < kChannels; ++k) {
        if (k >= 2) aaMathCalcCplxDiv(&R[k], R[k], ref);
        const double m = std::abs(R[k]);
        if (m > M) M = m;
    }
    DEBUG_LOG(2, "max %lf \n", M);
    if (!(M > 0.0) || !std::isfinite(M)) return;
    for (int k = 0; k < kChannels; ++k) table[k][j] = R[k] / M;
}

}  // namespace

namespace tarn_rtp {

int8_t algProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts, int8_t NAP,
                  const RangeEstimate *productEstimate) {
    DEBUG_LOG(4, kStageEnter, "algProcPct");
    std::memset(static_cast<void *>(rawMeas->pct), 0, sizeof rawMeas->pct);
    rawMeas->prior = 0.0;
    if (opts->pctMode != 0) {
        DEBUG_LOG(1, "Wrong PCT Mode used.\n");
        return -1;
    }
    const int nap = clampPaths(NAP);
    const double h = static_cast<double>(opts->qWrap >> 1);

    TarnCplxD oneWay[kPaths][kChannels];
    for (int j = 0; j < nap; ++j) {
        DEBUG_LOG(4, " Data for NAP %d\n ", j);
        double a[kChannels];
        double p[kChannels];
        for (int k = 0; k < kChannels; ++k) {
            const TarnCplxF zi = rawMeas->initPct[k][j];
            const TarnCplxF zr = rawMeas->reflPct[k][j];
            const double mi = std::abs(zi);
            const double mr = std::abs(zr);
            const double phI = phaseUnits(TarnCplxD(zi.real(), zi.imag()), h);
            const double phR = phaseUnits(TarnCplxD(zr.real(), zr.imag()), h);
            a[k] = mi * mr;
            p[k] = phR + phI;
        }
        sqrtUnwrap(a, p, h, oneWay[j]);
    }

    if (productEstimate != nullptr) DEBUG_LOG(4, "initialPhaseDist->dest %lf \n", productEstimate->dest);
    double prior = 0.0;
    if (opts->pctPrior == 3 || opts->pctPrior == 5) {
        if (productEstimate != nullptr && productEstimate->valid == 1)
            prior = priorFromDest(productEstimate->dest, opts->distSF);
        else if (pres != nullptr && pres->valid == 1)
            prior = priorFromDest(pres->dest, opts->distSF);
    }
    rawMeas->prior = prior;
    DEBUG_LOG(2, "rawMeas->prior %lf %d\n", prior, pres != nullptr ? pres->valid : 0);

    for (int j = 0; j < nap; ++j) {
        const double w = rotationRate(prior, opts, j);
        DEBUG_LOG(4, "opts->disCal[j] %lf, t %lf", opts->disCal[j], w);
        rotateStore(oneWay[j], w, rawMeas->chanList, opts, j, rawMeas->pct);
    }
    DEBUG_LOG(4, kStageExit, "algProcPct");
    return 0;
}

void rootUnwrap(ToneRecord *procMeas, ToneRecord *rawMeas, const PresState *pres,
                const ConfigOpts *opts, int8_t NAP) {
    const int nap = clampPaths(NAP);
    const double h = static_cast<double>(opts->qWrap >> 1);

    TarnCplxD oneWay[kPaths][kChannels];
    for (int j = 0; j < nap; ++j) {
        double a[kChannels];
        double p[kChannels];
        for (int k = 0; k < kChannels; ++k) {
            const TarnCplxD z = procMeas->pct[k][j];
            a[k] = std::abs(z);
            p[k] = phaseUnits(z, h);
        }
        sqrtUnwrap(a, p, h, oneWay[j]);
    }

    double prior = 0.0;
    if (opts->pctPrior == 3 && pres != nullptr) prior = priorFromDest(pres->dest, opts->distSF);
    rawMeas->prior = prior;

    for (int j = 0; j < nap; ++j) {
        const double t = rotationRate(prior, opts, j);
        DEBUG_LOG(4, "t: %f\n", t);
        rotateStore(oneWay[j], t, rawMeas->chanList, opts, j, procMeas->pct);
    }
}

int8_t algInterpProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts,
                        int8_t NAP, ToneRecord *procMeas, uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]) {
    DEBUG_LOG(3, "alginterpProcPct: Enter\n");
    const int8_t r = algInterpProduct(rawMeas, opts, NAP, procMeas, measuredMap);
    if (r == 0) rootUnwrap(procMeas, rawMeas, pres, opts, NAP);
    DEBUG_LOG(3, "alginterpProcPct: Exit\n");
    return r;
}

void alg_rotatePct(PresState *pres, ToneRecord *rawMeas, ToneRecord *procMeas, ConfigOpts *opts,
                   int8_t NAP, const PhaseResult *phaseResult) {
    CalTableUpdate update;
    rotatePct(pres, rawMeas, procMeas, *opts, NAP, phaseResult, update);
    keepCalTableUpdate(*opts, update);
}

}  // namespace tarn_rtp

// The calibration run and the table's application, reading the options only:
// the run's table goes to `update`, which the caller keeps in the link's
// options (keepCalTableUpdate). Within the call the table in force is the
// one the run has just written, as if the options already held it.
void tarn_rtp::rotatePct(PresState *pres, ToneRecord *rawMeas, ToneRecord *procMeas,
                         const ConfigOpts &opts, int8_t NAP, const PhaseResult *phaseResult,
                         CalTableUpdate &update) {
    const int nap = clampPaths(NAP);
    update.written = false;
    update.finished = false;

    if (opts.estimateFilterChannel == 0) {
        if (pres != nullptr) pres->calRunActive = 0;
    } else if (pres == nullptr) {
        DEBUG_LOG(1, "Calibration: no link state, table not estimated.\n");
    } else {
        if (pres->calRunActive != 1) {
            // Estimation was just switched on: a fresh run with an empty table.
            pres->calRunActive = 1;
            pres->calProcCount = 0;
            std::memset(static_cast<void *>(update.table), 0, sizeof update.table);
        } else {
            // The running sums are the options' table (a record installed
            // meanwhile brings its own).
            std::memcpy(static_cast<void *>(update.table), opts.calTable, sizeof update.table);
        }
        update.written = true;
        for (int j = 0; j < nap; ++j) {
            // The tones have already lost (prior - disCal[j]) by rotation.
            const double refM = opts.trueCalibrationDistance - (rawMeas->prior - opts.disCal[j]);
            accumulateCal(procMeas, &opts, update.table, j, refM);
        }
        logTable(update.table, nap);

        const int taken = pres->calProcCount + 1;
        if (opts.maxProcForCal != 0 && taken >= opts.maxProcForCal) {
            DEBUG_LOG(2, "\n=== FINAL CROSS-PROCEDURE AVERAGES ===\n");
            for (int j = 0; j < nap; ++j) finishCal(update.table, j, taken);
            logTable(update.table, nap);
            pres->calProcCount = 0;
            pres->calRunActive = 0;
            update.finished = true;
        } else if (pres->calProcCount < UINT16_MAX) {
            ++pres->calProcCount;
        }
    }

    const bool apply = opts.applyEstimatedReverseChannel == 1 || update.finished;
    if (apply) {
        const CalTable &table = update.written ? update.table : opts.calTable;
        for (int k = 0; k < kChannels; ++k)
            for (int j = 0; j < nap; ++j) procMeas->pct[k][j] *= table[k][j];
    }

    // In the phase pipeline this runs before the phase estimate of the
    // procedure, so pdest still holds zeros there and the prior becomes 0.
    if (opts.pctPrior == 4 && phaseResult != nullptr) {
        for (int j = 0; j < nap; ++j) {
            double d = phaseResult->pdest[j] / opts.distSF;
            if (!(d >= 20.0)) {
                rawMeas->prior = 0.0;
                continue;
            }
            d -= opts.phaseRotationOffset;
            rawMeas->prior = d;
            for (int k = 0; k < kChannels; ++k) {
                TarnCplxD e;
                aaMathCalcExpImag(d * (procMeas->chanList[k] * 1000000.0) * 2.0 * kPi / opts.sol, &e);
                procMeas->pct[k][j] *= e;
            }
        }
    }
}

void tarn_rtp::keepCalTableUpdate(ConfigOpts &opts, const CalTableUpdate &update) {
    if (!update.written) return;
    std::memcpy(opts.calTable, update.table, sizeof opts.calTable);
    if (update.finished) {
        opts.estimateFilterChannel = 0;
        opts.applyEstimatedReverseChannel = 1;
    }
}
