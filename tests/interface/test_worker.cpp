// Request queue, worker, result delivery and the combination rule.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "iface_test_util.h"
#include "interface/interface_internal.h"
#include "log_capture.h"

namespace {

using tarn_test::createLink;
using tarn_test::Deliveries;
using tarn_test::estimateAndWait;
using tarn_test::LogCapture;

// ---- Combination rule --------------------------------------------------------

struct CombineCase {
    const char *name;
    RangeEstimate rtp;
    RangeEstimate rtt;
    uint8_t returnWithin;
    int written;
    double dest;
    int conf;
};

TEST(CombineRule, PicksThePhaseResultUnlessTheRttResultDisagrees) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const CombineCase cases[] = {
        {"rtt far away", {1, 5000.0, 80.0, 0}, {1, 40000.0, 0.0, 0}, 1, 1, 40000.0, 0},
        {"rtt within threshold", {1, 5000.0, 80.0, 0}, {1, 34000.0, 0.0, 0}, 1, 1, 5000.0, 80},
        {"difference equal to threshold",
         {1, 5000.0, 80.0, 0},
         {1, 35000.0, 0.0, 0},
         1,
         1,
         5000.0,
         80},
        {"rule switched off", {1, 5000.0, 80.0, 0}, {1, 40000.0, 0.0, 0}, 0, 1, 5000.0, 80},
        {"rtt invalid", {1, 5000.0, 80.0, 0}, {0, 40000.0, 0.0, 0}, 1, 1, 5000.0, 80},
        {"rtt valid flag not 1", {1, 5000.0, 80.0, 0}, {2, 40000.0, 0.0, 0}, 1, 1, 5000.0, 80},
        {"NaN difference", {1, 5000.0, 80.0, 0}, {1, nan, 0.0, 0}, 1, 1, nan, 0},
        {"phase invalid", {0, 5000.0, 80.0, 0}, {1, 40000.0, 0.0, 0}, 1, 0, 111.0, 7},
        {"phase valid flag not 1", {3, 5000.0, 80.0, 0}, {1, 40000.0, 0.0, 0}, 1, 0, 111.0, 7},
        {"no phase confidence", {1, 5000.0, -1.0, 0}, {0, 0.0, 0.0, 0}, 1, 1, 5000.0, -1},
        {"confidence truncated toward zero", {1, 10.0, -0.9, 0}, {0, 0, 0, 0}, 1, 1, 10.0, 0},
        {"fraction dropped", {1, 10.0, 79.99, 0}, {0, 0, 0, 0}, 1, 1, 10.0, 79},
        {"low 8 bits kept", {1, 10.0, 200.0, 0}, {0, 0, 0, 0}, 1, 1, 10.0, -56},
        {"NaN confidence", {1, 10.0, nan, 0}, {0, 0, 0, 0}, 1, 1, 10.0, 0},
        {"huge confidence saturates", {1, 10.0, 1e20, 0}, {0, 0, 0, 0}, 1, 1, 10.0, -1},
    };
    CsContext *ctx = static_cast<CsContext *>(calloc(1, csGetMemory(nullptr)));
    csInit(ctx, nullptr, 0);
    ctx->optsStore = constOpts;
    ASSERT_EQ(ctx->opts->rtpWithinRttThresh, 30.0);
    ASSERT_EQ(ctx->opts->distSF, 1000);
    for (const CombineCase &c : cases) {
        SCOPED_TRACE(c.name);
        ctx->optsStore.returnRtpWithinRttThresh = c.returnWithin;
        CsEstimate result{};
        result.dest = 111.0;
        result.conf = 7;
        EXPECT_EQ(alg_combineRttRtp(ctx, &c.rtp, &c.rtt, &result), c.written);
        if (std::isnan(c.dest)) {
            EXPECT_TRUE(std::isnan(result.dest));
        } else {
            EXPECT_EQ(result.dest, c.dest);
        }
        EXPECT_EQ(result.conf, c.conf);
    }
    // The threshold scales with distSF.
    ctx->optsStore = constOpts;
    ctx->optsStore.distSF = 100;  // threshold 3000
    const RangeEstimate rtp = {1, 500.0, 90.0, 0}, rtt = {1, 3600.0, 0.0, 0};
    CsEstimate result{};
    alg_combineRttRtp(ctx, &rtp, &rtt, &result);
    EXPECT_EQ(result.dest, 3600.0);
    EXPECT_EQ(alg_combineRttRtp(ctx, nullptr, &rtt, &result), 0);
    free(ctx);
}

