// Phase-based ranging end to end: simulated procedures through the host
// functions, results through the callback. The procedures carry no
// round-trip steps, so the delivered distance is the phase estimate.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <vector>

#include "simulator.h"
#include "deliveries.h"
#include "tarn_interface.h"
#include "tarn_rtp.h"
#include "wire.h"

using namespace tarn_sim;

namespace {

using tarn_test::Delivery;
using tarn_test::gDeliveries;

void onResult(CsEstimate *result, CsRequest *request) { tarn_test::recordDelivery(result, request); }

bool estimate(CsLinkRef link, Delivery *out) { return tarn_test::estimateAndWait(link, out); }

SimConfig phaseOnly(double distM, int nap, double snrDb, uint64_t seed) {
    SimConfig cfg;
    cfg.trajectory = Trajectory::still(distM);
    cfg.nap = nap;
    cfg.snrDb = snrDb;
    cfg.rttEvery = 0;
    cfg.seed = seed;
    return cfg;
}

double percentile(std::vector<double> v, double q) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(q * (v.size() - 1) + 0.5)];
}

class PhaseEndToEnd : public ::testing::Test {
  public:
    CsLinkRef open(CsLinkRef link) {
        static CsInitRecord rec = {onResult};
        csIfInit(link, &rec);
        EXPECT_EQ(csContextListExistItem(link), 1);
        links_.push_back(link);
        return link;
    }
    void install(CsLinkRef link, const ConfigOpts &opts) {
        ASSERT_EQ(csIfSetParam(link, 0, &opts), 1);
    }
    // One procedure in, one delivered result out (metres; NaN without one).
    Delivery range(CsLinkRef link, const Procedure &p) {
        WireProcedure w(p);
        EXPECT_EQ(csIfAddMeasurementV2(link, w.get()), 1);
        Delivery d{link, std::nan(""), -128};
        EXPECT_TRUE(estimate(link, &d));
        return d;
    }
    void TearDown() override {
        for (CsLinkRef l : links_) csIfCleanUp(l);
    }
    std::vector<CsLinkRef> links_;
};

// |error| in metres of the results after the filters settled.
struct Accuracy {
    std::vector<double> err;
    void add(double deliveredMm, double truthM) { err.push_back(std::fabs(deliveredMm / 1000.0 - truthM)); }
    double median() const { return percentile(err, 0.5); }
    double p90() const { return percentile(err, 0.9); }
};

constexpr int kProcedures = 40;
constexpr int kSettle = 10;

Accuracy runStatic(PhaseEndToEnd &t, CsLinkRef link, SimConfig cfg, double distM,
                   double *worstMedian, const char *label) {
    Simulator sim(cfg);
    Accuracy acc;
    for (int i = 0; i < kProcedures; ++i) {
        const Delivery d = t.range(link, sim.next());
        if (i >= kSettle) acc.add(d.dest, distM);
    }
    std::printf("[ accuracy ] %s %5.1f m: median %.4f m, 90th percentile %.4f m\n", label, distM,
                acc.median(), acc.p90());
    *worstMedian = std::max(*worstMedian, acc.median());
    return acc;
}

TEST_F(PhaseEndToEnd, LineOfSightConvergesWithinFiveCentimetres) {
    double worst = 0.0;
    std::vector<double> all;
    CsLinkRef link = 0x5100;
    for (double d : {0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 20.0}) {
        SCOPED_TRACE(d);
        open(++link);
        const Accuracy a = runStatic(*this, link, phaseOnly(d, 2, 25.0, 7 + link), d, &worst, "LOS 25 dB 2 paths");
        all.insert(all.end(), a.err.begin(), a.err.end());
        EXPECT_LT(a.median(), 0.05);
    }
    std::printf("[ accuracy ] LOS overall: median %.4f m, 90th percentile %.4f m\n",
                percentile(all, 0.5), percentile(all, 0.9));
}

TEST_F(PhaseEndToEnd, OneReflectionStaysWithinThirtyCentimetres) {
    double worst = 0.0;
    std::vector<double> all;
    CsLinkRef link = 0x5200;
    for (double d : {1.0, 3.0, 6.0, 12.0, 20.0}) {
        SCOPED_TRACE(d);
        open(++link);
        SimConfig cfg = phaseOnly(d, 2, 25.0, 11 + link);
        cfg.reflections = {{3.0, 0.5}};
        const Accuracy a = runStatic(*this, link, cfg, d, &worst, "reflection +3 m x0.5");
        all.insert(all.end(), a.err.begin(), a.err.end());
        EXPECT_LT(a.median(), 0.30);
    }
    std::printf("[ accuracy ] reflection overall: median %.4f m, 90th percentile %.4f m\n",
                percentile(all, 0.5), percentile(all, 0.9));
}

