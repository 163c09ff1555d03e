/* Host surface: host functions, link registry, request queue and worker,
 * and this library's extensions (section "Extensions").
 *
 * Compatibility surface and extensions. The names declared in the public
 * headers without a "tarn"/"Tarn"/"TARN_" prefix (the host functions, the
 * records and globals below, the stage functions, the toolkit's aaMath*
 * functions, and generic names such as fft, sort or svd) form the
 * documented compatibility surface: their names, signatures, record layouts
 * and behaviour are fixed. Names beginning with "tarn" (functions),
 * "Tarn" (records) or "TARN_" (macros) are this library's extensions and
 * helpers; they are listed in the section "Extensions" of the header that
 * declares them (here: tarnGetLatestComputation,
 * tarnGetLatestImpulseResponse, tarnGetLinkOptions, tarnSetTrackingMode,
 * tarnSetStepTiming, tarnSetCombination and the TARN_TRACK_FLAG_* bits).
 *
 * Threads and locks. The host calls the host functions from any of its
 * threads; one worker thread of the library computes every estimate and
 * calls the result callbacks. Two locks exist: the registry lock
 * contextLock (every registry operation, every host function while it
 * touches a link, and the worker for the whole computation of a request
 * including the callback) and the queue lock requestLock (the queue only;
 * the library takes it inside contextLock when a link's requests are
 * dropped with the link, never the other way round). A host function may
 * therefore wait while an estimate is being computed, at most for one
 * computation and its callback; none waits for queued requests.
 *
 * Typical use:
 *     CsInitRecord init = { on_result };
 *     csIfInit(link, &init);
 *     for each procedure: csIfAddMeasurementV2(link, &proc); csIfGetEstimate(link);
 *     csIfCleanUp(link);
 */
#ifndef TARN_INTERFACE_H
#define TARN_INTERFACE_H

#include <pthread.h>

#include "tarn_common.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"

TARN_BEGIN_DECLS

/* ---- Host-visible records ------------------------------------------------ */

/* Result delivery. Called on the library's worker thread, once per answered
 * request, with the registry lock held.
 *   result:  the link's result record (dest in 1/distSF metre, conf in
 *            percent, -1 = none). Owned by the library; valid only during
 *            the call (it is rewritten by the link's next computation and
 *            freed with the link): copy what is needed.
 *   request: the request being answered; its first word is the link
 *            reference. Owned by the library and freed after the call.
 * It must return promptly (every host function waits for it) and must not
 * call the host functions (they refuse with 0 and an error message); it may
 * call tarnGetLatestComputation and tarnGetLatestImpulseResponse. */
typedef void (*CsResultCallback)(CsEstimate *result, CsRequest *request);

/* The host's link creation record; only the callback is read, and only the
 * function pointer is kept (the record need not outlive csIfInit). A null
 * callback creates a link whose results are not delivered. */
struct CsInitRecord {
    CsResultCallback callback;
};

/* One queued estimate request, allocated by csIfGetEstimate, owned by the
 * queue while queued and by the worker afterwards (freed after the
 * callback). */
struct CsRequest {
    CsLinkRef linkRef;
    struct CsRequest *next;
};

/* The latest computation of one link, as read through the extension
 * tarnGetLatestComputation (see "Extensions" below). A sized record: the
 * caller sets size to the bytes it provides, the library fills what both
 * sides know and reports it in size and version. Later versions only append
 * fields (e.g. further diagnostics of the computation), so a host built
 * against an older header keeps working. Distances in metres x distSF,
 * confidences in percent (-1 = none). */
