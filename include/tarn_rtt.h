/* Round-trip-time distance estimator. */
#ifndef TARN_RTT_H
#define TARN_RTT_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

TARN_END_DECLS

#endif /* TARN_RTT_H */