// Steps reported aborted keep their places but give nothing: stale tones
// left in them (a fixed phase on one in eight tone steps) do not move the
// distance.
TEST_F(PhaseEndToEnd, AbortedStepsGiveNothing) {
    const CsLinkRef link = open(0x5250);
    Simulator sim(phaseOnly(4.0, 2, 25.0, 21));
    Accuracy acc;
    int aborted = 0;
    for (int i = 0; i < kProcedures; ++i) {
        Procedure p = sim.next();
        int k = i;
        for (size_t se = 0; se < p.initiator.size(); ++se)
            for (size_t j = 0; j < p.initiator[se].steps.size(); ++j)
                if (p.initiator[se].steps[j].mode == 2 && ++k % 8 == 0) {
                    for (Step *s : {&p.initiator[se].steps[j], &p.reflector[se].steps[j]}) {
                        s->aborted = 1;
                        for (Tone &t : s->tones) t = Tone{1500, 0, 0};
                    }
                    ++aborted;
                }
        const Delivery d = range(link, p);
        if (i >= kSettle) acc.add(d.dest, 4.0);
    }
    ASSERT_GT(aborted, 10 * kProcedures / 2);
    std::printf(
        "[ accuracy ] aborted steps with stale tones: median %.4f m, 90th percentile %.4f m\n",
        acc.median(), acc.p90());
    EXPECT_LT(acc.p90(), 0.05);
}

// Procedures that give no phase distance (no tone steps at all, or tones
// without phase correction terms) between good ones never surface as a
// distance of 2147 km, before or after them.
TEST_F(PhaseEndToEnd, ProceduresWithoutDistanceNeverGiveKilometres) {
    const CsLinkRef link = open(0x5300);
    Simulator sim(phaseOnly(4.0, 2, 25.0, 3));
    const int kind[] = {1, 2, 0, 0, 0, 1, 0, 2, 2, 0, 0, 1, 1, 0, 0, 0};
    for (int i = 0; i < 16; ++i) {
        SCOPED_TRACE(i);
        Procedure p = sim.next();
        for (auto *side : {&p.initiator, &p.reflector}) {
            for (Subevent &se : *side) {
                if (kind[i] == 1) {
                    se.steps.erase(std::remove_if(se.steps.begin(), se.steps.end(),
                                                  [](const Step &s) { return s.mode == 2; }),
                                   se.steps.end());
                } else if (kind[i] == 2) {
                    for (Step &s : se.steps)
                        for (Tone &t : s.tones) t.i = t.q = 0;
                }
            }
        }
        const Delivery d = range(link, p);
        EXPECT_LE(std::fabs(d.dest), 1e6);
        if (kind[i] == 2) {
            EXPECT_TRUE(d.conf == -1 || std::fabs(d.dest - 4000.0) < 100.0) << d.dest;
        }
        if (kind[i] == 0 && i > 3) {
            EXPECT_NEAR(d.dest, 4000.0, 100.0);
        }
    }
}

// A jump from 5 m to 30 m after a gap: within fiMaxPeriod tracking goes on
// and the first result stays near the old distance; beyond it (and on a new
// link) tracking restarts at the new distance at once.
TEST_F(PhaseEndToEnd, RestartAfterGaps) {
    CsLinkRef link = 0x5400;
    for (double gapS : {2.0, 3.9, 4.1, 6.0}) {
        SCOPED_TRACE(gapS);
        open(++link);
        SimConfig cfg = phaseOnly(5.0, 1, 30.0, 5);
        Simulator nearSim(cfg);
        for (int i = 0; i < 10; ++i) {
            const Delivery r = range(link, nearSim.next());
            if (i == 0) {
                EXPECT_NEAR(r.dest, 5000.0, 50.0);
            }
        }
        cfg.trajectory = Trajectory::still(30.0);
        cfg.startTimeS = 0.9 + gapS;
        Simulator farSim(cfg);
        const Delivery r = range(link, farSim.next());
        if (gapS <= constOpts.fiMaxPeriod) {
            EXPECT_NEAR(r.dest, 5000.0, 500.0);
        } else {
            EXPECT_NEAR(r.dest, 30000.0, 100.0);
        }
    }
}

