// Round-trip-time estimator on a stored procedure.
#include <gtest/gtest.h>

#include <cstring>

#include "log_capture.h"
#include "rtt_test_context.h"
#include "tarn_measurement.h"
#include "tarn_rtt.h"

namespace {

using tarn_test::LogCapture;
using tarn_test::StepProcedure;
using tarn_test::TestContext;
using tarn_test::uniformRtt;

class RttEstimator : public ::testing::Test {
  protected:
    void SetUp() override {
        // The round-trip window is process-wide; start every case empty.
        std::memset(&gNewPres.rttOut, 0, sizeof gNewPres.rttOut);
        std::memset(gNewPres.rttWin, 0, sizeof gNewPres.rttWin);
        std::memset(gNewPres.rttWinTime, 0, sizeof gNewPres.rttWinTime);
        std::memset(&gNewPres.rttWinCtl, 0, sizeof gNewPres.rttWinCtl);
    }

    int store(StepProcedure &p) { return csAddMeasurement(ctx.get(), p.build()); }

    // Stores one procedure of the given one-way times (0.5 ns units, via
    // initiator = 2 x tof, reflector 0) and runs the estimator.
    int runTofs(const std::vector<int> &twiceTof, uint32_t timeUs = 1000000) {
        StepProcedure p(1, timeUs);
        for (size_t i = 0; i < twiceTof.size(); ++i) {
            p.addRtt(static_cast<uint8_t>(i), static_cast<int16_t>(twiceTof[i]), 0);
        }
        EXPECT_EQ(store(p), 1);
        return RTT_calcEstimate(ctx.get());
    }

    TestContext ctx;
};

TEST_F(RttEstimator, TwentyCleanStepsGiveHalfAMetre) {
    StepProcedure p = uniformRtt(20, 10, 2, 0, 3000000);
    ASSERT_EQ(store(p), 1);
    LogCapture cap(3);
    EXPECT_EQ(RTT_calcEstimate(ctx.get()), 1);
    EXPECT_TRUE(cap.contains("ToFMedian 4.000000\n"));
    EXPECT_TRUE(cap.contains("RTT estimate raw : 0.599400\n"));
    EXPECT_TRUE(cap.contains("TimeUS 3.000000 , pres->rttTime -100.000000 , reset 1\n"));
    EXPECT_TRUE(cap.contains("[Filter] RTT Distance: 0.599400 Confidence: 0 \n"));
    EXPECT_TRUE(cap.contains("Init toatod  10, Refl Toatod 2, aaQual 0"));
    EXPECT_TRUE(cap.contains(" tof 4.000000"));
    EXPECT_TRUE(cap.contains("Negative Tof Count 0"));
    EXPECT_DOUBLE_EQ(ctx->resultStore.dest, 599.4);
    EXPECT_EQ(ctx->resultStore.conf, 0);
    EXPECT_EQ(ctx->presStore.rttTime, 3.0);
    EXPECT_DOUBLE_EQ(ctx->presStore.rttDest, 0.5994);
    EXPECT_EQ(ctx->presStore.rttP, 100.0);
    EXPECT_EQ(ctx->presStore.rttK, -1.0);
}

TEST_F(RttEstimator, ModeThreeStepsCount) {
    StepProcedure p(1, 0);
    for (int i = 0; i < 15; ++i) {
        const int s = p.addTone(static_cast<uint8_t>(i), 3);
        p.init[s].tone.timeEst = 30;
        p.refl[s].tone.timeEst = 10;
    }
    ASSERT_EQ(store(p), 1);
    LogCapture cap(3);
    EXPECT_EQ(RTT_calcEstimate(ctx.get()), 1);
    EXPECT_TRUE(cap.contains("ToFMedian 10.000000\n"));
}

TEST_F(RttEstimator, PoorAccessAddressQualityLeavesNoUsableStep) {
    StepProcedure p = uniformRtt(20, 10, 2, 1, 1000000);
    ASSERT_EQ(store(p), 1);
    ctx->resultStore.dest = 42.0;
    LogCapture cap(3);
    EXPECT_EQ(RTT_calcEstimate(ctx.get()), 0);
    EXPECT_TRUE(cap.contains("No valid measurement data found.\n"));
    EXPECT_FALSE(cap.containsFragment("RTT estimate raw"));
    EXPECT_FALSE(cap.containsFragment(" tof "));
    // Nothing delivered, and the filters kept their state.
    EXPECT_EQ(ctx->presStore.rttTime, -100.0);
    EXPECT_EQ(ctx->resultStore.dest, 42.0);
    EXPECT_FALSE(cap.containsFragment("[Filter] RTT Distance"));
}

TEST_F(RttEstimator, NoRoundTripStepMeansNoData) {
    StepProcedure p(1, 5000000);
    for (int i = 0; i < 10; ++i) p.addTone(static_cast<uint8_t>(i), 2);
    ASSERT_EQ(store(p), 1);
    ctx->resultStore.dest = 42.0;
    ctx->resultStore.conf = 17;
    LogCapture cap(3);
    EXPECT_EQ(RTT_calcEstimate(ctx.get()), 0);
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"No measurement data found.\n"});
    EXPECT_EQ(ctx->resultStore.dest, 42.0);
    EXPECT_EQ(ctx->resultStore.conf, 17);
    EXPECT_EQ(ctx->presStore.rttTime, -100.0);

    StepProcedure empty(1, 0);
    ASSERT_EQ(store(empty), 1);
    cap.clear();
    EXPECT_EQ(RTT_calcEstimate(ctx.get()), 0);
    EXPECT_TRUE(cap.contains("No measurement data found.\n"));
}

