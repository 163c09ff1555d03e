// The exported phase pipeline: its stages as adapters over the engine's, the
// MUSIC and impulse-response stages and the driver RTP_calcEstimate on the
// shared work areas callers outside the worker use one at a time (the
// worker hands down work areas of its own and takes none of these locks).
#include <cstring>
#include <mutex>

#include "compat/legacy_work.h"
#include "rtp/rtp_cir.h"
#include "rtp/rtp_driver.h"
#include "rtp/rtp_internal.h"
#include "rtp/rtp_music.h"
#include "rtp/rtp_stages.h"
#include "tarn_diag.h"
#include "tarn_rtp.h"

namespace {

// RTP_calcEstimate's work area.
tarn_rtp::PhaseWork gSharedWork;
std::mutex gSharedWorkLock;

// One response at the largest transform size. Kept in static storage, not on
// the stack (it is over half a megabyte) and not thread_local: a block that
// size in static TLS would be carved out of every thread of the host process,
// the 1 MiB estimation thread included. Calls are serialised instead.
tarn_rtp::CirWork gCirWork;
std::mutex gCirWorkLock;

// The MUSIC stage's default workspace.
std::mutex gMusicLock;

tarn_rtp::MusicWorkspace &musicWorkspace() {
    static tarn_rtp::MusicWorkspace ws;
    return ws;
}

}  // namespace

namespace tarn_compat {

int rootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                  tarn_rtp::MusicRoute route) {
    std::lock_guard<std::mutex> hold(gMusicLock);
    return tarn_rtp::rootMusicFreq(R, p, L, stride, freq, mag, route, &musicWorkspace());
}

void estWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                  const ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest,
                  bool reset, tarn_rtp::MusicRoute route) {
    std::lock_guard<std::mutex> hold(gMusicLock);
    tarn_rtp::estWithMusic(pres, rawMeas, procMeas, opts, NAP, music, pdest, reset, route,
                           &musicWorkspace());
}

}  // namespace tarn_compat

extern "C" {

void algCalcGmap(const uint8_t (*initToneQual)[TARN_MAX_ANT_PATHS],
                 const uint8_t (*reflToneQual)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                 uint16_t numTones, int8_t NAP, uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS]) {
    tarn_rtp::algCalcGmap(initToneQual, reflToneQual, opts, numTones, NAP, toneGmap);
}

void algOrderChans(const PresState *pres, double timeUs, const uint8_t *toneChannel,
                   const TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                   const TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS],
                   const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                   uint16_t numTones, int8_t NAP, ToneRecord *rawMeas) {
    tarn_rtp::algOrderChans(pres, timeUs, toneChannel, initToneC, reflToneC, toneGmap, opts, numTones, NAP, rawMeas);
}

void algCalcGmapConf(const uint8_t (*map)[TARN_MAX_ANT_PATHS], int8_t NAP, uint8_t *gconf) {
    tarn_rtp::algCalcGmapConf(map, NAP, gconf);
}

void algPhaseUnwrap(const double *src, int n, double h, double *dst) {
    tarn_rtp::algPhaseUnwrap(src, n, h, dst);
}

void algGradientUnwrap(const int8_t *chan, int k, int8_t nap, const double *phase,
                       double h, double *gradient, double *out) {
    tarn_rtp::algGradientUnwrap(chan, k, nap, phase, h, gradient, out);
}

void algFillGaps(const PresState *pres, const ToneRecord *rawMeas, const ConfigOpts *opts,
                 int8_t NAP, ToneRecord *procMeas,
                 uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]) {
    tarn_rtp::algFillGaps(pres, rawMeas, opts, NAP, procMeas, measuredMap);
}

int8_t algInterpProduct(ToneRecord *rawMeas, const ConfigOpts *opts, int8_t NAP,
                        ToneRecord *procMeas, uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]) {
    return tarn_rtp::algInterpProduct(rawMeas, opts, NAP, procMeas, measuredMap);
}

