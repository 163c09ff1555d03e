// Vector statistics, integer and complex helpers, mask compaction, line helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "log_capture.h"
#include "tarn_math.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
const double kNan = std::numeric_limits<double>::quiet_NaN();

TEST(Extremes, FirstExtremeWinsAndNanNever) {
    const double v[] = {5, 7, 7};
    double m = 0;
    EXPECT_EQ(aaMathCalcMaxDouble(v, 3, &m), 1);
    EXPECT_EQ(m, 7);
    const double n[] = {kNan, 1};
    EXPECT_EQ(aaMathCalcMaxDouble(n, 2, &m), 0);
    EXPECT_TRUE(std::isnan(m));
    const double n2[] = {3, kNan, 1, 1};
    EXPECT_EQ(aaMathCalcMinDouble(n2, 4, &m), 2);
    EXPECT_EQ(m, 1);
    EXPECT_EQ(aaMathCalcMaxDouble(v, 0, &m), 0);
    EXPECT_EQ(m, 5);
    EXPECT_EQ(aaMathCalcMaxDoubleLong(n2, 4, &m), 0u);
    EXPECT_EQ(m, 3);

    const int32_t i4[] = {-3, 8, -9, 8};
    int32_t mi;
    EXPECT_EQ(aaMathCalcMaxI4(i4, 4, &mi), 1);
    EXPECT_EQ(aaMathCalcMinI4(i4, 4, &mi), 2);
    EXPECT_EQ(mi, -9);
    const int8_t i1[] = {-3, -1, -1};
    int8_t m1;
    EXPECT_EQ(aaMathCalcMaxI1(i1, 3, &m1), 1);
    EXPECT_EQ(m1, -1);

    const int32_t mat[] = {1, 9, 3,  //
                           9, 2, 0};
    EXPECT_EQ(max(mat, 2, 3, &mi), 1);
    EXPECT_EQ(mi, 9);
}

TEST(Extremes, CountAboveLimitActsAsEmpty) {
    tarn_test::LogCapture cap(1);
    std::vector<double> v(200, 1.0);
    v[0] = -4.0;
    v[150] = 99.0;
    double m = 0;
    EXPECT_EQ(aaMathCalcMaxDouble(v.data(), 200, &m), 0);
    EXPECT_EQ(m, -4.0);
    EXPECT_EQ(cap.count("aaMathCalcMaxDouble: count 200 above 127\n"), 1);
    // The long variant has no such limit.
    EXPECT_EQ(aaMathCalcMaxDoubleLong(v.data(), 200, &m), 150u);
}

TEST(SumsAndMeans, ValuesAndEmptyInputs) {
    const double d[] = {1.5, 2.5, -1.0};
    EXPECT_EQ(aaMathCalcSumDouble(d, 3), 3.0);
    EXPECT_EQ(aaMathCalcSumDouble(d, 0), 0.0);
    EXPECT_EQ(aaMathCalcSumDoubleLong(d, 2), 4.0);
    EXPECT_EQ(aaMathCalcMeanDouble(d, 3), 1.0);
    EXPECT_TRUE(std::isnan(aaMathCalcMeanDouble(d, 0)));
    EXPECT_TRUE(std::isnan(aaMathCalcMeanDoubleLong(d, 0)));

    const int32_t big[] = {INT32_MAX, 1, 2};
    EXPECT_EQ(aaMathCalcSumI4(big, 3), INT32_MIN + 2);
    EXPECT_EQ(aaMathCalcMeanI4(big, 3), static_cast<double>(INT32_MIN + 2) / 3.0);
    std::vector<int8_t> bytes(300, -128);
    EXPECT_EQ(aaMathCalcSumI1(bytes.data(), 300), -38400);
    EXPECT_EQ(aaMathCalcMeanI1(bytes.data(), 300), -128.0);

    const double r[] = {3, 4};
    EXPECT_DOUBLE_EQ(aaMathCalcRMS(r, 2, 0), std::sqrt(12.5));
    EXPECT_EQ(aaMathCalcRMS(r, 2, 1), 4.0);
    EXPECT_EQ(aaMathCalcRMSLong(r, 2, 1), 4.0);
}

