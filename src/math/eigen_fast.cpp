// Allocation-free Hermitian eigen-decomposition and polynomial roots.
//
// Matrices have dynamic size with a fixed maximum, so Eigen keeps their
// storage inline; the solvers live in one static work area, which keeps the
// ~200 kB of solver storage off the caller's stack. Not thread_local: static
// TLS of that size would be carved out of every thread of the host process.
// A lock serialises callers; the estimation thread is the only regular one.
#include "math/eigen_fast.h"

#include <Eigen/Dense>
#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "tarn_math.h"

namespace tarn_math {

namespace {

using cd = std::complex<double>;
using HermMatrix = Eigen::Matrix<cd, Eigen::Dynamic, Eigen::Dynamic, 0, kFastHermMax, kFastHermMax>;
using RootMatrix = Eigen::Matrix<cd, Eigen::Dynamic, Eigen::Dynamic, 0, kFastRootsMaxDegree,
                                 kFastRootsMaxDegree>;

struct WorkArea {
    HermMatrix herm;
    Eigen::SelfAdjointEigenSolver<HermMatrix> hermSolver;
    RootMatrix companion;
    Eigen::ComplexSchur<RootMatrix> schur;
};

std::mutex gWorkLock;

WorkArea &workArea() {
    static WorkArea area;
    return area;
}

bool finite(cd z) {
    return std::isfinite(z.real()) && std::isfinite(z.imag());
}

}  // namespace

bool hermitianEigen(const TarnCplxD *in, int n, int stride, double *values, TarnCplxD *vectors) {
    if (n < 1 || n > kFastHermMax || stride < n) return false;
    std::lock_guard<std::mutex> hold(gWorkLock);
    WorkArea &w = workArea();
    w.herm.resize(n, n);
    for (int c = 0; c < n; ++c) {
        for (int r = 0; r < n; ++r) w.herm(r, c) = in[static_cast<std::ptrdiff_t>(c) * stride + r];
    }
    w.hermSolver.compute(w.herm, Eigen::ComputeEigenvectors);
    if (w.hermSolver.info() != Eigen::Success) return false;
    const auto &vals = w.hermSolver.eigenvalues();
    const auto &vecs = w.hermSolver.eigenvectors();
    for (int k = 0; k < n; ++k) values[k] = vals[k];
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < n; ++k) vectors[i * n + k] = vecs(i, k);
    }
    return true;
}

