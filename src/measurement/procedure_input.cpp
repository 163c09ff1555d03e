// Procedure-level input: selects the subevents both sides completed
// consistently, flattens them into a temporary CsMeasurement (tones mapped to
// their antenna paths) and stores that through csAddMeasurement.
#include <climits>
#include <cstdlib>

#include "common/numeric.h"
#include "measurement/measurement_internal.h"
#include "tarn_diag.h"

using tarn_measurement::free_measurement_mem;

namespace {

constexpr int kMaxSubevents = 32;
constexpr int kMaxTones = TARN_MAX_ANT_PATHS + 1;
constexpr int kNumPermutations = 24;
constexpr const char *kFn = "csAddMeasurement_v2";

constexpr int kModeFreq = tarn_common::kStepModeFreq;
constexpr int kModeRtt = tarn_common::kStepModeRtt;
constexpr int kModeTone = tarn_common::kStepModeTone;
constexpr int kModeRttTone = tarn_common::kStepModeRttTone;
using tarn_common::isToneMode;


// Step counts come from the controller as 64-bit values; sums saturate so that
// a hostile count cannot wrap into a plausible one.
int64_t addSaturated(int64_t a, int64_t b) {
    return a > INT64_MAX - b ? INT64_MAX : a + b;
}

int asLogInt(int64_t v) {
    return v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : static_cast<int>(v));
}

struct ToneContext {
    int8_t NAP;
    const char *pctAllocMsg;
    const char *qualAllocMsg;
};

// Converts a tone part into pct/pctQual arrays indexed by antenna path.
// Tones outside the data model (unknown permutation, a path the step has no
// tone for, fewer tones than paths, missing arrays) reject the procedure.
bool convertTones(CsStepResult *dst, const CsToneData &src, int count, uint8_t rpl,
                  const ToneContext &tc) {
    if (count < tc.NAP + 1) {
        DEBUG_LOG(1, "Tone count %d too small for NAP %d\n", count, tc.NAP);
        return false;
    }
    if (src.antPerm >= kNumPermutations) {
        DEBUG_LOG(1, "Invalid antenna permutation %d\n", src.antPerm);
        return false;
    }
    if (src.tones == nullptr || src.toneQual == nullptr) {
        DEBUG_LOG(1, "Invalid tone data\n");
        return false;
    }
    int used = count - 1;
    if (used > TARN_MAX_ANT_PATHS) used = TARN_MAX_ANT_PATHS;
    const uint8_t *row = tarn_measurement::kAntPattern[src.antPerm];
    for (int t = 0; t < used; ++t) {
        if (row[t] >= count) {
            DEBUG_LOG(1, "Antenna permutation %d names path %d of %d tones\n", src.antPerm, row[t],
                      count);
            return false;
        }
    }

    int16_t *pct = static_cast<int16_t *>(calloc(2 * kMaxTones, sizeof(int16_t)));
    if (pct == nullptr) {
        DEBUG_LOG(1, "%s", tc.pctAllocMsg);
        return false;
    }
    uint8_t *qual = static_cast<uint8_t *>(calloc(kMaxTones, sizeof(uint8_t)));
    if (qual == nullptr) {
        free(pct);
        DEBUG_LOG(1, "%s", tc.qualAllocMsg);
        return false;
    }
    dst->tone.pct = pct;
    dst->tone.pctQual = qual;
    dst->tone.antPerm = src.antPerm;
    dst->tone.rpl = rpl;
    // The last reported tone is never used.
    for (int t = 0; t < used; ++t) {
        const int p = row[t];
        pct[2 * p] = static_cast<int16_t>(src.tones[2 * t]);
        pct[2 * p + 1] = static_cast<int16_t>(src.tones[2 * t + 1]);
        qual[p] = src.toneQual[t];
    }
    return true;
}

ToneContext mode2Ctx(int8_t NAP) {
    return {NAP, "Memory allocation failed for mode2->pct",
            "Memory allocation failed for mode2->pctQual"};
}
ToneContext mode3Ctx(int8_t NAP) {
    return {NAP, "Memory allocation failed for mode3->pct",
            "Memory allocation failed for mode3->pctQual"};
}

