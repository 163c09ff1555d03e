// Context size, layout and parameters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "log_capture.h"
#include "measurement/measurement_internal.h"
#include "tarn.h"

namespace {

using tarn_test::LogCapture;

struct FreshContext {
    FreshContext() : ctx(static_cast<CsContext *>(calloc(1, csGetMemory(nullptr)))) {}
    ~FreshContext() { free(ctx); }
    CsContext *ctx;
};

TEST(Context, SizeIsTheWholeRecord) {
    EXPECT_EQ(csGetMemory(nullptr), static_cast<int>(sizeof(CsContext)));
}

TEST(Context, InitPointsEveryFieldIntoTheBlock) {
    FreshContext f;
    CsContext *ctx = f.ctx;
    LogCapture cap(0);  // level 0: the version banner alone
    EXPECT_EQ(csInit(ctx, nullptr, 77), 1);
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"TARN_LIBRARY v2.4.6 (DEBUG)\n"});
    EXPECT_EQ(ctx->linkRef, 77);
    EXPECT_EQ(ctx->opts, &ctx->optsStore);
    EXPECT_EQ(ctx->pres, &ctx->presStore);
    EXPECT_EQ(ctx->meas, &ctx->measStore);
    EXPECT_EQ(ctx->result, &ctx->resultStore);
    EXPECT_EQ(ctx->measStore.channels, ctx->channelStore);
    EXPECT_EQ(ctx->measStore.modes, ctx->modeStore);
    EXPECT_EQ(ctx->measStore.initSteps, &ctx->initSlots[0].step);
    EXPECT_EQ(ctx->measStore.reflSteps, &ctx->reflSlots[0].step);
    int wrong = 0;
    for (CsStepSlot *slots : {ctx->initSlots, ctx->reflSlots}) {
        for (int i = 0; i < TARN_MAX_STEPS; ++i) {
            wrong += slots[i].step.tone.pct != slots[i].pctBuf;
            wrong += slots[i].step.tone.pctQual != slots[i].pctQualBuf;
        }
    }
    EXPECT_EQ(wrong, 0);
}

TEST(Context, InitStartsTheRangingStateFromScratch) {
    FreshContext f;
    // Whatever the block held before.
    std::memset(&f.ctx->presStore, 0x5A, sizeof(PresState));
    csInit(f.ctx, nullptr, 1);
    const PresState &p = f.ctx->presStore;
    EXPECT_EQ(p.time, -100.0);
    EXPECT_EQ(p.rttTime, -100.0);
    EXPECT_EQ(p.csFilter.time, -100.0);
    EXPECT_EQ(p.valid, 0);
    EXPECT_EQ(p.dest, 0.0);
    EXPECT_EQ(p.conf, 0.0);
    EXPECT_EQ(p.vest, 0.0);
    EXPECT_EQ(p.csFilter.type, 0);
    EXPECT_EQ(p.csFilter.length, 0);
    EXPECT_EQ(p.csFilter.pvest, 0.0);
    for (int i = 0; i < TARN_CS_FILTER_ENTRIES; ++i) {
        EXPECT_EQ(p.csFilter.valid[i], 0);
        EXPECT_EQ(p.csFilter.pdest[i], 0.0);
        EXPECT_EQ(p.csFilter.pconf[i], 0.0);
        EXPECT_EQ(p.csFilter.disAvg[i], 0.0);
    }
    EXPECT_EQ(p.inValidCounter, 0);
    for (int k = 0; k < TARN_MAX_ANT_PATHS; ++k) EXPECT_EQ(p.apInvalidCounter[k], 0);
    EXPECT_EQ(p.calRunActive, 0);
    EXPECT_EQ(p.calProcCount, 0);
}

// The exported csInit restarts the shared gNewPres's phase output window
// (contexts outside the registry work on it); the engine's lays out the
// block alike and leaves the shared record alone.
TEST(Context, OnlyTheExportedInitRestartsTheSharedWindow) {
    FreshContext engine;
    FreshContext exported;
    gNewPres.rtpWinCtl.index = 7;
    EXPECT_EQ(tarn_measurement::csInit(engine.ctx, nullptr, 5), 1);
    EXPECT_EQ(gNewPres.rtpWinCtl.index, 7);
    EXPECT_EQ(csInit(exported.ctx, nullptr, 5), 1);
    EXPECT_EQ(gNewPres.rtpWinCtl.index, 0);
    // Same layout either way, apart from the pointers into each block.
    EXPECT_EQ(engine.ctx->presStore.time, exported.ctx->presStore.time);
    EXPECT_EQ(engine.ctx->opts, &engine.ctx->optsStore);
    EXPECT_EQ(csInit(nullptr, nullptr, 5), 0);
    EXPECT_EQ(tarn_measurement::csInit(nullptr, nullptr, 5), 0);
}

TEST(Context, SetParamSeedsAndReplaces) {
    FreshContext f;
    CsContext *ctx = f.ctx;
    csInit(ctx, nullptr, 1);
    const int size = csGetMemory(nullptr);

    ConfigOpts custom = constOpts;
    custom.quant = 1;
    custom.rttDisCalAA = 0.25;
    EXPECT_EQ(csSetParam(ctx, 0, &custom), 1);
    EXPECT_EQ(std::memcmp(&ctx->optsStore, &custom, sizeof custom), 0);
    // An out-of-range field is repaired as the configuration file would be.
    custom.distSF = 10;
    EXPECT_EQ(csSetParam(ctx, 0, &custom), 1);
    EXPECT_EQ(ctx->optsStore.distSF, 1000);
    EXPECT_EQ(ctx->optsStore.rttDisCalAA, 0.25);

    const double t = 12.5;
    EXPECT_EQ(csSetParam(ctx, 1, &t), 1);
    EXPECT_EQ(ctx->presStore.time, 12.5);
    EXPECT_EQ(ctx->presStore.csFilter.time, 12.5);
    EXPECT_EQ(ctx->presStore.rttTime, -100.0);

    const double d = 2500.0;
    EXPECT_EQ(csSetParam(ctx, 2, &d), 1);
    EXPECT_EQ(ctx->presStore.dest, 2500.0);
    EXPECT_EQ(ctx->presStore.time, 12.5);

    std::vector<unsigned char> before(size);
    std::memcpy(before.data(), ctx, size);
    EXPECT_EQ(csSetParam(ctx, 7, &d), 1);
    EXPECT_EQ(csSetParam(ctx, -1, nullptr), 1);
    EXPECT_EQ(std::memcmp(before.data(), ctx, size), 0);

    LogCapture cap(2);
    for (int type = 0; type <= 2; ++type) EXPECT_EQ(csSetParam(ctx, type, nullptr), 0);
    EXPECT_EQ(cap.texts(), (std::vector<std::string>{"Invalid parameter data for type 0.\n",
                                                     "Invalid parameter data for type 1.\n",
                                                     "Invalid parameter data for type 2.\n"}));
    for (const auto &l : cap.lines()) EXPECT_EQ(l.prio, 6);
    EXPECT_EQ(std::memcmp(before.data(), ctx, size), 0);
    EXPECT_EQ(csSetParam(nullptr, 7, &d), 0);
    EXPECT_EQ(csInit(nullptr, nullptr, 1), 0);
}

}  // namespace
