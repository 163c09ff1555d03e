// Faults found by attacking the library as a hostile host would: stale and
// invalid results delivered, a removed link's requests, hostile option
// records, a link removed from its own callback, time stamps that wrap.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <vector>

#include "iface_test_util.h"
#include "interface/interface_internal.h"
#include "log_capture.h"
#include "measurement/measurement_internal.h"
#include "rtt_test_context.h"

namespace {

using tarn_test::createLink;
using tarn_test::Deliveries;
using tarn_test::estimateAndWait;
using tarn_test::LogCapture;
using tarn_test::StepProcedure;

constexpr double kSol = 299700000.0;

// Tones of a single direct path at distM on the given channels (each side
// reports the one-way response, so their product carries the distance).
void addTones(StepProcedure &p, const std::vector<int> &channels, double distM) {
    for (int ch : channels) {
        const int i = p.addTone(static_cast<uint8_t>(ch), 2);
        const double f = 2402e6 + 1e6 * ch;
        const std::complex<double> h = std::polar(1000.0, -2.0 * M_PI * f * distM / kSol);
        for (auto *pct : {&p.initPct[i], &p.reflPct[i]}) {
            (*pct)[0] = static_cast<int16_t>(std::lround(h.real()));
            (*pct)[1] = static_cast<int16_t>(std::lround(h.imag()));
        }
    }
}

std::vector<int> channels72() {
    std::vector<int> ch;
    for (int k = 2; k <= 76; ++k)
        if (k < 23 || k > 25) ch.push_back(k);
    return ch;
}

// n round-trip steps whose time of flight is `tof` half-nanoseconds.
void addRtt(StepProcedure &p, int n, int16_t tof) {
    for (int i = 0; i < n; ++i) p.addRtt(static_cast<uint8_t>(2 + i), static_cast<int16_t>(2 * tof), 0);
}

tarn_test::Delivery lastOf(CsLinkRef link) {
    const auto got = Deliveries::instance().of({link});
    return got.empty() ? tarn_test::Delivery{link, -1.0, -100} : got.back();
}

TarnLatestComputation latestOf(CsLinkRef link) {
    TarnLatestComputation rec{};
    rec.size = sizeof rec;
    EXPECT_EQ(tarnGetLatestComputation(link, &rec), 1);
    return rec;
}

// ---- What a computation delivers ------------------------------------------------

TEST(DeliveredResult, AComputationWithoutUsableDataSaysNoEstimate) {
    const CsLinkRef link = 0x5101;
    createLink(link);
    StepProcedure good(1, 1000000);
    addRtt(good, 20, 20);  // 2.997 m
    ASSERT_EQ(csIfAddMeasurement(link, good.build()), 1);
    ASSERT_TRUE(estimateAndWait(link));
    EXPECT_DOUBLE_EQ(lastOf(link).dest, 2997.0);

    // Only frequency-calibration steps: neither estimator has anything.
    StepProcedure idle(1, 1100000);
    for (int i = 0; i < 10; ++i) idle.add(static_cast<uint8_t>(2 + i), 0);
    ASSERT_EQ(csIfAddMeasurement(link, idle.build()), 1);
    ASSERT_TRUE(estimateAndWait(link));
    EXPECT_EQ(lastOf(link).dest, 0.0);
    EXPECT_EQ(lastOf(link).conf, -1);
    const TarnLatestComputation rec = latestOf(link);
    EXPECT_EQ(rec.phase.valid, 0);
    EXPECT_EQ(rec.rtt.valid, 0);
    EXPECT_EQ(rec.result.conf, -1);
    csIfCleanUp(link);
}

TEST(DeliveredResult, PhaseWithoutDistanceLeavesTheRoundTripDistance) {
    const CsLinkRef link = 0x5102;
    createLink(link);
    // Tones on 5 channels are too few for a phase distance.
    StepProcedure p(1, 1000000);
    addTones(p, {10, 20, 30, 40, 50}, 3.0);
    addRtt(p, 20, 20);
    ASSERT_EQ(csIfAddMeasurement(link, p.build()), 1);
    ASSERT_TRUE(estimateAndWait(link));
    EXPECT_DOUBLE_EQ(lastOf(link).dest, 2997.0);
    EXPECT_EQ(lastOf(link).conf, 0);
    EXPECT_EQ(latestOf(link).phase.valid, 0);
    EXPECT_EQ(latestOf(link).rtt.valid, 1);
    csIfCleanUp(link);
}

TEST(DeliveredResult, TooFewRoundTripStepsLeaveThePhaseDistance) {
    const CsLinkRef link = 0x5103;
    createLink(link);
    StepProcedure p(1, 1000000);
    addTones(p, channels72(), 40.0);
    addRtt(p, 5, 267);  // fewer than minRttStepsForDistEstimation
    ASSERT_EQ(csIfAddMeasurement(link, p.build()), 1);
    ASSERT_TRUE(estimateAndWait(link));
    EXPECT_NEAR(lastOf(link).dest, 40000.0, 100.0);
    EXPECT_EQ(lastOf(link).conf, 100);
    const TarnLatestComputation rec = latestOf(link);
    EXPECT_EQ(rec.phase.valid, 1);
    EXPECT_EQ(rec.rtt.valid, 0);
    // The round-trip filters kept their state: no time was recorded.
    csContextListlock();
    EXPECT_EQ(csContextListGetItem(link)->ctx->presStore.rttTime, TARN_NO_PREVIOUS_TIME);
    csContextListunlock();
    csIfCleanUp(link);
}

// ---- Requests of a removed link ------------------------------------------------

void layOut(CsContextItem *entry, CsLinkRef link) {
    entry->linkRef = link;
    entry->callback = &Deliveries::callback;
    entry->ctx = static_cast<CsContext *>(calloc(1, static_cast<size_t>(csGetMemory(nullptr))));
    csInit(entry->ctx, nullptr, link);
    csSetParam(entry->ctx, TARN_PARAM_OPTIONS, &constOpts);
}

TEST(RemovedLink, QueuedRequestsAreNotAnsweredOnANewLinkWithItsReference) {
    const CsLinkRef reused = 0x5201, marker = 0x5202;
    createLink(reused);
    createLink(marker);
    // Held so that the worker cannot serve anything meanwhile.
    csContextListlock();
    for (int i = 0; i < 3; ++i) {
        auto *req = static_cast<CsRequest *>(calloc(1, sizeof(CsRequest)));
        req->linkRef = reused;
        ASSERT_EQ(csAddRequest(req), 1);
    }
    csContextClearItem(reused);
    // A new link under the same reference, registered before the worker runs.
    auto *entry = static_cast<CsContextItem *>(calloc(1, sizeof(CsContextItem)));
    layOut(entry, reused);
    ASSERT_EQ(csContextListAddItem(entry), 1);
    csContextListunlock();
    ASSERT_TRUE(estimateAndWait(marker));
    EXPECT_EQ(Deliveries::instance().count(reused), 0);
    csIfCleanUp(reused);
    csIfCleanUp(marker);
}

TEST(RemovedLink, TheRequestBeingServedIsDroppedWithItsLink) {
    csContextListlock();  // keeps the worker away from the queue's contents
    auto *req = static_cast<CsRequest *>(calloc(1, sizeof(CsRequest)));
    req->linkRef = 0x5211;
    pthread_mutex_lock(&requestLock);
    CsRequest *saved = requestListHead;
    requestListHead = nullptr;  // an empty queue of our own for the moment
    pthread_mutex_unlock(&requestLock);
    // Linked in without a signal: the worker does not wake for it.
    pthread_mutex_lock(&requestLock);
    requestListHead = req;
    pthread_mutex_unlock(&requestLock);
    CsRequest *taken = tarnQueueTake();
    ASSERT_EQ(taken, req);
    EXPECT_FALSE(tarnQueueInFlightDropped());
    tarnQueueDropLink(0x5212, false);
    EXPECT_FALSE(tarnQueueInFlightDropped());
    tarnQueueDropLink(0x5211, false);
    EXPECT_TRUE(tarnQueueInFlightDropped());
    free(taken);
    pthread_mutex_lock(&requestLock);
    requestListHead = saved;
    pthread_mutex_unlock(&requestLock);
    csContextListunlock();
}

TEST(RequestQueue, EachLinkKeepsAtMostItsLimitQueued) {
    const CsLinkRef link = 0x5221, other = 0x5222;
    createLink(link);
    createLink(other);
    LogCapture cap(1);
    csContextListlock();
    for (int i = 0; i < TARN_MAX_QUEUED_REQUESTS_PER_LINK + 4; ++i) {
        auto *req = static_cast<CsRequest *>(calloc(1, sizeof(CsRequest)));
        req->linkRef = link;
        ASSERT_EQ(csAddRequest(req), 1);
        if (i == 0) {
            auto *o = static_cast<CsRequest *>(calloc(1, sizeof(CsRequest)));
            o->linkRef = other;
            ASSERT_EQ(csAddRequest(o), 1);
        }
    }
    // The worker may hold the first request (waiting for the registry); the
    // queue itself holds the newest ones of the link, and the other link's.
    int queued = 0, others = 0;
    pthread_mutex_lock(&requestLock);
    for (const CsRequest *r = requestListHead; r != nullptr; r = r->next) {
        queued += r->linkRef == link;
        others += r->linkRef == other;
    }
    pthread_mutex_unlock(&requestLock);
    csContextListunlock();
    EXPECT_EQ(queued, TARN_MAX_QUEUED_REQUESTS_PER_LINK);
    EXPECT_EQ(others, 1);
    EXPECT_GE(cap.count("Estimate requests of link 21025 exceed 16: the oldest is dropped.\n"), 3);
    ASSERT_TRUE(Deliveries::instance().waitFor(other, 1));
    ASSERT_TRUE(estimateAndWait(link));
    csIfCleanUp(link);
    csIfCleanUp(other);
}

// ---- Hostile option records ------------------------------------------------------

struct HostileField {
    const char *name;
    void (*set)(ConfigOpts &, double);
    double ConfigOpts::*field;  // checked when not null: the default is back
};

TEST(HostileOptions, InstalledRecordsNeverDeliverANonFiniteDistance) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const HostileField fields[] = {
        {"rttDisCalAA", [](ConfigOpts &o, double v) { o.rttDisCalAA = v; }, &ConfigOpts::rttDisCalAA},
        {"sol", [](ConfigOpts &o, double v) { o.sol = v; }, &ConfigOpts::sol},
        {"calDistOffset", [](ConfigOpts &o, double v) { o.calDistOffset = v; },
         &ConfigOpts::calDistOffset},
        {"cirOffset", [](ConfigOpts &o, double v) { o.cirOffset = v; }, &ConfigOpts::cirOffset},
        {"phaseRotationOffset", [](ConfigOpts &o, double v) { o.phaseRotationOffset = v; },
         &ConfigOpts::phaseRotationOffset},
        {"fiAvgPwr", [](ConfigOpts &o, double v) { o.fiAvgPwr = v; }, &ConfigOpts::fiAvgPwr},
        {"muMagThr", [](ConfigOpts &o, double v) { o.muMagThr = v; }, &ConfigOpts::muMagThr},
        {"disCal[0]", [](ConfigOpts &o, double v) { o.disCal[0] = v; }, nullptr},
    };
    const double values[] = {nan, inf, -inf, 1e308, -1e308};
    const CsLinkRef link = 0x5301;
    createLink(link);
    uint32_t t = 1000000;
    for (const HostileField &f : fields) {
        for (double v : values) {
            SCOPED_TRACE(std::string(f.name) + " = " + std::to_string(v));
            ConfigOpts opts = constOpts;
            f.set(opts, v);
            ASSERT_EQ(csIfSetParam(link, TARN_PARAM_OPTIONS, &opts), 1);
            csContextListlock();
            const ConfigOpts &installed = csContextListGetItem(link)->ctx->optsStore;
            if (f.field != nullptr) {
                EXPECT_EQ(std::memcmp(&(installed.*f.field), &(constOpts.*f.field), sizeof(double)), 0);
            } else {
                EXPECT_TRUE(std::isfinite(installed.disCal[0]));
            }
            csContextListunlock();
            StepProcedure p(1, t += 100000);
            addTones(p, channels72(), 3.0);
            addRtt(p, 20, 20);
            ASSERT_EQ(csIfAddMeasurement(link, p.build()), 1);
            ASSERT_TRUE(estimateAndWait(link));
            const tarn_test::Delivery d = lastOf(link);
            EXPECT_TRUE(std::isfinite(d.dest));
            EXPECT_NEAR(d.dest, 3000.0, 200.0);
        }
    }
    csIfCleanUp(link);
}

