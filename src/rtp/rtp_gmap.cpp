// Gain map from tone quality, one tone per channel, coverage confidence.
#include <cmath>
#include <cstring>

#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"
#include "rtp/rtp_stages.h"

using namespace tarn_rtp;

namespace {

// Quality indicator whose two low bits are set: the controller had none.
inline bool qualityUnavailable(uint8_t q) {
    return (q & 3u) == 3u;
}

}  // namespace

namespace tarn_rtp {

void algCalcGmap(const uint8_t (*initToneQual)[TARN_MAX_ANT_PATHS],
                 const uint8_t (*reflToneQual)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                 uint16_t numTones, int8_t NAP, uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS]) {
    const int n = clampTones(numTones);
    const int nap = clampPaths(NAP);
    DEBUG_LOG(4, kStageEnter, "algCalcGmap");
    DEBUG_LOG(4, "csQualByteInit : ");
    debug_print_2d_u1(&initToneQual[0][0], n, nap, kPaths);
    DEBUG_LOG(4, "csQualByteRefl : ");
    debug_print_2d_u1(&reflToneQual[0][0], n, nap, kPaths);

    const bool discard = opts->discardUnavailableQualityTones != 0;
    for (int k = 0; k < n; ++k) {
        for (int j = 0; j < nap; ++j) {
            const bool drop = discard && (qualityUnavailable(initToneQual[k][j]) ||
                                          qualityUnavailable(reflToneQual[k][j]));
            if (drop) DEBUG_LOG(2, "pct invalid ch %d antenna %d", k, j);
            toneGmap[k][j] = drop ? 0 : 1;
        }
    }
    DEBUG_LOG(4, kStageExit, "algCalcGmap");
}

void algOrderChans(const PresState *pres, double timeUs, const uint8_t *toneChannel,
                   const TarnCplxD (*initToneC)[TARN_MAX_ANT_PATHS],
                   const TarnCplxD (*reflToneC)[TARN_MAX_ANT_PATHS],
                   const uint8_t (*toneGmap)[TARN_MAX_ANT_PATHS], const ConfigOpts *opts,
                   uint16_t numTones, int8_t NAP, ToneRecord *rawMeas) {
    (void)pres;
    (void)opts;
    const int n = clampTones(numTones);
    const int nap = clampPaths(NAP);
    DEBUG_LOG(4, kStageEnter, "algOrderChans");

    uint8_t chanList[kChannels];
    for (int c = 0; c < kChannels; ++c) chanList[c] = static_cast<uint8_t>(c);

    // Tone position holding each channel's earliest tone; -1 = none.
    int tonePos[kChannels];
    for (int c = 0; c < kChannels; ++c) tonePos[c] = -1;

    // Channel indices outside 0..78 are dropped before sorting: they would be
    // ignored anyway, and the byte sort only orders values 0..127. Tone 0 is
    // always the earliest of its channel, so it is placed directly and the
    // sort sees at most 255 tones, within its byte-wide count and order.
    int first = 0;
    if (n > 0 && toneChannel[0] < kChannels) tonePos[toneChannel[0]] = 0;
    if (n > 0) first = 1;

    int8_t chv[kMaxTones];
    uint8_t pos[kMaxTones];
    int m = 0;
    for (int t = first; t < n; ++t) {
        if (toneChannel[t] >= kChannels) continue;
        chv[m] = static_cast<int8_t>(toneChannel[t]);
        pos[m] = static_cast<uint8_t>(t);
        ++m;
    }

    if (m > 0) {
        // Stable sort by channel, first tone of each distinct channel, then
        // membership in the channel list.
        int8_t sorted[kMaxTones];
        uint8_t order[kMaxTones];
        aaMathSortVectorAndGetOrderI1(chv, m, sorted, order, 0);
        uint8_t sortedU[kMaxTones];
        for (int i = 0; i < m; ++i) sortedU[i] = static_cast<uint8_t>(sorted[i]);
        uint8_t uniq[kMaxTones];
        uint8_t firstIdx[kMaxTones];
        const int nu = aaMathCalcUnique(sortedU, m, uniq, firstIdx);
        uint8_t loc[kMaxTones];
        const int nm = aaMathVectorIsMember(uniq, chanList, nu, kChannels, loc);
        // The unique channels are ascending and all lie in the list, so the
        // i-th member is the i-th unique channel.
        for (int i = 0; i < nm && i < nu; ++i) {
            const int c = loc[i];
            if (c >= kChannels || tonePos[c] >= 0) continue;
            tonePos[c] = pos[order[firstIdx[i]]];
        }
    }

    rawMeas->timeUs = timeUs;
    rawMeas->prior = 0.0;
    std::memcpy(rawMeas->chanList, chanList, sizeof chanList);
    for (int c = 0; c < kChannels; ++c) {
        const int t = tonePos[c];
        for (int j = 0; j < nap; ++j) {
            if (t < 0) {
                rawMeas->initPct[c][j] = TarnCplxF(0.0f, 0.0f);
                rawMeas->reflPct[c][j] = TarnCplxF(0.0f, 0.0f);
                rawMeas->gmap[c][j] = 0;
            } else {
                const TarnCplxD &ini = initToneC[t][j];
                const TarnCplxD &ref = reflToneC[t][j];
                rawMeas->initPct[c][j] =
                    TarnCplxF(static_cast<float>(ini.real()), static_cast<float>(ini.imag()));
                rawMeas->reflPct[c][j] =
                    TarnCplxF(static_cast<float>(ref.real()), static_cast<float>(ref.imag()));
                rawMeas->gmap[c][j] = toneGmap[t][j];
            }
            rawMeas->pct[c][j] = TarnCplxD(0.0, 0.0);
        }
    }
    DEBUG_LOG(4, kStageExit, "algOrderChans");
}

void algCalcGmapConf(const uint8_t (*map)[TARN_MAX_ANT_PATHS], int8_t NAP, uint8_t *gconf) {
    const int nap = clampPaths(NAP);
    DEBUG_LOG(4, kStageEnter, "algCalcGmapConf");
    for (int j = 0; j < kPaths; ++j) gconf[j] = 0;

    for (int j = 0; j < nap; ++j) {
        int8_t listed[kChannels];
        int n = 0;
        for (int k = 0; k < kChannels; ++k) {
            if (map[k][j] == 1) listed[n++] = static_cast<int8_t>(k);
        }
        if (n <= 1) continue;

        int8_t diffs[kChannels];
        const int nd = aaMathCalcDiffI1(listed, n, diffs);
        int8_t maxDiff = 0;
        aaMathCalcMaxI1(diffs, nd, &maxDiff);
        const int8_t maxGap = static_cast<int8_t>(maxDiff - 1);
        DEBUG_LOG(4, "maxGap[%d]\n", maxGap);

        const double span = static_cast<double>(listed[n - 1] - listed[0] + 1);
        const double density = std::fmin(1.75 * n / span, 1.0);
        const double gapTerm = (1.0 - maxGap / span) * 100.0;
        const double coverage = span / kChannels;
        gconf[j] = static_cast<uint8_t>(std::round(coverage * (density * gapTerm)));
    }
    DEBUG_LOG(4, kStageExit, "algCalcGmapConf");
}

}  // namespace tarn_rtp
