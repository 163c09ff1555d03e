// The worker thread and the road of one estimate request, top to bottom:
//
//   csIfGetEstimate (host_api.cpp) appends a CsRequest to the queue
//   (request_queue.cpp) and returns. The worker, started by the first
//   csIfInit, then
//     1. takes the head request                          takeRequest
//     2. holds the registry, finds the link and its state serveRequest
//                                                        (linkRecordLocked, link_state.cpp)
//     3. computes the link's estimate                    computeLinkEstimate
//          options in force        (calibration mode's overrides, and
//                                   mode 1's profile on a copy)
//          phase candidate         tarn_rtp::phaseEstimate  (rtp_driver.cpp)
//          what it leaves in the   tarn_rtp::keepOptionWrites
//            link's options
//          round-trip candidate    tarn_rtt::rttEstimate    (rtt_estimator.cpp)
//          uncertainties, flags,   assessCandidates         (link_integrity.cpp)
//            first path
//          result written once     combineWithIntegrity     (link_integrity.cpp:
//                                    the specified rule, the guard or the tracker)
//     4. records the candidates, logs the result and
//        calls the host's callback                       deliver
//     5. frees the request and releases the registry.
//
// The link's state travels nowhere: both pipelines update it in place. It
// is the context's PresState (tracked estimates, invalid counters, the
// round-trip Kalman state, the calibration run) and the record the library
// keeps beside the registry entry (the memory of the result filter and of
// the round-trip window, the moving-target mode, the latest computation).
// The options in force are input: the pipelines only read them, and what a
// computation leaves in the link's options for the host to read back is
// written in computeLinkEstimate, in one place. The one work area, gWork, is
// the worker's and is handed down.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag/log_texts.h"
#include "estimators/estimators_internal.h"
#include "interface/interface_internal.h"
#include "interface/link_motion.h"
#include "interface/link_state.h"
#include "rtp/rtp_driver.h"
#include "rtt/rtt_internal.h"
#include "tarn_diag.h"
#include "tarn_rtp.h"
#include "tarn_rtt.h"

namespace {

CsRequest *takeRequest();
void serveRequest(CsRequest *req);
void deliver(CsContextItem *item, tarn_iface::LinkRecord &record,
             const tarn_iface::LinkEstimate &est, CsRequest *req);

// ---- 1. Take the head request ---------------------------------------------------

// Waits (once) for a request; null after a wake-up without one.
CsRequest *takeRequest() {
    pthread_mutex_lock(&requestLock);
    if (requestListHead == nullptr) pthread_cond_wait(&requestCond, &requestLock);
    pthread_mutex_unlock(&requestLock);
    return tarnQueueTake();
}

// ---- 2. Find the link, holding the registry through steps 3 to 5 ------------------

void serveRequest(CsRequest *req) {
    tarnRegistryLock();
    CsContextItem *item = tarnRegistryFindLocked(req->linkRef);
    if (item == nullptr || tarnQueueInFlightDropped()) {
        // The link was removed after the request was queued (and its
        // reference may belong to a new link by now): no callback.
        std::free(req);
    } else if (item->ctx == nullptr || item->ctx->result == nullptr) {
        DEBUG_LOG(1, "Context of link %d is not set up.\n", static_cast<int>(item->linkRef));
        std::free(req);
    } else if (tarn_iface::LinkRecord *record = tarn_iface::linkRecordLocked(item)) {
        tarn_iface::LinkEstimate est;
        tarn_iface::computeLinkEstimate(item, &est);
        deliver(item, *record, est, req);
        // 5. The request is the worker's since it left the queue.
        std::free(req);
    } else {
        // No memory for the link's state (logged): no estimate this time.
        std::free(req);
    }
    tarnRegistryUnlock();
}

}  // namespace

// ---- 3. Compute the link's estimate -----------------------------------------------