TEST(HostileOptions, RepairsOfAnInstalledRecordAreLogged) {
    const CsLinkRef link = 0x5302;
    createLink(link);
    ConfigOpts opts = constOpts;
    opts.sol = 0.0;
    opts.qWrap = 0;
    opts.rttSlidingWindowSize = 500;
    LogCapture cap(1);
    ASSERT_EQ(csIfSetParam(link, TARN_PARAM_OPTIONS, &opts), 1);
    EXPECT_TRUE(cap.contains("Incorrect SOL.\n"));
    EXPECT_TRUE(cap.contains("Incorrect Q_WRAP.\n"));
    EXPECT_TRUE(cap.contains("Incorrect RttSlidingWindowSize.\n"));
    // Fields left at their defaults are not reported, also where the file's
    // checks would restore them (fiMinConf's default lies above its limit).
    EXPECT_FALSE(cap.contains("Incorrect FiMinConf.\n"));
    csContextListlock();
    const ConfigOpts &installed = csContextListGetItem(link)->ctx->optsStore;
    EXPECT_EQ(installed.sol, constOpts.sol);
    EXPECT_EQ(installed.qWrap, constOpts.qWrap);
    EXPECT_EQ(installed.rttSlidingWindowSize, constOpts.rttSlidingWindowSize);
    csContextListunlock();
    csIfCleanUp(link);
}

