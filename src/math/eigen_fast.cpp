// Allocation-free eigen-decompositions and polynomial roots for the
// estimate path.
//
// The MUSIC route: centroHermitianNoise turns a forward-backward covariance
// into a real symmetric matrix and forms only the noise eigenvectors, in a
// work area the caller owns; selfReciprocalRoots iterates only the roots
// inside the unit circle. The general fallbacks (hermitianEigen,
// polyRootsFast's QR) use Eigen matrices of dynamic size with a fixed
// maximum, kept with their ~200 kB of solver storage in one static work area
// under a lock (not thread_local: static TLS of that size would be carved
// out of every thread of the host process).
#include "math/eigen_fast.h"

#include <Eigen/Dense>
#include <Eigen/Eigenvalues>

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "math/lanes.h"
#include "math/math_internal.h"
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

// |z| without hypot's overflow care, which costs a library call per root;
// the roots' moduli here are far from overflow.
double modulus(cd z) {
    return std::sqrt(std::norm(z));
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

// Householder reduction of the real symmetric n x n matrix a (row-major) to
// tridiagonal form, the reflections kept rather than multiplied out: the
// one of step k (1..n-1) acts on components 0..k-1 as I - u u^T / h[k],
// with u in column k of a above the diagonal (h[k] 0: no reflection). The
// diagonal ends on a's diagonal, the subdiagonal in e[1..n-1]; h goes to d.
void reduceToTridiagonal(double *a, int n, double *d, double *e) {
    auto A = [a, n](int r, int c) -> double & { return a[r * n + c]; };
    for (int j = 0; j < n; ++j) d[j] = A(n - 1, j);
    for (int i = n - 1; i > 0; --i) {
        double scale = 0.0;
        double h = 0.0;
        for (int k = 0; k < i; ++k) scale += std::fabs(d[k]);
        if (scale == 0.0) {
            e[i] = d[i - 1];
            for (int j = 0; j < i; ++j) {
                d[j] = A(i - 1, j);
                A(i, j) = 0.0;
                A(j, i) = 0.0;
            }
        } else {
            for (int k = 0; k < i; ++k) {
                d[k] /= scale;
                h += d[k] * d[k];
            }
            double f = d[i - 1];
            double g = f > 0 ? -std::sqrt(h) : std::sqrt(h);
            e[i] = scale * g;
            h -= f * g;
            d[i - 1] = f - g;
            for (int j = 0; j < i; ++j) e[j] = 0.0;
            for (int j = 0; j < i; ++j) {
                f = d[j];
                A(j, i) = f;
                g = e[j] + A(j, j) * f;
                for (int k = j + 1; k <= i - 1; ++k) {
                    g += A(k, j) * d[k];
                    e[k] += A(k, j) * f;
                }
                e[j] = g;
            }
            f = 0.0;
            for (int j = 0; j < i; ++j) {
                e[j] /= h;
                f += e[j] * d[j];
            }
            const double hh = f / (h + h);
            for (int j = 0; j < i; ++j) e[j] -= hh * d[j];
            // The rank-two update of the lower triangle, two columns at a
            // time (row k holds both of them side by side).
            int j = 0;
            for (; j + 1 < i; j += 2) {
                const Pair fp = {d[j], d[j + 1]};
                const Pair gp = {e[j], e[j + 1]};
                A(j, j) -= (d[j] * e[j] + e[j] * d[j]);
                for (int k = j + 1; k <= i - 1; ++k) {
                    const Pair ek = {e[k], e[k]};
                    const Pair dk = {d[k], d[k]};
                    double *row = &A(k, j);
                    store2(row, load2(row) - (fp * ek + gp * dk));
                }
                d[j] = A(i - 1, j);
                A(i, j) = 0.0;
                d[j + 1] = A(i - 1, j + 1);
                A(i, j + 1) = 0.0;
            }
            for (; j < i; ++j) {
                f = d[j];
                g = e[j];
                for (int k = j; k <= i - 1; ++k) A(k, j) -= (f * e[k] + g * d[k]);
                d[j] = A(i - 1, j);
                A(i, j) = 0.0;
            }
        }
        d[i] = h;
    }
}

// The same reduction with the orthogonal transformation left in a (the
// classic explicit-accumulation variant, so that the QL sweeps can rotate
// it into the eigenvectors): diagonal into d, subdiagonal into e[1..n-1].
void tridiagonalize(double *a, int n, double *d, double *e) {
    auto A = [a, n](int r, int c) -> double & { return a[r * n + c]; };
    reduceToTridiagonal(a, n, d, e);
    for (int i = 0; i < n - 1; ++i) {
        A(n - 1, i) = A(i, i);
        A(i, i) = 1.0;
        const double h = d[i + 1];
        if (h != 0.0) {
            for (int k = 0; k <= i; ++k) d[k] = A(k, i + 1) / h;
            for (int j = 0; j <= i; ++j) {
                double g = 0.0;
                for (int k = 0; k <= i; ++k) g += A(k, i + 1) * A(k, j);
                for (int k = 0; k <= i; ++k) A(k, j) -= g * d[k];
            }
        }
        for (int k = 0; k <= i; ++k) A(k, i + 1) = 0.0;
    }
    for (int j = 0; j < n; ++j) {
        d[j] = A(n - 1, j);
        A(n - 1, j) = 0.0;
    }
    A(n - 1, n - 1) = 1.0;
    e[0] = 0.0;
}

// Implicit QL with shifts on the tridiagonal (d, e), rotating the columns of
// a into the eigenvectors; eigenvalues ascending with their columns at the
// end. Returns false when an eigenvalue has not split off in 30 n sweeps.
bool tridiagonalQl(double *a, int n, double *d, double *e, SymEigenWork *rec, int *nrot) {
    auto A = [a, n](int r, int c) -> double & { return a[r * n + c]; };
    for (int i = 1; i < n; ++i) e[i - 1] = e[i];
    e[n - 1] = 0.0;
    double f = 0.0;
    double tst1 = 0.0;
    const double eps = std::numeric_limits<double>::epsilon();
    for (int l = 0; l < n; ++l) {
        tst1 = std::max(tst1, std::fabs(d[l]) + std::fabs(e[l]));
        int m = l;
        while (m < n && std::fabs(e[m]) > eps * tst1) ++m;
        if (m == n) m = n - 1;
        if (m > l) {
            int iter = 0;
            do {
                if (++iter > 30 * n) return false;
                double g = d[l];
                double p = (d[l + 1] - g) / (2.0 * e[l]);
                double r = std::sqrt(p * p + 1.0);
                if (p < 0) r = -r;
                d[l] = e[l] / (p + r);
                d[l + 1] = e[l] * (p + r);
                const double dl1 = d[l + 1];
                double h = g - d[l];
                for (int i = l + 2; i < n; ++i) d[i] -= h;
                f += h;
                p = d[m];
                double c = 1.0, c2 = 1.0, c3 = 1.0;
                const double el1 = e[l + 1];
                double s = 0.0, s2 = 0.0;
                for (int i = m - 1; i >= l; --i) {
                    c3 = c2;
                    c2 = c;
                    s2 = s;
                    g = c * e[i];
                    h = c * p;
                    r = std::sqrt(p * p + e[i] * e[i]);
                    e[i + 1] = s * r;
                    s = e[i] / r;
                    c = p / r;
                    p = c * d[i] - s * g;
                    d[i + 1] = h + s * (c * g + s * d[i]);
                    if (rec != nullptr) {
                        if (*nrot == SymEigenWork::kMaxRotations) return false;
                        rec->rotC[*nrot] = c;
                        rec->rotS[*nrot] = s;
                        rec->rotAt[*nrot] = static_cast<uint8_t>(i);
                        ++*nrot;
                        continue;
                    }
                    for (int k = 0; k < n; ++k) {
                        const double t = A(k, i + 1);
                        A(k, i + 1) = s * A(k, i) + c * t;
                        A(k, i) = c * A(k, i) - s * t;
                    }
                }
                p = -s * s2 * c3 * el1 * e[l] / dl1;
                e[l] = s * p;
                d[l] = c * p;
            } while (std::fabs(e[l]) > eps * tst1);
        }
        d[l] += f;
        e[l] = 0.0;
    }
    if (rec != nullptr) return true;  // the caller sorts and forms the vectors
    for (int i = 0; i < n - 1; ++i) {
        int k = i;
        for (int j = i + 1; j < n; ++j)
            if (d[j] < d[k]) k = j;
        if (k == i) continue;
        std::swap(d[k], d[i]);
        for (int r = 0; r < n; ++r) std::swap(A(r, i), A(r, k));
    }
    return true;
}

// Eigenvectors of the tridiagonal matrix for the eigenvalues that ended at
// positions pos[0..count-1]: the recorded rotations, last first, applied to
// the unit vectors e_pos, all of them in one pass over the rotations (vector
// c in column c of z, row stride n).
void replayRotations(const SymEigenWork *w, int nrot, int n, const int *pos, int count, double *z) {
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < count; ++c) z[i * n + c] = 0.0;
    for (int c = 0; c < count; ++c) z[pos[c] * n + c] = 1.0;
    for (int r = nrot - 1; r >= 0; --r) {
        const int i = w->rotAt[r];
        const double c = w->rotC[r];
        const double s = w->rotS[r];
        double *zi = z + i * n;
        double *zj = zi + n;
        const Pair cc = {c, c};
        const Pair ss = {s, s};
        int v = 0;
        for (; v + 1 < count; v += 2) {
            const Pair a = load2(zi + v);
            const Pair b = load2(zj + v);
            store2(zi + v, cc * a + ss * b);
            store2(zj + v, cc * b - ss * a);
        }
        for (; v < count; ++v) {
            const double a = zi[v];
            const double b = zj[v];
            zi[v] = c * a + s * b;
            zj[v] = c * b - s * a;
        }
    }
}

