// The within-procedure speed search and compensation of tracking mode 1 on
// synthetic tones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "rtp/rtp_motion.h"
#include "tarn_config.h"

using namespace tarn_rtp;

namespace {

constexpr double kSol = 299700000.0;

// One procedure's tones: 72 channels in a random hop order, 150 us apart in
// four subevents 5 ms apart, for a target at d metres moving at v m/s; an
// optional reflection extraM behind at amplitude a.
struct Tones {
    int n = 0;
    TarnCplxD x[kMaxTones][kPaths] = {};
    uint8_t use[kMaxTones][kPaths] = {};
    uint8_t channel[kMaxTones] = {};
    double timeS[kMaxTones] = {};
};

void makeTones(Tones &t, double d, double v, int nap, uint32_t seed, double extraM = 0.0,
               double a = 0.0, double noise = 0.0) {
    std::vector<int> ch;
    for (int k = 2; k <= 76; ++k)
        if (k <= 22 || k >= 26) ch.push_back(k);
    std::mt19937 rng(seed);
    std::shuffle(ch.begin(), ch.end(), rng);
    std::normal_distribution<double> n01(0.0, 1.0);
    t.n = static_cast<int>(ch.size());
    for (int k = 0; k < t.n; ++k) {
        const int sub = k * 4 / t.n, within = k - sub * t.n / 4;
        t.channel[k] = static_cast<uint8_t>(ch[k]);
        t.timeS[k] = sub * 5e-3 + within * kNominalStepS;
        const double f = (2402.0 + ch[k]) * 1e6;
        const double dk = d + v * t.timeS[k];
        for (int j = 0; j < nap; ++j) {
            TarnCplxD h = std::polar(1.0, -4.0 * M_PI * f * dk / kSol);
            if (a > 0.0) h += a * std::polar(1.0, -4.0 * M_PI * f * (dk + extraM) / kSol + j);
            h += noise * TarnCplxD(n01(rng), n01(rng));
            t.x[k][j] = h;
            t.use[k][j] = 1;
        }
    }
}

}  // namespace

TEST(MotionSearch, FindsTheSpeedOverEveryPlausibleSpeed) {
    for (double v : {-3.0, -1.0, 0.0, 0.7, 2.0, 4.0}) {
        Tones t;
        makeTones(t, 6.0, v, 2, 11, 0.0, 0.0, 0.05);
        double speed = 99.0, sd = 0.0, sharp = 0.0;
        ASSERT_TRUE(rtpMeasureSpeed(t.x, t.use, t.channel, t.timeS, t.n, 2, kSol, SpeedSearch(),
                                    &speed, &sd, &sharp))
            << v;
        EXPECT_NEAR(speed, v, 0.05) << v;
        EXPECT_GT(sd, 0.0);
        EXPECT_LT(sd, 0.1);
        EXPECT_GT(sharp, 0.3);  // lined up: about 2/3
    }
    // With a strong reflection (half the amplitude, one path) the speed is
    // still found, a little low: the reflection pulls the sharpest response
    // (1.39 m/s here on x86-64, 1.35 m/s on 32-bit ARM, whose fused
    // multiply-adds round differently).
    Tones r;
    makeTones(r, 4.0, 1.5, 1, 5, 3.0, 0.5, 0.05);
    double speed = 0.0, sd = 0.0;
    ASSERT_TRUE(rtpMeasureSpeed(r.x, r.use, r.channel, r.timeS, r.n, 1, kSol, SpeedSearch(), &speed,
                                &sd));
    EXPECT_NEAR(speed, 1.5, 0.2);
}

TEST(MotionSearch, AroundAKnownSpeedAndItsLimits) {
    Tones t;
    makeTones(t, 3.0, -1.0, 1, 3);
    SpeedSearch local;
    local.centreMps = -0.8;
    local.halfSpanMps = 0.5;
    double speed = 0.0, sd = 0.0;
    ASSERT_TRUE(rtpMeasureSpeed(t.x, t.use, t.channel, t.timeS, t.n, 1, kSol, local, &speed, &sd));
    EXPECT_NEAR(speed, -1.0, 0.05);
    // The true speed outside the span: its best lies at the edge, no speed.
    local.centreMps = 1.0;
    EXPECT_FALSE(rtpMeasureSpeed(t.x, t.use, t.channel, t.timeS, t.n, 1, kSol, local, &speed, &sd));
    // Too few usable tones, or none at all.
    Tones few = t;
    for (int k = 6; k < few.n; ++k) few.use[k][0] = 0;
    EXPECT_FALSE(rtpMeasureSpeed(few.x, few.use, few.channel, few.timeS, few.n, 1, kSol,
                                 SpeedSearch(), &speed, &sd));
    EXPECT_FALSE(rtpMeasureSpeed(t.x, t.use, t.channel, t.timeS, 0, 1, kSol, SpeedSearch(), &speed,
                                 &sd));
    // Values that are not numbers are left out, not propagated.
    Tones bad = t;
    for (int k = 0; k < bad.n; k += 5) bad.x[k][0] = TarnCplxD(NAN, 0.0);
    ASSERT_TRUE(rtpMeasureSpeed(bad.x, bad.use, bad.channel, bad.timeS, bad.n, 1, kSol,
                                SpeedSearch(), &speed, &sd));
    EXPECT_NEAR(speed, -1.0, 0.05);
}

