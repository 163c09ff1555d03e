// The queue of estimate requests between the host's threads and the worker
// (worker.cpp serves it): appended at the tail in constant time, bounded per
// link, purged of a link's requests when the link is removed.
#include <cstdint>
#include <cstdlib>

#include "interface/interface_internal.h"
#include "tarn_diag.h"

namespace {

// Queued requests per link reference, for the per-link bound. Open addressing
// over a small table; a link that finds no free slot (more links with queued
// requests than slots) is counted by walking the queue instead.
constexpr int kCountSlots = 64;
struct LinkCount {
    CsLinkRef link;
    uint32_t queued;  // 0 = free slot
};
LinkCount gCounts[kCountSlots];

CsRequest *gTail = nullptr;
// The link of the request the worker took last (kept by value: the request
// itself is freed after serving), and whether that link was removed since it
// was taken (all under requestLock).
bool gHasInFlight = false;
CsLinkRef gInFlightLink = 0;
bool gInFlightDropped = false;

int slotOf(CsLinkRef link) {
    return static_cast<int>(static_cast<uintptr_t>(link) * 2654435761u % kCountSlots);
}

// The counter of `link`, or null when it has none and none can be made.
LinkCount *counterOf(CsLinkRef link, bool create) {
    const int start = slotOf(link);
    LinkCount *freeSlot = nullptr;
    for (int i = 0; i < kCountSlots; ++i) {
        LinkCount &c = gCounts[(start + i) % kCountSlots];
        if (c.queued != 0 && c.link == link) return &c;
        if (c.queued == 0 && freeSlot == nullptr) freeSlot = &c;
    }
    if (!create || freeSlot == nullptr) return nullptr;
    freeSlot->link = link;
    return freeSlot;
}

uint32_t countByWalking(CsLinkRef link) {
    uint32_t n = 0;
    for (const CsRequest *r = requestListHead; r != nullptr; r = r->next) n += r->linkRef == link;
    return n;
}

void forget(const CsRequest *req) {
    LinkCount *c = counterOf(req->linkRef, false);
    if (c != nullptr && c->queued > 0) --c->queued;
}

// Unlinks `victim`, whose predecessor is `prev` (null at the head).
void unlinkAfter(CsRequest *prev, CsRequest *victim) {
    if (prev == nullptr)
        requestListHead = victim->next;
    else
        prev->next = victim->next;
    if (gTail == victim) gTail = prev;
    victim->next = nullptr;
    forget(victim);
}

// Drops the oldest queued request of `link` (its link has too many queued).
void dropOldestOf(CsLinkRef link) {
    CsRequest *prev = nullptr;
    for (CsRequest *r = requestListHead; r != nullptr; prev = r, r = r->next) {
        if (r->linkRef != link) continue;
        unlinkAfter(prev, r);
        std::free(r);
        DEBUG_LOG(1, "Estimate requests of link %d exceed %d: the oldest is dropped.\n",
                  static_cast<int>(link), TARN_MAX_QUEUED_REQUESTS_PER_LINK);
        return;
    }
}

CsRequest *takeHeadLocked() {
    CsRequest *req = requestListHead;
    if (req != nullptr) unlinkAfter(nullptr, req);
    return req;
}

}  // namespace

CsRequest *tarnQueueTake(void) {
    pthread_mutex_lock(&requestLock);
    CsRequest *req = takeHeadLocked();
    gHasInFlight = req != nullptr;
    gInFlightLink = req != nullptr ? req->linkRef : 0;
    gInFlightDropped = false;
    pthread_mutex_unlock(&requestLock);
    return req;
}

bool tarnQueueInFlightDropped(void) {
    pthread_mutex_lock(&requestLock);
    const bool dropped = gInFlightDropped;
    pthread_mutex_unlock(&requestLock);
    return dropped;
}

void tarnQueueDropLink(CsLinkRef link, bool everyLink) {
    pthread_mutex_lock(&requestLock);
    CsRequest *dropped = nullptr;
    CsRequest *prev = nullptr;
    CsRequest *r = requestListHead;
    while (r != nullptr) {
        CsRequest *next = r->next;
        if (everyLink || r->linkRef == link) {
            unlinkAfter(prev, r);
            r->next = dropped;
            dropped = r;
        } else {
            prev = r;
        }
        r = next;
    }
    if (gHasInFlight && (everyLink || gInFlightLink == link)) gInFlightDropped = true;
    pthread_mutex_unlock(&requestLock);
    while (dropped != nullptr) {
        CsRequest *next = dropped->next;
        std::free(dropped);
        dropped = next;
    }
}

extern "C" {

int csAddRequest(CsRequest *request) {
    if (request == nullptr) return 0;
    request->next = nullptr;
    pthread_mutex_lock(&requestLock);
    // A list linked in from outside (the head is exported) has no known tail.
    if (requestListHead == nullptr) gTail = nullptr;
    if (gTail == nullptr)
        for (gTail = requestListHead; gTail != nullptr && gTail->next != nullptr;) gTail = gTail->next;
    LinkCount *c = counterOf(request->linkRef, true);
    const uint32_t queued = c != nullptr ? c->queued : countByWalking(request->linkRef);
    if (queued >= TARN_MAX_QUEUED_REQUESTS_PER_LINK) {
        dropOldestOf(request->linkRef);
        c = counterOf(request->linkRef, true);
    }
    if (gTail == nullptr) {
        requestListHead = request;
    } else {
        gTail->next = request;
    }
    gTail = request;
    if (c != nullptr) ++c->queued;
    pthread_mutex_unlock(&requestLock);
    pthread_cond_signal(&requestCond);
    return 1;
}

CsRequest *csGetRequest(void) {
    pthread_mutex_lock(&requestLock);
    CsRequest *req = takeHeadLocked();
    pthread_mutex_unlock(&requestLock);
    return req;
}

void csClearRequests(void) {
    pthread_mutex_lock(&requestLock);
    CsRequest *req = requestListHead;
    requestListHead = nullptr;
    gTail = nullptr;
    for (LinkCount &c : gCounts) c.queued = 0;
    pthread_mutex_unlock(&requestLock);
    while (req != nullptr) {
        CsRequest *next = req->next;
        std::free(req);
        req = next;
    }
}

}  // extern "C"
