/* Base: the numeric toolkit: statistics, sorting, complex helpers, matrices, polynomials, FFT, SVD, spline.
 *
 * Every routine is stateless and works on caller-owned arrays. Routines whose
 * running index or result count is an 8-bit value accept at most 127 elements
 * (256 for the byte-set helpers); a larger count is logged and handled like an
 * empty input. */
#ifndef TARN_MATH_H
#define TARN_MATH_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

/* ---- Extremes: index of the first extreme (NaN never wins); the value goes to *out. ---- */
TARN_API int8_t aaMathCalcMaxDouble(const double *values, int count, double *maxOut);
TARN_API uint32_t aaMathCalcMaxDoubleLong(const double *values, uint32_t count, double *maxOut);
TARN_API int8_t aaMathCalcMaxI4(const int32_t *values, int count, int32_t *maxOut);
TARN_API int8_t aaMathCalcMaxI1(const int8_t *values, int count, int8_t *maxOut);
TARN_API int8_t aaMathCalcMinDouble(const double *values, int count, double *minOut);
TARN_API int8_t aaMathCalcMinI4(const int32_t *values, int count, int32_t *minOut);
/* Row-major rows x cols matrix; returns the flat index row * cols + col. */
TARN_API int32_t max(const int32_t *matrix, int rows, int cols, int32_t *maxOut);

/* ---- Sums, means, root mean square ---- */
TARN_API double aaMathCalcSumDouble(const double *values, int count);
TARN_API double aaMathCalcSumDoubleLong(const double *values, uint32_t count);
TARN_API int32_t aaMathCalcSumI4(const int32_t *values, int count);
TARN_API int32_t aaMathCalcSumI1(const int8_t *values, int count);
TARN_API double aaMathCalcMeanDouble(const double *values, int count);
TARN_API double aaMathCalcMeanDoubleLong(const double *values, uint32_t count);
TARN_API double aaMathCalcMeanI4(const int32_t *values, int count);
TARN_API double aaMathCalcMeanI1(const int8_t *values, int count);
TARN_API double aaMathCalcRMS(const double *values, int count, int doRound);
TARN_API double aaMathCalcRMSLong(const double *values, uint32_t count, int doRound);

/* ---- Order statistics and dispersion ---- */
TARN_API double aaMathCalcMedianDouble(const double *values, int count);
TARN_API double aaMathCalcMedianDoubleLong(const double *values, uint32_t count);
TARN_API double aaMathCalcPercentileDouble(const double *values, int count, int percent);
TARN_API double aaMathCalcVariance(const double *values, int count);
TARN_API double aaMathCalcStd(const double *values, int count);

/* ---- Modulo (result folded into the sign of m) and differences ---- */
TARN_API void aaMathCalcModDouble(const double *in, double m, int count, double *out);
TARN_API void aaMathCalcModFloat(const float *in, float m, int count, float *out);
TARN_API void aaMathCalcModI4(const int32_t *in, int32_t m, int count, int32_t *out);
/* In place on a row-major int32 matrix. */
TARN_API void mod(int32_t *matrix, int rows, int cols, int32_t m);
/* out[i] = in[i+1] - in[i]; return count - 1. */
TARN_API int8_t aaMathCalcDiffDouble(const double *in, int count, double *out);
TARN_API int8_t aaMathCalcDiffI4(const int32_t *in, int count, int32_t *out);
TARN_API int8_t aaMathCalcDiffI1(const int8_t *in, int count, int8_t *out);

/* ---- Integer helpers ---- */
TARN_API int32_t aaMathSignedShift(int32_t value, int16_t shift, int doRound);
TARN_API int32_t aaMathRoundedDivide(int32_t n, int32_t d);
TARN_API int32_t aaMathFloorDivide(int32_t a, int32_t b);
TARN_API uint32_t sqrt_int(uint32_t a, int doRound);

