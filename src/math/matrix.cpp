// Dense matrix helpers, convolution and the least-squares polynomial fit.
#include <array>
#include <cmath>
#include <cstring>

#include "math/math_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

using tarn_math::countAbove;

namespace {

constexpr int kMax8 = 127;
constexpr int kMaxFitDegree = 5;

template <typename T>
int8_t matrixToVector(const char *function, const T *in, int rows, int cols, int stride,
                      int byColumn, T *vecOut) {
    if (rows < 1 || cols < 1) return 0;
    if (countAbove(function, static_cast<long long>(rows) * cols, kMax8)) return 0;
    const std::ptrdiff_t s = stride;
    int n = 0;
    if (byColumn == 0) {
        for (int i = 0; i < rows; ++i) {
            for (int j = 0; j < cols; ++j) vecOut[n++] = in[i * s + j];
        }
    } else {
        for (int i = 0; i < cols; ++i) {
            for (int k = 0; k < rows; ++k) vecOut[n++] = in[i + k * s];
        }
    }
    return static_cast<int8_t>(n);
}

// Checks a column range of square storage with `rows` rows; returns the width
// or -1 when the range leaves the matrix.
int columnRange(const char *function, int firstCol, int endCol, int rows) {
    if (rows < 0 || firstCol < 0 || endCol < firstCol || endCol > rows) {
        DEBUG_LOG(1, "%s: columns %d..%d outside %d\n", function, firstCol, endCol, rows);
        return -1;
    }
    return endCol - firstCol;
}

}  // namespace

