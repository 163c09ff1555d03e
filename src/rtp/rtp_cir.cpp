// Channel impulse response: per-path response by inverse FFT, its quality
// figures, the early-arrival distance, and the MUSIC correction it drives.
#include <cmath>

#include "math/math_internal.h"
#include "rtp/rtp_cir.h"
#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace {

constexpr int kMinCirSize = 128;  // must hold the 79 channels

double tapMetres(const ConfigOpts &opts, int n) {
    return opts.sol / (static_cast<double>(n) * 1e6);
}

// Magnitudes of path j's response into w.mag[0..n-1]. Every channel row
// enters the transform, so channels the gap filler left at zero (outside the
// measured span) are zeros in the spectrum: they narrow the band the response
// is formed from and widen its peaks, nothing else.
void pathMagnitudes(const ToneRecord &rawMeas, const ToneRecord &procMeas, const ConfigOpts &opts,
                    int j, int n, CirWork &w) {
    // The shift removes the prior and delays the response by cirOffset, so a
    // direct path near zero distance does not wrap to the end.
    const double shiftM = -(rawMeas.prior + opts.cirOffset);
    TarnCplxD x[kChannels];
    for (int k = 0; k < kChannels; ++k) {
        const double phi = 2.0 * kPi * (procMeas.chanList[k] * 1e6) * shiftM / opts.sol;
        x[k] = procMeas.pct[k][j] * TarnCplxD(std::cos(phi), std::sin(phi));
    }
    ifft(x, kChannels, w.resp, n);
    aaMathCalcMagCmplxDLong(w.resp, static_cast<uint32_t>(n), w.mag);
}

double medianOf(const double *values, int n, double *scratch) {
    tarn_math::sortedCopy(values, static_cast<std::size_t>(n), scratch);
    if (n % 2 == 0) return (scratch[n / 2 - 1] + scratch[n / 2]) * 0.5;
    return scratch[n / 2];
}

void processPath(const ToneRecord &rawMeas, const ToneRecord &procMeas, const ConfigOpts &opts,
                 int j, int n, CirWork &w, CirEstimate &cir) {
    pathMagnitudes(rawMeas, procMeas, opts, j, n, w);
    const uint32_t un = static_cast<uint32_t>(n);
    double mMax = 0.0;
    aaMathCalcMaxDoubleLong(w.mag, un, &mMax);
    const double mean = aaMathCalcMeanDoubleLong(w.mag, un);
    const double median = medianOf(w.mag, n, w.scratch);
    const double rms = aaMathCalcRMSLong(w.mag, un, 0);

    cir.energy[j] = rms * rms * n;
    cir.maxToMeanCirDB[j] = 10.0 * std::log10(mMax / mean);
    cir.maxToMedianCirDB[j] = 10.0 * std::log10(mMax / median);
    cir.delaySpread[j] = computeDelaySpread(w.mag, static_cast<uint16_t>(n), cir.energy[j], &opts);

    double *peakVal = w.scratch;
    uint16_t numPeaks = 0;
    findPeaks(w.mag, static_cast<uint16_t>(n), peakVal, w.peakLoc, &numPeaks);
    const int p = numPeaks;
    int kMax = 0;
    for (int k = 1; k < p; ++k) {
        if (peakVal[k] > peakVal[kMax]) kMax = k;
    }
    const double vMax = p > 0 ? peakVal[kMax] : 0.0;
    int above = 0;
    int aboveBefore = 0;
    for (int k = 0; k < p; ++k) {
        if (peakVal[k] > opts.cirPeakRatio * vMax) {
            ++above;
            if (k < kMax) ++aboveBefore;
        }
    }
    cir.numPeaks[j] = static_cast<uint16_t>(above);
    cir.numPeaksBeforeMaxPeak[j] = static_cast<uint16_t>(aboveBefore);

    cir.cirDist[j] = -1.0;
    if (cir.maxToMeanCirDB[j] < opts.cirValueAboveNoiseDBThr || p == 0) return;

    // The first peak before the strongest one that is both close to it in
    // level and clear of the mean marks the earliest arrival.
    for (int k = 0; k < kMax; ++k) {
        const double belowMax = -10.0 * std::log10(peakVal[k] / vMax);
        const double aboveMean = 10.0 * std::log10(peakVal[k] / mean);
        DEBUG_LOG(2, "Peak th %lf , %lf", belowMax, aboveMean);
        if (!(belowMax <= opts.cirDistFromMaxDBThr && aboveMean >= opts.cirValueAboveNoiseDBThr)) {
            continue;
        }
        // Parabola through the peak sample and its two neighbours (circular).
        const int t = w.peakLoc[k];
        const double early = w.mag[(t - 1 + n) % n];
        const double onTime = w.mag[t];
        const double late = w.mag[(t + 1) % n];
        const double delta = getFractionalPeakLoc(early, onTime, late);
        cir.cirDist[j] = (t + delta) * tapMetres(opts, n) - opts.cirOffset;
        DEBUG_LOG(2, "Early %lf , onTime %lf ,Late %lf, cirPeakLoc %d", early, onTime, late, t);
        break;
    }
}

}  // namespace

