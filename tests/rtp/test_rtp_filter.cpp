// The phase result filter: candidate regimes, trimming, combining, tracking
// gates, path counters, hold, output filters and the "no distance" state.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>

#include "tarn_rtp.h"

namespace {

constexpr double kNoDist = 2147483647.0;

class RtpFilter : public ::testing::Test {
  protected:
    void SetUp() override {
        rig_.reset(new Rig());
        rig_->opts = constOpts;
    }
    struct Rig {
        NewPresState st{};
        ToneRecord raw{};
        PhaseResult ph{};
        MusicResult mu{};
        ConfigOpts opts{};
    };
    NewPresState &st() { return rig_->st; }
    MusicResult &mu() { return rig_->mu; }
    PhaseResult &ph() { return rig_->ph; }
    ConfigOpts &opts() { return rig_->opts; }

    // Clears this procedure's estimator outputs (the state is kept).
    void newProcedure() {
        rig_->mu = MusicResult{};
        rig_->ph = PhaseResult{};
        for (int i = 0; i < TARN_MUSIC_SLOTS; ++i)
            for (int k = 0; k < 4; ++k) slot(i, k, kNoDist, -1.0, 0);
    }
    void slot(int i, int k, double dest, double conf, uint8_t valid = 1) {
        mu().dest[i][k] = dest;
        mu().conf[i][k] = conf;
        mu().valid[i][k] = valid;
    }
    RangeEstimate run(double timeS, int nap, int reset) {
        rig_->raw.timeUs = timeS * 1e6;
        RangeEstimate out{};
        algEstRTPWithFilter(&st(), &rig_->raw, nullptr, &ph(), &mu(), &opts(),
                            static_cast<int8_t>(nap), &out, reset);
        return out;
    }
    // Direct regime with the estimate passed through unchanged.
    void direct(uint8_t method) {
        opts().rtpFilterType = 5;
        opts().fiDistanceCombiningMethod = method;
    }

