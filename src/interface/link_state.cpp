// The links' records beside the registry: a list under the registry lock,
// searched by entry address (a handful of links, so a list is enough).
#include "interface/link_state.h"

#include <cstdlib>
#include <cstring>

#include "interface/interface_internal.h"
#include "tarn_diag.h"

namespace tarn_iface {

namespace {

LinkRecord *gRecords = nullptr;

LinkRecord *findByEntry(const CsContextItem *entry) {
    for (LinkRecord *r = gRecords; r != nullptr; r = r->next)
        if (r->entry == entry) return r;
    return nullptr;
}

bool madeFor(const LinkRecord &r, const CsContextItem &item) {
    return r.linkRef == item.linkRef && r.ctx == item.ctx;
}

bool listed(const CsContextItem *entry) {
    for (const CsContextItem *it = contextListHead; it != nullptr; it = it->next)
        if (it == entry) return true;
    return false;
}

}  // namespace

LinkRecord *linkRecordLocked(CsContextItem *item) {
    if (item == nullptr) return nullptr;
    LinkRecord *r = findByEntry(item);
    if (r != nullptr) {
        if (!madeFor(*r, *item)) {
            DEBUG_LOG(2, "Link %d: its entry was seen for another link; its state restarts.\n",
                      static_cast<int>(item->linkRef));
            std::memset(&r->state, 0, sizeof r->state);
            std::memset(&r->latest, 0, sizeof r->latest);
            r->linkRef = item->linkRef;
            r->ctx = item->ctx;
        }
        return r;
    }
    r = static_cast<LinkRecord *>(tarnIfCalloc(1, sizeof(LinkRecord)));
    if (r == nullptr) {
        DEBUG_LOG(1, "No memory for the state of link %d.\n", static_cast<int>(item->linkRef));
        return nullptr;
    }
    r->entry = item;
    r->linkRef = item->linkRef;
    r->ctx = item->ctx;
    r->next = gRecords;
    gRecords = r;
    return r;
}

LinkRecord *existingLinkRecordLocked(const CsContextItem *item) {
    if (item == nullptr) return nullptr;
    LinkRecord *r = findByEntry(item);
    return r != nullptr && madeFor(*r, *item) ? r : nullptr;
}

TarnLinkState *linkStateLocked(CsContextItem *item) {
    LinkRecord *r = linkRecordLocked(item);
    return r != nullptr ? &r->state : nullptr;
}

LinkRecord *detachLinkRecordLocked(const CsContextItem *entry) {
    for (LinkRecord **at = &gRecords; *at != nullptr; at = &(*at)->next) {
        if ((*at)->entry == entry) {
            LinkRecord *r = *at;
            *at = r->next;
            r->next = nullptr;
            return r;
        }
    }
    return nullptr;
}

LinkRecord *detachUnlistedLinkRecordsLocked(const CsContextItem *keep) {
    LinkRecord *out = nullptr;
    LinkRecord **at = &gRecords;
    while (*at != nullptr) {
        LinkRecord *r = *at;
        if (r->entry != keep && !listed(r->entry)) {
            *at = r->next;
            r->next = out;
            out = r;
        } else {
            at = &r->next;
        }
    }
    return out;
}

void freeLinkRecords(LinkRecord *chain) {
    while (chain != nullptr) {
        LinkRecord *next = chain->next;
        std::free(chain);
        chain = next;
    }
}

int linkRecordCountLocked() {
    int n = 0;
    for (const LinkRecord *r = gRecords; r != nullptr; r = r->next) ++n;
    return n;
}

}  // namespace tarn_iface
