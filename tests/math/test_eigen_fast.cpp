// The estimate path's own solvers: the noise subspace of a forward-backward
// covariance through its real symmetric form, and the roots of a
// self-reciprocal polynomial from the roots inside the unit circle.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "math/eigen_fast.h"

namespace {

using cd = std::complex<double>;
constexpr int kStride = 28;

// A random centro-Hermitian Hermitian matrix: (A + J conj(A) J) / 2 with A
// Hermitian, built entry pair by entry pair so the symmetry is exact.
std::vector<cd> centroHermitian(int n, std::mt19937 &rng) {
    std::normal_distribution<double> g(0.0, 1.0);
    std::vector<cd> B(static_cast<size_t>(n) * n);
    for (int l = 0; l < n; ++l)
        for (int k = 0; k <= l; ++k) {
            const cd v(g(rng), l == k ? 0.0 : g(rng));
            B[static_cast<size_t>(l * n + k)] = v;
            B[static_cast<size_t>(k * n + l)] = std::conj(v);
        }
    std::vector<cd> R(static_cast<size_t>(kStride) * kStride);
    for (int l = 0; l < n; ++l)
        for (int k = 0; k < n; ++k)
            R[static_cast<size_t>(l * kStride + k)] =
                0.5 * (B[static_cast<size_t>(l * n + k)] +
                       std::conj(B[static_cast<size_t>((n - 1 - l) * n + (n - 1 - k))]));
    return R;
}

TEST(CentroHermitianNoise, EigenpairsMatchTheGeneralSolver) {
    std::mt19937 rng(3);
    tarn_math::SymEigenWork work;
    for (int n = 1; n <= 28; ++n) {
        const std::vector<cd> R = centroHermitian(n, rng);
        const int count = (n + 1) / 2;
        double values[28];
        cd noise[28 * 28];
        ASSERT_TRUE(tarn_math::centroHermitianNoise(R.data(), n, kStride, count, &work, values, noise));
        Eigen::MatrixXcd M(n, n);
        for (int l = 0; l < n; ++l)
            for (int k = 0; k < n; ++k) M(l, k) = R[static_cast<size_t>(l * kStride + k)];
        Eigen::SelfAdjointEigenSolver<Eigen::MatrixXcd> ref(M);
        for (int k = 0; k < n; ++k) EXPECT_NEAR(values[k], ref.eigenvalues()[k], 1e-12) << "n " << n;
        // Each wanted vector is a unit eigenvector of R, orthogonal to the others.
        for (int c = 0; c < count; ++c) {
            Eigen::Map<const Eigen::VectorXcd> v(noise + c * n, n);
            EXPECT_NEAR((M * v - values[c] * v).norm(), 0.0, 1e-12) << "n " << n << " vector " << c;
            EXPECT_NEAR(v.norm(), 1.0, 1e-12);
            for (int d = 0; d < c; ++d) {
                Eigen::Map<const Eigen::VectorXcd> w(noise + d * n, n);
                EXPECT_NEAR(std::abs(w.dot(v)), 0.0, 1e-12);
            }
        }
    }
    double values[4];
    cd noise[16];
    EXPECT_FALSE(tarn_math::centroHermitianNoise(nullptr, 29, kStride, 1, &work, values, noise));
    EXPECT_FALSE(tarn_math::centroHermitianNoise(nullptr, 4, 3, 1, &work, values, noise));
}

// Largest distance from a found root to the nearest true root.
double worstError(const cd *found, int n, const std::vector<cd> &truth) {
    double worst = 0.0;
    for (int k = 0; k < n; ++k) {
        double best = INFINITY;
        for (const cd &z : truth) best = std::min(best, std::abs(found[k] - z));
        worst = std::max(worst, best);
    }
    return worst;
}

TEST(SelfReciprocalRoots, AsAccurateAsTheFullIteration) {
    // Polynomials with roots in pairs z, 1/conj(z) (in a third of them one
    // pair on the unit circle, a double root): the mirrored iteration finds
    // every root as accurately as the full iteration, in ascending
    // magnitude.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const int m = 1 + trial % 27;
        std::vector<cd> roots;
        for (int i = 0; i < m; ++i) {
            const double r = i == 0 && trial % 3 == 0 ? 1.0 : 0.2 + 0.79 * u(rng);
            const cd z = std::polar(r, 6.283185307179586 * u(rng));
            roots.push_back(z);
            roots.push_back(1.0 / std::conj(z));
        }
        std::vector<cd> c(1, cd(0.7, -0.2));  // highest power first
        for (const cd &z : roots) {
            c.push_back(0.0);
            for (size_t k = c.size() - 1; k > 0; --k) c[k] -= z * c[k - 1];
        }
        // Conjugate self-reciprocal up to a unit factor; scale it out and
        // make the symmetry exact.
        const cd norm = std::sqrt(std::conj(c.back()) / c.front());
        for (auto &x : c) x *= norm;
        for (size_t k = 0; k < c.size() / 2; ++k) c[c.size() - 1 - k] = std::conj(c[k]);
        c[c.size() / 2] = c[c.size() / 2].real();
        cd fast[54], full[54];
        const int nf = tarn_math::selfReciprocalRoots(c.data(), static_cast<int>(c.size()), m, fast);
        const int nr = tarn_math::polyRootsFast(c.data(), static_cast<int>(c.size()), full);
        ASSERT_EQ(nf, 2 * m);
        ASSERT_EQ(nr, 2 * m);
        const double errFast = worstError(fast, nf, roots);
        const double errFull = worstError(full, nr, roots);
        if (trial % 3 != 0) {
            EXPECT_LE(errFast, std::max(10.0 * errFull, 1e-10)) << "trial " << trial << " m " << m;
        } else {
            // A double root on the circle converges only linearly (it and
            // its mirror approach it from both sides): here up to about 35
            // times the full iteration's error, which for these random
            // polynomials is itself up to 0.04. MUSIC meets it only with a
            // single noise vector.
            EXPECT_LE(errFast, std::max(40.0 * errFull, 1e-5)) << "trial " << trial << " m " << m;
        }
        for (int k = 1; k < nf; ++k) EXPECT_LE(std::abs(fast[k - 1]), std::abs(fast[k]));
        // Asked for the three nearest the circle only (the rest may stop
        // early): those three, the last inside roots, are as accurate.
        if (trial % 3 != 0 && m > 3) {
            cd few[54];
            ASSERT_EQ(tarn_math::selfReciprocalRoots(c.data(), static_cast<int>(c.size()), 3, few),
                      2 * m);
            EXPECT_LE(worstError(few + m - 3, 3, roots), std::max(10.0 * errFull, 1e-10))
                << "trial " << trial << " m " << m;
        }
    }
    cd out[4];
    const cd even[2] = {1.0, 1.0};
    EXPECT_EQ(tarn_math::selfReciprocalRoots(even, 2, 1, out), 0);
}

}  // namespace
