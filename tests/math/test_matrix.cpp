// Matrix helpers, convolution, polynomial fit, eigen interface and roots.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "log_capture.h"
#include "tarn_math.h"

namespace {

using C = TarnCplxD;

TEST(MatrixHelpers, SwapRowsAndColumns) {
    // 3 x 3 storage, rows reversed, two columns copied per row.
    std::vector<C> in(9), out(9, C(-1, -1));
    for (int i = 0; i < 9; ++i) in[i] = C(i, -i);
    aaMathMatSwapRows(in.data(), 3, 2, out.data());
    EXPECT_EQ(out[0], C(6, -6));
    EXPECT_EQ(out[1], C(7, -7));
    EXPECT_EQ(out[2], C(-1, -1));
    EXPECT_EQ(out[6], C(0, 0));
    // In place gives the same rows.
    std::vector<C> same(in);
    aaMathMatSwapRows(same.data(), 3, 3, same.data());
    EXPECT_EQ(same[0], C(6, -6));
    EXPECT_EQ(same[4], C(4, -4));
    EXPECT_EQ(same[8], C(2, -2));

    std::vector<C> cols(9, C(0, 0));
    EXPECT_EQ(aaMathMatGetCols(in.data(), 1, 3, 3, cols.data()), 2);
    EXPECT_EQ(cols[0], C(1, -1));
    EXPECT_EQ(cols[1], C(2, -2));
    EXPECT_EQ(cols[3], C(4, -4));
    EXPECT_EQ(cols[7], C(8, -8));
    std::vector<C> vec(9);
    EXPECT_EQ(aaMathMatGetColsToVector(in.data(), 2, 3, 3, vec.data()), 3);
    EXPECT_EQ(vec[0], C(2, -2));
    EXPECT_EQ(vec[1], C(5, -5));
    EXPECT_EQ(vec[2], C(8, -8));
    // A column range outside the matrix is refused.
    tarn_test::LogCapture cap(1);
    EXPECT_EQ(aaMathMatGetCols(in.data(), 2, 4, 3, cols.data()), 0);
    EXPECT_EQ(aaMathMatGetColsToVector(in.data(), -1, 2, 3, vec.data()), 0);
    EXPECT_TRUE(cap.containsFragment("outside"));
}

TEST(MatrixHelpers, MatrixToVector) {
    const double m[] = {1, 2, 3, 4, 5, 6};
    double v[6];
    EXPECT_EQ(aaMathMatrixToVectorD(m, 2, 3, 3, 0, v), 6);
    EXPECT_EQ(std::vector<double>(v, v + 6), (std::vector<double>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(aaMathMatrixToVectorD(m, 2, 3, 3, 1, v), 6);
    EXPECT_EQ(std::vector<double>(v, v + 6), (std::vector<double>{1, 4, 2, 5, 3, 6}));
    const int32_t mi[] = {1, 2, 9, 3, 4, 9};
    int32_t vi[4];
    EXPECT_EQ(aaMathMatrixToVectorI4(mi, 2, 2, 3, 1, vi), 4);
    EXPECT_EQ(std::vector<int>(vi, vi + 4), (std::vector<int>{1, 3, 2, 4}));
    const int8_t mb[] = {1, 2, 3, 4};
    int8_t vb[4];
    EXPECT_EQ(aaMathMatrixToVectorI1(mb, 2, 2, 2, 0, vb), 4);
    EXPECT_EQ(vb[3], 4);
    std::vector<double> big(128 * 2);
    EXPECT_EQ(aaMathMatrixToVectorD(big.data(), 2, 64, 64, 0, v), 0);
}

TEST(MatrixHelpers, RepeatMatrix) {
    uint8_t buf[12];
    std::memset(buf, 0, sizeof buf);
    aaMathRepeatMatrix(0x1ff, 3, 2, 4, buf);
    const uint8_t want[] = {0xff, 0xff, 0, 0, 0xff, 0xff, 0, 0, 0xff, 0xff, 0, 0};
    EXPECT_EQ(std::memcmp(buf, want, sizeof buf), 0);
    aaMathRepeatMatrix(7, 0, 2, 4, buf);
    EXPECT_EQ(buf[0], 0xff);
}

TEST(Convolution, FullLinear) {
    const C a[] = {{1, 0}, {1, 0}};
    const C b[] = {{1, 0}, {-1, 0}};
    C out[3];
    EXPECT_EQ(aaMathMatCalcConv(a, b, 1, 2, 2, 1, out), 3);
    EXPECT_EQ(out[0], C(1, 0));
    EXPECT_EQ(out[1], C(0, 0));
    EXPECT_EQ(out[2], C(-1, 0));

    std::mt19937 rng(5);
    std::uniform_real_distribution<double> d(-1, 1);
    std::vector<C> x(19), y(19), got(37);
    for (int i = 0; i < 19; ++i) {
        x[i] = C(d(rng), d(rng));
        y[i] = C(d(rng), d(rng));
    }
    EXPECT_EQ(aaMathMatCalcConv(x.data(), y.data(), 19, 1, 1, 19, got.data()), 37);
    for (int i = 0; i < 37; ++i) {
        C want(0, 0);
        for (int j = 0; j < 19; ++j) {
            if (i - j >= 0 && i - j < 19) want += x[j] * y[i - j];
        }
        EXPECT_NEAR(std::abs(got[i] - want), 0.0, 1e-14) << i;
    }
}

TEST(Convolution, UnequalOrLongLengthsRefused) {
    tarn_test::LogCapture cap(4);
    const C a[3] = {};
    C out[5] = {C(9, 9), C(9, 9), C(9, 9), C(9, 9), C(9, 9)};
    EXPECT_EQ(aaMathMatCalcConv(a, a, 1, 2, 1, 3, out), 0);
    EXPECT_EQ(out[0], C(9, 9));
    EXPECT_EQ(cap.count("Invalid length\n"), 1);
    // Lengths equal only in their low 8 bits are not equal.
    EXPECT_EQ(aaMathMatCalcConv(a, a, 1, 258, 1, 2, out), 0);
    std::vector<C> big(65);
    std::vector<C> bigOut(129, C(9, 9));
    EXPECT_EQ(aaMathMatCalcConv(big.data(), big.data(), 65, 1, 65, 1, bigOut.data()), 0);
    EXPECT_EQ(bigOut[0], C(9, 9));
    EXPECT_EQ(cap.count("Invalid length\n"), 3);
}

TEST(Polyfit, ExactLinesAndFailures) {
    const int8_t x[] = {0, 1, 2};
    const double y[] = {1, 3, 5};
    double c[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(aaMathCalcPolyfit(x, y, 3, 1, c), 0);
    EXPECT_NEAR(c[0], 1.0, 1e-12);
    EXPECT_NEAR(c[1], 2.0, 1e-12);
    EXPECT_EQ(aaMathCalcPolyfit(x, y, 3, 2, c), 0);
    EXPECT_NEAR(c[0], 1.0, 1e-12);
    EXPECT_NEAR(c[1], 2.0, 1e-12);
    EXPECT_NEAR(c[2], 0.0, 1e-12);

    c[0] = 9;
    EXPECT_EQ(aaMathCalcPolyfit(x, y, 2, 2, c), -1);
    EXPECT_EQ(aaMathCalcPolyfit(x, y, 3, 6, c), -1);
    EXPECT_EQ(aaMathCalcPolyfit(x, y, 3, -1, c), 0);
    EXPECT_EQ(c[0], 9);
    const int8_t same[] = {4, 4, 4};
    const int8_t zeros[] = {0, 0, 0};
    EXPECT_EQ(aaMathCalcPolyfit(zeros, y, 3, 1, c), -1);
    EXPECT_EQ(aaMathCalcPolyfit(same, y, 3, 1, c), -1);
}

TEST(Polyfit, LeastSquaresLineOnChannels) {
    // Noisy line over channel offsets as the gradient unwrap uses it.
    std::vector<int8_t> x;
    std::vector<double> y;
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0, 0.5);
    for (int k = 0; k < 78; k += 2) {
        x.push_back(static_cast<int8_t>(k));
        y.push_back(-1234.5 + 17.25 * k + noise(rng));
    }
    double c[2];
    ASSERT_EQ(aaMathCalcPolyfit(x.data(), y.data(), static_cast<int>(x.size()), 1, c), 0);
    // Closed-form least squares for comparison.
    const double n = static_cast<double>(x.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        sx += x[i];
        sy += y[i];
        sxx += x[i] * x[i];
        sxy += x[i] * y[i];
    }
    const double slope = (n * sxy - sx * sy) / (n * sxx - sx * sx);
    EXPECT_NEAR(c[1], slope, 1e-9);
    EXPECT_NEAR(c[0], (sy - slope * sx) / n, 1e-7);
}

TEST(Polyfit, CubicThroughFivePoints) {
    const int8_t x[] = {-2, -1, 0, 1, 2, 3};
    double y[6];
    for (int i = 0; i < 6; ++i) y[i] = 0.5 - x[i] + 0.25 * x[i] * x[i] * x[i];
    double c[4];
    ASSERT_EQ(aaMathCalcPolyfit(x, y, 6, 3, c), 0);
    EXPECT_NEAR(c[0], 0.5, 1e-9);
    EXPECT_NEAR(c[1], -1.0, 1e-9);
    EXPECT_NEAR(c[2], 0.0, 1e-9);
    EXPECT_NEAR(c[3], 0.25, 1e-9);
}

TEST(Roots, DocumentedPolynomials) {
    const C cplx[] = {{1, 1}, {-3, -3}, {2, 2}};
    C r[3] = {C(7, 7), C(7, 7), C(7, 7)};
    aaMathCalcRoots(cplx, 3, r);
    EXPECT_NEAR(std::abs(r[0] - C(1, 0)), 0, 1e-12);
    EXPECT_NEAR(std::abs(r[1] - C(2, 0)), 0, 1e-12);
    EXPECT_EQ(r[2], C(7, 7));

    const C real[] = {{1, 0}, {-3, 0}, {2, 0}};
    aaMathCalcRoots(real, 3, r);
    EXPECT_NEAR(std::abs(r[0] - C(1, 0)), 0, 1e-12);
    EXPECT_NEAR(std::abs(r[1] - C(2, 0)), 0, 1e-12);

    const C zero[3] = {};
    C z[3] = {C(7, 7), C(7, 7), C(7, 7)};
    aaMathCalcRoots(zero, 3, z);
    EXPECT_EQ(z[0], C(0, 0));
    EXPECT_EQ(z[1], C(7, 7));

    // Fewer than three coefficients: the leading slots are cleared only.
    const C lin[] = {{2, 0}, {-4, 0}};
    C l[2] = {C(7, 7), C(7, 7)};
    aaMathCalcRoots(lin, 2, l);
    EXPECT_EQ(l[0], C(0, 0));
    EXPECT_EQ(l[1], C(7, 7));
    C e = C(7, 7);
    aaMathCalcRoots(lin, 0, &e);
    EXPECT_EQ(e, C(0, 0));
}

std::vector<C> randomPoly(std::mt19937 &rng, int degree) {
    std::normal_distribution<double> d(0, 1);
    std::vector<C> p(degree + 1);
    for (C &c : p) c = C(d(rng), d(rng));
    return p;
}

C evalPoly(const std::vector<C> &p, C z) {
    C acc(0, 0);
    for (const C &c : p) acc = acc * z + c;
    return acc;
}

TEST(Roots, ReproduceTheirPolynomial) {
    std::mt19937 rng(21);
    for (int degree : {2, 5, 8, 17, 36, 54}) {
        const std::vector<C> p = randomPoly(rng, degree);
        std::vector<C> r(degree + 1, C(9, 9));
        aaMathCalcRoots(p.data(), degree + 1, r.data());
        double prevMag = 0;
        for (int k = 0; k < degree; ++k) {
            // Residual relative to the size of the terms at |z|.
            double scale = 0;
            for (const C &c : p) scale = scale * std::abs(r[k]) + std::abs(c);
            EXPECT_LT(std::abs(evalPoly(p, r[k])) / scale, 1e-10) << degree << " " << k;
            EXPECT_GE(std::abs(r[k]), prevMag);
            prevMag = std::abs(r[k]);
        }
        EXPECT_EQ(r[degree], C(9, 9));
    }
}

// The roots equal the eigenvalues of the companion matrix through the
// eigen interface, bit for bit.
TEST(Roots, EqualCompanionEigenvalues) {
    std::mt19937 rng(4);
    const int degree = 12;
    const std::vector<C> p = randomPoly(rng, degree);
    std::vector<C> companion(degree * degree, C(0, 0));
    for (int k = 0; k < degree; ++k) {
        C q;
        aaMathCalcCplxDiv(&q, p[k + 1], p[0]);
        companion[k] = -q;  // column 0
    }
    for (int k = 1; k < degree; ++k) companion[k * degree + (k - 1)] = 1.0;
    std::vector<C> values(degree), vectors(degree * degree), roots(degree + 1);
    aaMathCalcEigenIf(companion.data(), degree, degree, values.data(), vectors.data());
    aaMathCalcRoots(p.data(), degree + 1, roots.data());
    EXPECT_EQ(std::memcmp(values.data(), roots.data(), degree * sizeof(C)), 0);
}

TEST(EigenIf, DiagonalCase) {
    // Column-major 2 x 2 with stride 3.
    const C in[] = {{3, 0}, {0, 0}, {99, 99}, {0, 0}, {1, 0}, {99, 99}};
    C values[2], vectors[4];
    aaMathCalcEigenIf(in, 2, 3, values, vectors);
    EXPECT_NEAR(std::abs(values[0] - C(1, 0)), 0, 1e-15);
    EXPECT_NEAR(std::abs(values[1] - C(3, 0)), 0, 1e-15);
    // Column 0 is the eigenvector of 1: (0, 1) up to a unit phase.
    EXPECT_NEAR(std::abs(vectors[0]), 0, 1e-15);
    EXPECT_NEAR(std::abs(vectors[2]), 1, 1e-15);
    EXPECT_NEAR(std::abs(vectors[1]), 1, 1e-15);
    EXPECT_NEAR(std::abs(vectors[3]), 0, 1e-15);
}

TEST(EigenIf, EigenpairsOfHermitianAndGeneralMatrices) {
    std::mt19937 rng(8);
    std::normal_distribution<double> d(0, 1);
    for (int n : {1, 5, 12, 19, 40}) {
        for (int hermitian = 0; hermitian < 2; ++hermitian) {
            std::vector<C> a(n * n);  // column-major, stride n
            for (C &c : a) c = C(d(rng), d(rng));
            if (hermitian) {
                for (int r = 0; r < n; ++r) {
                    for (int c = 0; c < r; ++c) a[c * n + r] = std::conj(a[r * n + c]);
                    a[r * n + r] = C(a[r * n + r].real(), 0);
                }
            }
            std::vector<C> values(n), vectors(n * n);
            aaMathCalcEigenIf(a.data(), n, n, values.data(), vectors.data());
            for (int k = 0; k < n; ++k) {
                if (k > 0) {
                    EXPECT_GE(std::abs(values[k]), std::abs(values[k - 1]));
                }
                double norm = 0, residual = 0;
                for (int r = 0; r < n; ++r) {
                    C av(0, 0);
                    for (int c = 0; c < n; ++c) av += a[c * n + r] * vectors[c * n + k];
                    residual += std::norm(av - values[k] * vectors[r * n + k]);
                    norm += std::norm(vectors[r * n + k]);
                }
                EXPECT_NEAR(norm, 1.0, 1e-12);
                EXPECT_LT(std::sqrt(residual), 1e-11 * n) << n << " " << k;
                if (hermitian) {
                    EXPECT_NEAR(values[k].imag(), 0, 1e-12);
                }
            }
        }
    }
}

TEST(EigenIf, BadSizesAndNonFiniteInput) {
    tarn_test::LogCapture cap(1);
    C v = C(7, 7);
    aaMathCalcEigenIf(nullptr, 0, 0, &v, &v);
    EXPECT_EQ(v, C(7, 7));
    aaMathCalcEigenIf(nullptr, 256, 256, &v, &v);
    EXPECT_EQ(v, C(7, 7));
    EXPECT_TRUE(cap.containsFragment("count 256 above 255"));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const C in[] = {{nan, 0}, {1, 0}, {2, 0}, {3, 0}};
    C values[2], vectors[4];
    aaMathCalcEigenIf(in, 2, 2, values, vectors);
    EXPECT_TRUE(std::isnan(values[0].real()) || std::isnan(values[1].real()));
}

// The power sums take integer powers by multiplication while exact; the
// coefficients are bit for bit those of the pow formulation at every
// degree, over the full signed 8-bit range of abscissae.
TEST(Polyfit, SameBitsAsThePowFormulation) {
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> xs(-128, 127);
    std::normal_distribution<double> ys(0.0, 50.0);
    for (int trial = 0; trial < 60; ++trial) {
        const int degree = trial % 6;
        const int count = degree + 1 + trial % 70;
        std::vector<int8_t> x(static_cast<size_t>(count));
        std::vector<double> y(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            x[static_cast<size_t>(i)] = static_cast<int8_t>(trial % 2 ? xs(rng) : i);
            y[static_cast<size_t>(i)] = ys(rng);
        }
        // The same elimination as the library, power sums from pow.
        const int rows = degree + 1;
        double ps[13] = {}, mo[6] = {};
        for (int i = 0; i < count; ++i) {
            for (int k = 0; k <= 2 * degree + 2; ++k) ps[k] += std::pow(static_cast<double>(x[i]), k);
            for (int k = 0; k <= degree; ++k) mo[k] += y[i] * std::pow(static_cast<double>(x[i]), k);
        }
        double aug[6][12] = {};
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < rows; ++c) aug[r][c] = ps[r + c];
            aug[r][rows + r] = 1.0;
        }
        bool singular = false;
        for (int i = 0; i < rows && !singular; ++i) {
            const double pivot = aug[i][i];
            if (pivot == 0.0) singular = true;
            for (int c = 0; c < 2 * rows && !singular; ++c) aug[i][c] /= pivot;
            for (int j = 0; j < rows && !singular; ++j) {
                if (j == i) continue;
                const double f = aug[j][i];
                for (int c = 0; c < 2 * rows; ++c) aug[j][c] -= f * aug[i][c];
            }
        }
        double got[6];
        const int rc = aaMathCalcPolyfit(x.data(), y.data(), count, degree, got);
        ASSERT_EQ(rc, singular ? -1 : 0) << "trial " << trial;
        if (singular) continue;
        for (int j = 0; j < rows; ++j) {
            double want = 0.0;
            for (int k = 0; k < rows; ++k) want += aug[j][rows + k] * mo[k];
            EXPECT_EQ(got[j], want) << "trial " << trial << " coefficient " << j;
        }
    }
}

}  // namespace
