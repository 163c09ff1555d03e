// Test helpers: a laid-out link context with the default options, and
// builders for step-level procedures.
#pragma once

#include <cstdlib>
#include <cstring>
#include <vector>

#include "tarn_config.h"
#include "tarn_measurement.h"

namespace tarn_test {

// One zero-filled context, laid out by csInit, with the factory options.
class TestContext {
  public:
    explicit TestContext(CsLinkRef link = 1) {
        ctx_ = static_cast<CsContext *>(calloc(1, static_cast<size_t>(csGetMemory(nullptr))));
        csInit(ctx_, nullptr, link);
        ctx_->optsStore = constOpts;
    }
    ~TestContext() { free(ctx_); }
    TestContext(const TestContext &) = delete;
    TestContext &operator=(const TestContext &) = delete;

    CsContext *get() const { return ctx_; }
    CsContext *operator->() const { return ctx_; }
    ConfigOpts &opts() const { return ctx_->optsStore; }
    const CsStepSlot &init(int i) const { return ctx_->initSlots[i]; }
    const CsStepSlot &refl(int i) const { return ctx_->reflSlots[i]; }

  private:
    CsContext *ctx_;
};

// A step-level procedure with its own storage for steps and tones.
struct StepProcedure {
    std::vector<uint8_t> channels;
    std::vector<uint8_t> modes;
    std::vector<CsStepResult> init;
    std::vector<CsStepResult> refl;
    // Per step: NAP (I, Q) pairs and NAP qualities, per side.
    std::vector<std::vector<int16_t>> initPct, reflPct;
    std::vector<std::vector<uint8_t>> initQual, reflQual;
    uint8_t NAP = 1;
    uint32_t timeUs = 0;
    CsMeasurement meas{};

    // Storage is reserved so that an empty procedure still has non-null arrays.
    explicit StepProcedure(uint8_t nap = 1, uint32_t time = 0) : NAP(nap), timeUs(time) {
        channels.reserve(8);
        modes.reserve(8);
        init.reserve(8);
        refl.reserve(8);
    }

    int add(uint8_t channel, uint8_t mode) {
        channels.push_back(channel);
        modes.push_back(mode);
        init.push_back(CsStepResult{});
        refl.push_back(CsStepResult{});
        initPct.emplace_back(2 * 4, 0);
        reflPct.emplace_back(2 * 4, 0);
        initQual.emplace_back(4, 0);
        reflQual.emplace_back(4, 0);
        return static_cast<int>(modes.size()) - 1;
    }

    // A mode-1 step with the given ToA_ToD values and initiator quality.
    int addRtt(uint8_t channel, int16_t initTime, int16_t reflTime, uint8_t aaQual = 0) {
        const int i = add(channel, 1);
        init[i].mode1.aaQual = aaQual;
        init[i].mode1.timeEst = initTime;
        refl[i].mode1.timeEst = reflTime;
        return i;
    }

    // A tone step; pct/pctQual pointers are set by build().
    int addTone(uint8_t channel, uint8_t mode, uint8_t antPerm = 0) {
        const int i = add(channel, mode);
        init[i].tone.antPerm = antPerm;
        refl[i].tone.antPerm = antPerm;
        return i;
    }

    CsMeasurement *build() {
        for (size_t i = 0; i < modes.size(); ++i) {
            if (modes[i] == 2 || modes[i] == 3) {
                init[i].tone.pct = initPct[i].data();
                init[i].tone.pctQual = initQual[i].data();
                refl[i].tone.pct = reflPct[i].data();
                refl[i].tone.pctQual = reflQual[i].data();
            }
        }
        meas.channels = channels.data();
        meas.modes = modes.data();
        meas.NAP = NAP;
        meas.initSteps = init.data();
        meas.reflSteps = refl.data();
        meas.N = static_cast<uint16_t>(modes.size());
        meas.timeUs = timeUs;
        return &meas;
    }
};

// n mode-1 steps, all with the same times and initiator quality.
inline StepProcedure uniformRtt(int n, int16_t initTime, int16_t reflTime, uint8_t aaQual = 0,
                                uint32_t timeUs = 0) {
    StepProcedure p(1, timeUs);
    for (int i = 0; i < n; ++i) p.addRtt(static_cast<uint8_t>(2 + i), initTime, reflTime, aaQual);
    return p;
}

}  // namespace tarn_test
