// Tracking filters: IIR, Kalman and sliding window.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "log_capture.h"
#include "tarn_config.h"
#include "tarn_estimators.h"

namespace {

RangeEstimate est(uint8_t valid, double dest, double conf = 100.0) {
    RangeEstimate e{};
    e.valid = valid;
    e.dest = dest;
    e.conf = conf;
    return e;
}

// ---- IIR ------------------------------------------------------------------

TEST(FilterIir, FullConfidenceTakesCurrentEstimate) {
    ConfigOpts opts = constOpts;
    IirState st{1, 3.0, 50.0};
    RangeEstimate cur = est(1, 7.25, 100.0);
    double w = 123.0;
    algFilterIir(&opts, &st, &cur, &w, 0.0, 0);
    EXPECT_EQ(st.valid, 1);
    EXPECT_EQ(st.dest, 7.25);
    EXPECT_EQ(st.conf, 100.0);
    EXPECT_EQ(w, 0.0);
}

TEST(FilterIir, PartialConfidenceBlendsAndKeepsLargerConfidence) {
    ConfigOpts opts = constOpts;  // fiAvgPwr 2, fiConfDecay 0.2
    IirState st{1, 2.0, 90.0};
    RangeEstimate cur = est(1, 4.0, 50.0);
    double w = 0.0;
    algFilterIir(&opts, &st, &cur, &w, 0.0, 0);
    EXPECT_DOUBLE_EQ(w, 0.75);
    EXPECT_DOUBLE_EQ(st.dest, 4.0 * 0.25 + 2.0 * 0.75);
    EXPECT_DOUBLE_EQ(st.conf, 72.0);  // 90 decayed beats 50
    EXPECT_EQ(st.valid, 1);
}

TEST(FilterIir, NoConfidenceInvalidatesAndDecays) {
    ConfigOpts opts = constOpts;
    IirState st{1, 2.0, 50.0};
    RangeEstimate cur = est(1, 4.0, -1.0);
    double w = 0.0;
    algFilterIir(&opts, &st, &cur, &w, 0.0, 0);
    EXPECT_EQ(st.valid, 0);
    EXPECT_EQ(st.dest, 2147483647.0);
    EXPECT_DOUBLE_EQ(st.conf, 40.0);
    EXPECT_EQ(w, 2147483647.0);
}

TEST(FilterIir, ResetHonoursMinimumConfidence) {
    ConfigOpts opts = constOpts;
    opts.fiMinConf = 15;
    tarn_test::LogCapture cap(2);
    IirState st{1, 2.0, 50.0};
    RangeEstimate cur = est(1, 4.0, 14.9);
    double w = 0.0;
    algFilterIir(&opts, &st, &cur, &w, 0.0, 1);
    EXPECT_EQ(st.valid, 0);
    EXPECT_EQ(st.dest, -1.0);
    EXPECT_EQ(st.conf, -1.0);
    EXPECT_EQ(w, -1.0);
    EXPECT_TRUE(cap.contains("IIR filter reset , reset 1 , presEst->valid 1"));

    cur.conf = 15.0;
    algFilterIir(&opts, &st, &cur, &w, 0.0, 1);
    EXPECT_EQ(st.valid, 1);
    EXPECT_EQ(st.dest, 4.0);
    EXPECT_EQ(st.conf, 15.0);
    // Any non-zero valid flag counts on the reset path.
    cur.valid = 2;
    algFilterIir(&opts, &st, &cur, &w, 0.0, 1);
    EXPECT_EQ(st.valid, 1);
}

// ---- Kalman ---------------------------------------------------------------

TEST(FilterKalman, InitialisesFromFirstValidEstimateThenUpdates) {
    ConfigOpts opts = constOpts;
    RangeEstimate st = est(0, -1.0, 0.0);
    RangeEstimate cur = est(1, 5.0, 100.0);
    double P = 0.0, K = 0.0;
    EXPECT_EQ(algFilterKalman(&opts, &st, &cur, &P, &K, 0.0, 10.0, 0), 0);
    EXPECT_EQ(st.dest, 5.0);
    EXPECT_EQ(st.conf, 100.0);
    EXPECT_EQ(st.valid, 1);
    EXPECT_EQ(P, 100.0);
    EXPECT_EQ(K, -1.0);

    cur.dest = 6.0;
    EXPECT_EQ(algFilterKalman(&opts, &st, &cur, &P, &K, 10.0, 11.0, 0), 1);
    const double p = 103.24;
    const double k = p / (p + 9.0);
    EXPECT_DOUBLE_EQ(K, k);
    EXPECT_DOUBLE_EQ(st.dest, k * 6.0 + (1.0 - k) * 5.0);
    EXPECT_DOUBLE_EQ(P, (1.0 - k) * p);
    EXPECT_DOUBLE_EQ(st.conf, P);
    EXPECT_EQ(st.vest, 0.0);
}

TEST(FilterKalman, InvalidEstimateOnlyPredicts) {
    ConfigOpts opts = constOpts;
    RangeEstimate st = est(1, 2.0, 4.0);
    RangeEstimate cur = est(0, 9.0, 0.0);
    double P = 4.0, K = 0.5;
    EXPECT_EQ(algFilterKalman(&opts, &st, &cur, &P, &K, 1.0, 3.0, 0), 0);
    EXPECT_EQ(st.valid, 0);
    EXPECT_EQ(st.dest, 2.0);
    EXPECT_DOUBLE_EQ(P, 4.0 + 3.6 * 3.6);
    EXPECT_EQ(K, 0.5);
    EXPECT_EQ(st.conf, 4.0);  // the state's copy of the variance is not refreshed
}

TEST(FilterKalman, ResetCopiesWholeEstimate) {
    ConfigOpts opts = constOpts;
    RangeEstimate st = est(1, 2.0, 4.0);
    RangeEstimate cur = est(0, 9.0, 30.0);
    cur.vest = 1.5;
    double P = 4.0, K = 0.5;
    EXPECT_EQ(algFilterKalman(&opts, &st, &cur, &P, &K, 1.0, 3.0, 1), 0);
    EXPECT_EQ(st.valid, 0);
    EXPECT_EQ(st.dest, 9.0);
    EXPECT_EQ(st.conf, 100.0);
    EXPECT_EQ(st.vest, 1.5);
    EXPECT_EQ(P, 100.0);
    EXPECT_EQ(K, -1.0);
}

// ---- Sliding window -------------------------------------------------------

struct Window {
    RangeEstimate slots[TARN_MAX_WINDOW_SLOTS]{};
    double stamps[TARN_MAX_WINDOW_SLOTS]{};
    SlidingWindowCtl ctl{};
    ConfigOpts opts = constOpts;  // slidingWindowMaxPeriod 3 s

