// Entry checks of the phase-based estimate and the tone extraction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>

#include "log_capture.h"
#include "rtp/rtp_tones.h"
#include "tarn_rtp.h"

namespace {

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using CtxPtr = std::unique_ptr<CsContext, FreeDeleter>;

// A context laid out as the intake leaves it, with `n` steps of the given mode.
CtxPtr makeContext(int nap, int n, uint8_t mode) {
    CtxPtr ctx(static_cast<CsContext *>(std::calloc(1, sizeof(CsContext))));
    ctx->opts = &ctx->optsStore;
    ctx->pres = &ctx->presStore;
    ctx->meas = &ctx->measStore;
    ctx->result = &ctx->resultStore;
    ctx->optsStore = constOpts;
    CsMeasurement &m = ctx->measStore;
    m.channels = ctx->channelStore;
    m.modes = ctx->modeStore;
    m.initSteps = &ctx->initSlots[0].step;
    m.reflSteps = &ctx->reflSlots[0].step;
    for (int i = 0; i < TARN_MAX_STEPS; ++i) {
        ctx->initSlots[i].step.tone.pct = ctx->initSlots[i].pctBuf;
        ctx->initSlots[i].step.tone.pctQual = ctx->initSlots[i].pctQualBuf;
        ctx->reflSlots[i].step.tone.pct = ctx->reflSlots[i].pctBuf;
        ctx->reflSlots[i].step.tone.pctQual = ctx->reflSlots[i].pctQualBuf;
        ctx->modeStore[i] = mode;
        ctx->channelStore[i] = static_cast<uint8_t>(2 + i % 77);
    }
    m.NAP = static_cast<uint8_t>(nap);
    m.N = static_cast<uint16_t>(n);
    ctx->resultStore.dest = 4321.0;
    ctx->resultStore.conf = 42;
    return ctx;
}

void expectResultUntouched(const CsContext &ctx) {
    EXPECT_EQ(ctx.resultStore.dest, 4321.0);
    EXPECT_EQ(ctx.resultStore.conf, 42);
}

TEST(RtpEntry, AntennaPathCountOutOfRange) {
    for (int nap : {0, 5, 255}) {
        SCOPED_TRACE(nap);
        auto ctx = makeContext(nap, 10, 2);
        // Refused at the entry: the count and the error are the last words.
        tarn_test::LogCapture cap(4);
        EXPECT_EQ(RTP_calcEstimate(ctx.get()), 0);
        const int shown = static_cast<int8_t>(nap);
        auto lines = cap.lines();
        ASSERT_GE(lines.size(), 3u);
        lines.erase(lines.begin(), lines.end() - 3);
        EXPECT_EQ(lines[0].text, "NAP " + std::to_string(shown));
        EXPECT_EQ(lines[0].prio, 4);
        EXPECT_EQ(lines[1].text, "Incorrect NAP [" + std::to_string(shown) + "]\n");
        EXPECT_EQ(lines[1].prio, 6);
        EXPECT_EQ(lines[2].text, "NAP should be: 1 to 4\n");
        expectResultUntouched(*ctx);
        EXPECT_EQ(ctx->presStore.time, 0.0);
    }
}

TEST(RtpEntry, NoStepDataOrNoToneSteps) {
    auto noSteps = makeContext(2, 0, 2);
    auto rttOnly = makeContext(2, 40, 1);
    for (int i = 0; i < 40; i += 2) rttOnly->modeStore[i] = 0;
    rttOnly->modeStore[5] = 6;  // not a tone mode, even with bit 0 cleared
    auto noRefl = makeContext(2, 40, 3);
    noRefl->measStore.reflSteps = nullptr;
    for (CsContext *ctx : {noSteps.get(), rttOnly.get(), noRefl.get()}) {
        tarn_test::LogCapture cap(1);
        EXPECT_EQ(RTP_calcEstimate(ctx), 0);
        EXPECT_EQ(cap.texts(), (std::vector<std::string>{"NAP 2", "No measurement data found.\n"}));
        expectResultUntouched(*ctx);
    }
    tarn_test::LogCapture cap(1);
    EXPECT_EQ(RTP_calcEstimate(nullptr), 0);
    EXPECT_TRUE(cap.contains("No measurement data found.\n"));
}

TEST(RtpEntry, ToneStepsWithoutTonesGiveNoDistance) {
    // 256 tone steps are a full procedure, not an empty one; tones without
    // phase correction terms leave no distance, reported as 0 with no confidence.
    for (int n : {1, TARN_MAX_STEPS}) {
        auto ctx = makeContext(4, n, 3);
        ctx->presStore.time = -100.0;
        tarn_test::LogCapture cap(4);
        EXPECT_EQ(RTP_calcEstimate(ctx.get()), 1);
        EXPECT_FALSE(cap.contains("No measurement data found.\n"));
        EXPECT_TRUE(cap.contains("[Filter] RTP Distance: 0.000000 Confidence: -1\n"));
        EXPECT_EQ(ctx->resultStore.dest, 0.0);
        EXPECT_EQ(ctx->resultStore.conf, -1);
        EXPECT_EQ(ctx->presStore.valid, 0);
    }
}

TEST(ToneExtraction, PhasesQualitiesAndCount) {
    auto ctx = makeContext(2, 6, 0);
    // Steps 1, 2 and 4 are tone steps (modes 2, 3, 2).
    ctx->modeStore[1] = 2;
    ctx->modeStore[2] = 3;
    ctx->modeStore[4] = 2;
    ctx->channelStore[1] = 11;
    ctx->channelStore[2] = 77;
    ctx->channelStore[4] = 200;  // kept as given; the channel ordering drops it
    auto setPct = [&](int step, int j, int ii, int qi, int ir, int qr) {
        ctx->initSlots[step].pctBuf[2 * j] = static_cast<int16_t>(ii);
        ctx->initSlots[step].pctBuf[2 * j + 1] = static_cast<int16_t>(qi);
        ctx->reflSlots[step].pctBuf[2 * j] = static_cast<int16_t>(ir);
        ctx->reflSlots[step].pctBuf[2 * j + 1] = static_cast<int16_t>(qr);
        ctx->initSlots[step].pctQualBuf[j] = static_cast<uint8_t>(step + j);
        ctx->reflSlots[step].pctQualBuf[j] = static_cast<uint8_t>(10 * step + j);
    };
    setPct(1, 0, 0, 100, 100, 0);          // pi/2 + 0 + half turn
    setPct(1, 1, -100, 0, 0, -100);        // pi - pi/2 + half turn
    setPct(2, 0, 0, 100, -100, 0);         // pi/2 + pi + half turn: past a full turn
    setPct(2, 1, -32768, -1, -32768, -1);  // close to -pi twice: folded into [0, turn)
    setPct(4, 0, 100, 1, 100, 0);          // a fraction of a unit
    setPct(4, 1, 0, 0, 0, 0);
    ctx->initSlots[1].pctBuf[4] = 999;  // path 2 lies beyond NAP

    tarn_rtp::RtpTones tones;
    ASSERT_EQ(tarn_rtp::rtpExtractTones(ctx->measStore, 2, ctx->optsStore, tones), 3);
    EXPECT_EQ(tones.toneChannel[0], 11);
    EXPECT_EQ(tones.toneChannel[1], 77);
    EXPECT_EQ(tones.toneChannel[2], 200);
    EXPECT_EQ(tones.initToneIq[0][1].re, -100);
    EXPECT_EQ(tones.reflToneIq[0][1].im, -100);
    EXPECT_EQ(tones.initToneIq[2][0].im, 1);
    EXPECT_EQ(tones.initToneIq[0][2].re, 0);
    EXPECT_EQ(tones.initToneQual[1][1], 3);
    EXPECT_EQ(tones.reflToneQual[1][1], 21);
    EXPECT_DOUBLE_EQ(tones.tonePhase[0][0], 49152.0);
    EXPECT_DOUBLE_EQ(tones.tonePhase[0][1], 49152.0);
    EXPECT_DOUBLE_EQ(tones.tonePhase[1][0], 16384.0);
    const double nearPi = std::atan2(-1.0, -32768.0) / 3.14159265358979323846 * 32768.0;
    EXPECT_DOUBLE_EQ(tones.tonePhase[1][1], std::fmod(2 * nearPi + 32768.0 + 65536.0, 65536.0));
    const double frac = std::atan2(1.0, 100.0) / 3.14159265358979323846 * 32768.0 + 32768.0;
    EXPECT_DOUBLE_EQ(tones.tonePhase[2][0], frac);
    EXPECT_DOUBLE_EQ(tones.tonePhase[2][1], 32768.0);

    ctx->optsStore.quant = 1;
    tarn_rtp::rtpExtractTones(ctx->measStore, 2, ctx->optsStore, tones);
    EXPECT_EQ(tones.tonePhase[2][0], std::round(frac));
}

}  // namespace
