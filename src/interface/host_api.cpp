// The host's functions: link creation and removal, measurement input,
// parameters and estimate requests.
#include <cstdlib>
#include <cstring>

#include "config/config_internal.h"
#include "interface/interface_internal.h"
#include "interface/link_motion.h"
#include "interface/link_state.h"
#include "measurement/measurement_internal.h"
#include "tarn_config.h"
#include "tarn_diag.h"

namespace {

void *defaultCalloc(size_t count, size_t size) {
    return std::calloc(count, size);
}

// The result callback runs on the worker with the registry held; a host
// function called from there (or from any thread holding the registry) would
// wait for itself forever.
bool refusedWhileRegistryHeld(const char *fn) {
    if (!tarnRegistryHeldByThisThread()) return false;
    DEBUG_LOG(1, "%s refused: called while the link registry is held (result callback).\n", fn);
    return true;
}

// Holds the registry lock for a scope: host writes to a context are
// serialised with the worker's computation.
class RegistryHold {
  public:
    RegistryHold() { tarnRegistryLock(); }
    ~RegistryHold() { tarnRegistryUnlock(); }
    RegistryHold(const RegistryHold &) = delete;
    RegistryHold &operator=(const RegistryHold &) = delete;
};

void logUnknownLink(CsLinkRef linkRef) {
    DEBUG_LOG(3, "link refrence %d does not exist\n", static_cast<int>(linkRef));
}

// The options of a new link: defaults, then the first usable configuration
// file, then the calibration table. Built before the link is registered, so
// a csIfSetParam from another thread after the registration is never
// overwritten by them. Null (the link then gets the built-in defaults) when
// the record cannot be allocated; the caller frees it.
ConfigOpts *buildLinkOptions() {
    ConfigOpts *scratch = static_cast<ConfigOpts *>(tarnIfCalloc(1, sizeof(ConfigOpts)));
    if (scratch == nullptr) {
        DEBUG_LOG(1, "Failed to allocate memory.\n");
        return nullptr;
    }
    DEBUG_LOG(2, "Set default configurations.\n");
    std::memcpy(scratch, &tarn_cfg::kDefaultOpts, sizeof(ConfigOpts));
    tarnApplyCalFilePathOverride(scratch);
    tarn_cfg::print_config_opts(scratch);

    bool parsed = false;
    for (const char *path : {tarnConfigPathPrimary(), tarnConfigPathSecondary()}) {
        if (tarn_cfg::parseConfigFile(path, scratch) == 0) {
            DEBUG_LOG(2, "Configuration read successfully from file: %s\n", path);
            parsed = true;
            break;
        }
    }
    if (!parsed) {
        DEBUG_LOG(1, "Configuration file parsing failed.\n");
        DEBUG_LOG(1, "Using default configuration data.\n");
    }
    csLoadCalFile(scratch);
    tarn_cfg::print_config_opts(scratch);
    return scratch;
}

}  // namespace

