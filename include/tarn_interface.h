/* Service interface: host functions, link registry, request queue and worker. */
#ifndef TARN_INTERFACE_H
#define TARN_INTERFACE_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

TARN_END_DECLS

#endif /* TARN_INTERFACE_H */
