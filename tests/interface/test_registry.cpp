// Link registry and the host functions' argument handling.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "iface_test_util.h"
#include "interface/interface_internal.h"
#include "log_capture.h"

namespace {

using tarn_test::createLink;
using tarn_test::LogCapture;

// Registered links among `refs`, in list order (head first).
std::vector<CsLinkRef> listed(const std::vector<CsLinkRef> &refs) {
    std::vector<CsLinkRef> out;
    csContextListlock();
    for (CsContextItem *it = contextListHead; it != nullptr; it = it->next) {
        for (CsLinkRef r : refs) {
            if (it->linkRef == r) out.push_back(r);
        }
    }
    csContextListunlock();
    return out;
}

std::string unknownMsg(CsLinkRef link) {
    return "link refrence " + std::to_string(link) + " does not exist\n";
}

void noopCallback(CsEstimate *, CsRequest *) {}

TEST(Registry, RemovesHeadMiddleAndTail) {
    struct Case {
        CsLinkRef removed;
        std::vector<CsLinkRef> remaining;
    };
    // Created A, B, C in that order, so the list is C, B, A.
    const CsLinkRef A = 1001, B = 1002, C = 1003;
    const Case cases[] = {{C, {B, A}}, {B, {C, A}}, {A, {C, B}}, {1099, {C, B, A}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.removed);
        for (CsLinkRef l : {A, B, C}) createLink(l);
        ASSERT_EQ(listed({A, B, C}), (std::vector<CsLinkRef>{C, B, A}));
        EXPECT_EQ(csIfCleanUp(c.removed), 1);
        EXPECT_EQ(listed({A, B, C}), c.remaining);
        EXPECT_EQ(csContextListExistItem(c.removed), 0);
        for (CsLinkRef l : c.remaining) EXPECT_EQ(csContextListExistItem(l), 1);
        for (CsLinkRef l : {A, B, C}) csIfCleanUp(l);
        EXPECT_TRUE(listed({A, B, C}).empty());
    }
}

TEST(Registry, PrimitivesRejectNullAndRepeatedEntries) {
    EXPECT_EQ(csContextListAddItem(nullptr), 0);
    EXPECT_EQ(csContextListGetItem(1011), nullptr);

    auto *entry = static_cast<CsContextItem *>(calloc(1, sizeof(CsContextItem)));
    entry->linkRef = 1011;
    entry->next = reinterpret_cast<CsContextItem *>(0x10);  // must be replaced
    ASSERT_EQ(csContextListAddItem(entry), 1);
    EXPECT_EQ(csContextListGetItem(1011), entry);
    {
        LogCapture cap(1);
        EXPECT_EQ(csContextListAddItem(entry), 0);  // would make a cycle
        EXPECT_TRUE(cap.contains("Registry entry for link 1011 is already listed.\n"));
    }
    EXPECT_EQ(listed({1011}), (std::vector<CsLinkRef>{1011}));
    csContextClearItem(1011);  // frees the (null) context and the entry
    EXPECT_EQ(csContextListExistItem(1011), 0);
    csContextClearItem(1011);  // unknown: no effect
}

TEST(Registry, ClearItemsEmptiesTheList) {
    for (CsLinkRef l : {1021, 1022, 1023}) createLink(l);
    csContextListClearItems();
    EXPECT_EQ(contextListHead, nullptr);
    for (CsLinkRef l : {1021, 1022, 1023}) EXPECT_EQ(csContextListExistItem(l), 0);
}

TEST(HostInit, SecondInitKeepsTheFirstContext) {
    const CsLinkRef link = 1031;
    createLink(link);
    CsContextItem *item = csContextListGetItem(link);
    ASSERT_NE(item, nullptr);
    CsContext *ctx = item->ctx;
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(ctx->linkRef, link);

    LogCapture cap(3);
    const CsInitRecord other{&noopCallback};
    EXPECT_EQ(csIfInit(link, &other), 0);
    EXPECT_TRUE(cap.contains("\nRecord already exists.\n"));
    EXPECT_EQ(csContextListGetItem(link), item);
    EXPECT_EQ(item->ctx, ctx);
    EXPECT_EQ(item->callback, &tarn_test::Deliveries::callback);
    EXPECT_EQ(listed({link}).size(), 1u);
    csIfCleanUp(link);
}

TEST(HostInit, NewContextIsLaidOutWithDefaultsAndZeroedStore) {
    const CsLinkRef link = 1041;
    createLink(link);
    CsContext *ctx = csContextListGetItem(link)->ctx;
    EXPECT_EQ(ctx->opts, &ctx->optsStore);
    EXPECT_EQ(ctx->result, &ctx->resultStore);
    EXPECT_EQ(ctx->pres->time, -100.0);
    EXPECT_EQ(ctx->pres->rttTime, -100.0);
    EXPECT_EQ(ctx->measStore.N, 0);
    EXPECT_EQ(ctx->timeUs, 0.0);
    EXPECT_EQ(ctx->resultStore.dest, 0.0);
    EXPECT_EQ(ctx->resultStore.conf, 0);
    // No configuration file exists at the default places in the test setup.
    EXPECT_EQ(ctx->optsStore.pctPrior, constOpts.pctPrior);
    EXPECT_EQ(ctx->optsStore.distSF, constOpts.distSF);
    csIfCleanUp(link);
}

TEST(HostFunctions, UnknownLinksAreReportedWithTheirOwnMessages) {
    const CsLinkRef link = 1051;
    tarn_test::RttProcedure proc(4, 10, 2, 0);
    CsProcedure v2{};
    const double seed = 1.0;
    LogCapture cap(3);
    EXPECT_EQ(csIfAddMeasurementV2(link, &v2), 0);
    EXPECT_TRUE(cap.contains("link reference 1051 does not exist\n"));
    EXPECT_FALSE(cap.containsFragment("refrence"));
    EXPECT_EQ(csIfGetEstimate(link), 0);
    EXPECT_EQ(csIfSetParam(link, 1, &seed), 0);
    EXPECT_EQ(csIfAddMeasurement(link, &proc.meas), 0);
    EXPECT_EQ(csIfCleanUp(link), 1);
    EXPECT_EQ(cap.count(unknownMsg(link)), 3);
    EXPECT_TRUE(cap.contains("clearing up context for 1051\n"));
    // Information, not errors, and no link came into being.
    for (const auto &l : cap.lines()) EXPECT_EQ(l.prio, 4) << l.text;
    EXPECT_EQ(csContextListExistItem(link), 0);
}

TEST(HostFunctions, IncompleteMeasurementsAreRejected) {
    const CsLinkRef link = 1061;
    createLink(link);
    LogCapture cap(1);
    EXPECT_EQ(csIfAddMeasurement(link, nullptr), 0);
    for (int which = 0; which < 4; ++which) {
        tarn_test::RttProcedure proc(4, 10, 2, 0);
        void **ptrs[4] = {reinterpret_cast<void **>(&proc.meas.channels),
                          reinterpret_cast<void **>(&proc.meas.modes),
                          reinterpret_cast<void **>(&proc.meas.initSteps),
                          reinterpret_cast<void **>(&proc.meas.reflSteps)};
        *ptrs[which] = nullptr;
        EXPECT_EQ(csIfAddMeasurement(link, &proc.meas), 0) << which;
    }
    EXPECT_EQ(cap.count("Invalid measurement data.\n"), 5);
    EXPECT_EQ(csIfAddMeasurementV2(link, nullptr), 0);
    EXPECT_TRUE(cap.contains("Invalid v2 measurement data.\n"));
    EXPECT_EQ(csContextListGetItem(link)->ctx->measStore.N, 0);
    csIfCleanUp(link);
}

TEST(HostFunctions, MeasurementIsStoredAndOverlongProceduresClamped) {
    const CsLinkRef link = 1071;
    createLink(link);
    CsContext *ctx = csContextListGetItem(link)->ctx;

    tarn_test::RttProcedure proc(300, 12, 4, 777);
    EXPECT_EQ(csIfAddMeasurement(link, &proc.meas), 1);
    EXPECT_EQ(proc.meas.N, 256);
    EXPECT_EQ(ctx->measStore.N, 256);
    EXPECT_EQ(ctx->timeUs, 777.0);
    EXPECT_EQ(ctx->initSlots[255].step.mode1.timeEst, 12);
    EXPECT_EQ(ctx->reflSlots[255].step.mode1.timeEst, 4);

    // The procedure-level call reaches the same conversion as a direct call.
    CsProcedure empty{};
    CsContext *scratch = static_cast<CsContext *>(calloc(1, csGetMemory(nullptr)));
    csInit(scratch, nullptr, 0);
    scratch->optsStore = constOpts;
    const int direct = csAddMeasurement_v2(scratch, &empty);
    free(scratch);
    EXPECT_EQ(csIfAddMeasurementV2(link, &empty), direct);
    csIfCleanUp(link);
}

TEST(HostFunctions, SetParamTypes) {
    const CsLinkRef link = 1081;
    createLink(link);
    CsContext *ctx = csContextListGetItem(link)->ctx;
    const int size = csGetMemory(nullptr);

    ConfigOpts custom = constOpts;
    custom.quant = 1;
    custom.rtpWithinRttThresh = 7.5;
    EXPECT_EQ(csIfSetParam(link, 0, &custom), 1);
    EXPECT_EQ(std::memcmp(&ctx->optsStore, &custom, sizeof custom), 0);
    // Installed records are repaired as the configuration file is.
    custom.distSF = 100;
    EXPECT_EQ(csIfSetParam(link, 0, &custom), 1);
    EXPECT_EQ(ctx->optsStore.distSF, 1000);

    const double t = 12.5;
    EXPECT_EQ(csIfSetParam(link, 1, &t), 1);
    EXPECT_EQ(ctx->presStore.time, 12.5);
    EXPECT_EQ(ctx->presStore.csFilter.time, 12.5);

    const double d = 4321.0;
    EXPECT_EQ(csIfSetParam(link, 2, &d), 1);
    EXPECT_EQ(ctx->presStore.dest, 4321.0);

    std::vector<unsigned char> before(size);
    std::memcpy(before.data(), ctx, size);
    EXPECT_EQ(csIfSetParam(link, 3, &d), 1);
    EXPECT_EQ(std::memcmp(before.data(), ctx, size), 0);

    LogCapture cap(1);
    EXPECT_EQ(csIfSetParam(link, 0, nullptr), 0);
    EXPECT_TRUE(cap.contains("Invalid parameter data for type 0.\n"));
    EXPECT_EQ(std::memcmp(before.data(), ctx, size), 0);
    csIfCleanUp(link);
}

// Allocation failures, injected through the interface's allocator.
int gAllocCalls = 0;
int gFailAt = -1;
void *failingCalloc(size_t n, size_t size) {
    return gAllocCalls++ == gFailAt ? nullptr : calloc(n, size);
}

struct FailingAlloc {
    explicit FailingAlloc(int failAt) {
        gAllocCalls = 0;
        gFailAt = failAt;
        tarnIfCalloc = failingCalloc;
    }
    ~FailingAlloc() { tarnIfCalloc = calloc; }
};

TEST(HostInit, AllocationFailuresLeaveNothingBehind) {
    const CsLinkRef link = 1091;
    const CsInitRecord init = tarn_test::recordingInit();
    for (int failAt : {0, 1}) {  // the entry, then the context
        SCOPED_TRACE(failAt);
        FailingAlloc fail(failAt);
        LogCapture cap(1);
        EXPECT_EQ(csIfInit(link, &init), 0);
        EXPECT_TRUE(cap.contains("memory allocation failed.\n"));
        EXPECT_EQ(csContextListExistItem(link), 0);
    }
}

TEST(HostInit, WithoutScratchOptionsTheLinkRunsOnTheDefaults) {
    const CsLinkRef link = 1092;
    const CsInitRecord init = tarn_test::recordingInit();
    {
        FailingAlloc fail(2);  // entry, context, then the scratch record
        LogCapture cap(3);
        EXPECT_EQ(csIfInit(link, &init), 0);
        EXPECT_TRUE(cap.contains("Failed to allocate memory.\n"));
        EXPECT_FALSE(cap.contains("Set default configurations.\n"));
    }
    CsContextItem *item = csContextListGetItem(link);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(std::memcmp(&item->ctx->optsStore, &constOpts, sizeof(ConfigOpts)), 0);
    csIfCleanUp(link);
}

TEST(HostFunctions, RequestAllocationFailureIsReportedAsZero) {
    const CsLinkRef link = 1093;
    createLink(link);
    {
        FailingAlloc fail(0);
        LogCapture cap(1);
        EXPECT_EQ(csIfGetEstimate(link), 0);
        EXPECT_TRUE(cap.texts().empty());
    }
    // The link still answers, and answers once.
    EXPECT_TRUE(tarn_test::estimateAndWait(link));
    EXPECT_EQ(tarn_test::Deliveries::instance().count(link), 1);
    csIfCleanUp(link);
}

// The one place that pins the entry and exit lines of the exported entry
// points: the documented level-3 log a host reads a trace by.
TEST(EntryPoints, LogTheirEntryFirstAndTheirExitLast) {
    const CsLinkRef link = 1095, unknown = 1096;
    createLink(link);
    CsContext *ctx = static_cast<CsContext *>(calloc(1, csGetMemory(nullptr)));
    tarn_test::RttProcedure proc(4, 10, 2, 0);
    CsProcedure v2{};
    const CsInitRecord init = tarn_test::recordingInit();
    const double t = 1.0;
    const struct {
        std::string first, last;
        std::function<void()> call;
    } rows[] = {
        {"csGetMemory ENTER \n", "csGetMemory EXIT\n", [&] { csGetMemory(nullptr); }},
        {"csInit ENTER \n", "csInit EXIT\n", [&] { csInit(ctx, nullptr, 1); }},
        {"csSetParam ENTER \n", "csSetParam EXIT\n", [&] { csSetParam(ctx, 0, &constOpts); }},
        // Tone steps without tones: the whole road to a (no-distance) result.
        {"RTP_calcEstimate ENTER \n", "RTP_calcEstimate EXIT\n",
         [&] {
             std::memset(ctx->modeStore, 3, sizeof ctx->modeStore);
             ctx->measStore.N = 4;
             ctx->measStore.NAP = 4;
             RTP_calcEstimate(ctx);
         }},
        {"csAddMeasurement ENTER \n", "csAddMeasurement EXIT\n",
         [&] { csAddMeasurement(ctx, &proc.meas); }},
        {"csIfInit ENTER \n", "\nRecord already exists.\n", [&] { csIfInit(link, &init); }},
        {"csIfAddMeasurement ENTER \n", "csIfAddMeasurement EXIT\n",
         [&] { csIfAddMeasurement(link, &proc.meas); }},
        {"csIfAddMeasurementV2 ENTER \n", "csIfAddMeasurementV2 EXIT \n",
         [&] { csIfAddMeasurementV2(unknown, &v2); }},
        {"csIfSetParam ENTER \n", "csIfSetParam EXIT\n", [&] { csIfSetParam(link, 1, &t); }},
        {"csIfGetEstimate ENTER \n", "csIfGetEstimate EXIT\n", [&] { csIfGetEstimate(unknown); }},
        {"csIfCleanUp ENTER \n", "csIfCleanUp EXIT\n", [&] { csIfCleanUp(unknown); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.first);
        LogCapture cap(3);
        row.call();
        const auto texts = cap.texts();
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.front(), row.first);
        EXPECT_EQ(texts.back(), row.last);
    }
    // A stored v2 procedure reports its exit at level 2.
    LogCapture cap(2);
    csIfAddMeasurementV2(link, &v2);
    EXPECT_EQ(cap.texts().back(), "csIfAddMeasurementV2 EXIT \n");
    free(ctx);
    csIfCleanUp(link);
}

TEST(NoOpEntryPoints, DoNothing) {
    EXPECT_EQ(csCalcEstimateRTP(nullptr), 0);
    EXPECT_EQ(csCalcEstimateRTT(nullptr), 0);
}

}  // namespace
