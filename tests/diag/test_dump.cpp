#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "tarn_diag.h"

using tarn_test::LogCapture;
using V = std::vector<std::string>;

TEST(HexDump, DigitsInOneMessage) {
    LogCapture cap(4);
    const uint8_t bytes[] = {0x1F, 0xA0};
    debug_print_hex_dump(bytes, 2);
    EXPECT_EQ(cap.texts(), V{"1FA0"});
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_EQ(cap.lines()[0].prio, 2);
}

TEST(HexDump, LengthLimits) {
    LogCapture cap(4);
    std::vector<uint8_t> bytes(256, 0xAB);
    debug_print_hex_dump(bytes.data(), 256);
    EXPECT_TRUE(cap.lines().empty());
    debug_print_hex_dump(bytes.data(), 255);
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_EQ(cap.lines()[0].text.size(), 510u);
    cap.clear();
    debug_print_hex_dump(bytes.data(), 0);
    debug_print_hex_dump(nullptr, -4);
    EXPECT_EQ(cap.texts(), (V{"", ""}));
}

TEST(MatrixDump, RowsHonourStride) {
    LogCapture cap(4);
    const int32_t m[] = {1, 2, 99, 3, 4, 99};
    debug_print_2d_i4(m, 2, 2, 3);
    EXPECT_EQ(cap.texts(), (V{"1, ", "2, ", "\n", "3, ", "4, ", "\n", "\n"}));
}

TEST(MatrixDump, DegenerateShapes) {
    LogCapture cap(4);
    const double m[] = {1.0};
    debug_print_2d_double(m, 0, 5, 1);
    EXPECT_EQ(cap.texts(), V{"\n"});
    cap.clear();
    debug_print_2d_double(m, 2, 0, 1);
    EXPECT_EQ(cap.texts(), (V{"\n", "\n", "\n"}));
}

TEST(MatrixDump, ElementFormats) {
    LogCapture cap(4);
    const TarnCplxD cd[] = {{1.5, -2.0}};
    const TarnCplxF cf[] = {{0.25f, 3.0f}};
    const TarnCplxI4 ci[] = {{7, -8}};
    const float f[] = {2.5f};
    const int8_t i1[] = {-5};
    const uint8_t u1[] = {200};
    debug_print_2d_cmxpld(cd, 1, 1, 1);
    debug_print_2d_cmxplf(cf, 1, 1, 1);
    debug_print_2d_cmxpli(ci, 1, 1, 1);
    debug_print_2d_float(f, 1, 1, 1);
    debug_print_2d_i1(i1, 1, 1, 1);
    debug_print_2d_u1(u1, 1, 1, 1);
    EXPECT_EQ(cap.texts(),
              (V{"1.500000 -2.000000, ", "\n", "\n", "0.250000 3.000000, ", "\n", "\n", "7 -8, ",
                 "\n", "\n", "2.500000, ", "\n", "\n", "-5, ", "\n", "\n", "200, ", "\n", "\n"}));
}

TEST(VectorDump, OneMessagePerElementThenNewline) {
    LogCapture cap(4);
    const double d[] = {1.0, -0.5};
    const TarnCplxD cd[] = {{1.0, 2.0}};
    const TarnCplxF cf[] = {{-1.0f, 0.5f}};
    const TarnCplxI4 ci[] = {{3, 4}};
    const float f[] = {0.125f};
    const int32_t i4[] = {-9, 10};
    const int8_t i1[] = {127};
    debug_print_1d_double(d, 2);
    debug_print_1d_cmplxd(cd, 1);
    debug_print_1d_cmplxf(cf, 1);
    debug_print_1d_cmplxi(ci, 1);
    debug_print_1d_float(f, 1);
    debug_print_1d_i4(i4, 2);
    debug_print_1d_i1(i1, 1);
    EXPECT_EQ(cap.texts(), (V{"1.000000, ", "-0.500000, ", "\n", "1.000000 2.000000, ", "\n",
                              "-1.000000 0.500000, ", "\n", "3 4, ", "\n", "0.125000, ", "\n",
                              "-9, ", "10, ", "\n", "127, ", "\n"}));
}

TEST(VectorDump, SilentBelowLevel4) {
    LogCapture cap(3);
    const double d[] = {1.0};
    debug_print_1d_double(d, 1);
    debug_print_2d_double(d, 1, 1, 1);
    EXPECT_TRUE(cap.lines().empty());
}

TEST(ComplexDump, DoubleSignsAtLevel2) {
    LogCapture cap(2);
    debug_print_cmplx_d({1.0, 2.0});
    debug_print_cmplx_d({1.0, 0.0});
    debug_print_cmplx_d({-1.0, -2.5});
    debug_print_cmplx_d({2.0, -0.0});  // negative zero counts as zero
    EXPECT_EQ(cap.texts(), (V{"1.000000+2.000000j", "1.000000 0.000000j", "-1.000000-2.500000j",
                              "2.000000 0.000000j"}));
}

TEST(ComplexDump, FloatZeroImaginaryEndsText) {
    LogCapture cap(4);
    debug_print_cmplx_f({1.0f, 0.0f});
    debug_print_cmplx_f({1.0f, -3.0f});
    EXPECT_EQ(cap.texts(), (V{"1.000000", "1.000000-3.000000j"}));
}

TEST(ComplexDump, IntegerPieces) {
    LogCapture cap(4);
    debug_print_cmplx_i({3, -2});
    debug_print_cmplx_i({3, 2});
    debug_print_cmplx_i({3, 0});
    EXPECT_EQ(cap.texts(), (V{"3 ", "-2j, ", "3 ", "+2j, ", "3 ", ", "}));
}
