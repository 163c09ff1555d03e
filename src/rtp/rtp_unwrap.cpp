// Phase unwrapping over channel sequences.
#include <cmath>

#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace tarn_rtp {

void algPhaseUnwrap(const double *src, int n, double h, double *dst) {
    if (n <= 0) return;
    double prev = src[0];
    dst[0] = prev;
    if (n == 1) return;

    const int32_t period = truncToInt32(2.0 * h);
    // The correction is a 32-bit running sum; wrap it explicitly rather than
    // overflow a signed integer on absurd input.
    uint32_t corr = 0;
    for (int i = 1; i < n; ++i) {
        const double cur = src[i];  // read before writing: src may equal dst
        const int32_t turns = aaMathRoundedDivide(truncToInt32(cur - prev), period);
        const int32_t step = truncToInt32(-(2.0 * turns) * h);
        corr += static_cast<uint32_t>(step);
        dst[i] = cur + static_cast<double>(static_cast<int32_t>(corr));
        prev = cur;
    }
}

void algGradientUnwrap(const int8_t *chan, int k, int8_t nap, const double *phase, double h,
                       double *gradient, double *out) {
    (void)nap;
    DEBUG_LOG(4, kStageEnter, "algGradientUnwrap");
    if (k > kChannels) k = kChannels;
    if (k < 2) {
        // A single phase has no gradient to follow.
        if (k == 1) out[0] = phase[0];
        *gradient = 0.0;
        DEBUG_LOG(4, kStageExit, "algGradientUnwrap");
        return;
    }

    const double period = 2.0 * h;
    int8_t rel[kChannels];
    double dchan[kChannels];
    double work[kChannels];
    double tmp[kChannels];
    double r[kChannels];
    double s[kChannels];
    double u[kChannels];
    for (int i = 0; i < k; ++i) {
        rel[i] = static_cast<int8_t>(chan[i] - chan[0]);
        work[i] = phase[i];
    }
    for (int i = 0; i + 1 < k; ++i) dchan[i] = static_cast<double>(rel[i + 1] - rel[i]);

    double g = 0.0;
    // The first pass takes out the gross gradient so that steps across gaps
    // of several channels unwrap correctly; the second refines the residual.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i + 1 < k; ++i) tmp[i] = h + (work[i + 1] - work[i]);
        aaMathCalcModDouble(tmp, period, k - 1, tmp);
        for (int i = 0; i + 1 < k; ++i) r[i] = (tmp[i] - h) / dchan[i];
        const double m = aaMathCalcMeanDouble(r, k - 1);
        g += m;

        for (int i = 0; i < k; ++i) tmp[i] = h + (work[i] - m * rel[i]);
        aaMathCalcModDouble(tmp, period, k, tmp);
        for (int i = 0; i < k; ++i) s[i] = tmp[i] - h;

        algPhaseUnwrap(s, k, h, u);

        double coef[2] = {0.0, 0.0};
        aaMathCalcPolyfit(rel, u, k, 1, coef);
        const double f = coef[1];
        g += f;
        DEBUG_LOG(4, "fes[%lf] gradient[%lf]\n", f, g);

        for (int i = 0; i < k; ++i) s[i] = work[i] = u[i] - f * rel[i];
    }

    for (int i = 0; i < k; ++i) out[i] = s[i] + g * rel[i];
    *gradient = g;
    DEBUG_LOG(4, kStageExit, "algGradientUnwrap");
}

}  // namespace tarn_rtp
