// Phase-slope distance per antenna path, and the coarse product-channel
// distance taken from the raw tones before any processing.
#include <cmath>

#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace {

using tarn_common::kNoDistance;
constexpr int kMinSlopeChannels = 10;
// The product channel's distance is deliberately short of the slope's: it
// only seeds the prior, and a prior beyond the truth costs more than one
// short of it.
constexpr double kProductShrink = 0.65;

int usableCount(const ToneRecord *rec, int j) {
    int n = 0;
    for (int k = 0; k < kChannels; ++k)
        if (rec->gmap[k][j] != 0) ++n;
    return n;
}

}  // namespace

namespace tarn_rtp {

void algEstWithPhase(const PresState *pres, const ToneRecord *first, const ToneRecord *second,
                     const ConfigOpts *opts, int8_t NAP, PhaseResult *out) {
    (void)pres;
    DEBUG_LOG(4, kStageEnter, "algEstWithPhase");
    const int nap = clampPaths(NAP);
    const double h = static_cast<double>(opts->qWrap >> 1);
    const double distSF = opts->distSF;

    for (int i = 0; i < nap; ++i) {
        int8_t chan[kChannels];
        double ph[kChannels];
        int n = 0;
        for (int k = 0; k < kChannels; ++k) {
            if (second->gmap[k][i] == 0) continue;
            chan[n] = static_cast<int8_t>(first->chanList[k]);
            const TarnCplxD z = second->pct[k][i];
            ph[n] = (z.real() == 0.0 && z.imag() == 0.0) ? 0.0 : std::atan2(z.imag(), z.real()) / kPi * h;
            ++n;
        }
        if (n < kMinSlopeChannels) {
            out->pdest[i] = 0.0;
            out->pconf[i] = 0.0;
            continue;
        }

        double u[kChannels];
        double s = 0.0;
        algGradientUnwrap(chan, n, static_cast<int8_t>(nap), ph, h, &s, u);
        const double b = aaMathCalcIntercept(chan, n, u, s, 1.0);
        DEBUG_LOG(2, "intercept: %lf\n", b / h * kPi);
        DEBUG_LOG(4, " SOL %lf", opts->sol);

        double pdest = (opts->calDistOffset + first->prior + opts->sol * (s * -1e-6) * 0.5 / h) * distSF;

        double line[kChannels];
        aaMathCalcLine(s, b, chan, n, 1.0, line);
        for (int m = 0; m < n; ++m) line[m] = u[m] - line[m];
        const double phFit = aaMathCalcRMS(line, n, 0) / h * 180.0;
        out->phFit[i] = phFit;
        DEBUG_LOG(2, "phFit %lf\n", phFit);

        const float g = static_cast<float>(first->gconf[i]) / 100.0f;
        const double fitScore = 100.0 - phFit * opts->phConfFac;
        out->pconf[i] = std::round(static_cast<double>(g) * (fitScore > 0.0 ? fitScore : 0.0));

        if (opts->quant != 0) pdest = std::round(pdest);
        out->pdest[i] = pdest;
        DEBUG_LOG(4, "dest: %lf\n", pdest);
    }
    DEBUG_LOG(4, kStageExit, "algEstWithPhase");
}

void alg_estimateProductChannelDist(const PresState *pres, ToneRecord *rawMeas,
                                    const ConfigOpts *opts, int8_t NAP,
                                    RangeEstimate *productEstimate) {
    const int nap = clampPaths(NAP);
    const double distSF = opts->distSF;

    for (int k = 0; k < kChannels; ++k) {
        for (int j = 0; j < nap; ++j) {
            const TarnCplxF prod = rawMeas->initPct[k][j] * rawMeas->reflPct[k][j];
            rawMeas->pct[k][j] = TarnCplxD(prod.real(), prod.imag());
        }
    }

    PhaseResult phase{};
    algEstWithPhase(pres, rawMeas, rawMeas, opts, static_cast<int8_t>(nap), &phase);

    // A path without enough channels has no slope: it neither counts as a
    // distance nor decides whether the others need the wrap.
    bool enough[kPaths] = {};
    bool anyPositive = false;
    for (int j = 0; j < nap; ++j) {
        enough[j] = usableCount(rawMeas, j) >= kMinSlopeChannels;
        if (enough[j] && phase.pdest[j] > 0.0) anyPositive = true;
    }

    // One wrap interval of the two-way slope (299.7 m with the default speed).
    const double wrapM = opts->sol / 1e6;
    double selected[kPaths];
    int nSel = 0;
    for (int j = 0; j < nap; ++j) {
        const double d = phase.pdest[j] / distSF;
        double e;
        if (!enough[j]) {
            e = kNoDistance;
        } else if (!anyPositive && d < 0.0) {
            e = d < -10.0 ? opts->disCal[j] + 0.5 * (wrapM + d) : 0.0;
        } else {
            e = d < 0.0 ? kNoDistance : opts->disCal[j] + 0.5 * d;
        }
        rawMeas->productDist[j] = e * kProductShrink * distSF;
        DEBUG_LOG(2, "Product Channel Distance dest[%d] = %lf", j, e);
        if (e >= 0.0 && !tarn_common::isNoDistanceMarker(e) && std::isfinite(e)) {
            rawMeas->productValid[j] = 1;
            selected[nSel++] = e;
        } else {
            rawMeas->productValid[j] = 0;
        }
    }

    if (nSel > 0) {
        productEstimate->valid = 1;
        productEstimate->dest = aaMathCalcMedianDouble(selected, nSel) * kProductShrink * distSF;
    } else {
        productEstimate->valid = 0;
        productEstimate->dest = 0.0;
    }
    DEBUG_LOG(2, " product dest : %lf", productEstimate->dest);
}

}  // namespace tarn_rtp
