// Two-state motion tracker: constant-speed Kalman filter with gating.
#include "track/motion_tracker.h"

#include <cmath>
#include <cstring>

#include "tarn_diag.h"

namespace tarn_track {

namespace {

bool finite(double v) {
    return std::isfinite(v);
}

bool usableSd(double sd) {
    return finite(sd) && sd > 0.0 && sd < 1e6;
}

bool stateSane(const TarnMotionTrack &tr, const TrackerConfig &cfg) {
    return finite(tr.time) && finite(tr.dist) && finite(tr.speed) && finite(tr.pDD) &&
           finite(tr.pDV) && finite(tr.pVV) && finite(tr.lastUpdate) && tr.pDD > 0.0 && tr.pVV > 0.0 &&
           tr.dist >= cfg.minDistM - 10.0 && tr.dist <= cfg.maxDistM + 10.0 &&
           std::fabs(tr.speed) <= 2.0 * cfg.maxSpeedMps;
}

struct Predicted {
    double d, v, pdd, pdv, pvv;
};

// Constant-speed model over dt, white acceleration of sd maxAccel / 2.
Predicted predictOver(const TarnMotionTrack &tr, const TrackerConfig &cfg, double dt) {
    const double sa = 0.5 * cfg.maxAccelMps2;
    const double q = sa * sa;
    const double dt2 = dt * dt;
    Predicted p;
    p.d = tr.dist + tr.speed * dt;
    p.v = tr.speed;
    p.pdd = tr.pDD + 2.0 * dt * tr.pDV + dt2 * tr.pVV + q * dt2 * dt2 * 0.25;
    p.pdv = tr.pDV + dt * tr.pVV + q * dt2 * dt * 0.5;
    p.pvv = tr.pVV + q * dt2;
    return p;
}

// Scalar measurement of H x with H = (hd, hv): innovation y, variance R.
// Returns the outcome; the state is updated unless rejected.
Outcome scalarUpdate(TarnMotionTrack &tr, const TrackerConfig &cfg, double hd, double hv, double y,
                     double r) {
    const double phd = tr.pDD * hd + tr.pDV * hv;  // P H'
    const double phv = tr.pDV * hd + tr.pVV * hv;
    const double s = hd * phd + hv * phv + r;
    if (!(s > 0.0) || !finite(s)) return Outcome::Refused;
    const double sq = std::sqrt(s);
    if (std::fabs(y) > cfg.gateSigma * sq) return Outcome::Rejected;
    Outcome out = Outcome::Accepted;
    if (std::fabs(y) > cfg.clipSigma * sq) {
        y = std::copysign(cfg.clipSigma * sq, y);
        out = Outcome::Clipped;
    }
    const double kd = phd / s;
    const double kv = phv / s;
    tr.dist += kd * y;
    tr.speed += kv * y;
    // P - K S K' (symmetric form).
    tr.pDD -= kd * kd * s;
    tr.pDV -= kd * kv * s;
    tr.pVV -= kv * kv * s;
    // Round-off must never leave a non-positive variance behind.
    const double floorVar = 1e-10;
    if (tr.pDD < floorVar) tr.pDD = floorVar;
    if (tr.pVV < floorVar) tr.pVV = floorVar;
    const double lim = std::sqrt(tr.pDD * tr.pVV);
    if (tr.pDV > lim) tr.pDV = lim;
    if (tr.pDV < -lim) tr.pDV = -lim;
    return out;
}

void logState(const char *what, const TarnMotionTrack &tr) {
    DEBUG_LOG(2, "motion track %s: t %lf dist %lf speed %lf sd %lf / %lf\n", what, tr.time, tr.dist,
              tr.speed, tr.pDD > 0.0 ? std::sqrt(tr.pDD) : 0.0,
              tr.pVV > 0.0 ? std::sqrt(tr.pVV) : 0.0);
}

}  // namespace

void trackerReset(TarnMotionTrack &tr, const char *why) {
    if (why != nullptr)
        DEBUG_LOG(1, "Motion track reset (%s): t %lf dist %lf speed %lf\n", why, tr.time, tr.dist,
                  tr.speed);
    std::memset(&tr, 0, sizeof tr);
}

Outcome trackerStart(TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double z, double sd,
                     double v0, double v0Sd) {
    if (!finite(t) || !finite(z) || !usableSd(sd) || !finite(v0) || !usableSd(v0Sd) ||
        z < cfg.minDistM || z > cfg.maxDistM || std::fabs(v0) > cfg.maxSpeedMps)
        return Outcome::Refused;
    std::memset(&tr, 0, sizeof tr);
    tr.valid = 1;
    tr.time = t;
    tr.dist = z;
    tr.speed = v0;
    const double sd0 = std::fmax(sd, cfg.startDistSd);
    tr.pDD = sd0 * sd0;
    tr.pDV = 0.0;
    tr.pVV = v0Sd * v0Sd;
    tr.updates = 1;
    tr.lastUpdate = t;
    logState("start", tr);
    return Outcome::Started;
}

bool trackerPredict(TarnMotionTrack &tr, const TrackerConfig &cfg, double t) {
    if (tr.valid != 1) return false;
    if (!stateSane(tr, cfg)) {
        trackerReset(tr, "state not finite or absurd");
        return false;
    }
    if (!finite(t)) {
        trackerReset(tr, "time not finite");
        return false;
    }
    const double dt = t - tr.time;
    if (dt < 0.0) {
        trackerReset(tr, "time went backwards");
        return false;
    }
    if (dt > cfg.maxGapS || t - tr.lastUpdate > cfg.maxGapS) {
        trackerReset(tr, "no distance for too long");
        return false;
    }
    if (dt == 0.0) return true;
    const Predicted p = predictOver(tr, cfg, dt);
    tr.dist = p.d;
    tr.speed = p.v;
    tr.pDD = p.pdd;
    tr.pDV = p.pdv;
    tr.pVV = p.pvv;
    tr.time = t;
    if (!stateSane(tr, cfg)) {
        trackerReset(tr, "prediction left the plausible range");
        return false;
    }
    return true;
}

Outcome trackerUpdateDistance(TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double z,
                              double sd, bool allowRestart) {
    if (!finite(z) || !usableSd(sd) || z < cfg.minDistM || z > cfg.maxDistM || !finite(t))
        return Outcome::Refused;
    if (!trackerPredict(tr, cfg, t)) return Outcome::Refused;
    const Outcome out = scalarUpdate(tr, cfg, 1.0, 0.0, z - tr.dist, sd * sd);
    if (out == Outcome::Rejected) {
        // Consecutive rejections that agree with each other mean the target
        // is elsewhere (or the track went wrong): restart there.
        // Agreeing: where the previous rejected one would have moved to at
        // the track's speed, within restartAgreeM and twice their spread.
        const double since = t - tr.missTime;
        const bool agrees = tr.misses > 0 && since >= 0.0 && since <= cfg.maxGapS &&
                            std::fabs(z - tr.missDist - tr.speed * since) <=
                                cfg.restartAgreeM + 2.0 * sd;
        tr.misses = static_cast<uint8_t>(agrees ? (tr.misses < 255 ? tr.misses + 1 : 255) : 1);
        tr.missDist = z;
        tr.missTime = t;
        DEBUG_LOG(2, "motion track: distance %lf rejected (track %lf, %d in a row)\n", z, tr.dist,
                  tr.misses);
        if (allowRestart && cfg.restartAfter > 0 && tr.misses >= cfg.restartAfter) {
            // The target jumped (or the track went wrong), its speed need
            // not have changed: the new track keeps it, unsure.
            const double v0 = std::fabs(tr.speed) <= cfg.maxSpeedMps ? tr.speed : 0.0;
            DEBUG_LOG(1, "Motion track restarted at %lf m after %d rejected distances (was %lf)\n",
                      z, tr.misses, tr.dist);
            return trackerStart(tr, cfg, t, z, sd, v0, cfg.startSpeedSd);
        }
        return out;
    }
    if (out != Outcome::Refused) {
        tr.misses = 0;
        tr.lastUpdate = t;
        if (tr.updates < UINT16_MAX) ++tr.updates;
    }
    return out;
}

Outcome trackerUpdateSpeed(TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double zv,
                           double sd) {
    if (!finite(zv) || !usableSd(sd) || std::fabs(zv) > cfg.maxSpeedMps || !finite(t))
        return Outcome::Refused;
    if (!trackerPredict(tr, cfg, t)) return Outcome::Refused;
    const Outcome out = scalarUpdate(tr, cfg, 0.0, 1.0, zv - tr.speed, sd * sd);
    if (out != Outcome::Rejected) {
        tr.speedMisses = 0;
        return out;
    }
    const bool agrees = tr.speedMisses > 0 && std::fabs(zv - tr.missSpeed) <= cfg.speedAgreeMps;
    tr.speedMisses = static_cast<uint8_t>(agrees ? (tr.speedMisses < 255 ? tr.speedMisses + 1 : 255) : 1);
    tr.missSpeed = zv;
    if (!(sd <= cfg.reseatMaxSd) && !(cfg.reseatAfter > 0 && tr.speedMisses >= cfg.reseatAfter))
        return out;
    tr.speedMisses = 0;
    // A turn or a stop within the last interval: the speed is the measured
    // one, and the distance lies anywhere the turn can have put it.
    const double dv = zv - tr.speed;
    double since = t - tr.lastUpdate;
    if (!(since > 0.0)) since = 0.0;
    if (since > cfg.maxGapS) since = cfg.maxGapS;
    DEBUG_LOG(2, "motion track: speed re-seated from %lf to %lf m/s\n", tr.speed, zv);
    tr.speed = zv;
    tr.pVV = 4.0 * sd * sd;
    tr.pDV = 0.0;
    tr.pDD += dv * dv * since * since / 3.0;
    return Outcome::Reseated;
}

double trackerDistSd(const TarnMotionTrack &tr) {
    return tr.valid == 1 && tr.pDD > 0.0 ? std::sqrt(tr.pDD) : 0.0;
}

double trackerSpeedSd(const TarnMotionTrack &tr) {
    return tr.valid == 1 && tr.pVV > 0.0 ? std::sqrt(tr.pVV) : 0.0;
}

void trackerPeek(const TarnMotionTrack &tr, const TrackerConfig &cfg, double t, double *dist,
                 double *speed, double *distVar, double *speedVar) {
    Predicted p{tr.dist, tr.speed, tr.pDD, tr.pDV, tr.pVV};
    const double dt = t - tr.time;
    if (tr.valid == 1 && finite(dt) && dt > 0.0 && dt <= cfg.maxGapS) p = predictOver(tr, cfg, dt);
    if (dist != nullptr) *dist = p.d;
    if (speed != nullptr) *speed = p.v;
    if (distVar != nullptr) *distVar = p.pdd;
    if (speedVar != nullptr) *speedVar = p.pvv;
}

}  // namespace tarn_track
