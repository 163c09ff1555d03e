// Estimate request queue and the worker thread that serves it.
#include <cstdint>
#include <cstdlib>

#include "interface/interface_internal.h"
#include "tarn_config.h"
#include "tarn_diag.h"
#include "tarn_rtp.h"
#include "tarn_rtt.h"

namespace {

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

CsRequest *takeRequest() {
    pthread_mutex_lock(&requestLock);
    if (requestListHead == nullptr) pthread_cond_wait(&requestCond, &requestLock);
    CsRequest *req = requestListHead;
    if (req != nullptr) {
        requestListHead = req->next;
        req->next = nullptr;
    }
    pthread_mutex_unlock(&requestLock);
    return req;
}

// Computes and delivers one request of a registered link; the caller holds
// the registry lock. Consumes the request.
void serveLinkRequest(CsContextItem *item, CsRequest *req) {
    CsContext *ctx = item->ctx;
    if (ctx == nullptr || ctx->result == nullptr) {
        DEBUG_LOG(1, "Context of link %d is not set up.\n", static_cast<int>(item->linkRef));
        std::free(req);
        return;
    }
    CsEstimate *result = ctx->result;

    // The link's tracking state becomes the working record for this computation.
    gNewPres = item->trackState;

    RangeEstimate rtp = {};
    RangeEstimate rtt = {};
    rtp.valid = static_cast<uint8_t>(RTP_calcEstimate(ctx));
    rtp.dest = result->dest;
    rtp.conf = static_cast<double>(result->conf);
    rtt.valid = static_cast<uint8_t>(RTT_calcEstimate(ctx));
    rtt.dest = result->dest;
    rtt.conf = static_cast<double>(result->conf);
    alg_combineRttRtp(ctx, &rtp, &rtt, result);

    item->trackState = gNewPres;

    DEBUG_LOG(0, "Final Distance: %lf Confidence: %d \n", result->dest,
              static_cast<int>(result->conf));
    if (item->callback != nullptr) {
        item->callback(result, req);
    } else {
        DEBUG_LOG(1, "No result callback for link %d; result not delivered.\n",
                  static_cast<int>(item->linkRef));
    }
    // The callback may have removed the link: item and ctx are not touched again.
    std::free(req);
}

void serveRequest(CsRequest *req) {
    tarnRegistryLock();
    CsContextItem *item = tarnRegistryFindLocked(req->linkRef);
    if (item == nullptr) {
        // The link was removed after the request was queued.
        std::free(req);
    } else {
        serveLinkRequest(item, req);
    }
    tarnRegistryUnlock();
}

}  // namespace

extern "C" {

CsRequest *requestListHead = nullptr;
pthread_mutex_t requestLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t requestCond = PTHREAD_COND_INITIALIZER;
uint8_t runThread = 0;
pthread_t requestHandlerPtid;

int tarnWorkerStartCount(void) {
    pthread_mutex_lock(&gStartLock);
    const int n = gWorkerStarts;
    pthread_mutex_unlock(&gStartLock);
    return n;
}

int csAddRequest(CsRequest *request) {
    if (request == nullptr) return 0;
    pthread_mutex_lock(&requestLock);
    CsRequest **tail = &requestListHead;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = request;
    pthread_mutex_unlock(&requestLock);
    pthread_cond_signal(&requestCond);
    return 1;
}

CsRequest *csGetRequest(void) {
    pthread_mutex_lock(&requestLock);
    CsRequest *req = requestListHead;
    if (req != nullptr) {
        requestListHead = req->next;
        req->next = nullptr;
    }
    pthread_mutex_unlock(&requestLock);
    return req;
}

void csClearRequests(void) {
    pthread_mutex_lock(&requestLock);
    CsRequest *req = requestListHead;
    requestListHead = nullptr;
    pthread_mutex_unlock(&requestLock);
    while (req != nullptr) {
        CsRequest *next = req->next;
        std::free(req);
        req = next;
    }
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

}  // extern "C"
