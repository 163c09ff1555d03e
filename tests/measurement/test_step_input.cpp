// Step-level procedure input: layouts, validation, copying, quality scaling,
// the rejected-procedure guarantee and the dump printers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

#include "log_capture.h"
#include "rtt_test_context.h"
#include "tarn_measurement.h"

namespace {

using tarn_test::LogCapture;
using tarn_test::StepProcedure;
using tarn_test::TestContext;
using Values = std::vector<std::pair<std::string, double>>;

constexpr int kPrioError = 6;

// ---- Wire layouts ------------------------------------------------------------

TEST(StepInputLayout, PointerFreeFields) {
    EXPECT_EQ(offsetof(CsEstimate, conf), 16u);
    EXPECT_EQ(sizeof(CsEstimate), 24u);
    EXPECT_EQ(offsetof(CsStepResult, mode0.rssi), 1u);
    EXPECT_EQ(offsetof(CsStepResult, mode0.freqOff), 2u);
    EXPECT_EQ(offsetof(CsStepResult, mode1.security), 1u);
    EXPECT_EQ(offsetof(CsStepResult, mode1.antenna), 2u);
    EXPECT_EQ(offsetof(CsStepResult, mode1.rssi), 3u);
    EXPECT_EQ(offsetof(CsStepResult, mode1.timeEst), 4u);
    EXPECT_EQ(offsetof(CsSubevent, rpl), 8u);
    EXPECT_EQ(offsetof(CsSubevent, NAP), 9u);
    EXPECT_EQ(offsetof(CsSubevent, aborted), 10u);
    EXPECT_EQ(offsetof(CsSubevent, numSteps), 16u);
}

TEST(StepInputLayout, ThirtyTwoBitWireRecords) {
#if TARN_ABI32
    EXPECT_EQ(sizeof(CsMeasurement), 28u);
    EXPECT_EQ(offsetof(CsMeasurement, channels), 0u);
    EXPECT_EQ(offsetof(CsMeasurement, modes), 4u);
    EXPECT_EQ(offsetof(CsMeasurement, NAP), 8u);
    EXPECT_EQ(offsetof(CsMeasurement, initSteps), 12u);
    EXPECT_EQ(offsetof(CsMeasurement, reflSteps), 16u);
    EXPECT_EQ(offsetof(CsMeasurement, N), 20u);
    EXPECT_EQ(offsetof(CsMeasurement, timeUs), 24u);
    EXPECT_EQ(sizeof(CsStepResult), 16u);
    EXPECT_EQ(offsetof(CsStepResult, tone.pct), 0u);
    EXPECT_EQ(offsetof(CsStepResult, tone.pctQual), 4u);
    EXPECT_EQ(offsetof(CsStepResult, tone.antPerm), 8u);
    EXPECT_EQ(offsetof(CsStepResult, tone.rpl), 9u);
    EXPECT_EQ(offsetof(CsStepResult, tone.aaQual), 10u);
    EXPECT_EQ(offsetof(CsStepResult, tone.security), 11u);
    EXPECT_EQ(offsetof(CsStepResult, tone.antenna), 12u);
    EXPECT_EQ(offsetof(CsStepResult, tone.rssi), 13u);
    EXPECT_EQ(offsetof(CsStepResult, tone.timeEst), 14u);
    EXPECT_EQ(sizeof(CsStepSlot), 36u);
    EXPECT_EQ(sizeof(CsProcedure), 32u);
    EXPECT_EQ(offsetof(CsProcedure, numInitSubevents), 12u);
    EXPECT_EQ(offsetof(CsProcedure, initSubevents), 16u);
    EXPECT_EQ(offsetof(CsProcedure, numReflSubevents), 24u);
    EXPECT_EQ(offsetof(CsProcedure, reflSubevents), 28u);
    EXPECT_EQ(sizeof(CsSubevent), 40u);
    EXPECT_EQ(offsetof(CsSubevent, steps), 24u);
    EXPECT_EQ(offsetof(CsSubevent, timestampNs), 32u);
    EXPECT_EQ(sizeof(CsStep), 52u);
    EXPECT_EQ(offsetof(CsStep, data.tone.antPerm), 4u);
    EXPECT_EQ(offsetof(CsStep, data.mode0.rssi), 5u);
    EXPECT_EQ(offsetof(CsStep, data.mode0.freqOff), 8u);
    EXPECT_EQ(offsetof(CsStep, data.mode1.security), 5u);
    EXPECT_EQ(offsetof(CsStep, data.mode1.rssi), 6u);
    EXPECT_EQ(offsetof(CsStep, data.mode1.timeEst), 8u);
    EXPECT_EQ(offsetof(CsStep, data.mode1.antenna), 12u);
    EXPECT_EQ(offsetof(CsStep, data.tone.toneCount), 8u);
    EXPECT_EQ(offsetof(CsStep, data.tone.tones), 12u);
    EXPECT_EQ(offsetof(CsStep, data.tone.toneQual), 20u);
    EXPECT_EQ(offsetof(CsStep, mode3Tone), 32u);
    EXPECT_EQ(offsetof(CsStep, mode3Tone.toneCount), 36u);
    EXPECT_EQ(offsetof(CsStep, mode3Tone.toneQual), 48u);
#else
    GTEST_SKIP() << "wire offsets are defined for the 32-bit ABI";
#endif
}

// ---- Storing ----------------------------------------------------------------

// A mixed procedure of NAP 2: every mode once, plus an unknown mode.
StepProcedure mixedProcedure(uint32_t timeUs = 123456) {
    StepProcedure p(2, timeUs);
    int s = p.add(5, 0);
    p.init[s].mode0 = {7, -40, -1234};
    p.refl[s].mode0 = {8, -41, 321};
    s = p.addRtt(6, 300, -20, 2);
    p.init[s].mode1.rssi = -50;
    p.init[s].mode1.security = 9;
    s = p.addTone(7, 2, 1);
    p.init[s].tone.rpl = 4;
    p.initPct[s] = {1, -2, 3, -4, 0, 0, 0, 0};
    p.initQual[s] = {0, 3, 0, 0};
    p.reflPct[s] = {5, 6, 7, 8, 0, 0, 0, 0};
    p.reflQual[s] = {1, 2, 0, 0};
    s = p.addTone(8, 3, 0);
    p.init[s].tone.aaQual = 1;
    p.init[s].tone.rssi = -60;
    p.init[s].tone.timeEst = 1000;
    p.init[s].tone.security = 2;
    p.refl[s].tone.timeEst = -1000;
    p.initPct[s] = {-100, 100, 200, -200, 0, 0, 0, 0};
    p.initQual[s] = {2, 1, 0, 0};
    p.add(9, 7);
    return p;
}

TEST(StepInput, StoresEveryModeByValue) {
    TestContext ctx;
    StepProcedure p = mixedProcedure();
    LogCapture cap(3);
    ASSERT_EQ(csAddMeasurement(ctx.get(), p.build()), 1);
    EXPECT_TRUE(cap.contains("PCT Quality scaling not applied. [1]\n"));

    EXPECT_EQ(ctx->measStore.N, 5);
    EXPECT_EQ(ctx->measStore.NAP, 2);
    EXPECT_EQ(ctx->measStore.timeUs, 123456u);
    EXPECT_EQ(ctx->timeUs, 123456.0);
    EXPECT_EQ(0, std::memcmp(ctx->channelStore, p.channels.data(), 5));
    EXPECT_EQ(0, std::memcmp(ctx->modeStore, p.modes.data(), 5));

    EXPECT_EQ(ctx.init(0).step.mode0.aaQual, 7);
    EXPECT_EQ(ctx.init(0).step.mode0.rssi, -40);
    EXPECT_EQ(ctx.init(0).step.mode0.freqOff, -1234);
    EXPECT_EQ(ctx.refl(0).step.mode0.freqOff, 321);
    EXPECT_EQ(ctx.init(1).step.mode1.aaQual, 2);
    EXPECT_EQ(ctx.init(1).step.mode1.timeEst, 300);
    EXPECT_EQ(ctx.init(1).step.mode1.rssi, -50);
    EXPECT_EQ(ctx.init(1).step.mode1.security, 9);
    EXPECT_EQ(ctx.refl(1).step.mode1.timeEst, -20);

    const CsStepSlot &t2 = ctx.init(2);
    EXPECT_EQ(t2.step.tone.pct, t2.pctBuf);
    EXPECT_EQ(t2.step.tone.pctQual, t2.pctQualBuf);
    EXPECT_EQ(t2.step.tone.antPerm, 1);
    EXPECT_EQ(t2.step.tone.rpl, 4);
    const int16_t pct2[4] = {1, -2, 3, -4};
    EXPECT_EQ(0, std::memcmp(t2.pctBuf, pct2, sizeof pct2));
    EXPECT_EQ(t2.pctQualBuf[0], 0);
    EXPECT_EQ(t2.pctQualBuf[1], 3);
    EXPECT_EQ(ctx.refl(2).pctBuf[3], 8);

    const CsStepSlot &t3 = ctx.init(3);
    EXPECT_EQ(t3.step.tone.timeEst, 1000);
    EXPECT_EQ(t3.step.tone.aaQual, 1);
    EXPECT_EQ(t3.step.tone.rssi, -60);
    EXPECT_EQ(t3.step.tone.security, 2);
    EXPECT_EQ(t3.pctBuf[3], -200);
    EXPECT_EQ(ctx.refl(3).step.tone.timeEst, -1000);

    // Nothing of the host's is referenced after the call.
    p.initPct[2][0] = 99;
    EXPECT_EQ(ctx.init(2).pctBuf[0], 1);
}

TEST(StepInput, UnknownModeKeepsItsSlot) {
    TestContext ctx;
    ctx->initSlots[4].step.mode1.timeEst = 4242;
    StepProcedure p = mixedProcedure();
    LogCapture cap(4);
    ASSERT_EQ(csAddMeasurement(ctx.get(), p.build()), 1);
    EXPECT_EQ(ctx.init(4).step.mode1.timeEst, 4242);
    EXPECT_EQ(ctx->modeStore[4], 7);
    for (const auto &line : cap.lines()) EXPECT_NE(line.prio, kPrioError) << line.text;
}

TEST(StepInput, QualityScaling) {
    TestContext ctx;
    StepProcedure p(4);
    const int s = p.addTone(1, 2);
    p.initQual[s] = {0, 1, 2, 3};
    p.reflQual[s] = {3, 2, 1, 0};

    ASSERT_EQ(csAddMeasurement(ctx.get(), p.build()), 1);
    const uint8_t raw[4] = {0, 1, 2, 3};
    EXPECT_EQ(0, std::memcmp(ctx.init(0).pctQualBuf, raw, 4));

    ctx.opts().pctQscale = 0;
    LogCapture cap(3);
    ASSERT_EQ(csAddMeasurement(ctx.get(), p.build()), 1);
    EXPECT_TRUE(cap.contains("PCT Quality scaling applied.\n"));
    const uint8_t scaledInit[4] = {126, 84, 42, 3};
    const uint8_t scaledRefl[4] = {3, 42, 84, 126};
    EXPECT_EQ(0, std::memcmp(ctx.init(0).pctQualBuf, scaledInit, 4));
    EXPECT_EQ(0, std::memcmp(ctx.refl(0).pctQualBuf, scaledRefl, 4));
}

TEST(StepInput, EmptyProcedureIsStored) {
    TestContext ctx;
    StepProcedure full = mixedProcedure();
    ASSERT_EQ(csAddMeasurement(ctx.get(), full.build()), 1);
    StepProcedure empty(3, 77);
    ASSERT_EQ(csAddMeasurement(ctx.get(), empty.build()), 1);
    EXPECT_EQ(ctx->measStore.N, 0);
    EXPECT_EQ(ctx->measStore.NAP, 3);
    EXPECT_EQ(ctx->timeUs, 77.0);
}

TEST(StepInput, MoreThan256StepsAreCut) {
    TestContext ctx;
    StepProcedure p(1, 0);
    for (int i = 0; i < 300; ++i)
        p.addRtt(static_cast<uint8_t>(i % 79), static_cast<int16_t>(i), 0);
    CsMeasurement *m = p.build();
    LogCapture cap(3);
    ASSERT_EQ(csAddMeasurement(ctx.get(), m), 1);
    EXPECT_EQ(m->N, 256);  // the caller's record is lowered
    EXPECT_EQ(ctx->measStore.N, 256);
    EXPECT_EQ(ctx.init(255).step.mode1.timeEst, 255);
    EXPECT_TRUE(cap.contains("Skipping measurement data more than 256 channels\n"));
}

// ---- Rejections -------------------------------------------------------------

// Snapshot of what a rejected call must not change.
struct Stored {
    CsMeasurement meas;
    double timeUs;
    uint8_t channels[TARN_MAX_STEPS];
    uint8_t modes[TARN_MAX_STEPS];
    CsStepSlot init[TARN_MAX_STEPS];
    CsStepSlot refl[TARN_MAX_STEPS];