TEST(OrderStatistics, MedianPercentileVariance) {
    const double a[] = {3, 1, 2};
    const double b[] = {4, 1, 3, 2};
    EXPECT_EQ(aaMathCalcMedianDouble(a, 3), 2.0);
    EXPECT_EQ(aaMathCalcMedianDouble(b, 4), 2.5);
    EXPECT_EQ(aaMathCalcMedianDouble(a, 1), 3.0);
    EXPECT_EQ(aaMathCalcMedianDouble(a, 0), 0.0);
    EXPECT_EQ(aaMathCalcMedianDoubleLong(b, 4), 2.5);
    EXPECT_EQ(aaMathCalcMedianDoubleLong(b, 0), 0.0);
    // The input is left as it was.
    EXPECT_EQ(b[0], 4.0);

    const double p[] = {40, 10, 30, 20};
    EXPECT_EQ(aaMathCalcPercentileDouble(p, 4, 25), 17.5);
    EXPECT_EQ(aaMathCalcPercentileDouble(p, 4, 100), 40.0);
    EXPECT_EQ(aaMathCalcPercentileDouble(p, 4, 0), 10.0);
    EXPECT_EQ(aaMathCalcPercentileDouble(p, 0, 50), 0.0);

    const double v[] = {1, 2, 3, 4};
    EXPECT_DOUBLE_EQ(aaMathCalcVariance(v, 4), 5.0 / 3.0);
    EXPECT_EQ(aaMathCalcVariance(v, 1), 0.0);
    EXPECT_DOUBLE_EQ(aaMathCalcStd(v, 4), std::sqrt(5.0 / 3.0));
}

TEST(OrderStatistics, PercentileLogsAndClamps) {
    tarn_test::LogCapture cap(2);
    const double p[] = {10, 20, 30, 40};
    aaMathCalcPercentileDouble(p, 4, 25);
    EXPECT_TRUE(cap.contains(" 0.750000 index index selected for  4 length"));
    EXPECT_TRUE(cap.contains(" 0 lowerIndex  1 upperIndex"));
    // Beyond 100 the rank would leave the array.
    EXPECT_EQ(aaMathCalcPercentileDouble(p, 4, 250), 40.0);
    EXPECT_EQ(aaMathCalcPercentileDouble(p, 4, -5), 10.0);
}

TEST(OrderStatistics, LongMedianMatchesSortOnLargeInput) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> dist(-100, 100);
    for (uint32_t n : {1u, 2u, 127u, 128u, 513u, 2000u}) {
        std::vector<double> v(n);
        for (double &x : v) x = std::round(dist(rng));
        std::vector<double> s(v);
        std::sort(s.begin(), s.end());
        const double want = n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) * 0.5;
        EXPECT_EQ(aaMathCalcMedianDoubleLong(v.data(), n), want) << n;
        if (n <= 127) {
            EXPECT_EQ(aaMathCalcMedianDouble(v.data(), static_cast<int>(n)), want);
        }
    }
}