extern "C" {

void aaMathMatSwapRows(const TarnCplxD *in, int n, int cols, TarnCplxD *out) {
    if (n < 1 || cols < 1) return;
    if (cols > n) {
        DEBUG_LOG(1, "%s: %d columns exceed the row stride %d\n", __func__, cols, n);
        return;
    }
    const std::size_t stride = static_cast<std::size_t>(n);
    if (in == out) {
        // In place: exchange mirrored rows.
        for (std::size_t i = 0; i < stride / 2; ++i) {
            std::swap_ranges(out + i * stride, out + i * stride + cols,
                             out + (stride - 1 - i) * stride);
        }
        return;
    }
    for (std::size_t i = 0; i < stride; ++i) {
        std::copy(in + (stride - 1 - i) * stride, in + (stride - 1 - i) * stride + cols,
                  out + i * stride);
    }
}

int8_t aaMathMatGetCols(const TarnCplxD *in, int firstCol, int endCol, int rows, TarnCplxD *out) {
    const int width = columnRange(__func__, firstCol, endCol, rows);
    if (width < 0 || countAbove(__func__, width, kMax8)) return 0;
    const std::size_t stride = static_cast<std::size_t>(rows);
    for (std::size_t r = 0; r < stride; ++r) {
        // memmove: in place the destination may overlap the source.
        std::memmove(static_cast<void *>(out + r * stride), in + r * stride + firstCol,
                     static_cast<std::size_t>(width) * sizeof(TarnCplxD));
    }
    return static_cast<int8_t>(width);
}

int8_t aaMathMatGetColsToVector(const TarnCplxD *in, int firstCol, int endCol, int rows,
                                TarnCplxD *vecOut) {
    const int width = columnRange(__func__, firstCol, endCol, rows);
    if (width < 0 || countAbove(__func__, static_cast<long long>(width) * rows, kMax8)) return 0;
    const std::size_t stride = static_cast<std::size_t>(rows);
    int n = 0;
    for (std::size_t r = 0; r < stride; ++r) {
        for (int c = firstCol; c < endCol; ++c) vecOut[n++] = in[r * stride + c];
    }
    return static_cast<int8_t>(n);
}

int8_t aaMathMatrixToVectorD(const double *in, int rows, int cols, int stride, int byColumn,
                             double *vecOut) {
    return matrixToVector(__func__, in, rows, cols, stride, byColumn, vecOut);
}

int8_t aaMathMatrixToVectorI4(const int32_t *in, int rows, int cols, int stride, int byColumn,
                              int32_t *vecOut) {
    return matrixToVector(__func__, in, rows, cols, stride, byColumn, vecOut);
}

int8_t aaMathMatrixToVectorI1(const int8_t *in, int rows, int cols, int stride, int byColumn,
                              int8_t *vecOut) {
    return matrixToVector(__func__, in, rows, cols, stride, byColumn, vecOut);
}

void aaMathRepeatMatrix(int fill, int rows, int len, int strideBytes, void *out) {
    if (rows < 1 || len < 1) return;
    if (strideBytes < 0) {
        DEBUG_LOG(1, "%s: negative stride %d\n", __func__, strideBytes);
        return;
    }
    auto *bytes = static_cast<unsigned char *>(out);
    for (int r = 0; r < rows; ++r) {
        std::memset(bytes + static_cast<std::size_t>(r) * strideBytes, fill & 0xff,
                    static_cast<std::size_t>(len));
    }
}

int8_t aaMathMatCalcConv(const TarnCplxD *a, const TarnCplxD *b, int aRows, int aCols, int bRows,
                         int bCols, TarnCplxD *out) {
    const long long la = static_cast<long long>(aRows) * aCols;
    const long long lb = static_cast<long long>(bRows) * bCols;
    // Equal lengths of 1..64 keep the output length 2 La - 1 within 8 bits.
    if (la != lb || la < 1 || la > (kMax8 + 1) / 2) {
        DEBUG_LOG(4, "Invalid length\n");
        return 0;
    }
    const int n = static_cast<int>(la);
    const int outLen = 2 * n - 1;
    for (int i = 0; i < outLen; ++i) {
        double re = 0.0;
        double im = 0.0;
        const int lo = i + 1 - n > 0 ? i + 1 - n : 0;
        const int hi = i + 1 < n ? i + 1 : n;
        for (int j = lo; j < hi; ++j) {
            const TarnCplxD p = a[j];
            const TarnCplxD q = b[i - j];
            re += p.real() * q.real() - p.imag() * q.imag();
            im += p.real() * q.imag() + p.imag() * q.real();
        }
        out[i] = TarnCplxD(re, im);
    }
    return static_cast<int8_t>(outLen);
}

int aaMathCalcPolyfit(const int8_t *x, const double *y, int count, int degree, double *coefOut) {
    if (degree > kMaxFitDegree || degree >= count) return -1;
    if (degree < 0) return 0;
    const int rows = degree + 1;
    std::array<double, 2 * kMaxFitDegree + 3> powerSum{};
    std::array<double, kMaxFitDegree + 1> moment{};
    for (int i = 0; i < count; ++i) {
        const double xi = x[i];
        // Integer powers by multiplication while they are exact (below 2^53):
        // pow returns the exact value there too, since it is within one unit
        // in the last place; beyond, pow itself.
        double pk = 1.0;
        for (int k = 0; k <= 2 * degree + 2; ++k) {
            const double v = std::fabs(pk) < 0x1p53 ? pk : std::pow(xi, k);
            powerSum[k] += v;
            if (k <= degree) moment[k] += y[i] * v;
            pk *= xi;
        }
    }
    // Augmented [A | I] with the Hankel matrix of power sums.
    std::array<std::array<double, 2 * (kMaxFitDegree + 1)>, kMaxFitDegree + 1> aug{};
    const int width = 2 * rows;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < rows; ++c) aug[r][c] = powerSum[r + c];
        aug[r][rows + r] = 1.0;
    }
    // Gauss-Jordan without pivoting: the right half becomes the inverse of A.
    for (int i = 0; i < rows; ++i) {
        const double pivot = aug[i][i];
        if (pivot == 0.0) return -1;
        for (int c = 0; c < width; ++c) aug[i][c] /= pivot;
        for (int j = 0; j < rows; ++j) {
            if (j == i) continue;
            const double f = aug[j][i];
            for (int c = 0; c < width; ++c) aug[j][c] -= f * aug[i][c];
        }
    }
    for (int j = 0; j < rows; ++j) {
        double s = 0.0;
        for (int k = 0; k < rows; ++k) s += aug[j][rows + k] * moment[k];
        coefOut[j] = s;
    }
    return 0;
}

}  // extern "C"
