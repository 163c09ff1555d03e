// Library-internal parts of the measurement intake (not exported).
#pragma once

#include "tarn_measurement.h"

namespace tarn_measurement {

// csInit for a context that is registered as a link: the same layout and
// logs, but the shared gNewPres is left alone (a registered link's tracking
// state lives in its registry entry, which the interface layer resets).
int initLinkContext(CsContext *ctx, CsLinkRef linkRef);

// The procedure time in microseconds, kept wider than the 32-bit stamps a
// step-level record carries (they wrap every 71.6 minutes): the new stamp is
// taken as the nearer of its 2^32 aliases around the previous time, so the
// filters never see time jump back at a wrap. A previous time that is not
// positive (no procedure yet) takes the stamp as it is.
double unwrapTimeUs(double previousUs, uint32_t stampUs);

}  // namespace tarn_measurement
