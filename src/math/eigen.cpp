// Eigen-decomposition of complex matrices and polynomial roots through the
// companion matrix.
#include <Eigen/Dense>
#include <Eigen/Eigenvalues>

#include <array>
#include <cmath>
#include <limits>

#include "math/math_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

using tarn_math::countAbove;

namespace {

using CMatrix = Eigen::Matrix<std::complex<double>, Eigen::Dynamic, Eigen::Dynamic>;

constexpr int kMaxEigenSize = 255;

void fillNan(TarnCplxD *out, std::size_t count) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::fill(out, out + count, TarnCplxD(nan, nan));
}

// Eigenvalues of m in ascending magnitude (earlier first on equal magnitude),
// eigenvector k (unit norm) in column k of the row-major vectorsOut when that
// is given. A solver failure or exhausted memory yields NaN outputs.
void decompose(const char *function, CMatrix &m, TarnCplxD *valuesOut, TarnCplxD *vectorsOut) {
    const Eigen::Index n = m.rows();
    try {
        Eigen::ComplexEigenSolver<CMatrix> solver(n);
        solver.compute(m, vectorsOut != nullptr);
        if (solver.info() != Eigen::Success) {
            DEBUG_LOG(1, "%s: eigen solver did not converge\n", function);
            fillNan(valuesOut, static_cast<std::size_t>(n));
            if (vectorsOut) fillNan(vectorsOut, static_cast<std::size_t>(n * n));
            return;
        }
        const auto &values = solver.eigenvalues();
        // The solver already orders by magnitude; a stable insertion sort over
        // that order settles ties by position and costs one pass.
        std::array<int, kMaxEigenSize> order;
        std::array<double, kMaxEigenSize> mag;
        for (int i = 0; i < static_cast<int>(n); ++i)
            tarn_math::insertSorted(order.data(), mag.data(), i, i, std::abs(values[i]));
        for (Eigen::Index k = 0; k < n; ++k) valuesOut[k] = values[order[k]];
        if (vectorsOut) {
            const auto &vectors = solver.eigenvectors();
            for (Eigen::Index i = 0; i < n; ++i) {
                for (Eigen::Index k = 0; k < n; ++k) vectorsOut[i * n + k] = vectors(i, order[k]);
            }
        }
    } catch (...) {
        DEBUG_LOG(1, "%s: eigen-decomposition failed (out of memory)\n", function);
        fillNan(valuesOut, static_cast<std::size_t>(n));
        if (vectorsOut) fillNan(vectorsOut, static_cast<std::size_t>(n * n));
    }
}

}  // namespace

extern "C" {

void aaMathCalcEigenIf(const TarnCplxD *in, int n, int stride, TarnCplxD *valuesOut,
                       TarnCplxD *vectorsOut) {
    if (n < 1) return;
    if (countAbove(__func__, n, kMaxEigenSize)) return;
    if (stride < 0) {
        DEBUG_LOG(1, "%s: negative stride %d\n", __func__, stride);
        return;
    }
    try {
        CMatrix m(n, n);
        for (int c = 0; c < n; ++c) {
            for (int r = 0; r < n; ++r) m(r, c) = in[static_cast<std::ptrdiff_t>(c) * stride + r];
        }
        decompose(__func__, m, valuesOut, vectorsOut);
    } catch (...) {
        DEBUG_LOG(1, "%s: out of memory for %d x %d\n", __func__, n, n);
        fillNan(valuesOut, static_cast<std::size_t>(n));
        if (vectorsOut) fillNan(vectorsOut, static_cast<std::size_t>(n) * n);
    }
}

void aaMathCalcRoots(const TarnCplxD *coef, int count, TarnCplxD *rootsOut) {
    if (count < 1 || countAbove(__func__, count, kMaxEigenSize + 1)) {
        rootsOut[0] = 0.0;
        return;
    }
    int last = -1;
    for (int k = 0; k < count; ++k) {
        if (coef[k].real() != 0.0 || coef[k].imag() != 0.0) last = k;
    }
    if (last < 0) {
        rootsOut[0] = 0.0;
        return;
    }
    std::fill(rootsOut, rootsOut + (count - last), TarnCplxD(0.0, 0.0));
    if (count < 3) return;
    // Companion matrix with the normalised coefficients negated down the first
    // column and ones on the superdiagonal; its eigenvalues are the roots. The
    // work area is sized to the degree.
    const int m = count - 1;
    try {
        CMatrix companion = CMatrix::Zero(m, m);
        for (int k = 0; k < m; ++k) {
            TarnCplxD q;
            aaMathCalcCplxDiv(&q, coef[k + 1], coef[0]);
            companion(k, 0) = -q;
        }
        for (int k = 1; k < m; ++k) companion(k - 1, k) = 1.0;
        // The eigenvectors are not needed; the eigenvalues do not depend on
        // whether they are computed.
        decompose(__func__, companion, rootsOut, nullptr);
    } catch (...) {
        DEBUG_LOG(1, "%s: out of memory for degree %d\n", __func__, m);
        fillNan(rootsOut, static_cast<std::size_t>(m));
    }
}

}  // extern "C"
