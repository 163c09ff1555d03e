/* Configuration: options record and defaults, configuration file, calibration table file. */
#ifndef TARN_CONFIG_H
#define TARN_CONFIG_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

TARN_END_DECLS

#endif /* TARN_CONFIG_H */