// Column c of the real eigenvector array u (row-major n x n) back to R's
// eigenvector v = Q u.
void backToR(const double *u, int n, int c, TarnCplxD *v) {
    const int h = n / 2;
    const int off = n - h;
    const double s = std::sqrt(0.5);
    for (int t = 0; t < h; ++t) {
        const double re = s * u[t * n + c];
        const double im = s * u[(off + t) * n + c];
        v[t] = cd(re, im);
        v[n - 1 - t] = cd(re, -im);
    }
    if (off > h) v[h] = u[h * n + c];
}

// a = Q^H R Q (row-major n x n) for the centro-Hermitian R, with the sparse
// unitary Q below.
void toRealSymmetric(const TarnCplxD *R, int n, int stride, double *a) {
    // Column c of Q has one or two entries: (row, weight). Columns below h
    // are (e_c + e_{n-1-c}) / sqrt 2, the columns from `off` on are
    // j (e_t - e_{n-1-t}) / sqrt 2, and an odd size has e_h in the middle.
    // A weight is w = f or w = j f with f real (imag flag).
    const int h = n / 2;
    const int off = n - h;
    const double s = std::sqrt(0.5);
    int row[kFastHermMax][2];
    double wf[kFastHermMax][2];
    bool imag[kFastHermMax];
    int cnt[kFastHermMax];
    for (int c = 0; c < n; ++c) {
        imag[c] = c >= off;
        if (c < h) {
            row[c][0] = c, wf[c][0] = s, row[c][1] = n - 1 - c, wf[c][1] = s, cnt[c] = 2;
        } else if (c < off) {
            row[c][0] = c, wf[c][0] = 1.0, cnt[c] = 1;
        } else {
            const int t = c - off;
            row[c][0] = t, wf[c][0] = s, row[c][1] = n - 1 - t, wf[c][1] = -s, cnt[c] = 2;
        }
    }
    // (Q^H R Q)[a][b] is real for such R (its imaginary part is rounding):
    // Re(conj(wa) r wb) is fa fb Re(r) when both weights are real or both
    // imaginary, fa fb Im(r) when only wa is imaginary, -fa fb Im(r) when
    // only wb is. The terms are summed in the order (x, y) of the entries.
    const double *Rd = reinterpret_cast<const double *>(R);
    for (int ca = 0; ca < n; ++ca) {
        const int na = cnt[ca];
        for (int cb = 0; cb <= ca; ++cb) {
            const int nb = cnt[cb];
            const int part = imag[ca] == imag[cb] ? 0 : 1;
            const double sign = imag[ca] || !part ? 1.0 : -1.0;
            double acc = 0.0;
            for (int x = 0; x < na; ++x) {
                const double *Rrow =
                    Rd + 2 * static_cast<std::ptrdiff_t>(row[ca][x]) * stride + part;
                const double fa = wf[ca][x];
                acc += (fa * wf[cb][0]) * (sign * Rrow[2 * row[cb][0]]);
                if (nb == 2) acc += (fa * wf[cb][1]) * (sign * Rrow[2 * row[cb][1]]);
            }
            a[ca * n + cb] = acc;
            a[cb * n + ca] = acc;
        }
    }
}

}  // namespace

