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

}  // extern "C"

namespace tarn_iface {

// What one computation of a link's estimate produced.
struct LinkEstimate {
    RangeEstimate phase;  // phase candidate, as RTP_calcEstimate left it
    RangeEstimate rtt;    // round-trip-time candidate, as RTT_calcEstimate left it
    CsEstimate *result;   // the link's result record, combined: what the callback gets
    uint32_t phaseComputation;  // the phase driver's number of this computation
};

// Computes the estimate of a registered link: its tracking state swapped into
// gNewPres, RTP_calcEstimate, RTT_calcEstimate, the combination into the
// link's result record, the tracking state swapped back into the entry. The
// caller holds the registry lock and has checked that the context is laid out.
void computeLinkEstimate(CsContextItem *item, LinkEstimate *out);

}  // namespace tarn_iface
