// Full estimate per procedure through the host functions (72 channels, 1, 2
// and 4 antenna paths; wall time per request and the worker thread's CPU
// time per estimate), the same with the MUSIC estimator given no orders
// (the difference is MUSIC's share), with the worker's heap allocations
// per estimate, the same in tracking mode 0 and 1 on a
// walking target, the latency each link sees when 1, 8
// or 32 links ask at once, and 1, 8 or 32 links asking at 10 Hz each,
// spread over the period as a stack sends them.
#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "alloc_count.h"
#include "link_load.h"
#include "targets.h"
#include "simulator.h"
#include "tarn.h"
#include "wire.h"
#include "thread_clock.h"

namespace {

using tarn_bench::stillTarget;
using tarn_bench::threadCpuS;
using tarn_bench::walkingTarget;

using Clock = std::chrono::steady_clock;
using tarn_sim::SimConfig;
using tarn_sim::Simulator;
using tarn_sim::WireProcedure;

constexpr CsLinkRef kFirstLink = 0xe570;
constexpr int kProcedures = 16;

std::mutex gMu;
std::condition_variable gCv;
int gPending = 0;
std::vector<Clock::time_point> gDone;  // per link index
double gWorkerCpuS = 0.0;              // the worker's CPU clock at the last callback
long gWorkerAllocs = 0;                // the worker's allocation count at the last callback

void onResult(CsEstimate *, CsRequest *req) {
    const double cpu = threadCpuS();  // callbacks run on the worker thread
    const long allocs = tarn_bench::threadAllocations();
    std::lock_guard<std::mutex> g(gMu);
    gWorkerCpuS = cpu;
    gWorkerAllocs = allocs;
    const size_t idx = static_cast<size_t>(req->linkRef - kFirstLink);
    if (idx < gDone.size()) gDone[idx] = Clock::now();
    --gPending;
    gCv.notify_one();
}

std::vector<std::unique_ptr<WireProcedure>> procedures(const SimConfig &cfg,
                                                       int count = kProcedures) {
    Simulator sim(cfg);
    std::vector<std::unique_ptr<WireProcedure>> out;
    for (int i = 0; i < count; ++i) out.emplace_back(new WireProcedure(sim.next()));
    return out;
}

// `count` links for the benchmark's lifetime, with the library's log silenced.
class Links {
  public:
    Links(int count, const ConfigOpts *opts) : count_(count) {
        CsInitRecord init{&onResult};
        for (int i = 0; i < count; ++i) {
            csIfInit(kFirstLink + i, &init);
            if (opts != nullptr) csIfSetParam(kFirstLink + i, 0, opts);
        }
        glog_level = -1;
        std::lock_guard<std::mutex> g(gMu);
        gDone.assign(static_cast<size_t>(count), Clock::time_point());
    }
    ~Links() {
        for (int i = 0; i < count_; ++i) csIfCleanUp(kFirstLink + i);
    }

