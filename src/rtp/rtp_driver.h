// Internal pieces of the phase driver, for its tests (not exported).
#pragma once

#include "tarn_rtp.h"

namespace tarn_rtp {

// True when tracking restarts with a procedure at `now` seconds: no usable
// previous estimate within fiMaxPeriod, or the invalid-procedure counter at
// inValidCounterMax (which it then clears).
bool rtpResetDecision(PresState &pres, const ConfigOpts &opts, double now);

// Number of the latest RTP_calcEstimate call in this process.
uint32_t rtpLatestComputation();

// Impulse-response magnitudes of antenna path `path` as the impulse-response
// stage of computation number `computation` measured them, while that is
// still the latest one; opts must be the options it ran with. Tap k lies at
// *firstM + k x *tapM metres. Returns the transform size written to out, or 0
// (nothing written) when a later computation replaced it, it did not reach
// that stage, path is not one of its paths, or capacity is too small.
int rtpLatestImpulseResponse(uint32_t computation, const ConfigOpts &opts, int path, double *out,
                             int capacity, double *tapM, double *firstM);

}  // namespace tarn_rtp
