// The engine's distance candidate against the records, and the one IIR blend.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "estimators/distance.h"
#include "estimators/estimators_internal.h"
#include "tarn_config.h"
#include "tarn_estimators.h"

namespace {

using tarn_est::DistanceCandidate;
using tarn_est::fromRecord;
using tarn_est::toRecord;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(DistanceCandidate, FromRecordTable) {
    struct Row {
        RangeEstimate rec;
        double scale;
        bool has;
        double metres;
    };
    const Row rows[] = {
        {{1, 1500.0, 80.0, 0.0}, 1000.0, true, 1.5},
        {{1, 2500.0, 0.0, 0.0}, 500.0, true, 5.0},
        {{1, 0.0, 0.0, 0.0}, 1000.0, true, 0.0},  // a zero distance is one
        {{1, -250.0, 10.0, 0.0}, 1000.0, true, -0.25},
        {{0, 1500.0, 80.0, 0.0}, 1000.0, false, 0.0},
        {{1, 1500.0, -1.0, 0.0}, 1000.0, false, 0.0},
        {{1, 2147483647.0, 80.0, 0.0}, 1000.0, false, 0.0},
        {{1, -2147483647.0, 80.0, 0.0}, 1000.0, false, 0.0},
        {{1, 3e9, 80.0, 0.0}, 1000.0, false, 0.0},
        {{1, kNaN, 80.0, 0.0}, 1000.0, false, 0.0},
        {{1, kInf, 80.0, 0.0}, 1000.0, false, 0.0},
        {{2, 1500.0, 80.0, 0.0}, 1000.0, false, 0.0},
    };
    for (const Row &r : rows) {
        const DistanceCandidate c = fromRecord(r.rec, r.scale, false);
        SCOPED_TRACE(r.rec.dest);
        ASSERT_EQ(c.has(), r.has);
        if (r.has) {
            EXPECT_EQ(*c.metres, r.metres);
        }
        EXPECT_EQ(c.conf, r.rec.conf);
        EXPECT_FALSE(c.sigmaM.has_value());
        EXPECT_FALSE(c.fresh);
    }
    EXPECT_TRUE(fromRecord({1, 1500.0, 80.0, 0.0}, 1000.0).fresh);
}

TEST(DistanceCandidate, ToRecordTableAndRoundTrip) {
    DistanceCandidate none;
    none.conf = 55.0;  // a confidence without a distance is not carried
    const RangeEstimate n = toRecord(none, 1000.0);
    EXPECT_EQ(n.valid, 0);
    EXPECT_EQ(n.dest, 2147483647.0);
    EXPECT_EQ(n.conf, -1.0);
    EXPECT_EQ(n.vest, 0.0);
    EXPECT_FALSE(fromRecord(n, 1000.0).has());

    DistanceCandidate c;
    c.metres = 1.5;
    c.conf = 80.0;
    c.sigmaM = 0.04;
    const RangeEstimate r = toRecord(c, 1000.0);
    EXPECT_EQ(r.valid, 1);
    EXPECT_EQ(r.dest, 1500.0);
    EXPECT_EQ(r.conf, 80.0);
    EXPECT_EQ(r.vest, 0.0);
    // Distances a record holds exactly in both units come back unchanged.
    for (double m : {0.0, 0.125, 2.5, 37.75, -4.0}) {
        c.metres = m;
        const DistanceCandidate back = fromRecord(toRecord(c, 1000.0), 1000.0);
        ASSERT_TRUE(back.has());
        EXPECT_EQ(*back.metres, m);
        EXPECT_EQ(back.conf, 80.0);
    }
}

TEST(DistanceCandidate, MarkerAndScale) {
    EXPECT_TRUE(tarn_common::isNoDistanceMarker(2147483647.0));
    EXPECT_TRUE(tarn_common::isNoDistanceMarker(-2147483647.0));
    EXPECT_FALSE(tarn_common::isNoDistanceMarker(2147483646.0));
    EXPECT_FALSE(tarn_common::isNoDistanceMarker(kNaN));
    EXPECT_FALSE(tarn_est::isRecordDistance(2147483647.0));
    EXPECT_FALSE(tarn_est::isRecordDistance(-kInf));
    EXPECT_TRUE(tarn_est::isRecordDistance(2147483646.0));
    ConfigOpts o = constOpts;
    o.distSF = 0;
    EXPECT_EQ(tarn_est::recordScale(o), 1000.0);
    o.distSF = 250;
    EXPECT_EQ(tarn_est::recordScale(o), 250.0);
}

// Values the IIR filters gave before they shared one blend (fiAvgPwr 1 and
// 3 keep pow exact on every libm). The last rows tell the blend's order of
// operations from the algebraically equal tracked + f x (new - tracked).
struct BlendRow {
    double trackedDest, trackedConf, newDest, newConf, pwr, decay;
    double dest, conf, weight;
};
const BlendRow kBlendRows[] = {
    {2000.0, 60.0, 1000.0, 50.0, 3.0, 0.2, 1875.0, 50.0, 0.875},
    {987.654321, 90.0, 1234.567, 50.0, 3.0, 0.2, 0x1.fd425b1fab96fp+9, 72.0, 0.875},
    {1500.0, 70.0, 1700.0, 100.0, 3.0, 0.2, 1700.0, 100.0, 0.0},
    {3333.3, 12.5, 2222.2, 0.0, 1.0, 0.5, 3333.3, 6.25, 1.0},
    {2704.509, 55.0, 2491.813, 92.0, 1.0, 0.2, 0x1.399a848beb5b4p+11, 92.0, 1.0 - 0.92},
    {3814.462, 55.0, 628.747, 9.0, 1.0, 0.2, 0x1.b8f7ecbfb15b6p+11, 44.0, 1.0 - 0.09},
};

TEST(IirBlend, SameValuesAsBeforeThroughBothRoads) {
    for (const BlendRow &r : kBlendRows) {
        SCOPED_TRACE(r.newDest);
        ConfigOpts o = constOpts;
        o.fiAvgPwr = r.pwr;
        o.fiConfDecay = r.decay;
        const tarn_est::IirBlend b =
            tarn_est::iirBlend(o, r.trackedDest, r.trackedConf, r.newDest, r.newConf);
        EXPECT_EQ(b.dest, r.dest);
        EXPECT_EQ(b.conf, r.conf);
        EXPECT_EQ(b.weight, r.weight);

        IirState st{1, r.trackedDest, r.trackedConf};
        const RangeEstimate cur{1, r.newDest, r.newConf, 0.0};
        double w = 0.0;
        algFilterIir(&o, &st, &cur, &w, 0.0, 0);
        EXPECT_EQ(st.valid, 1);
        EXPECT_EQ(st.dest, r.dest);
        EXPECT_EQ(st.conf, r.conf);
        EXPECT_EQ(w, r.weight);
    }
}

TEST(IirBlend, NothingToBlendReportsTheNoBlendWeight) {
    ConfigOpts o = constOpts;
    o.fiConfDecay = 0.5;
    IirState st{1, 1234.0, 80.0};
    const RangeEstimate cur{1, 1500.0, -1.0, 0.0};
    double w = 0.0;
    algFilterIir(&o, &st, &cur, &w, 0.0, 0);
    EXPECT_EQ(st.valid, 0);
    EXPECT_EQ(st.dest, 2147483647.0);
    EXPECT_EQ(st.conf, 40.0);
    EXPECT_EQ(w, tarn_est::kNoBlendWeight);
    EXPECT_EQ(w, 2147483647.0);
}

}  // namespace