namespace {

// Horner's rule for p, p' and the rounding bound at the roots z[idx[0..n-1]],
// in plain real arithmetic, four roots per pass; results by root index.
void hornerBatch(const cd *q, const double *qa, int m, const cd *z, const int *idx, int n,
                 double *vpr, double *vpi, double *vdr, double *vdi, double *ve) {
    constexpr int kLanes = 4;
    for (int b = 0; b < n; b += kLanes) {
        const int lanes = std::min(kLanes, n - b);
        double xr[kLanes], xi[kLanes], ax[kLanes];
        double pr[kLanes], pi[kLanes], dr[kLanes], di[kLanes], e[kLanes];
        for (int t = 0; t < kLanes; ++t) {
            // Idle lanes repeat the last root; their results are dropped.
            const cd x = z[idx[b + std::min(t, lanes - 1)]];
            xr[t] = x.real();
            xi[t] = x.imag();
            ax[t] = std::sqrt(xr[t] * xr[t] + xi[t] * xi[t]);
            pr[t] = 1.0;
            pi[t] = 0.0;
            dr[t] = 0.0;
            di[t] = 0.0;
            e[t] = 1.0;
        }
        for (int k = 0; k < m; ++k) {
            const double cr = q[k].real();
            const double ci = q[k].imag();
            const double ca = qa[k];
            for (int t = 0; t < kLanes; ++t) {
                const double ndr = dr[t] * xr[t] - di[t] * xi[t] + pr[t];
                const double ndi = dr[t] * xi[t] + di[t] * xr[t] + pi[t];
                const double npr = pr[t] * xr[t] - pi[t] * xi[t] + cr;
                const double npi = pr[t] * xi[t] + pi[t] * xr[t] + ci;
                dr[t] = ndr;
                di[t] = ndi;
                pr[t] = npr;
                pi[t] = npi;
                e[t] = e[t] * ax[t] + ca;
            }
        }
        for (int t = 0; t < lanes; ++t) {
            const int i = idx[b + t];
            vpr[i] = pr[t];
            vpi[i] = pi[t];
            vdr[i] = dr[t];
            vdi[i] = di[t];
            ve[i] = e[t];
        }
    }
}

// Starting points from the upper convex hull of (k, log|a_k|), a_k the
// coefficient of z^k: each hull edge from k0 to k1 puts k1 - k0 points on
// the circle of radius (|a_k0| / |a_k1|)^(1 / (k1 - k0)), which brackets the
// moduli of that many roots. MUSIC polynomials have their roots in pairs
// inside and outside the unit circle, which one common circle cannot follow.
void startPoints(const double *qa, int m, cd *z) {
    double lg[kFastRootsMaxDegree + 1];
    for (int k = 0; k < m; ++k) lg[k] = qa[m - 1 - k] > 0.0 ? std::log(qa[m - 1 - k]) : -INFINITY;
    lg[m] = 0.0;
    int hull[kFastRootsMaxDegree + 1];
    int nh = 0;
    for (int k = 0; k <= m; ++k) {
        if (!std::isfinite(lg[k])) continue;
        // Drop the last hull point while it lies on or below the chord.
        while (nh >= 2) {
            const int a = hull[nh - 2];
            const int b = hull[nh - 1];
            if ((lg[b] - lg[a]) * (k - a) <= (lg[k] - lg[a]) * (b - a)) --nh;
            else break;
        }
        hull[nh++] = k;
    }
    if (nh < 2 || hull[0] != 0) {
        const double radius = std::pow(std::max(qa[m - 1], 1e-300), 1.0 / m);
        for (int i = 0; i < m; ++i) z[i] = std::polar(radius, 2.0 * M_PI * i / m + 0.4);
        return;
    }
    int at = 0;
    for (int h = 0; h + 1 < nh; ++h) {
        const int n = hull[h + 1] - hull[h];
        const double radius = std::exp((lg[hull[h]] - lg[hull[h + 1]]) / n);
        for (int i = 0; i < n; ++i) z[at++] = std::polar(radius, 2.0 * M_PI * i / n + 0.4 + 1.1 * h);
    }
}

// Aberth-Ehrlich iteration on the monic polynomial z^m + q[0] z^(m-1) + ...
// + q[m-1]: all roots at once in O(m^2) per sweep, each approximation
// repelled from the others so that close roots stay apart. A root stops
// moving once |p(z)| is within the rounding bound of Horner's rule, the point
// where the companion matrix's eigenvalues stop improving as well. Returns
// false when some root has not settled after kMaxSweeps sweeps.
bool aberthRoots(const cd *q, int m, cd *z) {
    constexpr int kMaxSweeps = 80;
    const double eps = std::numeric_limits<double>::epsilon();
    double qa[kFastRootsMaxDegree];
    for (int k = 0; k < m; ++k) qa[k] = std::abs(q[k]);
    bool done[kFastRootsMaxDegree];
    for (int i = 0; i < m; ++i) done[i] = false;
    startPoints(qa, m, z);
    const double bound = 2.0 * (m + 1) * eps;
    // After every root has settled, two more sweeps over all roots: a root
    // of a close pair settles while still off by the pair's conditioning,
    // and these sweeps bring it to the accuracy of the QR eigenvalues.
    int polish = -1;
    // p(z), p'(z) and the rounding bound per root, taken at the sweep's start.
    double vpr[kFastRootsMaxDegree], vpi[kFastRootsMaxDegree];
    double vdr[kFastRootsMaxDegree], vdi[kFastRootsMaxDegree], ve[kFastRootsMaxDegree];
    int active[kFastRootsMaxDegree];
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        // The update of root i moves z[i] only, so every root's Horner values
        // at the sweep's start are the ones its own update sees: evaluate them
        // all first, several roots per pass so that their independent multiply
        // chains overlap (the hot loop of the estimate).
        int na = 0;
        for (int i = 0; i < m; ++i) {
            if (!done[i] || polish >= 0) active[na++] = i;
        }
        hornerBatch(q, qa, m, z, active, na, vpr, vpi, vdr, vdi, ve);
        bool all = true;
        for (int i = 0; i < m; ++i) {
            if (done[i] && polish < 0) continue;
            const double xr = z[i].real();
            const double xi = z[i].imag();
            const double pr = vpr[i], pi = vpi[i], dr = vdr[i], di = vdi[i], e = ve[i];
            const double pn = pr * pr + pi * pi;
            if (polish < 0 && pn <= (bound * e) * (bound * e)) {
                done[i] = true;
                continue;
            }
            if (pn == 0.0) continue;
            all = false;
            // ratio = p / p'
            const double dn = dr * dr + di * di;
            const double rr = (pr * dr + pi * di) / dn;
            const double ri = (pi * dr - pr * di) / dn;
            double sr = 0.0, si = 0.0;
            for (int j = 0; j < m; ++j) {
                if (j == i) continue;
                const double ar = xr - z[j].real();
                const double ai = xi - z[j].imag();
                const double inv = 1.0 / (ar * ar + ai * ai);
                sr += ar * inv;
                si -= ai * inv;
            }
            // w = ratio / (1 - ratio * sum)
            const double br = 1.0 - (rr * sr - ri * si);
            const double bi = -(rr * si + ri * sr);
            const double bn = br * br + bi * bi;
            const cd w((rr * br + ri * bi) / bn, (ri * br - rr * bi) / bn);
            const cd x = z[i];
            if (!std::isfinite(w.real()) || !std::isfinite(w.imag())) return false;
            z[i] = x - w;
        }
        if (polish >= 0 && ++polish == 2) return true;
        if (all && polish < 0) polish = 0;
    }
    return false;
}

}  // namespace

