/* Numeric toolkit: statistics, sorting, complex helpers, matrices, polynomials, FFT, SVD, spline. */
#ifndef TARN_MATH_H
#define TARN_MATH_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

TARN_END_DECLS

#endif /* TARN_MATH_H */