typedef struct TarnLatestComputation {
    uint32_t size;     /* in: bytes provided; out: bytes filled */
    uint32_t version;  /* out: TARN_LATEST_COMPUTATION_VERSION of the library */
    uint32_t sequence; /* out: computations of this link so far; 0 = none yet */
    uint32_t reserved; /* zero */
    RangeEstimate phase; /* phase candidate (valid 1 = the phase estimator gave a distance;
                            with TARN_INTEGRITY_FIRST_PATH the first path's distance) */
    RangeEstimate rtt;   /* round-trip-time candidate (valid 1 = likewise) */
    CsEstimate result;   /* the result delivered for this computation */
    /* Version 2: the tracking mode (see tarnSetTrackingMode). Meaningful
     * for a computation made in tracking mode 1 (see version 4 for mode 0). */
    uint32_t trackingMode; /* 1: the computation ran in tracking mode 1 */
    uint32_t trackFlags;   /* TARN_TRACK_FLAG_* (see "Extensions"): what the tracker did */
    double speed;   /* radial speed of the target, 1/distSF metre per second
                       (distSF 1000: mm/s), positive while the devices move
                       apart; 0 when not tracking */
    double speedSd; /* its standard deviation, same unit; -1 when not tracking */
    /* Version 3: how the computation timed the procedure's steps.
     * Meaningful, like version 2, for a computation in tracking mode 1
     * (mode 0 does not time steps). */
    uint32_t timingOrigin; /* TARN_TIMING_*: where the step durations came from */
    uint32_t reserved3;    /* zero */
    double stepScale;      /* the factor the 150 us steps were scaled by:
                              1.0 when given; when learned, the learned
                              ratio true step / 150 us; when assumed, the
                              factor being tried while the link learns it
                              (1.0 at first) */
    /* Version 4: the integrity of the computation, filled for every
     * computation in either tracking mode and combination (from this version
     * on the whole record is filled: for a computation in tracking mode 0
     * trackingMode, trackFlags and speed are 0, speedSd -1, timingOrigin
     * TARN_TIMING_ASSUMED and stepScale 1). Standard uncertainties are in metres (not
     * distSF units), each a 1-sigma figure formed from this procedure's data:
     * the spread of the antenna paths' and MUSIC orders' distances and the
     * phase slope's residual for the phase candidate, the spread and count of
     * the usable round-trip steps (and the multipath the response shows) for
     * the round trip. -1 = no such candidate. */
    double sigmaM;      /* of the delivered distance */
    double phaseSigmaM; /* of the phase candidate */
    double rttSigmaM;   /* of the round-trip candidate */
    uint32_t integrityFlags; /* TARN_INTEGRITY_* below */
    uint32_t combination;    /* combination mode the result was formed with (tarnSetCombination) */
    double firstPathM;  /* earliest significant path of the response, metres; -1 none found */
} TarnLatestComputation;

/* TarnLatestComputation.timingOrigin. */
#define TARN_TIMING_ASSUMED 0u /* no timing known, none learned yet: 150 us per step x
                                  stepScale (and the subevent time stamps); the
                                  speed the tones show does not steer the track */
#define TARN_TIMING_GIVEN 1u   /* composed from the timing given with tarnSetStepTiming */
#define TARN_TIMING_LEARNED 2u /* the assumed durations scaled by a step scale learned from the
                                  link: the factor that lines each procedure's tones up
                                  within its subevents at the speed the track sees,
                                  confirmed by a round of procedures */



/* Integrity flags of a computation (integrityFlags): TARN_INTEGRITY_*, in
 * tarn_estimators_types.h (the combination sets them too). */

#define TARN_LATEST_COMPUTATION_VERSION 4u
/* Bytes of the first version; a smaller size is refused. */
#define TARN_LATEST_COMPUTATION_V1_SIZE \
    ((uint32_t)(offsetof(TarnLatestComputation, result) + sizeof(CsEstimate)))
/* Bytes of the second version. */
#define TARN_LATEST_COMPUTATION_V2_SIZE \
    ((uint32_t)(offsetof(TarnLatestComputation, speedSd) + sizeof(double)))
/* Bytes of the third version. */
#define TARN_LATEST_COMPUTATION_V3_SIZE \
    ((uint32_t)(offsetof(TarnLatestComputation, stepScale) + sizeof(double)))
/* Bytes of the fourth version (the whole record). */
#define TARN_LATEST_COMPUTATION_V4_SIZE \
    ((uint32_t)(offsetof(TarnLatestComputation, firstPathM) + sizeof(double)))

/* The options a link computes with, as read through the extension
 * tarnGetLinkOptions (see "Extensions" below). Sized like
 * TarnLatestComputation: the caller sets size, the library fills what both
 * sides know; later versions only append fields. */
