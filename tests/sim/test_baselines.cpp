// The reference estimators and the bound the evaluation compares against.
#include <gtest/gtest.h>

#include <cmath>

#include "baselines.h"
#include "simulator.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

SimConfig lineOfSight(double d, double snrDb, int nap) {
    SimConfig c;
    c.trajectory = Trajectory::still(d);
    c.snrDb = snrDb;
    c.nap = nap;
    c.unavailableShare = 0.0;
    c.pathSpreadM = 0.0;
    c.hardwareResponse = false;
    return c;
}

}  // namespace

TEST(Baselines, NoiselessLineOfSightIsRecoveredWithinAMillimetre) {
    for (int nap : {1, 3})
        for (double d : {0.5, 3.7, 12.0, 19.9, 60.0})
            for (ChannelMap map : {ChannelMap::All, ChannelMap::Half}) {
                // Every other channel: the first 2 MHz step is unambiguous to 37 m.
                if (map == ChannelMap::Half && d > 37.0) continue;
                SimConfig c = lineOfSight(d, 200.0, nap);
                c.channelMap = map;
                Simulator sim(c);
                const ToneProducts tp = toneProducts(sim.next());
                ASSERT_EQ(tp.nap, nap);
                EXPECT_EQ(tp.count(nap - 1), static_cast<int>(channelMapChannels(map).size()));
                const BaselineEstimate a = ifftPeakDistance(tp, c.propagationMps);
                const BaselineEstimate b = phaseSlopeDistance(tp, c.propagationMps);
                ASSERT_TRUE(a.valid && b.valid);
                EXPECT_NEAR(a.distanceM, d, 1e-3) << "ifft, " << nap << " paths at " << d << " m";
                EXPECT_NEAR(b.distanceM, d, 1e-3) << "slope, " << nap << " paths at " << d << " m";
            }
}

TEST(Baselines, InverseFftTakesTheStrongestArrival) {
    // Paths 30 m apart are well resolved over 75 MHz; the peak is the stronger.
    for (double amplitude : {0.5, 2.0}) {
        SimConfig c = lineOfSight(4.0, 200.0, 1);
        c.reflections = {{30.0, amplitude}};
        c.reflectionSpreadM = 0.0;
        Simulator sim(c);
        ImpulseResponse ir;
        const BaselineEstimate e =
            ifftPeakDistance(toneProducts(sim.next()), c.propagationMps, &ir, 50.0);
        ASSERT_TRUE(e.valid);
        EXPECT_NEAR(e.distanceM, amplitude > 1.0 ? 34.0 : 4.0, 0.05);
        // The profile: ordered distances from -5 m to 50 m, peak 1 at the estimate.
        ASSERT_GT(ir.distanceM.size(), 100u);
        EXPECT_GE(ir.distanceM.front(), -5.0);
        EXPECT_LE(ir.distanceM.back(), 50.0);
        EXPECT_TRUE(std::is_sorted(ir.distanceM.begin(), ir.distanceM.end()));
        size_t top = 0;
        for (size_t i = 0; i < ir.magnitude.size(); ++i)
            if (ir.magnitude[i] > ir.magnitude[top]) top = i;
        EXPECT_DOUBLE_EQ(ir.magnitude[top], 1.0);
        EXPECT_NEAR(ir.distanceM[top], e.distanceM, 0.04);
    }
    // Nothing to transform: no estimate.
    EXPECT_FALSE(ifftPeakDistance(ToneProducts{}, 3e8).valid);
    EXPECT_FALSE(phaseSlopeDistance(ToneProducts{}, 3e8).valid);
}

TEST(Baselines, CramerRaoBoundClosedForm) {
    const double c = 299700000.0;
    // Two channels 2 MHz apart: sum of squared deviations 2e12 Hz^2.
    const std::vector<uint8_t> two = {10, 12};
    EXPECT_NEAR(cramerRaoBoundM(two, 0.0, 1, c), c / (4.0 * M_PI * std::sqrt(2.0) * 1e6), 1e-9);
    EXPECT_NEAR(cramerRaoBoundM(two, 20.0, 1, c), cramerRaoBoundM(two, 0.0, 1, c) / 10.0, 1e-12);
    EXPECT_NEAR(cramerRaoBoundM(two, 0.0, 4, c), cramerRaoBoundM(two, 0.0, 1, c) / 2.0, 1e-12);
    EXPECT_TRUE(std::isnan(cramerRaoBoundM({10}, 0.0, 1, c)));
    // The full map at 25 dB: a few millimetres.
    const double full = cramerRaoBoundM(channelMapChannels(ChannelMap::All), 25.0, 1, c);
    EXPECT_GT(full, 0.004);
    EXPECT_LT(full, 0.01);
}

TEST(Baselines, SlopeFitReachesTheBoundOverLineOfSight) {
    for (int nap : {1, 2}) {
        SimConfig c = lineOfSight(7.0, 20.0, nap);
        c.seed = 11;
        Simulator sim(c);
        const int n = 600;
        double mean = 0.0, meanSq = 0.0;
        for (int i = 0; i < n; ++i) {
            const BaselineEstimate e =
                phaseSlopeDistance(toneProducts(sim.next()), c.propagationMps);
            ASSERT_TRUE(e.valid);
            mean += e.distanceM / n;
            meanSq += e.distanceM * e.distanceM / n;
        }
        const double sd = std::sqrt((meanSq - mean * mean) * n / (n - 1));
        const double bound =
            cramerRaoBoundM(channelMapChannels(c.channelMap), c.snrDb, nap, c.propagationMps);
        EXPECT_NEAR(sd, bound, 0.1 * bound) << nap << " path(s)";
        EXPECT_NEAR(mean, 7.0, 4.0 * bound / std::sqrt(n));
    }
}
