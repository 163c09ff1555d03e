// Phase-based estimate of one stored procedure: the whole pipeline from the
// tone steps to the tracked distance in the link's result record.
#include <cmath>
#include <cstring>

#include "config/config_internal.h"
#include "measurement/measurement_internal.h"
#include "rtp/rtp_cir.h"
#include "rtp/rtp_driver.h"
#include "rtp/rtp_internal.h"
#include "rtp/rtp_motion.h"
#include "rtp/rtp_tones.h"
#include "tarn_diag.h"
#include "tarn_math.h"

using tarn_cfg::print_config_opts;
using tarn_measurement::print_context_pres;
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace {

constexpr int kOrders = TARN_MAX_MUSIC_ORDERS;

int usedOrders(const ConfigOpts &opts) {
    return opts.muOrdSetLen > kOrders ? kOrders : opts.muOrdSetLen;
}

}  // namespace

void tarn_rtp::applyPhaseCalibrationMode(ConfigOpts &opts) {
    if (opts.EnableCal != 1) return;

    opts.fiMaxPeriod = 0;
    opts.slidingWindowMaxPeriod = 0.0;
    opts.useChannelCenterForBoundMusicEst = 0;
    opts.rtpFilterType = TARN_RTP_FILTER_TRACKING;
    opts.fiDistanceCombiningMethod = TARN_COMBINE_MEDIAN;
    opts.smallerMusicOrderFilterOffsetLower = 2.5;
    opts.smallerMusicOrderFilterOffsetUpper = 2.5;
    opts.pctPrior = TARN_PCT_PRIOR_PRODUCT;
    for (double &c : opts.disCal) c = 0.0;
    opts.muMaxEigs = 1.0;
    if (opts.use3OrdersForCal == 1) {
        static const uint8_t kCalOrders[3] = {2, 4, 6};
        static const uint8_t kCalCov[3] = {4, 8, 12};
        opts.muOrdSetLen = 3;
        opts.muCovSetLen = 3;
        for (int i = 0; i < 3; ++i) {
            opts.muOrdSet[i] = kCalOrders[i];
            opts.muCovSet[i] = kCalCov[i];
        }
    }
    print_config_opts(&opts);
}


int tarn_rtp::phaseImpulseResponse(PhaseWork &w, const ConfigOpts &opts, int path, double *out,
                                   int capacity, double *tapM, double *firstM) {
    if (path < 0 || path >= w.cirPaths) return 0;
    // Formed in the caller's buffer, handed out only when every figure is a
    // number: options such as a one-unit phase turn give no response at all.
    double tap = 0.0;
    const int n = cirPathMagnitudes(w.rawMeas, w.procMeas, opts, path, w.cir, out, capacity, &tap);
    if (n <= 0 || !std::isfinite(tap) || !std::isfinite(opts.cirOffset)) return 0;
    for (int k = 0; k < n; ++k)
        if (!std::isfinite(out[k])) return 0;
    if (tapM != nullptr) *tapM = tap;
    // Tap 0 lies cirOffset before zero distance (the response is delayed by
    // it so that a direct path near 0 m does not wrap to the end).
    if (firstM != nullptr) *firstM = -opts.cirOffset;
    return n;
}

bool tarn_rtp::rtpResetDecision(PresState &pres, const ConfigOpts &opts, double now) {
    bool reset = true;
    if (pres.time >= 0.0) {
        const double d = now - pres.time;
        if (d > 0.0 && d <= static_cast<double>(opts.fiMaxPeriod)) reset = pres.valid == 0;
    }
    if (static_cast<int32_t>(pres.inValidCounter) == opts.inValidCounterMax) {
        DEBUG_LOG(0, "Invalidity Triggered");
        pres.inValidCounter = 0;
        reset = true;
    }
    DEBUG_LOG(2, "pres->time : %lf time : %lf, reset : %d\n", pres.time, now, reset ? 1 : 0);
    return reset;
}