namespace tarn_iface {

// The worker's one work area, handed down to the phase pipeline: sized once,
// used by this thread only, so nothing on the road takes a lock for it (the
// MUSIC stage keeps its own). It holds the latest computation until the
// next one, which is what the impulse-response extension reads during the
// callback.
static tarn_rtp::PhaseWork gWork;

// The options in force are the link's own record. Calibration mode writes
// its overrides into it, where the host sees them (options dump, the record
// it reads back) until it installs a record again; this is the one place
// that does it before a computation.
static const ConfigOpts &optionsInForce(CsContext &ctx) {
    tarn_rtp::applyPhaseCalibrationMode(*ctx.opts);
    tarn_rtt::applyRttCalibrationMode(*ctx.opts);
    return *ctx.opts;
}

bool computeLinkEstimate(CsContextItem *item, LinkEstimate *out) {
    // The link's state: its tracked estimates, counters and calibration run
    // in the context's PresState, the rest in the library's record.
    TarnLinkState *state = linkStateLocked(item);
    if (state == nullptr) return false;
    TarnLinkState &link = *state;
    CsContext &ctx = *item->ctx;
    const ConfigOpts &inForce = optionsInForce(ctx);
    PresState &pres = *ctx.pres;

    // Tracking mode 1 (moving targets) runs both estimators on its option
    // profile, with the within-procedure compensation, and its tracker forms
    // the result; in mode 0 the options are those in force and nothing changes.
    tarn_link::MotionComputation motion(item, link, inForce);
    const ConfigOpts &opts = motion.options();
    const tarn_rtp::PhaseOutcome ph = tarn_rtp::phaseEstimate(
        *ctx.meas, ctx.timeUs, motion.phaseOptions(), pres, link.filters, gWork, motion.request());
    // What the host reads back of a computation in the link's options (a
    // calibration run's table, the order sets MUSIC leaves): written here,
    // the one place after a computation, into the link's own record.
    tarn_rtp::keepOptionWrites(*ctx.opts, gWork);
    out->phase = ph.done ? ph.estimate : RangeEstimate{};
    if (!tarn_est::candidateUsable(out->phase)) out->phase.valid = 0;
    tarn_rtt::RttSpread spread;
    out->rtt = tarn_rtt::rttEstimate(*ctx.meas, ctx.timeUs, opts, pres, link.filters, &spread);

    // How far each candidate can be trusted, read from what the estimators
    // left in the work area; in the guarded combination or tracking mode 1 a
    // blocked direct path moves the phase candidate to the first path.
    const tarn_rtp::PhaseIntegrity assessed =
        ph.done ? tarn_rtp::assessPhase(gWork, *ctx.meas, opts, static_cast<int8_t>(ctx.meas->NAP))
                : tarn_rtp::PhaseIntegrity();
    out->integrity = assessCandidates(link, opts, assessed, spread, ph.done && ph.restarted,
                                      motion.request() != nullptr, &out->phase, out->rtt);

    // The result is written once, from the two candidates: without a usable
    // one it says "no estimate", never what an earlier computation left.
    CsEstimate combined = *ctx.result;
    const RangeEstimate phase = out->phase, rtt = out->rtt;
    // Fresh: the phase pipeline pooled this procedure's distances, or the
    // candidate is this procedure's first path.
    const bool phaseFresh =
        ph.done && (ph.fresh || (out->integrity.flags & TARN_INTEGRITY_FIRST_PATH) != 0);
    const bool tracked = motion.combine(&out->phase, phaseFresh, &out->rtt, &combined);
    const uint32_t trackFlags = link.motion.lastFlags;
    if (tracked && (trackFlags & TARN_TRACK_FLAG_RESTARTED) != 0)
        out->integrity.flags |= TARN_INTEGRITY_RESTARTED;
    combineWithIntegrity(opts, phase, rtt, tracked, trackFlags, &out->integrity, &combined);
    ctx.result->dest = combined.dest;
    ctx.result->conf = combined.conf;
    out->result = ctx.result;
    return true;
}

int latestImpulseResponse(const ConfigOpts &opts, int path, double *magnitudes, int capacity,
                          double *tapM, double *firstM) {
    return tarn_rtp::phaseImpulseResponse(gWork, opts, path, magnitudes, capacity, tapM, firstM);
}

}  // namespace tarn_iface

// ---- 4. Record, log and call back ------------------------------------------------

namespace {

void deliver(CsContextItem *item, tarn_iface::LinkRecord &record,
             const tarn_iface::LinkEstimate &est, CsRequest *req) {
    TarnLatestComputation &latest = record.latest;
    latest.size = TARN_LATEST_COMPUTATION_V4_SIZE;
    latest.version = TARN_LATEST_COMPUTATION_VERSION;
    latest.sequence += 1;
    latest.phase = est.phase;
    latest.rtt = est.rtt;
    latest.result = *est.result;
    // Motion: version-2 fields
    tarn_link::motionRecordLatest(record.state.motion, item->ctx->opts, &latest);
    using tarn_common::kNoFigure;
    latest.sigmaM = est.integrity.sigmaM.value_or(kNoFigure);
    latest.phaseSigmaM = est.integrity.phaseSigmaM.value_or(kNoFigure);
    latest.rttSigmaM = est.integrity.rttSigmaM.value_or(kNoFigure);
    latest.integrityFlags = est.integrity.flags;
    latest.combination = est.integrity.combination;
    latest.firstPathM = est.integrity.firstPathM.value_or(kNoFigure);

    DEBUG_LOG(0, tarn_diag::kLogFinalDistance, est.result->dest,
              static_cast<int>(est.result->conf));
    if (item->callback != nullptr) {
        tarnRegistryBeginDelivery(item);
        item->callback(est.result, req);
        // The callback may have removed its own link: nothing of it is
        // touched after this.
        tarnRegistryEndDelivery();
    } else {
        DEBUG_LOG(1, "No result callback for link %d; result not delivered.\n",
                  static_cast<int>(item->linkRef));
    }
}

// ---- The worker's life --------------------------------------------------------------

// The estimate path must fit the stack the platform gives its threads by default.
constexpr size_t kWorkerStackBytes = 1024 * 1024;

// Identifies the thread started by initRequestHandler; process_request
// refuses to run anywhere else.
char gWorkerToken;

// Guards the worker's start and stop so that exactly one worker exists.
pthread_mutex_t gStartLock = PTHREAD_MUTEX_INITIALIZER;
bool gWorkerAlive = false;
int gWorkerStarts = 0;

uint8_t loadRunFlag() {
    return __atomic_load_n(&runThread, __ATOMIC_ACQUIRE);
}
void storeRunFlag(uint8_t v) {
    __atomic_store_n(&runThread, v, __ATOMIC_RELEASE);
}

// Called by the worker between requests; false once it has to leave.
bool workerKeepsRunning() {
    pthread_mutex_lock(&gStartLock);
    const bool run = loadRunFlag() != 0;
    if (!run) gWorkerAlive = false;
    pthread_mutex_unlock(&gStartLock);
    return run;
}

}  // namespace