bool centroHermitianNoise(const TarnCplxD *R, int n, int stride, int count, SymEigenWork *work,
                          double *values, TarnCplxD *noise) {
    if (n < 1 || n > kFastHermMax || stride < n || count < 0 || count > n) return false;
    double *a = work->a;
    toRealSymmetric(R, n, stride, a);
    // The reflections stay factored: applying them to the few wanted
    // vectors costs less than multiplying them out.
    double h[kFastHermMax];
    reduceToTridiagonal(a, n, h, work->e);
    for (int k = 0; k < n; ++k) work->d[k] = a[k * n + k];
    work->e[0] = 0.0;
    int nrot = 0;
    if (!tridiagonalQl(a, n, work->d, work->e, work, &nrot)) {
        // Too many rotations to record: rotate the whole basis instead.
        toRealSymmetric(R, n, stride, a);
        tridiagonalize(a, n, work->d, work->e);
        if (!tridiagonalQl(a, n, work->d, work->e, nullptr, nullptr)) return false;
        for (int k = 0; k < n; ++k) values[k] = work->d[k];
        for (int c = 0; c < count; ++c) backToR(a, n, c, noise + c * n);
        return true;
    }
    // Ascending order of the eigenvalues as positions in d (stable; an
    // insertion sort, as the library's stable sort would take a heap buffer).
    int order[kFastHermMax];
    for (int k = 0; k < n; ++k) insertSorted(order, values, k, k, work->d[k]);
    // The wanted eigenvectors (column c of u): tridiagonal ones by replay,
    // then through the reflections, first to last, then v = Q u.
    double u[kFastHermMax * kFastHermMax];
    replayRotations(work, nrot, n, order, count, u);
    double g[kFastHermMax];
    for (int k = 1; k < n; ++k) {
        if (h[k] == 0.0) continue;
        // Pairs of vectors at a time, an odd count's last one alone.
        for (int c = 0; c < count; ++c) g[c] = 0.0;
        const int even = count & ~1;
        for (int r = 0; r < k; ++r) {
            const double w = a[r * n + k];
            const Pair ww = {w, w};
            const double *ur = u + r * n;
            for (int c = 0; c < even; c += 2) store2(g + c, load2(g + c) + ww * load2(ur + c));
            if (even < count) g[even] += w * ur[even];
        }
        for (int c = 0; c < count; ++c) g[c] /= h[k];
        for (int r = 0; r < k; ++r) {
            const double w = a[r * n + k];
            const Pair ww = {w, w};
            double *ur = u + r * n;
            for (int c = 0; c < even; c += 2) store2(ur + c, load2(ur + c) - load2(g + c) * ww);
            if (even < count) ur[even] -= g[even] * w;
        }
    }
    for (int c = 0; c < count; ++c) backToR(u, n, c, noise + c * n);
    return true;
}

