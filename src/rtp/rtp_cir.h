// Impulse-response magnitudes of one antenna path, for callers that want to
// look at the response itself (not exported).
#pragma once

#include "tarn_rtp.h"

namespace tarn_rtp {

// Transform size the impulse response uses for these options: ifftSize when it
// is a power of two from 128 (room for the 79 channels) to 16384, else 512.
int cirTransformSize(const ConfigOpts &opts);

// Writes the impulse-response magnitudes of antenna path `path` (0..3), the
// very response algProcessCir measures, to out[0..N-1] and one tap's length in
// metres to *tapM. Returns N, or 0 (nothing written) when path is outside 0..3
// or capacity is below N. Serialised with algProcessCir on a shared work area.
int cirPathMagnitudes(const ToneRecord &rawMeas, const ToneRecord &procMeas,
                      const ConfigOpts &opts, int path, double *out, int capacity, double *tapM);

}  // namespace tarn_rtp
