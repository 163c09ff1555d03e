// The learner of a link's step duration alone, on synthetic sequences.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "log_capture.h"
#include "track/step_scale.h"

using namespace tarn_track;

namespace {

TarnStepScale fresh() {
    TarnStepScale s;
    stepScaleReset(s);
    return s;
}

}  // namespace

// Sensitivity of the measured speed to the scale: the share of the tones'
// time spread within their subevents (cov(t, w) / var(t)).
TEST(StepScale, SensitivityOfLayouts) {
    // One subevent: every bit of the spread is within it.
    const double t1[] = {0.0, 1e-3, 2e-3, 3e-3};
    EXPECT_DOUBLE_EQ(stepScaleSensitivity(t1, t1, 4), 1.0);
    // Two subevents 10 ms apart, two tones each 1 ms apart: var(t) = 25.25e-6,
    // cov(t, w) = var(w) = 0.25e-6.
    const double t2[] = {0.0, 1e-3, 10e-3, 11e-3};
    const double w2[] = {0.0, 1e-3, 0.0, 1e-3};
    EXPECT_NEAR(stepScaleSensitivity(t2, w2, 4), 0.25 / 25.25, 1e-12);
    // No spread, or too few tones: no sensitivity.
    const double same[] = {5e-3, 5e-3, 5e-3};
    EXPECT_EQ(stepScaleSensitivity(same, same, 3), 0.0);
    EXPECT_EQ(stepScaleSensitivity(t1, t1, 1), 0.0);
}

// Per-procedure factors around the truth over a sequence: the scale converges
// to true step / nominal step within two rounds and is then confirmed;
// rounds rescale relative to the scale in use, so the evidence each
// procedure gives is the remaining factor.
TEST(StepScale, LearnsFromNoisyFactors) {
    tarn_test::LogCapture quiet(-1);
    const StepScaleConfig &cfg = stepScaleDefaults();
    for (double truth : {0.57, 1.0, 1.87, 3.97}) {
        TarnStepScale s = fresh();
        std::mt19937 rng(7);
        std::normal_distribution<double> noise(0.0, 0.08);
        int procedures = 0;
        while (s.known != 1 && procedures < 200) {
            const double k = truth / stepScaleValue(s) * (1.0 + noise(rng));
            stepScaleEvidence(s, cfg, k, 0.15);
            ++procedures;
        }
        EXPECT_EQ(s.known, 1) << truth;
        EXPECT_NEAR(stepScaleValue(s), truth, 0.05 * truth) << truth;
        EXPECT_LE(procedures, 60) << truth;
        EXPECT_LE(s.rounds, 4) << truth;
    }
}

// Segments of the track where the speed carries the scale (g = 1: one
// subevent): u = v k, learned from displacements alone.
TEST(StepScale, LearnsFromSegmentsOfTheTrack) {
    tarn_test::LogCapture quiet(-1);
    const StepScaleConfig &cfg = stepScaleDefaults();
    TarnStepScale s = fresh();
    const double truth = 1.6, v = 1.2;
    double t = 0.0;
    for (int i = 0; i < 400 && s.known != 1; ++i, t += 0.1) {
        const double u = v * truth / stepScaleValue(s);
        stepScaleNote(s, cfg, t, 0.5 + v * t, 0.02, true, u, 0.05, 1.0);
    }
    EXPECT_EQ(s.known, 1);
    EXPECT_NEAR(stepScaleValue(s), truth, 0.05);
}

// Nothing to learn from: a still track, wild or non-finite input, and the
// bound the time stamps set, which also clips the scale in use at once.
TEST(StepScale, RefusesAndBounds) {
    tarn_test::LogCapture quiet(-1);
    const StepScaleConfig &cfg = stepScaleDefaults();
    TarnStepScale s = fresh();
    for (int i = 0; i < 100; ++i) stepScaleNote(s, cfg, i * 0.1, 2.0, 0.02, true, 0.0, 0.05, 1.0);
    EXPECT_EQ(s.rounds, 0);
    EXPECT_FALSE(stepScaleEvidence(s, cfg, NAN, 0.1));
    EXPECT_FALSE(stepScaleEvidence(s, cfg, 2.0, 0.0));
    EXPECT_FALSE(stepScaleEvidence(s, cfg, 2.0, 5.0));  // says nothing
    EXPECT_EQ(s.samples, 0);
    // A factor of 100 counts as the largest step a round may take.
    for (int i = 0; i < 40 && s.rounds == 0; ++i) stepScaleEvidence(s, cfg, 100.0, 0.1);
    EXPECT_DOUBLE_EQ(stepScaleValue(s), cfg.maxStep);
    stepScaleBound(s, cfg, 1.5);
    EXPECT_DOUBLE_EQ(stepScaleValue(s), 1.5);
    EXPECT_EQ(s.known, 0);
    // A zero-filled record reads as the nominal step.
    TarnStepScale z{};
    EXPECT_EQ(stepScaleValue(z), 1.0);
}
