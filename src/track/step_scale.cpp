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

double stepScaleUpperLimit(const TarnStepScale &s, const StepScaleConfig &cfg) {
    return s.bound > 0.0 && s.bound < cfg.maxScale ? std::fmax(s.bound, cfg.minScale)
                                                   : cfg.maxScale;
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

bool stepScaleEvidence(TarnStepScale &s, const StepScaleConfig &cfg, double k, double sdK) {
    if (!std::isfinite(k) || !std::isfinite(sdK) || !(sdK > 0.0) || sdK > cfg.maxEvidenceSd)
        return false;
    // A wild one (a missed speed) must not steer the round: its k is held
    // within the plausible range.
    const double scale = stepScaleValue(s);
    k = clampTo(k, std::fmax(cfg.minScale / scale, 1.0 / cfg.maxStep),
                std::fmin(stepScaleUpperLimit(s, cfg) / scale, cfg.maxStep));
    const double w = 1.0 / (sdK * sdK);
    s.sumXY += w * (k - 1.0);
    s.sumYY += w;
    if (s.samples < UINT16_MAX) ++s.samples;
    const double sdRound = 1.0 / std::sqrt(s.sumYY);
    const bool enough = s.samples >= cfg.minSamples && sdRound <= cfg.closeSd;
    const bool last = s.samples >= cfg.maxSamples;
    if (!enough && !last) return false;
    if (!enough && sdRound > cfg.looseSd) {
        clearRound(s);  // a round without information
        return false;
    }
    const double kr = clampTo(1.0 + s.sumXY / s.sumYY, 1.0 / cfg.maxStep, cfg.maxStep);
    s.scale = clampTo(scale * kr, cfg.minScale, stepScaleUpperLimit(s, cfg));
    s.known = std::fabs(kr - 1.0) <= std::fmax(cfg.confirmTol, 2.0 * sdRound) ? 1 : 0;
    if (s.rounds < 255) ++s.rounds;
    DEBUG_LOG(2, "motion: step scale %lf -> %lf (round %d, k %lf sd %lf, known %d)\n", scale,
              s.scale, s.rounds, kr, sdRound, s.known);
    clearRound(s);
    return true;
}

bool stepScaleObserve(TarnStepScale &s, const StepScaleConfig &cfg, double u, double uSd, double v,
                      double vSd, double g) {
    if (!std::isfinite(u) || !std::isfinite(v) || !std::isfinite(uSd) || !std::isfinite(vSd) ||
        !std::isfinite(g) || uSd < 0.0 || vSd < 0.0 || !(g > 0.0) || g > 1.0)
        return false;
    if (std::fabs(v) < cfg.minMoveM || std::fabs(v) < cfg.moveSigma * vSd) return false;
    // u - v = g v (k - 1).
    const double y = g * v;
    return stepScaleEvidence(s, cfg, 1.0 + (u - v) / y,
                             std::sqrt(uSd * uSd + vSd * vSd) / std::fabs(y));
}

bool stepScaleNote(TarnStepScale &s, const StepScaleConfig &cfg, double t, double dist,
                   double distSd, bool measured, double u, double uSd, double g) {
    const bool usable =
        std::isfinite(t) && std::isfinite(dist) && std::isfinite(distSd) && distSd >= 0.0;
    const bool continues = s.segOpen == 1 && usable && measured && std::isfinite(u) &&
                           std::isfinite(uSd) && std::isfinite(g) && t > s.segLastTime &&
                           t - s.segLastTime <= cfg.maxGapS;
    bool closed = false;
    if (continues) {
        const double dt = t - s.segLastTime;
        s.segMoved += u * dt;
        s.segMovedVar += uSd * uSd * dt * dt;
        s.segSens += g;
        if (s.segCount < UINT16_MAX) ++s.segCount;
        s.segLastTime = t;
        if (t - s.segTime < cfg.segmentS) return false;
        const double moved = dist - s.segDist;
        closed = stepScaleObserve(s, cfg, s.segMoved, std::sqrt(s.segMovedVar), moved,
                                  std::sqrt(2.0) * distSd, s.segSens / s.segCount);
    }
    // A new segment from here (also after a gap, a procedure without a
    // speed, or a segment just closed).
    s.segOpen = usable ? 1 : 0;
    s.segCount = 0;
    s.segTime = t;
    s.segLastTime = t;
    s.segDist = dist;
    s.segMoved = 0.0;
    s.segMovedVar = 0.0;
    s.segSens = 0.0;
    return closed;
}

void stepScaleBound(TarnStepScale &s, const StepScaleConfig &cfg, double bound) {
    s.bound = std::isfinite(bound) && bound > 0.0 ? bound : 0.0;
    const double now = stepScaleValue(s);
    const double lim = stepScaleUpperLimit(s, cfg);
    if (now > lim) {
        s.scale = lim;
        s.known = 0;
        clearRound(s);
    }
}

}  // namespace tarn_track
