// A registry entry the host allocates itself: exactly the four documented
// fields, a context set up through csGetMemory and csInit, and the state the
// library keeps for the link beside it (made on first use, gone with the
// entry, never confused by an entry address used again).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "iface_test_util.h"
#include "interface/interface_internal.h"
#include "interface/link_state.h"
#include "log_capture.h"

namespace {

using tarn_test::Deliveries;
using tarn_test::estimateAndWait;

// What a host allocates for an entry: nothing beyond the four fields, so any
// access past them is out of its block.
constexpr size_t kEntryBytes = 4 * sizeof(void *);
static_assert(sizeof(CsContextItem) == kEntryBytes, "the entry is the four documented fields");

// Registers `link` the way a host may without csIfInit: its own entry and
// context (malloc'ed, since the registry frees them), laid out with csInit
// and given the default options.
CsContextItem *registerHostLink(CsLinkRef link) {
    const CsInitRecord init = tarn_test::recordingInit();
    auto *ctx = static_cast<CsContext *>(std::malloc(static_cast<size_t>(csGetMemory(&init))));
    csInit(ctx, &init, link);
    csSetParam(ctx, TARN_PARAM_OPTIONS, &constOpts);
    auto *entry = static_cast<CsContextItem *>(std::malloc(kEntryBytes));
    entry->linkRef = link;
    entry->ctx = ctx;
    entry->callback = init.callback;
    entry->next = nullptr;
    EXPECT_EQ(csContextListAddItem(entry), 1);
    return entry;
}

uint32_t latestSequence(CsLinkRef link) {
    TarnLatestComputation l{};
    l.size = sizeof l;
    if (tarnGetLatestComputation(link, &l) != 1) return ~0u;
    return l.sequence;
}

int recordCount() {
    csContextListlock();
    const int n = tarn_iface::linkRecordCountLocked();
    csContextListunlock();
    return n;
}

TEST(HostEntry, ComputesBitForBitLikeALinkTheLibraryCreated) {
    const CsLinkRef lib = 3401, host = 3402;
    const int recordsBefore = recordCount();
    tarn_test::createLink(lib);
    registerHostLink(host);

    // Mode 0, then mode 1 with a step timing: every part of the link's state
    // is written, on both links alike.
    const TarnStepTiming timing{sizeof(TarnStepTiming), 150, 145, 145, 40, 10, 2, 0, 0};
    for (int i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        if (i == 3) {
            for (CsLinkRef l : {lib, host}) {
                ASSERT_EQ(tarnSetTrackingMode(l, 1), 1);
                ASSERT_EQ(tarnSetStepTiming(l, &timing), 1);
                ASSERT_EQ(tarnSetCombination(l, 1), 1);
            }
        }
        tarn_test::RttProcedure proc(20, static_cast<int16_t>(10 + 4 * i), 2,
                                     1000000u + 100000u * static_cast<uint32_t>(i));
        ASSERT_EQ(csIfAddMeasurement(lib, &proc.meas), 1);
        ASSERT_EQ(csIfAddMeasurement(host, &proc.meas), 1);
        ASSERT_TRUE(estimateAndWait(lib));
        ASSERT_TRUE(estimateAndWait(host));
    }
    const auto a = Deliveries::instance().of({lib});
    const auto b = Deliveries::instance().of({host});
    ASSERT_EQ(a.size(), 6u);
    ASSERT_EQ(b.size(), 6u);
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a[i].dest, &b[i].dest, sizeof(double)), 0) << i;
        EXPECT_EQ(a[i].conf, b[i].conf) << i;
    }
    EXPECT_NEAR(a[0].dest, 599.4, 1e-6);  // 0.5994 m, the round trip alone

    TarnLatestComputation la{}, lb{};
    la.size = lb.size = sizeof la;
    ASSERT_EQ(tarnGetLatestComputation(lib, &la), 1);
    ASSERT_EQ(tarnGetLatestComputation(host, &lb), 1);
    EXPECT_EQ(lb.sequence, 6u);
    EXPECT_EQ(lb.trackingMode, 1u);
    EXPECT_EQ(lb.combination, 1u);
    // Field by field: padding, and the result record's bytes nothing
    // writes, hold what each context's allocation gave.
    const auto fields = [](const TarnLatestComputation &l) {
        return std::vector<double>{double(l.sequence),
                                   double(l.phase.valid),
                                   l.phase.dest,
                                   l.phase.conf,
                                   double(l.rtt.valid),
                                   l.rtt.dest,
                                   l.rtt.conf,
                                   l.result.dest,
                                   double(l.result.conf),
                                   double(l.trackFlags),
                                   l.speed,
                                   l.speedSd,
                                   double(l.timingOrigin),
                                   l.stepScale,
                                   l.sigmaM,
                                   l.phaseSigmaM,
                                   l.rttSigmaM,
                                   double(l.integrityFlags),
                                   l.firstPathM};
    };
    const std::vector<double> fa = fields(la), fb = fields(lb);
    ASSERT_EQ(fa.size(), fb.size());
    for (size_t i = 0; i < fa.size(); ++i)
        EXPECT_EQ(std::memcmp(&fa[i], &fb[i], sizeof(double)), 0) << "field " << i;

    EXPECT_EQ(recordCount(), recordsBefore + 2);
    csIfCleanUp(host);  // frees the host's entry and context, and the record
    csIfCleanUp(lib);
    EXPECT_EQ(recordCount(), recordsBefore);
}