// ---- Queue -------------------------------------------------------------------

TEST(Worker, AnswersRequestsInQueueOrder) {
    const CsLinkRef A = 2001, B = 2002;
    createLink(A);
    createLink(B);
    // Hold the registry so the worker cannot finish any of the three before
    // all are queued.
    csContextListlock();
    for (CsLinkRef l : {A, A, B}) {
        auto *req = static_cast<CsRequest *>(calloc(1, sizeof(CsRequest)));
        req->linkRef = l;
        ASSERT_EQ(csAddRequest(req), 1);
    }
    csContextListunlock();
    ASSERT_TRUE(Deliveries::instance().waitFor(B, 1));
    const auto got = Deliveries::instance().of({A, B});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].link, A);
    EXPECT_EQ(got[1].link, A);
    EXPECT_EQ(got[2].link, B);

    // The same through the host function.
    for (CsLinkRef l : {A, A, B}) ASSERT_EQ(csIfGetEstimate(l), 1);
    ASSERT_TRUE(Deliveries::instance().waitFor(B, 2));
    const auto again = Deliveries::instance().of({A, B});
    ASSERT_EQ(again.size(), 6u);
    EXPECT_EQ(again[3].link, A);
    EXPECT_EQ(again[4].link, A);
    EXPECT_EQ(again[5].link, B);
    csIfCleanUp(A);
    csIfCleanUp(B);
    EXPECT_EQ(csAddRequest(nullptr), 0);
}

TEST(Worker, RequestOfARemovedLinkIsDroppedWithoutCallback) {
    const CsLinkRef gone = 2011, marker = 2012;
    createLink(gone);
    createLink(marker);
    csContextListlock();
    auto *req = static_cast<CsRequest *>(calloc(1, sizeof(CsRequest)));
    req->linkRef = gone;
    csAddRequest(req);
    // Removed while the worker waits for the registry.
    csContextClearItem(gone);
    csContextListunlock();
    // The marker is answered after the dropped request.
    ASSERT_TRUE(estimateAndWait(marker));
    EXPECT_EQ(Deliveries::instance().count(gone), 0);
    csIfCleanUp(marker);
}

TEST(Worker, GetRequestAndClearRequestsManageTheQueue) {
    pthread_mutex_lock(&requestLock);
    const CsRequest *pending = requestListHead;
    pthread_mutex_unlock(&requestLock);
    ASSERT_EQ(pending, nullptr);  // previous tests drained the queue

    // Linked in without a signal, so the sleeping worker normally leaves them;
    // with the registry held it could take at most one anyway.
    csContextListlock();
    CsRequest *reqs[3];
    for (int i = 0; i < 3; ++i) {
        reqs[i] = static_cast<CsRequest *>(calloc(1, sizeof(CsRequest)));
        reqs[i]->linkRef = 2021 + i;  // unknown links: dropped if the worker gets them
    }
    pthread_mutex_lock(&requestLock);
    requestListHead = reqs[0];
    reqs[0]->next = reqs[1];
    reqs[1]->next = reqs[2];
    pthread_mutex_unlock(&requestLock);
    CsRequest *got = csGetRequest();
    // Either the worker or we took the first one; ours comes out detached.
    if (got != nullptr) {
        EXPECT_EQ(got->next, nullptr);
        free(got);
    }
    csClearRequests();
    pthread_mutex_lock(&requestLock);
    EXPECT_EQ(requestListHead, nullptr);
    pthread_mutex_unlock(&requestLock);
    csContextListunlock();
    EXPECT_EQ(csGetRequest(), nullptr);
}

// ---- Results delivered --------------------------------------------------------