int8_t algProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts,
                  int8_t NAP, const RangeEstimate *productEstimate) {
    return tarn_rtp::algProcPct(pres, rawMeas, opts, NAP, productEstimate);
}

int8_t algInterpProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts,
                        int8_t NAP, ToneRecord *procMeas,
                        uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]) {
    return tarn_rtp::algInterpProcPct(pres, rawMeas, opts, NAP, procMeas, measuredMap);
}

void rootUnwrap(ToneRecord *procMeas, ToneRecord *rawMeas, const PresState *pres,
                const ConfigOpts *opts, int8_t NAP) {
    tarn_rtp::rootUnwrap(procMeas, rawMeas, pres, opts, NAP);
}

void alg_rotatePct(PresState *pres, ToneRecord *rawMeas, ToneRecord *procMeas,
                   ConfigOpts *opts, int8_t NAP, const PhaseResult *phaseResult) {
    tarn_rtp::alg_rotatePct(pres, rawMeas, procMeas, opts, NAP, phaseResult);
}

int8_t alignEventPhases(const TarnCplxI4 (*initToneIq)[TARN_MAX_ANT_PATHS],
                        const TarnCplxI4 (*reflToneIq)[TARN_MAX_ANT_PATHS],
                        const double (*tonePhase)[TARN_MAX_ANT_PATHS],
                        const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS],
                        const uint8_t *modes, const uint8_t *channels,
                        const ConfigOpts *opts, uint16_t N, int8_t NAP, uint16_t numTones,
                        TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                        TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS]) {
    return tarn_rtp::alignEventPhases(initToneIq, reflToneIq, tonePhase, toneGmap, modes, channels, opts, N, NAP, numTones, initToneC, reflToneC);
}

int calcPhaseDifferencesD(const double *phase, const uint8_t *gmap, uint16_t numTones,
                          int prevFirst, int prevLast, int curFirst, int curLast,
                          int nReps, uint16_t N, uint32_t qWrap, double *diff) {
    return tarn_rtp::calcPhaseDifferencesD(phase, gmap, numTones, prevFirst, prevLast, curFirst, curLast, nReps, N, qWrap, diff);
}

void algEstWithPhase(const PresState *pres, const ToneRecord *first,
                     const ToneRecord *second, const ConfigOpts *opts, int8_t NAP,
                     PhaseResult *out) {
    tarn_rtp::algEstWithPhase(pres, first, second, opts, NAP, out);
}

void alg_estimateProductChannelDist(const PresState *pres, ToneRecord *rawMeas,
                                    const ConfigOpts *opts, int8_t NAP,
                                    RangeEstimate *productEstimate) {
    tarn_rtp::alg_estimateProductChannelDist(pres, rawMeas, opts, NAP, productEstimate);
}

void algCalcCovD(const TarnCplxD *samples, int N, int L, int stride, TarnCplxD *R) {
    tarn_rtp::algCalcCovD(samples, N, L, stride, R);
}

void algCalcCov(const TarnCplxL *samples, int N, int L, int stride, TarnCplxD *R) {
    tarn_rtp::algCalcCov(samples, N, L, stride, R);
}

double computeDelaySpread(const double *magnitudes, uint16_t len, double energy,
                          const ConfigOpts *opts) {
    return tarn_rtp::computeDelaySpread(magnitudes, len, energy, opts);
}

void findPeaks(const double *values, uint16_t len, double *peakValues,
               uint16_t *peakLocs, uint16_t *numPeaks) {
    tarn_rtp::findPeaks(values, len, peakValues, peakLocs, numPeaks);
}

double getFractionalPeakLoc(double early, double onTime, double late) {
    return tarn_rtp::getFractionalPeakLoc(early, onTime, late);
}

void combineMusicWithCir(MusicResult *music, const CirEstimate *cir,
                         const PhaseResult *phase, const ConfigOpts *opts) {
    tarn_rtp::combineMusicWithCir(music, cir, phase, opts);
}

