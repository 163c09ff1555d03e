// Procedure-level input: subevent selection, tone mapping, limits, rejections
// and equivalence with the step-level input.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "rtt_test_context.h"
#include "tarn_measurement.h"

namespace {

using tarn_test::LogCapture;
using tarn_test::StepProcedure;
using tarn_test::TestContext;

constexpr int kPrioError = 6;

// Owns a CsProcedure and everything it points to.
struct Procedure {
    std::deque<std::vector<CsStep>> steps;  // stable addresses per subevent
    std::deque<std::vector<int32_t>> tones;
    std::deque<std::vector<uint8_t>> quals;
    std::vector<CsSubevent> init, refl;
    CsProcedure proc{};

    // Adds a subevent to both sides (same steps); returns its index.
    int addSubevent(int8_t nap = 1, uint8_t rpl = 0, int64_t timeNs = 0) {
        CsSubevent se{};
        se.NAP = nap;
        se.rpl = rpl;
        se.timestampNs = timeNs;
        init.push_back(se);
        refl.push_back(se);
        steps.emplace_back();
        steps.emplace_back();
        return static_cast<int>(init.size()) - 1;
    }
    std::vector<CsStep> &initSteps(int k) { return steps[2 * k]; }
    std::vector<CsStep> &reflSteps(int k) { return steps[2 * k + 1]; }

    // Adds the same step to both sides of subevent k.
    void addStep(int k, const CsStep &initStep, const CsStep &reflStep) {
        initSteps(k).push_back(initStep);
        reflSteps(k).push_back(reflStep);
    }

    CsToneData toneData(uint8_t antPerm, const std::vector<int32_t> &iq,
                        const std::vector<uint8_t> &q) {
        tones.push_back(iq);
        quals.push_back(q);
        CsToneData t{};
        t.antPerm = antPerm;
        t.toneCount = static_cast<int32_t>(q.size());
        t.tones = tones.back().data();
        t.toneQual = quals.back().data();
        return t;
    }

