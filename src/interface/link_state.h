// What the library keeps for a link beside its registry entry. The entry is
// the host-facing four-field record (a host may allocate it itself and hand
// it over with csContextListAddItem), so the link's own state cannot be
// appended to it, nor to the context, whose size is part of the contract:
// the library allocates it here, on the link's first use, and frees it with
// the entry.
#pragma once

#include "tarn.h"
#include "track/track_state.h"

// What a link carries from one computation to the next besides its
// context's PresState (the tracked estimates, counters and calibration run,
// where csInit and csSetParam put them): the memory of its tracking filters,
// its moving-target mode, its step timing and its combination. The worker's
// pipelines update it in place, so links never share state. Written by the
// library only (the worker, and the host functions while they hold the
// registry lock).
struct TarnLinkState {
    // The phase result filter's and the round-trip window's memory. Its
    // tracked-estimate fields (time, valid, dest, conf, vest, counters,
    // rttP, rttK) are not used: the PresState holds those.
    NewPresState filters;
    // The tracking mode and the moving-target state (track/track_state.h), set
    // with tarnSetTrackingMode; zero-filled: mode 0.
    TarnLinkMotion motion;
    // The step timing given with tarnSetStepTiming; size 0: none given
    // (the timing is unknown).
    TarnStepTiming stepTiming;
    // The combination mode set with tarnSetCombination; zero-filled: 0, the
    // default rule.
    uint32_t combination;
};

namespace tarn_iface {

// One link's record, zero-filled at creation. It belongs to the entry whose
// address, link reference and context it was made for: an entry found with
// another reference or context (a host freed its own entry and the address
// came back) gets it reset, as a new link would.
struct LinkRecord {
    const CsContextItem *entry;
    CsLinkRef linkRef;
    const CsContext *ctx;
    LinkRecord *next;
    TarnLinkState state;
    // Candidates and result of the latest computation (tarnGetLatestComputation).
    TarnLatestComputation latest;
};

// All below: the caller holds the registry lock.

// The record of a registered entry, made on first use. Null only when it
// cannot be allocated (logged at level 1): the caller then leaves the
// link's state alone (an estimate is not computed).
LinkRecord *linkRecordLocked(CsContextItem *item);
// The same, never allocating: null when the link has no state yet (or its
// record belongs to an earlier entry at the address).
LinkRecord *existingLinkRecordLocked(const CsContextItem *item);
// linkRecordLocked's state, or null.
TarnLinkState *linkStateLocked(CsContextItem *item);

// For the registry. Takes the record of `entry` out of the list (null: it
// has none); free it with freeLinkRecords.
LinkRecord *detachLinkRecordLocked(const CsContextItem *entry);
// Takes out the records whose entries are no longer listed, except that of
// `keep` (an entry removed while its callback runs); returns them chained.
LinkRecord *detachUnlistedLinkRecordsLocked(const CsContextItem *keep);
// Frees a chain of detached records (no lock needed).
void freeLinkRecords(LinkRecord *chain);
// Records in the list (tests).
int linkRecordCountLocked();

}  // namespace tarn_iface
