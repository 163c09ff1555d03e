// Extension: a link's options in force (calibration table included) read back
// by the host, for tools that show or keep what a calibration run produced.
#include <cstring>

#include "interface/interface_internal.h"

extern "C" int tarnGetLinkOptions(CsLinkRef linkRef, TarnLinkOptions *out) {
    if (out == nullptr || out->size < TARN_LINK_OPTIONS_V1_SIZE) return 0;
    // The copy is taken under the registry lock, so it never catches an
    // estimate half-way through rewriting the options. Nested on the worker
    // (inside the callback), so it never waits there.
    TarnLinkOptions copy{};
    tarnRegistryLock();
    const CsContextItem *item = tarnRegistryFindLocked(linkRef);
    const bool found = item != nullptr && item->ctx != nullptr && item->ctx->opts != nullptr;
    if (found) {
        std::memcpy(&copy.opts, item->ctx->opts, sizeof copy.opts);
        if (item->ctx->pres != nullptr) {
            copy.calRunActive = item->ctx->pres->calRunActive == 1 ? 1 : 0;
            copy.calProcedures = item->ctx->pres->calProcCount;
        }
    }
    tarnRegistryUnlock();
    if (!found) return 0;
    copy.size = TARN_LINK_OPTIONS_V1_SIZE;
    copy.version = TARN_LINK_OPTIONS_VERSION;
    const uint32_t n = out->size < sizeof copy ? out->size : static_cast<uint32_t>(sizeof copy);
    std::memcpy(out, &copy, n);
    return 1;
}