namespace {

// The coefficient k of the monic polynomial, each part in both lanes: real
// and imaginary part and modulus (the rounding bound's coefficient).
struct HornerCoef {
    Pair re, im, abs;
};

void hornerCoefs(const cd *q, const double *qa, int m, HornerCoef *hc) {
    for (int k = 0; k < m; ++k) {
        hc[k].re = Pair{q[k].real(), q[k].real()};
        hc[k].im = Pair{q[k].imag(), q[k].imag()};
        hc[k].abs = Pair{qa[k], qa[k]};
    }
}

// Horner's rule for p, p' and the rounding bound at the roots z[idx[0..n-1]],
// in plain real arithmetic, two roots per pass (one pair: the whole state
// stays in registers); results by root index.
void hornerBatch(const HornerCoef *hc, int m, const cd *z, const int *idx, int n, double *vpr,
                 double *vpi, double *vdr, double *vdi, double *ve) {
    for (int b = 0; b < n; b += 2) {
        // An odd count's last pass repeats its root in the second lane.
        const cd x0 = z[idx[b]];
        const cd x1 = z[idx[b + 1 < n ? b + 1 : b]];
        const Pair xr = {x0.real(), x1.real()};
        const Pair xi = {x0.imag(), x1.imag()};
        const Pair ax = {std::sqrt(x0.real() * x0.real() + x0.imag() * x0.imag()),
                         std::sqrt(x1.real() * x1.real() + x1.imag() * x1.imag())};
        Pair pr = {1.0, 1.0}, pi = {0.0, 0.0}, dr = {0.0, 0.0}, di = {0.0, 0.0}, e = {1.0, 1.0};
        for (int k = 0; k < m; ++k) {
            const Pair cr = hc[k].re;
            const Pair ci = hc[k].im;
            const Pair ca = hc[k].abs;
            const Pair ndr = dr * xr - di * xi + pr;
            const Pair ndi = dr * xi + di * xr + pi;
            const Pair npr = pr * xr - pi * xi + cr;
            const Pair npi = pr * xi + pi * xr + ci;
            dr = ndr;
            di = ndi;
            pr = npr;
            pi = npi;
            e = e * ax + ca;
        }
        for (int t = 0; t < 2 && b + t < n; ++t) {
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

// The Aberth step of a root at which p = pr + i pi and p' = dr + i di, with
// s = sr + i si the sum of 1 / (z - z_j) over the other roots: Newton's
// ratio p / p' turned into ratio / (1 - ratio * s).
inline cd aberthCorrection(double pr, double pi, double dr, double di, double sr, double si) {
    const double dn = dr * dr + di * di;
    const double rr = (pr * dr + pi * di) / dn;
    const double ri = (pi * dr - pr * di) / dn;
    const double br = 1.0 - (rr * sr - ri * si);
    const double bi = -(rr * si + ri * sr);
    const double bn = br * br + bi * bi;
    return cd((rr * br + ri * bi) / bn, (ri * br - rr * bi) / bn);
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
    HornerCoef hc[kFastRootsMaxDegree];
    hornerCoefs(q, qa, m, hc);
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
        hornerBatch(hc, m, z, active, na, vpr, vpi, vdr, vdi, ve);
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
            double sr = 0.0, si = 0.0;
            for (int j = 0; j < m; ++j) {
                if (j == i) continue;
                const double ar = xr - z[j].real();
                const double ai = xi - z[j].imag();
                const double inv = 1.0 / (ar * ar + ai * ai);
                sr += ar * inv;
                si -= ai * inv;
            }
            const cd w = aberthCorrection(pr, pi, dr, di, sr, si);
            const cd x = z[i];
            if (!std::isfinite(w.real()) || !std::isfinite(w.imag())) return false;
            z[i] = x - w;
        }
        if (polish >= 0 && ++polish == 2) return true;
        if (all && polish < 0) polish = 0;
    }
    return false;
}

// Start points of the m roots inside the unit circle of a self-reciprocal
// polynomial of degree 2m: the hull circles below radius 1 keep all their
// points, the circle through radius 1 (the pairs straddling it) every other
// point pulled just inside, the circles above 1 (the mirrors) none. Falls
// back to one circle of radius 0.9 when the hull's rounding breaks the
// symmetry.
void insideStartPoints(const double *qa, int degree, int m, cd *z) {
    cd all[kFastRootsMaxDegree];
    startPoints(qa, degree, all);
    int at = 0;
    for (int g = 0; g < degree;) {
        const double r = modulus(all[g]);
        int end = g + 1;
        while (end < degree && modulus(all[end]) == r) ++end;
        if (r < 1.0 - 1e-9) {
            for (int i = g; i < end && at < m; ++i) z[at++] = all[i];
        } else if (r <= 1.0 + 1e-9) {
            for (int i = g; i < end && at < m; i += 2) z[at++] = all[i] * 0.99;
        }
        g = end;
    }
    if (at == m) return;
    for (int i = 0; i < m; ++i) z[i] = std::polar(0.9, 2.0 * M_PI * i / m + 0.4);
}

// Start points from roots known to lie near the wanted ones (`warm`, a
// related polynomial's inside roots): each of them, pulled inside radius
// 0.999 (a point on the circle would meet its own mirror), and for the rest
// the cold start points farthest from them.
void warmStartPoints(const double *qa, int degree, int m, const cd *warm, int nwarm, cd *z) {
    constexpr double kMaxRadius = 0.999;
    for (int i = 0; i < nwarm; ++i) {
        const double r = modulus(warm[i]);
        z[i] = r > kMaxRadius ? warm[i] * (kMaxRadius / r) : warm[i];
    }
    if (nwarm >= m) return;
    cd cold[kFastRootsMaxDegree];
    insideStartPoints(qa, degree, m, cold);
    double gap[kFastRootsMaxDegree];
    for (int c = 0; c < m; ++c) {
        gap[c] = INFINITY;
        for (int i = 0; i < nwarm; ++i) gap[c] = std::min(gap[c], std::norm(cold[c] - z[i]));
    }
    for (int at = nwarm; at < m; ++at) {
        int best = 0;
        for (int c = 1; c < m; ++c)
            if (gap[c] > gap[best]) best = c;
        z[at] = cold[best];
        gap[best] = -1.0;
        for (int c = 0; c < m; ++c)
            if (gap[c] >= 0.0) gap[c] = std::min(gap[c], std::norm(cold[c] - cold[best]));
    }
}

// Indices of the n roots (of m, all inside) closest to the unit circle.
int nearestToCircle(const cd *z, int m, int n, int *idx) {
    n = std::min(n, m);
    if (n < 1) return 0;
    // The n smallest keys by insertion into a short sorted list (n is a few,
    // m a few dozen), the earlier root first among equal keys.
    double key[kFastRootsMaxDegree];
    int best[kFastRootsMaxDegree];
    int have = 0;
    for (int i = 0; i < m; ++i) {
        const double k = 1.0 - modulus(z[i]);
        if (have == n && !(k < key[have - 1])) continue;
        insertSorted(best, key, have < n ? have++ : n - 1, i, k);
    }
    std::sort(best, best + n);
    for (int i = 0; i < n; ++i) idx[i] = best[i];
    return n;
}

// Stops iterating the roots a caller cannot pick: one that has nearly
// settled (its latest step below 0.01) and lies deeper inside the unit
// circle, by a margin of 0.02 plus four of its steps, than the `nearest`
// roots closest to the circle could move to (each allowed four of its own
// steps away). It stays in place as a repeller for the others, whose fixed
// points do not depend on it.
void parkUnselectable(const cd *z, int m, int nearest, const double *step, bool *done) {
    if (nearest < 1 || nearest >= m) return;
    constexpr double kSettling = 0.01;
    constexpr double kMargin = 0.02;
    double far[kFastRootsMaxDegree];  // 1 - |z| plus four steps
    for (int i = 0; i < m; ++i) far[i] = 1.0 - modulus(z[i]) + 4.0 * step[i];
    // The nearest-th smallest of them: no root beyond it can be picked.
    std::nth_element(far, far + (nearest - 1), far + m);
    const double limit = far[nearest - 1] + kMargin;
    for (int i = 0; i < m; ++i) {
        if (done[i] || !(step[i] < kSettling)) continue;
        if (1.0 - modulus(z[i]) - 4.0 * step[i] > limit) done[i] = true;
    }
}

// Aberth-Ehrlich iteration on the monic self-reciprocal polynomial of
// degree 2m (q as in aberthRoots) over the m roots inside the unit circle;
// each root is repelled from the other inside roots and from every mirror
// 1/conj(z), the outside roots, which follow their partners exactly. A root
// that steps outside is replaced by its mirror. Settling as in aberthRoots,
// or after a step below 1e-6; the two polishing sweeps go to the `nearest`
// roots closest to the unit circle only, the ones a caller picks from (the
// others have settled to their own accuracy, and a root's fixed point does
// not depend on the others' positions). Returns false when some root has not
// settled.
bool mirroredAberthRoots(const cd *q, int m, int nearest, const cd *warm, int nwarm, cd *z) {
    constexpr int kMaxSweeps = 80;
    constexpr double kSettled = 1e-6;
    const int degree = 2 * m;
    const double eps = std::numeric_limits<double>::epsilon();
    double qa[kFastRootsMaxDegree];
    for (int k = 0; k < degree; ++k) qa[k] = modulus(q[k]);
    HornerCoef hc[kFastRootsMaxDegree];
    hornerCoefs(q, qa, degree, hc);
    if (nwarm > 0)
        warmStartPoints(qa, degree, m, warm, nwarm, z);
    else
        insideStartPoints(qa, degree, m, z);
    cd y[kFastRootsMaxDegree];
    // The repellers side by side for the sums below: (y_j, z_j)'s real parts
    // at re2[2j], re2[2j+1], their imaginary parts likewise in im2.
    double re2[2 * kFastRootsMaxDegree], im2[2 * kFastRootsMaxDegree];
    bool done[kFastRootsMaxDegree];
    for (int i = 0; i < m; ++i) {
        y[i] = z[i] / std::norm(z[i]);
        re2[2 * i] = y[i].real(), re2[2 * i + 1] = z[i].real();
        im2[2 * i] = y[i].imag(), im2[2 * i + 1] = z[i].imag();
        done[i] = false;
    }
    const double bound = 2.0 * (degree + 1) * eps;
    int polish = -1;
    double vpr[kFastRootsMaxDegree], vpi[kFastRootsMaxDegree];
    double vdr[kFastRootsMaxDegree], vdi[kFastRootsMaxDegree], ve[kFastRootsMaxDegree];
    int active[kFastRootsMaxDegree];
    // Each root's latest step (how far it may still move); 0 once settled.
    double step[kFastRootsMaxDegree];
    for (int i = 0; i < m; ++i) step[i] = INFINITY;
    for (int sweep = 0; sweep < kMaxSweeps; ++sweep) {
        int na = 0;
        if (polish < 0) {
            parkUnselectable(z, m, nearest, step, done);
            for (int i = 0; i < m; ++i) {
                if (!done[i]) active[na++] = i;
            }
        } else {
            na = nearestToCircle(z, m, nearest, active);
        }
        hornerBatch(hc, degree, z, active, na, vpr, vpi, vdr, vdi, ve);
        bool all = true;
        for (int a = 0; a < na; ++a) {
            const int i = active[a];
            const double xr = z[i].real();
            const double xi = z[i].imag();
            const double pr = vpr[i], pi = vpi[i], dr = vdr[i], di = vdi[i], e = ve[i];
            const double pn = pr * pr + pi * pi;
            if (polish < 0 && pn <= (bound * e) * (bound * e)) {
                done[i] = true;
                step[i] = 0.0;
                continue;
            }
            if (pn == 0.0) continue;
            all = false;
            // The terms of the mirror y_j and of z_j computed as a pair, then
            // summed in that order (z_i's own term, 1/0, is dropped).
            double sr = 0.0, si = 0.0;
            const Pair pxr = {xr, xr}, pxi = {xi, xi}, one = {1.0, 1.0};
            for (int j = 0; j < m; ++j) {
                const Pair ar = pxr - load2(re2 + 2 * j);
                const Pair ai = pxi - load2(im2 + 2 * j);
                const Pair inv = one / (ar * ar + ai * ai);
                const Pair tr = ar * inv;
                const Pair ti = ai * inv;
                sr += tr[0];
                si -= ti[0];
                if (j == i) continue;
                sr += tr[1];
                si -= ti[1];
            }
            const cd w = aberthCorrection(pr, pi, dr, di, sr, si);
            if (!std::isfinite(w.real()) || !std::isfinite(w.imag())) return false;
            cd x = z[i] - w;
            const double nx = std::norm(x);
            if (nx > 1.0) x /= nx;  // its mirror, inside
            step[i] = modulus(w);
            z[i] = x;
            y[i] = x / std::norm(x);
            re2[2 * i] = y[i].real(), re2[2 * i + 1] = x.real();
            im2[2 * i] = y[i].imag(), im2[2 * i + 1] = x.imag();
            // After a step this small the iteration's cubic rate near a simple
            // root leaves it within rounding: another evaluation would only
            // confirm it (the selectable roots are polished below in any case).
            if (polish < 0 && step[i] < kSettled) {
                done[i] = true;
                step[i] = 0.0;
            }
        }
        if (polish >= 0 && ++polish == 2) return true;
        if (all && polish < 0) polish = 0;
    }
    return false;
}

}  // namespace

int selfReciprocalRoots(const TarnCplxD *coef, int count, int nearest, TarnCplxD *roots,
                        const TarnCplxD *warm, int warmCount) {
    const int degree = count - 1;
    if (count < 3 || count % 2 == 0 || degree > kFastRootsMaxDegree) return 0;
    const int m = degree / 2;
    cd q[kFastRootsMaxDegree];
    for (int k = 0; k < degree; ++k) {
        aaMathCalcCplxDiv(&q[k], coef[k + 1], coef[0]);
        if (!finite(q[k])) return 0;
    }
    cd found[kFastRootsMaxDegree];
    const int nwarm = warm != nullptr ? std::max(0, std::min(warmCount, m)) : 0;
    if (!mirroredAberthRoots(q, m, nearest, warm, nwarm, found)) return polyRootsFast(coef, count, roots);
    for (int i = 0; i < m; ++i) found[m + i] = found[i] / std::norm(found[i]);
    // Stable insertion sort by magnitude, the order of the exported root finder.
    double mag[kFastRootsMaxDegree];
    for (int i = 0; i < degree; ++i) insertSorted(roots, mag, i, found[i], modulus(found[i]));
    return degree;
}

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
    for (int i = 0; i < m; ++i) insertSorted(roots, mag, i, found[i], std::abs(found[i]));
    return m;
}

}  // namespace tarn_math
