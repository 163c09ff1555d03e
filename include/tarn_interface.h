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

/* Registry entry of one link. */
typedef struct CsContextItem {
    CsLinkRef linkRef;
    CsContext *ctx; /* owned by the entry */
    CsResultCallback callback;
    struct CsContextItem *next;
    /* The link's own tracking state; the worker swaps it into gNewPres for the
     * duration of the link's computation so links never share filter state. */
    NewPresState trackState;
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

TARN_END_DECLS

#endif /* TARN_INTERFACE_H */
