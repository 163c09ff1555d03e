/* Measurement intake: estimator context, step and procedure input, ranging state. */
#ifndef TARN_MEASUREMENT_H
#define TARN_MEASUREMENT_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

TARN_END_DECLS

#endif /* TARN_MEASUREMENT_H */