TEST(ModuloAndDiff, Folding) {
    const double in[] = {-1.0, 7.0};
    double out[2];
    aaMathCalcModDouble(in, 2 * kPi, 1, out);
    EXPECT_EQ(out[0], 2 * kPi - 1.0);
    aaMathCalcModDouble(in + 1, 2.0, 1, out);
    EXPECT_EQ(out[0], 1.0);
    const float fin[] = {-3.0f};
    float fout;
    aaMathCalcModFloat(fin, 2.0f, 1, &fout);
    EXPECT_EQ(fout, 1.0f);

    const int32_t iv[] = {-7, 7, INT32_MIN, 5};
    int32_t io[4];
    aaMathCalcModI4(iv, 3, 4, io);
    EXPECT_EQ(std::vector<int>(io, io + 4), (std::vector<int>{2, 1, 1, 2}));
    aaMathCalcModI4(iv, 0, 4, io);
    EXPECT_EQ(io[0], -7);
    aaMathCalcModI4(iv, -1, 4, io);
    EXPECT_EQ(io[2], 0);
    int32_t mat[] = {-1, 4, 9, -10};
    mod(mat, 2, 2, 4);
    EXPECT_EQ(std::vector<int>(mat, mat + 4), (std::vector<int>{3, 0, 1, 2}));

    const double d[] = {1, 4, 2};
    double dd[2] = {-1, -1};
    EXPECT_EQ(aaMathCalcDiffDouble(d, 3, dd), 2);
    EXPECT_EQ(dd[0], 3);
    EXPECT_EQ(dd[1], -2);
    dd[0] = -1;
    EXPECT_EQ(aaMathCalcDiffDouble(d, 1, dd), 0);
    EXPECT_EQ(dd[0], -1);
    const int8_t b[] = {-128, 127};
    int8_t bd;
    EXPECT_EQ(aaMathCalcDiffI1(b, 2, &bd), 1);
    EXPECT_EQ(bd, -1);
    const int32_t w[] = {INT32_MIN, INT32_MAX};
    int32_t wd;
    EXPECT_EQ(aaMathCalcDiffI4(w, 2, &wd), 1);
    EXPECT_EQ(wd, -1);
}

TEST(IntegerHelpers, RoundedDivide) {
    EXPECT_EQ(aaMathRoundedDivide(5, 2), 3);
    EXPECT_EQ(aaMathRoundedDivide(-5, 2), -3);
    EXPECT_EQ(aaMathRoundedDivide(4, 2), 2);
    EXPECT_EQ(aaMathRoundedDivide(5, 0), 0);
    EXPECT_EQ(aaMathRoundedDivide(7, 1), 7);
    EXPECT_EQ(aaMathRoundedDivide(32768, 65536), 1);
    EXPECT_EQ(aaMathRoundedDivide(-32768, 65536), -1);
    EXPECT_EQ(aaMathRoundedDivide(4, 3), 2);
    EXPECT_EQ(aaMathRoundedDivide(5, -1), -6);
    // Extremes stay defined.
    EXPECT_EQ(aaMathRoundedDivide(INT32_MAX, 2), 1073741824);
    EXPECT_EQ(aaMathRoundedDivide(INT32_MIN, INT32_MIN), 1);
}

TEST(IntegerHelpers, ShiftFloorSqrt) {
    EXPECT_EQ(aaMathSignedShift(-5, -1, 1), -3);
    EXPECT_EQ(aaMathSignedShift(-5, -1, 0), -2);
    EXPECT_EQ(aaMathSignedShift(1, 32, 0), 0);
    EXPECT_EQ(aaMathSignedShift(3, 2, 0), 12);
    EXPECT_EQ(aaMathSignedShift(6, -2, 1), 2);
    EXPECT_EQ(aaMathSignedShift(7, 0, 1), 7);
    EXPECT_EQ(aaMathSignedShift(7, -32, 0), 0);
    EXPECT_EQ(aaMathSignedShift(INT32_MIN, -1, 1), -1073741824);
    EXPECT_EQ(aaMathSignedShift(5, INT16_MIN, 0), 0);

    EXPECT_EQ(aaMathFloorDivide(-7, 2), -4);
    EXPECT_EQ(aaMathFloorDivide(7, 2), 3);
    EXPECT_EQ(aaMathFloorDivide(-6, 2), -3);
    EXPECT_EQ(aaMathFloorDivide(0, 5), 0);
    EXPECT_EQ(aaMathFloorDivide(INT32_MIN, -1), INT32_MIN);

    EXPECT_EQ(sqrt_int(8, 1), 3u);
    EXPECT_EQ(sqrt_int(8, 0), 2u);
    EXPECT_EQ(sqrt_int(6, 1), 2u);
    EXPECT_EQ(sqrt_int(0, 1), 0u);
    EXPECT_EQ(sqrt_int(UINT32_MAX, 0), 65535u);
    EXPECT_EQ(sqrt_int(UINT32_MAX, 1), 65536u);
    for (uint32_t a = 0; a < 5000; ++a) {
        const uint32_t r = sqrt_int(a, 0);
        ASSERT_TRUE(r * r <= a && (r + 1) * (r + 1) > a) << a;
    }
}

