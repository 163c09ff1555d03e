// Not-a-knot cubic spline interpolation. The slope system is tridiagonal
// and strictly diagonally dominant, so it is solved in place by elimination
// without pivoting: no factorisation object, no heap use up to 80 knots.
#include <cmath>

#include "math/math_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

namespace {

void fillZero(double *out, int q) {
    std::fill(out, out + q, 0.0);
}

// Fewer than four knots: the not-a-knot conditions leave the polynomial of
// lowest degree through the points (constant, line, parabola).
void lowOrder(const double *x, const double *y, const double *queries, int n, int q, double *out) {
    for (int i = 0; i < q; ++i) {
        const double v = queries[i];
        if (n == 1) {
            out[i] = y[0];
            continue;
        }
        const double d0 = (y[1] - y[0]) / (x[1] - x[0]);
        double r = y[0] + d0 * (v - x[0]);
        if (n == 3) {
            const double d1 = (y[2] - y[1]) / (x[2] - x[1]);
            r += (d1 - d0) / (x[2] - x[0]) * (v - x[0]) * (v - x[1]);
        }
        out[i] = r;
    }
}

// Widths, secant slopes, knot slopes and the two higher coefficients of
// every segment: on the stack up to this many knots (the gap filler's
// channels fit), on the heap beyond.
constexpr std::size_t kStackKnots = 80;
using KnotArray = tarn_math::Scratch<double, kStackKnots>;

void cubic(const double *x, const double *y, const double *queries, int n, int q, double *out) {
    const std::size_t count = static_cast<std::size_t>(n);
    KnotArray h(count), d(count), s(count), c(count), e(count);
    if (!h.valid() || !d.valid() || !s.valid() || !c.valid() || !e.valid()) {
        DEBUG_LOG(1, "aaMathCalcSpline: out of memory for %d knots\n", n);
        fillZero(out, q);
        return;
    }
    for (int k = 0; k < n - 1; ++k) {
        h.data()[k] = x[k + 1] - x[k];
        d.data()[k] = (y[k + 1] - y[k]) / h.data()[k];
    }
    // c holds the elimination's scratch until the slopes are known.
    if (!tarn_math::splineSlopes(h.data(), d.data(), n, s.data(), c.data())) {
        DEBUG_LOG(1, "aaMathCalcSpline: slope system not solvable\n");
        fillZero(out, q);
        return;
    }
    for (int k = 0; k < n - 1; ++k) {
        const double hk = h.data()[k];
        const double sk = s.data()[k];
        const double dk = d.data()[k];
        c.data()[k] = (dk - sk) / hk;
        e.data()[k] = (sk + s.data()[k + 1] - 2.0 * dk) / (hk * hk);
    }
    for (int i = 0; i < q; ++i) {
        const double v = queries[i];
        const int p = static_cast<int>(std::lower_bound(x, x + n, v) - x);
        const int k = std::min(std::max(p, 1) - 1, n - 2);
        const double t = v - x[k];
        out[i] = y[k] + t * (s.data()[k] + (c.data()[k] + e.data()[k] * (v - x[k + 1])) * t);
    }
}

}  // namespace

namespace tarn_math {

bool splineSlopes(const double *h, const double *d, int n, double *s, double *scratch) {
    if (n < 4) return false;
    const int m = n - 2;  // unknowns s[1..n-2]; row r holds s[r+1]
    // Row r: sub[r] s[r] + diag[r] s[r+1] + sup[r] s[r+2] = rhs[r]. The
    // forward sweep keeps the eliminated super-diagonal in scratch[r] and
    // the eliminated right-hand side in s[r+1]; the back substitution then
    // overwrites s[r+1] with the slope.
    const double h0 = h[0], h1 = h[1];
    const double r0 = h0 * h0 / h1;
    const double hl = h[n - 2], hp = h[n - 3];
    const double rl = hl * hl / hp;
    auto row = [&](int r, double &sub, double &diag, double &sup, double &rhs) {
        if (r == 0) {
            // The interior equation at x[1] with s[0] eliminated by the
            // continuity of the third derivative there.
            sub = 0.0;
            diag = 2.0 * h0 + h1 + r0;
            sup = r0 + h0;
            rhs = h1 * d[0] + h0 * d[1] + 2.0 * (r0 + h0) * d[1];
        } else if (r == m - 1) {
            // Its mirror image at x[n-2].
            sub = rl + hl;
            diag = 2.0 * hl + hp + rl;
            sup = 0.0;
            rhs = hp * d[n - 2] + hl * d[n - 3] + 2.0 * (rl + hl) * d[n - 3];
        } else {
            const int k = r + 1;
            sub = h[k];
            diag = 2.0 * (h[k - 1] + h[k]);
            sup = h[k - 1];
            rhs = 3.0 * (h[k] * d[k - 1] + h[k - 1] * d[k]);
        }
    };
    double prevSup = 0.0;
    double prevRhs = 0.0;
    for (int r = 0; r < m; ++r) {
        double sub, diag, sup, rhs;
        row(r, sub, diag, sup, rhs);
        const double pivot = diag - sub * prevSup;
        if (!(pivot != 0.0) || !std::isfinite(pivot)) return false;
        prevSup = sup / pivot;
        prevRhs = (rhs - sub * prevRhs) / pivot;
        scratch[r] = prevSup;
        s[r + 1] = prevRhs;
    }
    for (int r = m - 2; r >= 0; --r) s[r + 1] -= scratch[r] * s[r + 2];
    s[0] = 2.0 * d[0] - s[1] + (h0 * h0 / (h1 * h1)) * (s[1] + s[2] - 2.0 * d[1]);
    s[n - 1] =
        2.0 * d[n - 2] - s[n - 2] + (hl * hl / (hp * hp)) * (s[n - 2] + s[n - 3] - 2.0 * d[n - 3]);
    return true;
}

}  // namespace tarn_math

extern "C" {

void aaMathCalcSpline(const double *x, const double *y, const double *queries, int n, int q,
                      double *out) {
    if (q < 1) return;
    if (n < 1) {
        DEBUG_LOG(1, "%s: no knots\n", __func__);
        fillZero(out, q);
        return;
    }
    for (int k = 0; k + 1 < n; ++k) {
        if (!(x[k + 1] > x[k]) || !std::isfinite(x[k + 1] - x[k])) {
            DEBUG_LOG(1, "%s: knots not strictly increasing at %d\n", __func__, k + 1);
            fillZero(out, q);
            return;
        }
    }
    if (n < 4) {
        lowOrder(x, y, queries, n, q, out);
        return;
    }
    cubic(x, y, queries, n, q, out);
}

}  // extern "C"
