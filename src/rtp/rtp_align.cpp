// Event phase alignment: removes the constant phase offset each subevent
// picks up when the radios re-tune, measured on the channels a subevent
// repeats from the end of the one before it.
#include "rtp/rtp_align.h"

#include <cmath>
#include <complex>

#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

namespace tarn_rtp {

namespace {

constexpr int kMaxReps = TARN_MAX_EVENT_REPS;


double roundIf(double v, bool round) {
    return round ? std::round(v) : v;
}

// Running alignment of one antenna path over its events.
struct PathAlign {
    const double *p;
    const uint8_t *g;
    const uint8_t *channels;
    const uint16_t *toneStep;  // step index of each tone position
    int nTones;
    uint16_t N;
    uint32_t qWrap;
    double h;
    bool quant;
    int path;
    TarnCplxD (*initC)[kPaths];
    TarnCplxD (*reflC)[kPaths];

    bool haveRef = false;   // an event with tones has been seen
    bool havePrev = false;  // the event just before had tones
    int prevFirst = 0, prevLast = -1;
    bool repsFound = false;
    int nReps = 0;
    double total = 0.0;
    int errors = 0;

    void rotate(TarnCplxD (*c)[kPaths], int a, int b, TarnCplxD rot) const {
        DEBUG_LOG(2, "mStartNow %d , EndNow %d", a, b);
        for (int k = a; k <= b; ++k) {
            const TarnCplxD v = c[k][path] * rot;
            c[k][path] = TarnCplxD(roundIf(v.real(), quant), roundIf(v.imag(), quant));
        }
    }

    // The event at index `ev` holds tone positions a..b (a > b: none).
    void event(int ev, int a, int b) {
        if (a > b) {
            DEBUG_LOG(2, "subevent %d has no tones, not aligned\n", ev);
            // Its successor repeats this event's channels, which carry no
            // phase, so the chain to the reference breaks here.
            if (haveRef) havePrev = false;
            return;
        }
        if (!haveRef || !havePrev) {
            if (haveRef) {
                DEBUG_LOG(2, "subevent %d not aligned: previous subevent has no tones\n", ev);
                ++errors;
            }
            restartChain(a, b);
            return;
        }
        if (!repsFound) findReps(a);
        double diff[kMaxReps];
        const int v = calcPhaseDifferencesD(p, g, static_cast<uint16_t>(nTones), prevFirst,
                                            prevLast, a, b, nReps, N, qWrap, diff);
        if (v < 0) {
            DEBUG_LOG(2,
                      "subevent %d not aligned: its %d repeated tones lie outside the "
                      "subevents' tones\n",
                      ev, nReps);
            ++errors;
            restartChain(a, b);
            return;
        }
        double offset = 0.0;
        int err = 0;
        if (nReps > 0) {
            if (v == 0)
                err = 1;
            else
                offset = eventPhaseOffset(diff, v, qWrap, quant);
        }
        DEBUG_LOG(2, "dPhase[%lf] err[%d]\n", offset / h * kPi, err);
        total += offset;
        DEBUG_LOG(2, "totPhase[%lf]\n", total);
        const TarnCplxD rot = std::polar(1.0, total * 0.5 / h * kPi);
        DEBUG_LOG(2, "rotIQ: %lf %lfi\n", rot.real(), rot.imag());
        rotate(initC, a, b, rot);
        rotate(reflC, a, b, rot);
        errors += err;
        prevFirst = a;
        prevLast = b;
    }

    // This event keeps its tones and becomes the reference of later ones.
    void restartChain(int a, int b) {
        haveRef = havePrev = true;
        total = 0.0;
        prevFirst = a;
        prevLast = b;
    }

    // Once per path: how many tones the event repeats from the end of the
    // previous one, judged by the channel of its own first tone.
    void findReps(int a) {
        const uint8_t ch = channels[toneStep[a]];
        nReps = 0;
        for (int d = 0; d < kMaxReps && prevLast - d >= prevFirst; ++d) {
            if (channels[toneStep[prevLast - d]] == ch) {
                nReps = d + 1;
                break;
            }
        }
        repsFound = true;
        DEBUG_LOG(2, "nReps[%d] foundReps[%d]\n", nReps, 1);
    }
};

}  // namespace

double foldHalfTurn(double v, double turn) {
    // fmod is exact, so the result never strays past half a turn by rounding.
    double r = std::fmod(v, turn);
    const double half = turn * 0.5;
    if (r >= half)
        r -= turn;
    else if (r <= -half)
        r += turn;
    return r;
}

double eventPhaseOffset(const double *diff, int count, uint32_t qWrap, bool round) {
    if (count < 1) return 0.0;
    if (count > kMaxReps) count = kMaxReps;
    double sorted[kMaxReps];
    uint8_t order[kMaxReps];
    aaMathSortVectorAndGetOrderDouble(diff, count, sorted, order, 0);
    int w = 0;
    double gap = -1.0;
    for (int i = 0; i + 1 < count; ++i) {
        if (sorted[i + 1] - sorted[i] > gap) {
            gap = sorted[i + 1] - sorted[i];
            w = i;
        }
    }
    // A gap wider than half a turn means the values cluster around zero and
    // the ones above the gap belong just below it.
    if (count > 1 && gap > static_cast<double>(qWrap / 2)) {
        for (int i = w + 1; i < count; ++i)
            sorted[i] = foldHalfTurn(sorted[i], static_cast<double>(qWrap));
    }
    double sum = 0.0;
    for (int i = 0; i < count; ++i) sum += sorted[i];
    return roundIf(sum / count, round);
}

}  // namespace tarn_rtp

using namespace tarn_rtp;