    explicit Stored(const CsContext *c) {
        std::memset(static_cast<void *>(this), 0, sizeof *this);  // padding compares too
        std::memcpy(&meas, &c->measStore, sizeof meas);
        timeUs = c->timeUs;
        std::memcpy(channels, c->channelStore, sizeof channels);
        std::memcpy(modes, c->modeStore, sizeof modes);
        std::memcpy(init, c->initSlots, sizeof init);
        std::memcpy(refl, c->reflSlots, sizeof refl);
    }
    bool operator==(const Stored &o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
};

class StepInputRejection : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(csAddMeasurement(ctx.get(), previous.build()), 1);
        before = std::make_unique<Stored>(ctx.get());
    }
    void expectUntouched() { EXPECT_TRUE(Stored(ctx.get()) == *before); }
    std::vector<std::string> errors(const LogCapture &cap) {
        std::vector<std::string> out;
        for (const auto &l : cap.lines()) {
            if (l.prio == kPrioError) out.push_back(l.text);
        }
        return out;
    }

    TestContext ctx;
    StepProcedure previous = mixedProcedure(999);
    std::unique_ptr<Stored> before;
};

TEST_F(StepInputRejection, AntennaPathCountOutOfRange) {
    for (uint8_t nap : {0, 5, 200}) {
        StepProcedure p = mixedProcedure(1);
        p.NAP = nap;
        LogCapture cap(3);
        EXPECT_EQ(csAddMeasurement(ctx.get(), p.build()), 0);
        EXPECT_EQ(errors(cap), std::vector<std::string>{"Incorrect NAP csAddmeasurement [" +
                                                        std::to_string(int8_t(nap)) + "]\n"});
        EXPECT_TRUE(cap.contains("NAP should be: 1 to 4\n"));
        expectUntouched();
    }
}

