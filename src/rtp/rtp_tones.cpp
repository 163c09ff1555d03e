// Extraction of the tone steps of a stored procedure.
#include "rtp/rtp_tones.h"

#include <cmath>
#include <cstring>

namespace tarn_rtp {

namespace {

bool hasStepArrays(const CsMeasurement &meas) {
    return meas.channels != nullptr && meas.modes != nullptr && meas.initSteps != nullptr &&
           meas.reflSteps != nullptr;
}

// At most the context's 256 slots, so never more tones than kMaxTones.
int storedSteps(const CsMeasurement &meas) {
    return meas.N > TARN_MAX_STEPS ? TARN_MAX_STEPS : meas.N;
}


}  // namespace

int rtpCountTones(const CsMeasurement &meas) {
    if (!hasStepArrays(meas)) return 0;
    int k = 0;
    for (int i = 0, n = storedSteps(meas); i < n; ++i) k += tarn_common::isToneMode(meas.modes[i]);
    return k;
}

int rtpExtractTones(const CsMeasurement &meas, int nap, const ConfigOpts &opts, RtpTones &tones) {
    std::memset(&tones, 0, sizeof tones);
    nap = clampPaths(nap);
    if (!hasStepArrays(meas)) return 0;
    const double h = static_cast<double>(opts.qWrap >> 1);
    const double turn = static_cast<double>(opts.qWrap);
    const bool roundPhase = (opts.quant & 1u) != 0;
    const int numSteps = storedSteps(meas);
    const CsStepSlot *initSlots = reinterpret_cast<const CsStepSlot *>(meas.initSteps);
    const CsStepSlot *reflSlots = reinterpret_cast<const CsStepSlot *>(meas.reflSteps);

    // A full-size count: 256 tone steps are 256 tones, not zero.
    int k = 0;
    for (int i = 0; i < numSteps; ++i) {
        if (!tarn_common::isToneMode(meas.modes[i])) continue;
        tones.toneChannel[k] = meas.channels[i];
        const CsStepTone &ini = initSlots[i].step.tone;
        const CsStepTone &ref = reflSlots[i].step.tone;
        for (int j = 0; j < nap; ++j) {
            // A slot without tone storage reads as an empty tone.
            TarnCplxI4 iq = {0, 0};
            TarnCplxI4 rq = {0, 0};
            if (ini.pct != nullptr) iq = {ini.pct[2 * j], ini.pct[2 * j + 1]};
            if (ref.pct != nullptr) rq = {ref.pct[2 * j], ref.pct[2 * j + 1]};
            tones.initToneIq[k][j] = iq;
            tones.reflToneIq[k][j] = rq;
            double ph =
                std::atan2(static_cast<double>(rq.im), static_cast<double>(rq.re)) / kPi * h +
                std::atan2(static_cast<double>(iq.im), static_cast<double>(iq.re)) / kPi * h + h;
            ph = std::fmod(std::fmod(ph, turn) + turn, turn);
            tones.tonePhase[k][j] = roundPhase ? std::round(ph) : ph;
            tones.initToneQual[k][j] = ini.pctQual != nullptr ? ini.pctQual[j] : 0;
            tones.reflToneQual[k][j] = ref.pctQual != nullptr ? ref.pctQual[j] : 0;
        }
        ++k;
    }
    return k;
}

}  // namespace tarn_rtp
