// Impulse-response magnitudes of one antenna path, for callers that want to
// look at the response itself (not exported).
#pragma once

#include "rtp/rtp_stages.h"

namespace tarn_rtp {

// Work area of the impulse response: room for the largest transform.
struct CirWork {
    TarnCplxD resp[TARN_CIR_MAX_SIZE];
    double mag[TARN_CIR_MAX_SIZE];
    double scratch[TARN_CIR_MAX_SIZE];  // sorted copy for the median, then peak values
    uint16_t peakLoc[TARN_CIR_MAX_SIZE];
};


// Transform size the impulse response uses for these options: ifftSize when it
// is a power of two from 128 (room for the 79 channels) to 16384, else 512.
int cirTransformSize(const ConfigOpts &opts);

// Writes the impulse-response magnitudes of antenna path `path` (0..3), the
// very response algProcessCir measures, to out[0..N-1] and one tap's length in
// metres to *tapM. Returns N, or 0 (nothing written) when path is outside 0..3
// or capacity is below N. `work` is the caller's.
int cirPathMagnitudes(const ToneRecord &rawMeas, const ToneRecord &procMeas,
                      const ConfigOpts &opts, int path, CirWork &work, double *out, int capacity,
                      double *tapM);

// algProcessCir on the caller's work area (no lock): paths 0..nap-1.
void cirProcess(const ToneRecord &rawMeas, const ToneRecord &procMeas, const ConfigOpts &opts,
                int nap, CirWork &work, CirEstimate &cir);

}  // namespace tarn_rtp
