// Steady per-link request load through the host functions; see link_load.h.
#include "link_load.h"

#include <time.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "simulator.h"
#include "tarn.h"
#include "wire.h"
#include "thread_clock.h"

namespace tarn_bench {

namespace {

using Clock = std::chrono::steady_clock;
constexpr CsLinkRef kFirstLink = 0xe600;
constexpr int kProcedures = 16;

// State the callback (on the worker thread) shares with the run.
struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    std::vector<Clock::time_point> asked;
    std::vector<bool> outstanding;
    long pending = 0;
    LinkLoadResult *out = nullptr;
    bool haveFirst = false;
    Clock::time_point firstAt, lastAt;
    double firstCpu = 0.0, lastCpu = 0.0;
};
std::atomic<Shared *> gShared{nullptr};

void onResult(CsEstimate *, CsRequest *req) {
    const Clock::time_point now = Clock::now();
    const double cpu = threadCpuS();  // the worker's own clock: callbacks run there
    Shared *shared = gShared.load();
    if (shared == nullptr) return;
    Shared &s = *shared;
    std::lock_guard<std::mutex> g(s.mu);
    ++s.out->callbacks;
    const size_t idx = static_cast<size_t>(req->linkRef - kFirstLink);
    if (idx >= s.outstanding.size() || !s.outstanding[idx]) {
        ++s.out->unexpected;
    } else {
        s.outstanding[idx] = false;
        s.out->latencyUs.push_back(std::chrono::duration<double, std::micro>(now - s.asked[idx]).count());
        --s.pending;
    }
    if (!s.haveFirst) {
        s.haveFirst = true;
        s.firstAt = now;
        s.firstCpu = cpu;
    }
    s.lastAt = now;
    s.lastCpu = cpu;
    s.cv.notify_all();
}

double percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t at = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5));
    return v[at];
}

}  // namespace

LinkLoadResult runLinkLoad(const LinkLoadConfig &cfg) {
    LinkLoadResult out;
    const int links = std::max(1, cfg.links);
    tarn_sim::SimConfig sc;
    sc.nap = cfg.nap;
    sc.snrDb = 25.0;
    sc.trajectory = tarn_sim::Trajectory::still(5.0);
    sc.reflections = {{3.0, 0.5}};
    sc.seed = 2;
    tarn_sim::Simulator sim(sc);
    std::vector<std::unique_ptr<tarn_sim::WireProcedure>> wire;
    for (int i = 0; i < kProcedures; ++i) wire.emplace_back(new tarn_sim::WireProcedure(sim.next()));

    Shared shared;
    shared.asked.resize(static_cast<size_t>(links));
    shared.outstanding.assign(static_cast<size_t>(links), false);
    shared.out = &out;
    gShared = &shared;
    CsInitRecord init{&onResult};
    for (int l = 0; l < links; ++l) csIfInit(kFirstLink + l, &init);
    glog_level = -1;

    // Link l asks at start + r * period + l * period / links.
    const Clock::time_point start = Clock::now();
    size_t p = 0;
    for (int r = 0; r < cfg.rounds; ++r) {
        for (int l = 0; l < links; ++l) {
            std::this_thread::sleep_until(start + cfg.period * r + cfg.period * l / links);
            csIfAddMeasurementV2(kFirstLink + l, wire[p++ % wire.size()]->get());
            {
                std::lock_guard<std::mutex> g(shared.mu);
                if (shared.outstanding[static_cast<size_t>(l)]) {
                    ++out.overlapped;  // its earlier request's latency is not counted
                } else {
                    shared.outstanding[static_cast<size_t>(l)] = true;
                    ++shared.pending;
                }
                shared.asked[static_cast<size_t>(l)] = Clock::now();
            }
            ++out.requests;
            csIfGetEstimate(kFirstLink + l);
        }
    }
    {
        std::unique_lock<std::mutex> g(shared.mu);
        shared.cv.wait_for(g, std::chrono::seconds(5), [&] { return shared.pending == 0; });
    }
    for (int l = 0; l < links; ++l) csIfCleanUp(kFirstLink + l);
    std::lock_guard<std::mutex> g(shared.mu);
    gShared = nullptr;
    out.wallS = std::chrono::duration<double>(shared.lastAt - shared.firstAt).count();
    out.workerCpuS = shared.lastCpu - shared.firstCpu;
    out.p50Us = percentile(out.latencyUs, 0.50);
    out.p99Us = percentile(out.latencyUs, 0.99);
    out.maxUs = percentile(out.latencyUs, 1.0);
    return out;
}

}  // namespace tarn_bench