void algMultiAntennaFiltering(const uint8_t *rawGconf, MusicResult *music,
                              const PhaseResult *phaseResult,
                              const CirEstimate *cirEstimate, const ConfigOpts *opts,
                              int8_t NAP) {
    tarn_rtp::algMultiAntennaFiltering(rawGconf, music, phaseResult, cirEstimate, opts, NAP);
}

void algEstRTPWithFilter(NewPresState *state, const ToneRecord *rawMeas,
                         const ToneRecord *procMeas, const PhaseResult *phase,
                         MusicResult *music, const ConfigOpts *opts, int8_t NAP,
                         RangeEstimate *out, int reset) {
    tarn_rtp::algEstRTPWithFilter(state, rawMeas, procMeas, phase, music, opts, NAP, out, reset);
}

int algRootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag) {
    return tarn_compat::rootMusicFreq(R, p, L, stride, freq, mag, tarn_rtp::MusicRoute::kFast);
}

void algEstWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                     ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest,
                     bool reset) {
    tarn_compat::estWithMusic(pres, rawMeas, procMeas, opts, NAP, music, pdest, reset,
                              tarn_rtp::MusicRoute::kFast);
    tarn_rtp::leaveMusicSets(*opts);
}

void algProcessCir(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                   const ConfigOpts *opts, int8_t NAP, CirEstimate *cir) {
    (void)pres;
    if (rawMeas == nullptr || procMeas == nullptr || opts == nullptr || cir == nullptr) return;
    DEBUG_LOG(4, tarn_rtp::kStageEnter, "algProcessCir");
    {
        std::lock_guard<std::mutex> hold(gCirWorkLock);
        tarn_rtp::cirProcess(*rawMeas, *procMeas, *opts, NAP, gCirWork, *cir);
    }
    DEBUG_LOG(4, tarn_rtp::kStageExit, "algProcessCir");
}

int RTP_calcEstimate(CsContext *ctx) {
    DEBUG_LOG(3, "%s ENTER \n", "RTP_calcEstimate");
    if (ctx == nullptr || ctx->meas == nullptr || ctx->opts == nullptr || ctx->pres == nullptr ||
        ctx->result == nullptr) {
        DEBUG_LOG(1, "No measurement data found.\n");
        return 0;
    }
    // The entry point's contract: calibration mode rewrites the link's
    // options, and the phase tracking goes through the shared gNewPres
    // (its filter memory lives there; the tracked estimate is mirrored).
    tarn_rtp::applyPhaseCalibrationMode(*ctx->opts);
    tarn_rtp::PhaseOutcome out;
    {
        std::lock_guard<std::mutex> hold(gSharedWorkLock);
        out = tarn_rtp::phaseEstimate(*ctx->meas, ctx->timeUs, *ctx->opts, *ctx->pres, gNewPres,
                                      gSharedWork, nullptr);
        tarn_rtp::keepOptionWrites(*ctx->opts, gSharedWork);
    }
    if (out.failed) {
        ctx->result->dest = 0.0;
        ctx->result->conf = 0;
        return 0;
    }
    if (!out.done) return 0;
    const PresState &p = *ctx->pres;
    gNewPres.time = p.time;
    gNewPres.valid = p.valid;
    gNewPres.dest = p.dest;
    gNewPres.conf = p.conf;
    gNewPres.vest = p.vest;
    gNewPres.inValidCounter = p.inValidCounter;
    std::memcpy(gNewPres.apInvalidCounter, p.apInvalidCounter, sizeof p.apInvalidCounter);
    ctx->result->dest = out.estimate.dest;
    ctx->result->conf = static_cast<int8_t>(out.estimate.conf);
    DEBUG_LOG(3, "%s EXIT\n", "RTP_calcEstimate");
    return 1;
}

}  // extern "C"
