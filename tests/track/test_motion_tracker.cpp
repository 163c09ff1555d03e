// The two-state motion tracker alone, on synthetic sequences.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "log_capture.h"
#include "track/motion_tracker.h"

using namespace tarn_track;

namespace {

constexpr double kDt = 0.1;  // procedures 100 ms apart

// Truth, measurement noise and what each step feeds the tracker.
struct Scenario {
    std::function<double(double)> truth;  // distance at t
    double distSd = 0.03;
    double speedSd = 0.03;  // <= 0: no speed measurements
    int steps = 100;
    uint32_t seed = 1;
    // Per step: a replacement measurement (NaN: the true one plus noise).
    std::function<double(int, double)> override;
};

struct Trace {
    std::vector<double> t, truth, est, speed;
};

double trueSpeed(const Scenario &r, double t) {
    const double h = 1e-4;
    return (r.truth(t + h) - r.truth(t)) / h;
}

Trace simulate(const Scenario &r, TarnMotionTrack &tr, const TrackerConfig &cfg = TrackerConfig()) {
    std::mt19937 rng(r.seed);
    std::normal_distribution<double> n01(0.0, 1.0);
    Trace out;
    for (int k = 0; k < r.steps; ++k) {
        const double t = k * kDt;
        double z = r.truth(t) + r.distSd * n01(rng);
        const double zv = trueSpeed(r, t) + std::fabs(r.speedSd) * n01(rng);
        if (r.override) {
            const double o = r.override(k, z);
            if (!std::isnan(o)) z = o;
        }
        if (tr.valid != 1) {
            trackerStart(tr, cfg, t, z, r.distSd, 0.0, cfg.startSpeedSd);
        } else {
            if (r.speedSd > 0.0) trackerUpdateSpeed(tr, cfg, t, zv, r.speedSd);
            trackerUpdateDistance(tr, cfg, t, z, r.distSd);
        }
        out.t.push_back(t);
        out.truth.push_back(r.truth(t));
        out.est.push_back(tr.dist);
        out.speed.push_back(tr.speed);
    }
    return out;
}

double p90(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[(9 * v.size() + 9) / 10 - 1];
}

std::vector<double> absErrors(const Trace &tc, int from) {
    std::vector<double> e;
    for (size_t k = static_cast<size_t>(from); k < tc.t.size(); ++k)
        e.push_back(std::fabs(tc.est[k] - tc.truth[k]));
    return e;
}

}  // namespace

TEST(MotionTracker, FollowsConstantSpeedWithoutLag) {
    for (double v : {-3.0, -1.0, 0.0, 1.0, 2.0, 3.0}) {
        Scenario r;
        r.truth = [v](double t) { return 20.0 + v * t; };
        TarnMotionTrack tr{};
        const Trace tc = simulate(r, tr);
        ASSERT_EQ(tr.valid, 1);
        const std::vector<double> e = absErrors(tc, 10);
        EXPECT_LT(p90(e), 0.035) << v;
        // No lag: the signed error averages out.
        double mean = 0.0;
        for (size_t k = 10; k < tc.t.size(); ++k) mean += tc.est[k] - tc.truth[k];
        EXPECT_LT(std::fabs(mean / (tc.t.size() - 10)), 0.01) << v;
        EXPECT_NEAR(tr.speed, v, 0.05);
        EXPECT_GT(trackerSpeedSd(tr), 0.0);
        EXPECT_LT(trackerSpeedSd(tr), 0.1);
    }
}

TEST(MotionTracker, FindsTheSpeedFromDistancesAlone) {
    Scenario r;
    r.truth = [](double t) { return 3.0 + 1.5 * t; };
    r.speedSd = 0.0;  // no speed measurements
    TarnMotionTrack tr{};
    const Trace tc = simulate(r, tr);
    EXPECT_NEAR(tr.speed, 1.5, 0.15);
    EXPECT_LT(p90(absErrors(tc, 20)), 0.05);
}

TEST(MotionTracker, StepRestartsAtTheNewDistance) {
    // The target reappears 3 m further (a gap in the line of sight): the
    // first distances there are rejected, the third restarts the track.
    Scenario r;
    r.truth = [](double t) { return t < 5.0 ? 4.0 : 7.0; };
    r.speedSd = 0.0;
    TarnMotionTrack tr{};
    TrackerConfig cfg;
    tarn_test::LogCapture log(4);
    const Trace tc = simulate(r, tr, cfg);
    const int jump = 50;
    // While rejecting, the track stays where it was.
    for (int k = jump; k < jump + cfg.restartAfter - 1; ++k) EXPECT_NEAR(tc.est[k], 4.0, 0.08) << k;
    // Restarted with the last rejected distance, then followed.
    EXPECT_NEAR(tc.est[jump + cfg.restartAfter - 1], 7.0, 0.1);
    for (size_t k = jump + cfg.restartAfter + 5; k < tc.t.size(); ++k)
        EXPECT_NEAR(tc.est[k], 7.0, 0.06) << k;
    EXPECT_FALSE(log.lines().empty());
}

