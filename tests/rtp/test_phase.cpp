// Phase-slope distance and product-channel distance, alone and after tone
// processing, gap filling and calibration as the phase pipeline runs them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "log_capture.h"
#include "tarn_rtp.h"
#include "tone_builder.h"

namespace {

using tarn_test::ToneSetup;

constexpr int kCh = TARN_NUM_CHANNELS;

// The working records of one procedure, as the pipeline keeps them.
struct Proc {
    ToneRecord raw;
    ToneRecord proc;
    uint8_t measured[kCh][TARN_MAX_ANT_PATHS];
    RangeEstimate product;
    PhaseResult phase;
};

std::unique_ptr<Proc> newProc() {
    std::unique_ptr<Proc> p(new Proc);
    std::memset(static_cast<void *>(p.get()), 0, sizeof(Proc));
    return p;
}

// Product channel, mode-0 tone processing, gap fill, coverage, calibration
// and the phase slope, in the pipeline's order. useProduct = false leaves the
// prior to pres.
void runPipeline(Proc &p, ConfigOpts &o, PresState &pres, int nap, bool useProduct = true) {
    if (useProduct)
        alg_estimateProductChannelDist(&pres, &p.raw, &o, static_cast<int8_t>(nap), &p.product);
    else
        p.product = RangeEstimate{};
    ASSERT_EQ(algProcPct(&pres, &p.raw, &o, static_cast<int8_t>(nap), &p.product), 0);
    algFillGaps(&pres, &p.raw, &o, static_cast<int8_t>(nap), &p.proc, p.measured);
    algCalcGmapConf(p.measured, static_cast<int8_t>(nap), p.raw.gconf);
    const PhaseResult none{};
    alg_rotatePct(&pres, &p.raw, &p.proc, &o, static_cast<int8_t>(nap), &none);
    algEstWithPhase(&pres, &p.raw, &p.proc, &o, static_cast<int8_t>(nap), &p.phase);
}

PresState freshPres() {
    PresState pres;
    std::memset(&pres, 0, sizeof pres);
    pres.time = -100.0;
    return pres;
}

std::vector<int> withoutChannels(const std::vector<int> &drop) {
    std::vector<int> out;
    for (int k : tarn_test::usableChannels()) {
        bool keep = true;
        for (int d : drop) keep = keep && d != k;
        if (keep) out.push_back(k);
    }
    return out;
}

// Clean single path over the whole range: the product-channel prior is
// rotated out, the slope gives the rest, and the estimate adds it back.
TEST(PhaseSlope, SinglePathAcrossRangeWithAndWithoutGaps) {
    const std::vector<std::vector<int>> channelSets = {
        tarn_test::usableChannels(),
        withoutChannels({5, 6, 7, 30, 31, 44, 45, 46, 47, 60, 61, 70}),
    };
    const double dists[] = {0.3, 1.0, 2.5, 7.0, 15.0, 33.0, 60.0, 90.0};
    uint8_t coverage[2] = {0, 0};
    for (size_t set = 0; set < channelSets.size(); ++set) {
        for (double d : dists) {
            SCOPED_TRACE(testing::Message() << "set " << set << " d " << d);
            ConfigOpts o = constOpts;
            PresState pres = freshPres();
            auto p = newProc();
            ToneSetup s;
            s.distM = d;
            s.channels = channelSets[set];
            tarn_test::buildToneRecord(s, &p->raw);
            runPipeline(*p, o, pres, 1);

            ASSERT_EQ(p->product.valid, 1);
            EXPECT_NEAR(p->raw.prior, 0.65 * d, 0.01);
            EXPECT_NEAR(p->phase.pdest[0] / 1000.0, d, 1e-3);
            EXPECT_LT(p->phase.phFit[0], 0.01);
            // With a clean fit the confidence is the coverage itself.
            EXPECT_EQ(p->phase.pconf[0], p->raw.gconf[0]);
            coverage[set] = p->raw.gconf[0];
        }
    }
    EXPECT_GT(coverage[0], coverage[1]);
    EXPECT_GT(coverage[1], 0);
}

// Direct use of the estimator on a one-way response: 10 channels suffice,
// 9 do not (and then the fit error is left alone); offsets, rounding, and a
// clean fit's confidence equal to the coverage.
TEST(PhaseSlope, ChannelLimitOffsetsRoundingCoverage) {
    struct Case {
        int channels;
        uint8_t quant, gconf;
        double calDistOffset, prior;
        double wantM;  // 0 = no estimate
    };
    const Case cases[] = {
        {10, 0, 100, 0.0, 0.0, 3.0}, {9, 0, 100, 0.0, 0.0, 0.0}, {72, 0, 100, 0.25, 0.0, 3.25},
        {72, 0, 73, 0.0, 1.5, 4.5},  {72, 1, 50, 0.0, 0.0, 3.0},  {72, 0, 0, 0.0, 0.0, 3.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "channels " << c.channels << " gconf " << int{c.gconf});
        ConfigOpts o = constOpts;
        o.quant = c.quant;
        o.calDistOffset = c.calDistOffset;
        auto rec = newProc();
        ToneSetup s;
        s.distM = 3.0;
        s.channels.resize(static_cast<size_t>(c.channels));
        tarn_test::buildOneWayRecord(s, &rec->raw);
        rec->raw.prior = c.prior;
        rec->raw.gconf[0] = c.gconf;
        PhaseResult out{};
        out.phFit[0] = 123.0;
        algEstWithPhase(nullptr, &rec->raw, &rec->raw, &o, 1, &out);
        if (c.wantM == 0.0) {
            EXPECT_EQ(out.pdest[0], 0.0);
            EXPECT_EQ(out.pconf[0], 0.0);
            EXPECT_EQ(out.phFit[0], 123.0);
            continue;
        }
        EXPECT_NEAR(out.pdest[0] / 1000.0, c.wantM, c.quant ? 5e-4 : 1e-6);
        EXPECT_EQ(out.pconf[0], c.gconf);
        if (c.quant) {
            EXPECT_EQ(out.pdest[0], std::round(out.pdest[0]));
        }
    }
}

// Paths of the product channel: (one-way distance or "few channels") per
// path -> expected per-path validity/distance and the median.
TEST(ProductChannel, Rules) {
    constexpr double kNone = 2147483647.0;
    struct Case {
        const char *name;
        int nap;
        double distM[2];
        int channels[2];
        double disCal0;
        uint8_t wantValid[2];
        double wantE[2];  // metres before the 0.65 factor
        uint8_t wantEstValid;
        double wantEstE;
    };
    const Case cases[] = {
        {"positive", 1, {5.0, 0}, {72, 0}, 0.0, {1, 0}, {5.0, 0}, 1, 5.0},
        {"disCal added", 1, {5.0, 0}, {72, 0}, 0.1, {1, 0}, {5.1, 0}, 1, 5.1},
        // Beyond 75 m the two-way slope aliases negative; one wrap restores it.
        {"wrapped", 1, {90.0, 0}, {72, 0}, 0.0, {1, 0}, {90.0, 0}, 1, 90.0},
        {"short negative", 2, {-2.0, -4.0}, {72, 72}, 0.0, {1, 1}, {0.0, 0.0}, 1, 0.0},
        {"negative beside positive", 2, {-2.0, 3.0}, {72, 72}, 0.0, {0, 1}, {kNone, 3.0}, 1, 3.0},
        {"two positive", 2, {2.0, 4.0}, {72, 72}, 0.0, {1, 1}, {2.0, 4.0}, 1, 3.0},
        {"too few beside positive", 2, {2.0, 4.0}, {9, 72}, 0.0, {0, 1}, {kNone, 4.0}, 1, 4.0},
        {"too few only", 1, {2.0, 0}, {9, 0}, 0.0, {0, 0}, {kNone, 0}, 0, 0.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ConfigOpts o = constOpts;
        o.disCal[0] = c.disCal0;
        auto p = newProc();
        // Each path built on its own and merged, so paths can differ.
        for (int j = 0; j < c.nap; ++j) {
            auto one = newProc();
            ToneSetup s;
            s.distM = c.distM[j];
            s.channels.resize(static_cast<size_t>(c.channels[j]));
            tarn_test::buildToneRecord(s, &one->raw);
            for (int k = 0; k < kCh; ++k) {
                p->raw.chanList[k] = one->raw.chanList[k];
                p->raw.initPct[k][j] = one->raw.initPct[k][0];
                p->raw.reflPct[k][j] = one->raw.reflPct[k][0];
                p->raw.gmap[k][j] = one->raw.gmap[k][0];
            }
        }
        RangeEstimate est{};
        alg_estimateProductChannelDist(nullptr, &p->raw, &o, static_cast<int8_t>(c.nap), &est);
        for (int j = 0; j < c.nap; ++j) {
            EXPECT_EQ(p->raw.productValid[j], c.wantValid[j]) << "path " << j;
            if (c.wantE[j] == kNone)
                EXPECT_EQ(p->raw.productDist[j], kNone * 0.65 * 1000.0) << "path " << j;
            else
                EXPECT_NEAR(p->raw.productDist[j], c.wantE[j] * 650.0, 1.0) << "path " << j;
        }
        EXPECT_EQ(est.valid, c.wantEstValid);
        EXPECT_NEAR(est.dest, c.wantEstE * 650.0, 1.0);
        // The raw record now holds the two-way product.
        const TarnCplxF prod = p->raw.initPct[40][0] * p->raw.reflPct[40][0];
        EXPECT_EQ(p->raw.pct[40][0], TarnCplxD(prod.real(), prod.imag()));
    }
}

// Calibration: a smooth hardware response per channel and path biases the
// slope; a calibration run at 0.5 m learns a table that removes it, whatever
// prior the run itself used.
TEST(Calibration, TableRemovesHardwareResponse) {
    const int nap = 2;
    const tarn_test::HardwareResponse hw = tarn_test::smoothHardware(11);

    auto procedure = [&](double d, unsigned seed) {
        auto p = newProc();
        ToneSetup s;
        s.distM = d;
        s.nap = nap;
        s.noiseStd = 2.0;
        s.seed = seed;
        tarn_test::buildToneRecord(s, &p->raw);
        tarn_test::applyHardware(hw, &p->raw);
        return p;
    };

    ConfigOpts cal = constOpts;
    cal.estimateFilterChannel = 1;
    cal.maxProcForCal = 5;
    cal.trueCalibrationDistance = 0.5;
    PresState pres = freshPres();
    for (unsigned n = 0; n < 5; ++n) {
        auto p = procedure(0.5, 100 + n);
        runPipeline(*p, cal, pres, nap);
        // The product-channel prior is rotated out during the run.
        EXPECT_GT(p->raw.prior, 0.1);
    }
    ASSERT_EQ(cal.estimateFilterChannel, 0);
    ASSERT_EQ(cal.applyEstimatedReverseChannel, 1);

    ConfigOpts plain = constOpts;
    for (double d : {3.0, 10.0}) {
        for (int j = 0; j < nap; ++j) {
            SCOPED_TRACE(testing::Message() << "d " << d << " path " << j);
            PresState p1 = freshPres();
            PresState p2 = freshPres();
            auto withTable = procedure(d, 200);
            auto without = procedure(d, 200);
            runPipeline(*withTable, cal, p1, nap);
            runPipeline(*without, plain, p2, nap);
            const double errWith = std::fabs(withTable->phase.pdest[j] / 1000.0 - d);
            const double errWithout = std::fabs(without->phase.pdest[j] / 1000.0 - d);
            EXPECT_LT(errWith, 0.02);
            EXPECT_GT(errWithout, 0.2);
            EXPECT_GT(withTable->phase.pconf[j], without->phase.pconf[j]);
        }
    }
}

}  // namespace