extern "C" {

void *(*tarnIfCalloc)(size_t count, size_t size) = defaultCalloc;

int csIfInit(CsLinkRef linkRef, const CsInitRecord *init) {
    static const char kFn[] = "csIfInit";
    DEBUG_LOG(3, "%s ENTER \n", kFn);
    if (refusedWhileRegistryHeld(kFn)) return 0;
    if (init == nullptr) {
        DEBUG_LOG(1, "Invalid configuration.\n");
        return 0;
    }
    initRequestHandler();
    if (csContextListExistItem(linkRef)) {
        DEBUG_LOG(3, "\nRecord already exists.\n");
        return 0;
    }

    CsContextItem *item = static_cast<CsContextItem *>(tarnIfCalloc(1, sizeof(CsContextItem)));
    CsContext *ctx = nullptr;
    if (item != nullptr) {
        item->linkRef = linkRef;
        const int size = tarn_measurement::csGetMemory(init);
        DEBUG_LOG(3, "Memory required for context: %d\n", size);
        // Zero-filled, so an estimate before the first measurement finds no data.
        ctx = static_cast<CsContext *>(tarnIfCalloc(1, static_cast<size_t>(size)));
    }
    if (item == nullptr || ctx == nullptr) {
        DEBUG_LOG(1, "memory allocation failed.\n");
        std::free(ctx);
        std::free(item);
        return 0;
    }
    item->ctx = ctx;
    item->callback = init->callback;
    item->next = nullptr;
    if (item->callback == nullptr) {
        DEBUG_LOG(1, "No result callback for link %d: its estimates will not be delivered.\n",
                  static_cast<int>(linkRef));
    }

    ConfigOpts *opts = buildLinkOptions();

    // Registration, layout and the complete options record happen in one
    // step, so the worker never sees the link half set up; a concurrent
    // csIfInit of the same reference loses here.
    tarnRegistryLock();
    if (tarnRegistryFindLocked(linkRef) != nullptr) {
        tarnRegistryUnlock();
        DEBUG_LOG(3, "\nRecord already exists.\n");
        std::free(opts);
        std::free(ctx);
        std::free(item);
        return 0;
    }
    csContextListAddItem(item);
    // The engine's csInit: the link's tracking state is the library's record
    // beside the entry, made fresh on its first use, not the exported
    // estimators' shared one, so it is not restarted here.
    tarn_measurement::csInit(ctx, nullptr, linkRef);
    tarn_measurement::csSetParam(ctx, TARN_PARAM_OPTIONS,
                                 opts != nullptr ? opts : &tarn_cfg::kDefaultOpts);
    tarnRegistryUnlock();

    if (opts != nullptr) set_log_level(static_cast<int8_t>(opts->logLevel));
    std::free(opts);

    DEBUG_LOG(3, "%s EXIT\n", kFn);
    return 0;
}

int csIfAddMeasurement(CsLinkRef linkRef, CsMeasurement *meas) {
    static const char kFn[] = "csIfAddMeasurement";
    DEBUG_LOG(3, "%s ENTER \n", kFn);
    if (refusedWhileRegistryHeld(kFn)) return 0;
    int rc = 0;
    {
        RegistryHold held;
        CsContextItem *item = tarnRegistryFindLocked(linkRef);
        if (item == nullptr) {
            logUnknownLink(linkRef);
        } else if (meas == nullptr || meas->channels == nullptr || meas->modes == nullptr ||
                   meas->initSteps == nullptr || meas->reflSteps == nullptr) {
            DEBUG_LOG(1, "Invalid measurement data.\n");
        } else {
            rc = tarn_measurement::csAddMeasurement(item->ctx, meas);
            if (TarnLinkState *st = tarn_iface::linkStateLocked(item))
                tarn_link::motionNoteSteps(st->motion, meas, rc);  // Motion: step times
        }
    }
    DEBUG_LOG(3, "%s EXIT\n", kFn);
    return rc;
}

int csIfAddMeasurementV2(CsLinkRef linkRef, const CsProcedure *proc) {
    static const char kFn[] = "csIfAddMeasurementV2";
    DEBUG_LOG(3, "%s ENTER \n", kFn);
    if (refusedWhileRegistryHeld(kFn)) return 0;
    int rc = 0;
    bool stored = false;  // reached the converter: its EXIT is logged at level 2
    {
        RegistryHold held;
        CsContextItem *item = tarnRegistryFindLocked(linkRef);
        if (item == nullptr) {
            DEBUG_LOG(3, "link reference %d does not exist\n", static_cast<int>(linkRef));
        } else if (proc == nullptr) {
            DEBUG_LOG(1, "Invalid v2 measurement data.\n");
        } else {
            rc = tarn_measurement::csAddMeasurement_v2(item->ctx, proc);
            if (TarnLinkState *st = tarn_iface::linkStateLocked(item))
                tarn_link::motionNoteProcedure(st->motion, proc, rc);  // Motion: step times
            stored = true;
        }
    }
    DEBUG_LOG(stored ? 2 : 3, "%s EXIT \n", kFn);
    return rc;
}

int csIfSetParam(CsLinkRef linkRef, int type, const void *data) {
    static const char kFn[] = "csIfSetParam";
    DEBUG_LOG(3, "%s ENTER \n", kFn);
    if (refusedWhileRegistryHeld(kFn)) return 0;
    int rc = 0;
    {
        RegistryHold held;
        CsContextItem *item = tarnRegistryFindLocked(linkRef);
        if (item == nullptr)
            logUnknownLink(linkRef);
        else
            rc = tarn_measurement::csSetParam(item->ctx, type, data);
    }
    DEBUG_LOG(3, "%s EXIT\n", kFn);
    return rc;
}

int csIfGetEstimate(CsLinkRef linkRef) {
    static const char kFn[] = "csIfGetEstimate";
    DEBUG_LOG(3, "%s ENTER \n", kFn);
    if (refusedWhileRegistryHeld(kFn)) return 0;
    if (!csContextListExistItem(linkRef)) {
        logUnknownLink(linkRef);
        DEBUG_LOG(3, "%s EXIT\n", kFn);
        return 0;
    }
    CsRequest *req = static_cast<CsRequest *>(tarnIfCalloc(1, sizeof(CsRequest)));
    if (req == nullptr) {
        DEBUG_LOG(3, "%s EXIT\n", kFn);
        return 0;
    }
    req->linkRef = linkRef;
    req->next = nullptr;
    DEBUG_LOG(3, "%s EXIT\n", kFn);
    return csAddRequest(req);
}

int csIfCleanUp(CsLinkRef linkRef) {
    static const char kFn[] = "csIfCleanUp";
    DEBUG_LOG(3, "%s ENTER \n", kFn);
    // Removing a link from its own callback would free the context in use.
    if (refusedWhileRegistryHeld(kFn)) return 0;
    DEBUG_LOG(3, "clearing up context for %d\n", static_cast<int>(linkRef));
    csContextClearItem(linkRef);
    DEBUG_LOG(3, "%s EXIT\n", kFn);
    return 1;
}

int csCalcEstimateRTP(CsContext *ctx) {
    (void)ctx;
    return 0;
}

int csCalcEstimateRTT(CsContext *ctx) {
    (void)ctx;
    return 0;
}

}  // extern "C"