TEST(MotionTracker, ReversalAndStopAreNotOvershot) {
    // Out at 1 m/s, an instant turn, back; then a stop from 1 m/s.
    Scenario r;
    r.truth = [](double t) {
        if (t < 5.0) return 1.0 + t;
        if (t < 8.0) return 6.0 - (t - 5.0);
        return 3.0;
    };
    r.steps = 120;
    TarnMotionTrack tr{};
    const Trace tc = simulate(r, tr);
    double overTurn = 0.0, overStop = 0.0;
    for (size_t k = 0; k < tc.t.size(); ++k) {
        if (tc.t[k] >= 5.0 && tc.t[k] < 6.0) overTurn = std::max(overTurn, tc.est[k] - 6.0);
        if (tc.t[k] >= 8.0) overStop = std::max(overStop, 3.0 - tc.est[k]);
    }
    EXPECT_LT(overTurn, 0.10);
    EXPECT_LT(overStop, 0.10);
    EXPECT_LT(p90(absErrors(tc, 10)), 0.06);

    // Distances alone (no speed measurement) still follow the turn, later:
    // an instant turn is far beyond the acceleration the model allows.
    Scenario d = r;
    d.speedSd = 0.0;
    TarnMotionTrack tr2{};
    const Trace td = simulate(d, tr2);
    std::vector<double> e = absErrors(td, 10);
    EXPECT_LT(*std::max_element(e.begin(), e.end()), 0.6);
    EXPECT_LT(p90(e), 0.1);
    EXPECT_NEAR(tr2.dist, 3.0, 0.05);
}

TEST(MotionTracker, SingleOutlierMovesTheTrackAtMostFiveCentimetres) {
    Scenario base;
    base.truth = [](double t) { return 5.0 + 1.0 * t; };
    base.steps = 60;
    TarnMotionTrack ref{};
    const Trace clean = simulate(base, ref);
    for (double off : {-10.0, -2.0, -0.5, -0.2, -0.1, 0.1, 0.2, 0.5, 2.0, 10.0}) {
        Scenario r = base;
        r.override = [&](int k, double z) { return k == 40 ? z + off : NAN; };
        TarnMotionTrack tr{};
        const Trace tc = simulate(r, tr);
        for (size_t k = 40; k < tc.t.size(); ++k)
            EXPECT_LE(std::fabs(tc.est[k] - clean.est[k]), 0.05) << off << " at " << k;
    }
}

TEST(MotionTracker, GapsBackwardTimeAndHostileValuesReset) {
    const TrackerConfig cfg;
    auto settled = [&]() {
        TarnMotionTrack tr{};
        EXPECT_EQ(trackerStart(tr, cfg, 10.0, 5.0, 0.03, 1.0, 0.5), Outcome::Started);
        for (int k = 1; k <= 10; ++k) trackerUpdateDistance(tr, cfg, 10.0 + k * kDt, 5.0 + k * kDt, 0.03);
        EXPECT_EQ(tr.valid, 1);
        return tr;
    };
    tarn_test::LogCapture log(4);

    // Time going backwards: reset with a log line, the measurement refused.
    TarnMotionTrack tr = settled();
    log.clear();
    EXPECT_EQ(trackerUpdateDistance(tr, cfg, 10.5, 5.5, 0.03), Outcome::Refused);
    EXPECT_EQ(tr.valid, 0);
    EXPECT_FALSE(log.lines().empty());

    // A gap of minutes.
    tr = settled();
    log.clear();
    EXPECT_EQ(trackerUpdateDistance(tr, cfg, 11.0 + 180.0, 5.0, 0.03), Outcome::Refused);
    EXPECT_EQ(tr.valid, 0);
    EXPECT_FALSE(log.lines().empty());
    // Predictions alone do not keep a track alive beyond the gap either.
    tr = settled();
    for (int k = 1; k <= 40; ++k) trackerPredict(tr, cfg, 11.0 + k * kDt);
    EXPECT_EQ(tr.valid, 0);

    // A time that is not a number.
    tr = settled();
    EXPECT_FALSE(trackerPredict(tr, cfg, NAN));
    EXPECT_EQ(tr.valid, 0);

    // Measurements that are not numbers or absurd change nothing.
    tr = settled();
    const TarnMotionTrack before = tr;
    for (double z : {double(NAN), double(INFINITY), -double(INFINITY), 1e9, -1e9})
        EXPECT_EQ(trackerUpdateDistance(tr, cfg, 11.1, z, 0.03), Outcome::Refused) << z;
    for (double sd : {double(NAN), 0.0, -1.0, double(INFINITY)})
        EXPECT_EQ(trackerUpdateDistance(tr, cfg, 11.1, 6.1, sd), Outcome::Refused) << sd;
    for (double v : {double(NAN), double(INFINITY), 50.0, -340.0})
        EXPECT_EQ(trackerUpdateSpeed(tr, cfg, 11.1, v, 0.05), Outcome::Refused) << v;
    EXPECT_EQ(std::memcmp(&before, &tr, sizeof tr), 0);
    EXPECT_EQ(trackerUpdateDistance(tr, cfg, 11.1, 6.1, 0.03), Outcome::Accepted);

    // A state that went bad (memory written by someone else) resets.
    tr = settled();
    tr.speed = NAN;
    log.clear();
    EXPECT_FALSE(trackerPredict(tr, cfg, 11.2));
    EXPECT_EQ(tr.valid, 0);
    EXPECT_FALSE(log.lines().empty());
    tr = settled();
    tr.speed = 500.0;
    EXPECT_FALSE(trackerPredict(tr, cfg, 11.2));
    EXPECT_EQ(tr.valid, 0);

    // Starting needs sane values.
    TarnMotionTrack fresh{};
    EXPECT_EQ(trackerStart(fresh, cfg, NAN, 1.0, 0.1, 0.0, 1.0), Outcome::Refused);
    EXPECT_EQ(trackerStart(fresh, cfg, 0.0, NAN, 0.1, 0.0, 1.0), Outcome::Refused);
    EXPECT_EQ(trackerStart(fresh, cfg, 0.0, 1.0, 0.1, 99.0, 1.0), Outcome::Refused);
    EXPECT_EQ(trackerStart(fresh, cfg, 0.0, 1.0, 0.0, 0.0, 1.0), Outcome::Refused);
    EXPECT_EQ(fresh.valid, 0);
    // Without a track nothing updates.
    EXPECT_EQ(trackerUpdateDistance(fresh, cfg, 0.0, 1.0, 0.1), Outcome::Refused);
    EXPECT_EQ(trackerUpdateSpeed(fresh, cfg, 0.0, 1.0, 0.1), Outcome::Refused);
    EXPECT_EQ(fresh.valid, 0);
}

