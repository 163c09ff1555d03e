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
    // Start on the circle of the roots' geometric mean radius, at angles that
    // avoid the symmetric positions a structured polynomial may have roots at.
    const double radius = std::pow(std::max(qa[m - 1], 1e-300), 1.0 / m);
    bool done[kFastRootsMaxDegree];
    for (int i = 0; i < m; ++i) {
        z[i] = std::polar(radius, 2.0 * M_PI * i / m + 0.4);
        done[i] = false;
    }
    const double bound = 2.0 * (m + 1) * eps;
    // After every root has settled, two more sweeps over all roots: a root
    // of a close pair settles while still off by the pair's conditioning,
    // and these sweeps bring it to the accuracy of the QR eigenvalues.
    int polish = -1;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        bool all = true;
        for (int i = 0; i < m; ++i) {
            if (done[i] && polish < 0) continue;
            // Horner's rule for p, p' and the rounding bound, in plain real
            // arithmetic (the hot loop of the estimate).
            const double xr = z[i].real();
            const double xi = z[i].imag();
            const double ax = std::sqrt(xr * xr + xi * xi);
            double pr = 1.0, pi = 0.0, dr = 0.0, di = 0.0, e = 1.0;
            for (int k = 0; k < m; ++k) {
                const double ndr = dr * xr - di * xi + pr;
                const double ndi = dr * xi + di * xr + pi;
                const double npr = pr * xr - pi * xi + q[k].real();
                const double npi = pr * xi + pi * xr + q[k].imag();
                dr = ndr;
                di = ndi;
                pr = npr;
                pi = npi;
                e = e * ax + qa[k];
            }
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