TEST_F(RttEstimator, UpperBoundIsExclusive) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    LogCapture cap(3);
    // one-way times 1067.0 (dropped), 1066.5 and 1.0
    EXPECT_EQ(runTofs({2134, 2133, 2}), 1);
    EXPECT_TRUE(cap.contains("ToFMedian 533.750000\n"));
    EXPECT_FALSE(cap.contains(" tof 1067.000000"));
    EXPECT_TRUE(cap.contains(" tof 1066.500000"));
}

TEST_F(RttEstimator, NegativeTimesOfFlight) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    LogCapture cap(3);
    EXPECT_EQ(runTofs({-6, 2, 4}), 1);  // -3, 1, 2
    EXPECT_TRUE(cap.contains("ToFMedian 1.500000\n"));
    EXPECT_TRUE(cap.contains("Negative Tof Count 1"));

    ctx.opts().dropNegativeRTTTof = 0;
    cap.clear();
    EXPECT_EQ(runTofs({-6, 2, 4, -1}, 2000000), 1);  // -3, 1, 2, -0.5
    EXPECT_TRUE(cap.contains("ToFMedian 0.250000\n"));
    EXPECT_TRUE(cap.contains("Negative Tof Count 2"));
}

TEST_F(RttEstimator, EvenCountMedianAveragesTheMiddlePair) {
    ctx.opts().minRttStepsForDistEstimation = 4;
    LogCapture cap(3);
    EXPECT_EQ(runTofs({20, 4, 2, 6}), 1);  // 10, 2, 1, 3
    EXPECT_TRUE(cap.contains("ToFMedian 2.500000\n"));
}

TEST_F(RttEstimator, TooFewUsableSteps) {
    // 14 usable of the default minimum 15.
    StepProcedure p = uniformRtt(14, 10, 2, 0, 1000000);
    p.addRtt(50, 10, 2, 3);
    ASSERT_EQ(store(p), 1);
    LogCapture cap(1);
    EXPECT_EQ(RTT_calcEstimate(ctx.get()), 0);
    EXPECT_TRUE(cap.contains("No valid measurement data found.\n"));
}

TEST_F(RttEstimator, ResetAfterMaxPeriod) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    ctx->presStore.rttTime = 10.0;
    ctx->presStore.rttDest = 1.0;
    ctx->presStore.rttP = 1.0;
    ctx->presStore.rttK = 0.5;
    LogCapture cap(3);
    EXPECT_EQ(runTofs({8}, 14500000), 1);
    EXPECT_TRUE(cap.contains("TimeUS 14.500000 , pres->rttTime 10.000000 , reset 1\n"));
    EXPECT_EQ(ctx->presStore.rttP, 100.0);

    ctx->presStore.rttTime = 10.0;
    cap.clear();
    EXPECT_EQ(runTofs({8}, 14000000), 1);
    EXPECT_TRUE(cap.contains("TimeUS 14.000000 , pres->rttTime 10.000000 , reset 0\n"));
}

TEST_F(RttEstimator, DistanceScaleAndNoFilter) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    ctx.opts().sol = 1000000000.0;  // 0.5 m per unit of median
    ctx.opts().rttFilterType = 0;
    ctx->presStore.rttDest = 9.0;
    gNewPres.rttOut.dest = 77.0;  // must not leak into this link's result
    LogCapture cap(0);
    EXPECT_EQ(runTofs({5}), 1);  // tof 2.5 -> 1.25 m
    EXPECT_EQ(ctx->resultStore.dest, 1250.0);
    EXPECT_EQ(ctx->resultStore.conf, 0);
    EXPECT_TRUE(cap.contains("[Filter] RTT Distance: 1.250000 Confidence: 0 \n"));
    // No filter ran: the Kalman state is carried unchanged.
    EXPECT_EQ(ctx->presStore.rttDest, 9.0);

    ctx.opts().distSF = 100;
    ctx.opts().rttFilterType = 3;
    EXPECT_EQ(runTofs({5}), 1);
    EXPECT_EQ(ctx->resultStore.dest, 125.0);
}

