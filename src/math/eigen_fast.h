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

// Work area of centroHermitianNoise: plain arrays, owned by the caller.
struct SymEigenWork {
    static constexpr int kMaxRotations = 2048;
    double a[kFastHermMax * kFastHermMax];  // real matrix, then its Householder basis
    double d[kFastHermMax];
    double e[kFastHermMax];
    // The QL sweeps' plane rotations, replayed on the wanted eigenvectors only.
    double rotC[kMaxRotations];
    double rotS[kMaxRotations];
    uint8_t rotAt[kMaxRotations];
};

// Noise subspace of the Hermitian, centro-Hermitian (J conj(R) J = R) n x n
// matrix R (row stride `stride`), the shape of a forward-backward covariance:
// a sparse unitary Q makes Q^H R Q real symmetric, which a real solver
// decomposes at a quarter of the complex cost; its QL sweeps record their
// rotations, which are then applied to the wanted eigenvectors only (a
// sweep's rotations applied to all n vectors are most of a full
// decomposition's cost). Writes the eigenvalues
// ascending into values[0..n-1] and the unit eigenvectors of the `count`
// smallest as rows of noise (noise[c * n + i] is component i of vector c).
// Returns false, writing nothing useful, when n is outside 1..28, count is
// outside 0..n, stride < n, or the solver did not converge. No heap use, no
// lock: the work area is the caller's.
bool centroHermitianNoise(const TarnCplxD *R, int n, int stride, int count, SymEigenWork *work,
                          double *values, TarnCplxD *noise);

// Roots of a conjugate self-reciprocal polynomial (coef[2m - k] =
// conj(coef[k]), `count` = 2m + 1 coefficients, highest power first), the
// shape of a root-MUSIC polynomial: its roots come in pairs z, 1/conj(z), so
// only the m roots inside the unit circle are iterated and each one's mirror
// is implied. The `nearest` roots closest to the unit circle get the
// accuracy of the QR eigenvalues (two polishing sweeps), the others the
// accuracy at which they settle, or (when nearest < m) only the accuracy
// that shows they lie well inside those nearest ones. Writes all 2m roots ordered by ascending
// magnitude (earlier first on equal magnitude, inside before outside) and
// returns 2m; falls
// back to polyRootsFast on the full polynomial when the iteration does not
// settle. Returns 0 when count is even or outside 3..55, or no route found
// the roots. `warm` (warmCount points inside the unit circle, at most m are
// used; null for none) starts the iteration from a related polynomial's
// inside roots, such as a smaller root-MUSIC order's: the roots found are
// the same to rounding, in fewer sweeps when the start is close.
int selfReciprocalRoots(const TarnCplxD *coef, int count, int nearest, TarnCplxD *roots,
                        const TarnCplxD *warm = nullptr, int warmCount = 0);

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
