// The queue of estimate requests between the host's threads and the worker
// (worker.cpp serves it).
#include <cstdlib>

#include "interface/interface_internal.h"

extern "C" {

CsRequest *requestListHead = nullptr;
pthread_mutex_t requestLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t requestCond = PTHREAD_COND_INITIALIZER;

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

}  // extern "C"
