// Result filter of the phase pipeline: tracks the per-(order, path) MUSIC
// distances and the per-path phase-slope distances over procedures, pools
// the survivors into one distance and passes it through the output filter.
#include <cmath>
#include <cstring>

#include "estimators/distance.h"
#include "estimators/estimators_internal.h"
#include "measurement/measurement_internal.h"
#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;
using tarn_est::algFilterIir;
using tarn_est::algFilterSlidingWindow;
using tarn_measurement::print_context_newpres;

namespace {

using tarn_common::kNoDistance;
constexpr int kOrders = TARN_MAX_MUSIC_ORDERS;
// Per path: one phase-slope candidate and one per MUSIC order.
constexpr int kMaxCandidates = kPaths * (1 + kOrders);
constexpr int kMaxWindow = TARN_MAX_WINDOW_SLOTS;
constexpr int kMaxPercent = 100;


// A distance that stands for "no distance" (or is not a number) never
// becomes a tracked value.
bool isRealDistance(double d) {
    return std::isfinite(d) && !tarn_common::isNoDistanceMarker(d);
}

bool trackingRegime(uint8_t filterType) {
    return filterType == TARN_RTP_FILTER_TRACKING || filterType == TARN_RTP_FILTER_TRACKING_WINDOW;
}

int usedOrders(const ConfigOpts &opts) {
    return opts.muOrdSetLen > kOrders ? kOrders : opts.muOrdSetLen;
}

int clampPercent(int p) {
    return p > kMaxPercent ? kMaxPercent : p;
}

int8_t confToInt8(double conf) {
    const int32_t c = truncToInt32(conf);
    return static_cast<int8_t>(c > 127 ? 127 : (c < -128 ? -128 : c));
}

struct Candidates {
    double dest[kMaxCandidates];
    double conf[kMaxCandidates];
    int count = 0;
    // Candidates this procedure's measurements made (the rest are values a
    // tracked pair held over).
    int fresh = 0;