TEST(MotionTracker, SpeedOutsideTheGate) {
    const TrackerConfig cfg;
    TarnMotionTrack tr{};
    trackerStart(tr, cfg, 0.0, 5.0, 0.03, 1.0, 0.05);
    for (int k = 1; k <= 20; ++k) {
        trackerUpdateSpeed(tr, cfg, k * kDt, 1.0, 0.03);
        trackerUpdateDistance(tr, cfg, k * kDt, 5.0 + k * kDt, 0.03);
    }
    // A sure measurement of a turn re-seats the speed and widens the distance.
    TarnMotionTrack turned = tr;
    const double pdd = turned.pDD;
    EXPECT_EQ(trackerUpdateSpeed(turned, cfg, 2.1, -1.0, 0.05), Outcome::Reseated);
    EXPECT_DOUBLE_EQ(turned.speed, -1.0);
    EXPECT_GT(turned.pDD, pdd);
    // An unsure one far outside is rejected and changes nothing; a very
    // unsure one counts only clipped.
    TarnMotionTrack kept = tr;
    EXPECT_EQ(trackerUpdateSpeed(kept, cfg, 2.1, -2.0, cfg.reseatMaxSd + 0.1), Outcome::Rejected);
    EXPECT_NEAR(kept.speed, 1.0, 0.05);
    EXPECT_EQ(trackerUpdateSpeed(kept, cfg, 2.1, -1.0, 0.5), Outcome::Clipped);
    EXPECT_GT(kept.speed, 0.5);
    // Within the gate it is taken.
    EXPECT_EQ(trackerUpdateSpeed(tr, cfg, 2.1, 1.02, 0.03), Outcome::Accepted);
}

TEST(MotionTracker, PeekDoesNotChangeTheTrack) {
    const TrackerConfig cfg;
    TarnMotionTrack tr{};
    trackerStart(tr, cfg, 1.0, 2.0, 0.05, 1.5, 0.1);
    const TarnMotionTrack before = tr;
    double d, v, pdd, pvv;
    trackerPeek(tr, cfg, 1.2, &d, &v, &pdd, &pvv);
    EXPECT_NEAR(d, 2.3, 1e-12);
    EXPECT_DOUBLE_EQ(v, 1.5);
    EXPECT_GT(pdd, 0.05 * 0.05);
    EXPECT_GT(pvv, 0.1 * 0.1);
    EXPECT_EQ(std::memcmp(&before, &tr, sizeof tr), 0);
    // Backwards or beyond the gap: the track's own values.
    trackerPeek(tr, cfg, 0.5, &d, &v, nullptr, nullptr);
    EXPECT_DOUBLE_EQ(d, 2.0);
    trackerPeek(tr, cfg, 100.0, &d, nullptr, nullptr, nullptr);
    EXPECT_DOUBLE_EQ(d, 2.0);
    TarnMotionTrack none{};
    EXPECT_EQ(trackerDistSd(none), 0.0);
    EXPECT_EQ(trackerSpeedSd(none), 0.0);
    trackerReset(tr, nullptr);
    EXPECT_EQ(tr.valid, 0);
}
