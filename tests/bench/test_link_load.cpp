// The scaling benchmark's harness: its latencies are taken in the library's
// result callbacks, one per request, and the worker's CPU time is read on
// the worker thread.
#include <gtest/gtest.h>

#include <cmath>

#include "link_load.h"

namespace {

TEST(LinkLoad, EveryRequestIsTimedByItsOwnCallback) {
    tarn_bench::LinkLoadConfig cfg;
    cfg.links = 3;
    cfg.rounds = 4;
    cfg.period = std::chrono::milliseconds(200);  // wide enough that a link's requests do not overlap
    cfg.nap = 1;
    const tarn_bench::LinkLoadResult r = tarn_bench::runLinkLoad(cfg);
    EXPECT_EQ(r.requests, 12);
    EXPECT_EQ(r.callbacks, r.requests);
    // A sample exists only for a callback that answered an outstanding
    // request of its link; overlapping requests show up as unexpected ones.
    EXPECT_EQ(static_cast<long>(r.latencyUs.size()) + r.unexpected, r.callbacks);
    EXPECT_EQ(r.unexpected, r.overlapped);
    EXPECT_GE(r.latencyUs.size(), 9u);
    for (double us : r.latencyUs) {
        EXPECT_TRUE(std::isfinite(us));
        EXPECT_GE(us, 0.0);
    }
    EXPECT_LE(r.p50Us, r.p99Us);
    EXPECT_LE(r.p99Us, r.maxUs);
    // The worker computed twelve estimates between the first and last callback.
    EXPECT_GT(r.workerCpuS, 0.0);
    EXPECT_GT(r.wallS, 0.0);
}

}  // namespace