typedef struct TarnLinkOptions {
    uint32_t size;          /* in: bytes provided; out: bytes filled */
    uint32_t version;       /* out: TARN_LINK_OPTIONS_VERSION of the library */
    uint8_t calRunActive;   /* out: 1 while a calibration run accumulates procedures */
    uint8_t reserved8;      /* zero */
    uint16_t calProcedures; /* out: procedures the running calibration run took so far */
    uint32_t reserved;      /* zero */
    /* out: the link's options record in force, byte for byte: what link
     * creation or csIfSetParam installed, with what the estimates since
     * rewrote in it (calibration-mode overrides; a finished calibration run's
     * calTable with estimateFilterChannel 0 and applyEstimatedReverseChannel 1). */
    ConfigOpts opts;
} TarnLinkOptions;

#define TARN_LINK_OPTIONS_VERSION 1u
/* Bytes of the first version; a smaller size is refused. */
#define TARN_LINK_OPTIONS_V1_SIZE ((uint32_t)(offsetof(TarnLinkOptions, opts) + sizeof(ConfigOpts)))

/* The link's CS step timing, as its CS configuration gives it, handed to
 * the library with the extension tarnSetStepTiming (see "Extensions" below,
 * where the step durations that follow from it are given). A sized record:
 * the caller sets size to sizeof(TarnStepTiming); later versions only append
 * fields. Times in microseconds. */
typedef struct TarnStepTiming {
    uint32_t size;    /* sizeof(TarnStepTiming), at least 16 */
    uint16_t tFcsUs;  /* T_FCS: 15, 20, 30, 40, 50, 60, 80, 100, 120 or 150 */
    uint16_t tIp1Us;  /* T_IP1: 10, 20, 30, 40, 50, 60, 80 or 145 */
    uint16_t tIp2Us;  /* T_IP2: as T_IP1 */
    uint16_t tPmUs;   /* T_PM: 10, 20 or 40 */
    uint8_t tSwUs;    /* antenna switch time T_SW: 0, 1, 2, 4 or 10; 0 with one antenna path */
    uint8_t phy;      /* CS_SYNC PHY: 1 LE 1M, 2 LE 2M, 3 LE 2M 2BT */
    uint8_t rttType;  /* 0..6 as in the CS configuration (what follows the access address) */
    uint8_t reserved; /* 0 */
} TarnStepTiming;

/* Bytes of the first version (the whole record). */
#define TARN_STEP_TIMING_V1_SIZE 16u

/* Registry entry of one link, owned by the registry: allocated by csIfInit,
 * or by a host with malloc and handed over with csContextListAddItem; freed
 * (with its context, both with free) by csIfCleanUp / csContextClearItem /
 * csContextListClearItems. Exactly these four fields: what else the library
 * keeps for a link (the memory of its filters, its tracking mode, its
 * latest computation) it allocates itself, on the link's first use, and
 * frees with the entry. Read the fields only while holding the registry
 * lock. */
typedef struct CsContextItem {
    CsLinkRef linkRef;          /* the host's link reference */
    CsContext *ctx;             /* the link's context, owned by the entry */
    CsResultCallback callback;  /* the host's callback, copied from CsInitRecord */
    struct CsContextItem *next; /* next entry, or null */
} CsContextItem;
/* The four fields and nothing else, on every ABI. */
TARN_STATIC_ASSERT(sizeof(CsContextItem) == 4 * sizeof(void *), "CsContextItem layout");

