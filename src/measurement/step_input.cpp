// Step-level procedure input: validates a host CsMeasurement and copies it
// into the link's context, replacing the stored procedure.
#include <cmath>
#include <cstring>

#include "common/numeric.h"
#include "measurement/measurement_internal.h"
#include "tarn_diag.h"

namespace {

constexpr int kModeFreq = tarn_common::kStepModeFreq;
constexpr int kModeRtt = tarn_common::kStepModeRtt;
constexpr int kModeTone = tarn_common::kStepModeTone;
constexpr int kModeRttTone = tarn_common::kStepModeRttTone;
using tarn_common::isToneMode;


// Controller quality grades 0 (best) .. 2 become weights 126, 84, 42.
uint8_t scaleQuality(uint8_t q) {
    return q <= 2 ? static_cast<uint8_t>((3 - q) * 42) : q;
}

// Checks everything constructCsResults would dereference, with its messages,
// so that a rejected procedure never touches the stored one.
bool stepsUsable(const uint8_t *modes, int N, const CsStepResult *steps) {
    if (N == 0) return true;
    if (steps == nullptr) return false;
    for (int i = 0; i < N; ++i) {
        if (!isToneMode(modes[i])) continue;
        if (steps[i].tone.pct == nullptr) {
            DEBUG_LOG(1, "Invalid pct values.\n");
            return false;
        }
        if (steps[i].tone.pctQual == nullptr) {
            DEBUG_LOG(1, "Invalid pctQual values.\n");
            return false;
        }
    }
    return true;
}

// Copies one tone step's tones into the slot's own storage.
bool copyTones(CsStepSlot *slot, const CsStepResult &src, int NAP, uint8_t pctQscale) {
    slot->step.tone.pct = slot->pctBuf;
    slot->step.tone.pctQual = slot->pctQualBuf;
    if (src.tone.pct == nullptr) {
        DEBUG_LOG(1, "Invalid pct values.\n");
        return false;
    }
    std::memcpy(slot->pctBuf, src.tone.pct, sizeof(int16_t) * 2 * NAP);
    if (src.tone.pctQual == nullptr) {
        DEBUG_LOG(1, "Invalid pctQual values.\n");
        return false;
    }
    for (int p = 0; p < NAP; ++p) {
        const uint8_t q = src.tone.pctQual[p];
        slot->pctQualBuf[p] = pctQscale == 0 ? scaleQuality(q) : q;
    }
    return true;
}

int reject(const char *message) {
    DEBUG_LOG(1, "%s", message);
    DEBUG_LOG(3, "%s EXIT\n", "csAddMeasurement");
    return 0;
}

}  // namespace

double tarn_measurement::unwrapTimeUs(double previousUs, uint32_t stampUs) {
    constexpr double kWrap = 4294967296.0;
    if (!(previousUs > 0.0) || !std::isfinite(previousUs)) return static_cast<double>(stampUs);
    const uint32_t previousLow = static_cast<uint32_t>(std::fmod(previousUs, kWrap));
    // The difference modulo 2^32, taken as the shorter way round.
    const int32_t step = static_cast<int32_t>(stampUs - previousLow);
    return previousUs + static_cast<double>(step);
}