// ---- The link being delivered ------------------------------------------------------

struct SelfRemoval {
    CsLinkRef link = 0;
    int response = -1;
    bool existsAfter = true;
    double destSeen = -1.0;
};
SelfRemoval gSelf;

void removeItselfCallback(CsEstimate *result, CsRequest *request) {
    csContextClearItem(request->linkRef);
    double mags[512];
    gSelf.response = tarnGetLatestImpulseResponse(request->linkRef, 0, mags, 512, nullptr, nullptr);
    gSelf.existsAfter = csContextListExistItem(request->linkRef) == 1;
    gSelf.destSeen = result->dest;  // still readable until the callback returns
    Deliveries::callback(result, request);
}

TEST(DeliveredLink, RemovingItselfFromItsCallbackIsSafe) {
    const CsLinkRef link = 0x5401;
    const CsInitRecord init{&removeItselfCallback};
    csIfInit(link, &init);
    StepProcedure p(1, 1000000);
    addTones(p, channels72(), 3.0);
    addRtt(p, 20, 20);
    ASSERT_EQ(csIfAddMeasurement(link, p.build()), 1);
    ASSERT_TRUE(estimateAndWait(link));
    EXPECT_EQ(gSelf.response, 0);
    EXPECT_FALSE(gSelf.existsAfter);
    EXPECT_NEAR(gSelf.destSeen, 3000.0, 200.0);
    EXPECT_EQ(csContextListExistItem(link), 0);
}

