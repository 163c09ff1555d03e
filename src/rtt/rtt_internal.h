// The round-trip-time estimator's engine functions (the exported
// RTT_calcEstimate is an adapter over them).
#pragma once

#include "tarn_config_types.h"
#include "tarn_estimators_types.h"
#include "tarn_measurement_types.h"

namespace tarn_rtt {

// The round-trip-time candidate of the stored procedure `meas` at `timeUs`
// (microseconds): valid 1 with dest in metres x distSF and conf 0, or valid
// 0 when the procedure gives no distance (no round-trip step, too few usable
// ones, a dropped negative distance); the tracking state is then left
// alone. `link` holds the Kalman state and the time of the previous
// estimate, `filters` the sliding window; both are updated in place. opts is
// only read.
RangeEstimate rttEstimate(const CsMeasurement &meas, double timeUs, const ConfigOpts &opts,
                          PresState &link, NewPresState &filters, struct RttSpread *spread = nullptr);

// How well this procedure's round-trip steps agree: what the uncertainty of
// the round-trip candidate is formed from.
struct RttSpread {
    int steps = 0;         // times of flight that entered the median
    double stepSdM = 0.0;  // their robust standard deviation (1.4826 x MAD), metres
    double medianSdM = -1.0;  // standard deviation of their median, metres; -1 none
};

// Calibration mode (EnableCal 1): no distance offset and no tracking memory,
// written into the link's options where they stay (they show in the options
// dump and in the record a host reads back) until a record is installed
// again. Nothing without calibration mode.
void applyRttCalibrationMode(ConfigOpts &opts);

}  // namespace tarn_rtt
