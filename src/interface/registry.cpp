// Registry of link contexts, keyed by the host's link reference.
#include <cstdlib>

#include "interface/interface_internal.h"
#include "interface/link_state.h"
#include "tarn_diag.h"

namespace {

// Nesting depth of the registry lock on this thread (0 = not held).
thread_local int tRegistryDepth = 0;

// The entry whose callback is running, and whether it was removed meanwhile
// (both under the registry lock).
CsContextItem *gDelivering = nullptr;
bool gDeliveringRemoved = false;

// Frees a removed entry unless its callback is running (the worker frees it
// when the callback returns). The caller holds the registry lock.
bool freeNowLocked(CsContextItem *entry) {
    if (entry != gDelivering) return true;
    gDeliveringRemoved = true;
    return false;
}

// Frees an unlinked entry, its context and the record it had (detached
// from the records under the lock).
void freeEntry(CsContextItem *entry, tarn_iface::LinkRecord *record) {
    tarn_iface::freeLinkRecords(record);
    std::free(entry->ctx);
    std::free(entry);
}

}  // namespace

extern "C" {

void tarnRegistryLock(void) {
    if (tRegistryDepth++ == 0) pthread_mutex_lock(&contextLock);
}

void tarnRegistryUnlock(void) {
    if (tRegistryDepth == 0) {
        DEBUG_LOG(1, "%s: registry lock not held by this thread.\n", "csContextListunlock");
        return;
    }
    if (--tRegistryDepth == 0) pthread_mutex_unlock(&contextLock);
}

bool tarnRegistryHeldByThisThread(void) {
    return tRegistryDepth > 0;
}

CsContextItem *tarnRegistryFindLocked(CsLinkRef linkRef) {
    for (CsContextItem *it = contextListHead; it != nullptr; it = it->next) {
        if (it->linkRef == linkRef) return it;
    }
    return nullptr;
}

int csContextListAddItem(CsContextItem *entry) {
    if (entry == nullptr) return 0;
    tarnRegistryLock();
    for (CsContextItem *it = contextListHead; it != nullptr; it = it->next) {
        if (it == entry) {
            // Pushing it again would turn the list into a cycle.
            tarnRegistryUnlock();
            DEBUG_LOG(1, "Registry entry for link %d is already listed.\n",
                      static_cast<int>(entry->linkRef));
            return 0;
        }
    }
    entry->next = contextListHead;
    contextListHead = entry;
    // A newly listed entry starts with no state, also at an address an
    // earlier entry had; records of entries a host unlinked itself go too.
    tarn_iface::LinkRecord *stale = tarn_iface::detachUnlistedLinkRecordsLocked(gDelivering);
    if (tarn_iface::LinkRecord *old = tarn_iface::detachLinkRecordLocked(entry)) {
        old->next = stale;
        stale = old;
    }
    tarnRegistryUnlock();
    tarn_iface::freeLinkRecords(stale);
    return 1;
}

int csContextListExistItem(CsLinkRef linkRef) {
    tarnRegistryLock();
    const int found = tarnRegistryFindLocked(linkRef) != nullptr ? 1 : 0;
    tarnRegistryUnlock();
    return found;
}

CsContextItem *csContextListGetItem(CsLinkRef linkRef) {
    tarnRegistryLock();
    CsContextItem *item = tarnRegistryFindLocked(linkRef);
    tarnRegistryUnlock();
    return item;
}

void tarnRegistryBeginDelivery(CsContextItem *item) {
    gDelivering = item;
    gDeliveringRemoved = false;
}

bool tarnRegistryEndDelivery(void) {
    CsContextItem *item = gDelivering;
    const bool removed = gDeliveringRemoved;
    gDelivering = nullptr;
    gDeliveringRemoved = false;
    if (removed) freeEntry(item, tarn_iface::detachLinkRecordLocked(item));
    return removed;
}

const CsContextItem *tarnRegistryDelivering(void) {
    return gDeliveringRemoved ? nullptr : gDelivering;
}

void csContextClearItem(CsLinkRef linkRef) {
    tarnRegistryLock();
    CsContextItem **link = &contextListHead;
    while (*link != nullptr && (*link)->linkRef != linkRef) link = &(*link)->next;
    CsContextItem *victim = *link;
    tarn_iface::LinkRecord *record = nullptr;
    if (victim != nullptr) {
        *link = victim->next;
        // Inside the registry lock, so a worker that takes the lock next
        // finds the link's requests gone, also the one it may hold already.
        tarnQueueDropLink(linkRef, false);
        if (freeNowLocked(victim))
            record = tarn_iface::detachLinkRecordLocked(victim);
        else
            victim = nullptr;
    }
    tarnRegistryUnlock();
    if (victim != nullptr) freeEntry(victim, record);
}

void csContextListClearItems(void) {
    tarnRegistryLock();
    CsContextItem *it = contextListHead;
    contextListHead = nullptr;
    tarnQueueDropLink(0, true);
    CsContextItem *freeList = nullptr;
    while (it != nullptr) {
        CsContextItem *next = it->next;
        if (freeNowLocked(it)) {
            it->next = freeList;
            freeList = it;
        }
        it = next;
    }
    // Every record but the one of an entry whose callback runs.
    tarn_iface::LinkRecord *records = tarn_iface::detachUnlistedLinkRecordsLocked(gDelivering);
    tarnRegistryUnlock();
    tarn_iface::freeLinkRecords(records);
    while (freeList != nullptr) {
        CsContextItem *next = freeList->next;
        freeEntry(freeList, nullptr);
        freeList = next;
    }
}

void csContextListlock(void) {
    if (tRegistryDepth > 0) {
        DEBUG_LOG(1, "%s: registry lock already held by this thread.\n", "csContextListlock");
    }
    tarnRegistryLock();
}

void csContextListunlock(void) {
    tarnRegistryUnlock();
}

}  // extern "C"