namespace tarn_rtp {

int calcPhaseDifferencesD(const double *phase, const uint8_t *gmap, uint16_t numTones,
                          int prevFirst, int prevLast, int curFirst, int curLast, int nReps,
                          uint16_t N, uint32_t qWrap, double *diff) {
    DEBUG_LOG(2, kStageEnter, "calcPhaseDifferencesD");
    DEBUG_LOG(2, "nReps %d , N %d", nReps, static_cast<int>(N));
    if (phase == nullptr || gmap == nullptr || diff == nullptr || qWrap == 0) return -1;
    if (nReps <= 0) return 0;
    if (nReps > kMaxReps) nReps = kMaxReps;
    DEBUG_LOG(2, "vectorLength:%d\n", nReps);
    const int last = clampTones(numTones) - 1;
    // 64-bit index arithmetic: a direct caller may pass any positions.
    const int64_t pLo = prevFirst > 0 ? prevFirst : 0;
    const int64_t pHi = prevLast < last ? prevLast : last;
    const int64_t cLo = curFirst > 0 ? curFirst : 0;
    const int64_t cHi = curLast < last ? curLast : last;
    const double turn = static_cast<double>(qWrap);
    int inRange = 0;
    int count = 0;
    for (int r = 0; r < nReps; ++r) {
        const int64_t kp = static_cast<int64_t>(prevLast) - r;
        const int64_t kc = static_cast<int64_t>(curFirst) + nReps - 1 - r;
        if (kp < pLo || kp > pHi || kc < cLo || kc > cHi) continue;
        ++inRange;
        if (gmap[kp] != 1 || gmap[kc] != 1) continue;
        const double d = phase[kp] - phase[kc];
        if (!std::isfinite(d)) continue;
        aaMathCalcModDouble(&d, turn, 1, &diff[count]);
        ++count;
    }
    return inRange == 0 ? -1 : count;
}

int8_t alignEventPhases(const TarnCplxI4 (*initToneIq)[TARN_MAX_ANT_PATHS],
                        const TarnCplxI4 (*reflToneIq)[TARN_MAX_ANT_PATHS],
                        const double (*tonePhase)[TARN_MAX_ANT_PATHS],
                        const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS], const uint8_t *modes,
                        const uint8_t *channels, const ConfigOpts *opts, uint16_t N, int8_t NAP,
                        uint16_t numTones, TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                        TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS]) {
    DEBUG_LOG(2, kStageEnter, "alignEventPhases");
    if (initToneIq == nullptr || reflToneIq == nullptr || tonePhase == nullptr ||
        toneGmap == nullptr || modes == nullptr || channels == nullptr || opts == nullptr ||
        initToneC == nullptr || reflToneC == nullptr) {
        DEBUG_LOG(1, "alignEventPhases: missing input, nothing done\n");
        return 0;
    }
    const int nTones = clampTones(numTones);
    const int nap = clampPaths(NAP);
    const int nSteps = N > TARN_MAX_STEPS ? TARN_MAX_STEPS : N;

    for (int k = 0; k < nTones; ++k) {
        for (int j = 0; j < nap; ++j) {
            initToneC[k][j] = TarnCplxD(initToneIq[k][j].re, initToneIq[k][j].im);
            reflToneC[k][j] = TarnCplxD(reflToneIq[k][j].re, reflToneIq[k][j].im);
        }
    }
    if (opts->qWrap < 2) {
        DEBUG_LOG(1, "alignEventPhases: qWrap %u gives no phase scale, tones not aligned\n",
                  static_cast<unsigned>(opts->qWrap));
        DEBUG_LOG(2, "\n\n********** %s Exit **********\n\n", "alignEventPhases");
        return 0;
    }

    uint16_t toneStep[kMaxTones] = {};
    for (int i = 0, t = 0; i < nSteps && t < nTones; ++i) {
        if (tarn_common::isToneMode(modes[i])) toneStep[t++] = static_cast<uint16_t>(i);
    }

    int errors = 0;
    for (int j = 0; j < nap; ++j) {
        double p[kMaxTones];
        uint8_t g[kMaxTones];
        for (int k = 0; k < nTones; ++k) {
            p[k] = tonePhase[k][j];
            g[k] = toneGmap[k][j];
        }
        DEBUG_LOG(2, "numsteps %d", nTones);
        PathAlign pa{p,        g,   channels, toneStep, nTones, N, opts->qWrap,
                     static_cast<double>(opts->qWrap >> 1), opts->quant != 0, j, initToneC,
                     reflToneC};
        int t = 0;  // tone steps seen so far, full width
        bool open = false;
        int first = 0;
        int ev = 0;
        for (int i = 0; i < nSteps; ++i) {
            const uint8_t mode = modes[i];
            if (mode != 0 && !open) {
                DEBUG_LOG(2, "start of subevent");
                open = true;
                // First tone of this event, even when it opens with a
                // non-tone step.
                first = t;
            }
            if (open && mode == 0) {
                DEBUG_LOG(2, "end of subevent");
                open = false;
                pa.event(ev++, first, (t < nTones ? t : nTones) - 1);
            }
            if (tarn_common::isToneMode(mode)) ++t;
            if (open && i == nSteps - 1) {
                DEBUG_LOG(2, "end of subevent");
                open = false;
                pa.event(ev++, first, (t < nTones ? t : nTones) - 1);
            }
        }
        errors += pa.errors;
        DEBUG_LOG(2, "nErr[%d]\n", errors);
    }
    DEBUG_LOG(2, "\n\n********** %s Exit **********\n\n", "alignEventPhases");
    return static_cast<int8_t>(errors > 127 ? 127 : errors);
}

}  // namespace tarn_rtp
