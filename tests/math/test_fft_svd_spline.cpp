// FFT and inverse, singular value decomposition, cubic spline.
#include <gtest/gtest.h>

#include <Eigen/Sparse>
#include <Eigen/SparseLU>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "log_capture.h"
#include "math/math_internal.h"
#include "tarn_math.h"

namespace {

using C = TarnCplxD;
constexpr double kPi = 3.14159265358979323846;

std::vector<C> randomVector(std::mt19937 &rng, int n) {
    std::uniform_real_distribution<double> d(-1, 1);
    std::vector<C> v(n);
    for (C &c : v) c = C(d(rng), d(rng));
    return v;
}

std::vector<C> directDft(const std::vector<C> &x, int sign) {
    const int n = static_cast<int>(x.size());
    std::vector<C> out(n);
    for (int k = 0; k < n; ++k) {
        C acc(0, 0);
        for (int t = 0; t < n; ++t) {
            const double a = sign * 2.0 * kPi * ((static_cast<long>(t) * k) % n) / n;
            acc += x[t] * C(std::cos(a), std::sin(a));
        }
        out[k] = acc;
    }
    return out;
}

double maxDiff(const std::vector<C> &a, const std::vector<C> &b) {
    double m = 0;
    for (std::size_t i = 0; i < a.size(); ++i) m = std::max(m, std::abs(a[i] - b[i]));
    return m;
}

TEST(BitReversal, Values) {
    EXPECT_EQ(reserveBits(1, 3), 4);
    EXPECT_EQ(reserveBits(6, 3), 3);
    EXPECT_EQ(reserveBits(5, 0), 0);
    EXPECT_EQ(reserveBits(1, 14), 8192);
    EXPECT_EQ(reserveBits(0xffff, 16), 0xffff);
}

TEST(Fft, ImpulseAndOnes) {
    std::vector<C> x(8, C(0, 0));
    x[0] = 1.0;
    fft(x.data(), 8);
    for (const C &c : x) EXPECT_EQ(c, C(1, 0));
    std::vector<C> ones(8, C(1, 0)), out(8);
    ifft(ones.data(), 8, out.data(), 8);
    EXPECT_EQ(out[0], C(1, 0));
    for (int i = 1; i < 8; ++i) EXPECT_NEAR(std::abs(out[i]), 0, 1e-16);
    C one(5, 6);
    fft(&one, 1);
    EXPECT_EQ(one, C(5, 6));
}

TEST(Fft, MatchesDirectDft) {
    std::mt19937 rng(1);
    for (int n : {2, 4, 16, 64, 512, 2048}) {
        std::vector<C> x = randomVector(rng, n);
        const std::vector<C> want = directDft(x, -1);
        fft(x.data(), n);
        EXPECT_LT(maxDiff(x, want), 1e-12 * n) << n;
    }
}

TEST(Fft, InverseRoundTripPaddingAndTruncation) {
    std::mt19937 rng(2);
    for (int n : {1, 8, 512, 16384}) {
        const std::vector<C> x = randomVector(rng, n);
        std::vector<C> freq(x);
        fft(freq.data(), n);
        std::vector<C> back(n);
        ifft(freq.data(), n, back.data(), n);
        EXPECT_LT(maxDiff(back, x), 1e-14 * (n + 16)) << n;
    }
    // 79 values zero-padded to 512: equals the inverse DFT of the padded vector.
    const std::vector<C> x79 = randomVector(rng, 79);
    std::vector<C> padded(x79);
    padded.resize(512, C(0, 0));
    std::vector<C> want = directDft(padded, +1);
    for (C &c : want) c /= 512.0;
    std::vector<C> got(512, C(9, 9));
    ifft(x79.data(), 79, got.data(), 512);
    EXPECT_LT(maxDiff(got, want), 1e-14 * 512);
    // With N = 64 only the first 64 inputs count.
    std::vector<C> first64(x79.begin(), x79.begin() + 64);
    want = directDft(first64, +1);
    for (C &c : want) c /= 64.0;
    got.assign(64, C(9, 9));
    ifft(x79.data(), 79, got.data(), 64);
    EXPECT_LT(maxDiff(got, want), 1e-14 * 64);
    // In place.
    std::vector<C> inPlace(x79.begin(), x79.begin() + 64);
    ifft(inPlace.data(), 64, inPlace.data(), 64);
    EXPECT_EQ(maxDiff(inPlace, got), 0.0);
}

TEST(Fft, SizesOutsideTheModelDoNothing) {
    tarn_test::LogCapture cap(1);
    std::vector<C> x(32768, C(1, 0));
    fft(x.data(), 12);
    fft(x.data(), 32768);
    fft(x.data(), -4);
    EXPECT_EQ(x[0], C(1, 0));
    EXPECT_EQ(x[1], C(1, 0));
    EXPECT_EQ(cap.count("fft: size 12 is not a power of two in 1..16384\n"), 1);
    ifft(x.data(), 4, x.data(), 0);
    ifft(x.data(), 4, x.data(), 24);
    EXPECT_EQ(x[0], C(1, 0));
}

// A = U diag(w) V^T with orthonormal columns and descending w.
void checkSvd(const std::vector<double> &a, int m, int n) {
    std::vector<double> u(m * n), w(n), v(n * n), work(n);
    ASSERT_EQ(svd(a.data(), m, n, u.data(), w.data(), v.data(), work.data()), 0);
    for (int i = 0; i + 1 < n; ++i) EXPECT_GE(w[i], w[i + 1]);
    for (int i = 0; i < n; ++i) EXPECT_GE(w[i], 0.0);
    double scale = 0;
    for (double x : a) scale = std::max(scale, std::fabs(x));
    for (int i = 0; i < m; ++i) {
        for (int j = 0; j < n; ++j) {
            double s = 0;
            for (int k = 0; k < n; ++k) s += u[i * n + k] * w[k] * v[j * n + k];
            EXPECT_NEAR(s, a[i * n + j], 1e-13 * (scale + 1) * (m + n)) << i << "," << j;
        }
    }
    for (int p = 0; p < n; ++p) {
        for (int q = 0; q < n; ++q) {
            double vv = 0;
            for (int k = 0; k < n; ++k) vv += v[k * n + p] * v[k * n + q];
            EXPECT_NEAR(vv, p == q ? 1.0 : 0.0, 1e-13 * (n + 1));
            if (m >= n) {
                double uu = 0;
                for (int k = 0; k < m; ++k) uu += u[k * n + p] * u[k * n + q];
                EXPECT_NEAR(uu, p == q ? 1.0 : 0.0, 1e-13 * (m + 1));
            }
        }
    }
}

TEST(Svd, DiagonalMatrix) {
    const double a[] = {1, 0, 0,  //
                        0, 3, 0,  //
                        0, 0, 2};
    double u[9], w[3], v[9], work[3];
    ASSERT_EQ(svd(a, 3, 3, u, w, v, work), 0);
    EXPECT_DOUBLE_EQ(w[0], 3);
    EXPECT_DOUBLE_EQ(w[1], 2);
    EXPECT_DOUBLE_EQ(w[2], 1);
    // Permuted unit vectors: column 0 of V is +-e1, column 1 +-e2, column 2 +-e0.
    EXPECT_DOUBLE_EQ(std::fabs(v[1 * 3 + 0]), 1.0);
    EXPECT_DOUBLE_EQ(std::fabs(v[2 * 3 + 1]), 1.0);
    EXPECT_DOUBLE_EQ(std::fabs(v[0 * 3 + 2]), 1.0);
    EXPECT_DOUBLE_EQ(std::fabs(u[1 * 3 + 0]), 1.0);
    double w2[3], u2[9], v2[9];
    ASSERT_EQ(singularValueDecomposition(a, 3, 3, u2, w2, v2, work), 0);
    EXPECT_EQ(w2[0], w[0]);
}

TEST(Svd, RandomShapesReconstruct) {
    std::mt19937 rng(12);
    std::normal_distribution<double> d(0, 3);
    const int shapes[][2] = {{1, 1}, {4, 4}, {7, 3}, {20, 20}, {3, 7}, {30, 5}};
    for (const auto &s : shapes) {
        std::vector<double> a(s[0] * s[1]);
        for (double &x : a) x = d(rng);
        checkSvd(a, s[0], s[1]);
    }
    // Rank-deficient: two equal rows and a zero column.
    std::vector<double> r = {1, 2, 0, 1, 2, 0, 3, -1, 0, 0, 5, 0};
    checkSvd(r, 4, 3);
    checkSvd(std::vector<double>(6, 0.0), 3, 2);
}

TEST(Svd, NonFiniteInputReportsFailure) {
    tarn_test::LogCapture cap(1);
    const double a[] = {1, NAN, 2, 3};
    double u[4], w[2], v[4], work[2];
    EXPECT_EQ(svd(a, 2, 2, u, w, v, work), -1);
    EXPECT_TRUE(cap.contains("svd: no convergence in 30 sweeps\n"));
}

double cubicAt(double t) {
    return 0.5 - 2.0 * t + 0.75 * t * t - 0.125 * t * t * t;
}

TEST(Spline, ReproducesCubics) {
    std::mt19937 rng(30);
    std::uniform_real_distribution<double> step(0.2, 3.0);
    for (int n : {4, 5, 9, 79}) {
        std::vector<double> x(n), y(n);
        double pos = -5.0;
        for (int i = 0; i < n; ++i) {
            x[i] = pos;
            y[i] = cubicAt(pos);
            pos += step(rng);
        }
        std::vector<double> q, out;
        for (double v = x[0] - 2.0; v < x[n - 1] + 2.0; v += 0.37) q.push_back(v);
        q.push_back(x[1]);
        out.resize(q.size());
        aaMathCalcSpline(x.data(), y.data(), q.data(), n, static_cast<int>(q.size()), out.data());
        for (std::size_t i = 0; i < q.size(); ++i) {
            const double want = cubicAt(q[i]);
            EXPECT_NEAR(out[i], want, 1e-9 * (1 + std::fabs(want))) << n << " at " << q[i];
        }
    }
}

TEST(Spline, InterpolatesKnotsOfNonPolynomialData) {
    std::vector<double> x, y;
    for (int k = 0; k < 79; k += 1 + (k % 3)) {
        x.push_back(k);
        y.push_back(std::sin(0.3 * k) * 1000.0);
    }
    std::vector<double> out(x.size());
    aaMathCalcSpline(x.data(), y.data(), x.data(), static_cast<int>(x.size()),
                     static_cast<int>(x.size()), out.data());
    for (std::size_t i = 0; i < x.size(); ++i) EXPECT_NEAR(out[i], y[i], 1e-9);
    // Between knots of a smooth function the cubic stays close.
    const double mid = x[10] + 0.5;
    double v;
    aaMathCalcSpline(x.data(), y.data(), &mid, static_cast<int>(x.size()), 1, &v);
    EXPECT_NEAR(v, std::sin(0.3 * mid) * 1000.0, 15.0);
}

TEST(Spline, FewKnotsAndBadKnots) {
    const double x[] = {0, 1, 3};
    const double y[] = {1, 3, 13};  // 1 + x + x^2
    const double q[] = {2, -1};
    double out[2];
    aaMathCalcSpline(x, y, q, 3, 2, out);
    EXPECT_DOUBLE_EQ(out[0], 7);
    EXPECT_DOUBLE_EQ(out[1], 1);
    aaMathCalcSpline(x, y, q, 2, 2, out);
    EXPECT_DOUBLE_EQ(out[0], 5);
    aaMathCalcSpline(x, y, q, 1, 2, out);
    EXPECT_EQ(out[1], 1);

    tarn_test::LogCapture cap(1);
    const double dup[] = {0, 1, 1, 2};
    out[0] = 9;
    aaMathCalcSpline(dup, y, q, 4, 2, out);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_TRUE(cap.containsFragment("knots not strictly increasing at 2"));
    aaMathCalcSpline(x, y, q, 0, 2, out);
    EXPECT_EQ(out[1], 0.0);
}

// The slope system as the spline solved it before: assembled as a sparse
// matrix and factorised by a sparse LU with column ordering.
std::vector<double> sparseLuSlopes(const std::vector<double> &h, const std::vector<double> &d) {
    const int n = static_cast<int>(h.size()) + 1;
    const int m = n - 2;
    Eigen::SparseMatrix<double> a(m, m);
    a.reserve(Eigen::VectorXi::Constant(m, 3));
    Eigen::VectorXd rhs(m);
    const double h0 = h[0], h1 = h[1], r0 = h0 * h0 / h1;
    a.insert(0, 0) = 2.0 * h0 + h1 + r0;
    a.insert(0, 1) = r0 + h0;
    rhs[0] = h1 * d[0] + h0 * d[1] + 2.0 * (r0 + h0) * d[1];
    for (int k = 2; k <= n - 3; ++k) {
        a.insert(k - 1, k - 2) = h[k];
        a.insert(k - 1, k - 1) = 2.0 * (h[k - 1] + h[k]);
        a.insert(k - 1, k) = h[k - 1];
        rhs[k - 1] = 3.0 * (h[k] * d[k - 1] + h[k - 1] * d[k]);
    }
    const double hl = h[n - 2], hp = h[n - 3], rl = hl * hl / hp;
    a.insert(m - 1, m - 1) = 2.0 * hl + hp + rl;
    a.insert(m - 1, m - 2) = rl + hl;
    rhs[m - 1] = hp * d[n - 2] + hl * d[n - 3] + 2.0 * (rl + hl) * d[n - 3];
    a.makeCompressed();
    Eigen::SparseLU<Eigen::SparseMatrix<double>, Eigen::COLAMDOrdering<int>> lu;
    lu.compute(a);
    const Eigen::VectorXd inner = lu.solve(rhs);
    std::vector<double> s(n);
    for (int k = 1; k <= n - 2; ++k) s[k] = inner[k - 1];
    s[0] = 2.0 * d[0] - s[1] + (h0 * h0 / (h1 * h1)) * (s[1] + s[2] - 2.0 * d[1]);
    s[n - 1] = 2.0 * d[n - 2] - s[n - 2] + (hl * hl / (hp * hp)) * (s[n - 2] + s[n - 3] - 2.0 * d[n - 3]);
    return s;
}

// Random knot sets as the gap filler makes them (channel gaps of 1 to 6,
// phase-like and amplitude-like values) and at real-valued spacing: the
// in-place elimination agrees with the sparse LU to rounding (relative to
// the largest slope).
TEST(Spline, InPlaceSlopesMatchTheSparseLu) {
    std::mt19937 rng(33);
    std::uniform_int_distribution<int> gap(1, 6);
    std::uniform_real_distribution<double> width(0.05, 20.0);
    std::normal_distribution<double> value(0.0, 3000.0);
    for (int trial = 0; trial < 400; ++trial) {
        const int n = 4 + trial % 76;
        const bool channels = trial % 2 == 0;
        std::vector<double> h(n - 1), d(n - 1), y(n);
        for (double &v : y) v = value(rng);
        for (int k = 0; k < n - 1; ++k) {
            h[k] = channels ? gap(rng) : width(rng);
            d[k] = (y[k + 1] - y[k]) / h[k];
        }
        const std::vector<double> want = sparseLuSlopes(h, d);
        std::vector<double> got(n), scratch(n);
        ASSERT_TRUE(tarn_math::splineSlopes(h.data(), d.data(), n, got.data(), scratch.data()));
        double scale = 0.0;
        for (double v : want) scale = std::max(scale, std::fabs(v));
        for (int k = 0; k < n; ++k) {
            ASSERT_LE(std::fabs(got[k] - want[k]), 1e-12 * scale) << "trial " << trial << " n " << n << " slope " << k;
        }
    }
    std::vector<double> h(3, 1.0), d(3, 0.0), s(4), scratch(4);
    EXPECT_FALSE(tarn_math::splineSlopes(h.data(), d.data(), 3, s.data(), scratch.data()));
}

}  // namespace
