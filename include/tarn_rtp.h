/* Legacy exports of the phase-based ranging pipeline: its stages and the
 * driver RTP_calcEstimate (the records are in tarn_rtp_types.h). */
#ifndef TARN_RTP_H
#define TARN_RTP_H

#include "tarn_rtp_types.h"
#include "tarn_common.h"
#include "tarn_config.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"

TARN_BEGIN_DECLS

/* ---- Gain map, channel order, coverage ---------------------------------- */

/* Marks each tone (numTones tones in step order, NAP paths) usable or not
 * from both sides' quality indicators. numTones is at most 256. */
TARN_API void algCalcGmap(const uint8_t (*initToneQual)[TARN_MAX_ANT_PATHS],
                          const uint8_t (*reflToneQual)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                          uint16_t numTones, int8_t NAP, uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS]);

/* Arranges tones in step order into one tone per channel (the earliest tone
 * of each channel 0..78) in rawMeas. pres and opts are not used. */
TARN_API void algOrderChans(const PresState *pres, double timeUs, const uint8_t *toneChannel,
                            const TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                            const TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS],
                            const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                            uint16_t numTones, int8_t NAP, ToneRecord *rawMeas);

/* Coverage confidence (percent) of each path's counted channels (map entry 1);
 * writes all four entries of gconf. */
TARN_API void algCalcGmapConf(const uint8_t (*map)[TARN_MAX_ANT_PATHS], int8_t NAP, uint8_t *gconf);

/* ---- Unwrapping and gap filling ------------------------------------------ */

/* Sequential unwrap of n phases (period 2h) from src into dst. */
TARN_API void algPhaseUnwrap(const double *src, int n, double h, double *dst);

/* Unwraps the phases of k ascending channels (k at most 79), guided by their
 * mean gradient; writes the unwrapped phases to out and the gradient (phase
 * units per channel) to gradient. nap is not used. */
TARN_API void algGradientUnwrap(const int8_t *chan, int k, int8_t nap, const double *phase,
                                double h, double *gradient, double *out);

/* Fills the channel gaps of the one-way response in rawMeas into procMeas;
 * measuredMap marks the measured (not interpolated) channels. pres is not used. */
TARN_API void algFillGaps(const PresState *pres, const ToneRecord *rawMeas, const ConfigOpts *opts,
                          int8_t NAP, ToneRecord *procMeas,
                          uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);

/* Forms the two-way product of rawMeas (also stored in rawMeas->pct) and fills
 * its gaps into procMeas. Returns 0, or -1 when an interpolated amplitude came
 * out negative (the fill is completed all the same). */
TARN_API int8_t algInterpProduct(ToneRecord *rawMeas, const ConfigOpts *opts, int8_t NAP,
                                 ToneRecord *procMeas, uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);

/* ---- Tone processing and calibration ------------------------------------ */

/* One-way response from both directions' tones (mode 0): for each path < NAP
 * the continuous square root of initPct x reflPct (phases unwrapped over the
 * channels, then halved), rotated by the prior distance less disCal[path]
 * (prior: the product-channel estimate when pctPrior is 3 or 5 and it is
 * valid, else a valid previous distance pres->dest, else 0; a previous
 * distance of +-2147483647 is never a prior), conjugated when pctInvert is 1,
 * rounded when quant is 1. Writes rawMeas->pct (cleared first) and
 * rawMeas->prior (metres). productEstimate->dest is in metres x distSF.
 * Returns 0, or -1 when pctMode is not 0. Pointers are borrowed for the call;
 * pres and productEstimate may be null (no prior from them). */
TARN_API int8_t algProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts,
                           int8_t NAP, const RangeEstimate *productEstimate);

/* Mode 1: fills the gaps of the two-way product into procMeas
 * (algInterpProduct), then takes its rotated square root (rootUnwrap).
 * Returns algInterpProduct's result (0, or -1 = a filled amplitude came out
 * negative; the square root is skipped then). */
TARN_API int8_t algInterpProcPct(const PresState *pres, ToneRecord *rawMeas, const ConfigOpts *opts,
                                 int8_t NAP, ToneRecord *procMeas,
                                 uint8_t (*measuredMap)[TARN_MAX_ANT_PATHS]);

/* Replaces procMeas->pct (a two-way product) by its continuous square root,
 * rotated by the prior less disCal[path]: the prior is pres->dest / distSF
 * when pctPrior is 3 (whether or not pres is valid, unless it is the
 * +-2147483647 "no distance" sentinel), else 0. Writes rawMeas->prior (m). */
TARN_API void rootUnwrap(ToneRecord *procMeas, ToneRecord *rawMeas, const PresState *pres,
                         const ConfigOpts *opts, int8_t NAP);