TEST_F(StepInputRejection, MissingChannelOrModeArray) {
    StepProcedure p = mixedProcedure(1);
    CsMeasurement *m = p.build();
    m->channels = nullptr;
    LogCapture cap(3);
    EXPECT_EQ(csAddMeasurement(ctx.get(), m), 0);
    EXPECT_EQ(errors(cap), std::vector<std::string>{"Invalid channel data.\n"});
    expectUntouched();

    m = p.build();
    m->modes = nullptr;
    cap.clear();
    EXPECT_EQ(csAddMeasurement(ctx.get(), m), 0);
    EXPECT_EQ(errors(cap), std::vector<std::string>{"Invalid mode data.\n"});
    expectUntouched();
}

TEST_F(StepInputRejection, MissingToneArraysLeaveThePreviousProcedure) {
    {
        StepProcedure p = mixedProcedure(1);
        CsMeasurement *m = p.build();
        p.init[2].tone.pct = nullptr;
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement(ctx.get(), m), 0);
        EXPECT_EQ(cap.texts(),
                  (std::vector<std::string>{"Invalid pct values.\n",
                                            "Invalid intiator measurement data provided.\n"}));
        expectUntouched();
    }
    {
        // The last reflector step is the only faulty one: nothing before it
        // may reach the store either.
        StepProcedure p = mixedProcedure(1);
        p.channels[0] = 70;
        CsMeasurement *m = p.build();
        p.refl[3].tone.pctQual = nullptr;
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement(ctx.get(), m), 0);
        EXPECT_EQ(cap.texts(),
                  (std::vector<std::string>{"Invalid pctQual values.\n",
                                            "Invalid reflector measurement data provided.\n"}));
        expectUntouched();
    }
    {
        StepProcedure p = mixedProcedure(1);
        CsMeasurement *m = p.build();
        m->reflSteps = nullptr;
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement(ctx.get(), m), 0);
        EXPECT_EQ(errors(cap),
                  std::vector<std::string>{"Invalid reflector measurement data provided.\n"});
        expectUntouched();
    }
    EXPECT_EQ(csAddMeasurement(nullptr, previous.build()), 0);
    EXPECT_EQ(csAddMeasurement(ctx.get(), nullptr), 0);
}

