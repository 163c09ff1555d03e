// A ranging session through the host functions with simulated procedures
// (72 channels, 1 to 4 antenna paths): measurement intake alone, and a full
// estimate per procedure through the worker.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "simulator.h"
#include "tarn.h"
#include "wire.h"

namespace {

using tarn_sim::SimConfig;
using tarn_sim::Simulator;

constexpr CsLinkRef kLink = 0xbe7c;
constexpr int kProcedures = 16;

std::mutex gMu;
std::condition_variable gCv;
bool gAnswered = false;

void onResult(CsEstimate *, CsRequest *) {
    std::lock_guard<std::mutex> g(gMu);
    gAnswered = true;
    gCv.notify_one();
}

std::vector<tarn_sim::Procedure> procedures(int nap) {
    SimConfig cfg;
    cfg.nap = nap;
    cfg.trajectory = tarn_sim::Trajectory::still(5.0);
    cfg.reflections = {{3.0, 0.5}};
    Simulator sim(cfg);
    std::vector<tarn_sim::Procedure> out;
    for (int i = 0; i < kProcedures; ++i) out.push_back(sim.next());
    return out;
}

// One link for the benchmark's lifetime, with the library's log silenced.
class Link {
  public:
    Link() {
        CsInitRecord init{&onResult};
        csIfInit(kLink, &init);
        glog_level = -1;
    }
    ~Link() { csIfCleanUp(kLink); }
};

void BM_IntakeV2(benchmark::State &state) {
    const auto procs = procedures(static_cast<int>(state.range(0)));
    std::vector<std::unique_ptr<tarn_sim::WireProcedure>> wire;
    for (const auto &p : procs) wire.emplace_back(new tarn_sim::WireProcedure(p));
    Link link;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(csIfAddMeasurementV2(kLink, wire[i++ % wire.size()]->get()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntakeV2)->DenseRange(1, 4)->ArgName("paths");

void BM_IntakeV1(benchmark::State &state) {
    const auto procs = procedures(static_cast<int>(state.range(0)));
    Link link;
    size_t i = 0;
    for (auto _ : state) {
        // The step-level record may be clamped by the library, so each call
        // gets a fresh one (building it is part of the host's work).
        tarn_sim::WireMeasurement m(procs[i++ % procs.size()]);
        benchmark::DoNotOptimize(csIfAddMeasurement(kLink, m.get()));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IntakeV1)->DenseRange(1, 4)->ArgName("paths");

void BM_EstimateV2(benchmark::State &state) {
    const auto procs = procedures(static_cast<int>(state.range(0)));
    std::vector<std::unique_ptr<tarn_sim::WireProcedure>> wire;
    for (const auto &p : procs) wire.emplace_back(new tarn_sim::WireProcedure(p));
    Link link;
    size_t i = 0;
    for (auto _ : state) {
        csIfAddMeasurementV2(kLink, wire[i++ % wire.size()]->get());
        {
            std::lock_guard<std::mutex> g(gMu);
            gAnswered = false;
        }
        csIfGetEstimate(kLink);
        std::unique_lock<std::mutex> g(gMu);
        gCv.wait(g, [] { return gAnswered; });
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EstimateV2)->DenseRange(1, 4)->ArgName("paths")->UseRealTime();

}  // namespace