    void add(double d, double c, bool isFresh = true) {
        if (count >= kMaxCandidates) return;
        dest[count] = d;
        conf[count] = c;
        ++count;
        if (isFresh) ++fresh;
    }
};

// Phase-slope tracking of every path; returns the largest tracked confidence.
double trackPhase(NewPresState &st, const PhaseResult &phase, const ConfigOpts &opts, int nap,
                  double now, int reset) {
    double maxConf = 0.0;
    for (int k = 0; k < nap; ++k) {
        RangeEstimate cur = {1, phase.pdest[k], phase.pconf[k], 0.0};
        // An invalid state holds no distance to blend with: start over.
        const int restart = reset != 0 || st.phaseIir[k].valid != 1;
        algFilterIir(&opts, &st.phaseIir[k], &cur, &st.phaseDisAvg[k], now, restart);
        if (st.phaseIir[k].conf > maxConf) maxConf = st.phaseIir[k].conf;
    }
    return maxConf;
}

// One (order, path) pair's update from this procedure's MUSIC slot. True
// when the pair now holds a distance this procedure gave (not one held over).
template <class Cur>
bool trackPair(Cur &cur, NewPresState &st, const MusicResult &music, const ConfigOpts &opts, int i, int k,
               double now, int reset, double *maxConf) {
    RtpPairEntry &pair = st.csFilter.entry[i][k];
    double &disAvg = st.csFilter.disAvg[i][k];
    const uint8_t v = music.valid[i][k];
    const double rdest = music.dest[i][k];
    const double g = music.conf[i][k];
    DEBUG_LOG(2, "rdest : %lf , valid: %d , conf: %lf\n", rdest, v, g);

    RangeEstimate presEst;
    if (opts.fiUsePrevDistFilter == TARN_GATE_ON_POOLED) {
        presEst = reset != 0 ? RangeEstimate{cur.valid, cur.dest, cur.conf, cur.vest} : st.iirEst;
    } else {
        presEst = {pair.valid, pair.pdest, pair.pconf, pair.vest};
    }
    DEBUG_LOG(2, "presEst.dest, %lf presEst.conf %lf presEst.valid %d\n", presEst.dest,
              presEst.conf, presEst.valid);

    double dest;
    double conf;
    double w;
    uint8_t valid;
    bool fresh = false;
    // A reference without a distance cannot be blended with: the pair restarts.
    const bool restart = reset != 0 || pair.valid == 0 || !isRealDistance(presEst.dest);
    if (restart) {
        DEBUG_LOG(2, "IIR filter reset , reset %d , presEst->valid %d", 1, presEst.valid);
        const bool usable = !(g < static_cast<double>(opts.fiMinConf)) && v != 0 &&
                            isRealDistance(rdest);
        valid = usable ? 1 : 0;
        dest = usable ? rdest : -1.0;
        conf = usable ? g : -1.0;
        w = -1.0;
        fresh = usable;
    } else {
        if (v == 1 && g != tarn_common::kNoConfidence && isRealDistance(rdest)) {
            const tarn_est::IirBlend b =
                tarn_est::iirBlend(opts, presEst.dest, presEst.conf, rdest, g);
            w = b.weight;
            dest = b.dest;
            conf = b.conf;
            valid = 1;
        } else {
            dest = kNoDistance;
            conf = tarn_est::iirDecayedConf(opts, presEst.conf);
            w = tarn_est::kNoBlendWeight;
            valid = 0;
        }
        DEBUG_LOG(4,
                  "disAvg %lf, presEst->dest %lf,presEst->conf %lf , currEst->conf "
                  "%lf,currEst->dest %lf , dest %lf, conf \n %lf",
                  w, presEst.dest, presEst.conf, g, rdest, dest, conf);
        DEBUG_LOG(2, "presEst.dest, %lf presEst.conf %lf presEst.valid %d\n", dest, conf, valid);
    }
    if (conf > *maxConf) *maxConf = conf;

    if (!restart) {
        if (valid == 1) {
            const bool close = conf > static_cast<double>(opts.fiMinConf) &&
                               std::fabs(dest - presEst.dest) <=
                                   static_cast<double>(opts.fiMaxDelta) * opts.distSF;
            // A jump is believed only right after the pair restarted, and
            // only when it is at least as sure as the reference.
            const bool accepted = close || (conf >= presEst.conf && disAvg == -1.0);
            if (!accepted) valid = 0;
            fresh = accepted;
        } else {
            DEBUG_LOG(4,
                      "valid false , fiValid %d, reset %d , pres->fiRTP.estMusic[k-1][n].valid "
                      "%d \n",
                      valid, reset, pair.valid);
            dest = presEst.dest;
            if (opts.velocityBasedUpdate == 1) {
                dest = pair.pdest + (now - cur.time) * cur.vest * conf / 100.0;
                DEBUG_LOG(2, "presEst.dest velocityBased %lf", dest);
            }
            valid = isRealDistance(dest) ? 1 : 0;
            w = 1.0;
        }
    }
    pair.valid = valid;
    pair.pdest = dest;
    pair.pconf = conf;
    pair.vest = presEst.vest;
    disAvg = w;
    return fresh;
}

// Tracking regime: updates the pairs and counters, sets pathValid and
// gathers the surviving tracked values.
template <class Cur>
void trackAndCollect(Cur &cur, NewPresState &st, MusicResult &music, const PhaseResult &phase,
                     const ConfigOpts &opts, int nap, double now, int reset, Candidates &cand) {
    double maxConf = 0.0;
    if (opts.phEnable == 1 && nap >= 1) maxConf = trackPhase(st, phase, opts, nap, now, reset);

    const int orders = usedOrders(opts);
    bool anyPairValid = false;
    bool pathHasOrder[kPaths] = {false, false, false, false};
    bool pairFresh[kOrders][kPaths] = {};
    for (int i = 0; i < orders; ++i) {
        if (opts.muOrdSet[i] == 0) continue;
        for (int k = 0; k < nap; ++k) {
            if (music.valid[i][k] != 0) pathHasOrder[k] = true;
            pairFresh[i][k] = trackPair(cur, st, music, opts, i, k, now, reset, &maxConf);
            if (st.csFilter.entry[i][k].valid == 1) anyPairValid = true;
        }
    }

    if (anyPairValid) {
        cur.inValidCounter = 0;
    } else if (cur.inValidCounter < UINT8_MAX) {
        ++cur.inValidCounter;
    }

    const double floor = maxConf * opts.fiPkConfThr;
    // Values 0 and 2 admit the tracked orders, 1 and 3 or more do not.
    const bool musicCandidates = opts.filterMusicOrdersMethod == TARN_MUSIC_ORDERS_ALL ||
                                 opts.filterMusicOrdersMethod == 2;
    for (int k = 0; k < nap; ++k) {
        if (!pathHasOrder[k]) {
            if (static_cast<int32_t>(cur.apInvalidCounter[k]) < opts.APinValidCounterMax &&
                cur.apInvalidCounter[k] < UINT8_MAX) {
                ++cur.apInvalidCounter[k];
            }
        } else {
            cur.apInvalidCounter[k] = 0;
            DEBUG_LOG(0, "AP %d restored", k);
        }
        if (static_cast<int32_t>(cur.apInvalidCounter[k]) < opts.APinValidCounterMax) {
            music.pathValid[k] = 1;
            DEBUG_LOG(2, "maxConf [%lf]\n", maxConf);
            const IirState &ph = st.phaseIir[k];
            if (opts.phEnable == 1 && ph.valid == 1 && ph.conf >= floor && isRealDistance(ph.dest))
                cand.add(ph.dest, ph.conf);
            if (!musicCandidates) continue;
            for (int i = 0; i < orders; ++i) {
                if (opts.muOrdSet[i] == 0) continue;
                const RtpPairEntry &e = st.csFilter.entry[i][k];
                if (e.valid == 1 && e.pconf >= floor) cand.add(e.pdest, e.pconf, pairFresh[i][k]);
            }
        } else {
            music.pathValid[k] = 0;
            DEBUG_LOG(0, "AP %d Invalidity Triggered", k);
        }
    }
    DEBUG_LOG(0, "pres->fiRTP.apInvalidCounter[n] %d, %d, %d, %d", cur.apInvalidCounter[0],
              cur.apInvalidCounter[1], cur.apInvalidCounter[2], cur.apInvalidCounter[3]);
}

// Direct regime: this procedure's results without tracking.
void collectDirect(const MusicResult &music, const PhaseResult &phase, const ConfigOpts &opts,
                   int nap, Candidates &cand) {
    const int orders = usedOrders(opts);
    for (int k = 0; k < nap; ++k) {
        if (opts.phEnable != 0 && phase.pconf[k] >= 0.0 && isRealDistance(phase.pdest[k]))
            cand.add(phase.pdest[k], phase.pconf[k]);
        for (int i = 0; i < orders; ++i) {
            // Only what MUSIC found in this procedure: the pair states belong
            // to the tracking regime and may hold another link's history.
            if (music.valid[i][k] == 1 && music.conf[i][k] >= 0.0 &&
                isRealDistance(music.dest[i][k])) {
                cand.add(music.dest[i][k], music.conf[i][k]);
            }
        }
    }
}

// Trims and combines the candidates into est; false when none is left.
bool combine(const Candidates &cand, const MusicResult &music, const ConfigOpts &opts,
             RangeEstimate &est) {
    const int count = cand.count;
    if (count == 0) return false;
    double ordDest[kMaxCandidates];
    uint8_t order[kMaxCandidates];
    aaMathSortVectorAndGetOrderDouble(cand.dest, count, ordDest, order, 0);
    double ordConf[kMaxCandidates];
    for (int c = 0; c < count; ++c) {
        ordConf[c] = cand.conf[order[c]];
        DEBUG_LOG(2, "ordDest[%d] = %lf , ordConf[%d] = %lf\n", c, ordDest[c], c, ordConf[c]);
    }

    double frac = opts.fiExclFrac;
    if (!(frac > 0.0)) frac = 0.0;  // NaN too
    if (frac > 1.0) frac = 1.0;
    int numOut = static_cast<int>(std::floor(frac * count));
    if (numOut % 2 != 0) ++numOut;
    // At least one candidate always survives the trim.
    const int maxOut = (count - 1) & ~1;
    if (numOut > maxOut) numOut = maxOut;
    DEBUG_LOG(2, "numOut %lf count %d fiExclFrac %lf \n", static_cast<double>(numOut), count,
              opts.fiExclFrac);
    const int start = numOut / 2;
    const int end = count - numOut / 2 - 1;
    DEBUG_LOG(2, "startIdx %d, EndIdx %d\n", start, end);

    double sel[kMaxCandidates];
    int n = 0;
    int8_t maxSelConf = INT8_MIN;
    for (int c = start; c <= end; ++c, ++n) {
        sel[n] = ordDest[c];
        const int8_t sc = confToInt8(ordConf[c]);
        if (sc > maxSelConf) maxSelConf = sc;
        DEBUG_LOG(2, "selDest[%d] = %lf , selConf[%d] = %d\n", n, sel[n], n, sc);
    }

    auto meanOrMedian = [&]() {
        const double mean = aaMathCalcMeanDouble(sel, n);
        const double median = aaMathCalcMedianDouble(sel, n);
        DEBUG_LOG(2, "mean %lf , median %lf\n", mean, median);
        return mean < median ? mean : median;
    };
    est.valid = 1;
    switch (opts.fiDistanceCombiningMethod) {
        case TARN_COMBINE_MEAN:
            est.dest = aaMathCalcMeanDouble(sel, n);
            break;
        case TARN_COMBINE_MEDIAN:
            est.dest = aaMathCalcMedianDouble(sel, n);
            break;
        case TARN_COMBINE_PERCENTILE_BY_PATHS: {
            int paths = 0;
            for (int k = 0; k < kPaths; ++k) paths += music.pathValid[k] == 1;
            if (paths == 1) {
                est.dest = meanOrMedian();
            } else if (paths >= 2) {
                const uint8_t pct[kPaths + 1] = {0, 0, opts.percentile2AP, opts.percentile3AP,
                                                 opts.percentile4AP};
                est.dest = aaMathCalcPercentileDouble(sel, n, clampPercent(pct[paths]));
            } else {
                est.dest = kNoDistance;
                est.valid = 0;
            }
            break;
        }
        default:
            est.dest = meanOrMedian();
            break;
    }
    est.conf = static_cast<double>(maxSelConf);
    DEBUG_LOG(4, "currEst.dest %lf %d\n", est.dest, est.valid);
    DEBUG_LOG(4, "currEst.conf %lf \n", est.conf);
    return true;
}

// Hold of the previous pooled distance, and the velocity.
template <class Cur>
void holdAndVelocity(Cur &cur, NewPresState &st, const ConfigOpts &opts, double now, int reset,
                     RangeEstimate &est) {
    double speed;
    if (reset != 0 || est.valid == 1) {
        const double dt = now - cur.time;
        speed = dt > 0.0 ? (est.dest - cur.dest) / dt : 0.0;
        if (!std::isfinite(speed)) speed = 0.0;
    } else {
        est.dest = st.iirEst.dest;
        est.conf = st.iirEst.conf;
        est.valid = (est.dest > 0.0 && cur.conf != tarn_common::kNoConfidence) ? 1 : 0;
        speed = cur.vest;
    }
    est.vest = reset != 0 ? 0.0 : opts.fiVelAvg * cur.vest + speed * (1.0 - opts.fiVelAvg);
    if (!isRealDistance(est.dest)) est.valid = 0;
    st.iirEst = est;
    DEBUG_LOG(2, "pres->fiRTP.iirdest %lf %d\n", st.iirEst.dest, st.iirEst.valid);
}

template <class Cur>
void outputFilter(Cur &cur, NewPresState &st, const ConfigOpts &opts, double now, int reset,
                  const RangeEstimate &est) {
    switch (opts.rtpFilterType) {
        case TARN_RTP_FILTER_WINDOW:
        case TARN_RTP_FILTER_TRACKING_WINDOW: {
            st.rtpWinCtl.size = static_cast<uint16_t>(
                opts.rtpSlidingWindowSize > kMaxWindow ? kMaxWindow : opts.rtpSlidingWindowSize);
            st.rtpWinCtl.frameSize = static_cast<uint16_t>(clampPercent(opts.rtpSlidingWindowFrameSize));
            // The window wraps its index at the size in use, so an index left
            // by a larger window restarts at slot 0 of this one.
            RangeEstimate win = {cur.valid, cur.dest, cur.conf, cur.vest};
            algFilterSlidingWindow(&opts, st.rtpWin, &est, &st.rtpWinCtl, st.rtpWinTime, now, reset,
                                   &win);
            cur.valid = win.valid;
            cur.dest = win.dest;
            cur.conf = est.conf;
            break;
        }
        case TARN_RTP_FILTER_KALMAN:
            if (reset != 0 || (cur.dest < 0.0 && est.valid == 1)) {
                cur.valid = est.valid;
                cur.dest = est.dest;
                cur.conf = est.conf;
                cur.vest = est.vest;
                st.rtpK = -1.0;
                st.rtpP = 100.0;
                cur.conf = 100.0;
            } else {
                const double drift = 1.8 * (now - cur.time);
                st.rtpP += drift * drift;
                if (est.valid == 1) {
                    st.rtpK = st.rtpP / (st.rtpP + 9.0);
                    cur.dest = st.rtpK * est.dest + (1.0 - st.rtpK) * cur.dest;
                    st.rtpP = (1.0 - st.rtpK) * st.rtpP;
                    // The Kalman output reports its variance where the confidence goes.
                    cur.conf = st.rtpP;
                    cur.vest = 0.0;
                    cur.valid = 1;
                } else {
                    cur.valid = 0;
                }
            }
            break;
        default:
            cur.valid = est.valid;
            cur.dest = est.dest;
            cur.conf = est.conf;
            cur.vest = est.vest;
            break;
    }
    // The "no distance" marker (for instance the window's fallback to an
    // invalid estimate) is never a valid state: the next procedure restarts.
    if (!isRealDistance(cur.dest)) cur.valid = 0;
}

// The four steps on one procedure. `cur` holds the link's tracked estimate
// and counters (the link's PresState on the road, the working record itself
// for the exported entry point); `mem` the filters' memory. True when the
// pooled distance is this procedure's (not the previous one held over).
template <class Cur>
bool filterProcedure(Cur &cur, NewPresState &mem, const ToneRecord &rawMeas,
                     const PhaseResult &phase, MusicResult &music, const ConfigOpts &opts,
                     int nap, int reset) {
    const double now = rawMeas.timeUs / 1000000.0;
    Candidates cand;
    if (trackingRegime(opts.rtpFilterType)) {
        trackAndCollect(cur, mem, music, phase, opts, nap, now, reset, cand);
    } else if (nap >= 1) {
        collectDirect(music, phase, opts, nap, cand);
    }

    RangeEstimate est = tarn_est::noDistanceRecord();
    if (!combine(cand, music, opts, est)) {
        est = tarn_est::noDistanceRecord();
        DEBUG_LOG(2, "ALL distances are invalid");
    }
    const bool fresh = est.valid == 1 && cand.fresh > 0;
    holdAndVelocity(cur, mem, opts, now, reset, est);
    outputFilter(cur, mem, opts, now, reset, est);
    cur.time = now;
    return fresh;
}

}  // namespace

bool tarn_rtp::phaseResultFilter(PresState &link, NewPresState &filters, const ToneRecord &rawMeas,
                                 const PhaseResult &phase, MusicResult &music,
                                 const ConfigOpts &opts, int nap, int reset) {
    return filterProcedure(link, filters, rawMeas, phase, music, opts, clampPaths(nap), reset);
}

namespace tarn_rtp {

void algEstRTPWithFilter(NewPresState *state, const ToneRecord *rawMeas,
                         const ToneRecord * /*procMeas*/, const PhaseResult *phase,
                         MusicResult *music, const ConfigOpts *opts, int8_t NAP,
                         RangeEstimate *out, int reset) {
    if (state == nullptr || rawMeas == nullptr || phase == nullptr || music == nullptr ||
        opts == nullptr || out == nullptr) {
        return;
    }
    print_context_newpres(state);
    filterProcedure(*state, *state, *rawMeas, *phase, *music, *opts, clampPaths(NAP), reset);
    *out = {state->valid, state->dest, state->conf, state->vest};
}

}  // namespace tarn_rtp
