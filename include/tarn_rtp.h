/* Phase-based ranging pipeline. */
#ifndef TARN_RTP_H
#define TARN_RTP_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

TARN_END_DECLS

#endif /* TARN_RTP_H */
