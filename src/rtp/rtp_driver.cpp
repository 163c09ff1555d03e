// Phase-based estimate of one stored procedure: the whole pipeline from the
// tone steps to the tracked distance in the link's result record.
#include <cmath>
#include <cstring>
#include <mutex>

#include "rtp/rtp_cir.h"
#include "rtp/rtp_driver.h"
#include "rtp/rtp_internal.h"
#include "rtp/rtp_motion.h"
#include "rtp/rtp_tones.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "tarn_rtp.h"

using namespace tarn_rtp;

namespace {

constexpr double kNoDistance = 2147483647.0;
constexpr int kOrders = TARN_MAX_MUSIC_ORDERS;

// Everything one estimate works on (about 90 KB). It lives in static
// storage rather than on the calling thread's stack, which must stay within
// 1 MiB for the whole pipeline, and not in thread-local storage, which would
// reserve it in every thread of the host process. The lock makes it the
// calling thread's for the whole call, and with it the shared working
// ranging state: calls never interleave.
struct DriverWork {
    RtpTones tones;
    uint8_t toneGmap[kMaxTones][kPaths];
    TarnCplxD initToneC[kMaxTones][kPaths];
    TarnCplxD reflToneC[kMaxTones][kPaths];
    ToneRecord rawMeas;
    ToneRecord procMeas;
    uint8_t measuredMap[kChannels][kPaths];
    RangeEstimate productEstimate;
    PhaseResult phase;
    MusicResult music;
    CirEstimate cir;
    RangeEstimate filterOut;
    uint8_t rawGconf[kPaths];
};

DriverWork gWork;
std::mutex gWorkLock;
// Which computation gWork holds, and how many of its antenna paths reached
// the impulse-response stage (0: none); both under gWorkLock.
uint32_t gComputation = 0;
int gCirPaths = 0;

int usedOrders(const ConfigOpts &opts) {
    return opts.muOrdSetLen > kOrders ? kOrders : opts.muOrdSetLen;
}

void applyCalibrationOverrides(ConfigOpts &opts) {
    opts.fiMaxPeriod = 0;
    opts.slidingWindowMaxPeriod = 0.0;
    opts.useChannelCenterForBoundMusicEst = 0;
    opts.rtpFilterType = 0;
    opts.fiDistanceCombiningMethod = 1;
    opts.smallerMusicOrderFilterOffsetLower = 2.5;
    opts.smallerMusicOrderFilterOffsetUpper = 2.5;
    opts.pctPrior = 5;
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

}  // namespace

uint32_t tarn_rtp::rtpLatestComputation() {
    std::lock_guard<std::mutex> hold(gWorkLock);
    return gComputation;
}

int tarn_rtp::rtpLatestImpulseResponse(uint32_t computation, const ConfigOpts &opts, int path,
                                       double *out, int capacity, double *tapM, double *firstM) {
    std::lock_guard<std::mutex> hold(gWorkLock);
    if (computation != gComputation || path < 0 || path >= gCirPaths) return 0;
    const int n = cirPathMagnitudes(gWork.rawMeas, gWork.procMeas, opts, path, out, capacity, tapM);
    // Tap 0 lies cirOffset before zero distance (the response is delayed by
    // it so that a direct path near 0 m does not wrap to the end).
    if (n > 0 && firstM != nullptr) *firstM = -opts.cirOffset;
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
void discardZeroPct(DriverWork &w, int numTones, int nap) {
    for (int k = 0; k < numTones; ++k) {
        for (int j = 0; j < nap; ++j) {
            const TarnCplxI4 &a = w.tones.initToneIq[k][j];
            const TarnCplxI4 &b = w.tones.reflToneIq[k][j];
            if ((a.re == 0 && a.im == 0) || (b.re == 0 && b.im == 0)) w.toneGmap[k][j] = 0;
        }
    }
}

void complexTones(DriverWork &w, const CsMeasurement &meas, const ConfigOpts &opts, int numTones,
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

// The phase tracking fields the link's state and the shared working state
// have in common (same names in both records).
template <typename From, typename To>
void copyTracking(const From &from, To &to, int nap) {
    to.time = from.time;
    to.valid = from.valid;
    to.dest = from.dest;
    to.conf = from.conf;
    to.vest = from.vest;
    to.inValidCounter = from.inValidCounter;
    for (int j = 0; j < nap; ++j) to.apInvalidCounter[j] = from.apInvalidCounter[j];
}

// The link's tracking state goes through the shared working state around
// the result filter.
void runResultFilter(CsContext &ctx, DriverWork &w, int nap, bool reset) {
    PresState &pres = *ctx.pres;
    DEBUG_LOG(2, "algEstWithFilter: out: \n");
    copyTracking(pres, gNewPres, nap);
    print_context_pres(&pres);
    DEBUG_LOG(2, " pres->csFilter.length %d", pres.csFilter.length);

    algEstRTPWithFilter(&gNewPres, &w.rawMeas, &w.procMeas, &w.phase, &w.music, ctx.opts,
                        static_cast<int8_t>(nap), &w.filterOut, reset ? 1 : 0);

    copyTracking(gNewPres, pres, nap);
}

int estimate(CsContext &ctx, DriverWork &w) {
    ConfigOpts &opts = *ctx.opts;
    PresState &pres = *ctx.pres;
    const CsMeasurement &meas = *ctx.meas;
    const int nap = static_cast<int8_t>(meas.NAP);
    DEBUG_LOG(0, "NAP %d", nap);

    if (opts.EnableCal == 1) applyCalibrationOverrides(opts);

    if (nap < 1 || nap > kPaths) {
        DEBUG_LOG(1, "Incorrect NAP [%d]\n", nap);
        DEBUG_LOG(3, "NAP should be: 1 to %d\n", kPaths);
        return 0;
    }
    if (meas.initSteps == nullptr || meas.reflSteps == nullptr || meas.N == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }

    std::memset(static_cast<void *>(&w), 0, sizeof w);
    // A full-width count: 256 tone steps are 256 tones.
    const int numTones = rtpExtractTones(meas, nap, opts, w.tones);
    if (numTones == 0) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    const int8_t NAP = static_cast<int8_t>(nap);
    const uint16_t nTones = static_cast<uint16_t>(numTones);
    const double now = ctx.timeUs / 1000000.0;
    const bool reset = rtpResetDecision(pres, opts, now);

    algCalcGmap(w.tones.initToneQual, w.tones.reflToneQual, &opts, nTones, NAP, w.toneGmap);
    if (opts.discardZeroPCT == 1) discardZeroPct(w, numTones, nap);
    complexTones(w, meas, opts, numTones, nap);
    // MOTION (issue 23): tracking mode 1 turns the tones back to the
    // procedure's start; without a request (mode 0) nothing happens.
    rtpCompensateMotion(meas, opts, numTones, nap, w.toneGmap, w.tones.toneChannel, w.initToneC,
                        w.reflToneC);
    algOrderChans(&pres, ctx.timeUs, w.tones.toneChannel, w.initToneC, w.reflToneC, w.toneGmap,
                  &opts, nTones, NAP, &w.rawMeas);

    if (opts.useProductChannelDist == 1 && (reset || pres.valid == 0)) {
        alg_estimateProductChannelDist(&pres, &w.rawMeas, &opts, NAP, &w.productEstimate);
    } else {
        w.productEstimate.valid = 0;
        for (int j = 0; j < nap; ++j) w.rawMeas.productValid[j] = 0;
    }

    bool processed = false;
    if (opts.pctMode == 0) {
        algProcPct(&pres, &w.rawMeas, &opts, NAP, &w.productEstimate);
        algFillGaps(&pres, &w.rawMeas, &opts, NAP, &w.procMeas, w.measuredMap);
        processed = true;
    } else if (opts.pctMode == 1) {
        processed = algInterpProcPct(&pres, &w.rawMeas, &opts, NAP, &w.procMeas, w.measuredMap) == 0;
    }
    if (!processed) {
        ctx.result->dest = 0.0;
        ctx.result->conf = 0;
        return 0;
    }

    algCalcGmapConf(w.measuredMap, NAP, w.rawMeas.gconf);
    for (int j = 0; j < nap; ++j) {
        w.rawGconf[j] = w.rawMeas.gconf[j];
        int g = static_cast<int>(w.rawMeas.gconf[j]) + opts.fiAddGconf;
        g = g < 0 ? 0 : (g > 100 ? 100 : g);
        w.rawMeas.gconf[j] = static_cast<uint8_t>(g);
    }
    logCoverage(w.rawMeas.gconf, nap);

    // The phase result is still all zero here (the prior rotation reads it).
    alg_rotatePct(&pres, &w.rawMeas, &w.procMeas, &opts, NAP, &w.phase);
    algEstWithPhase(&pres, &w.rawMeas, &w.procMeas, &opts, NAP, &w.phase);
    logPhase(w.phase, nap);

    algProcessCir(&pres, &w.rawMeas, &w.procMeas, &opts, NAP, &w.cir);
    logCir(w.cir, nap);
    gCirPaths = nap;

    algEstWithMusic(&pres, &w.rawMeas, &w.procMeas, &opts, NAP, &w.music, w.phase.pdest, reset);
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
        if (opts.correctMusicWithCir == 1) combineMusicWithCir(&w.music, &w.cir, &w.phase, &opts);
        algMultiAntennaFiltering(w.rawGconf, &w.music, &w.phase, &w.cir, &opts, NAP);
    }

    runResultFilter(ctx, w, nap, reset);

    double D = gNewPres.dest;
    double C = gNewPres.conf;
    if (D == -kNoDistance || D == kNoDistance || !std::isfinite(D)) {
        D = 0.0;
        C = -1.0;
    }
    if (opts.quant != 0) {
        D = std::round(D);
        C = std::round(C);
    }
    const int32_t conf = truncToInt32(C);
    ctx.result->dest = D;
    ctx.result->conf = static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint32_t>(conf) & 0xFFu));
    DEBUG_LOG(0, "[Filter] RTP Distance: %lf Confidence: %d\n", D, static_cast<int>(ctx.result->conf));
    return 1;
}

}  // namespace

extern "C" {

int RTP_calcEstimate(CsContext *ctx) {
    DEBUG_LOG(3, "%s ENTER \n", "RTP_calcEstimate");
    if (ctx == nullptr || ctx->meas == nullptr || ctx->opts == nullptr || ctx->pres == nullptr ||
        ctx->result == nullptr) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    int done;
    {
        std::lock_guard<std::mutex> hold(gWorkLock);
        ++gComputation;
        gCirPaths = 0;
        done = estimate(*ctx, gWork);
    }
    if (done == 1) DEBUG_LOG(3, "%s EXIT\n", "RTP_calcEstimate");
    return done;
}

}  // extern "C"
