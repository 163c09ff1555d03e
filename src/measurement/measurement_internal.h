// Library-internal parts of the measurement intake (not exported).
#pragma once

#include "tarn_measurement.h"

namespace tarn_measurement {

// csInit for a context that is registered as a link: the same layout and
// logs, but the shared gNewPres is left alone (a registered link's tracking
// state lives in its registry entry, which the interface layer resets).
int initLinkContext(CsContext *ctx, CsLinkRef linkRef);

}  // namespace tarn_measurement
