// Singular value decomposition (Golub-Reinsch): Householder bidiagonalisation
// followed by implicitly shifted QR sweeps.
#include <cmath>

#include "math/math_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

namespace {

constexpr int kMaxSweeps = 30;

// sqrt(a^2 + b^2) without destructive overflow or underflow.
double pythag(double a, double b) {
    const double absA = std::fabs(a);
    const double absB = std::fabs(b);
    if (absA > absB) {
        const double r = absB / absA;
        return absA * std::sqrt(1.0 + r * r);
    }
    if (absB == 0.0) return 0.0;
    const double r = absA / absB;
    return absB * std::sqrt(1.0 + r * r);
}

double withSignOf(double magnitude, double sign) {
    return sign >= 0.0 ? std::fabs(magnitude) : -std::fabs(magnitude);
}

// Row-major views of U (m x n) and V (n x n).
struct Factors {
    double *u;
    double *v;
    int m;
    int n;
    double &U(int i, int j) { return u[static_cast<std::size_t>(i) * n + j]; }
    double &V(int i, int j) { return v[static_cast<std::size_t>(i) * n + j]; }
};

// Householder reduction to upper bidiagonal form: diagonal in w, superdiagonal
// in e (e[0] = 0). Returns the norm used for the convergence tolerance.
double bidiagonalise(Factors &f, double *w, double *e) {
    const int m = f.m;
    const int n = f.n;
    double g = 0.0;
    double scale = 0.0;
    double anorm = 0.0;
    for (int i = 0; i < n; ++i) {
        const int l = i + 1;
        e[i] = scale * g;
        g = 0.0;
        scale = 0.0;
        double s = 0.0;
        if (i < m) {
            for (int k = i; k < m; ++k) scale += std::fabs(f.U(k, i));
            if (scale != 0.0) {
                for (int k = i; k < m; ++k) {
                    f.U(k, i) /= scale;
                    s += f.U(k, i) * f.U(k, i);
                }
                const double lead = f.U(i, i);
                g = -withSignOf(std::sqrt(s), lead);
                const double h = lead * g - s;
                f.U(i, i) = lead - g;
                for (int j = l; j < n; ++j) {
                    double dot = 0.0;
                    for (int k = i; k < m; ++k) dot += f.U(k, i) * f.U(k, j);
                    const double factor = dot / h;
                    for (int k = i; k < m; ++k) f.U(k, j) += factor * f.U(k, i);
                }
                for (int k = i; k < m; ++k) f.U(k, i) *= scale;
            }
        }
        w[i] = scale * g;
        g = 0.0;
        scale = 0.0;
        s = 0.0;
        if (i < m && i != n - 1) {
            for (int k = l; k < n; ++k) scale += std::fabs(f.U(i, k));
            if (scale != 0.0) {
                for (int k = l; k < n; ++k) {
                    f.U(i, k) /= scale;
                    s += f.U(i, k) * f.U(i, k);
                }
                const double lead = f.U(i, l);
                g = -withSignOf(std::sqrt(s), lead);
                const double h = lead * g - s;
                f.U(i, l) = lead - g;
                for (int k = l; k < n; ++k) e[k] = f.U(i, k) / h;
                for (int j = l; j < m; ++j) {
                    double dot = 0.0;
                    for (int k = l; k < n; ++k) dot += f.U(j, k) * f.U(i, k);
                    for (int k = l; k < n; ++k) f.U(j, k) += dot * e[k];
                }
                for (int k = l; k < n; ++k) f.U(i, k) *= scale;
            }
        }
        anorm = std::max(anorm, std::fabs(w[i]) + std::fabs(e[i]));
    }
    return anorm;
}

// Right-hand transformations into V, starting from the last row and column.
void accumulateRight(Factors &f, const double *e) {
    const int n = f.n;
    double g = 0.0;
    int l = n;
    for (int i = n - 1; i >= 0; --i) {
        if (i < n - 1) {
            if (g != 0.0) {
                for (int j = l; j < n; ++j) f.V(j, i) = (f.U(i, j) / f.U(i, l)) / g;
                for (int j = l; j < n; ++j) {
                    double s = 0.0;
                    for (int k = l; k < n; ++k) s += f.U(i, k) * f.V(k, j);
                    for (int k = l; k < n; ++k) f.V(k, j) += s * f.V(k, i);
                }
            }
            for (int j = l; j < n; ++j) {
                f.V(i, j) = 0.0;
                f.V(j, i) = 0.0;
            }
        }
        f.V(i, i) = 1.0;
        g = e[i];
        l = i;
    }
}

// Left-hand transformations into U.
void accumulateLeft(Factors &f, const double *w) {
    const int m = f.m;
    const int n = f.n;
    for (int i = std::min(m, n) - 1; i >= 0; --i) {
        const int l = i + 1;
        double g = w[i];
        for (int j = l; j < n; ++j) f.U(i, j) = 0.0;
        if (g != 0.0) {
            g = 1.0 / g;
            for (int j = l; j < n; ++j) {
                double s = 0.0;
                for (int k = l; k < m; ++k) s += f.U(k, i) * f.U(k, j);
                const double factor = (s / f.U(i, i)) * g;
                for (int k = i; k < m; ++k) f.U(k, j) += factor * f.U(k, i);
            }
            for (int j = i; j < m; ++j) f.U(j, i) *= g;
        } else {
            for (int j = i; j < m; ++j) f.U(j, i) = 0.0;
        }
        f.U(i, i) += 1.0;
    }
}

void rotateColumns(double *base, int rows, int stride, int a, int b, double c, double s) {
    for (int r = 0; r < rows; ++r) {
        double *row = base + static_cast<std::size_t>(r) * stride;
        const double y = row[a];
        const double z = row[b];
        row[a] = y * c + z * s;
        row[b] = z * c - y * s;
    }
}

// Diagonalises the bidiagonal form; false when a value needs more than 30 sweeps.
bool diagonalise(Factors &f, double *w, double *e, double eps) {
    const int m = f.m;
    const int n = f.n;
    for (int k = n - 1; k >= 0; --k) {
        for (int sweep = 1;; ++sweep) {
            // Largest l with a negligible superdiagonal (split) or a negligible
            // diagonal entry above it (then e[l] is cancelled first).
            bool cancel = true;
            int l = k;
            for (; l >= 0; --l) {
                if (l == 0 || std::fabs(e[l]) <= eps) {
                    cancel = false;
                    break;
                }
                if (std::fabs(w[l - 1]) <= eps) break;
            }
            if (cancel) {
                const int nm = l - 1;
                double c = 0.0;
                double s = 1.0;
                for (int i = l; i <= k; ++i) {
                    const double t = s * e[i];
                    e[i] = c * e[i];
                    if (std::fabs(t) <= eps) break;
                    const double g = w[i];
                    double h = pythag(t, g);
                    w[i] = h;
                    h = 1.0 / h;
                    c = g * h;
                    s = -t * h;
                    rotateColumns(f.u, m, n, nm, i, c, s);
                }
            }
            double z = w[k];
            if (l == k) {
                if (z < 0.0) {
                    w[k] = -z;
                    for (int j = 0; j < n; ++j) f.V(j, k) = -f.V(j, k);
                }
                break;
            }
            if (sweep >= kMaxSweeps) return false;
            // Shift from the trailing 2 x 2 block, then one implicit QR sweep.
            double x = w[l];
            int nm = k - 1;
            double y = w[nm];
            double g = e[nm];
            double h = e[k];
            double t = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
            g = pythag(t, 1.0);
            t = ((x - z) * (x + z) + h * ((y / (t + withSignOf(g, t))) - h)) / x;
            double c = 1.0;
            double s = 1.0;
            for (int j = l; j <= nm; ++j) {
                const int i = j + 1;
                g = e[i];
                y = w[i];
                h = s * g;
                g = c * g;
                z = pythag(t, h);
                e[j] = z;
                c = t / z;
                s = h / z;
                t = x * c + g * s;
                g = g * c - x * s;
                h = y * s;
                y *= c;
                rotateColumns(f.v, n, n, j, i, c, s);
                z = pythag(t, h);
                w[j] = z;
                if (z != 0.0) {
                    z = 1.0 / z;
                    c = t * z;
                    s = h * z;
                }
                t = c * g + s * y;
                x = c * y - s * g;
                rotateColumns(f.u, m, n, j, i, c, s);
            }
            e[l] = 0.0;
            e[k] = t;
            w[k] = x;
        }
    }
    return true;
}

}  // namespace

