// Worker start-up, in a process of its own so that nothing has started the
// worker before.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "interface/interface_internal.h"
#include "log_capture.h"
#include "tarn.h"

namespace {

void ignoreResult(CsEstimate *, CsRequest *) {}

TEST(WorkerStart, OnlyAValidInitStartsItAndOnlyOnce) {
    ASSERT_EQ(__atomic_load_n(&runThread, __ATOMIC_ACQUIRE), 0);
    {
        tarn_test::LogCapture cap(1);
        EXPECT_EQ(csIfInit(1, nullptr), 0);
        EXPECT_TRUE(cap.contains("Invalid configuration.\n"));
    }
    EXPECT_EQ(__atomic_load_n(&runThread, __ATOMIC_ACQUIRE), 0);
    EXPECT_EQ(tarnWorkerStartCount(), 0);
    EXPECT_EQ(csContextListExistItem(1), 0);

    // Many first calls at once still start a single worker.
    const CsInitRecord init{&ignoreResult};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([i, &init] { csIfInit(100 + i, &init); });
    for (auto &t : threads) t.join();
    EXPECT_EQ(__atomic_load_n(&runThread, __ATOMIC_ACQUIRE), 1);
    EXPECT_EQ(tarnWorkerStartCount(), 1);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(csContextListExistItem(100 + i), 1);
        csIfCleanUp(100 + i);
    }
    // Removing the last link leaves the worker running.
    EXPECT_EQ(__atomic_load_n(&runThread, __ATOMIC_ACQUIRE), 1);
}

TEST(WorkerStart, ConcurrentInitsOfOneReferenceRegisterItOnce) {
    const CsInitRecord init{&ignoreResult};
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) threads.emplace_back([&init] { csIfInit(500, &init); });
    for (auto &t : threads) t.join();
    int entries = 0;
    csContextListlock();
    for (CsContextItem *it = contextListHead; it != nullptr; it = it->next)
        entries += it->linkRef == 500;
    csContextListunlock();
    EXPECT_EQ(entries, 1);
    csIfCleanUp(500);
}

}  // namespace
