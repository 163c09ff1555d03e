// Cost of tracking mode 1 (moving targets): the full estimate per procedure
// through the host functions in mode 0 and mode 1 on the same walking target
// (1, 2 and 4 antenna paths; counter worker_cpu_us: the worker thread's CPU
// time per estimate, which a loaded machine does not inflate), and the
// within-procedure speed search alone (over every plausible speed, and
// around a known one).
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <vector>

#include "rtp/rtp_motion.h"
#include "simulator.h"
#include "tarn.h"
#include "wire.h"
#include "thread_clock.h"

namespace {

using tarn_bench::threadCpuS;

using tarn_sim::SimConfig;
using tarn_sim::Simulator;
using tarn_sim::WireProcedure;

constexpr CsLinkRef kLink = 0xe5a0;
// 20 s of walking: the time stamps wrap (and tracking restarts) once per 200.
constexpr int kProcedures = 200;

std::mutex gMu;
std::condition_variable gCv;
bool gAnswered = false;
double gWorkerCpuS = 0.0;  // the worker's CPU time at its latest callback

// Runs on the worker: its CPU time between two callbacks is one estimate's
// cost, whatever else the machine is doing.
void onResult(CsEstimate *, CsRequest *) {
    const double cpu = threadCpuS();
    std::lock_guard<std::mutex> g(gMu);
    gWorkerCpuS = cpu;
    gAnswered = true;
    gCv.notify_one();
}

SimConfig walking(int nap) {
    SimConfig cfg;
    cfg.nap = nap;
    cfg.snrDb = 25.0;
    cfg.trajectory = tarn_sim::Trajectory::outAndBack(1.0, 11.0, 1.0);
    cfg.reflections = {{3.0, 0.5}};
    cfg.seed = 3;
    return cfg;
}

void BM_EstimateByTrackingMode(benchmark::State &state) {
    const int nap = static_cast<int>(state.range(0));
    const int mode = static_cast<int>(state.range(1));
    Simulator sim(walking(nap));
    std::vector<std::unique_ptr<WireProcedure>> wire;
    for (int i = 0; i < kProcedures; ++i) wire.emplace_back(new WireProcedure(sim.next()));
    CsInitRecord init{&onResult};
    csIfInit(kLink, &init);
    glog_level = -1;
    tarnSetTrackingMode(kLink, mode);
    size_t i = 0;
    double first = -1.0, last = 0.0;
    long counted = -1;
    for (auto _ : state) {
        csIfAddMeasurementV2(kLink, wire[i++ % wire.size()]->get());
        {
            std::lock_guard<std::mutex> g(gMu);
            gAnswered = false;
        }
        csIfGetEstimate(kLink);
        std::unique_lock<std::mutex> g(gMu);
        gCv.wait(g, [] { return gAnswered; });
        if (first < 0.0) first = gWorkerCpuS;
        last = gWorkerCpuS;
        ++counted;
    }
    csIfCleanUp(kLink);
    state.SetItemsProcessed(state.iterations());
    // The worker's CPU time per estimate (the first one only starts the clock).
    state.counters["worker_cpu_us"] = counted > 0 ? (last - first) / counted * 1e6 : 0.0;
}
BENCHMARK(BM_EstimateByTrackingMode)
    ->ArgsProduct({{1, 2, 4}, {0, 1}})
    ->ArgNames({"paths", "mode"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// The speed search on one procedure's tone products (72 tones).
void speedSearch(benchmark::State &state, bool aroundKnown) {
    using namespace tarn_rtp;
    const int nap = static_cast<int>(state.range(0));
    SimConfig cfg = walking(nap);
    Simulator sim(cfg);
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
