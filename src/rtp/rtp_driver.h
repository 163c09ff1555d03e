// Internal pieces of the phase driver, for its tests (not exported).
#pragma once

#include "tarn_rtp.h"

namespace tarn_rtp {

// True when tracking restarts with a procedure at `now` seconds: no usable
// previous estimate within fiMaxPeriod, or the invalid-procedure counter at
// inValidCounterMax (which it then clears).
bool rtpResetDecision(PresState &pres, const ConfigOpts &opts, double now);

}  // namespace tarn_rtp