namespace tarn_rtp {

int cirTransformSize(const ConfigOpts &opts) {
    const int n = opts.ifftSize;
    if (n >= kMinCirSize && n <= TARN_CIR_MAX_SIZE && (n & (n - 1)) == 0) return n;
    return TARN_CIR_DEFAULT_SIZE;
}

int cirPathMagnitudes(const ToneRecord &rawMeas, const ToneRecord &procMeas,
                      const ConfigOpts &opts, int path, CirWork &work, double *out, int capacity,
                      double *tapM) {
    const int n = cirTransformSize(opts);
    if (path < 0 || path >= kPaths || out == nullptr || capacity < n) return 0;
    pathMagnitudes(rawMeas, procMeas, opts, path, n, work);
    for (int t = 0; t < n; ++t) out[t] = work.mag[t];
    if (tapM != nullptr) *tapM = tapMetres(opts, n);
    return n;
}

void cirProcess(const ToneRecord &rawMeas, const ToneRecord &procMeas, const ConfigOpts &opts,
                int nap, CirWork &work, CirEstimate &cir) {
    const int n = cirTransformSize(opts);
    if (n != opts.ifftSize) {
        DEBUG_LOG(1, "ifftSize %d unusable, using %d\n", opts.ifftSize, n);
    }
    for (int j = 0; j < clampPaths(nap); ++j) processPath(rawMeas, procMeas, opts, j, n, work, cir);
}

}  // namespace tarn_rtp

namespace tarn_rtp {

double computeDelaySpread(const double *magnitudes, uint16_t len, double energy,
                          const ConfigOpts *opts) {
    (void)len;
    if (magnitudes == nullptr || opts == nullptr) return 0.0;
    const int n = cirTransformSize(*opts);
    const double tap = (1.0 / n) * (opts->sol / 1e6);
    double mu = 0.0;
    for (int t = 0; t < n; ++t) mu += magnitudes[t] * magnitudes[t] / energy * (t * tap);
    double var = 0.0;
    for (int t = 0; t < n; ++t) {
        const double d = t * tap - mu;
        var += magnitudes[t] * magnitudes[t] / energy * d * d;
    }
    return std::sqrt(var);
}

void findPeaks(const double *values, uint16_t len, double *peakValues, uint16_t *peakLocs,
               uint16_t *numPeaks) {
    if (numPeaks == nullptr) return;
    *numPeaks = 0;
    if (values == nullptr || peakValues == nullptr || peakLocs == nullptr || len < 3) return;
    auto sign = [](double d) { return (d > 0.0) - (d < 0.0); };
    int count = 0;
    int prev = sign(values[1] - values[0]);
    for (int t = 1; t + 1 < len; ++t) {
        const int s = sign(values[t + 1] - values[t]);
        if (s < prev) {
            peakValues[count] = values[t];
            peakLocs[count] = static_cast<uint16_t>(t);
            ++count;
        }
        prev = s;
    }
    *numPeaks = static_cast<uint16_t>(count);
}

double getFractionalPeakLoc(double early, double onTime, double late) {
    const double den = 2.0 * (early - 2.0 * onTime + late);
    if (den == 0.0) return 0.0;
    return (early - late) / den;
}

void combineMusicWithCir(MusicResult *music, const CirEstimate *cir, const PhaseResult *phase,
                         const ConfigOpts *opts) {
    (void)phase;
    if (music == nullptr || cir == nullptr || opts == nullptr) return;
    const double sf = opts->distSF;
    for (int j = 0; j < kPaths; ++j) {
        const double cd = cir->cirDist[j];
        if (!(cd > 0.0)) continue;
        const double lowered = cd * sf;
        for (int s = 0; s < TARN_MUSIC_SLOTS; ++s) {
            if (music->valid[s][j] != 1) continue;
            const double d = music->dest[s][j];
            // The last test only matters for a negative correction offset,
            // which would otherwise move a distance up to the early arrival.
            if (cd + opts->cirCorrectionOffset < d / sf && lowered < d) music->dest[s][j] = lowered;
        }
    }
}

}  // namespace tarn_rtp
