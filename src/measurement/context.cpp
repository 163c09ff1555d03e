// The per-link estimator context: its size, layout and parameters.
#include <cstring>

#include "config/config_internal.h"
#include "measurement/measurement_internal.h"
#include "tarn_diag.h"

namespace {

// The version comes from the build (the project's version).
constexpr int kVersionMajor = TARN_VERSION_MAJOR;
constexpr int kVersionMinor = TARN_VERSION_MINOR;
constexpr int kVersionPatch = TARN_VERSION_PATCH;

void pointSlotsAtOwnStorage(CsStepSlot *slots) {
    for (int i = 0; i < TARN_MAX_STEPS; ++i) {
        slots[i].step.tone.pct = slots[i].pctBuf;
        slots[i].step.tone.pctQual = slots[i].pctQualBuf;
    }
}

void initPres(PresState *pres) {
    pres->dest = 0.0;
    pres->conf = 0.0;
    pres->vest = 0.0;
    pres->time = TARN_NO_PREVIOUS_TIME;
    pres->valid = 0;
    pres->rttTime = TARN_NO_PREVIOUS_TIME;
    CsFilterRecord *f = &pres->csFilter;
    f->time = TARN_NO_PREVIOUS_TIME;
    f->type = 0;
    f->length = 0;
    f->pvest = 0.0;
    for (int i = 0; i < TARN_CS_FILTER_ENTRIES; ++i) {
        f->pdest[i] = 0.0;
        f->pconf[i] = 0.0;
        f->disAvg[i] = 0.0;
        f->valid[i] = 0;
    }
    pres->inValidCounter = 0;
    for (int k = 0; k < TARN_MAX_ANT_PATHS; ++k) pres->apInvalidCounter[k] = 0;
    // A host may lay out a context in memory it did not clear.
    pres->calRunActive = 0;
    pres->calProcCount = 0;
}

int initContext(CsContext *ctx, CsLinkRef linkRef) {
    DEBUG_LOG(3, "%s ENTER \n", "csInit");
    DEBUG_LOG(0, "%s v%d.%d.%d (%s)\n", "TARN_LIBRARY", kVersionMajor, kVersionMinor, kVersionPatch,
              "DEBUG");
    if (ctx == nullptr) {
        DEBUG_LOG(1, "Invalid context.\n");
        DEBUG_LOG(3, "%s EXIT\n", "csInit");
        return 0;
    }
    ctx->result = &ctx->resultStore;
    ctx->meas = &ctx->measStore;
    ctx->opts = &ctx->optsStore;
    ctx->pres = &ctx->presStore;
    ctx->measStore.channels = ctx->channelStore;
    ctx->measStore.modes = ctx->modeStore;
    ctx->measStore.initSteps = &ctx->initSlots[0].step;
    ctx->measStore.reflSteps = &ctx->reflSlots[0].step;
    pointSlotsAtOwnStorage(ctx->initSlots);
    pointSlotsAtOwnStorage(ctx->reflSlots);
    ctx->linkRef = linkRef;
    initPres(&ctx->presStore);
    DEBUG_LOG(3, "%s EXIT\n", "csInit");
    return 1;
}

}  // namespace

namespace tarn_measurement {

int csGetMemory(const CsInitRecord *init) {
    (void)init;
    DEBUG_LOG(3, "%s ENTER \n", "csGetMemory");
    DEBUG_LOG(3, "%s EXIT\n", "csGetMemory");
    return static_cast<int>(sizeof(CsContext));
}

int csInit(CsContext *ctx, const CsInitRecord *init, CsLinkRef linkRef) {
    (void)init;
    return initContext(ctx, linkRef);
}

int csSetParam(CsContext *ctx, int type, const void *data) {
    DEBUG_LOG(3, "%s ENTER \n", "csSetParam");
    if (ctx == nullptr || (data == nullptr && type >= TARN_PARAM_OPTIONS && type <= TARN_PARAM_PREV_DEST)) {
        DEBUG_LOG(1, "Invalid parameter data for type %d.\n", type);
        DEBUG_LOG(3, "%s EXIT\n", "csSetParam");
        return 0;
    }
    switch (type) {
        case TARN_PARAM_OPTIONS:
            // A record from outside gets the configuration file's repairs, so
            // no value an estimator cannot work with reaches the link.
            std::memcpy(&ctx->optsStore, data, sizeof(ConfigOpts));
            tarnRepairOptions(&ctx->optsStore, RepairSource::Host);
            break;
        case TARN_PARAM_PREV_TIME: {
            double t;
            std::memcpy(&t, data, sizeof t);
            ctx->presStore.time = t;
            ctx->presStore.csFilter.time = t;
            break;
        }
        case TARN_PARAM_PREV_DEST: {
            double d;
            std::memcpy(&d, data, sizeof d);
            ctx->presStore.dest = d;
            break;
        }
        default:
            break;
    }
    DEBUG_LOG(3, "%s EXIT\n", "csSetParam");
    return 1;
}

}  // namespace tarn_measurement