#if TARN_ABI32
TARN_STATIC_ASSERT(sizeof(CsContextItem) == 16, "CsContextItem layout");
TARN_STATIC_ASSERT(offsetof(CsContextItem, linkRef) == 0, "CsContextItem layout");
TARN_STATIC_ASSERT(offsetof(CsContextItem, ctx) == 4, "CsContextItem layout");
TARN_STATIC_ASSERT(offsetof(CsContextItem, callback) == 8, "CsContextItem layout");
TARN_STATIC_ASSERT(offsetof(CsContextItem, next) == 12, "CsContextItem layout");
TARN_STATIC_ASSERT(sizeof(CsInitRecord) == 4, "CsInitRecord layout");
TARN_STATIC_ASSERT(offsetof(CsInitRecord, callback) == 0, "CsInitRecord layout");
TARN_STATIC_ASSERT(sizeof(CsRequest) == 8, "CsRequest layout");
TARN_STATIC_ASSERT(offsetof(CsRequest, linkRef) == 0, "CsRequest layout");
TARN_STATIC_ASSERT(offsetof(CsRequest, next) == 4, "CsRequest layout");
TARN_STATIC_ASSERT(offsetof(CsEstimate, dest) == 0, "CsEstimate layout");
TARN_STATIC_ASSERT(offsetof(CsEstimate, conf) == 16, "CsEstimate layout");
TARN_STATIC_ASSERT(sizeof(CsEstimate) == 24, "CsEstimate layout");
TARN_STATIC_ASSERT(offsetof(TarnLinkOptions, calRunActive) == 8, "TarnLinkOptions layout");
TARN_STATIC_ASSERT(offsetof(TarnLinkOptions, calProcedures) == 10, "TarnLinkOptions layout");
TARN_STATIC_ASSERT(offsetof(TarnLinkOptions, opts) == 16, "TarnLinkOptions layout");
TARN_STATIC_ASSERT(sizeof(TarnLinkOptions) == 16 + TARN_CONFIG_OPTS_SIZE, "TarnLinkOptions layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, phase) == 16, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, result) == 80, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(TARN_LATEST_COMPUTATION_V1_SIZE == 104, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, trackingMode) == 104,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, trackFlags) == 108,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, speed) == 112, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, speedSd) == 120, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(TARN_LATEST_COMPUTATION_V2_SIZE == 128, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, timingOrigin) == 128,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, reserved3) == 132,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, stepScale) == 136,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(TARN_LATEST_COMPUTATION_V3_SIZE == 144, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, sigmaM) == 144, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, phaseSigmaM) == 152,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, rttSigmaM) == 160,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, integrityFlags) == 168,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, combination) == 172,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(offsetof(TarnLatestComputation, firstPathM) == 176,
                   "TarnLatestComputation layout");
TARN_STATIC_ASSERT(TARN_LATEST_COMPUTATION_V4_SIZE == 184, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(sizeof(TarnLatestComputation) == 184, "TarnLatestComputation layout");
TARN_STATIC_ASSERT(sizeof(TarnStepTiming) == 16, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, size) == 0, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, tFcsUs) == 4, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, tIp1Us) == 6, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, tIp2Us) == 8, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, tPmUs) == 10, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, tSwUs) == 12, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, phy) == 13, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, rttType) == 14, "TarnStepTiming layout");
TARN_STATIC_ASSERT(offsetof(TarnStepTiming, reserved) == 15, "TarnStepTiming layout");
#endif

/* ---- Host functions --------------------------------------------------------
 * Thread: any host thread, never the result callback (such calls are
 * refused: 0, and nothing changes). Each may wait for the registry lock
 * while the worker computes an estimate (see "Threads and locks"); none
 * waits for a computation to be started. Failures are logged. */

/* Creates link linkRef: allocates its context, registers it, starts the
 * worker on first use, then builds its options (defaults, the first usable
 * configuration file, the calibration table; files are read on the calling
 * thread). init: read during the call only (the callback pointer is kept).
 * Returns 0 always, also on failure (null init, link already known,
 * allocation failure); csIfGetEstimate on the link tells whether it exists. */
TARN_API int csIfInit(CsLinkRef linkRef, const CsInitRecord *init);
/* Stores one procedure in step-level form, replacing the link's stored one.
 * meas and every array it points to are read during the call and copied;
 * nothing is kept. A step count above 256 is lowered to 256 in the host's
 * record. Returns 1 stored, 0 unknown link, invalid or rejected record. */
TARN_API int csIfAddMeasurement(CsLinkRef linkRef, CsMeasurement *meas);
/* Stores one procedure in controller form (both sides' subevents), replacing
 * the link's stored one. proc and what it points to are read during the
 * call only and copied. Returns 1 stored, 0 unknown link, null proc or
 * rejected procedure. */
TARN_API int csIfAddMeasurementV2(CsLinkRef linkRef, const CsProcedure *proc);
/* Sets a parameter of the link: csSetParam types TARN_PARAM_* (see
 * tarn_measurement.h); data is read during the call only. Returns
 * csSetParam's result (1; 0 for a null data of a known type), 0 for an
 * unknown link. */
