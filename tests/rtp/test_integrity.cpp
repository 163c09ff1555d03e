// The response's integrity checks on constructed responses: the two-path fit
// behind the multipath and blocked-path flags, and the phase-jump measure.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "rtp/rtp_integrity.h"

using tarn_rtp::PathPair;

namespace {

constexpr double kSol = 299700000.0;
constexpr double kPi = 3.14159265358979323846;

struct Response {
    TarnCplxD h[TARN_NUM_CHANNELS] = {};
    uint8_t use[TARN_NUM_CHANNELS] = {};
};

// One-way response of paths (distance, amplitude) on the usable channels
// 2..22 and 26..76, with a small deterministic ripple standing in for noise.
Response response(std::initializer_list<std::pair<double, double>> paths, double ripple = 0.01) {
    Response r;
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) {
        if (k < 2 || (k > 22 && k < 26) || k > 76) continue;
        r.use[k] = 1;
        TarnCplxD v(0.0, 0.0);
        for (const auto &p : paths) v += std::polar(p.second, -2.0 * kPi * k * 1e6 * p.first / kSol);
        r.h[k] = v * std::polar(1.0 + ripple * std::sin(0.7 * k), ripple * std::cos(1.3 * k));
    }
    return r;
}

bool multipathRule(const PathPair &pp) {
    const double strong = std::fmax(pp.earlyAmp, pp.lateAmp);
    const double weak = std::fmin(pp.earlyAmp, pp.lateAmp);
    return weak >= 0.25 * strong && pp.residual2 <= 0.5 * pp.residual1;
}

TEST(TwoPathFit, OnePathIsNotMultipath) {
    for (double d : {0.5, 3.0, 12.0, 27.5}) {
        const Response r = response({{d, 1.0}});
        const PathPair pp = tarn_rtp::fitTwoPaths(r.h, r.use, d - 5.0, kSol);
        ASSERT_TRUE(pp.found) << d;
        EXPECT_FALSE(multipathRule(pp)) << d;
        const double strongM = pp.earlyAmp > pp.lateAmp ? pp.earlyM : pp.lateM;
        EXPECT_NEAR(strongM, d, 0.05) << d;
    }
}

TEST(TwoPathFit, BlockedDirectPathIsTheWeakerEarlyOne) {
    // Line of sight 10 dB down, a reflection 2 m later at full amplitude:
    // closer than the band resolves (3.75 m), the fit still separates them.
    for (double d : {1.0, 5.0, 20.0}) {
        const Response r = response({{d, 0.316}, {d + 2.0, 1.0}});
        const PathPair pp = tarn_rtp::fitTwoPaths(r.h, r.use, d + 2.0 - 5.0, kSol);
        ASSERT_TRUE(pp.found) << d;
        EXPECT_TRUE(multipathRule(pp)) << d;
        EXPECT_NEAR(pp.earlyM, d, 0.1) << d;
        EXPECT_NEAR(pp.lateM, d + 2.0, 0.1) << d;
        EXPECT_NEAR(pp.earlyAmp, 0.316, 0.05) << d;
        EXPECT_NEAR(pp.lateAmp, 1.0, 0.05) << d;
        EXPECT_LT(pp.residual2, 0.01) << d;
    }
}

TEST(TwoPathFit, ReflectionBehindAStrongDirectPath) {
    const Response r = response({{4.0, 1.0}, {7.0, 0.5}});
    const PathPair pp = tarn_rtp::fitTwoPaths(r.h, r.use, -1.0, kSol);
    ASSERT_TRUE(pp.found);
    EXPECT_TRUE(multipathRule(pp));
    EXPECT_NEAR(pp.earlyM, 4.0, 0.1);
    EXPECT_NEAR(pp.lateM, 7.0, 0.1);
    EXPECT_GT(pp.earlyAmp, pp.lateAmp);
}

TEST(TwoPathFit, TooFewChannelsOrNoEnergy) {
    Response r = response({{3.0, 1.0}});
    for (int k = 12; k < TARN_NUM_CHANNELS; ++k) r.use[k] = 0;  // channels 2..11
    r.use[2] = 0;  // 9 channels: too few
    EXPECT_FALSE(tarn_rtp::fitTwoPaths(r.h, r.use, -2.0, kSol).found);
    Response zero;
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) zero.use[k] = 1;
    EXPECT_FALSE(tarn_rtp::fitTwoPaths(zero.h, zero.use, -2.0, kSol).found);
    const Response ok = response({{3.0, 1.0}});
    EXPECT_FALSE(tarn_rtp::fitTwoPaths(ok.h, ok.use, -2.0, 0.0).found);
}

// Two-way products at distance d over the usable channels, the channels dealt
// to four subevents in a scrambled order, each subevent turned by `stepDeg`
// more than the previous one.
struct Products {
    TarnCplxD p[TARN_NUM_CHANNELS] = {};
    uint8_t use[TARN_NUM_CHANNELS] = {};
    int group[TARN_NUM_CHANNELS];
};

Products products(double d, double stepDeg, int groups = 4) {
    Products out;
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) {
        out.group[k] = -1;
        if (k < 2 || (k > 22 && k < 26) || k > 76) continue;
        out.use[k] = 1;
        uint32_t x = static_cast<uint32_t>(k) * 0x9E3779B9u;
        x ^= x >> 15;
        x *= 0x85EBCA6Bu;
        x ^= x >> 13;
        out.group[k] = static_cast<int>(x % static_cast<unsigned>(groups));
        const double turn = out.group[k] * stepDeg * kPi / 180.0;
        out.p[k] = std::polar(1.0, -4.0 * kPi * k * 1e6 * d / kSol + turn + 0.05 * std::sin(k));
    }
    return out;
}

TEST(SubeventJumps, HonestProductsTurnAlike) {
    for (double d : {1.0, 7.0, 25.0}) {
        const Products p = products(d, 0.0);
        double same = -1.0;
        const double jump = tarn_rtp::subeventJumpDeg(p.p, p.use, p.group, &same);
        EXPECT_GE(jump, 0.0) << d;
        EXPECT_LT(jump, 10.0) << d;
        EXPECT_LT(same, 10.0) << d;
    }
}

TEST(SubeventJumps, ResidualOffsetTurnsSubevents) {
    // 80 Hz over 5 ms subevents: 144 degrees of two-way phase per subevent.
    for (double step : {60.0, 144.0}) {
        const Products p = products(5.0, step);
        double same = -1.0;
        const double jump = tarn_rtp::subeventJumpDeg(p.p, p.use, p.group, &same);
        EXPECT_GT(jump, 45.0) << step;
        EXPECT_GT(jump - same, 25.0) << step;
    }
}

TEST(SubeventJumps, OneSubeventCannotTell) {
    const Products p = products(5.0, 144.0, 1);
    EXPECT_EQ(tarn_rtp::subeventJumpDeg(p.p, p.use, p.group, nullptr), -1.0);
}

}  // namespace
