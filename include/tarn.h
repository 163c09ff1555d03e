/* libtarn: distance estimation from Bluetooth Channel Sounding results.
 * Umbrella header for hosts: every exported function, record and datum. */
#ifndef TARN_H
#define TARN_H

#include "tarn_common.h"
#include "tarn_diag.h"
#include "tarn_config.h"
#include "tarn_math.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"
#include "tarn_rtt.h"
#include "tarn_rtp.h"
#include "tarn_interface.h"

#endif /* TARN_H */
