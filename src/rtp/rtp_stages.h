// The phase pipeline's stages as engine functions: their contracts are those
// of the exported functions of the same names (tarn_rtp.h), which are
// adapters over these. The engine calls these directly. The exported MUSIC
// and impulse-response stages work in shared work areas and have no engine
// copy: the engine calls estWithMusic / rootMusicFreq (rtp_music.h) and
// cirProcess (rtp_cir.h) on work areas of its own.
#pragma once

#include "tarn_config_types.h"
#include "tarn_estimators_types.h"
#include "tarn_measurement_types.h"
#include "tarn_rtp_types.h"

namespace tarn_rtp {

void algCalcGmap(const uint8_t (*initToneQual)[TARN_MAX_ANT_PATHS],
                 const uint8_t (*reflToneQual)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                 uint16_t numTones, int8_t NAP, uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS]);
void algOrderChans(const PresState *pres, double timeUs, const uint8_t *toneChannel,
                   const TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                   const TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS],
                   const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                   uint16_t numTones, int8_t NAP, ToneRecord *rawMeas);
void algCalcGmapConf(const uint8_t (*map)[TARN_MAX_ANT_PATHS], int8_t NAP, uint8_t *gconf);
void algPhaseUnwrap(const double *src, int n, double h, double *dst);
void algGradientUnwrap(const int8_t *chan, int k, int8_t nap, const double *phase,
                       double h, double *gradient, double *out);
void algFillGaps(const PresState *pres, const ToneRecord *rawMeas, const ConfigOpts *opts,
                 int8_t NAP, ToneRecord *procMeas,
                 uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);
int8_t algInterpProduct(ToneRecord *rawMeas, const ConfigOpts *opts, int8_t NAP,
                        ToneRecord *procMeas, uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);
int8_t algProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts,
                  int8_t NAP, const RangeEstimate *productEstimate);
int8_t algInterpProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts,
                        int8_t NAP, ToneRecord *procMeas,
                        uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);
void rootUnwrap(ToneRecord *procMeas, ToneRecord *rawMeas, const PresState *pres,
                const ConfigOpts *opts, int8_t NAP);
void alg_rotatePct(PresState *pres, ToneRecord *rawMeas, ToneRecord *procMeas,
                   ConfigOpts *opts, int8_t NAP, const PhaseResult *phaseResult);
int8_t alignEventPhases(const TarnCplxI4 (*initToneIq)[TARN_MAX_ANT_PATHS],
                        const TarnCplxI4 (*reflToneIq)[TARN_MAX_ANT_PATHS],
                        const double (*tonePhase)[TARN_MAX_ANT_PATHS],
                        const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS],
                        const uint8_t *modes, const uint8_t *channels,
                        const ConfigOpts *opts, uint16_t N, int8_t NAP, uint16_t numTones,
                        TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                        TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS]);
int calcPhaseDifferencesD(const double *phase, const uint8_t *gmap, uint16_t numTones,
                          int prevFirst, int prevLast, int curFirst, int curLast,
                          int nReps, uint16_t N, uint32_t qWrap, double *diff);
void algEstWithPhase(const PresState *pres, const ToneRecord *first,
                     const ToneRecord *second, const ConfigOpts *opts, int8_t NAP,
                     PhaseResult *out);
void alg_estimateProductChannelDist(const PresState *pres, ToneRecord *rawMeas,
                                    const ConfigOpts *opts, int8_t NAP,
                                    RangeEstimate *productEstimate);
void algCalcCovD(const TarnCplxD *samples, int N, int L, int stride, TarnCplxD *R);
void algCalcCov(const TarnCplxL *samples, int N, int L, int stride, TarnCplxD *R);
double computeDelaySpread(const double *magnitudes, uint16_t len, double energy,
                          const ConfigOpts *opts);
void findPeaks(const double *values, uint16_t len, double *peakValues,
               uint16_t *peakLocs, uint16_t *numPeaks);
double getFractionalPeakLoc(double early, double onTime, double late);
void combineMusicWithCir(MusicResult *music, const CirEstimate *cir,
                         const PhaseResult *phase, const ConfigOpts *opts);
void algMultiAntennaFiltering(const uint8_t *rawGconf, MusicResult *music,
                              const PhaseResult *phaseResult,
                              const CirEstimate *cirEstimate, const ConfigOpts *opts,
                              int8_t NAP);
void algEstRTPWithFilter(NewPresState *state, const ToneRecord *rawMeas,
                         const ToneRecord *procMeas, const PhaseResult *phase,
                         MusicResult *music, const ConfigOpts *opts, int8_t NAP,
                         RangeEstimate *out, int reset);

}  // namespace tarn_rtp