int gResponseSize = -1;
void responseCallback(CsEstimate *result, CsRequest *request) {
    double mags[512];
    gResponseSize = tarnGetLatestImpulseResponse(request->linkRef, 0, mags, 512, nullptr, nullptr);
    Deliveries::callback(result, request);
}

TEST(DeliveredLink, NoImpulseResponseWhereTheOptionsCannotFormOne) {
    const CsLinkRef link = 0x5402;
    const CsInitRecord init{&responseCallback};
    csIfInit(link, &init);
    uint32_t t = 1000000;
    for (uint32_t qWrap : {65536u, 1u}) {
        SCOPED_TRACE(qWrap);
        ConfigOpts opts = constOpts;
        opts.qWrap = qWrap;  // one unit per turn: no phase resolution at all
        ASSERT_EQ(csIfSetParam(link, TARN_PARAM_OPTIONS, &opts), 1);
        StepProcedure p(1, t += 100000);
        addTones(p, channels72(), 3.0);
        ASSERT_EQ(csIfAddMeasurement(link, p.build()), 1);
        ASSERT_TRUE(estimateAndWait(link));
        EXPECT_EQ(gResponseSize, qWrap == 1 ? 0 : 512);
    }
    csIfCleanUp(link);
}

// ---- Time stamps -------------------------------------------------------------------