TARN_API int csIfSetParam(CsLinkRef linkRef, int type, const void *data);
/* Queues an estimate request for the link and returns without waiting for
 * it; the result arrives later through the callback, on the worker thread,
 * requests answered in queue order. Returns 1 queued, 0 unknown link or out
 * of memory. */
TARN_API int csIfGetEstimate(CsLinkRef linkRef);
/* Removes the link: unregisters it and frees its context at once (it waits
 * for a computation in progress). Requests of the link still queued are
 * later dropped without a callback. Returns 1 (also for an unknown link),
 * 0 only when refused inside the callback. The link reference may be used
 * again afterwards. */
TARN_API int csIfCleanUp(CsLinkRef linkRef);

/* No-op entry points kept for hosts that link against them; return 0. Any
 * thread; ctx is not read. */
TARN_API int csCalcEstimateRTP(CsContext *ctx);
TARN_API int csCalcEstimateRTT(CsContext *ctx);

/* ---- Link registry ---------------------------------------------------------
 * Any thread. Each operation takes contextLock itself (except the two lock
 * functions), so each may wait while an estimate is being computed. A thread
 * that holds the lock through csContextListlock may call them (nested use
 * is counted per thread) but must not call the host functions. */

/* Head of the registry list; guarded by contextLock. */
TARN_API extern CsContextItem *contextListHead;
/* The registry lock (default mutex). Take it through csContextListlock. */
TARN_API extern pthread_mutex_t contextLock;

/* Pushes entry at the head; the registry owns it from then on (it must be
 * malloc'ed, with ctx malloc'ed or null; both are freed on removal). A
 * context the host set up itself (csGetMemory bytes, csInit, csSetParam
 * type 0) works like one csIfInit made: the link's further state is the
 * library's, fresh on its first use. Returns 1, 0 for a null entry or one
 * already listed. */
TARN_API int csContextListAddItem(CsContextItem *entry);
/* 1 when an entry for linkRef exists, else 0. */
TARN_API int csContextListExistItem(CsLinkRef linkRef);
/* The newest entry for linkRef, or null. The pointer is valid only while the
 * link exists; dereference it only while holding the registry lock. */
TARN_API CsContextItem *csContextListGetItem(CsLinkRef linkRef);
/* Unlinks the entry and frees its context and itself; unknown: no effect.
 * The link's queued requests are dropped with it (no callback, also when the
 * reference is used again at once). Called from inside the link's own
 * callback it unlinks the entry at once and frees it when the callback
 * returns, so the result record stays readable until then. */
TARN_API void csContextClearItem(CsLinkRef linkRef);
/* Unlinks and frees every entry (as csContextClearItem) and drops every
 * queued request. */
TARN_API void csContextListClearItems(void);
/* Take and release the registry lock (blocks while an estimate is being
 * computed). Release on the thread that took it. */
TARN_API void csContextListlock(void);
TARN_API void csContextListunlock(void);

/* ---- Request queue and worker -----------------------------------------------
 * Any thread. The queue functions take requestLock for their own duration
 * only (never blocking on a computation). */

/* First queued request, null when empty; guarded by requestLock. */
TARN_API extern CsRequest *requestListHead;
/* The queue lock (default mutex) and the condition the worker waits on. */
TARN_API extern pthread_mutex_t requestLock;
TARN_API extern pthread_cond_t requestCond;
/* 1 while the worker is meant to run; read and written atomically (the
 * worker's start and stop are serialised by a private lock). */
TARN_API extern uint8_t runThread;
/* The worker's thread identifier, written once the worker starts. */
TARN_API extern pthread_t requestHandlerPtid;

/* Requests one link may have queued. Appending one more drops the link's
 * oldest queued request (no callback; logged at level 1): a host that asks
 * faster than the worker computes gets its latest requests answered. */
#define TARN_MAX_QUEUED_REQUESTS_PER_LINK 16

/* Appends request at the tail in constant time (the queue owns it from then
 * on; it must be malloc'ed, its link reference first; its next field is
 * cleared) and wakes the worker. Returns 1, 0 for null. */
TARN_API int csAddRequest(CsRequest *request);
/* Removes and returns the head request (the caller owns it and frees it with
 * free), or null when the queue is empty. */