// Without a request installed the driver's call site leaves the tones as
// they are (tracking mode 0).
TEST(MotionSearch, NoRequestNoChange) {
    Tones t;
    makeTones(t, 3.0, 2.0, 2, 9);
    static TarnCplxD init[kMaxTones][kPaths], refl[kMaxTones][kPaths];
    static uint8_t gmap[kMaxTones][kPaths];
    for (int k = 0; k < t.n; ++k)
        for (int j = 0; j < 2; ++j) {
            init[k][j] = t.x[k][j];
            refl[k][j] = 1.0;
            gmap[k][j] = 1;
        }
    uint8_t modes[kMaxTones], channels[kMaxTones];
    std::fill(modes, modes + t.n, 2);
    std::memcpy(channels, t.channel, sizeof channels);
    CsMeasurement meas{};
    meas.modes = modes;
    meas.channels = channels;
    meas.N = static_cast<uint16_t>(t.n);
    ConfigOpts opts = constOpts;
    rtpCompensateMotion(nullptr, meas, opts, t.n, 2, gmap, t.channel, init, refl);
    for (int k = 0; k < t.n; ++k) EXPECT_EQ(init[k][0], t.x[k][0]);

    // A request for another procedure is not this one's either.
    CsMeasurement other{};
    MotionRequest req;
    req.meas = &other;
    rtpCompensateMotion(&req, meas, opts, t.n, 2, gmap, t.channel, init, refl);
    EXPECT_FALSE(req.compensated);
    for (int k = 0; k < t.n; ++k) EXPECT_EQ(init[k][0], t.x[k][0]);

    // With a request for it (step times: the tones' own), the tones are
    // turned back to the first step: every product then carries d alone.
    std::vector<float> times(t.n);
    for (int k = 0; k < t.n; ++k) times[k] = static_cast<float>(t.timeS[k]);
    req = MotionRequest();
    req.meas = &meas;
    req.stepTimeS = times.data();
    req.stepCount = t.n;
    rtpCompensateMotion(&req, meas, opts, t.n, 2, gmap, t.channel, init, refl);
    ASSERT_TRUE(req.compensated);
    ASSERT_TRUE(req.measured);
    EXPECT_NEAR(req.speedUsed, 2.0, 0.05);
    for (int k = 0; k < t.n; ++k) {
        const double f = (2402.0 + t.channel[k]) * 1e6;
        const double want = std::arg(std::polar(1.0, -4.0 * M_PI * f * 3.0 / kSol));
        EXPECT_NEAR(std::remainder(std::arg(init[k][0]) - want, 2.0 * M_PI), 0.0, 0.05) << k;
    }
}

// Each subevent's own phase from the channels that come back: tones of four
// subevents, each turned by its own phase (an offset ramp, jumps up to
// +-pi), come back exactly; the offset from ramp phases too.
TEST(MotionSubeventPhases, RecoversPhasesAndOffset) {
    struct Layout {
        int perSubevent;  // tones per subevent
        int repeat;       // of them, channels of the previous subevent
    };
    const double ramp[4] = {0.0, 2.51, 5.03, 7.54};  // 80 Hz over 5 ms spacing
    const double jumps[4] = {0.0, M_PI, -3.0, 1.2};
    for (const Layout lay : {Layout{36, 36}, Layout{13, 4}}) {
        for (const double *want : {ramp, jumps}) {
            Tones t;
            uint8_t sub[kMaxTones];
            int k = 0, nextChannel = 2;
            for (int s = 0; s < 4; ++s) {
                for (int i = 0; i < lay.perSubevent; ++i, ++k) {
                    // The first `repeat` tones reuse the channels the
                    // previous subevent ended on.
                    int ch;
                    if (lay.repeat == lay.perSubevent)
                        ch = 2 + i;
                    else if (s > 0 && i < lay.repeat)
                        ch = t.channel[k - lay.repeat];
                    else
                        ch = nextChannel++;
                    t.channel[k] = static_cast<uint8_t>(ch);
                    sub[k] = static_cast<uint8_t>(s);
                    const double f = (2402.0 + ch) * 1e6;
                    for (int j = 0; j < 2; ++j) {
                        t.x[k][j] = std::polar(1.0, -4.0 * M_PI * f * 3.0 / kSol + want[s] + j);
                        t.use[k][j] = 1;
                    }
                }
            }
            double theta[4] = {9, 9, 9, 9};
            ASSERT_TRUE(rtpSubeventPhases(t.x, t.use, t.channel, sub, k, 2, 4, theta));
            for (int s = 0; s < 4; ++s)
                EXPECT_NEAR(std::remainder(theta[s] - want[s], 2.0 * M_PI), 0.0, 1e-9) << s;
            if (want == ramp) {
                const double start[4] = {0.0, 5e-3, 10e-3, 15e-3};
                EXPECT_NEAR(rtpOffsetFromPhases(theta, start, 4), 7.54 / (2.0 * M_PI * 15e-3),
                            1e-6);
            }
        }
    }
    // A subevent sharing no channel with the earlier ones has no phase.
    Tones t;
    makeTones(t, 3.0, 0.0, 2, 11);
    uint8_t sub[kMaxTones];
    for (int k = 0; k < t.n; ++k) sub[k] = static_cast<uint8_t>(k * 4 / t.n);
    double theta[4];
    EXPECT_FALSE(rtpSubeventPhases(t.x, t.use, t.channel, sub, t.n, 2, 4, theta));
    // Fewer than two subevents, or none spaced: no offset.
    const double one[2] = {1.0, 2.0}, same[2] = {0.0, 0.0};
    EXPECT_EQ(rtpOffsetFromPhases(one, same, 1), 0.0);
    EXPECT_EQ(rtpOffsetFromPhases(one, same, 2), 0.0);
}
