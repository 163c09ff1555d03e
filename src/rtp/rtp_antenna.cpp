// Antenna-path selection: drops MUSIC results and whole antenna paths that
// the phase slope, coverage, phase fit, impulse response or MUSIC spread
// show to be poor, before the result filter combines what is left.
#include <cmath>

#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace {

constexpr int kOrderRows = 7;  // the options allow at most 7 MUSIC orders
using tarn_common::kNoDistance;

void dropPath(MusicResult &music, int j) {
    for (int o = 0; o < kOrderRows; ++o) {
        music.dest[o][j] = kNoDistance;
        music.conf[o][j] = 0.0;
        music.valid[o][j] = 0;
    }
}

bool cirIsBad(const CirEstimate &cir, const ConfigOpts &opts, int j) {
    const int peaks = cir.numPeaks[j];
    const int before = cir.numPeaksBeforeMaxPeak[j];
    return cir.maxToMeanCirDB[j] < opts.minCirMaxToMeanLeveldB ||
           cir.maxToMedianCirDB[j] < opts.minCirMaxToMedianLeveldB ||
           cir.delaySpread[j] > opts.maxAllowedDS ||
           peaks > opts.cirMaxAllowedTapsAbovePeakRatio ||
           before > opts.cirMaxAllowedTapsBeforeMaxPeak || 2 * before > peaks;
}

// Drops what the phase slope, coverage, phase fit and impulse response show
// to be poor: MUSIC results far from a confident phase slope, whole paths
// otherwise.
void dropPoorPaths(const uint8_t *rawGconf, MusicResult &mu, const PhaseResult &ph,
                   const CirEstimate &cir, const ConfigOpts &opts, int nap) {
    const double sf = opts.distSF;
    if (opts.phaseConfidenceThresh != 0.0) {
        for (int j = 0; j < nap; ++j) {
            if (!(ph.pconf[j] > opts.phaseConfidenceThresh)) continue;
            for (int o = 0; o < kOrderRows; ++o) {
                if (std::fabs(mu.dest[o][j] - ph.pdest[j]) > opts.phaseEstimateWindow * sf) {
                    mu.dest[o][j] = kNoDistance;
                    mu.valid[o][j] = 0;
                }
            }
        }
    }

    for (int j = 0; j < nap; ++j) {
        if (rawGconf[j] < opts.minAllowedGconf) {
            DEBUG_LOG(2, "Gconf %d discarding path %d", opts.minAllowedGconf, j);
            dropPath(mu, j);
        }
    }

    if (opts.filterBasedOnPhFit == 1) {
        for (int j = 0; j < nap; ++j) {
            if (ph.phFit[j] > opts.maxAllowedPhFitError) dropPath(mu, j);
        }
    }

    // A path whose tones are all zero has no response at all; its level and
    // spread figures are NaN and would pass every comparison below.
    for (int j = 0; j < nap; ++j) {
        if (!(cir.energy[j] > 0.0)) {
            DEBUG_LOG(2, "Empty response discarding path %d", j);
            dropPath(mu, j);
        }
    }

    if (opts.filterBasedOnCIR == 1) {
        for (int j = 0; j < nap; ++j) {
            if (cirIsBad(cir, opts, j)) {
                DEBUG_LOG(2, "Cir discarding path %d", j);
                dropPath(mu, j);
            }
        }
    }
}

// Of the paths with a valid MUSIC order, drops the numFilterAntennaMusicStdDev
// widest and those whose MUSIC spread is far above the narrowest or too wide.
void dropWidePaths(MusicResult &mu, const ConfigOpts &opts, int nap) {
    const double sf = opts.distSF;
    double listed[kPaths];
    uint8_t listedPath[kPaths];
    int count = 0;
    for (int j = 0; j < nap; ++j) {
        bool any = false;
        for (int o = 0; o < kOrderRows; ++o) any = any || mu.valid[o][j] != 0;
        if (!any) {
            mu.pathValid[j] = 0;
        } else if (mu.pathValid[j] == 1) {
            listed[count] = mu.musicStd[j];
            listedPath[count] = static_cast<uint8_t>(j);
            ++count;
        }
    }

    double sorted[kPaths] = {0.0, 0.0, 0.0, 0.0};
    uint8_t order[kPaths] = {0, 0, 0, 0};
    aaMathSortVectorAndGetOrderDouble(listed, count, sorted, order, 0);
    const double lowest = count > 0 ? sorted[0] : 0.0;
    DEBUG_LOG(2, "lowestMusicStd %lf, %d", lowest, opts.numFilterAntennaMusicStdDev);
    // The largest spreads are at the end of the ascending list.
    const int widest = opts.numFilterAntennaMusicStdDev < count ? opts.numFilterAntennaMusicStdDev
                                                                : count;
    for (int r = count - widest; r < count; ++r) mu.pathValid[listedPath[order[r]]] = 0;

    for (int j = 0; j < nap; ++j) {
        if (mu.musicStd[j] - lowest > opts.keepAntPathWithStdWithinThreh * sf ||
            mu.musicStd[j] > opts.maxMusicStdDev * sf) {
            DEBUG_LOG(2, "musicStd discarding path %d  %lf %lf", j, mu.musicStd[j],
                      opts.keepAntPathWithStdWithinThreh);
            mu.pathValid[j] = 0;
            dropPath(mu, j);
        } else if (mu.pathValid[j] == 0) {
            dropPath(mu, j);
        }
        DEBUG_LOG(2, "music->validAntennaPathIdx[%d] =  %d ", j, mu.pathValid[j]);
    }
}

}  // namespace

namespace tarn_rtp {

void algMultiAntennaFiltering(const uint8_t *rawGconf, MusicResult *music,
                              const PhaseResult *phaseResult, const CirEstimate *cirEstimate,
                              const ConfigOpts *opts, int8_t NAP) {
    if (rawGconf == nullptr || music == nullptr || phaseResult == nullptr ||
        cirEstimate == nullptr || opts == nullptr) {
        return;
    }
    DEBUG_LOG(4, kStageEnter, "algMultiAntennaFiltering");
    const int nap = clampPaths(NAP);
    // Paths the procedure does not have are never counted as usable.
    for (int j = 0; j < kPaths; ++j) music->pathValid[j] = j < nap ? 1 : 0;
    dropPoorPaths(rawGconf, *music, *phaseResult, *cirEstimate, *opts, nap);
    dropWidePaths(*music, *opts, nap);
    DEBUG_LOG(4, kStageExit, "algMultiAntennaFiltering");
}

}  // namespace tarn_rtp