TARN_API CsRequest *csGetRequest(void);
/* Frees every queued request; they get no callback. */
TARN_API void csClearRequests(void);
/* Starts the worker unless it is running (once-guarded: one worker at most).
 * Called by csIfInit. */
TARN_API void initRequestHandler(void);
/* Asks the worker to stop the next time it wakes up; it finishes the
 * request in hand first. Does not wait. */
TARN_API void deinitRequestHandler(void);
/* The worker's body; returns null at once when called on any other thread. */
TARN_API void *process_request(void *arg);

/* ---- Extensions --------------------------------------------------------------
 * Additions of this library beyond the compatibility surface; their names
 * begin with "tarn". */

/* Bits of TarnLatestComputation.trackFlags (mode 1). */
#define TARN_TRACK_FLAG_TRACKING 0x01u     /* the tracker follows the target (speed valid) */
#define TARN_TRACK_FLAG_PHASE_TAKEN 0x02u  /* the phase candidate updated the track */
#define TARN_TRACK_FLAG_PHASE_GATED 0x04u  /* the phase candidate was rejected as an outlier */
#define TARN_TRACK_FLAG_RTT_TAKEN 0x08u    /* the round-trip candidate updated the track */
#define TARN_TRACK_FLAG_RTT_GATED 0x10u    /* the round-trip candidate was rejected */
#define TARN_TRACK_FLAG_COMPENSATED 0x20u  /* the tones were corrected for motion within the procedure */
#define TARN_TRACK_FLAG_SPEED_MEASURED 0x40u /* the procedure's own tones gave a speed */
#define TARN_TRACK_FLAG_RESTARTED 0x80u    /* the track (re)started in this computation */


/* Copies the latest computation of link linkRef into *out. The caller sets
 * out->size to the bytes it provides (at least TARN_LATEST_COMPUTATION_V1_SIZE;
 * normally sizeof(TarnLatestComputation)); the library fills at most that
 * much and sets out->size to what it filled. Returns 1 when filled (sequence
 * 0: the link has not been computed yet, everything else zero), 0 for an
 * unknown link, a null out or a too small size (out untouched).
 * Thread: any. Called from inside the result callback it reads the
 * computation being delivered and never blocks (the worker already holds
 * the registry). From other threads it takes the registry lock, so it waits
 * while an estimate is being computed; the values are then those of the
 * latest callback, and may be newer than the callback the host last saw. */
TARN_API int tarnGetLatestComputation(CsLinkRef linkRef, TarnLatestComputation *out);

/* Impulse response of the link's latest phase computation for antenna path
 * `path`: the magnitudes the impulse-response estimator measured from the
 * processed tones (what to look at when a distance seems wrong).
 *   magnitudes: caller-owned, `capacity` doubles; receives N magnitudes, N
 *               the transform size (option ifftSize when it is a power of two
 *               from 128 to 16384, else 512). Tap k lies at
 *               firstM + k x tapM metres.
 *   tapM, firstM: caller-owned, written when not null (metres).
 * Returns N, or 0 with tapM and firstM untouched: called anywhere but inside
 * the result callback of linkRef (or after the callback removed its link),
 * the computation gave no impulse response (no usable tones, bad procedure,
 * tone processing failed, options under which the response has no finite
 * value, such as a qWrap of 1; magnitudes may then have been overwritten),
 * path not below the procedure's antenna-path count, null magnitudes or
 * capacity < N.
 * Thread: only the result callback (worker thread), the one moment the
 * computation's processed tones are at hand; it recomputes the transform
 * (about 30 us per path at N = 512 on a desktop core), so the estimate
 * path pays nothing when it is not called. */
TARN_API int tarnGetLatestImpulseResponse(CsLinkRef linkRef, int path, double *magnitudes,
                                          int capacity, double *tapM, double *firstM);

/* Copies the options link linkRef computes with into *out (a calibration
 * run's table is read back this way; a host installs a changed record with
 * csIfSetParam type 0). The caller sets out->size to the bytes it provides
 * (at least TARN_LINK_OPTIONS_V1_SIZE; normally sizeof(TarnLinkOptions)); the
 * library fills at most that much and sets out->size to what it filled.
 * Returns 1 when filled, 0 for an unknown link, a null out or a too small
 * size (out untouched).
 * Thread: any. From a host thread it takes the registry lock, so it waits
 * while an estimate is being computed and reads the options as the latest
 * computation left them; inside the result callback it never blocks and
 * reads those of the computation being delivered. */