  private:
    int count_;
};

void waitAll() {
    std::unique_lock<std::mutex> g(gMu);
    gCv.wait(g, [] { return gPending == 0; });
}

// One estimate per iteration on one link, its procedures taken in turn.
void estimateLoop(benchmark::State &state, const ConfigOpts *opts,
                  const std::vector<std::unique_ptr<WireProcedure>> &wire, int trackingMode = 0) {
    Links links(1, opts);
    tarnSetTrackingMode(kFirstLink, trackingMode);
    size_t i = 0;
    auto once = [&] {
        csIfAddMeasurementV2(kFirstLink, wire[i++ % wire.size()]->get());
        {
            std::lock_guard<std::mutex> g(gMu);
            gPending = 1;
        }
        csIfGetEstimate(kFirstLink);
        waitAll();
    };
    once();  // a first callback sets the worker's CPU clock reading
    double cpu0 = 0.0;
    long allocs0 = 0;
    {
        std::lock_guard<std::mutex> g(gMu);
        cpu0 = gWorkerCpuS;
        allocs0 = gWorkerAllocs;
    }
    for (auto _ : state) once();
    std::lock_guard<std::mutex> g(gMu);
    // Worker CPU per estimate: callback to callback, so it includes taking
    // the request, the estimate, the log line and the callback itself.
    state.counters["worker_cpu_us"] = 1e6 * (gWorkerCpuS - cpu0) / static_cast<double>(state.iterations());
    // The same span's heap allocations on the worker thread.
    if (tarn_bench::allocationsCounted())
        state.counters["allocs_per_estimate"] =
            static_cast<double>(gWorkerAllocs - allocs0) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
}

void BM_FullEstimate(benchmark::State &state) {
    estimateLoop(state, nullptr, procedures(stillTarget(static_cast<int>(state.range(0)), 1)));
}
BENCHMARK(BM_FullEstimate)->Arg(1)->Arg(2)->Arg(4)->ArgName("paths")->UseRealTime()->Unit(benchmark::kMicrosecond);

// MUSIC given no orders: everything else of the estimate still runs.
void BM_FullEstimateWithoutMusic(benchmark::State &state) {
    ConfigOpts opts = constOpts;
    opts.useChannelCenterForBoundMusicEst = 0;
    opts.muOrdSetLen = 0;
    estimateLoop(state, &opts, procedures(stillTarget(static_cast<int>(state.range(0)), 1)));
}
BENCHMARK(BM_FullEstimateWithoutMusic)->Arg(1)->Arg(2)->Arg(4)->ArgName("paths")->UseRealTime()->Unit(benchmark::kMicrosecond);

// Tracking mode 0 and mode 1 (moving targets) on the same walking target:
// 20 s of it, so the time stamps wrap (and tracking restarts) once per run.
void BM_EstimateByTrackingMode(benchmark::State &state) {
    const SimConfig cfg = walkingTarget(static_cast<int>(state.range(0)));
    estimateLoop(state, nullptr, procedures(cfg, 200), static_cast<int>(state.range(1)));
}
BENCHMARK(BM_EstimateByTrackingMode)
    ->ArgsProduct({{1, 2, 4}, {0, 1}})
    ->ArgNames({"paths", "mode"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

// All links queue one request each; latency is request to callback.
void BM_LinkLatency(benchmark::State &state) {
    const int count = static_cast<int>(state.range(0));
    const auto wire = procedures(stillTarget(2, 2));
    Links links(count, nullptr);
    std::vector<Clock::time_point> asked(static_cast<size_t>(count));
    double sumUs = 0.0;
    double maxUs = 0.0;
    long requests = 0;
    size_t p = 0;
    for (auto _ : state) {
        for (int l = 0; l < count; ++l) csIfAddMeasurementV2(kFirstLink + l, wire[p++ % wire.size()]->get());
        {
            std::lock_guard<std::mutex> g(gMu);
            gPending = count;
        }
        for (int l = 0; l < count; ++l) {
            asked[l] = Clock::now();
            csIfGetEstimate(kFirstLink + l);
        }
        waitAll();
        std::lock_guard<std::mutex> g(gMu);
        for (int l = 0; l < count; ++l) {
            const double us = std::chrono::duration<double, std::micro>(gDone[l] - asked[l]).count();
            sumUs += us;
            maxUs = std::max(maxUs, us);
            ++requests;
        }
    }
    state.counters["mean_latency_us"] = requests > 0 ? sumUs / requests : 0.0;
    state.counters["max_latency_us"] = maxUs;
    state.SetItemsProcessed(requests);
}
BENCHMARK(BM_LinkLatency)->Arg(1)->Arg(8)->Arg(32)->ArgName("links")->UseRealTime()->Unit(benchmark::kMillisecond);

// 1, 8 or 32 links at 10 Hz each (2 antenna paths), each link at its own
// phase of the 100 ms period; 20 rounds. Latency is request to callback;
// worker_busy_pct is the worker thread's CPU time over the wall time from
// the first to the last callback.
void BM_LinksAt10Hz(benchmark::State &state) {
    tarn_bench::LinkLoadConfig cfg;
    cfg.links = static_cast<int>(state.range(0));
    cfg.rounds = 20;
    tarn_bench::LinkLoadResult r;
    for (auto _ : state) r = tarn_bench::runLinkLoad(cfg);
    state.counters["p50_latency_us"] = r.p50Us;
    state.counters["p99_latency_us"] = r.p99Us;
    state.counters["max_latency_us"] = r.maxUs;
    state.counters["worker_busy_pct"] = 100.0 * r.busyShare();
    state.counters["callbacks"] = static_cast<double>(r.callbacks);
    state.counters["overlapped"] = static_cast<double>(r.overlapped);
    state.SetItemsProcessed(r.callbacks);
}
BENCHMARK(BM_LinksAt10Hz)->Arg(1)->Arg(8)->Arg(32)->ArgName("links")->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
