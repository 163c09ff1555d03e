// The shared saturating conversions and step-mode predicates.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/numeric.h"

namespace {

using tarn_common::truncToInt32;
using tarn_common::truncToUInt32;

TEST(CommonNumeric, SaturatingTruncation) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double in;
        int32_t i32;
        uint32_t u32;
    };
    const Case cases[] = {
        {0.0, 0, 0u},
        {-0.0, 0, 0u},
        {79.99, 79, 79u},
        {-0.9, 0, 0u},
        {-1.5, -1, 0u},
        {2147483646.7, 2147483646, 2147483646u},
        {2147483647.0, INT32_MAX, 2147483647u},
        {3e9, INT32_MAX, 3000000000u},
        {4294967295.0, INT32_MAX, UINT32_MAX},
        {1e20, INT32_MAX, UINT32_MAX},
        {-2147483648.0, INT32_MIN, 0u},
        {-1e20, INT32_MIN, 0u},
        {inf, INT32_MAX, UINT32_MAX},
        {-inf, INT32_MIN, 0u},
        {nan, 0, 0u},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(truncToInt32(c.in), c.i32);
        EXPECT_EQ(truncToUInt32(c.in), c.u32);
    }
}

TEST(CommonNumeric, StepModes) {
    const bool tone[5] = {false, false, true, true, false};
    const bool rtt[5] = {false, true, false, true, false};
    for (int m = 0; m < 5; ++m) {
        EXPECT_EQ(tarn_common::isToneMode(m), tone[m]) << m;
        EXPECT_EQ(tarn_common::isRttMode(m), rtt[m]) << m;
    }
}

}  // namespace