namespace {

// A tone without a reported phase correction term on either side is unusable.
void discardZeroPct(PhaseWork &w, int numTones, int nap) {
    for (int k = 0; k < numTones; ++k) {
        for (int j = 0; j < nap; ++j) {
            const TarnCplxI4 &a = w.tones.initToneIq[k][j];
            const TarnCplxI4 &b = w.tones.reflToneIq[k][j];
            if ((a.re == 0 && a.im == 0) || (b.re == 0 && b.im == 0)) w.toneGmap[k][j] = 0;
        }
    }
}

void complexTones(PhaseWork &w, const CsMeasurement &meas, const ConfigOpts &opts, int numTones,
                  int nap) {
    if (opts.disableAlignEventPhase != 0) {
        const int n = numTones > 1 ? numTones : 1;
        for (int k = 0; k < n; ++k) {
            for (int j = 0; j < nap; ++j) {
                const TarnCplxI4 &a = w.tones.initToneIq[k][j];
                const TarnCplxI4 &b = w.tones.reflToneIq[k][j];
                w.initToneC[k][j] = TarnCplxD(a.re, a.im);
                w.reflToneC[k][j] = TarnCplxD(b.re, b.im);
            }
        }
        return;
    }
    const uint16_t n = meas.N > TARN_MAX_STEPS ? TARN_MAX_STEPS : meas.N;
    alignEventPhases(w.tones.initToneIq, w.tones.reflToneIq, w.tones.tonePhase, w.toneGmap,
                     meas.modes, meas.channels, &opts, n, static_cast<int8_t>(nap),
                     static_cast<uint16_t>(numTones), w.initToneC, w.reflToneC);
}

void logCoverage(const uint8_t *gconf, int nap) {
    DEBUG_LOG(2, "algCalcGmapConf: out:");
    DEBUG_LOG(2, "\t rawMeas.gconf: \t [");
    for (int j = 0; j < nap; ++j) DEBUG_LOG(2, "%d, ", gconf[j]);
    DEBUG_LOG(2, " ]");
}

void logPhase(const PhaseResult &ph, int nap) {
    DEBUG_LOG(2, "algEstWithPhase: out: phase: ");
    DEBUG_LOG(2, "\t pdest: {");
    for (int j = 0; j < nap; ++j) DEBUG_LOG(2, " %lf, ", ph.pdest[j]);
    DEBUG_LOG(2, "} \t pconf: ");
    for (int j = 0; j < nap; ++j) DEBUG_LOG(2, " %lf, ", ph.pconf[j]);
    DEBUG_LOG(2, " }\n");
}

void logCir(const CirEstimate &cir, int nap) {
    DEBUG_LOG(2, "algProcessCir: out:");
    for (int j = 0; j < nap; ++j) {
        DEBUG_LOG(2, "cirEstimate.energy %lf, ", cir.energy[j]);
        DEBUG_LOG(2, "cirEstimate.maxToMeanCirDB %lf, ", cir.maxToMeanCirDB[j]);
        DEBUG_LOG(2, "cirEstimate.maxToMedianCirDB %lf, ", cir.maxToMedianCirDB[j]);
        DEBUG_LOG(2, "cirEstimate.delaySpread %lf, ", cir.delaySpread[j]);
        DEBUG_LOG(2, "cirEstimate.numPeaks %d, ", cir.numPeaks[j]);
        DEBUG_LOG(2, "cirEstimate.numPeaksBeforeMaxPeak %d \n", cir.numPeaksBeforeMaxPeak[j]);
    }
}

void logMusic(const MusicResult &mu, int orders) {
    DEBUG_LOG(2, "algEstWithMusic: out: music: ");
    DEBUG_LOG(2, "\t pdest: {");
    for (int o = 0; o < orders; ++o)
        DEBUG_LOG(2, "%5.5lf, %5.5lf, %5.5lf, %5.5lf", mu.dest[o][0], mu.dest[o][1],
                  mu.dest[o][2], mu.dest[o][3]);
    DEBUG_LOG(2, "} \t pconf: ");
    for (int o = 0; o < orders; ++o)
        DEBUG_LOG(2, "%5.5lf-%3d, %5.5lf-%3d, %5.5lf-%3d, %5.5lf-%3d", mu.conf[o][0],
                  mu.valid[o][0], mu.conf[o][1], mu.valid[o][1], mu.conf[o][2], mu.valid[o][2],
                  mu.conf[o][3], mu.valid[o][3]);
    DEBUG_LOG(2, " }\n");
}

// Calibration runs log each path's raw MUSIC distance: the median of the
// valid orders' distances whose confidence clears fiPkConfThr of the best.
void logRawMusic(const MusicResult &mu, const ConfigOpts &opts, int nap, int orders) {
    double raw[kPaths] = {0.0, 0.0, 0.0, 0.0};
    for (int j = 0; j < nap; ++j) {
        double dest[kOrders];
        double conf[kOrders];
        int n = 0;
        double best = 0.0;
        for (int o = 0; o < orders; ++o) {
            if (mu.valid[o][j] != 1) continue;
            dest[n] = mu.dest[o][j];
            conf[n] = mu.conf[o][j];
            if (conf[n] > best) best = conf[n];
            ++n;
        }
        double kept[kOrders];
        int m = 0;
        for (int i = 0; i < n; ++i)
            if (conf[i] > opts.fiPkConfThr * best) kept[m++] = dest[i];
        raw[j] = m > 0 ? aaMathCalcMedianDouble(kept, m) : 0.0;
    }
    DEBUG_LOG(0, "Raw Music Dist %lf, %lf, %lf, %lf", raw[0], raw[1], raw[2], raw[3]);
}

// Tones of the stored procedure into the per-channel records: extraction,
// gain map, complex tones, one tone per channel, the product-channel estimate
// and tone processing. False when the procedure gives nothing to estimate
// from; *failed then says whether tone processing itself failed.
bool prepareTones(const CsMeasurement &meas, double timeUs, const ConfigOpts &opts, PresState &pres,
                  int nap, PhaseWork &w, MotionRequest *motion, bool &reset, bool &failed) {
    failed = false;
    std::memset(static_cast<void *>(&w.tones), 0,
                offsetof(PhaseWork, cir) - offsetof(PhaseWork, tones));
    // A full-width count: 256 tone steps are 256 tones.
    const int numTones = rtpExtractTones(meas, nap, opts, w.tones);
    if (numTones == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return false;
    }
    const int8_t NAP = static_cast<int8_t>(nap);
    const uint16_t nTones = static_cast<uint16_t>(numTones);
    reset = rtpResetDecision(pres, opts, timeUs / 1000000.0);

    algCalcGmap(w.tones.initToneQual, w.tones.reflToneQual, &opts, nTones, NAP, w.toneGmap);
    if (opts.discardZeroPCT == 1) discardZeroPct(w, numTones, nap);
    complexTones(w, meas, opts, numTones, nap);
    // Tracking mode 1 turns the tones back to the procedure's start; without
    // a request (the default tracking) nothing happens.
    rtpCompensateMotion(motion, meas, opts, numTones, nap, w.toneGmap, w.tones.toneChannel,
                        w.initToneC, w.reflToneC);
    algOrderChans(&pres, timeUs, w.tones.toneChannel, w.initToneC, w.reflToneC, w.toneGmap,
                  &opts, nTones, NAP, &w.rawMeas);

    if (opts.useProductChannelDist == 1 && (reset || pres.valid == 0)) {
        alg_estimateProductChannelDist(&pres, &w.rawMeas, &opts, NAP, &w.productEstimate);
    } else {
        w.productEstimate.valid = 0;
        for (int j = 0; j < nap; ++j) w.rawMeas.productValid[j] = 0;
    }

    if (opts.pctMode == TARN_PCT_MODE_ROOT) {
        algProcPct(&pres, &w.rawMeas, &opts, NAP, &w.productEstimate);
        algFillGaps(&pres, &w.rawMeas, &opts, NAP, &w.procMeas, w.measuredMap);
        return true;
    }
    if (opts.pctMode == TARN_PCT_MODE_INTERPOLATED &&
        algInterpProcPct(&pres, &w.rawMeas, &opts, NAP, &w.procMeas, w.measuredMap) == 0) {
        return true;
    }
    failed = true;
    return false;
}

// Per-path estimates from the processed tones: coverage, calibration and
// prior rotation, phase slope, impulse response, MUSIC, and the selection of
// antenna paths. Returns the options the stages after MUSIC read.
const ConfigOpts &estimatePaths(const ConfigOpts &in, PresState &pres, int nap, bool reset,
                                PhaseWork &w) {
    const int8_t NAP = static_cast<int8_t>(nap);
    algCalcGmapConf(w.measuredMap, NAP, w.rawMeas.gconf);
    for (int j = 0; j < nap; ++j) {
        w.rawGconf[j] = w.rawMeas.gconf[j];
        int g = static_cast<int>(w.rawMeas.gconf[j]) + in.fiAddGconf;
        g = g < 0 ? 0 : (g > 100 ? 100 : g);
        w.rawMeas.gconf[j] = static_cast<uint8_t>(g);
    }
    logCoverage(w.rawMeas.gconf, nap);

    // The phase result is still all zero here (the prior rotation reads it).
    rotatePct(&pres, &w.rawMeas, &w.procMeas, in, NAP, &w.phase, w.cal);
    algEstWithPhase(&pres, &w.rawMeas, &w.procMeas, &in, NAP, &w.phase);
    logPhase(w.phase, nap);

    cirProcess(w.rawMeas, w.procMeas, in, nap, w.cir, w.cirEstimate);
    logCir(w.cirEstimate, nap);
    w.cirPaths = nap;

    estWithMusic(&pres, &w.rawMeas, &w.procMeas, &in, NAP, &w.music, w.phase.pdest, reset,
                 MusicRoute::kFast, &w.musicWork);
    w.musicRan = true;
    const ConfigOpts &opts = optionsAfterMusic(in, w.afterMusic);
    const int orders = usedOrders(opts);

    // pdest is in metres x distSF while muOffset is stated in metres; the
    // comparison is kept as it is made.
    if (opts.muOffsetFilter == 1) {
        for (int j = 0; j < nap; ++j) {
            if (!(w.phase.pdest[j] < opts.muOffset)) continue;
            for (int o = 0; o < orders; ++o) w.music.valid[o][j] = 0;
        }
    }
    if (opts.EnableCal == 1) logRawMusic(w.music, opts, nap, orders);
    logMusic(w.music, orders);

    if (opts.muConfFacLen >= 2) {
        const double wt = opts.muConfFac[1];
        for (int o = 0; o < orders; ++o) {
            for (int j = 0; j < nap; ++j) {
                double &c = w.music.conf[o][j];
                if (c != -1.0) c = wt * w.phase.pconf[j] + c * (1.0 - wt);
            }
        }
    }

    if (opts.EnableCal == 1) {
        for (int j = 0; j < nap; ++j) w.music.pathValid[j] = 1;
    } else {
        if (opts.correctMusicWithCir == 1)
            combineMusicWithCir(&w.music, &w.cirEstimate, &w.phase, &opts);
        algMultiAntennaFiltering(w.rawGconf, &w.music, &w.phase, &w.cirEstimate, &opts, NAP);
    }
    return opts;
}

// The tracked estimate as the link delivers it: "no distance" becomes
// distance 0 with confidence -1; quant rounds both.
RangeEstimate deliverable(const PresState &pres, const ConfigOpts &opts) {
    double D = pres.dest;
    double C = pres.conf;
    if (tarn_common::isNoDistanceMarker(D) || !std::isfinite(D)) {
        D = tarn_common::kNoEstimateDest;
        C = tarn_common::kNoConfidence;
    }
    if (opts.quant != 0) {
        D = std::round(D);
        C = std::round(C);
    }
    const int32_t conf = truncToInt32(C);
    const int8_t confByte =
        static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint32_t>(conf) & 0xFFu));
    DEBUG_LOG(0, "[Filter] RTP Distance: %lf Confidence: %d\n", D, static_cast<int>(confByte));
    return RangeEstimate{1, D, static_cast<double>(confByte), 0.0};
}

}  // namespace