    CsProcedure *build() {
        for (size_t k = 0; k < init.size(); ++k) {
            init[k].steps = initSteps(static_cast<int>(k)).data();
            init[k].numSteps = static_cast<int64_t>(initSteps(static_cast<int>(k)).size());
            refl[k].steps = reflSteps(static_cast<int>(k)).data();
            refl[k].numSteps = static_cast<int64_t>(reflSteps(static_cast<int>(k)).size());
        }
        proc.numInitSubevents = static_cast<int32_t>(init.size());
        proc.initSubevents = init.data();
        proc.numReflSubevents = static_cast<int32_t>(refl.size());
        proc.reflSubevents = refl.data();
        return &proc;
    }
};

CsStep rttStep(uint8_t channel, int32_t timeEst, uint8_t aaQual = 0) {
    CsStep s{};
    s.channel = channel;
    s.mode = 1;
    s.data.mode1.aaQual = aaQual;
    s.data.mode1.timeEst = timeEst;
    return s;
}

// Five tones whose I value names the tone (10, 20, ...) and Q its negative.
std::vector<int32_t> namedTones(int count) {
    std::vector<int32_t> iq;
    for (int t = 0; t < count; ++t) {
        iq.push_back(10 * (t + 1));
        iq.push_back(-10 * (t + 1));
    }
    return iq;
}
std::vector<uint8_t> namedQuals(int count) {
    std::vector<uint8_t> q;
    for (int t = 0; t < count; ++t) q.push_back(static_cast<uint8_t>(t));
    return q;
}

CsStep toneStep(Procedure &p, uint8_t channel, uint8_t mode, uint8_t antPerm, int count) {
    CsStep s{};
    s.channel = channel;
    s.mode = mode;
    const CsToneData t = p.toneData(antPerm, namedTones(count), namedQuals(count));
    if (mode == 2) {
        s.data.tone = t;
    } else {
        s.mode3Tone = t;
    }
    return s;
}

std::vector<std::string> errors(const LogCapture &cap) {
    std::vector<std::string> out;
    for (const auto &l : cap.lines()) {
        if (l.prio == kPrioError) out.push_back(l.text);
    }
    return out;
}

// ---- Subevent selection -----------------------------------------------------

TEST(ProcedureInput, AbortedAndMismatchedSubeventsAreDropped) {
    Procedure p;
    for (int k = 0; k < 3; ++k) {
        p.addSubevent(1, 0, 2000000);
        for (int j = 0; j < 10; ++j) {
            p.addStep(k, rttStep(static_cast<uint8_t>(10 * k + j), 100 * k + j), rttStep(0, -j));
        }
    }
    p.refl[1].aborted = 1;
    p.reflSteps(2).pop_back();  // 10 against 9
    CsProcedure *proc = p.build();

    uint8_t map[32];
    std::memset(map, 0xAA, sizeof map);
    csGenerateValidSubeventMap(proc, map);
    EXPECT_EQ(map[0], 1);
    EXPECT_EQ(map[1], 0);
    EXPECT_EQ(map[2], 0);
    for (int j = 3; j < 32; ++j) EXPECT_EQ(map[j], 0);
    csGenerateValidSubeventMap(proc, nullptr);

    TestContext ctx;
    LogCapture cap(3);
    ASSERT_EQ(csAddMeasurement_v2(ctx.get(), proc), 1);
    EXPECT_TRUE(cap.contains("ReflSubevent[1] Aborted 1 , 10 , 10"));
    EXPECT_TRUE(cap.contains("ReflSubevent[2] Aborted 0 , 9 , 10"));
    EXPECT_TRUE(cap.contains("processing initiator subevent 0 in csAddMeasurement_v2\n"));
    EXPECT_FALSE(cap.contains("processing initiator subevent 1 in csAddMeasurement_v2\n"));
    EXPECT_TRUE(cap.contains("status 1"));
    EXPECT_EQ(ctx->measStore.N, 10);
    EXPECT_EQ(ctx->measStore.timeUs, 2000u);
    for (int j = 0; j < 10; ++j) {
        EXPECT_EQ(ctx->channelStore[j], j);
        EXPECT_EQ(ctx.init(j).step.mode1.timeEst, j);
        EXPECT_EQ(ctx.refl(j).step.mode1.timeEst, -j);
    }
}

TEST(ProcedureInput, InitiatorAbortAndUnequalCountsLeaveAnEmptyProcedure) {
    Procedure p;
    p.addSubevent(1);
    p.addSubevent(1);
    for (int j = 0; j < 12; ++j) p.addStep(0, rttStep(1, 5), rttStep(1, 2));
    p.reflSteps(0).pop_back();
    for (int j = 0; j < 4; ++j) p.addStep(1, rttStep(1, 5), rttStep(1, 2));
    p.init[1].aborted = -1;
    TestContext ctx;
    LogCapture cap(2);
    ASSERT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 1);
    EXPECT_TRUE(cap.contains("InitSubevent[1] Aborted -1"));
    EXPECT_EQ(ctx->measStore.N, 0);
}

// ---- Tone mapping -----------------------------------------------------------

TEST(ProcedureInput, PermutationMapsTonesToPaths) {
    Procedure p;
    p.addSubevent(4, 6);
    p.addStep(0, toneStep(p, 20, 2, 9, 5), toneStep(p, 20, 2, 9, 5));
    TestContext ctx;
    ASSERT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 1);
    // Row 9 is 3 0 1 2: tone 0 -> path 3, tone 1 -> 0, tone 2 -> 1, tone 3 -> 2.
    const CsStepSlot &s = ctx.init(0);
    const int16_t expectedPct[8] = {20, -20, 30, -30, 40, -40, 10, -10};
    const uint8_t expectedQual[4] = {1, 2, 3, 0};
    EXPECT_EQ(0, std::memcmp(s.pctBuf, expectedPct, sizeof expectedPct));
    EXPECT_EQ(0, std::memcmp(s.pctQualBuf, expectedQual, sizeof expectedQual));
    EXPECT_EQ(s.step.tone.antPerm, 9);
    EXPECT_EQ(s.step.tone.rpl, 6);
    EXPECT_EQ(0, std::memcmp(ctx.refl(0).pctBuf, expectedPct, sizeof expectedPct));
    EXPECT_EQ(ctx->channelStore[0], 20);
    EXPECT_EQ(ctx->modeStore[0], 2);
}