    std::unique_ptr<Rig> rig_;
};

// Candidates 1, 2, 4, 8, ... make every kept set's mean unique.
TEST_F(RtpFilter, TrimmingKeepsTheMiddleAndNeverDropsEverything) {
    struct Case {
        int count;
        double frac;
        int first, last;  // kept positions in ascending order
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {7, 0.3, 1, 5}, {5, 0.3, 1, 3}, {6, 0.0, 0, 5}, {1, 1.0, 0, 0},  {2, 1.0, 0, 1},
        {3, 1.0, 1, 1}, {4, 0.9, 1, 2}, {3, 7.5, 1, 1}, {3, 1e300, 1, 1}, {4, -2.0, 0, 3},
        {5, nan, 0, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " candidates, fraction " << c.frac);
        SetUp();
        direct(0);
        opts().fiExclFrac = c.frac;
        newProcedure();
        // Given in descending order to exercise the sort; spread over paths.
        for (int n = 0; n < c.count; ++n)
            slot(n % 6, n / 6, std::ldexp(1.0, c.count - 1 - n), 50.0 + n);
        const RangeEstimate out = run(1.0, 2, 0);
        double sum = 0.0;
        for (int p = c.first; p <= c.last; ++p) sum += std::ldexp(1.0, p);
        EXPECT_EQ(out.valid, 1);
        EXPECT_DOUBLE_EQ(out.dest, sum / (c.last - c.first + 1));
    }
}

TEST_F(RtpFilter, CombiningMethods) {
    // Five candidates 10, 20, 30, 40, 1000: mean 220, median 30.
    struct Case {
        uint8_t method;
        int validPaths;
        uint8_t pct2;
        double dest;
        uint8_t valid;
    };
    const Case cases[] = {
        {0, 4, 40, 220.0, 1},   {1, 4, 40, 30.0, 1},   {2, 4, 40, 30.0, 1},
        {3, 1, 40, 30.0, 1},    {3, 2, 40, 26.0, 1},   {3, 3, 40, 22.0, 1},
        {3, 4, 40, 20.0, 1},    {3, 2, 250, 1000.0, 1}, {3, 0, 40, kNoDist, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "method " << int(c.method) << " paths " << c.validPaths);
        SetUp();
        direct(c.method);
        opts().percentile2AP = c.pct2;
        newProcedure();
        const double d[] = {30, 1000, 10, 40, 20};
        for (int n = 0; n < 5; ++n) slot(n, 0, d[n], 20.0 * (n + 1) - 0.5);
        for (int k = 0; k < 4; ++k) mu().pathValid[k] = k < c.validPaths;
        const RangeEstimate out = run(1.0, 1, 1);
        EXPECT_DOUBLE_EQ(out.dest, c.dest);
        EXPECT_EQ(out.valid, c.valid);
        if (c.valid == 1) {
            EXPECT_EQ(out.conf, 99.0);  // largest selected, truncated
        }
    }
}

TEST_F(RtpFilter, DirectRegimeTakesThisProceduresSlotsOnly) {
    direct(0);
    opts().phEnable = 1;
    newProcedure();
    // Stale pair states that claim every slot is valid, and one that claims none.
    for (int i = 0; i < 7; ++i)
        for (int k = 0; k < 4; ++k) st().csFilter.entry[i][k].valid = (i == 2) ? 0 : 1;
    slot(0, 0, 1000.0, 60.0, 1);
    slot(1, 0, 9000.0, 60.0, 0);  // not found in this procedure
    slot(2, 0, 3000.0, 60.0, 1);  // pair state 0, found now
    slot(3, 1, 5000.0, -1.0, 1);  // no confidence
    slot(4, 2, 7000.0, 60.0, 1);  // path beyond NAP
    ph().pdest[1] = 2000.0;
    ph().pconf[1] = 10.0;
    ph().pdest[0] = 8000.0;
    ph().pconf[0] = -1.0;
    const RangeEstimate out = run(1.0, 2, 0);
    EXPECT_DOUBLE_EQ(out.dest, 2000.0);  // mean of 1000, 2000, 3000
    EXPECT_EQ(out.valid, 1);
    // Neither pair states nor counters change in this regime.
    EXPECT_EQ(st().csFilter.entry[2][0].valid, 0);
    EXPECT_EQ(st().inValidCounter, 0);
}

TEST_F(RtpFilter, TrackingBlendsGatesAndCarriesForward) {
    opts().rtpFilterType = 0;
    opts().fiDistanceCombiningMethod = 0;
    opts().muOrdSetLen = 1;
    newProcedure();
    slot(0, 0, 5000.0, 80.0);
    RangeEstimate out = run(1.0, 1, 1);
    EXPECT_EQ(out.valid, 1);
    EXPECT_DOUBLE_EQ(out.dest, 5000.0);
    EXPECT_DOUBLE_EQ(st().csFilter.disAvg[0][0], -1.0);

    // Right after the restart a jump beyond fiMaxDelta x distSF is believed
    // when at least as sure as the reference...
    newProcedure();
    slot(0, 0, 45000.0, 90.0);
    out = run(1.1, 1, 0);
    const double f = 0.9 * 0.9;
    const double blended = 45000.0 * f + 5000.0 * (1 - f);
    EXPECT_EQ(st().csFilter.entry[0][0].valid, 1);
    EXPECT_DOUBLE_EQ(out.dest, blended);
    EXPECT_DOUBLE_EQ(st().csFilter.disAvg[0][0], 1 - f);

    // ...but not one procedure later: the pair is stored invalid and there
    // is no candidate, so the previous pooled distance is held.
    newProcedure();
    slot(0, 0, 90000.0, 95.0);
    out = run(1.2, 1, 0);
    EXPECT_EQ(st().csFilter.entry[0][0].valid, 0);
    EXPECT_EQ(st().inValidCounter, 1);
    EXPECT_DOUBLE_EQ(st().iirEst.dest, blended);
    EXPECT_DOUBLE_EQ(out.dest, blended);

    // A small step is blended; an empty slot then carries the reference
    // forward with a decayed confidence.
    newProcedure();
    slot(0, 0, blended + 1000.0, 50.0);
    run(1.3, 1, 1);  // restart the pair from this value
    newProcedure();
    out = run(1.4, 1, 0);
    EXPECT_EQ(st().csFilter.entry[0][0].valid, 1);
    EXPECT_DOUBLE_EQ(st().csFilter.entry[0][0].pdest, blended + 1000.0);
    EXPECT_DOUBLE_EQ(st().csFilter.entry[0][0].pconf, 50.0 * 0.8);
    EXPECT_DOUBLE_EQ(st().csFilter.disAvg[0][0], 1.0);
}

TEST_F(RtpFilter, PathCountersDropAndRestorePaths) {
    opts().rtpFilterType = 0;
    opts().fiDistanceCombiningMethod = 0;
    opts().fiUsePrevDistFilter = 0;  // each pair tracks itself
    opts().APinValidCounterMax = 2;
    // Path 0 keeps finding 1 m; path 1 finds 3 m once and then nothing.
    const int found1[] = {1, 0, 0, 0, 1};
    const uint8_t counter1[] = {0, 1, 2, 2, 0};
    const uint8_t pathValid1[] = {1, 1, 0, 0, 1};
    const double dest[] = {2000.0, 2000.0, 1000.0, 1000.0, 2000.0};
    for (int p = 0; p < 5; ++p) {
        SCOPED_TRACE(p);
        newProcedure();
        slot(0, 0, 1000.0, 100.0);
        if (found1[p]) slot(0, 1, 3000.0, 100.0);
        const RangeEstimate out = run(1.0 + 0.1 * p, 2, p == 0);
        EXPECT_EQ(st().apInvalidCounter[1], counter1[p]);
        EXPECT_EQ(mu().pathValid[1], pathValid1[p]);
        EXPECT_EQ(mu().pathValid[0], 1);
        EXPECT_DOUBLE_EQ(out.dest, dest[p]);
        EXPECT_EQ(st().inValidCounter, 0);
    }
    // Without any valid update the procedure count of failures grows.
    for (int p = 0; p < 3; ++p) {
        newProcedure();
        opts().fiUsePrevDistFilter = 1;
        run(2.0 + 0.1 * p, 2, 1);
        EXPECT_EQ(st().inValidCounter, p + 1);
    }
}

TEST_F(RtpFilter, NoEstimateIsNeverAValidState) {
    // A fresh link whose first procedure yields nothing: with the window the
    // state would otherwise fall back to the marker with valid 1.
    for (uint8_t type : {0, 1, 2, 3, 4}) {
        SCOPED_TRACE(int(type));
        SetUp();
        opts().rtpFilterType = type;
        newProcedure();
        const RangeEstimate out = run(10.0, 2, 1);
        EXPECT_EQ(out.valid, 0);
        EXPECT_EQ(st().valid, 0);
        EXPECT_EQ(std::fabs(out.dest), kNoDist);
        EXPECT_EQ(st().time, 10.0);
    }
}

TEST_F(RtpFilter, WindowOptionsAreLimitedAndTheIndexWraps) {
    opts().rtpFilterType = 2;
    opts().fiDistanceCombiningMethod = 0;
    opts().rtpSlidingWindowSize = 1000;
    opts().rtpSlidingWindowFrameSize = 500;  // read as 100: the mean
    opts().slidingWindowMaxPeriod = 100.0;
    for (int p = 0; p < 25; ++p) {
        newProcedure();
        slot(0, 0, 1000.0 * (p + 1), 50.0);
        const RangeEstimate out = run(1.0 + p, 1, 0);
        const double oldest = p < 20 ? 1 : p - 18;
        EXPECT_DOUBLE_EQ(out.dest, 1000.0 * (oldest + p + 1) / 2.0) << p;
        ASSERT_LT(st().rtpWinCtl.index, 20);
    }
    // A smaller window installed mid-run (index at 5): writing restarts
    // inside it. Later times let the old slots age out.
    ASSERT_EQ(st().rtpWinCtl.index, 5);
    opts().rtpSlidingWindowSize = 3;
    opts().rtpSlidingWindowFrameSize = 0;
    for (int p = 0; p < 7; ++p) {
        newProcedure();
        slot(0, 0, 100.0 * (p + 1), 50.0);
        const RangeEstimate out = run(200.0 + p, 1, 0);
        EXPECT_EQ(st().rtpWinCtl.index, p % 3) << p;
        EXPECT_DOUBLE_EQ(out.dest, p < 2 ? (p == 0 ? 100.0 : 150.0) : 100.0 * p) << p;
    }
}

TEST_F(RtpFilter, KalmanReportsItsVariance) {
    opts().rtpFilterType = 1;
    opts().fiDistanceCombiningMethod = 0;
    newProcedure();
    slot(0, 0, 4000.0, 70.0);
    RangeEstimate out = run(5.0, 1, 1);
    EXPECT_DOUBLE_EQ(out.dest, 4000.0);
    EXPECT_DOUBLE_EQ(out.conf, 100.0);
    EXPECT_DOUBLE_EQ(st().rtpK, -1.0);
    newProcedure();
    slot(0, 0, 4000.0, 70.0);
    out = run(6.0, 1, 1);  // a second restart: the estimate is taken whole again
    newProcedure();
    slot(0, 0, 5000.0, 100.0);
    out = run(7.0, 1, 0);
    const double p = 100.0 + 1.8 * 1.8;
    const double k = p / (p + 9.0);
    EXPECT_DOUBLE_EQ(st().rtpK, k);
    EXPECT_DOUBLE_EQ(out.dest, k * 5000.0 + (1 - k) * 4000.0);
    EXPECT_DOUBLE_EQ(out.conf, (1 - k) * p);
    EXPECT_EQ(out.valid, 1);
}

TEST_F(RtpFilter, HostileOptionsStayInBounds) {
    // Order counts beyond the 7 tracked orders read only those 7; a
    // percentile beyond 100 is the largest value.
    for (uint8_t len : {0, 7, 200, 255}) {
        SCOPED_TRACE(int(len));
        SetUp();
        opts().muOrdSetLen = len;
        for (int i = 0; i < 7; ++i) opts().muOrdSet[i] = static_cast<uint8_t>(i + 2);
        opts().fiDistanceCombiningMethod = 3;
        opts().percentile4AP = 255;
        newProcedure();
        for (int i = 0; i < TARN_MUSIC_SLOTS; ++i)
            for (int k = 0; k < 4; ++k) slot(i, k, 1000.0 + i, 90.0);
        const RangeEstimate out = run(1.0, 4, 1);
        EXPECT_EQ(out.valid, len == 0 ? 0 : 1);
        if (len != 0) {
            EXPECT_DOUBLE_EQ(out.dest, 1006.0);
        }
    }
    // A negative path-failure limit leaves no path valid.
    SetUp();
    opts().APinValidCounterMax = -5;
    newProcedure();
    slot(0, 0, 1000.0, 90.0);
    EXPECT_EQ(run(1.0, 1, 1).valid, 0);
    EXPECT_EQ(mu().pathValid[0], 0);
}

}  // namespace
