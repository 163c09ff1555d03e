// Gap filling of per-channel responses: the one-way response (mode 0) and the
// two-way product (mode 1).
#include <cmath>

#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace {

// Working copies of one call, all paths.
struct FillWork {
    TarnCplxD tone[kChannels][kPaths];
    uint8_t gm[kChannels][kPaths];
    uint8_t meas[kChannels][kPaths];
};

// Rebuilds path j's tones: the k measured channels idx keep their own
// magnitude and unwrapped phase, the q missing channels get the splines'
// values, every other channel is zero. False when an interpolated amplitude
// root came out negative.
bool fillMissing(FillWork &w, int j, int nap, double h, bool product, const int *idx,
                 const int8_t *listedI, int k, const uint8_t *missing, int q) {
    TarnCplxD listedTone[kChannels];
    double p[kChannels] = {};
    for (int m = 0; m < k; ++m) {
        listedTone[m] = w.tone[idx[m]][j];
        const double ang = std::atan2(listedTone[m].imag(), listedTone[m].real()) / kPi * h;
        p[m] = product ? ang : 2.0 * ang;
    }
    double u[kChannels];
    double gradient = 0.0;
    algGradientUnwrap(listedI, k, static_cast<int8_t>(nap), p, h, &gradient, u);
    double y[kChannels];
    for (int m = 0; m < k; ++m) y[m] = product ? u[m] : u[m] * 0.5;

    double x[kChannels];
    double xq[kChannels];
    for (int m = 0; m < k; ++m) x[m] = static_cast<double>(idx[m]);
    for (int i = 0; i < q; ++i) xq[i] = static_cast<double>(missing[i]);
    double phInterp[kChannels];
    aaMathCalcSpline(x, y, xq, k, q, phInterp);

    double a[kChannels];
    aaMathCalcMagCmplxD(listedTone, k, a);
    double knotAmp[kChannels];
    for (int m = 0; m < k; ++m) knotAmp[m] = product ? std::sqrt(a[m]) : a[m];
    double ampInterp[kChannels];
    aaMathCalcSpline(x, knotAmp, xq, k, q, ampInterp);

    // Channels outside the span are rebuilt from zeros, so that a path never
    // carries another path's values.
    double mag[kChannels] = {};
    double ph[kChannels] = {};
    for (int m = 0; m < k; ++m) {
        ph[idx[m]] = y[m];
        // A measured channel keeps its own magnitude; in the product form the
        // interpolated roots are squared back to the same scale below.
        mag[idx[m]] = a[m];
    }
    bool ok = true;
    for (int i = 0; i < q; ++i) {
        const int c = missing[i];
        if (c >= kChannels) continue;
        if (product) {
            if (ampInterp[i] < 0.0) ok = false;
            mag[c] = ampInterp[i] * ampInterp[i];
        } else {
            mag[c] = std::fabs(ampInterp[i]);
        }
        ph[c] = phInterp[i];
    }

    if (!product) DEBUG_LOG(4, "pcts:\n");
    for (int c = 0; c < kChannels; ++c) {
        ph[c] = ph[c] / h * kPi;
        TarnCplxD e;
        aaMathCalcExpImag(ph[c], &e);
        w.tone[c][j] = mag[c] * e;
    }
    return ok;
}

