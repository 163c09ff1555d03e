// Links asking for estimates at a steady rate, each at its own phase of the
// period as a stack spreads its connections' procedures, with the latency
// of every request measured from the request to its result callback and the
// worker thread's CPU time over the run. Used by the scaling benchmark and
// its test.
#pragma once

#include <chrono>
#include <vector>

namespace tarn_bench {

struct LinkLoadConfig {
    int links = 1;
    int rounds = 20;                                  // requests per link
    std::chrono::microseconds period{100000};        // 10 Hz per link
    int nap = 2;                                      // antenna paths of the simulated procedures
};

struct LinkLoadResult {
    std::vector<double> latencyUs;  // one per result callback, request to callback
    long requests = 0;              // csIfGetEstimate calls made
    long callbacks = 0;             // result callbacks received
    long unexpected = 0;            // callbacks for a link with no request outstanding
    long overlapped = 0;            // requests sent while the link's previous one was outstanding
    double wallS = 0.0;             // first to last callback
    double workerCpuS = 0.0;        // worker thread CPU time over the same span
    double p50Us = 0.0;
    double p99Us = 0.0;
    double maxUs = 0.0;
    double busyShare() const { return wallS > 0 ? workerCpuS / wallS : 0.0; }
};

// Runs the load through the host functions on links 0xe600.. (created and
// removed here, log silenced); returns once every request has its callback
// or 5 s after the last request.
LinkLoadResult runLinkLoad(const LinkLoadConfig &cfg);

}  // namespace tarn_bench
