/* libtarn: distance estimation from Bluetooth Channel Sounding results.
 * Umbrella header for hosts: every exported function, record and datum.
 * The headers it gathers are of four kinds:
 *   base         tarn_common.h, tarn_math.h (numeric toolkit), tarn_diag.h
 *                (logging and dumps): stateless helpers;
 *   records      tarn_config_types.h, tarn_estimators_types.h,
 *                tarn_measurement_types.h, tarn_rtp_types.h: the plain
 *                records, sizes and constants hosts build or read;
 *   legacy       tarn_config.h, tarn_estimators.h, tarn_measurement.h,
 *   exports      tarn_rtp.h, tarn_rtt.h: the exported pipeline, intake,
 *                estimators, drivers, configuration and their data (each
 *                includes its records);
 *   host surface tarn_interface.h: host functions, registry, queue and
 *                worker, with this library's extensions. */
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
