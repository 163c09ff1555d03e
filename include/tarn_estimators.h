/* Distance estimators and tracking filters. */
#ifndef TARN_ESTIMATORS_H
#define TARN_ESTIMATORS_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

TARN_END_DECLS

#endif /* TARN_ESTIMATORS_H */
