// Round-trip-time ranging end to end through the host functions: results
// arrive through the callback, and links ranged alternately keep their own
// distances.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "deliveries.h"
#include "log_capture.h"
#include "rtt_test_context.h"
#include "tarn_interface.h"

namespace {

using tarn_test::LogCapture;
using tarn_test::StepProcedure;
using tarn_test::uniformRtt;

using tarn_test::Delivery;
using tarn_test::gDeliveries;

void onResult(CsEstimate *result, CsRequest *request) { tarn_test::recordDelivery(result, request); }

bool estimate(CsLinkRef link, Delivery *out) { return tarn_test::estimateAndWait(link, out); }

class RttLinks : public ::testing::Test {
  protected:
    void open(CsLinkRef link) {
        static CsInitRecord rec = {onResult};
        csIfInit(link, &rec);
        ASSERT_EQ(csContextListExistItem(link), 1);
        links_.push_back(link);
    }
    void TearDown() override {
        for (CsLinkRef l : links_) csIfCleanUp(l);
    }
    std::vector<CsLinkRef> links_;
};

TEST_F(RttLinks, HalfMetreProcedureThroughTheCallback) {
    const CsLinkRef link = 0x4101;
    open(link);
    StepProcedure p = uniformRtt(20, 10, 2, 0, 2000000);
    ASSERT_EQ(csIfAddMeasurement(link, p.build()), 1);

    LogCapture cap(0);
    Delivery d{};
    ASSERT_TRUE(estimate(link, &d));
    EXPECT_EQ(d.link, link);
    EXPECT_DOUBLE_EQ(d.dest, 599.4);
    EXPECT_EQ(d.conf, 0);
    EXPECT_TRUE(cap.contains("RTT estimate raw : 0.599400\n"));
    EXPECT_TRUE(cap.contains("[Filter] RTT Distance: 0.599400 Confidence: 0 \n"));
    EXPECT_TRUE(cap.contains("Final Distance: 599.400000 Confidence: 0 \n"));
}

TEST_F(RttLinks, AlternatingLinksKeepTheirOwnDistances) {
    const CsLinkRef near = 0x4201;
    const CsLinkRef far = 0x4202;
    open(near);
    open(far);
    // One-way times 6.5 and 80 (0.5 ns units): 0.974025 m and 11.988 m.
    const double nearM = 6.5 * 0.5 * 299700000.0 / 1e9;
    const double farM = 80.0 * 0.5 * 299700000.0 / 1e9;
    for (int round = 0; round < 12; ++round) {
        const uint32_t t = 1000000 + 100000 * static_cast<uint32_t>(round);
        StepProcedure pn = uniformRtt(20, 20, 7, 0, t);
        StepProcedure pf = uniformRtt(20, 200, 40, 0, t + 50000);
        ASSERT_EQ(csIfAddMeasurement(near, pn.build()), 1);
        Delivery dn{};
        ASSERT_TRUE(estimate(near, &dn));
        ASSERT_EQ(csIfAddMeasurement(far, pf.build()), 1);
        Delivery df{};
        ASSERT_TRUE(estimate(far, &df));
        EXPECT_EQ(dn.link, near);
        EXPECT_EQ(df.link, far);
        EXPECT_NEAR(dn.dest, nearM * 1000.0, 1e-6) << "round " << round;
        EXPECT_NEAR(df.dest, farM * 1000.0, 1e-6) << "round " << round;
    }
}

}  // namespace