// Procedures without any valid MUSIC distance count up to inValidCounterMax;
// the next one restarts tracking and clears the count.
TEST_F(PhaseEndToEnd, InvalidProcedureCounterForcesARestart) {
    const CsLinkRef link = open(0x5410);
    Simulator sim(phaseOnly(5.0, 1, 30.0, 6));
    const int max = constOpts.inValidCounterMax;
    for (int i = 0; i < max + 3; ++i) {
        Procedure p = sim.next();
        for (auto *side : {&p.initiator, &p.reflector})
            for (Subevent &se : *side)
                for (Step &s : se.steps)
                    for (Tone &t : s.tones) t.i = t.q = 0;
        range(link, p);
        const CsContextItem *item = csContextListGetItem(link);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->ctx->pres->inValidCounter, i < max ? i + 1 : i - max + 1) << i;
    }
}

TEST_F(PhaseEndToEnd, OptionRecordsFromTheHost) {
    // pctMode 2: no phase processing, and without round-trip steps no
    // estimate at all: distance 0 with confidence -1.
    const CsLinkRef bad = open(0x5500);
    ConfigOpts o = constOpts;
    o.pctMode = 2;
    install(bad, o);
    Simulator s1(phaseOnly(3.0, 1, 30.0, 9));
    for (int i = 0; i < 3; ++i) {
        const Delivery r = range(bad, s1.next());
        EXPECT_EQ(r.dest, 0.0);
        EXPECT_EQ(r.conf, -1);
    }

    // quant rounds the result to whole units; the same procedures on a link
    // without it give the unrounded values.
    const CsLinkRef plain = open(0x5501);
    const CsLinkRef rounded = open(0x5502);
    o = constOpts;
    o.quant = 2;  // bit 0 would round the tone phases as well
    install(rounded, o);
    Simulator s2(phaseOnly(2.345, 2, 25.0, 10));
    int fractional = 0;
    for (int i = 0; i < 8; ++i) {
        const Procedure p = s2.next();
        const Delivery a = range(plain, p);
        const Delivery b = range(rounded, p);
        EXPECT_EQ(b.dest, std::round(a.dest)) << i;
        fractional += a.dest != std::round(a.dest);
    }
    EXPECT_GT(fractional, 0);

    // Calibration mode rewrites the link's options at its first estimate.
    const CsLinkRef cal = open(0x5503);
    o = constOpts;
    o.EnableCal = 1;
    o.disCal[0] = 0.25;
    install(cal, o);
    Simulator s3(phaseOnly(1.5, 1, 30.0, 11));
    const Delivery r = range(cal, s3.next());
    EXPECT_NEAR(r.dest, 1500.0, 50.0);
    const CsContextItem *item = csContextListGetItem(cal);
    ASSERT_NE(item, nullptr);
    const ConfigOpts &now = *item->ctx->opts;
    EXPECT_EQ(now.fiMaxPeriod, 0u);
    EXPECT_EQ(now.slidingWindowMaxPeriod, 0.0);
    EXPECT_EQ(now.rtpFilterType, 0);
    EXPECT_EQ(now.fiDistanceCombiningMethod, 1);
    EXPECT_EQ(now.disCal[0], 0.0);
    EXPECT_EQ(now.muOrdSetLen, 3);
    EXPECT_EQ(now.muCovSet[2], 12);
    EXPECT_EQ(now.useChannelCenterForBoundMusicEst, 0);
}

// Residual frequency offset turns the tones of each subevent by its own
// phase; the same procedures range correctly with event alignment on and are
// thrown off with it off (its default).
TEST_F(PhaseEndToEnd, EventAlignmentRemovesPerSubeventPhaseSteps) {
    const CsLinkRef aligned = open(0x5700);
    const CsLinkRef plain = open(0x5701);
    ConfigOpts o = constOpts;
    o.disableAlignEventPhase = 0;
    install(aligned, o);
    for (double d : {3.0, 9.0}) {
        SCOPED_TRACE(d);
        SimConfig cfg = phaseOnly(d, 2, 30.0, 31);
        cfg.hardwareResponse = false;
        cfg.repeatChannels = 2;
        cfg.driftHz = 60.0;  // about 1.9 rad between neighbouring subevents
        Simulator sim(cfg);
        Accuracy on, off;
        for (int i = 0; i < 30; ++i) {
            const Procedure p = sim.next();
            const Delivery a = range(aligned, p);
            const Delivery b = range(plain, p);
            if (i >= kSettle) {
                on.add(a.dest, d);
                off.add(b.dest, d);
            }
        }
        std::printf("[ accuracy ] drift %4.1f m: aligned median %.4f m, unaligned median %.4f m\n", d,
                    on.median(), off.median());
        EXPECT_LT(on.median(), 0.05);
        EXPECT_GT(off.median(), 5.0 * on.median() + 0.02);
    }
}

