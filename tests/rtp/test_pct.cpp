// Tone processing (square root, prior rotation, switches) and the
// calibration table's bookkeeping.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <memory>

#include "log_capture.h"
#include "tarn_rtp.h"
#include "tone_builder.h"

namespace {

using tarn_test::ToneSetup;

constexpr int kCh = TARN_NUM_CHANNELS;
constexpr double kPi = 3.14159265358979323846;

struct Recs {
    ToneRecord raw;
    ToneRecord proc;
    uint8_t measured[kCh][TARN_MAX_ANT_PATHS];
};

std::unique_ptr<Recs> newRecs() {
    std::unique_ptr<Recs> r(new Recs);
    std::memset(static_cast<void *>(r.get()), 0, sizeof(Recs));
    for (int k = 0; k < kCh; ++k) r->raw.chanList[k] = r->proc.chanList[k] = static_cast<uint8_t>(k);
    return r;
}

PresState pres(uint8_t valid, double dest) {
    PresState p;
    std::memset(&p, 0, sizeof p);
    p.valid = valid;
    p.dest = dest;
    return p;
}

// Distance (m) left on a one-way response, from the mean phase step between
// neighbouring channels.
double residualDistance(const TarnCplxD (*pct)[TARN_MAX_ANT_PATHS], int j, int from, int to) {
    std::complex<double> acc(0.0, 0.0);
    for (int k = from; k < to; ++k) acc += pct[k + 1][j] * std::conj(pct[k][j]);
    return -std::arg(acc) * tarn_test::kSol / (2.0 * kPi * 1e6);
}

// Two channels whose two-way phases cross the +-pi boundary: the one-way
// phases continue (0.9 pi, then 1.1 pi) instead of halving the wrapped value
// (0.1 pi). Mode 0 from the tones, mode 1's square root from the product.
TEST(ToneProcessing, SquareRootFollowsPhaseAcrossBoundary) {
    ConfigOpts o = constOpts;
    auto r = newRecs();
    const float a = 0.9f * static_cast<float>(kPi);
    r->raw.initPct[0][0] = r->raw.reflPct[0][0] = std::polar(2.0f, a);
    r->raw.initPct[1][0] = r->raw.reflPct[1][0] = std::polar(2.0f, -a);
    ASSERT_EQ(algProcPct(nullptr, &r->raw, &o, 1, nullptr), 0);
    const TarnCplxD want0 = std::polar(2.0, 0.9 * kPi);
    const TarnCplxD want1 = std::polar(2.0, 1.1 * kPi);
    EXPECT_NEAR(std::abs(r->raw.pct[0][0] - want0), 0.0, 1e-6);
    EXPECT_NEAR(std::abs(r->raw.pct[1][0] - want1), 0.0, 1e-6);

    r->proc.pct[0][0] = std::polar(4.0, 1.8 * kPi);
    r->proc.pct[1][0] = std::polar(4.0, -1.8 * kPi);
    rootUnwrap(&r->proc, &r->raw, nullptr, &o, 1);
    EXPECT_NEAR(std::abs(r->proc.pct[0][0] - TarnCplxD(std::polar(2.0, -0.1 * kPi))), 0.0, 1e-6);
    EXPECT_NEAR(std::abs(r->proc.pct[1][0] - TarnCplxD(std::polar(2.0, 0.1 * kPi))), 0.0, 1e-6);
}

// Prior choice of both modes, then the rotation it causes: the response keeps
// the distance less (prior - disCal).
TEST(ToneProcessing, PriorChoiceAndRotation) {
    constexpr double kNone = 2147483647.0;
    struct Case {
        const char *name;
        int mode;  // 0 algProcPct, 1 algInterpProcPct
        uint8_t pctPrior;
        uint8_t prodValid;
        double prodDest;
        uint8_t presValid;
        double presDest;
        double wantPrior;
    };
    const Case cases[] = {
        {"product first", 0, 5, 1, 2500, 1, 1500, 2.5},
        {"previous when no product", 0, 5, 0, 2500, 1, 1500, 1.5},
        {"pctPrior 3 as 5", 0, 3, 1, 2500, 0, 0, 2.5},
        {"invalid previous", 0, 5, 0, 0, 0, 1500, 0.0},
        {"sentinel previous", 0, 5, 0, 0, 1, kNone, 0.0},
        {"negative sentinel", 0, 5, 0, 0, 1, -kNone, 0.0},
        {"no prior mode", 0, 4, 1, 2500, 1, 1500, 0.0},
        {"mode 1 takes previous as is", 1, 3, 1, 2500, 0, 1500, 1.5},
        {"mode 1 sentinel", 1, 3, 0, 0, 1, kNone, 0.0},
        {"mode 1 ignores 5", 1, 5, 1, 2500, 1, 1500, 0.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ConfigOpts o = constOpts;
        o.pctPrior = c.pctPrior;
        o.pctMode = static_cast<uint8_t>(c.mode);
        o.disCal[0] = 0.2;
        auto r = newRecs();
        ToneSetup s;
        s.distM = 4.0;
        tarn_test::buildToneRecord(s, &r->raw);
        RangeEstimate prod{};
        prod.valid = c.prodValid;
        prod.dest = c.prodDest;
        const PresState p = pres(c.presValid, c.presDest);
        const TarnCplxD(*resp)[TARN_MAX_ANT_PATHS] = r->raw.pct;
        if (c.mode == 0) {
            ASSERT_EQ(algProcPct(&p, &r->raw, &o, 1, &prod), 0);
        } else {
            ASSERT_EQ(algInterpProcPct(&p, &r->raw, &o, 1, &r->proc, r->measured), 0);
            resp = r->proc.pct;
        }
        EXPECT_EQ(r->raw.prior, c.wantPrior);
        EXPECT_NEAR(residualDistance(resp, 0, 2, 22), 4.0 - (c.wantPrior - 0.2), 1e-4);
        EXPECT_NEAR(std::abs(resp[30][0]), 1000.0, 1e-2);
    }
}

TEST(ToneProcessing, SwitchesAndWrongMode) {
    auto base = newRecs();
    ToneSetup s;
    s.distM = 1.3;
    s.amplitude = 37.0;
    tarn_test::buildToneRecord(s, &base->raw);
    auto run = [&](uint8_t invert, uint8_t quant, uint8_t mode, int8_t want) {
        ConfigOpts o = constOpts;
        o.pctInvert = invert;
        o.quant = quant;
        o.pctMode = mode;
        auto r = newRecs();
        r->raw = base->raw;
        r->raw.prior = 9.0;
        EXPECT_EQ(algProcPct(nullptr, &r->raw, &o, 1, nullptr), want);
        return r;
    };
    auto plain = run(0, 0, 0, 0), inv = run(1, 0, 0, 0), q = run(0, 1, 0, 0);
    tarn_test::LogCapture log(1);
    auto wrong = run(0, 0, 1, -1);
    EXPECT_TRUE(log.contains("Wrong PCT Mode used.\n"));
    EXPECT_EQ(wrong->raw.prior, 0.0);
    for (int k = 0; k < kCh; ++k) {
        const TarnCplxD v = plain->raw.pct[k][0];
        EXPECT_EQ(inv->raw.pct[k][0], std::conj(v)) << k;
        EXPECT_EQ(q->raw.pct[k][0], TarnCplxD(std::round(v.real()), std::round(v.imag()))) << k;
        EXPECT_EQ(wrong->raw.pct[k][0], TarnCplxD(0.0, 0.0)) << k;
    }
}

// Phase-result prior: below 20 m nothing turns; from 20 m the tones turn by
// pdest less phaseRotationOffset, which becomes the prior.
TEST(ToneProcessing, PhaseResultPrior) {
    struct Case {
        double pdest;
        double wantPrior;
    };
    for (const Case c : {Case{0.0, 0.0}, Case{19999.0, 0.0}, Case{30000.0, 15.0}}) {
        ConfigOpts o = constOpts;
        o.pctPrior = 4;
        auto r = newRecs();
        ToneSetup s;
        s.distM = 40.0;
        tarn_test::buildOneWayRecord(s, &r->proc);
        const ToneRecord before = r->proc;
        r->raw.prior = 7.0;
        PhaseResult ph{};
        ph.pdest[0] = c.pdest;
        alg_rotatePct(nullptr, &r->raw, &r->proc, &o, 1, &ph);
        EXPECT_EQ(r->raw.prior, c.wantPrior);
        if (c.wantPrior == 0.0) {
            EXPECT_EQ(std::memcmp(&before.pct, &r->proc.pct, sizeof before.pct), 0);
        } else {
            EXPECT_NEAR(residualDistance(r->proc.pct, 0, 2, 22), 40.0 - c.wantPrior, 1e-4);
        }
    }
}

// One calibration procedure at the calibration distance: the table times the
// hardware response is the same on every channel of the band (no step at
// channel 2) and the band edges are zero. A procedure without a channel-2 tone
// adds nothing, so with one good procedure the table is the good one's.
TEST(CalibrationTable, InvertsResponseEvenlyAndSkipsProceduresWithoutChannelTwo) {
    const tarn_test::HardwareResponse hw = tarn_test::smoothHardware(3);
    auto make = [&](bool dropTwo) {
        auto r = newRecs();
        ToneSetup s;
        s.distM = 0.5;
        s.nap = 2;
        s.channels.clear();
        for (int k = 0; k < kCh; ++k) s.channels.push_back(k);
        tarn_test::buildOneWayRecord(s, &r->proc);
        for (int k = 0; k < kCh; ++k)
            for (int j = 0; j < 2; ++j) r->proc.pct[k][j] *= hw.g[k][j];
        if (dropTwo) r->proc.pct[2][0] = r->proc.pct[2][1] = TarnCplxD(0.0, 0.0);
        return r;
    };
    auto calibrate = [&](ConfigOpts &o, PresState &p, bool dropTwo) {
        auto r = make(dropTwo);
        alg_rotatePct(&p, &r->raw, &r->proc, &o, 2, nullptr);
        return r;
    };
    ConfigOpts one = constOpts;
    one.estimateFilterChannel = 1;
    one.maxProcForCal = 1;
    PresState p1 = pres(0, 0.0);
    auto applied = calibrate(one, p1, false);
    ASSERT_EQ(one.applyEstimatedReverseChannel, 1);
    for (int j = 0; j < 2; ++j) {
        const TarnCplxD ref = one.calTable[2][j] * hw.g[2][j];
        double maxMag = 0.0;
        for (int k = 0; k < kCh; ++k) {
            maxMag = std::fmax(maxMag, std::abs(one.calTable[k][j]));
            if (k < 2 || k > 76)
                EXPECT_EQ(one.calTable[k][j], TarnCplxD(0.0, 0.0));
            else
                EXPECT_NEAR(std::abs(one.calTable[k][j] * hw.g[k][j] - ref), 0.0, 1e-9) << k;
        }
        EXPECT_NEAR(maxMag, 1.0, 1e-12);
    }
    // The finishing call already applies the table: only the distance is left.
    for (int k = 3; k < 77; ++k)
        EXPECT_NEAR(std::arg(applied->proc.pct[k][0] / applied->proc.pct[2][0]),
                    -2.0 * kPi * 1e6 * (k - 2) * 0.5 / tarn_test::kSol, 1e-9);

    tarn_test::LogCapture log(1);
    ConfigOpts two = constOpts;
    two.estimateFilterChannel = 1;
    two.maxProcForCal = 2;
    PresState p2 = pres(0, 0.0);
    calibrate(two, p2, true);
    for (int k = 0; k < kCh; ++k) EXPECT_EQ(two.calTable[k][0], TarnCplxD(0.0, 0.0)) << k;
    EXPECT_TRUE(log.containsFragment("channel 2"));
    calibrate(two, p2, false);
    ASSERT_EQ(two.applyEstimatedReverseChannel, 1);
    for (int k = 0; k < kCh; ++k)
        for (int j = 0; j < 2; ++j)
            EXPECT_NEAR(std::abs(two.calTable[k][j] - one.calTable[k][j]), 0.0, 1e-12) << k;
}

// Run bookkeeping per link: the maxProcForCal-th call since estimation was
// switched on finishes; switching on again restarts the count and clears the
// table; 0 never finishes; links do not share a count.
TEST(CalibrationTable, RunLifecycle) {
    auto r = newRecs();
    ToneSetup s;
    s.distM = 0.5;
    tarn_test::buildOneWayRecord(s, &r->proc);
    auto call = [&](PresState &p, ConfigOpts &o) {
        auto c = newRecs();
        c->proc = r->proc;
        alg_rotatePct(&p, &c->raw, &c->proc, &o, 1, nullptr);
    };
    auto armed = []() {
        ConfigOpts o = constOpts;
        o.estimateFilterChannel = 1;
        o.maxProcForCal = 3;
        return o;
    };

    // Two links interleaved, each finishing on its own third call; calls
    // before estimation was on do not count.
    ConfigOpts a = constOpts, b = armed();
    PresState pa = pres(0, 0.0), pb = pres(0, 0.0);
    for (int i = 0; i < 5; ++i) call(pa, a);
    a = armed();
    for (int i = 1; i <= 3; ++i) {
        call(pa, a);
        call(pb, b);
        EXPECT_EQ(a.estimateFilterChannel, i < 3 ? 1 : 0) << i;
        EXPECT_EQ(b.applyEstimatedReverseChannel, i < 3 ? 0 : 1) << i;
    }

    // Switched off after two calls, on again: a fresh run of three, starting
    // from an empty table (a stale entry would survive otherwise).
    ConfigOpts c = armed();
    PresState pc = pres(0, 0.0);
    call(pc, c);
    call(pc, c);
    c.estimateFilterChannel = 0;
    call(pc, c);
    c.estimateFilterChannel = 1;
    c.calTable[40][0] = TarnCplxD(1e6, 0.0);
    call(pc, c);
    EXPECT_LT(std::abs(c.calTable[40][0]), 2.0);
    call(pc, c);
    EXPECT_EQ(c.estimateFilterChannel, 1);
    call(pc, c);
    EXPECT_EQ(c.estimateFilterChannel, 0);
    EXPECT_EQ(c.applyEstimatedReverseChannel, 1);

    ConfigOpts z = armed();
    z.maxProcForCal = 0;
    PresState pz = pres(0, 0.0);
    for (int i = 0; i < 300; ++i) call(pz, z);
    EXPECT_EQ(z.estimateFilterChannel, 1);
    EXPECT_EQ(z.applyEstimatedReverseChannel, 0);
}

}  // namespace
