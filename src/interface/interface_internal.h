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

// Zero-filling allocator used for entries, contexts, the scratch options
// record and requests. Tests replace it to exercise the failure paths.
extern void *(*tarnIfCalloc)(size_t count, size_t size);

// Number of worker threads started so far in this process.
int tarnWorkerStartCount(void);

// The link whose result callback is running, for the registry: a link
// removed from inside its own callback is unlinked at once but freed only
// when the callback has returned (the worker still hands its result record
// to the host and the extensions read its context).
void tarnRegistryBeginDelivery(CsContextItem *item);
// Ends the delivery; frees the entry if it was removed meanwhile and returns
// true in that case.
bool tarnRegistryEndDelivery(void);
// The link being delivered, null outside a callback or once it was removed.
const CsContextItem *tarnRegistryDelivering(void);

}  // extern "C"

// The worker's side of the queue: takes the head request and remembers it as
// the one being served (null when the queue is empty).
CsRequest *tarnQueueTake(void);
// True when the link of the request taken last was removed after it was
// taken: it must get no callback, even if a new link took its reference.
bool tarnQueueInFlightDropped(void);
// Drops the queued requests of `link` (of every link when everyLink) without
// a callback, and marks the request being served as dropped when it is one
// of them. Called by the registry when it removes links.
void tarnQueueDropLink(CsLinkRef link, bool everyLink);


#include "interface/link_integrity.h"
#include "interface/link_state.h"

namespace tarn_iface {

// What one computation of a link's estimate produced.
struct LinkEstimate {
    RangeEstimate phase;  // phase candidate (valid 1: a usable distance)
    RangeEstimate rtt;    // round-trip-time candidate (likewise)
    CsEstimate *result;   // the link's result record, combined: what the callback gets
    LinkIntegrity integrity;  // uncertainties and flags of the computation
};

// Computes the estimate of a registered link on the worker's work area: the
// options in force, the phase and round-trip-time pipelines on the link's
// own state, the combination written into the link's result record. The
// caller holds the registry lock and has checked that the context is laid
// out. Worker thread only (or a caller holding the registry lock while no
// worker computes, as the fuzz target does). False, nothing computed or
// written, when the link's state cannot be allocated (logged).
bool computeLinkEstimate(CsContextItem *item, LinkEstimate *out);

// Impulse response of antenna path `path` of the latest computation (see
// tarnGetLatestImpulseResponse); opts are the options it ran with.
int latestImpulseResponse(const ConfigOpts &opts, int path, double *magnitudes, int capacity,
                          double *tapM, double *firstM);

// The host-thread setters' road: takes the registry (nested on the worker
// inside the callback, so it never waits there), finds the link and runs
// change(state) on its state. Returns 1 when changed; 0 with *unknown set
// for a link not registered (the caller says so in its own words), 0 when
// the state cannot be allocated (logged).
template <typename Change>
int changeLinkState(CsLinkRef linkRef, bool *unknown, Change &&change) {
    tarnRegistryLock();
    CsContextItem *item = tarnRegistryFindLocked(linkRef);
    TarnLinkState *state = item != nullptr ? linkStateLocked(item) : nullptr;
    if (state != nullptr) change(*state);
    tarnRegistryUnlock();
    *unknown = item == nullptr;
    return state != nullptr ? 1 : 0;
}

}  // namespace tarn_iface