TEST(StepInput, ConstructRejectsOutOfModelArguments) {
    CsStepSlot slots[2] = {};
    const uint8_t modes[2] = {2, 2};
    int16_t pct[10] = {};
    uint8_t qual[5] = {};
    CsStepResult steps[2] = {};
    steps[0].tone.pct = steps[1].tone.pct = pct;
    steps[0].tone.pctQual = steps[1].tone.pctQual = qual;
    EXPECT_TRUE(constructCsResults(slots, modes, 0, nullptr, 1, 1));
    EXPECT_FALSE(constructCsResults(slots, modes, 2, steps, 5, 1));
    EXPECT_TRUE(constructCsResults(slots, modes, 2, steps, 4, 1));
    EXPECT_EQ(slots[1].step.tone.pct, slots[1].pctBuf);
}

// ---- Dumps ------------------------------------------------------------------

TEST(StepInputDump, PrintsStoredFieldsByMode) {
    TestContext ctx;
    StepProcedure p = mixedProcedure(31);
    ASSERT_EQ(csAddMeasurement(ctx.get(), p.build()), 1);

    LogCapture cap(3);
    print_NAP(ctx->meas);
    print_cont_measurement(ctx->meas, 2);  // level 4: suppressed at 3
    EXPECT_EQ(cap.values(), (Values{{"NAP", 2}}));

    LogCapture all(4);
    print_cont_cs_results(ctx->initSlots, ctx->modeStore, 4, 2);
    // Modes 0, 1, 2 (the pct pairs and qualities of both paths), 3.
    const Values initDump = {{"aaQual", 7},    {"rssi", -40},     {"freqOff", -1234},
                             {"aaQual", 2},    {"rssi", -50},     {"timeEst", 300},
                             {"security", 9},  {"antPerm", 1},    {"rpl", 4},
                             {"", 1},          {"", -2},          {"", 3},
                             {"", -4},         {"", 0},           {"", 3},
                             {"pct[0]", -100}, {"pct[1]", 100},   {"pct[2]", 200},
                             {"pct[3]", -200}, {"pctQual[0]", 2}, {"pctQual[1]", 1},
                             {"aaQual", 1},    {"rssi", -60},     {"timeEst", 1000},
                             {"security", 2},  {"antPerm", 0},    {"rpl", 0}};
    EXPECT_EQ(all.values(), initDump);

    // The whole procedure: its time and step count, then both sides' steps.
    all.clear();
    print_cont_cs_results(ctx->reflSlots, ctx->modeStore, 5, 2);
    const Values reflDump = all.values();
    EXPECT_NE(std::find(reflDump.begin(), reflDump.end(), Values::value_type{"timeEst", -1000}),
              reflDump.end());
    Values whole = {{"timeUs", 31}, {"N", 5}};
    whole.insert(whole.end(), initDump.begin(), initDump.end());
    whole.insert(whole.end(), reflDump.begin(), reflDump.end());
    all.clear();
    print_cont_measurement(ctx->meas, 2);
    EXPECT_EQ(all.values(), whole);
}

}  // namespace