/* ---- Complex helpers ---- */
TARN_API void aaMathCalcExpImag(double x, TarnCplxD *out);
TARN_API void aaMathCalcMagCmplxD(const TarnCplxD *in, int count, double *out);
TARN_API void aaMathCalcMagCmplxDLong(const TarnCplxD *in, uint32_t count, double *out);
TARN_API void aaMathCalcMagCmplxF(const TarnCplxF *in, int count, double *out);
TARN_API void aaMathCalcMagCmplxI(const TarnCplxI4 *in, int count, double *out);
TARN_API void aaMathCalcMagCmplxL(const TarnCplxL *in, int count, double *out);
/* In place; returns z. */
TARN_API TarnCplxD *aaMathCalcConjCmplxD(TarnCplxD *z);
TARN_API void aaMathCalcConjCmplxL(TarnCplxL *z);
TARN_API void aaMathCalcCplxDiv(TarnCplxD *out, TarnCplxD a, TarnCplxD b);
TARN_API void aaMathCalcCplxReciprocal(TarnCplxD *out, TarnCplxD a);
/* Radians. */
TARN_API void angle(const TarnCplxI4 *in, int count, double *out);
/* Angle quantised to `bits` bits of a full turn (degrees when bits is 0). */
TARN_API int32_t angleQ(TarnCplxI2 z, int bits, int32_t *out);

/* ---- Mask compaction (a non-zero mask byte keeps the element) ---- */
TARN_API int8_t aaMathValidateVector(const int32_t *in, const uint8_t *mask, int count,
                                     int32_t *out);
TARN_API int8_t aaMathValidateVectorD(const double *in, const uint8_t *mask, int count,
                                      double *out);
/* In place; returns the kept width (every row must keep the same number). */
TARN_API int validateVector2(uint8_t *matrix, int rows, int cols, const uint8_t *mask);

/* ---- Line and curve helpers ---- */
TARN_API double aaMathCalcIntercept(const int8_t *x, int count, const double *y, double slope,
                                    double scale);
TARN_API void aaMathCalcLine(double slope, double intercept, const int8_t *x, int count,
                             double scale, double *out);
/* Writes half the unwrapped phase (radians). */
TARN_API void unwrap(const double *in, int count, double *out);
TARN_API int parabolaMax3PointReg(double step, double y0, double y1, double y2, double *xOut,
                                  double *yOut);
/* Degrees. */
TARN_API int convertAzElToXyz(double az, double el, double *xOut, double *yOut, double *zOut);
TARN_API int convertXyzToAzEl(double x, double y, double z, double *azOut, double *elOut);

/* ---- Sorting with order: sortedOut[j] is values[orderOut[j]]; ascending, stable ---- */
TARN_API void aaMathSortVectorAndGetOrderDouble(const double *values, int count, double *sortedOut,
                                                uint8_t *orderOut, int descending);
TARN_API void aaMathSortVectorAndGetOrderDoubleLong(const double *values, uint32_t count,
                                                    double *sortedOut, uint32_t *orderOut,
                                                    int descending);
TARN_API void aaMathSortVectorAndGetUI2OrderDouble(const double *values, int count,
                                                   double *sortedOut, uint16_t *orderOut,
                                                   int descending);
TARN_API void aaMathSortVectorAndGetOrderI4(const int32_t *values, int count, int32_t *sortedOut,
                                            int8_t *orderOut, int descending);
TARN_API void aaMathSortVectorAndGetOrderI1(const int8_t *values, int count, int8_t *sortedOut,
                                            uint8_t *orderOut, int descending);

/* ---- Small in-place sorts ---- */
TARN_API void selectionSort(int32_t *values, int count);
/* One row: sorted ascending; several rows: every column sorted ascending. */
TARN_API void sort(const int32_t *in, int rows, int cols, int32_t *out);

/* ---- Byte sets and row permutations ---- */
TARN_API uint8_t aaMathCalcUnique(const uint8_t *values, int count, uint8_t *uniqueOut,
                                  uint8_t *firstOut);