/* Per-channel calibration and the phase-result prior, on procMeas->pct:
 * - while opts->estimateFilterChannel is non-zero, each call adds the tones'
 *   normalised ratio to the response expected at trueCalibrationDistance into
 *   opts->calTable; the maxProcForCal-th call since estimation was switched
 *   on turns the sums into the normalised reciprocal average and switches
 *   estimation off and application (applyEstimatedReverseChannel) on. The
 *   count is kept per link in *pres (restarted, with the table cleared,
 *   whenever estimation is switched on); maxProcForCal 0 never finishes.
 * - with applyEstimatedReverseChannel 1, multiplies every tone by the table;
 * - with pctPrior 4, rotates by PhaseResult->pdest (the prior becomes
 *   rawMeas->prior, 0 below 20 m).
 * pres may be null only outside calibration runs (estimation is skipped
 * then). Writes opts' calTable, estimateFilterChannel and
 * applyEstimatedReverseChannel. Pointers are borrowed for the call. */
TARN_API void alg_rotatePct(PresState *pres, ToneRecord *rawMeas, ToneRecord *procMeas,
                            ConfigOpts *opts, int8_t NAP, const PhaseResult *phaseResult);

/* ---- Event phase alignment ----------------------------------------------- */

/* Converts the tones to complex double and, event by event (an event is a run
 * of steps with non-zero mode), rotates each event's tones so that all events
 * of a path share the phase reference of its first event with tones. The
 * offset between neighbouring events is measured on the channels the later
 * event repeats (see calcPhaseDifferencesD).
 *
 * Tone arrays are indexed [tone position][path], tone positions counting the
 * mode-2/mode-3 steps in step order; they hold TARN_MAX_TONES rows and the
 * first numTones (clamped to 0..256) are read. tonePhase is the two-way phase
 * in phase units (qWrap per turn) folded into [0, qWrap); toneGmap 1 marks a
 * usable tone. modes and channels hold N entries (N is clamped to
 * TARN_MAX_STEPS). N and numTones are full-width counts: a 256-step procedure
 * with 256 tones is aligned. NAP is clamped to 0..4. All pointers are the
 * caller's, read (or, for initToneC and reflToneC, written) during the call
 * only. initToneC and reflToneC receive rows 0..numTones-1 for paths < NAP.
 *
 * An event whose repeated tones fall outside its own or its neighbour's tone
 * range, or that follows an event without tones, cannot be aligned: its tones
 * are only converted, the log says why, and later events are aligned to it.
 * Alignment is skipped (tones converted only) when qWrap is below 2.
 *
 * Returns the number of events whose offset could not be measured, summed over
 * the paths (at most 127); 0 also when a pointer is null (nothing written). */
TARN_API int8_t alignEventPhases(const TarnCplxI4 (*initToneIq)[TARN_MAX_ANT_PATHS],
                                 const TarnCplxI4 (*reflToneIq)[TARN_MAX_ANT_PATHS],
                                 const double (*tonePhase)[TARN_MAX_ANT_PATHS],
                                 const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS],
                                 const uint8_t *modes, const uint8_t *channels,
                                 const ConfigOpts *opts, uint16_t N, int8_t NAP, uint16_t numTones,
                                 TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                                 TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS]);

/* Phase differences between two neighbouring events of one path. phase and
 * gmap are that path's tone phases (phase units) and usable flags by tone
 * position, numTones entries (clamped to 0..256). The previous event holds
 * tone positions prevFirst..prevLast, the current one curFirst..curLast. For
 * r = 0..nReps-1 (nReps clamped to 0..TARN_MAX_EVENT_REPS) the previous tone
 * prevLast - r pairs with the current tone curFirst + nReps - 1 - r; pairs
 * with a tone outside its event's range (or outside 0..numTones-1) are left
 * out. Each pair with both tones usable gives phase[prev] - phase[cur] folded
 * into [0, qWrap), written in pairing order to diff (room for
 * TARN_MAX_EVENT_REPS values, caller's). N is the procedure's step count,
 * logged only.
 *
 * Returns the number of differences written (0 when nReps is 0 or no pair is
 * usable), or -1 when nReps > 0 and no pair lies within both events' ranges
 * (or phase, gmap or diff is null, or qWrap is 0). */
TARN_API int calcPhaseDifferencesD(const double *phase, const uint8_t *gmap, uint16_t numTones,
                                   int prevFirst, int prevLast, int curFirst, int curLast,
                                   int nReps, uint16_t N, uint32_t qWrap, double *diff);

/* ---- Phase-slope estimator ----------------------------------------------- */

/* Distance per antenna path (paths 0..NAP-1) from the slope of the unwrapped
 * phases of second->pct over the usable channels (second->gmap), plus
 * first->prior and calDistOffset; chanList, gconf and prior are read from
 * first. Writes out->pdest (m x distSF), out->pconf (0..100) and out->phFit
 * (degrees). A path with fewer than 10 usable channels gets pdest 0 and
 * pconf 0 (phFit untouched). pres is not used; first and second may be the
 * same record. Pointers are borrowed for the call. */