    Window(uint16_t size, uint16_t frame) {
        ctl.size = size;
        ctl.frameSize = frame;
        ctl.index = 0;
    }
    RangeEstimate push(const RangeEstimate &e, double now) {
        RangeEstimate out{};
        out.valid = 7;
        out.dest = -5.0;
        out.conf = 42.0;
        algFilterSlidingWindow(&opts, slots, &e, &ctl, stamps, now, 0, &out);
        EXPECT_EQ(out.conf, 42.0);  // only valid and dest are written
        return out;
    }
};

TEST(FilterSlidingWindow, TrimmedMeanOfTenValues) {
    Window w(10, 40);
    // Out of order on purpose: the window sorts.
    const double values[10] = {7, 3, 10, 1, 5, 9, 2, 8, 6, 4};
    RangeEstimate out{};
    for (int i = 0; i < 10; ++i) out = w.push(est(1, values[i]), 100.0 + 0.1 * i);
    EXPECT_EQ(out.valid, 1);
    EXPECT_DOUBLE_EQ(out.dest, 5.5);
}

TEST(FilterSlidingWindow, TrimmedMeanOfFiveValues) {
    Window w(10, 40);
    RangeEstimate out{};
    for (int i = 0; i < 5; ++i) out = w.push(est(1, 10.0 * (i + 1)), 50.0);
    // m = 2: positions 2 and 3 of 10, 20, 30, 40, 50.
    EXPECT_DOUBLE_EQ(out.dest, 35.0);
}

TEST(FilterSlidingWindow, OddFrameKeepsTwoFewerValues) {
    Window w(10, 30);  // m = 3 -> left = right = 0: the median alone
    RangeEstimate out{};
    for (int i = 0; i < 10; ++i) out = w.push(est(1, (i + 1) * 1.0), 5.0);
    EXPECT_EQ(out.valid, 1);
    EXPECT_DOUBLE_EQ(out.dest, 5.0);
    // m = 5 -> left = right = 1: positions 3..5.
    w.ctl.frameSize = 50;
    out = w.push(est(1, 1.0), 5.0);  // replaces the oldest (1.0)
    EXPECT_DOUBLE_EQ(out.dest, 5.0);
}

TEST(FilterSlidingWindow, MedianAndMean) {
    Window w(4, 0);
    RangeEstimate out{};
    const double values[4] = {1, 10, 2, 3};
    for (double v : values) out = w.push(est(1, v), 1.0);
    EXPECT_DOUBLE_EQ(out.dest, 2.5);
    out = w.push(est(1, 4.0), 1.0);  // 4, 10, 2, 3
    EXPECT_DOUBLE_EQ(out.dest, 3.5);
    w.ctl.frameSize = 100;
    out = w.push(est(1, 5.0), 1.0);  // 4, 5, 2, 3
    EXPECT_DOUBLE_EQ(out.dest, 3.5);
    w.ctl.frameSize = 0;
    w.ctl.size = 3;  // index wraps within the new size
    out = w.push(est(1, 100.0), 1.0);
    EXPECT_LT(w.ctl.index, 3);
}

TEST(FilterSlidingWindow, StaleFutureAndInvalidSlotsFallBackToCurrent) {
    Window w(5, 0);
    tarn_test::LogCapture cap(2);
    w.push(est(1, 1.0), 10.0);  // becomes stale
    w.push(est(0, 2.0), 14.0);  // invalid
    w.push(est(1, 3.0), 20.0);  // in the future of the next call
    RangeEstimate out = w.push(est(0, 8.5), 14.0);
    EXPECT_EQ(out.valid, 1);
    EXPECT_EQ(out.dest, 8.5);
    EXPECT_TRUE(cap.contains("no valid distances in sliding window"));
    EXPECT_TRUE(cap.contains("currTime 14.000000 , temptime 20.000000, period 3.000000 \n"));
}

TEST(FilterSlidingWindow, AgeLimitIsInclusive) {
    Window w(5, 0);
    w.push(est(1, 1.0), 10.0);
    RangeEstimate out = w.push(est(1, 3.0), 13.0);  // age 3.0 == period: kept
    EXPECT_DOUBLE_EQ(out.dest, 2.0);
}

TEST(FilterSlidingWindow, NaNTimestampIsNeverSelected) {
    Window w(3, 0);
    w.push(est(1, 1.0), std::numeric_limits<double>::quiet_NaN());
    RangeEstimate out = w.push(est(1, 6.0), 1.0);
    EXPECT_EQ(out.dest, 6.0);
}

TEST(FilterSlidingWindow, ZeroSizeReturnsCurrentEstimate) {
    Window w(0, 40);
    RangeEstimate out = w.push(est(0, 4.0), 1.0);
    EXPECT_EQ(out.valid, 1);
    EXPECT_EQ(out.dest, 4.0);
    EXPECT_EQ(w.ctl.index, 0);
}

TEST(FilterSlidingWindow, OversizedOptionsAreLimitedToTheArrays) {
    // Guard slots behind the window catch any write past its 20 slots.
    struct {
        RangeEstimate slots[TARN_MAX_WINDOW_SLOTS];
        RangeEstimate guard[4];
    } s{};
    struct {
        double stamps[TARN_MAX_WINDOW_SLOTS];
        double guard[4];
    } t{};
    SlidingWindowCtl ctl{500, 250, 499};
    ConfigOpts opts = constOpts;
    RangeEstimate out{};
    for (int i = 0; i < 45; ++i) {
        RangeEstimate e = est(1, i * 1.0);
        algFilterSlidingWindow(&opts, s.slots, &e, &ctl, t.stamps, 1.0, 0, &out);
        EXPECT_LT(ctl.index, TARN_MAX_WINDOW_SLOTS);
    }
    for (const RangeEstimate &g : s.guard) EXPECT_EQ(g.dest, 0.0);
    for (double g : t.guard) EXPECT_EQ(g, 0.0);
    // A frame above 100 acts as the mean of the 20 newest values 25..44.
    EXPECT_DOUBLE_EQ(out.dest, 34.5);
}

}  // namespace