TARN_API int8_t aaMathCalcUniqueCmplxD(const TarnCplxD *values, int count, TarnCplxD *uniqueOut,
                                       uint8_t *firstOut);
/* locOut receives, per value found in set, its first position in set. */
TARN_API uint8_t aaMathVectorIsMember(const uint8_t *values, const uint8_t *set, int count,
                                      int setCount, uint8_t *locOut);
/* missingOut receives the values that do not occur in set. */
TARN_API int8_t aaMathCalcMissing(const uint8_t *values, const uint8_t *set, int count,
                                  int setCount, uint8_t *missingOut);
/* New column j of every row = old column perm[j]. */
TARN_API void reorder(int32_t *matrix, int rows, int cols, const int8_t *perm);
TARN_API void reorder2(uint8_t *matrix, int rows, int cols, const int8_t *perm);

/* ---- Matrix helpers ---- */
TARN_API void aaMathMatSwapRows(const TarnCplxD *in, int n, int cols, TarnCplxD *out);
TARN_API int8_t aaMathMatGetCols(const TarnCplxD *in, int firstCol, int endCol, int rows,
                                 TarnCplxD *out);
TARN_API int8_t aaMathMatGetColsToVector(const TarnCplxD *in, int firstCol, int endCol, int rows,
                                         TarnCplxD *vecOut);
TARN_API int8_t aaMathMatrixToVectorD(const double *in, int rows, int cols, int stride,
                                      int byColumn, double *vecOut);
TARN_API int8_t aaMathMatrixToVectorI4(const int32_t *in, int rows, int cols, int stride,
                                       int byColumn, int32_t *vecOut);
TARN_API int8_t aaMathMatrixToVectorI1(const int8_t *in, int rows, int cols, int stride,
                                       int byColumn, int8_t *vecOut);
TARN_API void aaMathRepeatMatrix(int fill, int rows, int len, int strideBytes, void *out);
/* Full convolution of two equal-length complex vectors; returns the output length. */
TARN_API int8_t aaMathMatCalcConv(const TarnCplxD *a, const TarnCplxD *b, int aRows, int aCols,
                                  int bRows, int bCols, TarnCplxD *out);

/* ---- Polynomials and eigen-decomposition ---- */
/* Least squares, coefficients in ascending powers; 0 on success, -1 on failure. */
TARN_API int aaMathCalcPolyfit(const int8_t *x, const double *y, int count, int degree,
                               double *coefOut);
/* coef[0] multiplies the highest power; roots in ascending magnitude. */
TARN_API void aaMathCalcRoots(const TarnCplxD *coef, int count, TarnCplxD *rootsOut);
/* Column-major input (entry (r, c) at in[c * stride + r]); eigenvalues in ascending
 * magnitude, eigenvector k in column k of the row-major n x n vectorsOut. */
TARN_API void aaMathCalcEigenIf(const TarnCplxD *in, int n, int stride, TarnCplxD *valuesOut,
                                TarnCplxD *vectorsOut);

/* ---- FFT, SVD, spline ---- */
TARN_API uint16_t reserveBits(uint32_t value, int bits);
/* In place, unscaled; N a power of two up to 16384. */
TARN_API void fft(TarnCplxD *data, int N);
/* Zero-pads or truncates the input to N values, scaled by 1/N. */
TARN_API void ifft(const TarnCplxD *input, int inputCount, TarnCplxD *output, int N);
/* A (m x n, row-major) = U diag(w) V^T; 0 on success, -1 without convergence. */
TARN_API int svd(const double *A, int m, int n, double *U, double *w, double *V, double *work);
TARN_API int singularValueDecomposition(const double *A, int m, int n, double *U, double *w,
                                        double *V, double *work);
/* Not-a-knot cubic spline through (x, y), evaluated at q query points. */
TARN_API void aaMathCalcSpline(const double *x, const double *y, const double *queries, int n,
                               int q, double *out);

TARN_END_DECLS

#endif /* TARN_MATH_H */