TEST_F(RttEstimator, KalmanOnlyDeliversKalmanDistance) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    ctx.opts().sol = 1000000000.0;
    ctx.opts().rttFilterType = 1;
    gNewPres.rttOut.dest = 77.0;
    EXPECT_EQ(runTofs({4}, 1000000), 1);  // 1.0 m, reset
    EXPECT_DOUBLE_EQ(ctx->resultStore.dest, 1000.0);
    EXPECT_EQ(runTofs({8}, 2000000), 1);  // 2.0 m one second later
    const double k = 103.24 / 112.24;
    EXPECT_DOUBLE_EQ(ctx->presStore.rttK, k);
    EXPECT_DOUBLE_EQ(ctx->presStore.rttP, (1.0 - k) * 103.24);
    EXPECT_DOUBLE_EQ(ctx->presStore.rttDest, k * 2.0 + (1.0 - k) * 1.0);
    EXPECT_DOUBLE_EQ(ctx->resultStore.dest, 1000.0 * (k * 2.0 + (1.0 - k)));
    EXPECT_EQ(gNewPres.rttOut.dest, 77.0);
}

TEST_F(RttEstimator, WindowOnlyAndKalmanThenWindow) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    ctx.opts().sol = 1000000000.0;
    ctx.opts().rttFilterType = 2;
    ctx.opts().rttSlidingWindowFrameSize = 0;
    EXPECT_EQ(runTofs({4}, 1000000), 1);   // 1.0
    EXPECT_EQ(runTofs({12}, 1500000), 1);  // 3.0 -> median of 1, 3
    EXPECT_DOUBLE_EQ(ctx->resultStore.dest, 2000.0);
    EXPECT_DOUBLE_EQ(ctx->presStore.rttDest, 2.0);  // the window output is the state
    EXPECT_EQ(gNewPres.rttWinCtl.size, 10);
    EXPECT_EQ(gNewPres.rttWinCtl.frameSize, 0);

    ctx.opts().rttFilterType = 4;
    EXPECT_EQ(runTofs({4}, 2000000), 1);  // Kalman from 2.0 towards 1.0, then the window
    // The window types left the variance at its zero start.
    const double p = 0.9 * 0.9;
    const double k = p / (p + 9.0);
    const double kal = k * 1.0 + (1.0 - k) * 2.0;
    EXPECT_DOUBLE_EQ(ctx->presStore.rttDest, kal);
    // Window: 1.0, 3.0 and the Kalman output; the median is the latter.
    EXPECT_DOUBLE_EQ(ctx->resultStore.dest, 1000.0 * kal);
}

TEST_F(RttEstimator, NegativeDistancesAreInvalidUnlessAllowed) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    ctx.opts().sol = 1000000000.0;
    ctx.opts().rttFilterType = 2;
    ctx.opts().rttSlidingWindowFrameSize = 0;
    EXPECT_EQ(runTofs({4}, 1000000), 1);  // 1.0
    ctx.opts().rttDisCalAA = -4.0;
    LogCapture cap(0);
    EXPECT_EQ(runTofs({4}, 1100000), 0);  // -3.0, invalid: nothing delivered, state kept
    EXPECT_TRUE(cap.contains("RTT estimate raw : -3.000000\n"));
    EXPECT_DOUBLE_EQ(ctx->resultStore.dest, 1000.0);
    EXPECT_EQ(ctx->presStore.rttTime, 1.0);

    ctx.opts().dropNegativeRTTDistances = 0;
    EXPECT_EQ(runTofs({4}, 1200000), 1);  // -3.0 valid: median of 1.0, -3.0
    EXPECT_DOUBLE_EQ(ctx->resultStore.dest, -1000.0);
}

TEST_F(RttEstimator, CalibrationModeUsesRawDistance) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    ctx.opts().sol = 1000000000.0;
    ctx.opts().EnableCal = 1;
    ctx.opts().rttDisCalAA = 5.0;
    ctx.opts().fiMaxPeriod = 7;
    EXPECT_EQ(runTofs({4}, 1000000), 1);
    EXPECT_EQ(runTofs({8}, 2000000), 1);
    EXPECT_EQ(ctx.opts().rttDisCalAA, 0.0);
    EXPECT_EQ(ctx.opts().fiMaxPeriod, 0u);
    EXPECT_EQ(ctx->presStore.rttDest, 2.0);  // unfiltered, no offset
}

TEST_F(RttEstimator, OversizedWindowOptionsStayInsideTheWindow) {
    ctx.opts().minRttStepsForDistEstimation = 1;
    ctx.opts().rttSlidingWindowSize = 60000;
    ctx.opts().rttSlidingWindowFrameSize = 900;
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(runTofs({4}, 1000000 + 1000 * static_cast<uint32_t>(i)), 1);
        EXPECT_LT(gNewPres.rttWinCtl.index, TARN_MAX_WINDOW_SLOTS);
    }
    EXPECT_EQ(gNewPres.rttWinCtl.size, TARN_MAX_WINDOW_SLOTS);
    EXPECT_EQ(gNewPres.rttWinCtl.frameSize, 100);
    EXPECT_NEAR(ctx->resultStore.dest, 299.7, 1e-9);
}

}  // namespace