// Fills the gaps of path j inside its span of usable channels. The product
// form (mode 1) works on two-way phases and interpolates the square root of
// the magnitude; the one-way form doubles the phases back to two-way before
// unwrapping and halves them afterwards. Returns false when an interpolated
// amplitude root came out negative.
bool fillPath(FillWork &w, int j, int nap, double h, bool product) {
    int idx[kChannels];
    int k = 0;
    for (int c = 0; c < kChannels; ++c) {
        if (w.gm[c][j] != 0) idx[k++] = c;
    }
    if (k < kMinFillChannels) {
        // Too few to interpolate: the estimators see an unusable path.
        for (int c = 0; c < kChannels; ++c) w.tone[c][j] = TarnCplxD(0.0, 0.0);
        return true;
    }

    uint8_t listedU[kChannels];
    int8_t listedI[kChannels];
    for (int m = 0; m < k; ++m) {
        w.meas[idx[m]][j] = 1;
        listedU[m] = static_cast<uint8_t>(idx[m]);
        listedI[m] = static_cast<int8_t>(idx[m]);
    }
    // Rows are channel values: the channel of row c is c.
    const int firstCh = idx[0];
    const int lastCh = idx[k - 1];
    const int spanLen = lastCh - firstCh + 1;
    uint8_t span[kChannels];
    for (int i = 0; i < spanLen; ++i) span[i] = static_cast<uint8_t>(firstCh + i);
    uint8_t missing[kChannels];
    const int q = aaMathCalcMissing(span, listedU, spanLen, k, missing);
    if (q <= 0) {
        for (int c = firstCh; c <= lastCh; ++c) w.gm[c][j] = 1;
        return true;
    }

    const bool ok = fillMissing(w, j, nap, h, product, idx, listedI, k, missing, q);
    for (int c = firstCh; c <= lastCh; ++c) w.gm[c][j] = 1;
    return ok;
}

// Both fillers: working copies in, one pass per path, results out.
bool fillGaps(const ToneRecord *rawMeas, const ConfigOpts *opts, int nap, ToneRecord *procMeas,
              uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS], FillWork &w, bool product) {
    const double h = static_cast<double>(opts->qWrap >> 1);
    bool ok = true;
    for (int j = 0; j < nap; ++j) {
        if (!fillPath(w, j, nap, h, product)) ok = false;
    }

    const bool quant = opts->quant == 1;
    for (int c = 0; c < kChannels; ++c) {
        procMeas->chanList[c] = rawMeas->chanList[c];
        for (int j = 0; j < nap; ++j) {
            TarnCplxD v = w.tone[c][j];
            if (quant) v = TarnCplxD(std::round(v.real()), std::round(v.imag()));
            procMeas->pct[c][j] = v;
            procMeas->gmap[c][j] = w.gm[c][j];
            measuredMap[c][j] = w.meas[c][j];
        }
    }
    return ok;
}

}  // namespace

namespace tarn_rtp {

void algFillGaps(const PresState *pres, const ToneRecord *rawMeas, const ConfigOpts *opts,
                 int8_t NAP, ToneRecord *procMeas, uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]) {
    (void)pres;
    const int nap = clampPaths(NAP);
    DEBUG_LOG(4, kStageEnter, "algFillGaps");
    FillWork w{};
    for (int c = 0; c < kChannels; ++c) {
        for (int j = 0; j < nap; ++j) {
            w.gm[c][j] = rawMeas->gmap[c][j];
            w.tone[c][j] = rawMeas->pct[c][j];
        }
    }
    fillGaps(rawMeas, opts, nap, procMeas, measuredMap, w, false);
    DEBUG_LOG(4, kStageExit, "algFillGaps");
}

int8_t algInterpProduct(ToneRecord *rawMeas, const ConfigOpts *opts, int8_t NAP,
                        ToneRecord *procMeas, uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]) {
    const int nap = clampPaths(NAP);
    FillWork w{};
    for (int c = 0; c < kChannels; ++c) {
        for (int j = 0; j < nap; ++j) {
            // Two-way product in single precision, as the tones were measured.
            const TarnCplxF prod = rawMeas->initPct[c][j] * rawMeas->reflPct[c][j];
            const TarnCplxD wide(prod.real(), prod.imag());
            rawMeas->pct[c][j] = wide;
            w.tone[c][j] = wide;
            w.gm[c][j] = rawMeas->gmap[c][j];
        }
    }
    return fillGaps(rawMeas, opts, nap, procMeas, measuredMap, w, true) ? 0 : -1;
}

}  // namespace tarn_rtp
