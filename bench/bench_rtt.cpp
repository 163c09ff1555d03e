// Storing one 256-step procedure and computing its round-trip-time estimate.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "tarn_config.h"
#include "tarn_diag.h"
#include "tarn_measurement.h"
#include "tarn_rtt.h"

namespace {

struct RttBenchProcedure {
    std::vector<uint8_t> channels, modes;
    std::vector<CsStepResult> init, refl;
    CsMeasurement meas{};

    // 256 mode-1 steps; `spread` distinct times of flight.
    explicit RttBenchProcedure(int spread) : channels(256), modes(256, 1), init(256), refl(256) {
        for (int i = 0; i < 256; ++i) {
            channels[i] = static_cast<uint8_t>(2 + i % 77);
            init[i].mode1.timeEst = static_cast<int16_t>(40 + (i * 37) % spread);
            refl[i].mode1.timeEst = static_cast<int16_t>(i % 3);
        }
        meas.channels = channels.data();
        meas.modes = modes.data();
        meas.NAP = 1;
        meas.initSteps = init.data();
        meas.reflSteps = refl.data();
        meas.N = 256;
    }
};

void BM_RttAddAndEstimate(benchmark::State &state) {
    glog_level = 0;
    CsContext *ctx = static_cast<CsContext *>(calloc(1, static_cast<size_t>(csGetMemory(nullptr))));
    csInit(ctx, nullptr, 1);
    ctx->optsStore = constOpts;
    RttBenchProcedure proc(static_cast<int>(state.range(0)));
    uint32_t timeUs = 1000000;
    for (auto _ : state) {
        proc.meas.timeUs = timeUs;
        timeUs += 100000;
        benchmark::DoNotOptimize(csAddMeasurement(ctx, &proc.meas));
        benchmark::DoNotOptimize(RTT_calcEstimate(ctx));
    }
    benchmark::DoNotOptimize(ctx->resultStore.dest);
    free(ctx);
}
// 16 distinct times (a typical procedure) and 256 (worst case for the sort).
BENCHMARK(BM_RttAddAndEstimate)->Arg(16)->Arg(256);

}  // namespace
