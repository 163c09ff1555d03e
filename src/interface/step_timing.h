// Step durations from a link's CS step timing (tarnSetStepTiming): the
// composition of each step mode out of its CS_SYNC packets, tone slots and
// gaps (the formulas are in tarn_interface.h). Pure functions; not exported.
#pragma once

#include "tarn_interface.h"

namespace tarn_link {

// True when the record gives a timing (one of its four times non-zero); a
// record of zeros asks for "timing unknown".
bool stepTimingGiven(const TarnStepTiming &t);

// Empty string when a given timing can be taken, else why not (for the log).
// Only the values are checked, not the size.
const char *stepTimingFault(const TarnStepTiming &t);

// Duration of the CS_SYNC packet (us) for the record's PHY and RTT type.
double syncDurationUs(const TarnStepTiming &t);

// Duration of one step of `mode` (0..3) in a procedure with `nap` antenna
// paths (1..4), in microseconds; 0 for a mode or path count outside those.
double stepDurationUs(const TarnStepTiming &t, int mode, int nap);

}  // namespace tarn_link