extern "C" {

int tarnWorkerStartCount(void) {
    pthread_mutex_lock(&gStartLock);
    const int n = gWorkerStarts;
    pthread_mutex_unlock(&gStartLock);
    return n;
}

void initRequestHandler(void) {
    pthread_mutex_lock(&gStartLock);
    if (loadRunFlag() == 0) {
        storeRunFlag(1);
        // A worker asked to stop but not yet woken simply carries on.
        if (!gWorkerAlive) {
            pthread_attr_t attr;
            pthread_attr_init(&attr);
            pthread_attr_setstacksize(&attr, kWorkerStackBytes);
            pthread_t tid;
            const int rc = pthread_create(&tid, &attr, process_request, &gWorkerToken);
            pthread_attr_destroy(&attr);
            if (rc != 0) {
                storeRunFlag(0);
                DEBUG_LOG(1, "Failed to start the request handler thread [%d].\n", rc);
            } else {
                requestHandlerPtid = tid;
                gWorkerAlive = true;
                ++gWorkerStarts;
            }
        }
    }
    pthread_mutex_unlock(&gStartLock);
}

void deinitRequestHandler(void) {
    pthread_mutex_lock(&gStartLock);
    storeRunFlag(0);
    pthread_mutex_unlock(&gStartLock);
}

void *process_request(void *arg) {
    if (arg != &gWorkerToken) {
        DEBUG_LOG(1, "%s: not the request handler thread.\n", "process_request");
        return nullptr;
    }
    pthread_detach(pthread_self());
    while (workerKeepsRunning()) {
        CsRequest *req = takeRequest();
        if (req != nullptr) serveRequest(req);
    }
    return nullptr;
}

// ---- Extension: the latest computation of a link ------------------------------------

int tarnGetLatestComputation(CsLinkRef linkRef, TarnLatestComputation *out) {
    if (out == nullptr || out->size < TARN_LATEST_COMPUTATION_V1_SIZE) return 0;
    // Nested on the worker (inside the callback), so it never waits there.
    tarnRegistryLock();
    const CsContextItem *item = tarnRegistryFindLocked(linkRef);
    if (item == nullptr) {
        tarnRegistryUnlock();
        return 0;
    }
    // A link not computed yet may have no record: its latest is all zero.
    const tarn_iface::LinkRecord *record = tarn_iface::existingLinkRecordLocked(item);
    TarnLatestComputation copy = record != nullptr ? record->latest : TarnLatestComputation();
    tarnRegistryUnlock();
    // Every computation fills the whole record.
    copy.size = TARN_LATEST_COMPUTATION_V4_SIZE;
    copy.reserved3 = 0;
    copy.version = TARN_LATEST_COMPUTATION_VERSION;
    copy.reserved = 0;
    const uint32_t n = out->size < copy.size ? out->size : copy.size;
    std::memcpy(out, &copy, n);
    return 1;
}

int tarnGetLatestImpulseResponse(CsLinkRef linkRef, int path, double *magnitudes, int capacity,
                                 double *tapM, double *firstM) {
    if (magnitudes == nullptr || capacity <= 0) return 0;
    // Only the callback's own thread holds the registry while a delivery
    // is set; anywhere else the processed tones are gone or being replaced.
    if (!tarnRegistryHeldByThisThread()) return 0;
    const CsContextItem *item = tarnRegistryDelivering();
    if (item == nullptr || item->linkRef != linkRef || item->ctx == nullptr ||
        item->ctx->opts == nullptr) {
        return 0;
    }
    return tarn_iface::latestImpulseResponse(*item->ctx->opts, path, magnitudes, capacity, tapM,
                                             firstM);
}

}  // extern "C"
