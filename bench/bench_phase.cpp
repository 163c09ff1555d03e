// Tone processing and the phase-slope estimate of one procedure, 4 paths.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "../tests/support/tone_builder.h"
#include "tarn_config.h"
#include "tarn_diag.h"
#include "tarn_rtp.h"

namespace {

void BM_ProcPctAndPhaseSlope4Paths(benchmark::State &state) {
    glog_level = 0;
    ConfigOpts opts = constOpts;
    std::unique_ptr<ToneRecord> raw(new ToneRecord);
    tarn_test::ToneSetup s;
    s.distM = 6.0;
    s.nap = 4;
    s.rays = {{0.0, 1.0, 0.0}, {2.5, 0.5, 1.0}, {7.0, 0.3, -2.0}};
    for (int j = 0; j < 4; ++j) s.pathExtraM[j] = 0.05 * j;
    s.noiseStd = 5.0;
    tarn_test::buildToneRecord(s, raw.get());
    for (int j = 0; j < 4; ++j) raw->gconf[j] = 100;
    RangeEstimate product{};
    product.valid = 1;
    product.dest = 3900.0;
    PresState pres;
    std::memset(&pres, 0, sizeof pres);
    PhaseResult out{};
    for (auto _ : state) {
        algProcPct(&pres, raw.get(), &opts, 4, &product);
        algEstWithPhase(&pres, raw.get(), raw.get(), &opts, 4, &out);
        benchmark::DoNotOptimize(out.pdest[3]);
    }
}
BENCHMARK(BM_ProcPctAndPhaseSlope4Paths);

}  // namespace