extern "C" {

int svd(const double *A, int m, int n, double *U, double *w, double *V, double *work) {
    if (m < 1 || n < 1) return 0;
    const std::size_t total = static_cast<std::size_t>(m) * static_cast<std::size_t>(n);
    if (A != U) std::copy(A, A + total, U);
    Factors f{U, V, m, n};
    const double anorm = bidiagonalise(f, w, work);
    accumulateRight(f, work);
    accumulateLeft(f, w);
    const double eps = anorm * 0x1p-52;
    if (!diagonalise(f, w, work, eps)) {
        DEBUG_LOG(1, "%s: no convergence in %d sweeps\n", __func__, kMaxSweeps);
        return -1;
    }
    // Descending order by selection, columns of U and V following their values.
    for (int i = 0; i < n - 1; ++i) {
        int best = i;
        for (int j = i + 1; j < n; ++j) {
            if (w[j] > w[best]) best = j;
        }
        if (best == i) continue;
        std::swap(w[i], w[best]);
        for (int r = 0; r < m; ++r) std::swap(f.U(r, i), f.U(r, best));
        for (int r = 0; r < n; ++r) std::swap(f.V(r, i), f.V(r, best));
    }
    return 0;
}

int singularValueDecomposition(const double *A, int m, int n, double *U, double *w, double *V,
                               double *work) {
    return svd(A, m, n, U, w, V, work);
}

}  // extern "C"