TEST(ProcedureTime, StepLevelStampsAreUnwrapped) {
    struct Case {
        double previous;
        uint32_t stamp;
        double expected;
    };
    const double wrap = 4294967296.0;
    const Case cases[] = {
        {0.0, 4000000000u, 4000000000.0},            // first procedure: as it comes
        {1000.0, 2000u, 2000.0},                     // plain step forward
        {4294867296.0, 100000u, wrap + 100000.0},    // across the wrap
        {wrap + 100000.0, 200000u, wrap + 200000.0}, // after it
        {wrap + 100000.0, 50000u, wrap + 50000.0},   // a step back stays a step back
        {3.0 * wrap + 5.0, 4294967295u, 3.0 * wrap - 1.0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(tarn_measurement::unwrapTimeUs(c.previous, c.stamp), c.expected)
            << c.previous << " " << c.stamp;
    }
}

TEST(ProcedureTime, RoundTripTrackingContinuesAcrossTheWrap) {
    const CsLinkRef link = 0x5501;
    createLink(link);
    // 100 ms apart, the second one past the 32-bit wrap of microseconds.
    for (uint32_t stamp : {4294917296u, 50000u}) {
        StepProcedure p(1, stamp);
        addRtt(p, 20, 20);
        ASSERT_EQ(csIfAddMeasurement(link, p.build()), 1);
        ASSERT_TRUE(estimateAndWait(link));
    }
    csContextListlock();
    const CsContext *ctx = csContextListGetItem(link)->ctx;
    EXPECT_DOUBLE_EQ(ctx->timeUs, 4294967296.0 + 50000.0);
    // No reset: the Kalman variance grew from its reset value and shrank.
    EXPECT_NE(ctx->presStore.rttK, -1.0);
    csContextListunlock();
    csIfCleanUp(link);
}

// ---- Refusals are explained ----------------------------------------------------------

TEST(Refusals, AProcedureAboveTheStepLimitSaysWhy) {
    const CsLinkRef link = 0x5601;
    createLink(link);
    std::vector<CsStep> steps[2];
    for (auto &side : steps) {
        side.resize(300);
        for (size_t i = 0; i < side.size(); ++i) {
            side[i].channel = static_cast<uint8_t>(2 + i % 70);
            side[i].mode = 0;
        }
    }
    CsSubevent se[2] = {};
    for (int s = 0; s < 2; ++s) {
        se[s].NAP = 1;
        se[s].numSteps = 300;
        se[s].steps = steps[s].data();
    }
    CsProcedure proc{};
    proc.numInitSubevents = 1;
    proc.initSubevents = &se[0];
    proc.numReflSubevents = 1;
    proc.reflSubevents = &se[1];
    LogCapture cap(1);
    EXPECT_EQ(csIfAddMeasurementV2(link, &proc), 0);
    bool explained = false;
    for (const auto &line : cap.lines()) explained |= line.prio == 6;
    EXPECT_TRUE(explained);
    csIfCleanUp(link);
}

}  // namespace
