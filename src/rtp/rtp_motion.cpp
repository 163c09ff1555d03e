// Motion within one procedure: speed from the procedure's own tones and the
// correction of every tone to the procedure's first step (see rtp_motion.h).
#include "rtp/rtp_motion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tarn_diag.h"
#include "tarn_math.h"

namespace tarn_rtp {

namespace {

constexpr int kFftSize = 256;  // >= 2 x 79 - 1: the sum of |Y|^4 sees no wrap-around
constexpr int kMinTones = 8;
constexpr double kFirstChannelHz = 2402e6;
constexpr int kMaxHypotheses = 81;
// The speed is common to all antenna paths: the search looks at the two
// paths with the most usable tones (the others would only cost time).
constexpr int kSearchPaths = 2;
// Largest speed uncertainty (m/s) of the track that is searched around.
constexpr double kLocalSearchMaxSd = 0.6;
// Share of the link's usual sharpness below which a search around the
// tracked speed counts as missed.
constexpr double kSharpDrop = 0.5;
// Hypotheses from which a search samples coarsely first.
constexpr int kCoarseFrom = 7;
constexpr int kMaxSubevents = 32;

// Tones of one procedure prepared for the search: per tone its phase rate
// (radians per m/s of speed) and per path its normalised product.
struct SearchTones {
    int n = 0;
    int nap = 0;
    uint8_t channel[kMaxTones];
    double rate[kMaxTones];
    TarnCplxD x[kMaxTones][kPaths];
    uint8_t use[kMaxTones][kPaths];
};

// Sharpness of the response over the band after turning every tone by
// exp(i v rate): the sum over paths of sum |Y|^4 of its transform over the
// channel raster (= the energy of the response's autocorrelation across
// channel lags). Largest when the tones line up as one response.
double sharpness(const SearchTones &st, const TarnCplxD *rot, TarnCplxD *buf) {
    double total = 0.0;
    for (int j = 0; j < st.nap; ++j) {
        std::memset(static_cast<void *>(buf), 0, sizeof(TarnCplxD) * kFftSize);
        bool any = false;
        for (int k = 0; k < st.n; ++k) {
            if (!st.use[k][j]) continue;
            buf[st.channel[k]] += st.x[k][j] * rot[k];
            any = true;
        }
        if (!any) continue;
        fft(buf, kFftSize);
        double s = 0.0;
        for (int b = 0; b < kFftSize; ++b) {
            const double p = std::norm(buf[b]);
            s += p * p;
        }
        total += s;
    }
    return total;
}

// Sharpness at count speeds v0, v0 + step, ... into s[].
void sweep(const SearchTones &st, double v0, double step, int count, double *s) {
    TarnCplxD rot[kMaxTones];
    TarnCplxD adv[kMaxTones];
    TarnCplxD buf[kFftSize];
    for (int k = 0; k < st.n; ++k) {
        rot[k] = std::polar(1.0, v0 * st.rate[k]);
        adv[k] = std::polar(1.0, step * st.rate[k]);
    }
    for (int h = 0; h < count; ++h) {
        s[h] = sharpness(st, rot, buf);
        for (int k = 0; k < st.n; ++k) rot[k] *= adv[k];
    }
}

// Vertex of the parabola through (-1, a), (0, b), (1, c), within +-0.5.
double vertex(double a, double b, double c) {
    const double den = a - 2.0 * b + c;
    if (!(den < 0.0)) return 0.0;
    double off = 0.5 * (a - c) / den;
    if (off > 0.5) off = 0.5;
    if (off < -0.5) off = -0.5;
    return off;
}

// Scale of the sharpness: N x the sum over paths of n^3 for n usable tones
// (tones lining up perfectly over a contiguous band come to about 2/3).
double sharpnessScale(const SearchTones &st) {
    double total = 0.0;
    for (int j = 0; j < st.nap; ++j) {
        double n = 0.0;
        for (int k = 0; k < st.n; ++k) n += st.use[k][j] ? 1.0 : 0.0;
        total += n * n * n;
    }
    return total * kFftSize;
}

bool search(const SearchTones &st, const SpeedSearch &sp, double *speed, double *sd,
            double *sharpOut) {
    int usable = 0;
    for (int k = 0; k < st.n; ++k)
        for (int j = 0; j < st.nap; ++j) usable += st.use[k][j] ? 1 : 0;
    if (usable < kMinTones || !(sp.gridMps > 0.0) || !std::isfinite(sp.centreMps) ||
        !(sp.halfSpanMps > 0.0))
        return false;
    int half = static_cast<int>(std::ceil(sp.halfSpanMps / sp.gridMps - 1e-9));
    if (half < 1) half = 1;
    if (2 * half + 1 > kMaxHypotheses) half = (kMaxHypotheses - 1) / 2;
    const int count = 2 * half + 1;
    double s[kMaxHypotheses];
    const double v0 = sp.centreMps - half * sp.gridMps;
    // A wide search first looks at every other hypothesis when that still
    // samples the main lobe (nulls 2 pi / (largest rate) apart) at least
    // four times, then at the best one's two neighbours.
    double widest = 0.0;
    for (int k = 0; k < st.n; ++k) widest = std::fmax(widest, std::fabs(st.rate[k]));
    const bool coarse = count >= kCoarseFrom && widest > 0.0 && 2.0 * sp.gridMps * widest <= kPi;
    int best = 0;
    double lo;
    if (coarse) {
        double c[kMaxHypotheses];
        sweep(st, v0, 2.0 * sp.gridMps, half + 1, c);
        for (int i = 0; i <= half; ++i) {
            s[2 * i] = c[i];
            if (c[i] > c[best / 2]) best = 2 * i;
        }
        lo = c[0];
        for (int i = 1; i <= half; ++i) lo = std::fmin(lo, c[i]);
        if (best == 0 || best == count - 1 || !(s[best] > 0.0)) return false;
        sweep(st, v0 + (best - 1) * sp.gridMps, 2.0 * sp.gridMps, 2, c);
        s[best - 1] = c[0];
        s[best + 1] = c[1];
        lo = std::fmin(lo, std::fmin(c[0], c[1]));
        // A neighbour above the best: its other neighbour is a coarse one.
        if (s[best - 1] > s[best] && s[best - 1] >= s[best + 1])
            --best;
        else if (s[best + 1] > s[best])
            ++best;
    } else {
        sweep(st, v0, sp.gridMps, count, s);
        lo = s[0];
        for (int h = 1; h < count; ++h) {
            if (s[h] > s[best]) best = h;
            if (s[h] < lo) lo = s[h];
        }
    }
    if (best == 0 || best == count - 1 || !(s[best] > 0.0)) return false;
    double v = v0 + (best + vertex(s[best - 1], s[best], s[best + 1])) * sp.gridMps;
    // Finer look around the coarse vertex.
    const double fine = sp.gridMps * 0.25;
    double f[3];
    sweep(st, v - fine, fine, 3, f);
    v += vertex(f[0], f[1], f[2]) * fine;
    // A flat sweep (little sharper at the best speed than at the worst) says
    // little about the speed.
    const double contrast = (s[best] - lo) / s[best];
    *speed = v;
    *sd = 0.04 + 0.2 * (1.0 - contrast);
    if (sharpOut != nullptr) {
        const double scale = sharpnessScale(st);
        *sharpOut = scale > 0.0 ? std::fmax(f[1], s[best]) / scale : 0.0;
    }
    return std::isfinite(v);
}

// x turned by exp(i (4 pi f v t / c - theta of its subevent)) into out.
void turnTones(const TarnCplxD (*x)[kPaths], const uint8_t *channel, const double *timeS,
               const uint8_t *sub, const double *theta, int numTones, int nap, double v,
               double sol, TarnCplxD (*out)[kPaths]) {
    for (int k = 0; k < numTones; ++k) {
        const double f = kFirstChannelHz + (channel[k] < kChannels ? channel[k] : 0) * 1e6;
        double a = 4.0 * kPi * f * v * timeS[k] / sol;
        if (theta != nullptr && sub[k] < kMaxSubevents) a -= theta[sub[k]];
        const TarnCplxD turn = std::polar(1.0, a);
        for (int j = 0; j < nap; ++j) out[k][j] = x[k][j] * turn;
    }
}

// The step-duration factor k that makes the tones sharpest at speed v: the
// tones turned back for v (x, usable where use) turn further by
// 4 pi f v (k - 1) w / c with w their offset within their subevent. The
// speed search does it, with v w as its times and k - 1 as its speed.
bool measureScale(const MotionRequest &req, const TarnCplxD (*x)[kPaths],
                  const uint8_t (*use)[kPaths], const uint8_t *channel, const double *timeS,
                  const double *withinS, int numTones, int nap, double sol, double v, double *k) {
    constexpr double kMinSpeed = 0.3;  // m/s: slower, the tones hardly tell
    if (!(std::fabs(v) >= kMinSpeed) || !(req.scaleHi > req.scaleLo) || !(req.scaleLo > 0.0))
        return false;
    TarnCplxD turned[kMaxTones][kPaths];
    turnTones(x, channel, timeS, nullptr, nullptr, numTones, nap, v, sol, turned);
    double vw[kMaxTones];
    double widest = 0.0;
    for (int t = 0; t < numTones; ++t) {
        vw[t] = v * withinS[t];
        widest = std::fmax(widest, std::fabs(vw[t]));
    }
    if (!(widest > 0.0)) return false;
    // About half a radian at the widest offset per hypothesis, and at least
    // four hypotheses either side of the centre.
    SpeedSearch sp;
    sp.centreMps = 0.5 * (req.scaleLo + req.scaleHi) - 1.0;
    sp.halfSpanMps = 0.5 * (req.scaleHi - req.scaleLo);
    sp.gridMps =
        std::fmin(0.5 * sol / (4.0 * kPi * kFirstChannelHz * widest), sp.halfSpanMps / 4.0);
    sp.gridMps = std::fmax(sp.gridMps, sp.halfSpanMps / ((kMaxHypotheses - 1) / 2 - 2));
    // A factor at either end must not be the search's own edge.
    sp.halfSpanMps += 2.0 * sp.gridMps;
    double h = 0.0, sd = 0.0;
    if (!rtpMeasureSpeed(turned, use, channel, vw, numTones, nap, sol, sp, &h, &sd)) return false;
    *k = 1.0 + h;
    return std::isfinite(*k) && *k > 0.0;
}

double stepTime(const MotionRequest &req, int i) {
    if (req.stepTimeS != nullptr && i < req.stepCount) return req.stepTimeS[i];
    if (req.stepTimeS != nullptr && req.stepCount > 0)
        return req.stepTimeS[req.stepCount - 1] + (i - req.stepCount + 1) * kNominalStepS;
    return i * kNominalStepS;
}

// The step of each tone k < numTones: the k-th tone step among the first
// `steps`; -1 for tones past the last tone step.
void toneSteps(const CsMeasurement &meas, int steps, int numTones, int *step) {
    int k = 0;
    for (int i = 0; i < steps && k < numTones; ++i)
        if (tarn_common::isToneMode(meas.modes[i])) step[k++] = i;
    for (; k < numTones; ++k) step[k] = -1;
}

// Tone k's subevent from the request (kMaxSubevents: none).
void toneSubevents(const MotionRequest &req, const int *step, int numTones, uint8_t *sub,
                   int *count) {
    int highest = -1;
    for (int k = 0; k < numTones; ++k) {
        const int i = step[k];
        const int s = i >= 0 && i < req.stepCount ? req.stepSubevent[i] : kMaxSubevents;
        sub[k] = static_cast<uint8_t>(s < kMaxSubevents ? s : kMaxSubevents);
        if (s < kMaxSubevents && s > highest) highest = s;
    }
    *count = highest + 1;
}

}  // namespace

bool rtpSubeventPhases(const TarnCplxD (*x)[kPaths], const uint8_t (*use)[kPaths],
                       const uint8_t *channel, const uint8_t *sub, int numTones, int nap,
                       int count, double *theta) {
    numTones = clampTones(numTones);
    nap = clampPaths(nap);
    if (count < 1 || count > kMaxSubevents) return false;
    // The earlier subevents' tones per channel and path, each turned back by
    // its subevent's phase, and the current subevent's.
    TarnCplxD ref[kChannels][kPaths];
    TarnCplxD cur[kChannels][kPaths];
    std::memset(static_cast<void *>(ref), 0, sizeof ref);
    theta[0] = 0.0;
    int linked = 0;
    for (int s = 0; s < count; ++s) {
        std::memset(static_cast<void *>(cur), 0, sizeof cur);
        bool any = false;
        for (int k = 0; k < numTones; ++k) {
            if (sub[k] != s || channel[k] >= kChannels) continue;
            for (int j = 0; j < nap; ++j) {
                if (!use[k][j]) continue;
                cur[channel[k]][j] += x[k][j];
                any = true;
            }
        }
        if (s > 0) {
            theta[s] = 0.0;
            if (any) {
                TarnCplxD acc(0.0, 0.0);
                for (int c = 0; c < kChannels; ++c)
                    for (int j = 0; j < nap; ++j) acc += cur[c][j] * std::conj(ref[c][j]);
                if (!(std::abs(acc) > 0.0) || !std::isfinite(std::abs(acc))) return false;
                theta[s] = std::arg(acc);
                ++linked;
            }
        }
        const TarnCplxD back = std::polar(1.0, -theta[s]);
        for (int c = 0; c < kChannels; ++c)
            for (int j = 0; j < nap; ++j) ref[c][j] += cur[c][j] * back;
    }
    return true;
}

double rtpOffsetFromPhases(const double *theta, const double *startS, int count) {
    double turn = 0.0, span = 0.0;
    for (int s = 1; s < count; ++s) {
        const double dt = startS[s] - startS[s - 1];
        if (!(dt > 0.0) || !std::isfinite(dt)) continue;
        turn += std::remainder(theta[s] - theta[s - 1], 2.0 * kPi);
        span += dt;
    }
    return span > 0.0 ? turn / (2.0 * kPi * span) : 0.0;
}

bool rtpMeasureSpeed(const TarnCplxD (*x)[kPaths], const uint8_t (*use)[kPaths],
                     const uint8_t *channel, const double *timeS, int numTones, int nap, double sol,
                     const SpeedSearch &sp, double *speed, double *sd, double *sharpness) {
    SearchTones st;  // about 20 KB of the worker's stack, for the call only
    st.n = clampTones(numTones);
    nap = clampPaths(nap);
    // Usable tones per path; the search takes the best kSearchPaths.
    int count[kPaths] = {0, 0, 0, 0};
    auto usable = [&](int k, int j) {
        return use[k][j] != 0 && channel[k] < kChannels && std::isfinite(timeS[k]) &&
               std::isfinite(x[k][j].real()) && std::isfinite(x[k][j].imag()) &&
               std::abs(x[k][j]) > 0.0;
    };
    for (int k = 0; k < st.n; ++k)
        for (int j = 0; j < nap; ++j) count[j] += usable(k, j) ? 1 : 0;
    // Most tones first, stable; by insertion, as std::stable_sort would take
    // a heap buffer on the worker's path.
    int order[kPaths] = {0, 1, 2, 3};
    for (int a = 1; a < nap; ++a) {
        const int v = order[a];
        int b = a;
        for (; b > 0 && count[order[b - 1]] < count[v]; --b) order[b] = order[b - 1];
        order[b] = v;
    }
    st.nap = nap < kSearchPaths ? nap : kSearchPaths;
    for (int k = 0; k < st.n; ++k) {
        st.channel[k] = channel[k] < kChannels ? channel[k] : 0;
        st.rate[k] = 4.0 * kPi * (kFirstChannelHz + st.channel[k] * 1e6) * timeS[k] / sol;
        for (int q = 0; q < st.nap; ++q) {
            const int j = order[q];
            st.use[k][q] = usable(k, j) ? 1 : 0;
            st.x[k][q] = x[k][j];
        }
    }
    return search(st, sp, speed, sd, sharpness);
}

void rtpCompensateMotion(MotionRequest *req, const CsMeasurement &meas, const ConfigOpts &opts,
                         int numTones, int nap, const uint8_t (*gmap)[kPaths],
                         const uint8_t *toneChannel, TarnCplxD (*initToneC)[kPaths],
                         const TarnCplxD (*reflToneC)[kPaths]) {
    if (req == nullptr || req->meas != &meas) return;
    req->compensated = false;
    req->measured = false;
    req->speedUsed = 0.0;
    numTones = clampTones(numTones);
    nap = clampPaths(nap);
    const double sol = opts.sol;
    if (numTones == 0 || nap == 0 || !(sol > 0.0) || !std::isfinite(sol) || meas.modes == nullptr)
        return;

    // Time of each tone: the k-th tone step's position among the steps.
    const int steps = meas.N > TARN_MAX_STEPS ? TARN_MAX_STEPS : meas.N;
    int toneStep[kMaxTones];
    toneSteps(meas, steps, numTones, toneStep);
    double timeS[kMaxTones];
    TarnCplxD x[kMaxTones][kPaths];
    uint8_t use[kMaxTones][kPaths];
    int k;
    for (k = 0; k < numTones; ++k)
        timeS[k] = stepTime(*req, toneStep[k] >= 0 ? toneStep[k] : steps + k);

    // Normalised tone products (the search weighs every tone alike).
    for (k = 0; k < numTones; ++k) {
        for (int j = 0; j < nap; ++j) {
            const TarnCplxD p = initToneC[k][j] * reflToneC[k][j];
            const double m = std::abs(p);
            use[k][j] = gmap[k][j] == 1 && m > 0.0 && std::isfinite(m);
            x[k][j] = use[k][j] ? p / m : TarnCplxD(0.0, 0.0);
        }
    }

    // Channels that come back in a later subevent tell each subevent's own
    // phase (a frequency offset, a jump). Measured on the tones as they
    // are, it holds the motion between subevents too: the speed is then
    // searched on times within each subevent.
    req->subeventPhases = false;
    req->offsetHz = 0.0;
    uint8_t sub[kMaxTones];
    double theta[kMaxSubevents];
    double startS[kMaxSubevents];
    int subCount = 0;
    bool phases = false;
    if (req->stepSubevent != nullptr) {
        toneSubevents(*req, toneStep, numTones, sub, &subCount);
        phases = subCount >= 2 && rtpSubeventPhases(x, use, toneChannel, sub, numTones, nap,
                                                    subCount, theta);
    }
    TarnCplxD xs[kMaxTones][kPaths];
    double withinS[kMaxTones];
    const TarnCplxD(*sx)[kPaths] = x;
    const double *st = timeS;
    if (phases) {
        for (int q = 0; q < subCount; ++q) startS[q] = NAN;
        for (k = 0; k < numTones; ++k)
            if (sub[k] < kMaxSubevents && !(startS[sub[k]] <= timeS[k])) startS[sub[k]] = timeS[k];
        for (k = 0; k < numTones; ++k)
            withinS[k] = sub[k] < kMaxSubevents ? timeS[k] - startS[sub[k]] : 0.0;
        turnTones(x, toneChannel, timeS, sub, theta, numTones, nap, 0.0, sol, xs);
        sx = xs;
        st = withinS;
    }

    // A track that knows its speed roughly is searched around (a few
    // hypotheses); without a track, or when the speed lies outside that
    // span (a turn), the search spans every plausible speed.
    // A local best far less sharp than the link's procedures use to be is a
    // side lobe: the target turned.
    SpeedSearch full;
    double v = 0.0, sd = 0.0, sharp = 0.0;
    bool found = false;
    if (req->haveSpeed && std::isfinite(req->speed) && req->speedSd < kLocalSearchMaxSd) {
        SpeedSearch local;
        local.centreMps = req->speed;
        local.halfSpanMps = std::fmax(0.5, 2.0 * req->speedSd);
        found = rtpMeasureSpeed(sx, use, toneChannel, st, numTones, nap, sol, local, &v, &sd, &sharp);
        if (found && req->sharpRef > 0.0 && sharp < kSharpDrop * req->sharpRef) found = false;
    }
    if (!found) {
        DEBUG_LOG(3, "motion: speed searched over every plausible speed\n");
        found = rtpMeasureSpeed(sx, use, toneChannel, st, numTones, nap, sol, full, &v, &sd, &sharp);
    }
    if (found) {
        req->sharpness = sharp;
        req->measured = true;
        req->measuredSpeed = v;
        req->measuredSd = sd;
    } else if (req->haveSpeed && std::isfinite(req->speed)) {
        v = req->speed;
    } else if (!phases) {
        DEBUG_LOG(2, "motion: no speed for this procedure, tones left as they are\n");
        return;
    }
    req->scaleMeasured = false;
    req->scale = 1.0;
    const bool still = found && std::fabs(v) <= req->stillMps;
    if (still && !phases) {
        DEBUG_LOG(2, "motion: %lf m/s on a still link, tones left as they are\n", v);
        return;
    }
    if (still) v = 0.0;
    if (phases) {
        // The subevents' phases once more, on tones turned back for the
        // speed: what remains is the offset or jump alone.
        turnTones(x, toneChannel, timeS, sub, nullptr, numTones, nap, v, sol, xs);
        if (!rtpSubeventPhases(xs, use, toneChannel, sub, numTones, nap, subCount, theta))
            return;
        req->subeventPhases = true;
        req->offsetHz = rtpOffsetFromPhases(theta, startS, subCount);
        DEBUG_LOG(2, "motion: subevent phases removed, offset %lf Hz\n", req->offsetHz);
    }
    // The step duration is told by the tones' offsets within subevents,
    // which subevent phases leave alone only up to the speed's own error.
    if (found && !still && !phases && req->stepWithinS != nullptr) {
        double within[kMaxTones];
        for (k = 0; k < numTones; ++k) {
            const int i = toneStep[k];
            within[k] = i >= 0 && i < req->stepCount ? req->stepWithinS[i] : 0.0;
        }
        double ks = 1.0;
        if (measureScale(*req, x, use, toneChannel, timeS, within, numTones, nap, sol, v, &ks)) {
            req->scaleMeasured = true;
            req->scale = ks;
            DEBUG_LOG(2, "motion: step duration x %lf at %lf m/s\n", ks, v);
        }
    }
    turnTones(initToneC, toneChannel, timeS, sub, phases ? theta : nullptr, numTones, nap, v, sol,
              initToneC);
    if (still) {
        DEBUG_LOG(2, "motion: still link, only the subevent phases removed\n");
        return;
    }
    req->compensated = true;
    req->speedUsed = v;
    DEBUG_LOG(2, "motion: tones turned back for %lf m/s (measured %d, sd %lf)\n", v,
              req->measured ? 1 : 0, req->measuredSd);
}

}  // namespace tarn_rtp