int polyRootsFast(const TarnCplxD *coef, int count, TarnCplxD *roots) {
    const int m = count - 1;
    if (m < 1 || m > kFastRootsMaxDegree) return 0;
    std::lock_guard<std::mutex> hold(gWorkLock);
    WorkArea &w = workArea();
    cd q[kFastRootsMaxDegree];
    for (int k = 0; k < m; ++k) {
        aaMathCalcCplxDiv(&q[k], coef[k + 1], coef[0]);
        if (!finite(q[k])) return 0;
    }
    cd found[kFastRootsMaxDegree];
    if (!aberthRoots(q, m, found)) {
        // Companion matrix in upper Hessenberg form (normalised coefficients
        // negated along the first row, ones below the diagonal): the QR
        // iterations start on it directly, without a Hessenberg reduction.
        w.companion.setZero(m, m);
        for (int k = 0; k < m; ++k) w.companion(0, k) = -q[k];
        for (int k = 1; k < m; ++k) w.companion(k, k - 1) = 1.0;
        w.schur.computeFromHessenberg(w.companion, w.companion, false);
        if (w.schur.info() != Eigen::Success) return 0;
        for (int k = 0; k < m; ++k) found[k] = w.schur.matrixT()(k, k);
    }
    // Stable insertion sort by magnitude, the order of the exported root finder.
    double mag[kFastRootsMaxDegree];
    for (int i = 0; i < m; ++i) {
        const cd z = found[i];
        const double a = std::abs(z);
        int j = i;
        while (j > 0 && a < mag[j - 1]) {
            mag[j] = mag[j - 1];
            roots[j] = roots[j - 1];
            --j;
        }
        mag[j] = a;
        roots[j] = z;
    }
    return m;
}

}  // namespace tarn_math