TEST(ProcedureInput, TwoTonesAtOnePath) {
    Procedure p;
    p.addSubevent(1);
    p.addStep(0, toneStep(p, 3, 2, 0, 2), toneStep(p, 3, 2, 0, 2));
    TestContext ctx;
    ctx->initSlots[0].pctBuf[2] = 555;  // beyond NAP: never written
    ASSERT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 1);
    EXPECT_EQ(ctx.init(0).pctBuf[0], 10);
    EXPECT_EQ(ctx.init(0).pctBuf[1], -10);
    EXPECT_EQ(ctx.init(0).pctQualBuf[0], 0);
    EXPECT_EQ(ctx.init(0).pctBuf[2], 555);
    EXPECT_EQ(ctx->measStore.NAP, 1);
}

TEST(ProcedureInput, ToneCountSixAndFive) {
    TestContext ctx;
    {
        Procedure p;
        p.addSubevent(4);
        p.addStep(0, toneStep(p, 3, 2, 0, 6), toneStep(p, 3, 2, 0, 6));
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 0);
        EXPECT_EQ(cap.texts(), std::vector<std::string>{" Pct count incorrect 6 "});
    }
    {
        Procedure p;
        p.addSubevent(4);
        CsStep s = toneStep(p, 3, 3, 0, 6);
        s.data.mode1.timeEst = 70000;  // cut to 16 bits
        s.data.mode1.aaQual = 2;
        s.data.mode1.antenna = 3;
        CsStep r = toneStep(p, 3, 3, 0, 6);
        r.data.mode1.timeEst = -12;
        p.addStep(0, s, r);
        ASSERT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 1);
        const int16_t expectedPct[8] = {10, -10, 20, -20, 30, -30, 40, -40};
        EXPECT_EQ(0, std::memcmp(ctx.init(0).pctBuf, expectedPct, sizeof expectedPct));
        EXPECT_EQ(ctx.init(0).step.tone.timeEst, static_cast<int16_t>(70000));
        EXPECT_EQ(ctx.init(0).step.tone.aaQual, 2);
        EXPECT_EQ(ctx.refl(0).step.tone.timeEst, -12);
        EXPECT_EQ(ctx.refl(0).step.tone.aaQual, 0);
    }
    {
        // Reflector mode-2 steps clamp instead of rejecting.
        Procedure p;
        p.addSubevent(4);
        p.addStep(0, toneStep(p, 3, 2, 0, 5), toneStep(p, 3, 2, 0, 6));
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 1);
    }
}

TEST(ProcedureInput, AntennaPathCountAndTimeStamp) {
    TestContext ctx;
    {
        Procedure p;
        p.addSubevent(5);
        p.addStep(0, rttStep(1, 1), rttStep(1, 1));
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 0);
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Incorrect NAP in Subevent data  5"});
    }
    {
        Procedure p;
        p.addSubevent(2, 0, 5000000999LL);
        p.addStep(0, rttStep(1, 1), rttStep(1, 1));
        ASSERT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 1);
        EXPECT_EQ(ctx->measStore.timeUs, 5000000u);
        EXPECT_EQ(ctx->timeUs, 5000000.0);
    }
    {
        // Values of 0 and below pass the converter and are refused on storing.
        Procedure p;
        p.addSubevent(0);
        p.addStep(0, rttStep(1, 1), rttStep(1, 1));
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 0);
        EXPECT_TRUE(cap.contains("Incorrect NAP csAddmeasurement [0]\n"));
    }
}

TEST(ProcedureInput, ThreeHundredStepsAreRefused) {
    Procedure p;
    p.addSubevent(1);
    for (int j = 0; j < 300; ++j) p.addStep(0, rttStep(1, j), rttStep(1, 0));
    TestContext ctx;
    LogCapture cap(1);
    EXPECT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 0);
    EXPECT_EQ(cap.texts(), (std::vector<std::string>{"Max channels exceeded 300",
                                                     "Steps mismatch - init 256 , refl 300"}));
}

