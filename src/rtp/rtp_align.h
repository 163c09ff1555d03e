// Offset arithmetic of the event phase alignment (not exported).
#pragma once

#include <cstdint>

namespace tarn_rtp {

// v moved by whole turns into [-turn/2, turn/2], whatever its size (the
// result equals v - turn x round(v / turn), halves away from zero). turn > 0;
// a non-finite v gives NaN.
double foldHalfTurn(double v, double turn);

// Offset of an event from `count` (1..5) phase differences folded into
// [0, qWrap): the mean after the values beyond the largest gap between sorted
// neighbours are folded to within half a turn of zero, when that gap exceeds
// qWrap / 2. Rounded half away from zero when `round` is set. qWrap >= 2.
double eventPhaseOffset(const double *diff, int count, uint32_t qWrap, bool round);

}  // namespace tarn_rtp