TEST(HostEntry, StateBelongsToTheEntryNotToItsAddress) {
    const CsLinkRef first = 3411, second = 3412;
    const int recordsBefore = recordCount();
    CsContextItem *entry = registerHostLink(first);
    tarn_test::RttProcedure proc(20, 10, 2, 1000000);
    ASSERT_EQ(csIfAddMeasurement(first, &proc.meas), 1);
    ASSERT_TRUE(estimateAndWait(first));
    ASSERT_TRUE(estimateAndWait(first));
    EXPECT_EQ(latestSequence(first), 2u);

    // The same entry now says it is another link (what a host's freed entry
    // looks like when the address comes back): no state carries over.
    csContextListlock();
    entry->linkRef = second;
    csContextListunlock();
    EXPECT_EQ(latestSequence(second), 0u);
    ASSERT_TRUE(estimateAndWait(second));
    EXPECT_EQ(latestSequence(second), 1u);

    // Unlinked by the host and listed again: a new link, fresh state; the
    // record of an entry unlinked behind the registry's back goes as well.
    csContextListlock();
    ASSERT_EQ(contextListHead, entry);
    contextListHead = entry->next;
    entry->next = nullptr;
    csContextListunlock();
    EXPECT_EQ(csContextListAddItem(entry), 1);
    EXPECT_EQ(latestSequence(second), 0u);
    EXPECT_EQ(recordCount(), recordsBefore);
    ASSERT_TRUE(estimateAndWait(second));
    EXPECT_EQ(latestSequence(second), 1u);
    EXPECT_EQ(recordCount(), recordsBefore + 1);

    csContextClearItem(second);
    EXPECT_EQ(recordCount(), recordsBefore);
}

// The record's allocation fails: the link's requests get no estimate, its
// extensions refuse, its measurements are still stored; nothing crashes,
// and the next request with memory is answered.
std::atomic<bool> gRecordAllocFails{false};
void *recordFailingCalloc(size_t n, size_t size) {
    if (gRecordAllocFails.load() && size == sizeof(tarn_iface::LinkRecord)) return nullptr;
    return calloc(n, size);
}

TEST(HostEntry, WithoutMemoryForItsStateALinkGetsNoEstimate) {
    const CsLinkRef link = 3421;
    tarn_test::createLink(link);
    tarnIfCalloc = recordFailingCalloc;
    gRecordAllocFails = true;
    const std::string noMemory = "No memory for the state of link 3421.\n";
    {
        tarn_test::LogCapture cap(1);
        tarn_test::RttProcedure proc(20, 10, 2, 1000000);
        EXPECT_EQ(csIfAddMeasurement(link, &proc.meas), 1);
        EXPECT_EQ(tarnSetTrackingMode(link, 1), 0);
        EXPECT_EQ(tarnSetCombination(link, 1), 0);
        const TarnStepTiming timing{sizeof(TarnStepTiming), 150, 145, 145, 40, 10, 2, 0, 0};
        EXPECT_EQ(tarnSetStepTiming(link, &timing), 0);
        EXPECT_EQ(latestSequence(link), 0u);

        const int logged = cap.count(noMemory);
        EXPECT_EQ(logged, 4);
        ASSERT_EQ(csIfGetEstimate(link), 1);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (cap.count(noMemory) == logged && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(cap.count(noMemory), logged + 1);
    }
    gRecordAllocFails = false;
    ASSERT_TRUE(estimateAndWait(link));
    EXPECT_EQ(Deliveries::instance().count(link), 1);
    EXPECT_EQ(latestSequence(link), 1u);
    tarnIfCalloc = calloc;
    csIfCleanUp(link);
}

}  // namespace
