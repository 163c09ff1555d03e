// What the integrity assessment costs next to the estimate it judges: the
// phase estimate of a 4-path procedure, and the assessment of its work area
// (uncertainty, two-path fit, phase-jump measure). The ratio of the two
// reported in one run is the assessment's share of the estimate.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "rtp/rtp_driver.h"
#include "rtp/rtp_integrity.h"
#include "rtt/rtt_internal.h"
#include "simulator.h"
#include "tarn.h"
#include "targets.h"
#include "wire.h"

namespace {

struct StoredLink {
    CsContext *ctx;
    std::unique_ptr<tarn_rtp::PhaseWork> work{new tarn_rtp::PhaseWork()};
    std::unique_ptr<NewPresState> filters{new NewPresState()};
    std::vector<std::unique_ptr<tarn_sim::WireProcedure>> wire;

    explicit StoredLink(int nap) {
        glog_level = -1;
        ctx = static_cast<CsContext *>(calloc(1, static_cast<size_t>(csGetMemory(nullptr))));
        csInit(ctx, nullptr, 1);
        ctx->optsStore = constOpts;
        tarn_sim::Simulator sim(tarn_bench::stillTarget(nap, 1));
        for (int i = 0; i < 16; ++i) wire.emplace_back(new tarn_sim::WireProcedure(sim.next()));
    }
    ~StoredLink() { free(ctx); }
    void store(size_t i) { csAddMeasurement_v2(ctx, wire[i % wire.size()]->get()); }
    void estimate() {
        tarn_rtp::phaseEstimate(*ctx->meas, ctx->timeUs, *ctx->opts, *ctx->pres, *filters, *work,
                                nullptr);
    }
};

void BM_PhaseEstimate(benchmark::State &state) {
    StoredLink link(static_cast<int>(state.range(0)));
    size_t i = 0;
    for (auto _ : state) {
        link.store(i++);
        link.estimate();
        benchmark::DoNotOptimize(link.work->phase.pdest[0]);
    }
}
BENCHMARK(BM_PhaseEstimate)->Arg(4)->ArgName("paths")->Unit(benchmark::kMicrosecond);

void BM_IntegrityAssessment(benchmark::State &state) {
    StoredLink link(static_cast<int>(state.range(0)));
    link.store(0);
    link.estimate();
    for (auto _ : state) {
        const tarn_rtp::PhaseIntegrity pi =
            tarn_rtp::assessPhase(*link.work, *link.ctx->meas, *link.ctx->opts, state.range(0));
        benchmark::DoNotOptimize(pi.sigmaM);
    }
}
BENCHMARK(BM_IntegrityAssessment)->Arg(4)->ArgName("paths")->Unit(benchmark::kMicrosecond);

}  // namespace