// The phase pipeline of one procedure, top to bottom.
PhaseOutcome tarn_rtp::phaseEstimate(const CsMeasurement &meas, double timeUs,
                                     const ConfigOpts &opts, PresState &link,
                                     NewPresState &filters, PhaseWork &w, MotionRequest *motion) {
    PhaseOutcome out = {};
    // Nothing of the previous computation (often another link's) may pass
    // for this one's, also when this one stops early.
    w.cirPaths = 0;
    w.cal.written = false;
    w.cal.finished = false;
    w.musicRan = false;
    const int nap = static_cast<int8_t>(meas.NAP);
    DEBUG_LOG(0, "NAP %d", nap);
    if (nap < 1 || nap > kPaths) {
        DEBUG_LOG(1, "Incorrect NAP [%d]\n", nap);
        DEBUG_LOG(3, "NAP should be: 1 to %d\n", kPaths);
        return out;
    }
    if (meas.initSteps == nullptr || meas.reflSteps == nullptr || meas.N == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return out;
    }
    bool reset = true;
    if (!prepareTones(meas, timeUs, opts, link, nap, w, motion, reset, out.failed)) return out;
    const ConfigOpts &after = estimatePaths(opts, link, nap, reset, w);

    DEBUG_LOG(2, "algEstWithFilter: out: \n");
    print_context_pres(&link);
    DEBUG_LOG(2, " pres->csFilter.length %d", link.csFilter.length);
    const bool fresh =
        phaseResultFilter(link, filters, w.rawMeas, w.phase, w.music, after, nap, reset ? 1 : 0);

    out.done = true;
    out.restarted = reset;
    out.estimate = deliverable(link, after);
    out.fresh = fresh;
    return out;
}

void tarn_rtp::keepOptionWrites(ConfigOpts &linkOpts, const PhaseWork &w) {
    keepCalTableUpdate(linkOpts, w.cal);
    if (w.musicRan) leaveMusicSets(linkOpts);
}
