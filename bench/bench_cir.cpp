// Impulse-response estimator: one call for four antenna paths.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>

#include "tarn_config.h"
#include "tarn_rtp.h"

namespace {

// Gap-filled one-way responses (channels 2..76) of a direct path and a
// stronger reflection 8 m later, a little different on each path.
void fillTones(ToneRecord *rec) {
    std::memset(static_cast<void *>(rec), 0, sizeof *rec);
    const double sol = 299700000.0;
    const double twoPi = 6.283185307179586;
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) rec->chanList[k] = static_cast<uint8_t>(k);
    for (int k = 2; k <= 76; ++k) {
        const double f = 2402e6 + 1e6 * k;
        for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j) {
            const double d = 4.0 + 0.1 * j;
            rec->pct[k][j] = std::polar(1000.0, -twoPi * f * d / sol) +
                             std::polar(1400.0, -twoPi * f * (d + 8.0) / sol + 1.0);
            rec->gmap[k][j] = 1;
        }
    }
}

void BM_ProcessCir4Paths(benchmark::State &state) {
    auto raw = std::make_unique<ToneRecord>();
    auto proc = std::make_unique<ToneRecord>();
    std::memset(static_cast<void *>(raw.get()), 0, sizeof *raw);
    fillTones(proc.get());
    ConfigOpts opts = constOpts;
    opts.ifftSize = static_cast<uint16_t>(state.range(0));
    CirEstimate cir;
    std::memset(&cir, 0, sizeof cir);
    for (auto _ : state) {
        algProcessCir(nullptr, raw.get(), proc.get(), &opts, 4, &cir);
        benchmark::DoNotOptimize(cir.cirDist);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_ProcessCir4Paths)->Arg(512)->Arg(16384)->Unit(benchmark::kMicrosecond);

}  // namespace