TARN_API void algEstWithPhase(const PresState *pres, const ToneRecord *first,
                              const ToneRecord *second, const ConfigOpts *opts, int8_t NAP,
                              PhaseResult *out);

/* Coarse distance from the raw product initPct x reflPct (stored into
 * rawMeas->pct): phase slope per path, halved (one way), x 0.65, negative
 * slopes beyond -10 m wrapped by one 299.7 m interval. Writes
 * rawMeas->productDist (m x distSF), rawMeas->productValid, and
 * productEstimate (valid 1 and dest = median of the valid paths, m x distSF;
 * else valid 0, dest 0). A path with fewer than 10 usable channels is not
 * valid. pres is not used. Pointers are borrowed for the call. */
TARN_API void alg_estimateProductChannelDist(const PresState *pres, ToneRecord *rawMeas,
                                             const ConfigOpts *opts, int8_t NAP,
                                             RangeEstimate *productEstimate);

/* ---- MUSIC estimator ----------------------------------------------------- */

/* Forward-backward smoothed covariance of the N complex samples with
 * subarray length L into the L x L matrix R (row-major, row stride `stride`
 * elements): R[l][k] = sum over s < N-L+1 of (x[s+l] conj(x[s+k]) +
 * conj(x[s+L-1-l]) x[s+L-1-k]) / (2 (N-L+1)). Writes nothing when L < 1,
 * L > N or stride < L. Caller owns both arrays (samples: N entries; R: at
 * least (L-1) x stride + L entries). */
TARN_API void algCalcCovD(const TarnCplxD *samples, int N, int L, int stride, TarnCplxD *R);

/* The same covariance for samples given as 64-bit integer (re, im) pairs,
 * summed in 64-bit integers and scaled to double at the end (the integer
 * sums wrap instead of overflowing). Same limits and ownership as
 * algCalcCovD. */
TARN_API void algCalcCov(const TarnCplxL *samples, int N, int L, int stride, TarnCplxD *R);

/* Root-MUSIC on the Hermitian L x L matrix R (row stride `stride`, L at most
 * 28) with signal dimension p: the roots of the noise-subspace polynomial
 * inside the circle of radius 1.000001, closest to the unit circle first.
 * Writes freq[k] (root angle, radians per sample step; a sequence falling
 * in phase gives a negative angle) and mag[k] (root magnitude, at most
 * 0.999999) for k below the returned count, which is min(p, roots found),
 * or 0 when p < 1 or p >= L (no noise subspace). Entries from the returned
 * count up to p - 1 are set to freq 0, mag 0. Caller owns R (read only) and
 * freq and mag (p entries each). Allocates nothing. */
TARN_API int algRootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq,
                              double *mag);

/* MUSIC distances for antenna paths 0..NAP-1 (NAP clamped to 0..4) into
 * music, which the caller zeroes before the call: per order slot and path a
 * distance (m x distSF), a confidence (1..100, -1 without a distance) and a
 * valid flag, per path the spread musicStd; pathValid is not touched.
 * Reads pres->valid/time/dest, rawMeas->prior/gconf, procMeas->chanList/
 * gmap/pct and pdest (NAP phase-slope distances, m x distSF). With
 * useChannelCenterForBoundMusicEst = 1 the call runs its own 7-order set
 * and leaves the option's order and covariance sets at their fixed 6-order
 * defaults, whatever they held. A path with fewer than
 * 10 usable channels gets no distances. All pointers are owned by the caller
 * and used only during the call; allocates nothing (one static work area,
 * taken under its own lock: concurrent callers wait for each other). Not
 * reentrant for the same opts or music. */
TARN_API void algEstWithMusic(const PresState *pres, const ToneRecord *rawMeas,
                              const ToneRecord *procMeas, ConfigOpts *opts, int8_t NAP,
                              MusicResult *music, const double *pdest, bool reset);

/* ---- Channel impulse response and MUSIC correction ----------------------- */

/* Impulse response of each path j < NAP (clamped to 0..4) from the 79 tones
 * procMeas->pct[k][j] (every channel, whatever gmap says; zero tones enter the
 * transform as zeros), shifted by rawMeas->prior + cirOffset metres. Fills
 * cirDist, energy, maxToMeanCirDB, maxToMedianCirDB, delaySpread, numPeaks and
 * numPeaksBeforeMaxPeak of `cir` for those paths; other entries and
 * cir->reserved are left as they are. A path with all-zero tones gets energy 0
 * and NaN level/spread figures. pres is not used. All pointers are the
 * caller's, read (or for `cir` written) during the call only. Uses one
 * static work area under its own lock (concurrent callers wait for each
 * other; the library's worker uses a work area of its own); allocates
 * nothing. */