TEST(ProcedureInput, TooManySubevents) {
    Procedure p;
    for (int k = 0; k < 40; ++k) {
        p.addSubevent(1);
        p.addStep(k, rttStep(static_cast<uint8_t>(k), k), rttStep(0, 0));
    }
    TestContext ctx;
    LogCapture cap(2);
    ASSERT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 1);
    EXPECT_TRUE(cap.contains("Too many Sub-Events 40 40"));
    EXPECT_EQ(ctx->measStore.N, 32);
    EXPECT_EQ(ctx.init(31).step.mode1.timeEst, 31);
}

// ---- Rejections -------------------------------------------------------------

class ProcedureRejection : public ::testing::Test {
  protected:
    void SetUp() override {
        Procedure good;
        good.addSubevent(2, 0, 7000);
        for (int j = 0; j < 4; ++j) {
            good.addStep(0, toneStep(good, static_cast<uint8_t>(j), 2, 0, 3),
                         toneStep(good, static_cast<uint8_t>(j), 2, 0, 3));
        }
        ASSERT_EQ(csAddMeasurement_v2(ctx.get(), good.build()), 1);
        std::memcpy(&before, ctx.get(), sizeof before);
        memBefore = std::make_unique<std::vector<uint8_t>>(
            reinterpret_cast<const uint8_t *>(&ctx->measStore),
            reinterpret_cast<const uint8_t *>(ctx.get()) + csGetMemory(nullptr));
    }

    // Tone procedure of NAP 2 with a faulty step in the middle of the second
    // subevent (so earlier steps hold allocations when it is met).
    using Spoiler = std::function<void(Procedure &, CsStep &, CsStep &)>;
    void expectRejected(const Spoiler &spoil, const std::string &message) {
        expectRejected(spoil, std::vector<std::string>{message});
    }
    void expectRejected(const Spoiler &spoil, const std::vector<std::string> &messages) {
        Procedure p;
        p.addSubevent(2);
        p.addSubevent(2);
        for (int k = 0; k < 2; ++k) {
            for (int j = 0; j < 5; ++j) {
                CsStep a = toneStep(p, static_cast<uint8_t>(j), 3, 1, 3);
                CsStep b = toneStep(p, static_cast<uint8_t>(j), 3, 1, 3);
                if (k == 1 && j == 2) spoil(p, a, b);
                p.addStep(k, a, b);
            }
        }
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), p.build()), 0);
        EXPECT_EQ(errors(cap), messages);
        const std::vector<uint8_t> now(
            reinterpret_cast<const uint8_t *>(&ctx->measStore),
            reinterpret_cast<const uint8_t *>(ctx.get()) + csGetMemory(nullptr));
        EXPECT_TRUE(now == *memBefore) << "stored procedure changed";
        EXPECT_EQ(ctx->timeUs, before.timeUs);
    }

    TestContext ctx;
    CsContext before{};
    std::unique_ptr<std::vector<uint8_t>> memBefore;
};

TEST_F(ProcedureRejection, PermutationIndexOutOfTable) {
    expectRejected([](Procedure &, CsStep &a, CsStep &) { a.mode3Tone.antPerm = 24; },
                   "Invalid antenna permutation 24\n");
    expectRejected([](Procedure &, CsStep &, CsStep &b) { b.mode3Tone.antPerm = 255; },
                   "Invalid antenna permutation 255\n");
}

TEST_F(ProcedureRejection, PermutationNamesPathWithoutTone) {
    // Row 9 sends the first tone to path 3, but the step reports 3 tones.
    expectRejected([](Procedure &, CsStep &a, CsStep &) { a.mode3Tone.antPerm = 9; },
                   "Antenna permutation 9 names path 3 of 3 tones\n");
}

TEST_F(ProcedureRejection, FewerTonesThanPaths) {
    expectRejected([](Procedure &, CsStep &a, CsStep &) { a.mode3Tone.toneCount = 2; },
                   "Tone count 2 too small for NAP 2\n");
    expectRejected([](Procedure &, CsStep &, CsStep &b) { b.mode3Tone.toneCount = -7; },
                   "Tone count -7 too small for NAP 2\n");
}

