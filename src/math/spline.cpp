// Not-a-knot cubic spline interpolation; the slope system is solved with a
// sparse LU factorisation.
#include <Eigen/Sparse>
#include <Eigen/SparseLU>

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

// Slopes at every knot (n >= 4); false when the system cannot be solved.
// (Eigen vectors rather than std::vector keep every template instantiation
// hidden inside the library.)
bool slopes(const Eigen::VectorXd &h, const Eigen::VectorXd &d, Eigen::VectorXd &s) {
    const int n = static_cast<int>(h.size()) + 1;
    const int m = n - 2;
    Eigen::SparseMatrix<double> a(m, m);
    a.reserve(Eigen::VectorXi::Constant(m, 3));
    Eigen::VectorXd rhs(m);
    // First row: the interior equation at x[1] with s[0] eliminated by the
    // continuity of the third derivative there.
    const double h0 = h[0], h1 = h[1];
    const double r0 = h0 * h0 / h1;
    a.insert(0, 0) = 2.0 * h0 + h1 + r0;
    a.insert(0, 1) = r0 + h0;
    rhs[0] = h1 * d[0] + h0 * d[1] + 2.0 * (r0 + h0) * d[1];
    for (int k = 2; k <= n - 3; ++k) {
        a.insert(k - 1, k - 2) = h[k];
        a.insert(k - 1, k - 1) = 2.0 * (h[k - 1] + h[k]);
        a.insert(k - 1, k) = h[k - 1];
        rhs[k - 1] = 3.0 * (h[k] * d[k - 1] + h[k - 1] * d[k]);
    }
    // Last row: the mirror image at x[n-2].
    const double hl = h[n - 2], hp = h[n - 3];
    const double rl = hl * hl / hp;
    a.insert(m - 1, m - 1) = 2.0 * hl + hp + rl;
    a.insert(m - 1, m - 2) = rl + hl;
    rhs[m - 1] = hp * d[n - 2] + hl * d[n - 3] + 2.0 * (rl + hl) * d[n - 3];
    a.makeCompressed();

    Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> lu;
    lu.compute(a);
    if (lu.info() != Eigen::Success) return false;
    const Eigen::VectorXd inner = lu.solve(rhs);
    if (lu.info() != Eigen::Success) return false;
    s.setZero(n);
    for (int k = 1; k <= n - 2; ++k) s[k] = inner[k - 1];
    s[0] = 2.0 * d[0] - s[1] + (h0 * h0 / (h1 * h1)) * (s[1] + s[2] - 2.0 * d[1]);
    s[n - 1] =
        2.0 * d[n - 2] - s[n - 2] + (hl * hl / (hp * hp)) * (s[n - 2] + s[n - 3] - 2.0 * d[n - 3]);
    return true;
}

void cubic(const double *x, const double *y, const double *queries, int n, int q, double *out) {
    Eigen::VectorXd h(n - 1);
    Eigen::VectorXd d(n - 1);
    for (int k = 0; k < n - 1; ++k) {
        h[k] = x[k + 1] - x[k];
        d[k] = (y[k + 1] - y[k]) / h[k];
    }
    Eigen::VectorXd s;
    if (!slopes(h, d, s)) {
        DEBUG_LOG(1, "aaMathCalcSpline: slope system not solvable\n");
        fillZero(out, q);
        return;
    }
    Eigen::VectorXd c(n - 1);
    Eigen::VectorXd e(n - 1);
    for (int k = 0; k < n - 1; ++k) {
        c[k] = (d[k] - s[k]) / h[k];
        e[k] = (s[k] + s[k + 1] - 2.0 * d[k]) / (h[k] * h[k]);
    }
    for (int i = 0; i < q; ++i) {
        const double v = queries[i];
        const int p = static_cast<int>(std::lower_bound(x, x + n, v) - x);
        const int k = std::min(std::max(p, 1) - 1, n - 2);
        const double t = v - x[k];
        out[i] = y[k] + t * (s[k] + (c[k] + e[k] * (v - x[k + 1])) * t);
    }
}

}  // namespace

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
    try {
        cubic(x, y, queries, n, q, out);
    } catch (...) {
        DEBUG_LOG(1, "%s: out of memory for %d knots\n", __func__, n);
        fillZero(out, q);
    }
}

}  // extern "C"