TEST(ComplexHelpers, ArithmeticAndMagnitudes) {
    TarnCplxD z;
    aaMathCalcExpImag(kPi / 2, &z);
    EXPECT_EQ(z.real(), std::cos(kPi / 2));
    EXPECT_EQ(z.imag(), 1.0);

    const TarnCplxD big[] = {{3e200, 4e200}, {3, -4}};
    double mag[2];
    aaMathCalcMagCmplxD(big, 2, mag);
    EXPECT_DOUBLE_EQ(mag[0], 5e200);
    EXPECT_EQ(mag[1], 5.0);
    aaMathCalcMagCmplxDLong(big + 1, 1, mag);
    EXPECT_EQ(mag[0], 5.0);
    const TarnCplxF f[] = {{3.0f, 4.0f}};
    aaMathCalcMagCmplxF(f, 1, mag);
    EXPECT_EQ(mag[0], 5.0);
    // Squares wrap in 32 bits and are then read as unsigned.
    const TarnCplxI4 i4[] = {{3, -4}, {65536, 0}, {46341, 0}};
    double m3[3];
    aaMathCalcMagCmplxI(i4, 3, m3);
    EXPECT_EQ(m3[0], 5.0);
    EXPECT_EQ(m3[1], 0.0);
    EXPECT_EQ(m3[2], std::sqrt(2147488281.0));
    const TarnCplxL l[] = {{-6, 8}};
    aaMathCalcMagCmplxL(l, 1, mag);
    EXPECT_EQ(mag[0], 10.0);

    TarnCplxD c(1.0, 0.0);
    EXPECT_EQ(aaMathCalcConjCmplxD(&c), &c);
    EXPECT_TRUE(std::signbit(c.imag()));
    TarnCplxL cl{5, INT64_MIN};
    aaMathCalcConjCmplxL(&cl);
    EXPECT_EQ(cl.im, INT64_MIN);
    cl.im = -9;
    aaMathCalcConjCmplxL(&cl);
    EXPECT_EQ(cl.im, 9);

    aaMathCalcCplxDiv(&z, TarnCplxD(1, 2), TarnCplxD(3, 4));
    EXPECT_DOUBLE_EQ(z.real(), 11.0 / 25.0);
    EXPECT_DOUBLE_EQ(z.imag(), 2.0 / 25.0);
    aaMathCalcCplxDiv(&z, TarnCplxD(1, 0), TarnCplxD(0, 0));
    EXPECT_TRUE(std::isnan(z.real()));
    aaMathCalcCplxDiv(&z, TarnCplxD(1, 0), TarnCplxD(1e-200, 0));
    EXPECT_TRUE(std::isinf(z.real()));
    aaMathCalcCplxReciprocal(&z, TarnCplxD(0, 2));
    EXPECT_EQ(z.real(), 0.0);
    EXPECT_EQ(z.imag(), -0.5);
}

TEST(ComplexHelpers, Angles) {
    const TarnCplxI4 v[] = {{0, 1}, {-1, 0}};
    double a[2];
    angle(v, 2, a);
    EXPECT_EQ(a[0], kPi / 2);
    EXPECT_EQ(a[1], kPi);

    int32_t out = -1;
    EXPECT_EQ(angleQ(TarnCplxI2{0, 1}, 16, &out), 16384);
    EXPECT_EQ(out, 16384);
    // Negative angles wrap into the mask only when the rounded value is not
    // negative; below zero it becomes 0.
    EXPECT_EQ(angleQ(TarnCplxI2{0, -1}, 16, &out), 0);
    EXPECT_EQ(angleQ(TarnCplxI2{1, 1}, 0, &out), 45);
    EXPECT_EQ(angleQ(TarnCplxI2{-1, 0}, 0, &out), 180);
    EXPECT_EQ(angleQ(TarnCplxI2{0, 1}, 40, &out), 0);
    EXPECT_EQ(angleQ(TarnCplxI2{-1, 0}, 1, &out), 1);
}

