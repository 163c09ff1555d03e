// Fuzzes the step-level input: arbitrary CsMeasurement records (NAP, counts,
// modes, missing tone arrays) go through csIfAddMeasurement on a link, and a
// stored procedure then feeds the round-trip-time estimator. A rejected
// record must leave the stored procedure exactly as it was.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/fuzz_support.h"
#include "tarn_diag.h"
#include "tarn_interface.h"
#include "tarn_measurement.h"
#include "tarn_rtt.h"

namespace {

constexpr CsLinkRef kLink = 0x1a1a;

CsContext *linkContext() {
    static CsContext *ctx = tarn_fuzz::linkContext(kLink);
    return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CsContext *ctx = linkContext();
    glog_level = -1;
    FuzzedDataProvider fdp(data, size);

    const int held = fdp.ConsumeIntegralInRange<int>(0, 300);
    const uint8_t nap = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<uint8_t>(1, 4)
                                          : fdp.ConsumeIntegral<uint8_t>();
    std::vector<uint8_t> channels(held), modes(held);
    std::vector<CsStepResult> init(held), refl(held);
    // Tone arrays sized for four paths: NAP values the library accepts fit.
    std::vector<int16_t> pct(2 * 4 * 2 * held);
    std::vector<uint8_t> qual(4 * 2 * held);
    for (int16_t &v : pct) v = fdp.ConsumeIntegral<int16_t>();
    for (uint8_t &q : qual) q = fdp.ConsumeIntegral<uint8_t>();
    for (int i = 0; i < held; ++i) {
        channels[i] = fdp.ConsumeIntegral<uint8_t>();
        modes[i] = fdp.ConsumeIntegralInRange<int>(0, 15) == 0
                       ? fdp.ConsumeIntegral<uint8_t>()
                       : fdp.ConsumeIntegralInRange<uint8_t>(0, 3);
        CsStepResult *sides[2] = {&init[i], &refl[i]};
        for (int s = 0; s < 2; ++s) {
            CsStepResult &r = *sides[s];
            if (modes[i] == 0) {
                r.mode0.aaQual = fdp.ConsumeIntegral<uint8_t>();
                r.mode0.freqOff = fdp.ConsumeIntegral<int16_t>();
            } else if (modes[i] == 1) {
                r.mode1.aaQual = fdp.ConsumeIntegralInRange<uint8_t>(0, 1);
                r.mode1.timeEst = fdp.ConsumeIntegral<int16_t>();
            } else if (modes[i] == 2 || modes[i] == 3) {
                const size_t slot = static_cast<size_t>(2 * i + s);
                r.tone.pct = fdp.ConsumeIntegralInRange<int>(0, 63) == 0 ? nullptr : &pct[8 * slot];
                r.tone.pctQual =
                    fdp.ConsumeIntegralInRange<int>(0, 63) == 0 ? nullptr : &qual[4 * slot];
                r.tone.antPerm = fdp.ConsumeIntegral<uint8_t>();
                r.tone.aaQual = fdp.ConsumeIntegralInRange<uint8_t>(0, 1);
                r.tone.timeEst = fdp.ConsumeIntegral<int16_t>();
            }
        }
    }

    CsMeasurement meas{};
    meas.channels = channels.data();
    meas.modes = modes.data();
    meas.initSteps = init.data();
    meas.reflSteps = refl.data();
    meas.NAP = nap;
    meas.N =
        static_cast<uint16_t>(fdp.ConsumeBool() ? held : fdp.ConsumeIntegralInRange<int>(0, held));
    meas.timeUs = fdp.ConsumeIntegral<uint32_t>();
    if (held == 0) {
        // Empty vectors may have no storage; the interface refuses null arrays.
        static uint8_t one[1];
        static CsStepResult none[1];
        meas.channels = meas.modes = one;
        meas.initSteps = meas.reflSteps = none;
    }

    static std::vector<uint8_t> before;
    const uint8_t *storeBegin = reinterpret_cast<const uint8_t *>(&ctx->measStore);
    const size_t storeLen =
        static_cast<size_t>(csGetMemory(nullptr)) -
        static_cast<size_t>(storeBegin - reinterpret_cast<const uint8_t *>(ctx));
    before.assign(storeBegin, storeBegin + storeLen);
    const double timeBefore = ctx->timeUs;

    if (csIfAddMeasurement(kLink, &meas) == 1) {
        if (ctx->measStore.N > TARN_MAX_STEPS) std::abort();
        RTT_calcEstimate(ctx);
    } else if (std::memcmp(before.data(), storeBegin, storeLen) != 0 || ctx->timeUs != timeBefore) {
        std::abort();  // a rejected record changed the stored procedure
    }
    return 0;
}
