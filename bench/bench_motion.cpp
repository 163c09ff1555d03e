// Cost of tracking mode 1's within-procedure speed search alone (over every
// plausible speed, and around a known one); the full estimate in both
// tracking modes is in bench_estimate.cpp.
#include <benchmark/benchmark.h>

#include "rtp/rtp_motion.h"
#include "simulator.h"
#include "targets.h"

namespace {

using tarn_sim::Simulator;

// The speed search on one procedure's tone products (72 tones).
void speedSearch(benchmark::State &state, bool aroundKnown) {
    using namespace tarn_rtp;
    const int nap = static_cast<int>(state.range(0));
    Simulator sim(tarn_bench::walkingTarget(nap));
    const tarn_sim::Procedure p = sim.next();
    static TarnCplxD x[kMaxTones][kPaths];
    static uint8_t use[kMaxTones][kPaths];
    uint8_t channel[kMaxTones];
    double timeS[kMaxTones];
    int n = 0;
    const int64_t t0 = p.initiator[0].timestampNs;
    for (size_t s = 0; s < p.initiator.size(); ++s) {
        const double start = (p.initiator[s].timestampNs - t0) * 1e-9;
        for (size_t j = 0; j < p.initiator[s].steps.size() && n < kMaxTones; ++j) {
            const tarn_sim::Step &a = p.initiator[s].steps[j], &b = p.reflector[s].steps[j];
            if (a.mode < 2) continue;
            channel[n] = a.channel;
            timeS[n] = start + j * kNominalStepS;
            for (int q = 0; q < nap; ++q) {
                x[n][q] = TarnCplxD(a.tones[q].i, a.tones[q].q) * TarnCplxD(b.tones[q].i, b.tones[q].q);
                use[n][q] = 1;
            }
            ++n;
        }
    }
    SpeedSearch sp;
    if (aroundKnown) {
        sp.centreMps = 1.0;
        sp.halfSpanMps = 0.5;
    }
    double v = 0.0, sd = 0.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(rtpMeasureSpeed(x, use, channel, timeS, n, nap, 299700000.0, sp, &v, &sd));
    }
    state.counters["speed_mps"] = v;
}
void BM_SpeedSearchFull(benchmark::State &state) {
    speedSearch(state, false);
}
void BM_SpeedSearchAroundTrack(benchmark::State &state) {
    speedSearch(state, true);
}
BENCHMARK(BM_SpeedSearchFull)->Arg(1)->Arg(4)->ArgName("paths")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SpeedSearchAroundTrack)->Arg(1)->Arg(4)->ArgName("paths")->Unit(benchmark::kMicrosecond);

}  // namespace
