// A link's step timing: the step durations composed from it, the extension
// that gives it (hostile records included) and the step times it yields.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "iface_test_util.h"
#include "interface/link_motion.h"
#include "interface/step_timing.h"
#include "log_capture.h"

namespace {

TarnStepTiming timing(unsigned fcs, unsigned ip1, unsigned ip2, unsigned pm, unsigned sw,
                      unsigned phy, unsigned rtt) {
    TarnStepTiming t{};
    t.size = sizeof t;
    t.tFcsUs = static_cast<uint16_t>(fcs);
    t.tIp1Us = static_cast<uint16_t>(ip1);
    t.tIp2Us = static_cast<uint16_t>(ip2);
    t.tPmUs = static_cast<uint16_t>(pm);
    t.tSwUs = static_cast<uint8_t>(sw);
    t.phy = static_cast<uint8_t>(phy);
    t.rttType = static_cast<uint8_t>(rtt);
    return t;
}

// Hand-computed: T_SY 44 us on LE 1M and 26 us on the 2 Msym/s PHYs plus
// the RTT type's sequence; T_RD 5, T_GD 10, T_FM 80.
TEST(StepTiming, DurationsOfEachModePhyAndPathCount) {
    struct Row {
        TarnStepTiming t;
        int mode, nap;
        double us;
    };
    const TarnStepTiming mid = timing(60, 80, 40, 20, 10, 1, 0);
    const TarnStepTiming phone = timing(150, 145, 145, 40, 10, 2, 0);
    const TarnStepTiming fast = timing(15, 10, 10, 10, 0, 3, 6);
    const TarnStepTiming seq = timing(60, 80, 40, 20, 10, 1, 4);
    const Row rows[] = {
        {mid, 0, 1, 60 + 44 + 5 + 80 + 44 + 10 + 80 + 5},
        {mid, 1, 2, 60 + 2 * (44 + 5) + 80},
        {mid, 2, 1, 60 + 40 + 2 * 20 * 2},  // no switching with one path
        {mid, 2, 2, 280},
        {mid, 2, 4, 60 + 40 + 2 * 30 * 5},
        {mid, 3, 2, 60 + 40 + 2 * (44 + 10 + 30 * 3)},
        {phone, 2, 2, 595},
        {phone, 0, 2, 150 + 26 + 5 + 145 + 26 + 10 + 80 + 5},
        {phone, 1, 1, 150 + 2 * (26 + 5) + 145},
        {phone, 3, 1, 150 + 145 + 2 * (26 + 10 + 40 * 2)},
        {fast, 2, 2, 85},
        {fast, 1, 1, 15 + 2 * (26 + 64 + 5) + 10},  // 128-bit sequence at 2 Msym/s
        {fast, 3, 4, 15 + 10 + 2 * (90 + 10 + 10 * 5)},
        {seq, 1, 1, 60 + 2 * (44 + 64 + 5) + 80},  // 64-bit sequence on LE 1M
        {timing(60, 80, 40, 20, 10, 1, 2), 1, 1, 60 + 2 * (44 + 96 + 5) + 80},
        {mid, 4, 2, 0},   // no such mode
        {mid, 2, 0, 0},   // no such path count
        {mid, 2, 5, 0},
    };
    for (const Row &r : rows)
        EXPECT_DOUBLE_EQ(tarn_link::stepDurationUs(r.t, r.mode, r.nap), r.us)
            << "mode " << r.mode << " nap " << r.nap << " fcs " << r.t.tFcsUs << " phy "
            << int(r.t.phy);
}

TEST(StepTiming, ExtensionTakesValidRecordsAndRefusesHostileOnes) {
    const CsLinkRef link = 3001;
    const TarnStepTiming good = timing(150, 145, 145, 40, 10, 2, 0);
    EXPECT_EQ(tarnSetStepTiming(link, &good), 0);  // before csIfInit: unknown link
    const CsInitRecord init{&tarn_test::Deliveries::callback};
    csIfInit(link, &init);
    tarn_test::LogCapture log;  // after csIfInit, whose options set the log level
    auto same = [&](const TarnStepTiming &t) {
        csContextListlock();
        const bool eq = std::memcmp(&csContextListGetItem(link)->state.stepTiming, &t, sizeof t) == 0;
        csContextListunlock();
        return eq;
    };
    auto kept = [&] {
        csContextListlock();
        const TarnStepTiming t = csContextListGetItem(link)->state.stepTiming;
        csContextListunlock();
        return t;
    };
    EXPECT_EQ(kept().size, 0u);  // a new link: timing unknown
    EXPECT_EQ(tarnSetStepTiming(link, nullptr), 0);
    ASSERT_EQ(tarnSetStepTiming(link, &good), 1);
    EXPECT_TRUE(same(good));

    struct Bad {
        const char *what;
        void (*spoil)(TarnStepTiming *);
    };
    const Bad bad[] = {
        {"size", [](TarnStepTiming *t) { t->size = 15; }},
        {"reserved", [](TarnStepTiming *t) { t->reserved = 1; }},
        {"T_FCS 10", [](TarnStepTiming *t) { t->tFcsUs = 10; }},
        {"T_FCS 151", [](TarnStepTiming *t) { t->tFcsUs = 151; }},
        {"T_IP1 0", [](TarnStepTiming *t) { t->tIp1Us = 0; }},
        {"T_IP1 70", [](TarnStepTiming *t) { t->tIp1Us = 70; }},
        {"T_IP2 144", [](TarnStepTiming *t) { t->tIp2Us = 144; }},
        {"T_PM 30", [](TarnStepTiming *t) { t->tPmUs = 30; }},
        {"T_PM 0", [](TarnStepTiming *t) { t->tPmUs = 0; }},
        {"T_SW 3", [](TarnStepTiming *t) { t->tSwUs = 3; }},
        {"phy 0", [](TarnStepTiming *t) { t->phy = 0; }},
        {"phy 4", [](TarnStepTiming *t) { t->phy = 4; }},
        {"rttType 7", [](TarnStepTiming *t) { t->rttType = 7; }},
    };
    for (const Bad &b : bad) {
        TarnStepTiming t = timing(60, 80, 40, 20, 10, 1, 0);
        b.spoil(&t);
        log.clear();
        EXPECT_EQ(tarnSetStepTiming(link, &t), 0) << b.what;
        EXPECT_FALSE(log.lines().empty()) << b.what;
        EXPECT_TRUE(same(good)) << b.what;  // nothing changed
    }

    // A short record is read no further than its size (ASan checks).
    uint32_t *shortRecord = new uint32_t(8);
    EXPECT_EQ(tarnSetStepTiming(link, reinterpret_cast<const TarnStepTiming *>(shortRecord)), 0);
    delete shortRecord;
    EXPECT_TRUE(same(good));

    // A larger record of a later version is taken (its first 16 bytes).
    struct Later {
        TarnStepTiming t;
        uint32_t more;
    } later{timing(15, 10, 10, 10, 0, 3, 6), 0xffffffffu};
    later.t.size = sizeof later;
    ASSERT_EQ(tarnSetStepTiming(link, &later.t), 1);
    EXPECT_EQ(kept().tFcsUs, 15);
    EXPECT_EQ(kept().size, 16u);

    // Survives an option install and a tracking-mode change.
    ConfigOpts opts{};
    csContextListlock();
    opts = *csContextListGetItem(link)->ctx->opts;
    csContextListunlock();
    ASSERT_EQ(csIfSetParam(link, 0, &opts), 1);
    ASSERT_EQ(tarnSetTrackingMode(link, 1), 1);
    EXPECT_EQ(kept().tFcsUs, 15);

    // Four zero times: back to unknown, whatever the other fields say.
    TarnStepTiming zero = timing(0, 0, 0, 0, 7, 9, 9);
    ASSERT_EQ(tarnSetStepTiming(link, &zero), 1);
    EXPECT_EQ(kept().size, 0u);
    EXPECT_EQ(kept().tSwUs, 0);
    csIfCleanUp(link);
    EXPECT_EQ(tarnSetStepTiming(link, &good), 0);
}

// Steps back to back from each subevent's start; a subevent without a time
// stamp follows the previous one's last step.
TEST(StepTiming, ComposedStepTimes) {
    TarnLinkMotion m{};
    m.subeventCount = 3;
    m.subeventSteps[0] = 3;
    m.subeventSteps[1] = 2;
    m.subeventSteps[2] = 2;
    m.subeventStartS[0] = 0.0f;
    m.subeventStartS[1] = 0.005f;
    m.subeventStartS[2] = NAN;
    m.timingCount = 7;
    uint8_t modes[7] = {0, 2, 2, 2, 3, 2, 2};
    CsMeasurement meas{};
    meas.modes = modes;
    meas.NAP = 2;
    meas.N = 7;
    const TarnStepTiming t = timing(60, 80, 40, 20, 10, 1, 0);
    const double m0 = 328e-6, m2 = 280e-6, m3 = 388e-6;
    const double want[7] = {0, m0, m0 + m2, 0.005, 0.005 + m2, 0.005 + m2 + m3,
                            0.005 + 2 * m2 + m3};
    float out[TARN_MOTION_MAX_STEPS];
    ASSERT_EQ(tarn_link::composeStepTimes(m, t, meas, out), 7);
    for (int i = 0; i < 7; ++i) EXPECT_NEAR(out[i], want[i], 1e-8) << i;

    // Never more than the intake timed or the record holds.
    m.timingCount = 4;
    EXPECT_EQ(tarn_link::composeStepTimes(m, t, meas, out), 4);
    m.timingCount = 7;
    meas.N = 5;
    EXPECT_EQ(tarn_link::composeStepTimes(m, t, meas, out), 5);
    meas.modes = nullptr;
    EXPECT_EQ(tarn_link::composeStepTimes(m, t, meas, out), 0);
}

}  // namespace