TARN_API int tarnGetLinkOptions(CsLinkRef linkRef, TarnLinkOptions *out);
/* Tracking mode of link linkRef.
 *   mode 0: the default tracking (the default of every new link): the
 *           per-pair smoothing, pooling and output filters of the phase
 *           pipeline and the round trip's filters, as the options say. It
 *           suits targets that stand still or move slowly; a walking target
 *           is delivered up to about 0.5 m behind.
 *   mode 1: moving targets. Per computation the phase pipeline runs without
 *           blending with the past and without its output filter (options
 *           fiAvgPwr 0 and rtpFilterType 0 for that computation; the link's
 *           own options are left as they are) and the round trip unfiltered
 *           (rttFilterType 0). Every tone is corrected for the motion within
 *           its procedure, with the speed measured from the procedure's own
 *           tones (around the tracked speed once the track is sure of it):
 *           with a step timing given (tarnSetStepTiming) each step lasts
 *           what it composes to, back to back from its subevent's time
 *           stamp; without one, steps are timed from the subevent time
 *           stamps (controller records) and 150 us per step within a
 *           subevent (at most the time to the next subevent), or 150 us per
 *           step for step-level records. One tracker per link follows distance and radial speed
 *           (a Kalman filter, process noise from a maximum acceleration of
 *           6 m/s^2); it takes the phase candidate, rejects one far from it
 *           (a reflection, a spurious short root) and clips one just outside
 *           its spread, takes the round trip when there is no phase
 *           candidate, and starts over (logged) when time goes backwards,
 *           after 3 s without a distance, on values that are not finite or
 *           absurd, and after 3 rejected phase distances that agree with each
 *           other (unless the round trip disagrees with them by more than
 *           3 m). The result delivered is the tracked distance; its
 *           confidence is the phase candidate's when that updated the track,
 *           decays by fiConfDecay per computation otherwise, and is 0 while
 *           only the round trip holds the track. The round-trip candidate
 *           reported by tarnGetLatestComputation is the tracked distance plus
 *           the round trip's smoothed offset from it, and the record carries
 *           the tracked speed and how the steps were timed. Until a track
 *           exists (no usable candidate yet) results are combined as in
 *           mode 0. In calibration mode
 *           (EnableCal 1) the link computes as in mode 0.
 * The mode belongs to the link, not to its options: option installs
 * (csIfSetParam type 0), configuration and calibration files leave it as
 * it is; it ends with the link (a new link starts in mode 0). A change of
 * mode restarts the link's tracking at its next computation, for both modes
 * (as for a new link); setting the mode the link already has changes
 * nothing. It applies from the link's next computation on (one already
 * queued included).
 * Returns 1 when set, 0 for an unknown link or a mode other than 0 and 1
 * (nothing changes; logged).
 * Thread: any host thread, at any time after csIfInit returned (also
 * before the first measurement), and the link's result callback. It takes
 * the registry lock, so outside the callback it may wait while an estimate
 * is being computed (never for queued ones). */
TARN_API int tarnSetTrackingMode(CsLinkRef linkRef, int mode);

