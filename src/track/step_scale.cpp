// The link's step duration learned from its own procedures (see step_scale.h).
#include "track/step_scale.h"

#include <cmath>
#include <cstring>

#include "tarn_diag.h"

namespace tarn_track {

namespace {

double clampTo(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

double upperLimit(const TarnStepScale &s, const StepScaleConfig &cfg) {
    return s.bound > 0.0 && s.bound < cfg.maxScale ? std::fmax(s.bound, cfg.minScale) : cfg.maxScale;
}

void clearRound(TarnStepScale &s) {
    s.samples = 0;
    s.sumXY = 0.0;
    s.sumYY = 0.0;
}

}  // namespace

const StepScaleConfig &stepScaleDefaults() {
    static const StepScaleConfig cfg;
    return cfg;
}

double stepScaleValue(const TarnStepScale &s) {
    return std::isfinite(s.scale) && s.scale > 0.0 ? s.scale : 1.0;
}

void stepScaleReset(TarnStepScale &s) {
    std::memset(&s, 0, sizeof s);
    s.scale = 1.0;
}

double stepScaleSensitivity(const double *timeS, const double *withinS, int n) {
    if (n < 2) return 0.0;
    double mt = 0.0, mw = 0.0;
    for (int k = 0; k < n; ++k) {
        mt += timeS[k];
        mw += withinS[k];
    }
    mt /= n;
    mw /= n;
    double ctw = 0.0, ctt = 0.0;
    for (int k = 0; k < n; ++k) {
        ctw += (timeS[k] - mt) * (withinS[k] - mw);
        ctt += (timeS[k] - mt) * (timeS[k] - mt);
    }
    if (!(ctt > 0.0) || !std::isfinite(ctw / ctt)) return 0.0;
    return clampTo(ctw / ctt, 0.0, 1.0);
}

double stepScaleExpectedSpeed(const TarnStepScale &s, double v, double g) {
    if (!(s.sumYY > 0.0) || s.samples == 0) return v;
    const double k = clampTo(1.0 + s.sumXY / s.sumYY, 0.5, 2.0);
    return v * (1.0 + g * (k - 1.0));
}

bool stepScaleObserve(TarnStepScale &s, const StepScaleConfig &cfg, double u, double uSd, double v,
                      double vSd, double g) {
    if (!std::isfinite(u) || !std::isfinite(v) || !std::isfinite(uSd) || !std::isfinite(vSd) ||
        !std::isfinite(g) || uSd <= 0.0 || vSd < 0.0 || g < 0.1 || g > 1.0)
        return false;
    if (std::fabs(v) < cfg.minSpeedMps || std::fabs(v) < cfg.speedSigma * vSd) return false;
    // One observation says k - 1 = x / y; a wild one (a missed speed) must
    // not steer the round: its k is held within the plausible range.
    const double y = g * v;
    double x = u - v;
    const double kLo = cfg.minScale / stepScaleValue(s), kHi = cfg.maxScale / stepScaleValue(s);
    const double ki = clampTo(1.0 + x / y, std::fmax(kLo, 1.0 / (2.0 * cfg.maxStep)),
                              std::fmin(kHi, 2.0 * cfg.maxStep));
    x = (ki - 1.0) * y;
    const double w = 1.0 / (uSd * uSd + vSd * vSd);
    s.sumXY += w * x * y;
    s.sumYY += w * y * y;
    if (s.samples < UINT16_MAX) ++s.samples;
    const double sdK = 1.0 / std::sqrt(s.sumYY);
    const bool enough = s.samples >= cfg.minSamples && sdK <= cfg.closeSd;
    const bool last = s.samples >= cfg.maxSamples;
    if (!enough && !last) return false;
    if (!enough && sdK > cfg.looseSd) {
        clearRound(s);  // a round without information
        return false;
    }
    const double k = clampTo(1.0 + s.sumXY / s.sumYY, 1.0 / cfg.maxStep, cfg.maxStep);
    const double before = stepScaleValue(s);
    s.scale = clampTo(before * k, cfg.minScale, upperLimit(s, cfg));
    s.known = std::fabs(k - 1.0) <= std::fmax(cfg.confirmTol, 2.0 * sdK) ? 1 : 0;
    if (s.rounds < 255) ++s.rounds;
    DEBUG_LOG(2, "motion: step scale %lf -> %lf (round %d, k %lf sd %lf, known %d)\n", before,
              s.scale, s.rounds, k, sdK, s.known);
    clearRound(s);
    return true;
}

void stepScaleBound(TarnStepScale &s, const StepScaleConfig &cfg, double bound) {
    s.bound = std::isfinite(bound) && bound > 0.0 ? bound : 0.0;
    const double now = stepScaleValue(s);
    const double lim = upperLimit(s, cfg);
    if (now > lim) {
        s.scale = lim;
        s.known = 0;
        clearRound(s);
    }
}

}  // namespace tarn_track