TEST(Worker, EstimateBeforeAnyMeasurementDeliversNoEstimate) {
    const CsLinkRef link = 2031;
    createLink(link);
    LogCapture cap(0);
    ASSERT_TRUE(estimateAndWait(link));
    const auto got = Deliveries::instance().of({link});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].dest, 0.0);
    EXPECT_EQ(got[0].conf, -1);
    EXPECT_TRUE(cap.contains("Final Distance: 0.000000 Confidence: -1 \n"));
    csIfCleanUp(link);
}

TEST(Worker, RoundTripTimeResultReachesTheCallback) {
    const CsLinkRef link = 2041;
    createLink(link);
    // 20 steps of time of flight 4 half-nanoseconds: 0.5994 m.
    tarn_test::RttProcedure proc(20, 10, 2, 1000000);
    ASSERT_EQ(csIfAddMeasurement(link, &proc.meas), 1);
    ASSERT_TRUE(estimateAndWait(link));
    const auto got = Deliveries::instance().of({link});
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NEAR(got[0].dest, 599.4, 1e-6);
    EXPECT_EQ(got[0].conf, 0);
    // The result record stays in the context until the next computation.
    EXPECT_NEAR(csContextListGetItem(link)->ctx->resultStore.dest, 599.4, 1e-6);
    csIfCleanUp(link);
}

TEST(Worker, NullCallbackIsSkipped) {
    const CsLinkRef link = 2051, marker = 2052;
    const CsInitRecord init{nullptr};
    createLink(marker);
    {
        LogCapture cap(1);
        EXPECT_EQ(csIfInit(link, &init), 0);
        EXPECT_TRUE(cap.contains(
            "No result callback for link 2051: its estimates will not be delivered.\n"));
    }
    ASSERT_EQ(csContextListExistItem(link), 1);
    // After the link creations, which install their own log level.
    LogCapture cap(1);
    EXPECT_EQ(csIfGetEstimate(link), 1);
    ASSERT_TRUE(estimateAndWait(marker));
    EXPECT_TRUE(cap.contains("No result callback for link 2051; result not delivered.\n"));
    csIfCleanUp(link);
    csIfCleanUp(marker);
}

// ---- Calls from inside the callback ------------------------------------------

struct ReentryResults {
    int init = -1, add = -1, addV2 = -1, setParam = -1, estimate = -1, cleanUp = -1;
    bool existsDuringCallback = false;
    bool done = false;
};
ReentryResults gReentry;
constexpr CsLinkRef kReentryLink = 2061;

void reentrantCallback(CsEstimate *result, CsRequest *request) {
    tarn_test::RttProcedure proc(4, 10, 2, 0);
    CsProcedure v2{};
    const double seed = 1.0;
    const CsInitRecord init{&reentrantCallback};
    gReentry.init = csIfInit(2062, &init);
    gReentry.add = csIfAddMeasurement(kReentryLink, &proc.meas);
    gReentry.addV2 = csIfAddMeasurementV2(kReentryLink, &v2);
    gReentry.setParam = csIfSetParam(kReentryLink, 1, &seed);
    gReentry.estimate = csIfGetEstimate(kReentryLink);
    gReentry.cleanUp = csIfCleanUp(kReentryLink);
    // The registry itself stays usable from here.
    gReentry.existsDuringCallback = csContextListExistItem(kReentryLink) == 1;
    gReentry.done = true;
    Deliveries::callback(result, request);
}