/* Combination mode of link linkRef: how the phase and round-trip candidates
 * become the delivered distance.
 *   mode 0: the specified rule (the default of every new link): the phase
 *           candidate unless a valid round trip differs from it by more than
 *           rtpWithinRttThresh. Results are exactly those of a library
 *           without this extension.
 *   mode 1: guarded. The round trip, whose timing a reflector cannot
 *           advance when the link uses random sequences, bounds the result
 *           from below: a phase distance under the round trip's lower bound
 *           (TARN_INTEGRITY_MANIPULATION) is never delivered, the round trip
 *           is, with its uncertainty. So is the round trip when the phase
 *           shows residual frequency offset or phase jumps
 *           (TARN_INTEGRITY_PHASE_JUMPS). Candidates within 2 J of each
 *           other are fused by their uncertainties (inverse-variance
 *           weights); a phase distance shorter than the round trip by up to
 *           the multipath allowance (honest multipath makes the round trip
 *           read long) is delivered as it is, and so is one longer than the
 *           round trip. When the direct path looks blocked
 *           (TARN_INTEGRITY_BLOCKED) the phase candidate follows the first
 *           path (TARN_INTEGRITY_FIRST_PATH), as it does in tracking mode 1
 *           whatever the combination. The confidence is the delivered
 *           candidate's (the phase one's when fused, 0 for the round trip).
 * Either way tarnGetLatestComputation reports the uncertainties and flags
 * (they are computed in both modes). The mode belongs to the link like the
 * tracking mode: option installs and files leave it, it ends with the link,
 * and it applies from the link's next computation (one already queued
 * included). Tracking mode 1 forms its own result with its tracker; in
 * mode 1 the guard then applies the lower bound to the tracked distance.
 * Returns 1 when set, 0 for an unknown link or a mode other than 0 and 1
 * (nothing changes; logged).
 * Thread: any host thread after csIfInit returned, and the link's result
 * callback. It takes the registry lock, so outside the callback it may wait
 * while an estimate is being computed (never for queued ones). */
TARN_API int tarnSetCombination(CsLinkRef linkRef, int mode);
/* Step timing of link linkRef: the CS timing of its configuration, from
 * which the library times each step of a procedure (tracking mode 1 corrects
 * every tone for the motion up to its own moment; mode 0 does not use it).
 * The host calls it after csIfInit and whenever the link's CS configuration
 * changes.
 *   timing: caller-owned, read during the call only (the values are copied).
 * A step lasts (microseconds; N_AP the procedure's antenna paths, T_SW
 * counted only with N_AP > 1, so 0 with one path):
 *   mode 0: T_FCS + T_SY + T_RD + T_IP1 + T_SY + T_GD + T_FM + T_RD
 *   mode 1: T_FCS + T_SY + T_RD + T_IP1 + T_SY + T_RD
 *   mode 2: T_FCS + T_IP2 + 2 x (T_SW + T_PM) x (N_AP + 1)
 *   mode 3: T_FCS + T_IP2 + 2 x (T_SY + T_GD + (T_SW + T_PM) x (N_AP + 1))
 * with the ramp-down T_RD 5, the guard T_GD 10 and the frequency measurement
 * T_FM 80, and T_SY the CS_SYNC (preamble, access address, the sequence the
 * RTT type adds, trailer): 44 on LE 1M, 26 on LE 2M and LE 2M 2BT, plus the
 * sequence of rttType 0..6 (0, 32, 96, 32, 64, 96, 128 bits) at 1 us per bit
 * on LE 1M and 0.5 us on the others. The tone slots (N_AP + 1 of them, the
 * last the tone extension) take T_SW + T_PM each. Example: mode 2, two
 * paths, T_FCS 60, T_IP2 40, T_PM 20, T_SW 10: 280 us. The steps of a
 * subevent follow each other back to back from the subevent's time stamp
 * (an aborted step keeps its place); a subevent without a usable time stamp
 * follows the previous one's last step. Step-level records
 * (csIfAddMeasurement) have no subevents: their steps follow each other from
 * the procedure's time. Without a timing (the default of every new link)
 * steps are taken to last 150 us (see tarnSetTrackingMode).
 * A record whose four times are all 0 returns the link to "timing unknown"
 * (its other fields are then not read, reserved aside).
 * The timing belongs to the link: option installs (csIfSetParam type 0),
 * configuration and calibration files and tracking-mode changes leave it as
 * it is; it ends with the link. It applies from the link's next computation
 * on (one already queued, and a procedure already stored, included).
 * Returns 1 when taken; 0 (logged, nothing changed) for a null timing, an
 * unknown link, a size below 16, a non-zero reserved byte, or, unless all
 * four times are 0, a time outside its allowed values (listed in
 * TarnStepTiming), a phy other than 1..3 or an rttType above 6.
 * Thread: any host thread, at any time after csIfInit returned, and the
 * link's result callback. It takes the registry lock, so outside the
 * callback it may wait while an estimate is being computed. */
TARN_API int tarnSetStepTiming(CsLinkRef linkRef, const TarnStepTiming *timing);

TARN_END_DECLS

#endif /* TARN_INTERFACE_H */