TEST_F(ProcedureRejection, MissingToneArrays) {
    expectRejected([](Procedure &, CsStep &a, CsStep &) { a.mode3Tone.tones = nullptr; },
                   "Invalid tone data\n");
    expectRejected([](Procedure &, CsStep &, CsStep &b) { b.mode3Tone.toneQual = nullptr; },
                   "Invalid tone data\n");
}

TEST_F(ProcedureRejection, InvalidAndMismatchedModes) {
    expectRejected([](Procedure &, CsStep &a, CsStep &) { a.mode = 9; },
                   "Invalid mode 9 at step 7\n");
    expectRejected([](Procedure &, CsStep &a, CsStep &) { a.mode = 200; },
                   "Invalid mode -56 at step 7\n");
    expectRejected(
        [](Procedure &, CsStep &, CsStep &b) {
            b.mode = 1;
            b.data.mode1.timeEst = 5;
        },
        "Mode mismatch at step 7: init 3 , refl 1\n");
    // An unknown reflector mode leaves an empty result, which storing refuses.
    expectRejected([](Procedure &, CsStep &, CsStep &b) { b.mode = 4; },
                   std::vector<std::string>{"Invalid pct values.\n",
                                            "Invalid reflector measurement data provided.\n"});
}

TEST_F(ProcedureRejection, MissingStructures) {
    const auto check = [&](CsProcedure *proc, const std::string &message) {
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), proc), 0);
        EXPECT_EQ(errors(cap), std::vector<std::string>{message});
        const std::vector<uint8_t> now(
            reinterpret_cast<const uint8_t *>(&ctx->measStore),
            reinterpret_cast<const uint8_t *>(ctx.get()) + csGetMemory(nullptr));
        EXPECT_TRUE(now == *memBefore);
    };
    check(nullptr, "Invalid CsProcedure data in csAddMeasurement_v2\n");
    {
        Procedure p;
        p.addSubevent(1);
        p.addStep(0, rttStep(1, 1), rttStep(1, 1));
        CsProcedure *proc = p.build();
        proc->initSubevents = nullptr;
        check(proc, "Invalid initiator data structure in csAddMeasurement_v2\n");
        proc = p.build();
        proc->numInitSubevents = 0;
        check(proc, "Invalid initiator data structure in csAddMeasurement_v2\n");
        proc = p.build();
        proc->reflSubevents = nullptr;
        check(proc, "Invalid reflector data structure in csAddMeasurement_v2\n");
    }
    {
        Procedure p;
        p.addSubevent(1);
        p.addSubevent(1);
        for (int k = 0; k < 2; ++k) p.addStep(k, rttStep(1, 1), rttStep(1, 1));
        CsProcedure *proc = p.build();
        p.init[1].steps = nullptr;
        check(proc, "Invalid initiator subevent 1 in csAddMeasurement_v2\n");
        proc = p.build();
        p.refl[1].steps = nullptr;
        check(proc, "Invalid reflector subevent 1 in csAddMeasurement_v2\n");
    }
    EXPECT_EQ(csAddMeasurement_v2(nullptr, nullptr), 0);
}

TEST_F(ProcedureRejection, HostileCountsDoNotCrash) {
    // Subevent 0 really holds 300 steps; the counts claim other numbers.
    Procedure p;
    p.addSubevent(1);
    p.addSubevent(1);
    for (int j = 0; j < 300; ++j) p.addStep(0, rttStep(1, 1), rttStep(1, 1));
    p.addStep(1, rttStep(1, 1), rttStep(1, 1));
    CsProcedure *proc = p.build();

    // Negative step counts on both sides: nothing to store.
    p.init[0].numSteps = p.refl[0].numSteps = -5;
    p.init[1].numSteps = p.refl[1].numSteps = INT64_MIN;
    EXPECT_EQ(csAddMeasurement_v2(ctx.get(), proc), 1);
    EXPECT_EQ(ctx->measStore.N, 0);

    // A huge initiator count whose low 32 bits match the reflector's: only
    // the first 256 steps are read, the rest is only counted.
    proc = p.build();
    p.init[0].numSteps = (INT64_C(1) << 32) + 300;
    {
        LogCapture cap(1);
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), proc), 0);
        EXPECT_EQ(cap.texts(), (std::vector<std::string>{"Max channels exceeded 2147483647",
                                                         "Steps mismatch - init 256 , refl 301"}));
    }
    // Equal huge counts differ from the initiator's low 32 bits: dropped.
    proc = p.build();
    p.init[0].numSteps = p.refl[0].numSteps = INT64_MAX;
    {
        LogCapture cap(2);
        EXPECT_EQ(csAddMeasurement_v2(ctx.get(), proc), 1);
        EXPECT_TRUE(cap.contains("ReflSubevent[0] Aborted 0 , 2147483647 , -1"));
        EXPECT_EQ(ctx->measStore.N, 1);
    }

    // A negative reflector subevent count admits no subevent.
    proc = p.build();
    proc->numReflSubevents = -3;
    EXPECT_EQ(csAddMeasurement_v2(ctx.get(), proc), 1);
    EXPECT_EQ(ctx->measStore.N, 0);
    proc = p.build();
    proc->numInitSubevents = INT_MIN;
    EXPECT_EQ(csAddMeasurement_v2(ctx.get(), proc), 0);
}

