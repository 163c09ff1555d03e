// Integrity end to end: simulated procedures through the host functions in
// both combination modes (a manipulating reflector, a blocked direct path, a
// residual frequency offset), the flags the library reports, and the
// coverage of its uncertainty over a fixed-seed matrix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "evaluate.h"
#include "session.h"
#include "simulator.h"
#include "tarn_interface.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

SimConfig integrityConfig(double d, uint64_t seed) {
    SimConfig c;
    c.trajectory = Trajectory::still(d);
    c.nap = 2;
    c.snrDb = 25.0;
    c.seed = seed;
    c.deviceSeed = seed;
    c.procedures = 40;
    return c;
}

struct LinkRun {
    std::vector<double> signedErr;
    std::vector<uint32_t> flags;
    std::vector<double> sigma;
};

LinkRun runLink(const SimConfig &cfg, int combination, CsLinkRef link = 0x4931) {
    LinkRun out;
    Session s(InputFormat::Procedure, link);
    EXPECT_TRUE(s.ok()) << s.error();
    if (combination != 0) {
        EXPECT_TRUE(s.setCombination(combination)) << s.error();
    }
    Simulator sim(cfg);
    for (int i = 0; i < cfg.procedures; ++i) {
        const Procedure p = sim.next();
        SessionRow r;
        EXPECT_TRUE(s.process(p, &r)) << s.error();
        out.flags.push_back(r.flags);
        out.sigma.push_back(r.sigmaM);
        if (r.finalM) out.signedErr.push_back(*r.finalM - p.trueDistance);
    }
    return out;
}

double shareWith(const LinkRun &r, uint32_t bit) {
    size_t n = 0;
    for (uint32_t f : r.flags) n += (f & bit) != 0 ? 1 : 0;
    return r.flags.empty() ? 0.0 : static_cast<double>(n) / r.flags.size();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? NAN : v[v.size() / 2];
}

}  // namespace

TEST(Combination, ExtensionContract) {
    EXPECT_EQ(tarnSetCombination(0x4932, 1), 0);  // unknown link
    Session s(InputFormat::Procedure, 0x4932);
    ASSERT_TRUE(s.ok());
    EXPECT_EQ(tarnSetCombination(0x4932, 2), 0);
    EXPECT_EQ(tarnSetCombination(0x4932, -1), 0);
    EXPECT_EQ(tarnSetCombination(0x4932, 1), 1);
    EXPECT_EQ(tarnSetCombination(0x4932, 1), 1);
    EXPECT_EQ(tarnSetCombination(0x4932, 0), 1);
    // The record says which combination formed the result.
    SimConfig cfg = integrityConfig(3.0, 5);
    Simulator sim(cfg);
    SessionRow r;
    ASSERT_TRUE(s.process(sim.next(), &r));
    TarnLatestComputation lc{};
    lc.size = sizeof lc;
    ASSERT_EQ(tarnGetLatestComputation(0x4932, &lc), 1);
    EXPECT_EQ(lc.size, TARN_LATEST_COMPUTATION_V4_SIZE);
    EXPECT_EQ(lc.combination, 0u);
    // The first computation restarts the tracking; no step timing given:
    // the round trip's protection is unknown.
    EXPECT_NE(lc.integrityFlags & TARN_INTEGRITY_RESTARTED, 0u);
    EXPECT_NE(lc.integrityFlags & TARN_INTEGRITY_RTT_UNPROTECTED, 0u);
    EXPECT_GT(lc.phaseSigmaM, 0.0);
    EXPECT_GT(lc.rttSigmaM, 0.0);
    ASSERT_EQ(tarnSetCombination(0x4932, 1), 1);
    // A random sequence (RTT type 3) protects the round trip.
    TarnStepTiming t{};
    t.size = sizeof t;
    t.tFcsUs = 150;
    t.tIp1Us = 145;
    t.tIp2Us = 145;
    t.tPmUs = 40;
    t.tSwUs = 10;
    t.phy = 1;
    t.rttType = 3;
    ASSERT_EQ(tarnSetStepTiming(0x4932, &t), 1);
    ASSERT_TRUE(s.process(sim.next(), &r));
    ASSERT_EQ(tarnGetLatestComputation(0x4932, &lc), 1);
    EXPECT_EQ(lc.combination, 1u);
    EXPECT_EQ(lc.integrityFlags & (TARN_INTEGRITY_RESTARTED | TARN_INTEGRITY_RTT_UNPROTECTED), 0u);
    t.rttType = 0;  // AA only
    ASSERT_EQ(tarnSetStepTiming(0x4932, &t), 1);
    ASSERT_TRUE(s.process(sim.next(), &r));
    ASSERT_EQ(tarnGetLatestComputation(0x4932, &lc), 1);
    EXPECT_NE(lc.integrityFlags & TARN_INTEGRITY_RTT_UNPROTECTED, 0u);
}

