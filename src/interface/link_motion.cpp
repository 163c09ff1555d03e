// The moving-target mode of a link (see link_motion.h): step times at intake,
// the mode-1 computation (option profile, within-procedure compensation, the
// link's tracker and the tracked candidates) and the extension that switches
// it on.
#include "interface/link_motion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "estimators/distance.h"
#include "estimators/estimators_internal.h"
#include "interface/interface_internal.h"
#include "interface/link_state.h"
#include "interface/step_timing.h"
#include "tarn_diag.h"
#include "track/step_scale.h"

namespace tarn_link {

namespace {

constexpr int kMaxSubevents = 32;
constexpr double kNoPreviousTime = TARN_NO_PREVIOUS_TIME;

// Standard deviation of a phase candidate by its confidence: 4 cm when the
// pipeline is sure, growing as the confidence falls.
double phaseSd(double conf) {
    const double c = conf < 10.0 ? 10.0 : (conf > 80.0 ? 80.0 : conf);
    return 0.04 * 80.0 / c;
}
// The speed a procedure's tones gave is the one that lines them up on the
// step times assumed; as a measure of the target's speed it is off by as
// much as those times are: a little with subevent time stamps (the step
// duration within a subevent is nominal), more with nominal times only
// (the gaps between subevents unknown).
double speedSd(const TarnLinkMotion &m, double v, double searchSd) {
    // Composed from the link's own timing, step times are as good as the
    // time stamps between subevents; timed by a learned duration nearly so.
    if (m.lastTimingOrigin == TARN_TIMING_GIVEN) return searchSd + 0.01 * std::fabs(v);
    if (m.stepScale.known == 1) return searchSd + 0.03 * std::fabs(v);
    const double rel = m.timingSource == 2 ? 0.03 : 0.15;
    const double abs = m.timingSource == 2 ? 0.0 : 0.05;
    return searchSd + rel * std::fabs(v) + abs;
}
// At most this share of the tones' time spread within subevents: the
// subevents' time stamps pin the measured speed, and the tones tell the step
// duration (see step_scale.h).
constexpr double kPinnedSensitivity = 0.3;
// A known step duration is checked on every this many procedures.
constexpr int kScaleCheckEvery = 8;
// Spread of one procedure's step-duration factor at 1 m/s (scales as 1/v).
constexpr double kScaleEvidenceSd = 0.15;
// Largest difference between the speed the tones gave and the track's speed
// (beyond three of its standard deviations) at which the step-duration
// factor the tones gave counts.
constexpr double kScaleAgreeMps = 0.3;
// A procedure whose tones move slower than this (m/s) stands still; after
// kStillAfter such procedures in a row the link computes the phase distance
// with the options in force (the default tracking's filters) and delivers
// it while the target stays (a target at rest gains nothing from a motion
// model, and would lose the filters' averaging).
constexpr double kStillMps = 0.12;
constexpr int kStillAfter = 3;
// Procedures in a row that move before a still target counts as moving.
constexpr int kMovingAfter = 2;
// Round trips in a row beyond kRttAgreeM from a still target that end its stop.
constexpr int kStillRttMisses = 3;
// Speed uncertainty of a track started without a speed it may trust (m/s):
// a target may already walk fast, and a track sure of rest would lag it.
constexpr double kUnknownSpeedSd = 3.0;
// A round-trip distance: ToA_ToD jitter and multipath bias (metres).
constexpr double kRttSd = 1.0;
// The round trip vetoes a phase distance that would start or restart the
// track this far from it (metres): a spurious short MUSIC root, held for a
// few procedures, must not become the track.
constexpr double kRttAgreeM = 3.0;
// Smoothing of the round trip's offset from the track (per procedure).
constexpr double kRttOffsetGain = 0.2;
constexpr double kRttOffsetClipM = 1.5;
// Smoothing of the link's usual sharpness (per procedure).
constexpr double kSharpGain = 0.2;

bool finite(double v) {
    return std::isfinite(v);
}

// The phase candidates' spread (metres): from the latest changes from one
// candidate to the next less the track's motion in between, 1.48 x their
// median absolute value / sqrt 2; 0 with fewer than 5. Unlike innovations,
// the changes do not grow when the track itself is off.
constexpr double kDiffCapM = 2.0;
double phaseSpread(const TarnLinkMotion &m) {
    const int n = m.phaseDiffCount > 16 ? 16 : m.phaseDiffCount;
    if (n < 5) return 0.0;
    float v[16];
    for (int i = 0; i < n; ++i) v[i] = std::fabs(m.phaseDiff[i]);
    std::nth_element(v, v + n / 2, v + n);
    return 1.4826 * v[n / 2] / std::sqrt(2.0);
}
void notePhaseCandidate(TarnLinkMotion &m, double z, double t, double speed) {
    const double dt = t - m.prevPhaseTime;
    if (finite(m.prevPhaseM) && dt > 0.0 && dt <= 0.5 && finite(speed)) {
        double d = z - m.prevPhaseM - speed * dt;
        if (d > kDiffCapM) d = kDiffCapM;
        if (d < -kDiffCapM) d = -kDiffCapM;
        m.phaseDiff[m.phaseDiffNext % 16] = static_cast<float>(d);
        m.phaseDiffNext = static_cast<uint8_t>((m.phaseDiffNext + 1) % 16);
        if (m.phaseDiffCount < 16) ++m.phaseDiffCount;
    }
    m.prevPhaseM = z;
    m.prevPhaseTime = t;
}

int8_t confByte(double c) {
    if (!finite(c)) return -1;
    const double r = c < -1.0 ? -1.0 : (c > 100.0 ? 100.0 : c);
    return static_cast<int8_t>(static_cast<int>(r));
}

// A change of mode restarts the link's tracking: the mode-0 filters as for
// a new link (no previous phase or round-trip estimate, no window slot), and
// the motion tracker.
void restartTracking(CsContextItem &item, TarnLinkState &state) {
    TarnLinkMotion &m = state.motion;
    CsContext *ctx = item.ctx;
    if (ctx != nullptr && ctx->pres != nullptr) {
        PresState &pres = *ctx->pres;
        pres.time = kNoPreviousTime;
        pres.valid = 0;
        pres.inValidCounter = 0;
        pres.rttTime = kNoPreviousTime;
    }
    for (int i = 0; i < TARN_MAX_WINDOW_SLOTS; ++i) {
        state.filters.rtpWin[i].valid = 0;
        state.filters.rttWin[i].valid = 0;
    }
    state.filters.iirEst.valid = 0;
    state.filters.rttOut.valid = 0;
    tarn_track::trackerReset(m.track, nullptr);
    m.rttOffsetValid = 0;
    m.sharpRef = 0.0;
    m.phaseDiffCount = 0;
    m.phaseDiffNext = 0;
    m.prevPhaseM = NAN;
    m.lastPhaseM = NAN;
    m.lastConf = tarn_common::kNoConfidence;
    m.stillCount = 0;
    m.movingCount = 0;
    m.stillActive = 0;
}

}  // namespace

const tarn_track::TrackerConfig &motionTrackerConfig() {
    static const tarn_track::TrackerConfig cfg;
    return cfg;
}

// ---- Step times at intake --------------------------------------------------------

void motionNoteProcedure(TarnLinkMotion &m, const CsProcedure *proc, int stored) {
    m.timingCount = 0;
    m.timingSource = 0;
    m.subeventCount = 0;
    if (stored != 1 || proc == nullptr || proc->initSubevents == nullptr ||
        proc->reflSubevents == nullptr || proc->numInitSubevents < 1)
        return;
    const int numInit =
        proc->numInitSubevents > kMaxSubevents ? kMaxSubevents : proc->numInitSubevents;
    const int numRefl =
        proc->numReflSubevents > kMaxSubevents ? kMaxSubevents : proc->numReflSubevents;
    // The subevents the intake admitted (csGenerateValidSubeventMap's rule,
    // without its log lines) that hold steps.
    int admitted[kMaxSubevents];
    int count = 0;
    for (int k = 0; k < numInit && k < numRefl; ++k) {
        const CsSubevent &si = proc->initSubevents[k];
        const CsSubevent &sr = proc->reflSubevents[k];
        if (si.aborted != 0 || sr.aborted != 0) continue;
        if (sr.numSteps != static_cast<int64_t>(static_cast<int32_t>(si.numSteps))) continue;
        if (si.steps == nullptr || si.numSteps < 1) continue;
        admitted[count++] = k;
    }
    const int64_t t0 = proc->initSubevents[0].timestampNs;
    // A subevent's own time stamp counts when it lies within a second after
    // the procedure's and after the previous subevent's start; otherwise the
    // subevent follows the previous one back to back.
    auto stampOf = [&](int a, double after, double *s) {
        const int64_t ts = proc->initSubevents[admitted[a]].timestampNs;
        const double off = (static_cast<double>(ts) - static_cast<double>(t0)) * 1e-9;
        if (!finite(off) || off < after || off > 1.0) return false;
        *s = off;
        return true;
    };
    int n = 0;
    bool allStamped = true;
    double start = 0.0, prevStart = -1.0, end = 0.0;
    for (int a = 0; a < count && n < TARN_MOTION_MAX_STEPS; ++a) {
        double s;
        const bool stamped = stampOf(a, prevStart < 0.0 ? 0.0 : prevStart, &s);
        if (stamped) {
            start = s;
        } else {
            start = end;
            allStamped = false;
        }
        const int64_t steps = proc->initSubevents[admitted[a]].numSteps;
        const int64_t room = TARN_MOTION_MAX_STEPS - n;
        m.subeventStartS[a] = stamped ? static_cast<float>(s) : NAN;
        m.subeventSteps[a] = static_cast<uint16_t>(steps < room ? steps : room);
        m.subeventCount = static_cast<uint8_t>(a + 1);
        n += static_cast<int>(steps < room ? steps : room);
        // Where the next subevent's stamp says, its steps end before it.
        double step = tarn_rtp::kNominalStepS;
        double next;
        if (a + 1 < count && stampOf(a + 1, start, &next) && next > start)
            step = std::fmin(step, (next - start) / static_cast<double>(steps));
        end = start + static_cast<double>(steps) * step;
        prevStart = start;
    }
    m.timingCount = static_cast<uint16_t>(n);
    m.timingSource = static_cast<uint8_t>(n == 0 ? 0 : (allStamped && count > 1 ? 2 : 1));
}

void motionNoteSteps(TarnLinkMotion &m, const CsMeasurement *meas, int stored) {
    m.timingCount = 0;
    m.timingSource = 0;
    m.subeventCount = 0;
    if (stored != 1 || meas == nullptr) return;
    const int n = meas->N > TARN_MOTION_MAX_STEPS ? TARN_MOTION_MAX_STEPS : meas->N;
    m.subeventCount = 1;
    m.subeventStartS[0] = 0.0f;
    m.subeventSteps[0] = static_cast<uint16_t>(n);
    m.timingCount = static_cast<uint16_t>(n);
    m.timingSource = n > 0 ? 1 : 0;
}

int composeStepTimes(const TarnLinkMotion &m, const TarnStepTiming &timing,
                     const CsMeasurement &meas, float *out) {
    if (meas.modes == nullptr) return 0;
    const int stored = meas.N < m.timingCount ? meas.N : m.timingCount;
    // Each mode's step duration, once for the procedure (0 past mode 3).
    double durationUs[4];
    for (int mode = 0; mode < 4; ++mode) durationUs[mode] = stepDurationUs(timing, mode, meas.NAP);
    int n = 0;
    double end = 0.0;
    for (int a = 0; a < m.subeventCount && a < TARN_MOTION_MAX_SUBEVENTS; ++a) {
        const float stamp = m.subeventStartS[a];
        const double start = std::isfinite(stamp) ? static_cast<double>(stamp) : end;
        double us = 0.0;
        for (int j = 0; j < m.subeventSteps[a] && n < stored; ++j) {
            out[n] = static_cast<float>(start + us * 1e-6);
            const uint8_t mode = meas.modes[n++];
            us += mode < 4 ? durationUs[mode] : 0.0;
        }
        end = start + us * 1e-6;
    }
    return n;
}

// ---- One computation ----------------------------------------------------------------

namespace {

// The largest step scale at which every subevent's steps end before the
// next subevent's time stamp (0: no time stamp bounds it).
double subeventScaleBound(const TarnLinkMotion &m) {
    double bound = 0.0;
    const int subevents =
        m.subeventCount < TARN_MOTION_MAX_SUBEVENTS ? m.subeventCount : TARN_MOTION_MAX_SUBEVENTS;
    for (int a = 0; a + 1 < subevents; ++a) {
        const float stamp = m.subeventStartS[a];
        const int steps = m.subeventSteps[a];
        if (std::isfinite(stamp) && std::isfinite(m.subeventStartS[a + 1]) && steps > 0) {
            const double room = (static_cast<double>(m.subeventStartS[a + 1]) - stamp) /
                                (steps * tarn_rtp::kNominalStepS);
            if (room > 0.0 && (bound == 0.0 || room < bound)) bound = room;
        }
    }
    return bound;
}

// The stored steps timed from their subevents' starts, kNominalStepS x scale
// apart within a subevent (a subevent without a usable time stamp follows
// the previous one), and each step's offset within its subevent. Returns the
// steps timed; *sensitivity gets the sensitivity of a measured speed to the
// scale (over the tone steps).
int composeScaledTimes(const TarnLinkMotion &m, double scale, const CsMeasurement &meas,
                       float *out, float *withinOut, double *sensitivity) {
    *sensitivity = 0.0;
    if (meas.modes == nullptr) return 0;
    const int stored = meas.N < m.timingCount ? meas.N : m.timingCount;
    const double step = tarn_rtp::kNominalStepS * scale;
    double toneT[TARN_MOTION_MAX_STEPS], toneW[TARN_MOTION_MAX_STEPS];
    int tones = 0, n = 0;
    double end = 0.0;
    const int subevents =
        m.subeventCount < TARN_MOTION_MAX_SUBEVENTS ? m.subeventCount : TARN_MOTION_MAX_SUBEVENTS;
    for (int a = 0; a < subevents; ++a) {
        const float stamp = m.subeventStartS[a];
        const double start = std::isfinite(stamp) ? static_cast<double>(stamp) : end;
        const int steps = m.subeventSteps[a];
        for (int j = 0; j < steps && n < stored; ++j, ++n) {
            const double w = j * step;
            out[n] = static_cast<float>(start + w);
            withinOut[n] = static_cast<float>(w);
            if (tarn_common::isToneMode(meas.modes[n])) {
                toneT[tones] = start + w;
                toneW[tones++] = w;
            }
        }
        end = start + steps * step;
    }
    *sensitivity = tarn_track::stepScaleSensitivity(toneT, toneW, tones);
    return n;
}

}  // namespace

MotionComputation::MotionComputation(CsContextItem *item, TarnLinkState &state,
                                     const ConfigOpts &inForce)
    : item_(item), state_(state), inForce_(inForce) {
    TarnLinkMotion &m = state.motion;
    const bool moving = m.modeKey == TARN_MOTION_MODE_KEY;
    if (m.switched != 0) {
        restartTracking(*item_, state);
        m.switched = 0;
    }
    m.lastMode = moving ? 1u : 0u;
    m.lastTimingOrigin = TARN_TIMING_ASSUMED;
    m.lastStepScale = 1.0;
    m.lastFlags = 0;
    m.lastSpeed = 0.0;
    m.lastSpeedSd = -1.0;
    CsContext *ctx = item_->ctx;
    // Calibration runs want the raw estimates: mode 1 stands aside.
    if (!moving || ctx == nullptr || inForce.EnableCal == 1) return;
    active_ = true;

    profile_ = inForce;
    profile_.fiAvgPwr = 0.0;
    profile_.rtpFilterType = 0;
    profile_.rttFilterType = 0;

    request_ = tarn_rtp::MotionRequest();
    request_.meas = ctx->meas;
    // Without a step timing the steps last the link's learned duration
    // (nominal until learned), within what the time stamps allow.
    TarnStepScale &sc = m.stepScale;
    const bool given = stepTimingGiven(state.stepTiming) && ctx->meas != nullptr;
    if (given) {
        request_.stepTimeS = timeS_;
        request_.stepCount = composeStepTimes(m, state.stepTiming, *ctx->meas, timeS_);
        m.lastTimingOrigin = TARN_TIMING_GIVEN;
    } else if (ctx->meas != nullptr) {
        const tarn_track::StepScaleConfig &scfg = tarn_track::stepScaleDefaults();
        // The time stamps bound the scale first: the steps are timed once.
        const CsMeasurement &meas = *ctx->meas;
        tarn_track::stepScaleBound(sc, scfg, meas.modes != nullptr ? subeventScaleBound(m) : 0.0);
        request_.stepTimeS = timeS_;
        request_.stepCount = composeScaledTimes(m, tarn_track::stepScaleValue(sc), meas, timeS_,
                                                withinS_, &sensitivity_);
        // Where the subevents' time stamps pin the speed (little of the
        // tones' time spread lies within subevents), the tones tell the step
        // duration at that speed; otherwise the speed carries the scale and
        // segments of the track tell it.
        // Once known it keeps checking on every kScaleCheckEvery-th
        // procedure: a changed configuration shows.
        const bool check = sc.known != 1 || m.track.updates % kScaleCheckEvery == 0;
        if (sensitivity_ <= kPinnedSensitivity && check) {
            const double now = tarn_track::stepScaleValue(sc);
            request_.stepWithinS = withinS_;
            request_.scaleLo = scfg.minScale / now;
            request_.scaleHi = tarn_track::stepScaleUpperLimit(sc, scfg) / now;
        }
    }
    if (!given && sc.known == 1) m.lastTimingOrigin = TARN_TIMING_LEARNED;
    if (!given) m.lastStepScale = tarn_track::stepScaleValue(sc);
    speedTrusted_ = given || sc.known == 1;
    still_ = m.stillCount >= kStillAfter;
    if (still_) request_.stillMps = kStillMps;
    // A target that has just stopped: the default tracking's window must not
    // hold distances from an earlier stop.
    if (still_ && m.stillActive == 0)
        for (int i = 0; i < TARN_MAX_WINDOW_SLOTS; ++i) state.filters.rtpWin[i].valid = 0;
    m.stillActive = still_ ? 1 : 0;
    request_.sharpRef = finite(m.sharpRef) && m.sharpRef > 0.0 ? m.sharpRef : 0.0;
    // Each stored step's subevent, for the subevents' own phases.
    if (m.subeventCount > 1 && request_.stepCount > 0) {
        int n = 0;
        for (int a = 0; a < m.subeventCount && a < TARN_MOTION_MAX_SUBEVENTS; ++a)
            for (int j = 0; j < m.subeventSteps[a] && n < TARN_MOTION_MAX_STEPS; ++j)
                subeventOf_[n++] = static_cast<uint8_t>(a);
        for (; n < TARN_MOTION_MAX_STEPS; ++n) subeventOf_[n] = 0xFF;
        request_.stepSubevent = subeventOf_;
    }
    const double now = ctx->timeUs / 1000000.0;
    if (m.track.valid == 1 && finite(now) && now >= m.track.time) {
        double v, pvv;
        tarn_track::trackerPeek(m.track, motionTrackerConfig(), now, nullptr, &v, nullptr, &pvv);
        if (finite(v) && finite(pvv) && pvv >= 0.0) {
            request_.haveSpeed = true;
            request_.speed = v;
            request_.speedSd = std::sqrt(pvv);
        }
    }
}

namespace {

// One computation's candidates as the tracker takes them (metres).
struct TrackInput {
    bool phaseOk;  // a fresh phase distance
    double zp;     // m
    double sdp;    // m, its spread
    bool rttOk;    // a round-trip distance
    double zr;     // m
    bool rttVeto;  // the round trip disagrees with the phase distance
};

// The candidates as the tracker takes them. A phase candidate without a
// confidence, or one the pipeline only held over from an earlier procedure,
// is no news; nor is one that repeats the previous phase distance to the
// bit (the first path lies on a search grid and can land on the same point
// twice): the tracker would count one measurement twice.
TrackInput trackInput(TarnLinkMotion &m, const tarn_est::DistanceCandidate &phase,
                      const tarn_est::DistanceCandidate &rtt) {
    TrackInput in;
    const bool given = phase.has() && phase.conf >= 0.0;
    const bool repeated = given && *phase.metres == m.lastPhaseM;
    m.lastPhaseM = given ? *phase.metres : NAN;
    in.phaseOk = given && phase.fresh && !repeated;
    in.zp = phase.metres.value_or(NAN);
    // The candidate's spread: by its confidence, or what the latest ones
    // showed around the track when that is more (multipath).
    in.sdp = std::fmax(phaseSd(phase.conf), phaseSpread(m));
    in.rttOk = rtt.has();
    in.zr = rtt.metres.value_or(NAN);
    in.rttVeto = in.phaseOk && in.rttOk && std::fabs(in.zp - in.zr) > kRttAgreeM;
    return in;
}

// A new track: the phase distance unless the round trip disagrees, else
// the round trip (the phase then has to come to it). True when the phase
// distance started it.
bool startTrack(TarnLinkMotion &m, const tarn_rtp::MotionRequest &req, bool speedTrusted,
                const TrackInput &in, double now, uint32_t *flags) {
    const tarn_track::TrackerConfig &cfg = motionTrackerConfig();
    const bool measured = req.measured && speedTrusted;
    const double v0 = measured ? req.measuredSpeed : 0.0;
    const double v0Sd =
        measured ? std::fmax(speedSd(m, req.measuredSpeed, req.measuredSd), 0.3) : kUnknownSpeedSd;
    tarn_track::Outcome out = tarn_track::Outcome::Refused;
    bool phaseTaken = false;
    if (in.phaseOk && !in.rttVeto) {
        out = tarn_track::trackerStart(m.track, cfg, now, in.zp, in.sdp, v0, v0Sd);
        phaseTaken = out == tarn_track::Outcome::Started;
    } else if (in.rttOk) {
        out = tarn_track::trackerStart(m.track, cfg, now, in.zr, kRttSd, v0, v0Sd);
        if (out == tarn_track::Outcome::Started) *flags |= TARN_TRACK_FLAG_RTT_TAKEN;
    }
    if (out == tarn_track::Outcome::Started) *flags |= TARN_TRACK_FLAG_RESTARTED;
    return phaseTaken;
}

// A running track takes the measured speed, then the phase distance or,
// without news from the phase, the round trip. True when the phase distance
// was taken.
bool updateTrack(TarnLinkMotion &m, const tarn_rtp::MotionRequest &req, bool speedTrusted,
                 const TrackInput &in, double now, uint32_t *flags) {
    const tarn_track::TrackerConfig &cfg = motionTrackerConfig();
    TarnMotionTrack &tr = m.track;
    // A speed measured on steps of unknown duration is off by as much as
    // they are: it teaches the step scale, it does not steer the track.
    if (req.measured && speedTrusted)
        tarn_track::trackerUpdateSpeed(tr, cfg, now, req.measuredSpeed,
                                       speedSd(m, req.measuredSpeed, req.measuredSd));
    if (in.phaseOk) {
        const tarn_track::Outcome out =
            tarn_track::trackerUpdateDistance(tr, cfg, now, in.zp, in.sdp, !in.rttVeto);
        if (out == tarn_track::Outcome::Rejected) *flags |= TARN_TRACK_FLAG_PHASE_GATED;
        if (out == tarn_track::Outcome::Started) *flags |= TARN_TRACK_FLAG_RESTARTED;
        return out == tarn_track::Outcome::Accepted || out == tarn_track::Outcome::Clipped ||
               out == tarn_track::Outcome::Started;
    }
    if (in.rttOk) {
        // The round trip keeps the track going, with little weight: its
        // bias must not pull a good track.
        const tarn_track::Outcome out =
            tarn_track::trackerUpdateDistance(tr, cfg, now, in.zr, kRttSd);
        if (out == tarn_track::Outcome::Rejected) *flags |= TARN_TRACK_FLAG_RTT_GATED;
        if (out == tarn_track::Outcome::Accepted || out == tarn_track::Outcome::Clipped)
            *flags |= TARN_TRACK_FLAG_RTT_TAKEN;
        if (out == tarn_track::Outcome::Started) *flags |= TARN_TRACK_FLAG_RESTARTED;
    }
    return false;
}

// The round-trip candidate of mode 1: the track plus the round trip's
// smoothed offset from it (its noise averaged, the motion not lagged).
void trackedRtt(TarnLinkMotion &m, const TrackInput &in, double now, double sf,
                RangeEstimate *rtt) {
    const TarnMotionTrack &tr = m.track;
    if (in.rttOk && tr.valid == 1) {
        const double r = in.zr - tr.dist;
        if (m.rttOffsetValid == 1 && now >= m.rttOffsetTime &&
            now - m.rttOffsetTime <= motionTrackerConfig().maxGapS && finite(m.rttOffset)) {
            double dr = r - m.rttOffset;
            if (dr > kRttOffsetClipM) dr = kRttOffsetClipM;
            if (dr < -kRttOffsetClipM) dr = -kRttOffsetClipM;
            m.rttOffset += kRttOffsetGain * dr;
        } else {
            m.rttOffset = r;
            m.rttOffsetValid = 1;
        }
        m.rttOffsetTime = now;
        rtt->dest = (tr.dist + m.rttOffset) * sf;
    } else if (tr.valid != 1) {
        m.rttOffsetValid = 0;
    }
}

}  // namespace

bool MotionComputation::combine(RangeEstimate *phase, bool phaseFresh, RangeEstimate *rtt,
                                CsEstimate *result) {
    if (!active_) return false;
    TarnLinkMotion &m = state_.motion;
    const ConfigOpts &o = inForce_;
    TarnMotionTrack &tr = m.track;
    const double sf = tarn_est::recordScale(o);
    const double now = item_->ctx->timeUs / 1000000.0;
    uint32_t flags = 0;
    if (request_.compensated) flags |= TARN_TRACK_FLAG_COMPENSATED;
    if (request_.measured) {
        flags |= TARN_TRACK_FLAG_SPEED_MEASURED;
        const double q = request_.sharpness;
        if (finite(q) && q > 0.0)
            m.sharpRef = m.sharpRef > 0.0 && finite(m.sharpRef)
                             ? (1.0 - kSharpGain) * m.sharpRef + kSharpGain * q
                             : q;
    }

    const TrackInput in = trackInput(m, tarn_est::fromRecord(*phase, sf, phaseFresh),
                                     tarn_est::fromRecord(*rtt, sf));
    if (!in.rttOk) rtt->valid = 0;
    // Prediction resets the track on bad time or gaps.
    if (tr.valid == 1) tarn_track::trackerPredict(tr, motionTrackerConfig(), now);
    const bool phaseTaken = tr.valid != 1
                                ? startTrack(m, request_, speedTrusted_, in, now, &flags)
                                : updateTrack(m, request_, speedTrusted_, in, now, &flags);
    if (phaseTaken) flags |= TARN_TRACK_FLAG_PHASE_TAKEN;
    // A step duration measured at a speed the track does not see (a speed
    // that lines up the tones of each subevent but not the subevents) is a
    // side lobe, not the link's timing.
    if (request_.scaleMeasured && tr.valid == 1 &&
        std::fabs(request_.speedUsed - tr.speed) <=
            kScaleAgreeMps + 3.0 * tarn_track::trackerSpeedSd(tr))
        tarn_track::stepScaleEvidence(
            m.stepScale, tarn_track::stepScaleDefaults(), request_.scale,
            kScaleEvidenceSd / std::fmax(std::fabs(request_.speedUsed), 0.3));
    if (!speedTrusted_ && tr.valid == 1 && sensitivity_ > kPinnedSensitivity)
        tarn_track::stepScaleNote(m.stepScale, tarn_track::stepScaleDefaults(), now, tr.dist,
                                  tarn_track::trackerDistSd(tr), request_.measured,
                                  request_.measuredSpeed, request_.measuredSd, sensitivity_);
    if (in.phaseOk) notePhaseCandidate(m, in.zp, now, tr.valid == 1 ? tr.speed : 0.0);
    trackedRtt(m, in, now, sf, rtt);

    if (tr.valid != 1) {
        m.lastConf = tarn_common::kNoConfidence;
        m.lastFlags = flags;
        return false;
    }
    double conf;
    if (phaseTaken) {
        conf = phase->conf;
    } else if (m.lastConf > 0.0) {
        conf = tarn_est::iirDecayedConf(o, m.lastConf);
    } else {
        conf = 0.0;  // only the round trip holds the track up
    }
    if (!finite(conf)) conf = 0.0;
    m.lastConf = conf;
    double dest = tr.dist * sf;
    // A target standing still gets the default tracking's phase distance
    // (computed with its options this time): no motion model, its averaging.
    const bool stillNow = request_.measured && std::fabs(request_.measuredSpeed) <= kStillMps;
    if (stillNow) {
        m.stillCount = static_cast<uint8_t>(m.stillCount < 255 ? m.stillCount + 1 : 255);
        m.movingCount = 0;
    } else {
        m.movingCount = static_cast<uint8_t>(m.movingCount < 255 ? m.movingCount + 1 : 255);
        if (m.movingCount >= kMovingAfter) m.stillCount = 0;
    }
    // The default tracking's distance stands only where the track took it;
    // a track that restarted (the target moved on) starts a new stop.
    // So does one the round trip keeps placing far away (the default
    // tracking's window would follow a jump only slowly).
    m.stillRttMisses =
        in.rttOk && std::fabs(in.zr - tr.dist) > kRttAgreeM
            ? static_cast<uint8_t>(m.stillRttMisses < 255 ? m.stillRttMisses + 1 : 255)
            : 0;
    if ((flags & TARN_TRACK_FLAG_RESTARTED) != 0 || m.stillRttMisses >= kStillRttMisses) {
        m.stillCount = 0;
        m.stillActive = 0;
    }
    if (still_ && phaseTaken && m.stillCount >= kStillAfter) dest = phase->dest;
    if (o.quant != 0) {
        dest = std::round(dest);
        conf = std::round(conf);
    }
    result->dest = dest;
    result->conf = confByte(conf);
    flags |= TARN_TRACK_FLAG_TRACKING;
    m.lastFlags = flags;
    m.lastSpeed = tr.speed;
    m.lastSpeedSd = tarn_track::trackerSpeedSd(tr);
    DEBUG_LOG(2, "motion: track %lf m, %lf m/s (sd %lf), flags 0x%x\n", tr.dist, tr.speed,
              m.lastSpeedSd, flags);
    return true;
}

// ---- The latest computation ----------------------------------------------------------

void motionRecordLatest(const TarnLinkMotion &m, const ConfigOpts *opts,
                        TarnLatestComputation *latest) {
    latest->trackingMode = m.lastMode;
    latest->trackFlags = m.lastFlags;
    latest->speed = 0.0;
    latest->speedSd = tarn_common::kNoFigure;
    latest->timingOrigin = TARN_TIMING_ASSUMED;
    latest->stepScale = 1.0;
    if (m.lastMode != 1) {
        latest->trackFlags = 0;
        return;  // nothing of motion applies
    }
    latest->timingOrigin = m.lastTimingOrigin;
    latest->stepScale = m.lastStepScale;
    if ((m.lastFlags & TARN_TRACK_FLAG_TRACKING) != 0) {
        const double sf = opts != nullptr ? tarn_est::recordScale(*opts) : 1000.0;
        latest->speed = m.lastSpeed * sf;
        latest->speedSd = m.lastSpeedSd * sf;
    }
}

}  // namespace tarn_link

// ---- Extension ------------------------------------------------------------------------

extern "C" int tarnSetTrackingMode(CsLinkRef linkRef, int mode) {
    if (mode != 0 && mode != 1) {
        DEBUG_LOG(1, "tarnSetTrackingMode: unknown tracking mode %d for link %d.\n", mode,
                  static_cast<int>(linkRef));
        return 0;
    }
    bool unknown = false;
    const int done = tarn_iface::changeLinkState(linkRef, &unknown, [&](TarnLinkState &state) {
        TarnLinkMotion &m = state.motion;
        const int current = m.modeKey == TARN_MOTION_MODE_KEY ? 1 : 0;
        if (current == mode) return;
        m.modeKey = mode == 1 ? TARN_MOTION_MODE_KEY : 0u;
        m.switched = 1;
        DEBUG_LOG(0, "Tracking mode %d on link %d (tracking restarts)\n", mode,
                  static_cast<int>(linkRef));
    });
    if (unknown) DEBUG_LOG(3, "link refrence %d does not exist\n", static_cast<int>(linkRef));
    return done;
}