bool convertInitStep(CsStepResult *dst, const CsStep &step, uint8_t rpl, int8_t NAP) {
    switch (step.mode) {
        case kModeFreq:
            dst->mode0.aaQual = step.data.mode0.aaQual;
            dst->mode0.rssi = step.data.mode0.rssi;
            dst->mode0.freqOff = static_cast<int16_t>(step.data.mode0.freqOff);
            return true;
        case kModeRtt:
            dst->mode1.aaQual = step.data.mode1.aaQual;
            dst->mode1.security = step.data.mode1.security;
            dst->mode1.rssi = step.data.mode1.rssi;
            dst->mode1.timeEst = static_cast<int16_t>(step.data.mode1.timeEst);
            dst->mode1.antenna = step.data.mode1.antenna;
            return true;
        case kModeTone: {
            const int count = step.data.tone.toneCount;
            if (count >= kMaxTones + 1) {
                DEBUG_LOG(1, " Pct count incorrect %d ", count);
                return false;
            }
            return convertTones(dst, step.data.tone, count, rpl, mode2Ctx(NAP));
        }
        case kModeRttTone: {
            dst->tone.aaQual = step.data.mode1.aaQual;
            dst->tone.security = step.data.mode1.security;
            dst->tone.rssi = step.data.mode1.rssi;
            dst->tone.timeEst = static_cast<int16_t>(step.data.mode1.timeEst);
            dst->tone.antenna = step.data.mode1.antenna;
            int count = step.mode3Tone.toneCount;
            if (count > kMaxTones) count = kMaxTones;
            return convertTones(dst, step.mode3Tone, count, rpl, mode3Ctx(NAP));
        }
        default:
            return false;
    }
}

bool convertReflStep(CsStepResult *dst, const CsStep &step, uint8_t rpl, int8_t NAP) {
    switch (step.mode) {
        case kModeFreq:
            dst->mode0.aaQual = step.data.mode0.aaQual;
            dst->mode0.rssi = step.data.mode0.rssi;
            return true;
        case kModeRtt:
            dst->mode1.timeEst = static_cast<int16_t>(step.data.mode1.timeEst);
            return true;
        case kModeTone: {
            int count = step.data.tone.toneCount;
            if (count > kMaxTones) count = kMaxTones;
            return convertTones(dst, step.data.tone, count, rpl, mode2Ctx(NAP));
        }
        case kModeRttTone: {
            dst->tone.timeEst = static_cast<int16_t>(step.data.mode1.timeEst);
            int count = step.mode3Tone.toneCount;
            if (count > kMaxTones) count = kMaxTones;
            return convertTones(dst, step.mode3Tone, count, rpl, mode3Ctx(NAP));
        }
        default:
            return true;  // unknown reflector modes leave the result zero
    }
}

CsMeasurement *allocTemporary() {
    CsMeasurement *tmp = static_cast<CsMeasurement *>(calloc(1, sizeof(CsMeasurement)));
    if (tmp == nullptr) {
        DEBUG_LOG(1, "Memory allocation failed for v1measurement");
        return nullptr;
    }
    tmp->modes = static_cast<uint8_t *>(calloc(TARN_MAX_STEPS, sizeof(uint8_t)));
    tmp->channels = static_cast<uint8_t *>(calloc(TARN_MAX_STEPS, sizeof(uint8_t)));
    tmp->initSteps = static_cast<CsStepResult *>(calloc(TARN_MAX_STEPS, sizeof(CsStepResult)));
    tmp->reflSteps = static_cast<CsStepResult *>(calloc(TARN_MAX_STEPS, sizeof(CsStepResult)));
    if (tmp->modes == nullptr || tmp->channels == nullptr || tmp->initSteps == nullptr ||
        tmp->reflSteps == nullptr) {
        DEBUG_LOG(1, "Memory allocation failed for measurement arrays");
        free_measurement_mem(tmp, 0, 0);
        return nullptr;
    }
    return tmp;
}

int storedCount(int64_t n) {
    return n > TARN_MAX_STEPS ? TARN_MAX_STEPS : static_cast<int>(n);
}