// A reflector shortening the phase distance by 2 m at 5 m: the specified rule
// delivers it, the guard delivers the round trip; both flag it.
TEST(Combination, ManipulatingReflectorThroughTheHostFunctions) {
    SimConfig cfg = integrityConfig(5.0, 21);
    cfg.attackPhaseM = 2.0;
    const LinkRun plain = runLink(cfg, 0);
    const LinkRun guarded = runLink(cfg, 1);
    ASSERT_EQ(plain.signedErr.size(), 40u);
    ASSERT_EQ(guarded.signedErr.size(), 40u);
    EXPECT_LT(median(plain.signedErr), -1.8);
    EXPECT_GT(*std::min_element(guarded.signedErr.begin(), guarded.signedErr.end()), -0.5);
    EXPECT_LT(*std::max_element(guarded.signedErr.begin(), guarded.signedErr.end()), 0.5);
    EXPECT_GE(shareWith(plain, TARN_INTEGRITY_MANIPULATION), 0.95);
    EXPECT_GE(shareWith(guarded, TARN_INTEGRITY_MANIPULATION), 0.95);
    EXPECT_GE(shareWith(guarded, TARN_INTEGRITY_RTT_DELIVERED), 0.95);
    EXPECT_EQ(shareWith(plain, TARN_INTEGRITY_RTT_DELIVERED), 0.0);
}

// Without an attack the guard changes little, and the flags stay quiet over
// line of sight.
TEST(Combination, HonestLineOfSight) {
    const SimConfig cfg = integrityConfig(10.0, 22);
    const LinkRun plain = runLink(cfg, 0);
    const LinkRun guarded = runLink(cfg, 1);
    for (uint32_t bit : {TARN_INTEGRITY_MANIPULATION, TARN_INTEGRITY_BLOCKED,
                         TARN_INTEGRITY_PHASE_JUMPS, TARN_INTEGRITY_RTT_DELIVERED}) {
        EXPECT_LE(shareWith(plain, bit), 0.05) << bit;
        EXPECT_LE(shareWith(guarded, bit), 0.05) << bit;
    }
    for (const LinkRun *r : {&plain, &guarded})
        for (double e : r->signedErr) EXPECT_LT(std::fabs(e), 0.15);
}

// Line of sight 10 dB down behind a reflection 2 m later: flagged, and the
// guard follows the first path.
TEST(Combination, BlockedDirectPath) {
    SimConfig cfg = integrityConfig(10.0, 23);
    cfg.directAmplitude = std::pow(10.0, -0.5);
    cfg.reflections = {{2.0, 1.0}};
    const LinkRun plain = runLink(cfg, 0);
    const LinkRun guarded = runLink(cfg, 1);
    EXPECT_GE(shareWith(plain, TARN_INTEGRITY_BLOCKED), 0.9);
    EXPECT_GE(shareWith(guarded, TARN_INTEGRITY_FIRST_PATH), 0.9);
    // The specified rule follows the reflection; the first path comes within
    // decimetres (the devices' own response biases the fit of a path 10 dB
    // down by up to about 0.6 m).
    EXPECT_GT(median(plain.signedErr), 1.0);
    EXPECT_LT(std::fabs(median(guarded.signedErr)), 0.8);
    EXPECT_LT(median(guarded.signedErr), median(plain.signedErr) - 1.0);
}

// 80 Hz of residual offset over four subevents on 36 channels: flagged, and
// the guard delivers the round trip (or nothing).
TEST(Combination, ResidualFrequencyOffset) {
    SimConfig cfg = integrityConfig(20.0, 24);
    cfg.driftHz = 80.0;
    cfg.channelMap = ChannelMap::Half;
    const LinkRun guarded = runLink(cfg, 1);
    EXPECT_GE(shareWith(guarded, TARN_INTEGRITY_PHASE_JUMPS), 0.9);
    ASSERT_GE(guarded.signedErr.size(), 25u);
    for (double e : guarded.signedErr) EXPECT_LT(std::fabs(e), 1.0);
}

// Over a fixed-seed still matrix the uncertainty covers about 68 % and 90 %
// of the errors (wide margins: 30 procedures per point; the two reflections'
// bias makes the tail heavier than a normal one).
TEST(Uncertainty, CoverageOverAStillMatrix) {
    EvalOptions opts;
    opts.integrity = true;
    opts.scenarios = {"snr25", "refl1_snr25", "refl2_snr25"};
    opts.distances = {1.0, 5.0, 20.0};
    opts.walk = false;
    opts.procedures = 30;
    opts.seed = 3;
    opts.combinations = {0, 1};
    std::vector<EvalRow> rows;
    std::string why;
    ASSERT_TRUE(runEvaluation(opts, &rows, &why)) << why;
    for (int comb : {0, 1}) {
        size_t n = 0, in1 = 0, in2 = 0;
        for (const EvalRow &r : rows) {
            if (r.combination != comb) continue;
            n += r.integrity.withSigma;
            in1 += r.integrity.withinSigma;
            in2 += r.integrity.within2Sigma;
        }
        ASSERT_GT(n, 200u);
        const double s1 = static_cast<double>(in1) / n, s2 = static_cast<double>(in2) / n;
        EXPECT_GT(s1, 0.5) << comb;
        EXPECT_LT(s1, 0.85) << comb;
        EXPECT_GT(s2, 0.8) << comb;
    }
}
