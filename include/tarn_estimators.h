/* Distance estimators and tracking filters. */
#ifndef TARN_ESTIMATORS_H
#define TARN_ESTIMATORS_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

/* An estimate passed between filters, and the state the Kalman filter and
 * the sliding windows keep. Distances in metres (or metres x distSF where the
 * caller says so), confidence in percent (-1 = none). */
typedef struct RangeEstimate {
    uint8_t valid; /* 1 = usable */
    double dest;
    double conf;
    double vest; /* velocity, m/s */
} RangeEstimate;

/* State of the confidence-weighted IIR filter (the caller's previous output). */
typedef struct IirState {
    uint8_t valid;
    double dest;
    double conf;
} IirState;

/* Control of a sliding window; the caller owns the slots and timestamps. */
typedef struct SlidingWindowCtl {
    uint16_t size;      /* number of slots */
    uint16_t frameSize; /* 0 median, 100 mean, 1..99 trimmed mean (percent) */
    uint16_t index;     /* slot written last */
} SlidingWindowCtl;

/* Fixed capacities of the tracking state. */
#define TARN_MAX_WINDOW_SLOTS 20
#define TARN_MAX_MUSIC_ORDERS 7
#define TARN_MAX_ANT_PATHS 4

TARN_END_DECLS

#endif /* TARN_ESTIMATORS_H */
