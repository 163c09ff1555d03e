// Allocation-free eigen helpers for the hot estimate path. Internal to the
// library; the exported eigen interface and root finder keep their own
// general-purpose behaviour.
#pragma once

#include "tarn_common.h"

namespace tarn_math {

// Largest Hermitian matrix hermitianEigen accepts.
constexpr int kFastHermMax = 28;
// Highest polynomial degree polyRootsFast accepts.
constexpr int kFastRootsMaxDegree = 54;

// Eigen-decomposition of the Hermitian n x n matrix read column by column
// (entry (r, c) at in[c * stride + r]; the solver uses its lower triangle).
// Eigenvalues ascending into values[0..n-1]; the unit eigenvector of
// values[k] in column k of the row-major n x n array vectors. Returns false,
// writing nothing, when n is outside 1..28, stride < n, or the solver did not
// converge. Uses one static work area under a lock; no heap use.
bool hermitianEigen(const TarnCplxD *in, int n, int stride, double *values, TarnCplxD *vectors);

// Roots of the polynomial with `count` complex coefficients, highest power
// first, as the eigenvalues of its companion matrix, ordered by ascending
// magnitude (earlier first on equal magnitude). The coefficients are
// normalised by coef[0] as the exported root finder does. Returns the number
// of roots written (count - 1), or 0 when count is outside 2..55, a
// normalised coefficient is not finite, or the iteration did not converge.
// Eigenvalues only, no eigenvectors; same work area rules as above.
int polyRootsFast(const TarnCplxD *coef, int count, TarnCplxD *roots);

}  // namespace tarn_math