// ---- Equivalence with the step-level input -----------------------------------

TEST(ProcedureInput, StoresWhatTheStepLevelInputStores) {
    // NAP 2, two subevents, every mode, non-trivial permutations.
    Procedure p;
    StepProcedure v1(2, 4321);
    p.addSubevent(2, 3, 4321999);
    p.addSubevent(2, 8, 0);
    int channel = 0;
    for (int k = 0; k < 2; ++k) {
        const uint8_t rpl = p.init[k].rpl;
        for (int j = 0; j < 12; ++j, ++channel) {
            const uint8_t ch = static_cast<uint8_t>(channel);
            const int mode = j % 4;
            const uint8_t perm = static_cast<uint8_t>(j % 2);  // rows 0 and 1 suit NAP 2
            CsStep a{}, b{};
            a.channel = b.channel = ch;
            a.mode = b.mode = static_cast<uint8_t>(mode);
            const int s = v1.add(ch, static_cast<uint8_t>(mode));
            if (mode == 0) {
                a.data.mode0 = {static_cast<uint8_t>(j), static_cast<int8_t>(-j), {}, 70000 + j};
                b.data.mode0 = {static_cast<uint8_t>(j + 1), static_cast<int8_t>(j), {}, 5};
                v1.init[s].mode0 = {static_cast<uint8_t>(j), static_cast<int8_t>(-j),
                                    static_cast<int16_t>(70000 + j)};
                v1.refl[s].mode0 = {static_cast<uint8_t>(j + 1), static_cast<int8_t>(j), 0};
            }
            if (mode == 1 || mode == 3) {
                a.data.mode1.aaQual = static_cast<uint8_t>(j & 1);
                a.data.mode1.security = 4;
                a.data.mode1.rssi = -70;
                a.data.mode1.timeEst = 100 + j;
                b.data.mode1.timeEst = -j;
                b.data.mode1.aaQual = 9;  // the reflector's quality is not carried
                if (mode == 1) {
                    v1.init[s].mode1.aaQual = static_cast<uint8_t>(j & 1);
                    v1.init[s].mode1.security = 4;
                    v1.init[s].mode1.rssi = -70;
                    v1.init[s].mode1.timeEst = static_cast<int16_t>(100 + j);
                    v1.refl[s].mode1.timeEst = static_cast<int16_t>(-j);
                } else {
                    v1.init[s].tone.aaQual = static_cast<uint8_t>(j & 1);
                    v1.init[s].tone.security = 4;
                    v1.init[s].tone.rssi = -70;
                    v1.init[s].tone.timeEst = static_cast<int16_t>(100 + j);
                    v1.refl[s].tone.timeEst = static_cast<int16_t>(-j);
                }
            }
            if (mode == 2 || mode == 3) {
                const std::vector<int32_t> iq = {j, 2 * j, 100 + j, -100 - j, 999, 999};
                const std::vector<uint8_t> q = {static_cast<uint8_t>(j % 3), 1, 7};
                const CsToneData ta = p.toneData(perm, iq, q);
                const CsToneData tb = p.toneData(perm, iq, {2, 0, 7});
                if (mode == 2) {
                    a.data.tone = ta;
                    b.data.tone = tb;
                } else {
                    a.mode3Tone = ta;
                    b.mode3Tone = tb;
                }
                // Path order: row 0 keeps tone order, row 1 swaps the two tones.
                const int first = perm == 0 ? 0 : 1;
                const int second = 1 - first;
                v1.initPct[s] = {0, 0, 0, 0, 0, 0, 0, 0};
                v1.initPct[s][2 * first] = static_cast<int16_t>(iq[0]);
                v1.initPct[s][2 * first + 1] = static_cast<int16_t>(iq[1]);
                v1.initPct[s][2 * second] = static_cast<int16_t>(iq[2]);
                v1.initPct[s][2 * second + 1] = static_cast<int16_t>(iq[3]);
                v1.reflPct[s] = v1.initPct[s];
                v1.initQual[s][first] = q[0];
                v1.initQual[s][second] = q[1];
                v1.reflQual[s][first] = 2;
                v1.reflQual[s][second] = 0;
                v1.init[s].tone.antPerm = v1.refl[s].tone.antPerm = perm;
                v1.init[s].tone.rpl = v1.refl[s].tone.rpl = rpl;
            }
            p.addStep(k, a, b);
        }
    }

    for (uint8_t scale : {1, 0}) {
        TestContext viaSteps(1), viaProcedure(2);
        viaSteps.opts().pctQscale = viaProcedure.opts().pctQscale = scale;
        ASSERT_EQ(csAddMeasurement(viaSteps.get(), v1.build()), 1);
        ASSERT_EQ(csAddMeasurement_v2(viaProcedure.get(), p.build()), 1);

        const CsContext &a = *viaSteps.get();
        const CsContext &b = *viaProcedure.get();
        EXPECT_EQ(a.measStore.N, 24);
        EXPECT_EQ(b.measStore.N, a.measStore.N);
        EXPECT_EQ(b.measStore.NAP, a.measStore.NAP);
        EXPECT_EQ(b.measStore.timeUs, a.measStore.timeUs);
        EXPECT_EQ(b.timeUs, a.timeUs);
        EXPECT_EQ(0, std::memcmp(a.channelStore, b.channelStore, TARN_MAX_STEPS));
        EXPECT_EQ(0, std::memcmp(a.modeStore, b.modeStore, TARN_MAX_STEPS));
        for (int i = 0; i < TARN_MAX_STEPS; ++i) {
            using Slots = CsStepSlot(CsContext::*)[TARN_MAX_STEPS];
            const Slots sides[2] = {&CsContext::initSlots, &CsContext::reflSlots};
            for (Slots side : sides) {
                const CsStepSlot &x = (a.*side)[i];
                const CsStepSlot &y = (b.*side)[i];
                EXPECT_EQ(0, std::memcmp(x.pctBuf, y.pctBuf, sizeof x.pctBuf)) << i;
                EXPECT_EQ(0, std::memcmp(x.pctQualBuf, y.pctQualBuf, sizeof x.pctQualBuf)) << i;
                // Slots point into their own context: compare the fields the
                // step's mode defines, beyond the pointers.
                if (i >= 24) continue;
                const int mode = a.modeStore[i];
                if (mode == 1) {  // the antenna byte is not part of the stored step
                    EXPECT_EQ(x.step.mode1.aaQual, y.step.mode1.aaQual) << i;
                    EXPECT_EQ(x.step.mode1.security, y.step.mode1.security) << i;
                    EXPECT_EQ(x.step.mode1.rssi, y.step.mode1.rssi) << i;
                    EXPECT_EQ(x.step.mode1.timeEst, y.step.mode1.timeEst) << i;
                    continue;
                }
                const size_t from = mode >= 2 ? offsetof(CsStepResult, tone.antPerm) : 0;
                const size_t to = mode == 0   ? sizeof(CsStepMode0)
                                  : mode == 1 ? sizeof(CsStepMode1)
                                              : sizeof(CsStepTone);
                EXPECT_EQ(0,
                          std::memcmp(reinterpret_cast<const uint8_t *>(&x.step) + from,
                                      reinterpret_cast<const uint8_t *>(&y.step) + from, to - from))
                    << "step " << i;
            }
        }
    }
}

}  // namespace
