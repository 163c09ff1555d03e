// Tone steps of a stored procedure, in step order (not exported).
#pragma once

#include <cstdint>

#include "rtp/rtp_internal.h"
#include "rtp/rtp_stages.h"

namespace tarn_rtp {

// Per-tone working arrays of one estimate, indexed [tone position][path].
struct RtpTones {
    uint8_t toneChannel[kMaxTones];
    TarnCplxI4 initToneIq[kMaxTones][kPaths];
    TarnCplxI4 reflToneIq[kMaxTones][kPaths];
    double tonePhase[kMaxTones][kPaths];  // both directions' phase sum, [0, qWrap)
    uint8_t initToneQual[kMaxTones][kPaths];
    uint8_t reflToneQual[kMaxTones][kPaths];
};

// Clears `tones` and fills it from the mode-2/mode-3 steps of the stored
// procedure (its step arrays are the context's slots) for paths 0..nap-1.
// Returns the number of tones, 0..256.
int rtpExtractTones(const CsMeasurement &meas, int nap, const ConfigOpts &opts, RtpTones &tones);

// Number of tones rtpExtractTones would return, without extracting them.
int rtpCountTones(const CsMeasurement &meas);

}  // namespace tarn_rtp