// The admitted initiator subevents' steps, converted into tmp in order. n
// counts every admitted step (saturating once TARN_MAX_STEPS are stored).
// False on a refused step or subevent; tmp then holds storedCount(n)
// converted steps for the caller to release.
bool takeInitiatorSteps(const CsProcedure &proc, const uint8_t *map, int numInit, int8_t NAP,
                        CsMeasurement &tmp, int64_t &n) {
    for (int k = 0; k < numInit; ++k) {
        if (map[k] == 0) continue;
        const CsSubevent &se = proc.initSubevents[k];
        DEBUG_LOG(3, "processing initiator subevent %d in %s\n", k, kFn);
        if (se.steps == nullptr) {
            DEBUG_LOG(1, "Invalid initiator subevent %d in %s\n", k, kFn);
            return false;
        }
        if (se.numSteps < 1) continue;
        for (int64_t j = 0; j < se.numSteps; ++j) {
            if (n >= TARN_MAX_STEPS) {
                // Only counted from here on; nothing more can be stored.
                n = addSaturated(n, se.numSteps - j);
                break;
            }
            DEBUG_LOG(3, "processing initiator step %d in %s\n", static_cast<int>(j), kFn);
            const CsStep &step = se.steps[j];
            const int pos = static_cast<int>(n);
            tmp.channels[pos] = step.channel;
            tmp.modes[pos] = step.mode;
            if (step.mode > kModeRttTone) {
                DEBUG_LOG(1, "Invalid mode %d at step %d\n", static_cast<int8_t>(step.mode), pos);
                return false;
            }
            if (!convertInitStep(&tmp.initSteps[pos], step, se.rpl, NAP)) return false;
            ++n;
        }
        if (n >= TARN_MAX_STEPS) {
            DEBUG_LOG(1, "Max channels exceeded %d", asLogInt(n));
            n = TARN_MAX_STEPS;
            break;
        }
    }
    return true;
}

// The admitted reflector subevents' steps, converted into tmp beside the n
// initiator steps whose modes they must repeat. m counts them (saturating).
// False on a refused step or subevent; tmp then holds `held` converted
// reflector steps for the caller to release.
bool takeReflectorSteps(const CsProcedure &proc, const uint8_t *map, int numRefl, int8_t NAP,
                        int64_t n, CsMeasurement &tmp, int64_t &m, int &held) {
    for (int k = 0; k < numRefl; ++k) {
        if (map[k] == 0) continue;
        const CsSubevent &se = proc.reflSubevents[k];
        if (se.steps == nullptr) {
            DEBUG_LOG(1, "Invalid reflector subevent %d in %s\n", k, kFn);
            held = storedCount(m);
            return false;
        }
        if (se.numSteps < 1) continue;
        for (int64_t j = 0; j < se.numSteps && m + j < TARN_MAX_STEPS; ++j) {
            const CsStep &step = se.steps[j];
            const int pos = static_cast<int>(m + j);
            if (step.mode > kModeRttTone) continue;
            // Both sides must agree on a step's mode: the stored layout and the
            // release of the tone arrays follow the initiator's mode.
            if (pos >= n || step.mode != tmp.modes[pos]) {
                DEBUG_LOG(1, "Mode mismatch at step %d: init %d , refl %d\n", pos,
                          pos < n ? tmp.modes[pos] : -1, step.mode);
                held = pos;
                return false;
            }
            if (!convertReflStep(&tmp.reflSteps[pos], step, se.rpl, NAP)) {
                held = pos;
                return false;
            }
        }
        m = addSaturated(m, se.numSteps);
    }
    return true;
}

}  // namespace

