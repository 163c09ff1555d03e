// The worker's estimate path makes no heap allocation: 4-path estimates in
// both tracking modes through the host functions, counted on the worker
// thread from one result callback to the next.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "alloc_count.h"
#include "simulator.h"
#include "targets.h"
#include "tarn.h"
#include "wire.h"

namespace {

constexpr CsLinkRef kLink = 0xa110;

std::mutex gMu;
std::condition_variable gCv;
int gCallbacks = 0;
std::vector<long> gAllocsAt;  // the worker's count at each callback

void onResult(CsEstimate *, CsRequest *) {
    const long n = tarn_bench::threadAllocations();
    std::lock_guard<std::mutex> g(gMu);
    gAllocsAt.push_back(n);
    ++gCallbacks;
    gCv.notify_one();
}

// Worker allocations between consecutive callbacks, over `count` estimates
// of a 4-path walking target in tracking mode `mode`.
std::vector<long> allocationsPerEstimate(int mode, int count) {
    {
        std::lock_guard<std::mutex> g(gMu);
        gCallbacks = 0;
        gAllocsAt.clear();
        gAllocsAt.reserve(static_cast<size_t>(count));  // the callback must not allocate
    }
    CsInitRecord init{&onResult};
    csIfInit(kLink, &init);
    glog_level = -1;
    tarnSetTrackingMode(kLink, mode);
    tarn_sim::Simulator sim(tarn_bench::walkingTarget(4));
    for (int i = 0; i < count; ++i) {
        tarn_sim::WireProcedure wire(sim.next());
        csIfAddMeasurementV2(kLink, wire.get());
        csIfGetEstimate(kLink);
        std::unique_lock<std::mutex> g(gMu);
        gCv.wait(g, [i] { return gCallbacks == i + 1; });
    }
    csIfCleanUp(kLink);
    std::vector<long> per;
    std::lock_guard<std::mutex> g(gMu);
    for (size_t i = 1; i < gAllocsAt.size(); ++i) per.push_back(gAllocsAt[i] - gAllocsAt[i - 1]);
    return per;
}

TEST(Allocations, NoneOnTheWorkersEstimatePathInEitherTrackingMode) {
    if (!tarn_bench::allocationsCounted()) GTEST_SKIP() << "a sanitizer owns the allocator";
    // The counter sees this thread's allocations, so a zero below is a count.
    const long before = tarn_bench::threadAllocations();
    static void *volatile kept;
    kept = std::malloc(24);
    EXPECT_EQ(tarn_bench::threadAllocations() - before, 1);
    std::free(kept);

    for (int mode : {0, 1}) {
        const std::vector<long> per = allocationsPerEstimate(mode, 24);
        ASSERT_EQ(per.size(), 23u);
        for (size_t i = 0; i < per.size(); ++i)
            EXPECT_EQ(per[i], 0) << "tracking mode " << mode << ", estimate " << i + 2;
    }
}

}  // namespace
