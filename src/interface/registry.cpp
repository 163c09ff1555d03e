// Registry of link contexts, keyed by the host's link reference.
#include <cstdlib>

#include "interface/interface_internal.h"
#include "tarn_diag.h"

namespace {

// Nesting depth of the registry lock on this thread (0 = not held).
thread_local int tRegistryDepth = 0;

void freeEntry(CsContextItem *entry) {
    std::free(entry->ctx);
    std::free(entry);
}

}  // namespace

extern "C" {

CsContextItem *contextListHead = nullptr;
pthread_mutex_t contextLock = PTHREAD_MUTEX_INITIALIZER;

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
    tarnRegistryUnlock();
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

void csContextClearItem(CsLinkRef linkRef) {
    tarnRegistryLock();
    CsContextItem **link = &contextListHead;
    while (*link != nullptr && (*link)->linkRef != linkRef) link = &(*link)->next;
    CsContextItem *victim = *link;
    if (victim != nullptr) *link = victim->next;
    tarnRegistryUnlock();
    if (victim != nullptr) freeEntry(victim);
}

void csContextListClearItems(void) {
    tarnRegistryLock();
    CsContextItem *it = contextListHead;
    contextListHead = nullptr;
    tarnRegistryUnlock();
    while (it != nullptr) {
        CsContextItem *next = it->next;
        freeEntry(it);
        it = next;
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