TARN_API void algProcessCir(const PresState *pres, const ToneRecord *rawMeas,
                            const ToneRecord *procMeas, const ConfigOpts *opts, int8_t NAP,
                            CirEstimate *cir);

/* RMS delay spread in metres of the response magnitudes `magnitudes`, which
 * must hold N values, N being the transform size the options give (see
 * TARN_CIR_DEFAULT_SIZE); energy is their sum of squares. len is not used. */
TARN_API double computeDelaySpread(const double *magnitudes, uint16_t len, double energy,
                                   const ConfigOpts *opts);

/* Local maxima of values[0..len-1]: a position t (1 <= t <= len-2) is a peak
 * when the sign of the slope decreases there (a flat top entered rising and
 * left falling gives a peak at both ends). Writes the peaks in ascending
 * position to peakValues / peakLocs (room for len entries each, caller-owned)
 * and their number to *numPeaks; len below 3 gives 0 peaks. */
TARN_API void findPeaks(const double *values, uint16_t len, double *peakValues,
                        uint16_t *peakLocs, uint16_t *numPeaks);

/* Vertex offset (in samples, relative to the middle sample) of the parabola
 * through three equally spaced values: (early - late) / (2 (early - 2 onTime +
 * late)), 0 when the denominator is 0. */
TARN_API double getFractionalPeakLoc(double early, double onTime, double late);

/* Lowers MUSIC distances to the impulse response's early-arrival distance:
 * for every path j and slot s with valid[s][j] == 1, cir->cirDist[j] > 0 and
 * cirDist[j] + cirCorrectionOffset < dest[s][j] / distSF, dest[s][j] becomes
 * cirDist[j] x distSF. Never raises a distance; flags and confidences are kept.
 * phase is not used. Pointers are the caller's, used during the call only. */
TARN_API void combineMusicWithCir(MusicResult *music, const CirEstimate *cir,
                                  const PhaseResult *phase, const ConfigOpts *opts);

/* ---- Antenna-path selection ---------------------------------------------- */

/* Selects antenna paths in place on `music` (order rows 0..6): MUSIC slots far
 * from a confident phase-slope distance lose their distance; paths with poor
 * coverage (rawGconf, percent, NAP entries), phase fit, impulse response, an
 * all-zero response (energy 0) or a MUSIC spread far above the best path's are
 * dropped (their rows get distance 2147483647.0, confidence 0, valid 0).
 * pathValid[j] ends 1 for kept paths below NAP (clamped to 0..4) and 0 for
 * dropped and absent ones. Pointers are the caller's, used during the call. */
TARN_API void algMultiAntennaFiltering(const uint8_t *rawGconf, MusicResult *music,
                                       const PhaseResult *phaseResult,
                                       const CirEstimate *cirEstimate, const ConfigOpts *opts,
                                       int8_t NAP);

/* ---- Result filter ------------------------------------------------------- */

/* Tracks one procedure's per-path estimates into the link's phase distance.
 * state: the tracked estimate, counters and filter memory of one link (the
 * library's own road keeps the tracked estimate in the link's PresState and
 * runs the same filter); read and updated in place. rawMeas: only its timeUs (the
 * procedure time, microseconds) is read. procMeas is not used and may be
 * null. phase: phase-slope distances and confidences per path. music: the
 * MUSIC slots (read) and pathValid (written by the tracking filter types 0
 * and 3). NAP: antenna paths, clamped to 0..4. out: receives the state's
 * current estimate {valid, dest, conf, vest} (dest in metres x distSF;
 * 2147483647.0 with valid 0 when there is no estimate; with filter type 1
 * conf is the Kalman variance). reset: non-zero restarts tracking. All
 * pointers except procMeas must be valid for the call only. Worker thread. */
TARN_API void algEstRTPWithFilter(NewPresState *state, const ToneRecord *rawMeas,
                                  const ToneRecord *procMeas, const PhaseResult *phase,
                                  MusicResult *music, const ConfigOpts *opts, int8_t NAP,
                                  RangeEstimate *out, int reset);

/* ---- Driver ------------------------------------------------------------- */

/* Phase-based estimate of the link's stored procedure into ctx->result.
 * Returns 1 when the result was written, 0 otherwise. Runs on the calling
 * thread; it waits only while another caller of this function runs (the
 * callers share one work area; the library's worker uses its own). ctx stays
 * the caller's. The link's tracked estimate and counters are ctx's PresState;
 * the result filter's memory is the shared gNewPres, whose tracked-estimate
 * fields are set to the link's afterwards, so outside the worker hold
 * csContextListlock around the call. */
TARN_API int RTP_calcEstimate(CsContext *ctx);

TARN_END_DECLS

#endif /* TARN_RTP_H */