TEST(Worker, HostFunctionsCalledFromTheCallbackAreRefused) {
    const CsInitRecord init{&reentrantCallback};
    csIfInit(kReentryLink, &init);
    LogCapture cap(1);
    ASSERT_TRUE(estimateAndWait(kReentryLink));
    ASSERT_TRUE(gReentry.done);
    EXPECT_EQ(gReentry.init, 0);
    EXPECT_EQ(gReentry.add, 0);
    EXPECT_EQ(gReentry.addV2, 0);
    EXPECT_EQ(gReentry.setParam, 0);
    EXPECT_EQ(gReentry.estimate, 0);
    EXPECT_EQ(gReentry.cleanUp, 0);
    EXPECT_TRUE(gReentry.existsDuringCallback);
    for (const char *fn : {"csIfInit", "csIfAddMeasurement", "csIfAddMeasurementV2", "csIfSetParam",
                           "csIfGetEstimate", "csIfCleanUp"}) {
        EXPECT_EQ(
            cap.count(std::string(fn) + " refused: called while the link registry is held (result "
                                        "callback).\n"),
            1)
            << fn;
    }
    EXPECT_EQ(csContextListExistItem(kReentryLink), 1);
    EXPECT_EQ(csContextListExistItem(2062), 0);
    EXPECT_EQ(Deliveries::instance().count(kReentryLink), 1);
    EXPECT_EQ(csIfCleanUp(kReentryLink), 1);
}

TEST(Worker, HostFunctionsAreRefusedWhileTheCallerHoldsTheRegistry) {
    const CsLinkRef link = 2071;
    createLink(link);
    LogCapture cap(1);
    csContextListlock();
    EXPECT_EQ(csIfGetEstimate(link), 0);
    EXPECT_EQ(csIfCleanUp(link), 0);
    // Nested locking is counted, not deadlocked.
    csContextListlock();
    EXPECT_TRUE(cap.contains("csContextListlock: registry lock already held by this thread.\n"));
    csContextListunlock();
    EXPECT_EQ(csContextListExistItem(link), 1);
    csContextListunlock();
    csContextListunlock();  // not held: reported, no effect
    EXPECT_TRUE(cap.contains("csContextListunlock: registry lock not held by this thread.\n"));
    EXPECT_EQ(csIfCleanUp(link), 1);
}

// ---- Worker thread --------------------------------------------------------------

size_t gWorkerStack = 0;
std::atomic<bool> gWorkerIsOther{false};
pthread_t gTestThread;

void stackProbeCallback(CsEstimate *result, CsRequest *request) {
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &gWorkerStack);
        pthread_attr_destroy(&attr);
    }
    gWorkerIsOther = !pthread_equal(pthread_self(), gTestThread);
    Deliveries::callback(result, request);
}

TEST(Worker, RunsOnItsOwnThreadWithAOneMebibyteStack) {
    const CsLinkRef link = 2081;
    gTestThread = pthread_self();
    const CsInitRecord init{&stackProbeCallback};
    csIfInit(link, &init);
    EXPECT_EQ(__atomic_load_n(&runThread, __ATOMIC_ACQUIRE), 1);
    const int starts = tarnWorkerStartCount();
    EXPECT_GE(starts, 1);
    ASSERT_TRUE(estimateAndWait(link));
    EXPECT_EQ(tarnWorkerStartCount(), starts);
    EXPECT_TRUE(gWorkerIsOther);
    EXPECT_EQ(gWorkerStack, 1024u * 1024u);
    // The worker's body does nothing on another thread.
    LogCapture cap(1);
    EXPECT_EQ(process_request(nullptr), nullptr);
    EXPECT_TRUE(cap.contains("process_request: not the request handler thread.\n"));
    csIfCleanUp(link);
}

TEST(Worker, StopAndRestartKeepsASingleWorker) {
    const CsLinkRef link = 2091;
    createLink(link);
    const int starts = tarnWorkerStartCount();
    deinitRequestHandler();
    EXPECT_EQ(__atomic_load_n(&runThread, __ATOMIC_ACQUIRE), 0);
    // A waiting worker serves the request that wakes it and then leaves; one
    // caught between requests leaves at once and the request waits in the
    // queue. Either way the next link creation gets it answered: it starts a
    // worker again (a new one, or the old one carries on if it has not left
    // yet), never two.
    const int before = Deliveries::instance().count(link);
    ASSERT_EQ(csIfGetEstimate(link), 1);
    createLink(link + 1);
    EXPECT_EQ(__atomic_load_n(&runThread, __ATOMIC_ACQUIRE), 1);
    EXPECT_LE(tarnWorkerStartCount(), starts + 1);
    ASSERT_TRUE(Deliveries::instance().waitFor(link, before + 1));
    ASSERT_TRUE(estimateAndWait(link));
    ASSERT_TRUE(estimateAndWait(link + 1));
    csIfCleanUp(link);
    csIfCleanUp(link + 1);
}

