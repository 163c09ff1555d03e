// Fuzzes the procedure-level input: arbitrary CsProcedure trees (counts,
// aborted flags, modes, tone counts, permutation indexes, missing arrays) go
// through csIfAddMeasurementV2 on a link; whatever was stored then feeds the
// round-trip-time estimator. The harness behaves like a host that tells the
// truth about its array sizes, so every read the library makes is in bounds.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <vector>

#include "support/fuzz_support.h"
#include "tarn_diag.h"
#include "tarn_interface.h"
#include "tarn_measurement.h"
#include "tarn_rtt.h"

namespace {

constexpr CsLinkRef kLink = 0x2b2b;

CsContext *linkContext() {
    static CsContext *ctx = tarn_fuzz::linkContext(kLink);
    return ctx;
}

struct Builder {
    FuzzedDataProvider &fdp;
    std::deque<std::vector<int32_t>> tones;
    std::deque<std::vector<uint8_t>> quals;
    std::deque<std::vector<CsStep>> steps;
    std::deque<std::vector<CsSubevent>> subevents;

    CsToneData toneData() {
        CsToneData t{};
        t.antPerm = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<uint8_t>(0, 23)
                                      : fdp.ConsumeIntegral<uint8_t>();
        t.toneCount = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<int32_t>(0, 6)
                                        : fdp.ConsumeIntegral<int32_t>();
        // A truthful host holds toneCount entries; the library never reads
        // more than five, so larger counts get eight.
        const int held = t.toneCount < 0 ? 0 : (t.toneCount > 8 ? 8 : t.toneCount);
        tones.emplace_back(2 * held);
        for (int32_t &v : tones.back()) v = fdp.ConsumeIntegral<int32_t>();
        quals.emplace_back(held);
        for (uint8_t &q : quals.back()) q = fdp.ConsumeIntegral<uint8_t>();
        t.tones = fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : tones.back().data();
        t.toneQual = fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? nullptr : quals.back().data();
        return t;
    }

    CsStep step() {
        CsStep s{};
        s.channel = fdp.ConsumeIntegral<uint8_t>();
        s.mode = fdp.ConsumeIntegralInRange<int>(0, 31) == 0
                     ? fdp.ConsumeIntegral<uint8_t>()
                     : fdp.ConsumeIntegralInRange<uint8_t>(0, 3);
        s.data.mode1.aaQual = fdp.ConsumeIntegralInRange<uint8_t>(0, 2);
        s.data.mode1.security = fdp.ConsumeIntegral<uint8_t>();
        s.data.mode1.rssi = fdp.ConsumeIntegral<int8_t>();
        s.data.mode1.timeEst = fdp.ConsumeIntegral<int32_t>();
        s.data.mode1.antenna = fdp.ConsumeIntegral<uint8_t>();
        if (s.mode == 2) s.data.tone = toneData();
        if (s.mode == 3) s.mode3Tone = toneData();
        return s;
    }

    // One side's subevent list; `shape` repeats the other side's step counts
    // most of the time so that subevents get admitted.
    CsSubevent *side(int count, const std::vector<int64_t> &shape, std::vector<int64_t> *outShape) {
        const int held = count < 0 ? 0 : count;
        subevents.emplace_back(held);
        std::vector<CsSubevent> &list = subevents.back();
        for (int k = 0; k < held; ++k) {
            CsSubevent &se = list[k];
            se.rpl = fdp.ConsumeIntegral<uint8_t>();
            se.NAP = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<int8_t>(1, 4)
                                       : fdp.ConsumeIntegral<int8_t>();
            se.aborted =
                fdp.ConsumeIntegralInRange<int>(0, 7) == 0 ? fdp.ConsumeIntegral<int8_t>() : 0;
            se.timestampNs = fdp.ConsumeIntegral<int64_t>();
            int n;
            if (k < static_cast<int>(shape.size()) && shape[k] >= 0 && shape[k] <= 300 &&
                fdp.ConsumeIntegralInRange<int>(0, 3) != 0) {
                n = static_cast<int>(shape[k]);
            } else {
                n = fdp.ConsumeIntegralInRange<int>(0, fdp.ConsumeBool() ? 300 : 12);
            }
            steps.emplace_back();
            for (int j = 0; j < n; ++j) steps.back().push_back(step());
            se.steps = fdp.ConsumeIntegralInRange<int>(0, 31) == 0 ? nullptr : steps.back().data();
            se.numSteps = n;
            switch (fdp.ConsumeIntegralInRange<int>(0, 15)) {
                case 0:  // negative count
                    se.numSteps = -1 - fdp.ConsumeIntegralInRange<int64_t>(0, INT64_MAX - 1);
                    break;
                case 1:  // larger than stored, same low 32 bits: only when 256 are held
                    if (n >= 256)
                        se.numSteps = n + (fdp.ConsumeIntegralInRange<int64_t>(1, 1 << 20) << 32);
                    break;
                default:
                    break;
            }
            if (outShape != nullptr) outShape->push_back(se.numSteps);
        }
        return fdp.ConsumeIntegralInRange<int>(0, 31) == 0 ? nullptr : list.data();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CsContext *ctx = linkContext();
    glog_level = -1;
    FuzzedDataProvider fdp(data, size);
    Builder b{fdp, {}, {}, {}, {}};

    CsProcedure proc{};
    const int numInit = fdp.ConsumeIntegralInRange<int>(-2, 40);
    const int numRefl = fdp.ConsumeBool() ? numInit : fdp.ConsumeIntegralInRange<int>(-2, 40);
    std::vector<int64_t> shape;
    proc.numInitSubevents = numInit;
    proc.initSubevents = b.side(numInit, {}, &shape);
    proc.numReflSubevents = numRefl;
    proc.reflSubevents = b.side(numRefl, shape, nullptr);

    if (csIfAddMeasurementV2(kLink, &proc) == 1) {
        if (ctx->measStore.N > TARN_MAX_STEPS) std::abort();
        RTT_calcEstimate(ctx);
    }
    return 0;
}