namespace tarn_measurement {

bool constructCsResults(CsStepSlot *slots, const uint8_t *modes, uint16_t N,
                        const CsStepResult *steps, int8_t NAP, uint8_t pctQscale) {
    if (N == 0) return true;
    if (slots == nullptr || modes == nullptr || steps == nullptr) return false;
    // The slots hold at most four paths and the context at most 256 steps.
    if (NAP < 0 || NAP > TARN_MAX_ANT_PATHS) {
        DEBUG_LOG(1, "Incorrect NAP csAddmeasurement [%d]\n", NAP);
        return false;
    }
    const int count = N > TARN_MAX_STEPS ? TARN_MAX_STEPS : N;
    for (int i = 0; i < count; ++i) {
        CsStepResult &dst = slots[i].step;
        const CsStepResult &src = steps[i];
        switch (modes[i]) {
            case kModeFreq:
                dst.mode0.aaQual = src.mode0.aaQual;
                dst.mode0.rssi = src.mode0.rssi;
                dst.mode0.freqOff = src.mode0.freqOff;
                break;
            case kModeRtt:
                dst.mode1.aaQual = src.mode1.aaQual;
                dst.mode1.rssi = src.mode1.rssi;
                dst.mode1.timeEst = src.mode1.timeEst;
                dst.mode1.security = src.mode1.security;
                break;
            case kModeTone:
                dst.tone.antPerm = src.tone.antPerm;
                if (!copyTones(&slots[i], src, NAP, pctQscale)) return false;
                dst.tone.rpl = src.tone.rpl;
                break;
            case kModeRttTone:
                if (!copyTones(&slots[i], src, NAP, pctQscale)) return false;
                dst.tone.aaQual = src.tone.aaQual;
                dst.tone.rssi = src.tone.rssi;
                dst.tone.timeEst = src.tone.timeEst;
                dst.tone.security = src.tone.security;
                dst.tone.antPerm = src.tone.antPerm;
                dst.tone.rpl = src.tone.rpl;
                break;
            default:
                break;
        }
    }
    return true;
}

int csAddMeasurement(CsContext *ctx, CsMeasurement *meas) {
    DEBUG_LOG(3, "%s ENTER \n", "csAddMeasurement");
    if (ctx == nullptr || meas == nullptr) return reject("Invalid measurement data.\n");

    const int8_t NAP = static_cast<int8_t>(meas->NAP);
    if (NAP < 1 || NAP > TARN_MAX_ANT_PATHS) {
        DEBUG_LOG(1, "Incorrect NAP csAddmeasurement [%d]\n", NAP);
        DEBUG_LOG(3, "NAP should be: 1 to %d\n", TARN_MAX_ANT_PATHS);
        return 0;
    }
    if (meas->N > TARN_MAX_STEPS) {
        meas->N = TARN_MAX_STEPS;
        DEBUG_LOG(3, "Skipping measurement data more than %d channels\n", TARN_MAX_STEPS);
    }
    const uint16_t N = meas->N;
    if (meas->channels == nullptr) return reject("Invalid channel data.\n");
    if (meas->modes == nullptr) return reject("Invalid mode data.\n");

    const uint8_t pctQscale = ctx->opts->pctQscale;
    if (pctQscale != 0) {
        DEBUG_LOG(3, "PCT Quality scaling not applied. [%d]\n", 1);
    } else {
        DEBUG_LOG(3, "PCT Quality scaling applied.\n");
    }

    // Validate both sides before writing anything: a rejected procedure must
    // leave the previous one intact.
    if (!stepsUsable(meas->modes, N, meas->initSteps)) {
        return reject("Invalid intiator measurement data provided.\n");
    }
    if (!stepsUsable(meas->modes, N, meas->reflSteps)) {
        return reject("Invalid reflector measurement data provided.\n");
    }

    CsMeasurement *store = ctx->meas;
    store->NAP = meas->NAP;
    store->timeUs = meas->timeUs;
    ctx->timeUs = tarn_measurement::unwrapTimeUs(ctx->timeUs, meas->timeUs);
    store->N = N;
    std::memcpy(store->channels, meas->channels, N);
    std::memcpy(store->modes, meas->modes, N);
    CsStepSlot *initSlots = reinterpret_cast<CsStepSlot *>(store->initSteps);
    CsStepSlot *reflSlots = reinterpret_cast<CsStepSlot *>(store->reflSteps);
    if (!constructCsResults(initSlots, meas->modes, N, meas->initSteps, NAP, pctQscale)) {
        return reject("Invalid intiator measurement data provided.\n");
    }
    if (!constructCsResults(reflSlots, meas->modes, N, meas->reflSteps, NAP, pctQscale)) {
        return reject("Invalid reflector measurement data provided.\n");
    }
    DEBUG_LOG(3, "%s EXIT\n", "csAddMeasurement");
    return 1;
}

void print_NAP(const CsMeasurement *meas) {
    DEBUG_LOG(3, "________%s________ START\n", "print_NAP");
    if (meas == nullptr) return;
    DEBUG_LOG(3, "NAP: %u\n", meas->NAP);
}

void print_cont_cs_results(const CsStepSlot *slots, const uint8_t *modes, int N, int NAP) {
    if (slots == nullptr || modes == nullptr) return;
    if (N > TARN_MAX_STEPS) N = TARN_MAX_STEPS;
    if (NAP < 0) NAP = 0;
    if (NAP > TARN_MAX_ANT_PATHS) NAP = TARN_MAX_ANT_PATHS;
    for (int i = 0; i < N; ++i) {
        const CsStepSlot &slot = slots[i];
        const CsStepResult &s = slot.step;
        switch (modes[i]) {
            case kModeFreq:
                DEBUG_LOG(4, "aaQual: %d ,", s.mode0.aaQual);
                DEBUG_LOG(4, "rssi: %d ,", s.mode0.rssi);
                DEBUG_LOG(4, "freqOff: %d,", s.mode0.freqOff);
                break;
            case kModeRtt:
                DEBUG_LOG(4, "aaQual: %d\n", s.mode1.aaQual);
                DEBUG_LOG(4, "rssi: %d\n", s.mode1.rssi);
                DEBUG_LOG(4, "timeEst: %d\n", s.mode1.timeEst);
                DEBUG_LOG(4, "security: %d\n", s.mode1.security);
                break;
            case kModeTone:
                DEBUG_LOG(4, "antPerm: %d, ", s.tone.antPerm);
                DEBUG_LOG(4, "rpl: %d, ", s.tone.rpl);
                DEBUG_LOG(4, "pct: [");
                for (int k = 0; k < 2 * NAP; ++k) DEBUG_LOG(4, "%d, ", slot.pctBuf[k]);
                DEBUG_LOG(4, "] , ");
                DEBUG_LOG(4, "pctQual: [");
                for (int k = 0; k < NAP; ++k) DEBUG_LOG(4, "%d, ", slot.pctQualBuf[k]);
                DEBUG_LOG(4, "] , ");
                break;
            case kModeRttTone:
                for (int k = 0; k < 2 * NAP; ++k) DEBUG_LOG(4, "pct[%d]: %d\n", k, slot.pctBuf[k]);
                for (int k = 0; k < NAP; ++k) {
                    DEBUG_LOG(4, "pctQual[%d]: %d\n", k, slot.pctQualBuf[k]);
                }
                DEBUG_LOG(4, "aaQual: %d\n", s.tone.aaQual);
                DEBUG_LOG(4, "rssi: %d\n", s.tone.rssi);
                DEBUG_LOG(4, "timeEst: %d\n", s.tone.timeEst);
                DEBUG_LOG(4, "security: %d\n", s.tone.security);
                DEBUG_LOG(4, "antPerm: %d\n", s.tone.antPerm);
                DEBUG_LOG(4, "rpl: %d\n", s.tone.rpl);
                break;
            default:
                break;
        }
    }
}

void print_cont_measurement(const CsMeasurement *meas, int NAP) {
    DEBUG_LOG(4, "________%s________ START\n", "print_cont_measurement");
    if (meas == nullptr) return;
    DEBUG_LOG(4, "timeUs: %u\n", meas->timeUs);
    DEBUG_LOG(4, "N: %d\n", meas->N);
    DEBUG_LOG(4, "init:\n");
    print_cont_cs_results(reinterpret_cast<const CsStepSlot *>(meas->initSteps), meas->modes,
                          meas->N, NAP);
    DEBUG_LOG(4, "refl:\n");
    print_cont_cs_results(reinterpret_cast<const CsStepSlot *>(meas->reflSteps), meas->modes,
                          meas->N, NAP);
}

}  // namespace tarn_measurement
