// Several host threads creating, feeding, querying and removing links while
// the worker serves them. Run under ThreadSanitizer by the check script.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "iface_test_util.h"

namespace {

using tarn_test::Deliveries;

std::mutex gRemovedMutex;
std::set<CsLinkRef> gRemoved;
std::atomic<int> gLateCallbacks{0};

// A callback for a link whose csIfCleanUp has returned must never come.
void stressCallback(CsEstimate *result, CsRequest *request) {
    {
        std::lock_guard<std::mutex> lock(gRemovedMutex);
        if (gRemoved.count(request->linkRef) != 0) ++gLateCallbacks;
    }
    Deliveries::callback(result, request);
}

void markRemoved(CsLinkRef link) {
    std::lock_guard<std::mutex> lock(gRemovedMutex);
    gRemoved.insert(link);
}

constexpr int kThreads = 4;
constexpr int kRounds = 8;
constexpr int kEstimatesPerRound = 3;
constexpr CsLinkRef kBase = 10000;

CsLinkRef linkOf(int thread, int round) {
    return kBase + thread * 100 + round;
}

void hostThread(int thread, std::atomic<int> *failures) {
    const CsInitRecord init{&stressCallback};
    for (int round = 0; round < kRounds; ++round) {
        const CsLinkRef link = linkOf(thread, round);
        csIfInit(link, &init);
        if (csContextListExistItem(link) != 1) ++*failures;
        tarn_test::RttProcedure proc(20, static_cast<int16_t>(10 + 2 * thread), 2,
                                     1000000u * static_cast<uint32_t>(round + 1));
        for (int e = 0; e < kEstimatesPerRound; ++e) {
            if (csIfAddMeasurement(link, &proc.meas) != 1) ++*failures;
            const double seed = -100.0;
            if (csIfSetParam(link, 1, &seed) != 1) ++*failures;
            if (csIfGetEstimate(link) != 1) ++*failures;
        }
        // Odd rounds remove the link at once, possibly with requests pending.
        if (round % 2 == 0 && !Deliveries::instance().waitFor(link, kEstimatesPerRound)) {
            ++*failures;
        }
        if (csIfCleanUp(link) != 1) ++*failures;
        markRemoved(link);
    }
}

TEST(Stress, ConcurrentHostsEveryRequestAnsweredOnceOrDropped) {
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(hostThread, t, &failures);
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);

    // Everything queued so far is served before the marker's request.
    const CsLinkRef marker = kBase + 9999;
    tarn_test::createLink(marker);
    ASSERT_TRUE(tarn_test::estimateAndWait(marker));
    csIfCleanUp(marker);

    EXPECT_EQ(gLateCallbacks.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        for (int r = 0; r < kRounds; ++r) {
            const CsLinkRef link = linkOf(t, r);
            const int n = Deliveries::instance().count(link);
            if (r % 2 == 0) {
                EXPECT_EQ(n, kEstimatesPerRound) << link;
            } else {
                EXPECT_LE(n, kEstimatesPerRound) << link;
            }
            EXPECT_EQ(csContextListExistItem(link), 0);
        }
    }
    pthread_mutex_lock(&requestLock);
    const CsRequest *pending = requestListHead;
    pthread_mutex_unlock(&requestLock);
    EXPECT_EQ(pending, nullptr);
}

}  // namespace
