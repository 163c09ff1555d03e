// Library-internal parts of the service interface (not exported).
#pragma once

#include <cstddef>

#include "tarn_interface.h"

extern "C" {

// Registry lock with per-thread ownership tracking. Taking it again on a
// thread that already holds it only counts the nesting, so a callback that
// calls back into the registry cannot deadlock the worker.
void tarnRegistryLock(void);
void tarnRegistryUnlock(void);
// True while the calling thread holds the registry lock (the worker during a
// computation and its result callback, or a host between the lock calls).
bool tarnRegistryHeldByThisThread(void);

// First entry with this link reference; the caller holds the registry lock.
CsContextItem *tarnRegistryFindLocked(CsLinkRef linkRef);

// Restarts the phase output window of a freshly laid out context: in its
// registry entry's saved state when the context is registered, otherwise in
// gNewPres (a context used directly, without the registry). Serialised with
// the worker through the registry lock.
void tarnResetNewLinkWindow(const CsContext *ctx, CsLinkRef linkRef);

// Zero-filling allocator used for entries, contexts, the scratch options
// record and requests. Tests replace it to exercise the failure paths.
extern void *(*tarnIfCalloc)(size_t count, size_t size);

// Number of worker threads started so far in this process.
int tarnWorkerStartCount(void);

}  // extern "C"