// ---- Per-link tracking state ----------------------------------------------------

TEST(TrackingState, EachLinkKeepsItsOwnWorkingState) {
    const CsLinkRef A = 2101, B = 2102;
    createLink(A);
    createLink(B);
    tarn_test::RttProcedure near(20, 10, 2, 1000000);  // 0.5994 m
    tarn_test::RttProcedure far(20, 50, 2, 1000000);   // 24 half-ns: 3.5964 m
    ASSERT_EQ(csIfAddMeasurement(A, &near.meas), 1);
    ASSERT_EQ(csIfAddMeasurement(B, &far.meas), 1);

    csContextListlock();
    const NewPresState sharedBefore = gNewPres;
    csContextListunlock();
    ASSERT_TRUE(estimateAndWait(A));
    csContextListlock();
    EXPECT_NEAR(tarn_test::linkState(A).filters.rttOut.dest, 0.5994, 1e-9);
    // The link's own state only: the shared working record is not touched.
    EXPECT_EQ(std::memcmp(&sharedBefore, &gNewPres, sizeof(NewPresState)), 0);
    NewPresState zero;
    std::memset(&zero, 0, sizeof zero);
    EXPECT_EQ(std::memcmp(&tarn_test::linkState(B).filters, &zero, sizeof zero), 0);
    const NewPresState aAfterFirst = tarn_test::linkState(A).filters;
    csContextListunlock();

    ASSERT_TRUE(estimateAndWait(B));
    csContextListlock();
    // B's window holds only its own distance; A's saved state is untouched.
    EXPECT_NEAR(tarn_test::linkState(B).filters.rttOut.dest, 3.5964, 1e-9);
    for (int i = 0; i < TARN_MAX_WINDOW_SLOTS; ++i) {
        if (tarn_test::linkState(B).filters.rttWin[i].valid == 1) {
            EXPECT_NEAR(tarn_test::linkState(B).filters.rttWin[i].dest, 3.5964, 1e-9) << i;
        }
    }
    EXPECT_EQ(std::memcmp(&tarn_test::linkState(A).filters, &aAfterFirst, sizeof(NewPresState)), 0);
    csContextListunlock();

    ASSERT_TRUE(estimateAndWait(A));
    const auto got = Deliveries::instance().of({A, B});
    ASSERT_EQ(got.size(), 3u);
    EXPECT_NEAR(got[0].dest, 599.4, 1e-6);
    EXPECT_NEAR(got[1].dest, 3596.4, 1e-6);
    EXPECT_NEAR(got[2].dest, 599.4, 1e-6);
    csIfCleanUp(A);
    csIfCleanUp(B);
}

TEST(TrackingState, CreatingALinkLeavesOtherWindowsAlone) {
    const CsLinkRef A = 2111, C = 2112;
    createLink(A);
    csContextListlock();
    tarn_test::linkState(A).filters.rtpWinCtl.index = 5;
    gNewPres.rtpWinCtl.index = 6;
    csContextListunlock();

    createLink(C);
    csContextListlock();
    EXPECT_EQ(tarn_test::linkState(A).filters.rtpWinCtl.index, 5);
    EXPECT_EQ(tarn_test::linkState(C).filters.rtpWinCtl.index, 0);
    EXPECT_EQ(gNewPres.rtpWinCtl.index, 6);
    csContextListunlock();

    // A context laid out outside the registry works on the shared record.
    CsContext *standalone = static_cast<CsContext *>(calloc(1, csGetMemory(nullptr)));
    csInit(standalone, nullptr, A);  // same reference, different context
    csContextListlock();
    EXPECT_EQ(gNewPres.rtpWinCtl.index, 0);
    EXPECT_EQ(tarn_test::linkState(A).filters.rtpWinCtl.index, 5);
    csContextListunlock();
    free(standalone);
    csIfCleanUp(A);
    csIfCleanUp(C);
}

}  // namespace