// The impulse response of the computation being delivered is readable inside
// its callback only: its strongest tap sits at the true distance.
struct CirSeen {
    int n = 0, absent = -1, otherLink = -1, smallBuffer = -1;
    double peakM = 0.0, tapM = 0.0;
};
CirSeen gCirSeen;
std::vector<double> gCirBuf(TARN_CIR_MAX_SIZE);

void onResultWithCir(CsEstimate *result, CsRequest *request) {
    const CsLinkRef link = request->linkRef;
    CirSeen seen;
    double firstM = 0.0;
    seen.n = tarnGetLatestImpulseResponse(link, 0, gCirBuf.data(), TARN_CIR_MAX_SIZE, &seen.tapM,
                                          &firstM);
    if (seen.n > 0) {
        const auto peak = std::max_element(gCirBuf.begin(), gCirBuf.begin() + seen.n);
        seen.peakM = firstM + static_cast<double>(peak - gCirBuf.begin()) * seen.tapM;
    }
    seen.absent = tarnGetLatestImpulseResponse(link, 2, gCirBuf.data(), TARN_CIR_MAX_SIZE, nullptr,
                                               nullptr);
    seen.otherLink = tarnGetLatestImpulseResponse(link + 1, 0, gCirBuf.data(), TARN_CIR_MAX_SIZE,
                                                  nullptr, nullptr);
    seen.smallBuffer = tarnGetLatestImpulseResponse(link, 0, gCirBuf.data(), 511, nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(tarn_test::gDeliveryMutex);
        gCirSeen = seen;
    }
    onResult(result, request);
}

TEST_F(PhaseEndToEnd, ImpulseResponseOfTheDeliveredComputation) {
    const CsLinkRef link = 0x5800;
    static CsInitRecord rec = {onResultWithCir};
    csIfInit(link, &rec);
    links_.push_back(link);
    for (double d : {2.0, 7.5, 18.0}) {
        SCOPED_TRACE(d);
        SimConfig cfg = phaseOnly(d, 2, 30.0, 41);
        cfg.hardwareResponse = false;
        Simulator sim(cfg);
        range(link, sim.next());
        std::lock_guard<std::mutex> lock(tarn_test::gDeliveryMutex);
        EXPECT_EQ(gCirSeen.n, TARN_CIR_DEFAULT_SIZE);
        EXPECT_NEAR(gCirSeen.tapM, constOpts.sol / (TARN_CIR_DEFAULT_SIZE * 1e6), 1e-12);
        EXPECT_NEAR(gCirSeen.peakM, d, gCirSeen.tapM);
        EXPECT_EQ(gCirSeen.absent, 0);       // two antenna paths only
        EXPECT_EQ(gCirSeen.otherLink, 0);    // not the link being delivered
        EXPECT_EQ(gCirSeen.smallBuffer, 0);  // buffer below the transform size
    }
    // Outside the callback the computation's tones are gone.
    EXPECT_EQ(tarnGetLatestImpulseResponse(link, 0, gCirBuf.data(), TARN_CIR_MAX_SIZE, nullptr,
                                           nullptr),
              0);
    // A link whose computation formed no response (nothing measured yet)
    // gets none, not the previous link's.
    csIfInit(link + 2, &rec);
    links_.push_back(link + 2);
    Delivery none;
    ASSERT_TRUE(estimate(link + 2, &none));
    std::lock_guard<std::mutex> lock(tarn_test::gDeliveryMutex);
    EXPECT_EQ(gCirSeen.n, 0);
}

TEST_F(PhaseEndToEnd, AlternatingLinksKeepTheirOwnDistances) {
    const CsLinkRef nearLink = open(0x5600);
    const CsLinkRef farLink = open(0x5601);
    Simulator nearSim(phaseOnly(2.0, 2, 25.0, 21));
    Simulator farSim(phaseOnly(15.0, 2, 25.0, 22));
    for (int i = 0; i < 30; ++i) {
        SCOPED_TRACE(i);
        const Delivery a = range(nearLink, nearSim.next());
        const Delivery b = range(farLink, farSim.next());
        EXPECT_EQ(a.link, nearLink);
        EXPECT_EQ(b.link, farLink);
        EXPECT_NEAR(a.dest, 2000.0, 100.0);
        EXPECT_NEAR(b.dest, 15000.0, 100.0);
    }
}

}  // namespace