TEST(MaskCompaction, VectorsAndRows) {
    const double d[] = {1, 2, 3, 4};
    const uint8_t mask[] = {1, 0, 7, 0};
    double out[4];
    EXPECT_EQ(aaMathValidateVectorD(d, mask, 4, out), 2);
    EXPECT_EQ(out[1], 3);
    const int32_t i[] = {9, 8, 7, 6};
    int32_t io[4];
    EXPECT_EQ(aaMathValidateVector(i, mask, 4, io), 2);
    EXPECT_EQ(io[0], 9);
    EXPECT_EQ(io[1], 7);

    uint8_t m[] = {1, 2, 3,  //
                   4, 5, 6};
    const uint8_t keep[] = {0, 1, 1,  //
                            1, 0, 1};
    EXPECT_EQ(validateVector2(m, 2, 3, keep), 2);
    EXPECT_EQ(std::vector<int>(m, m + 4), (std::vector<int>{2, 3, 4, 6}));

    // Rows keeping different widths cannot be packed; nothing changes.
    uint8_t u[] = {1, 2, 3, 4};
    const uint8_t uneven[] = {1, 1, 1, 0};
    EXPECT_EQ(validateVector2(u, 2, 2, uneven), 0);
    EXPECT_EQ(u[2], 3);
    EXPECT_EQ(validateVector2(u, 0, 2, uneven), 0);
}

TEST(LineHelpers, InterceptAndLine) {
    const int8_t x[] = {0, 1, 2, 3};
    const double y[] = {1, 3, 5, 7};
    EXPECT_EQ(aaMathCalcIntercept(x, 4, y, 2.0, 1.0), 1.0);
    // Fixed-point: slope scaled by 4, result rounded.
    const double ys[] = {1.2, 3.2, 5.2, 7.2};
    EXPECT_EQ(aaMathCalcIntercept(x, 4, ys, 8.0, 4.0), 1.0);
    EXPECT_TRUE(std::isnan(aaMathCalcIntercept(x, 0, y, 2.0, 1.0)));
    EXPECT_TRUE(std::isnan(aaMathCalcIntercept(x, 256, y, 2.0, 1.0)));

    double out[4];
    aaMathCalcLine(2.0, 1.0, x, 4, 1.0, out);
    EXPECT_EQ(std::vector<double>(out, out + 4), (std::vector<double>{1, 3, 5, 7}));
    aaMathCalcLine(3.0, 0.25, x, 4, 2.0, out);
    EXPECT_EQ(std::vector<double>(out, out + 4), (std::vector<double>{0, 2, 3, 5}));
}

TEST(CurveHelpers, UnwrapParabolaCoordinates) {
    const double in[] = {0, 3, -3};
    double out[3];
    unwrap(in, 3, out);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], 1.5);
    EXPECT_DOUBLE_EQ(out[2], (-3 + 2 * kPi) * 0.5);
    out[0] = 42;
    unwrap(in, 0, out);
    EXPECT_EQ(out[0], 42);

    double px = -1, py = -1;
    EXPECT_EQ(parabolaMax3PointReg(1.0, 1, 2, 1, &px, &py), 0);
    EXPECT_EQ(px, 0.0);
    EXPECT_EQ(py, 2.0);
    EXPECT_EQ(parabolaMax3PointReg(1.0, 2, 2, 2, &px, &py), -1);
    EXPECT_EQ(parabolaMax3PointReg(2.0, 0, 3, 4, &px, &py), 0);
    // Peak of y = -0.25 t^2 + t + 3 sampled at -2, 0, 2.
    EXPECT_EQ(px, 2.0);
    EXPECT_EQ(py, 4.0);

    double x, y, z, az, el;
    EXPECT_EQ(convertAzElToXyz(90.0, 0.0, &x, &y, &z), 0);
    EXPECT_NEAR(x, 0.0, 1e-15);
    EXPECT_DOUBLE_EQ(y, 1.0);
    EXPECT_EQ(convertXyzToAzEl(0.0, 1.0, 0.5, &az, &el), 0);
    EXPECT_DOUBLE_EQ(az, 90.0);
    EXPECT_DOUBLE_EQ(el, 30.0);
}

}  // namespace