namespace tarn_measurement {

void csGenerateValidSubeventMap(const CsProcedure *proc, uint8_t *map) {
    if (map == nullptr) return;
    if (proc == nullptr) {
        for (int j = 0; j < kMaxSubevents; ++j) map[j] = 0;
        return;
    }
    // A missing array holds no subevents.
    const int numInit = proc->initSubevents != nullptr ? proc->numInitSubevents : 0;
    const int numRefl = proc->reflSubevents != nullptr ? proc->numReflSubevents : 0;
    int32_t initSteps[kMaxSubevents] = {0};
    for (int j = 0; j < kMaxSubevents; ++j) {
        if (j < numInit) {
            const CsSubevent &se = proc->initSubevents[j];
            if (se.aborted != 0) {
                DEBUG_LOG(2, "InitSubevent[%d] Aborted %d", j, se.aborted);
                map[j] = 0;
            } else {
                map[j] = 1;
                initSteps[j] = static_cast<int32_t>(se.numSteps);
            }
        } else {
            map[j] = 0;
        }
    }
    for (int j = 0; j < kMaxSubevents; ++j) {
        if (j >= numRefl) {
            map[j] = 0;
            continue;
        }
        const CsSubevent &se = proc->reflSubevents[j];
        if (se.aborted == 0 && se.numSteps == static_cast<int64_t>(initSteps[j])) continue;
        DEBUG_LOG(2, "ReflSubevent[%d] Aborted %d , %d , %d", j, se.aborted, asLogInt(se.numSteps),
                  initSteps[j]);
        map[j] = 0;
    }
}

void free_measurement_mem(CsMeasurement *meas, int initCount, int reflCount) {
    if (meas == nullptr) return;
    const int ni = initCount < 0 ? 0 : storedCount(initCount);
    const int nr = reflCount < 0 ? 0 : storedCount(reflCount);
    if (meas->modes != nullptr) {
        for (int i = 0; meas->initSteps != nullptr && i < ni; ++i) {
            if (!isToneMode(meas->modes[i])) continue;
            free(meas->initSteps[i].tone.pct);
            free(meas->initSteps[i].tone.pctQual);
        }
        for (int i = 0; meas->reflSteps != nullptr && i < nr; ++i) {
            if (!isToneMode(meas->modes[i])) continue;
            free(meas->reflSteps[i].tone.pct);
            free(meas->reflSteps[i].tone.pctQual);
        }
    }
    free(meas->reflSteps);
    free(meas->initSteps);
    free(meas->channels);
    free(meas->modes);
    free(meas);
}

int csAddMeasurement_v2(CsContext *ctx, const CsProcedure *proc) {
    CsMeasurement *tmp = allocTemporary();
    if (tmp == nullptr) return 0;

    if (ctx == nullptr || proc == nullptr) {
        DEBUG_LOG(1, "Invalid CsProcedure data in %s\n", kFn);
        free_measurement_mem(tmp, 0, 0);
        return 0;
    }
    // Without a first initiator subevent there is no NAP or time stamp to read.
    if (proc->initSubevents == nullptr || proc->numInitSubevents < 1) {
        DEBUG_LOG(1, "Invalid initiator data structure in %s\n", kFn);
        free_measurement_mem(tmp, 0, 0);
        return 0;
    }
    if (proc->reflSubevents == nullptr) {
        DEBUG_LOG(1, "Invalid reflector data structure in %s\n", kFn);
        free_measurement_mem(tmp, 0, 0);
        return 0;
    }

    const CsSubevent &first = proc->initSubevents[0];
    const int8_t NAP = first.NAP;
    if (NAP >= 5) {
        DEBUG_LOG(1, "Incorrect NAP in Subevent data  %d", NAP);
        free_measurement_mem(tmp, 0, 0);
        return 0;
    }
    tmp->NAP = static_cast<uint8_t>(NAP);
    tmp->timeUs = static_cast<uint32_t>(first.timestampNs / 1000);

    uint8_t map[kMaxSubevents];
    csGenerateValidSubeventMap(proc, map);
    DEBUG_LOG(3, "Processing Initiator data");
    if (proc->numInitSubevents > kMaxSubevents || proc->numReflSubevents > kMaxSubevents) {
        DEBUG_LOG(2, "Too many Sub-Events %d %d", proc->numInitSubevents, proc->numReflSubevents);
    }
    const int numInit =
        proc->numInitSubevents > kMaxSubevents ? kMaxSubevents : proc->numInitSubevents;
    const int numRefl =
        proc->numReflSubevents > kMaxSubevents ? kMaxSubevents : proc->numReflSubevents;

    int64_t n = 0;
    if (!takeInitiatorSteps(*proc, map, numInit, NAP, *tmp, n)) {
        free_measurement_mem(tmp, storedCount(n), 0);
        return 0;
    }
    DEBUG_LOG(3, "Processing Reflector data");
    int64_t m = 0;
    int reflHeld = 0;
    if (!takeReflectorSteps(*proc, map, numRefl, NAP, n, *tmp, m, reflHeld)) {
        free_measurement_mem(tmp, storedCount(n), reflHeld);
        return 0;
    }

    int status = 0;
    if (n != m) {
        DEBUG_LOG(1, "Steps mismatch - init %d , refl %d", asLogInt(n), asLogInt(m));
    } else {
        tmp->N = static_cast<uint16_t>(n);
        status = csAddMeasurement(ctx, tmp);
        // The subevent's 64-bit time stamp does not wrap: keep it whole.
        if (status == 1) ctx->timeUs = static_cast<double>(first.timestampNs / 1000);
    }
    DEBUG_LOG(3, "status %d", status);
    free_measurement_mem(tmp, storedCount(n), storedCount(m));
    return status;
}

}  // namespace tarn_measurement
