/* Service interface: host functions, link registry, request queue and worker. */
#ifndef TARN_INTERFACE_H
#define TARN_INTERFACE_H

#include <pthread.h>

#include "tarn_common.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"

TARN_BEGIN_DECLS

/* ---- Host-visible records ------------------------------------------------ */

/* Result delivery, called on the worker thread with the link's result record
 * and the request being answered (whose first word is the link reference).
 * It must not call back into the library's host functions. */
typedef void (*CsResultCallback)(CsEstimate *result, CsRequest *request);

/* The host's link creation record; only the callback is read, and only the
 * function pointer is kept. */
struct CsInitRecord {
    CsResultCallback callback;
};

/* One queued estimate request. */
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
    RangeEstimate phase; /* phase candidate (valid 1 = the phase estimator gave a distance) */
    RangeEstimate rtt;   /* round-trip-time candidate (valid 1 = likewise) */
    CsEstimate result;   /* the result delivered for this computation */
} TarnLatestComputation;

#define TARN_LATEST_COMPUTATION_VERSION 1u
/* Bytes of the first version; a smaller size is refused. */
#define TARN_LATEST_COMPUTATION_V1_SIZE \
    ((uint32_t)(offsetof(TarnLatestComputation, result) + sizeof(CsEstimate)))

/* Registry entry of one link. */
typedef struct CsContextItem {
    CsLinkRef linkRef;
    CsContext *ctx; /* owned by the entry */
    CsResultCallback callback;
    struct CsContextItem *next;
    /* The link's own tracking state; the worker swaps it into gNewPres for the
     * duration of the link's computation so links never share filter state. */
    NewPresState trackState;
    /* Candidates and result of the link's latest computation, recorded by the
     * worker (read with tarnGetLatestComputation). */
    TarnLatestComputation latest;
} CsContextItem;

#if TARN_ABI32
TARN_STATIC_ASSERT(sizeof(CsInitRecord) == 4, "CsInitRecord layout");
TARN_STATIC_ASSERT(offsetof(CsInitRecord, callback) == 0, "CsInitRecord layout");
TARN_STATIC_ASSERT(sizeof(CsRequest) == 8, "CsRequest layout");
TARN_STATIC_ASSERT(offsetof(CsRequest, linkRef) == 0, "CsRequest layout");
TARN_STATIC_ASSERT(offsetof(CsRequest, next) == 4, "CsRequest layout");
TARN_STATIC_ASSERT(offsetof(CsEstimate, dest) == 0, "CsEstimate layout");
TARN_STATIC_ASSERT(offsetof(CsEstimate, conf) == 16, "CsEstimate layout");
TARN_STATIC_ASSERT(sizeof(CsEstimate) == 24, "CsEstimate layout");
#endif

/* ---- Host functions --------------------------------------------------------
 * All return 0 on failure (csIfInit always returns 0). None of them may be
 * called from inside the result callback: such calls are refused. */

TARN_API int csIfInit(CsLinkRef linkRef, const CsInitRecord *init);
TARN_API int csIfAddMeasurement(CsLinkRef linkRef, CsMeasurement *meas);
TARN_API int csIfAddMeasurementV2(CsLinkRef linkRef, const CsProcedure *proc);
TARN_API int csIfSetParam(CsLinkRef linkRef, int type, const void *data);
TARN_API int csIfGetEstimate(CsLinkRef linkRef);
TARN_API int csIfCleanUp(CsLinkRef linkRef);

/* No-op entry points kept for hosts that link against them; return 0. */
TARN_API int csCalcEstimateRTP(CsContext *ctx);
TARN_API int csCalcEstimateRTT(CsContext *ctx);

/* ---- Link registry ---------------------------------------------------------
 * Each operation takes contextLock itself (except the two lock functions). */

TARN_API extern CsContextItem *contextListHead;
TARN_API extern pthread_mutex_t contextLock;

/* Pushes a malloc'ed entry at the head; 0 for a null entry. */
TARN_API int csContextListAddItem(CsContextItem *entry);
TARN_API int csContextListExistItem(CsLinkRef linkRef);
TARN_API CsContextItem *csContextListGetItem(CsLinkRef linkRef);
/* Unlinks the entry and frees its context and itself; unknown: no effect. */
TARN_API void csContextClearItem(CsLinkRef linkRef);
TARN_API void csContextListClearItems(void);
TARN_API void csContextListlock(void);
TARN_API void csContextListunlock(void);

/* ---- Request queue and worker ----------------------------------------------- */

TARN_API extern CsRequest *requestListHead;
TARN_API extern pthread_mutex_t requestLock;
TARN_API extern pthread_cond_t requestCond;
TARN_API extern uint8_t runThread;
TARN_API extern pthread_t requestHandlerPtid;

/* Appends a malloc'ed request at the tail and wakes the worker; 0 for null. */
TARN_API int csAddRequest(CsRequest *request);
/* Removes and returns the head request, or null. */
TARN_API CsRequest *csGetRequest(void);
TARN_API void csClearRequests(void);
/* Starts the worker unless it is running. */
TARN_API void initRequestHandler(void);
/* Asks the worker to stop the next time it wakes up. */
TARN_API void deinitRequestHandler(void);
/* The worker's body; does nothing when called on any other thread. */
TARN_API void *process_request(void *arg);

/* ---- Extensions --------------------------------------------------------------
 * Additions of this library beyond the compatibility surface; their names
 * begin with "tarn". */

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

TARN_END_DECLS

#endif /* TARN_INTERFACE_H */
