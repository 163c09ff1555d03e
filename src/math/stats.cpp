// Vector statistics, integer and complex helpers, mask compaction, line and
// angle helpers.
#include <climits>
#include <cmath>
#include <cstring>

#include "math/math_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

namespace tarn_math {

bool countAbove(const char *function, long long count, long long limit) {
    if (count <= limit) return false;
    DEBUG_LOG(1, "%s: count %lld above %lld\n", function, count, limit);
    return true;
}

void sortedCopy(const double *values, std::size_t count, double *out) {
    std::copy(values, values + count, out);
    // A lambda keeps the std::sort instantiation local to the library.
    std::sort(out, out + count, [](double a, double b) { return valueLess(a, b); });
    // Equal values are all written as the first of them in input order; only
    // zeros can differ in bits while comparing equal.
    for (std::size_t i = 0; i < count; ++i) {
        if (values[i] == 0.0) {
            const double zero = values[i];
            for (std::size_t j = 0; j < count; ++j) {
                if (out[j] == 0.0) out[j] = zero;
            }
            break;
        }
    }
}

}  // namespace tarn_math

using tarn_math::countAbove;
using tarn_math::kPi;

namespace {

constexpr int kMax8 = 127;

// Index of the first element that `better` prefers over all earlier ones; the
// value starts as element 0 (NaN never wins with the strict comparisons used).
template <typename T, typename Idx, typename Better>
Idx firstExtreme(const T *values, std::size_t count, T *out, Better better) {
    T best = values[0];
    std::size_t idx = 0;
    for (std::size_t i = 1; i < count; ++i) {
        if (better(values[i], best)) {
            best = values[i];
            idx = i;
        }
    }
    *out = best;
    return static_cast<Idx>(idx);
}

std::size_t count8(const char *function, int count) {
    if (count < 1 || countAbove(function, count, kMax8)) return 0;
    return static_cast<std::size_t>(count);
}

std::size_t countInt(int count) {
    return count < 1 ? 0 : static_cast<std::size_t>(count);
}

constexpr auto greater = [](auto a, auto b) { return a > b; };
constexpr auto less = [](auto a, auto b) { return a < b; };

double sumDouble(const double *values, std::size_t count) {
    double s = 0.0;
    for (std::size_t i = 0; i < count; ++i) s += values[i];
    return s;
}

double rms(const double *values, std::size_t count, double divisor, int doRound) {
    double s = 0.0;
    for (std::size_t i = 0; i < count; ++i) s += values[i] * values[i];
    const double r = std::sqrt(s / divisor);
    return doRound ? std::round(r) : r;
}

double medianOfSorted(const double *s, std::size_t count) {
    if (count % 2 == 0) return (s[count / 2 - 1] + s[count / 2]) * 0.5;
    return s[count / 2];
}

template <typename T>
std::size_t diffWrapped(const T *in, std::size_t count, T *out) {
    using U = std::make_unsigned_t<T>;
    for (std::size_t i = 0; i + 1 < count; ++i) {
        out[i] = static_cast<T>(static_cast<U>(static_cast<U>(in[i + 1]) - static_cast<U>(in[i])));
    }
    return count;
}

int32_t wrap32(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

int32_t modI4(int32_t v, int32_t m) {
    int32_t r;
    if (m == 0) {
        r = v;
    } else if (m == -1) {
        r = 0;
    } else {
        r = v % m;
    }
    if (r >= 0) return r;
    return static_cast<int32_t>(static_cast<uint32_t>(r) + static_cast<uint32_t>(m));
}

template <typename T>
int8_t keepMasked(const char *function, const T *in, const uint8_t *mask, int count, T *out) {
    const std::size_t n = count8(function, count);
    int kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (mask[i]) out[kept++] = in[i];
    }
    return static_cast<int8_t>(kept);
}

// Unsigned 32-bit conversion used by angleQ: negative and NaN give 0, values
// beyond the range saturate.
constexpr auto toU32 = tarn_common::truncToUInt32;

}  // namespace

extern "C" {

// ---- Extremes ----

int8_t aaMathCalcMaxDouble(const double *values, int count, double *maxOut) {
    return firstExtreme<double, int8_t>(values, count8(__func__, count), maxOut, greater);
}

uint32_t aaMathCalcMaxDoubleLong(const double *values, uint32_t count, double *maxOut) {
    return firstExtreme<double, uint32_t>(values, count, maxOut, greater);
}

int8_t aaMathCalcMaxI4(const int32_t *values, int count, int32_t *maxOut) {
    return firstExtreme<int32_t, int8_t>(values, count8(__func__, count), maxOut, greater);
}

int8_t aaMathCalcMaxI1(const int8_t *values, int count, int8_t *maxOut) {
    return firstExtreme<int8_t, int8_t>(values, count8(__func__, count), maxOut, greater);
}

int8_t aaMathCalcMinDouble(const double *values, int count, double *minOut) {
    return firstExtreme<double, int8_t>(values, count8(__func__, count), minOut, less);
}

int8_t aaMathCalcMinI4(const int32_t *values, int count, int32_t *minOut) {
    return firstExtreme<int32_t, int8_t>(values, count8(__func__, count), minOut, less);
}

int32_t max(const int32_t *matrix, int rows, int cols, int32_t *maxOut) {
    long long total = (rows < 1 || cols < 1) ? 0 : static_cast<long long>(rows) * cols;
    if (countAbove(__func__, total, INT32_MAX)) total = 0;
    return firstExtreme<int32_t, int32_t>(matrix, static_cast<std::size_t>(total), maxOut, greater);
}

// ---- Sums, means, root mean square ----

double aaMathCalcSumDouble(const double *values, int count) {
    return sumDouble(values, countInt(count));
}

double aaMathCalcSumDoubleLong(const double *values, uint32_t count) {
    return sumDouble(values, count);
}

int32_t aaMathCalcSumI4(const int32_t *values, int count) {
    uint32_t s = 0;
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) s += static_cast<uint32_t>(values[i]);
    return static_cast<int32_t>(s);
}

int32_t aaMathCalcSumI1(const int8_t *values, int count) {
    uint32_t s = 0;
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) s += static_cast<uint32_t>(static_cast<int32_t>(values[i]));
    return static_cast<int32_t>(s);
}

double aaMathCalcMeanDouble(const double *values, int count) {
    return aaMathCalcSumDouble(values, count) / static_cast<double>(count);
}

double aaMathCalcMeanDoubleLong(const double *values, uint32_t count) {
    return sumDouble(values, count) / static_cast<double>(count);
}

double aaMathCalcMeanI4(const int32_t *values, int count) {
    return static_cast<double>(aaMathCalcSumI4(values, count)) / static_cast<double>(count);
}

double aaMathCalcMeanI1(const int8_t *values, int count) {
    return static_cast<double>(aaMathCalcSumI1(values, count)) / static_cast<double>(count);
}

double aaMathCalcRMS(const double *values, int count, int doRound) {
    return rms(values, countInt(count), static_cast<double>(count), doRound);
}

double aaMathCalcRMSLong(const double *values, uint32_t count, int doRound) {
    return rms(values, count, static_cast<double>(count), doRound);
}

// ---- Order statistics and dispersion ----

double aaMathCalcMedianDouble(const double *values, int count) {
    const std::size_t n = count8(__func__, count);
    if (n == 0) return 0.0;
    double sorted[kMax8];
    tarn_math::sortedCopy(values, n, sorted);
    return medianOfSorted(sorted, n);
}

double aaMathCalcMedianDoubleLong(const double *values, uint32_t count) {
    if (count == 0) return 0.0;
    tarn_math::Scratch<double, 512> sorted(count);
    if (!sorted.valid()) {
        DEBUG_LOG(1, "%s: out of memory for %u values\n", __func__, count);
        return 0.0;
    }
    tarn_math::sortedCopy(values, count, sorted.data());
    return medianOfSorted(sorted.data(), count);
}

double aaMathCalcPercentileDouble(const double *values, int count, int percent) {
    const std::size_t n = count8(__func__, count);
    if (n == 0) return 0.0;
    if (percent < 0 || percent > 100) {
        // Outside 0..100 the rank would leave the array; clamp to the extremes.
        DEBUG_LOG(1, "%s: percent %d clamped to 0..100\n", __func__, percent);
        percent = percent < 0 ? 0 : 100;
    }
    double s[kMax8];
    tarn_math::sortedCopy(values, n, s);
    const double pos = (percent / 100.0) * static_cast<double>(n - 1);
    DEBUG_LOG(2, " %lf index index selected for  %d length", pos, count);
    if (pos == std::floor(pos)) return s[static_cast<std::size_t>(pos)];
    const int lo = static_cast<int>(std::floor(pos));
    const int hi = static_cast<int>(std::ceil(pos));
    DEBUG_LOG(2, " %d lowerIndex  %d upperIndex", lo, hi);
    return s[lo] + (pos - lo) * (s[hi] - s[lo]);
}

double aaMathCalcVariance(const double *values, int count) {
    if (count < 2) return 0.0;
    const std::size_t n = static_cast<std::size_t>(count);
    const double mean = sumDouble(values, n) / static_cast<double>(count);
    DEBUG_LOG(4, "mean = %lf , Length %d", mean, count);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dev = values[i] - mean;
        const double sqr = dev * dev;
        DEBUG_LOG(4, "sqr %lf", sqr);
        total += sqr;
    }
    DEBUG_LOG(4, "squareMeanDeviation %lf", total);
    return total / static_cast<double>(count - 1);
}

double aaMathCalcStd(const double *values, int count) {
    return std::sqrt(aaMathCalcVariance(values, count));
}

// ---- Modulo and differences ----

void aaMathCalcModDouble(const double *in, double m, int count, double *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) {
        const double r = std::fmod(in[i], m);
        out[i] = r >= 0 ? r : r + m;
    }
}

void aaMathCalcModFloat(const float *in, float m, int count, float *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) {
        const float r = std::fmod(in[i], m);
        out[i] = r >= 0 ? r : r + m;
    }
}

void aaMathCalcModI4(const int32_t *in, int32_t m, int count, int32_t *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) out[i] = modI4(in[i], m);
}

void mod(int32_t *matrix, int rows, int cols, int32_t m) {
    if (rows < 1 || cols < 1) return;
    const std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    for (std::size_t i = 0; i < n; ++i) matrix[i] = modI4(matrix[i], m);
}

int8_t aaMathCalcDiffDouble(const double *in, int count, double *out) {
    const std::size_t n = count8(__func__, count);
    for (std::size_t i = 0; i + 1 < n; ++i) out[i] = in[i + 1] - in[i];
    return static_cast<int8_t>(static_cast<int>(n) - 1);
}

int8_t aaMathCalcDiffI4(const int32_t *in, int count, int32_t *out) {
    const std::size_t n = diffWrapped(in, count8(__func__, count), out);
    return static_cast<int8_t>(static_cast<int>(n) - 1);
}

int8_t aaMathCalcDiffI1(const int8_t *in, int count, int8_t *out) {
    const std::size_t n = diffWrapped(in, count8(__func__, count), out);
    return static_cast<int8_t>(static_cast<int>(n) - 1);
}

// ---- Integer helpers ----

int32_t aaMathSignedShift(int32_t value, int16_t shift, int doRound) {
    if (shift == 0) return value;
    if (shift > 0) {
        return shift <= 31 ? static_cast<int32_t>(static_cast<uint32_t>(value) << shift) : 0;
    }
    // -(-32768) does not fit 16 bits; it counts as a shift beyond 31.
    const int s = -static_cast<int>(shift);
    if (s > 31) return 0;
    uint32_t mag = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    if (doRound) {
        const uint32_t t = mag >> (s - 1);
        mag = t - t / 2;
    } else {
        mag >>= s;
    }
    return value < 0 ? static_cast<int32_t>(0u - mag) : static_cast<int32_t>(mag);
}

int32_t aaMathRoundedDivide(int32_t n, int32_t d) {
    if (d == 0) return 0;
    if (d == 1) return n;
    const int64_t ad = d < 0 ? -static_cast<int64_t>(d) : d;
    int64_t h = ad - ad / 2;
    if (n <= 0) h = -h;
    return wrap32((static_cast<int64_t>(n) + h) / d);
}

int32_t aaMathFloorDivide(int32_t a, int32_t b) {
    const int64_t q = b == 0 ? 0 : static_cast<int64_t>(a) / b;
    if (a <= 0 && static_cast<int64_t>(a) != q * b) return wrap32(q - 1);
    return wrap32(q);
}

uint32_t sqrt_int(uint32_t a, int doRound) {
    uint32_t rem = a;
    uint32_t root = 0;
    uint32_t bit = 1u << 30;
    while (bit > rem) bit >>= 2;
    while (bit != 0) {
        if (rem >= root + bit) {
            rem -= root + bit;
            root = (root >> 1) + bit;
        } else {
            root >>= 1;
        }
        bit >>= 2;
    }
    // rem is now a - root * root.
    if ((doRound & 1) && rem > root) ++root;
    return root;
}

// ---- Complex helpers ----

void aaMathCalcExpImag(double x, TarnCplxD *out) {
    *out = std::exp(std::complex<double>(x * 0.0 + 0.0, x));
}

void aaMathCalcMagCmplxD(const TarnCplxD *in, int count, double *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) out[i] = std::hypot(in[i].real(), in[i].imag());
}

void aaMathCalcMagCmplxDLong(const TarnCplxD *in, uint32_t count, double *out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = std::hypot(in[i].real(), in[i].imag());
}

void aaMathCalcMagCmplxF(const TarnCplxF *in, int count, double *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) {
        const float re = in[i].real();
        const float im = in[i].imag();
        const float power = re * re + im * im;
        out[i] = std::sqrt(static_cast<double>(power));
    }
}

void aaMathCalcMagCmplxI(const TarnCplxI4 *in, int count, double *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t re = static_cast<uint32_t>(in[i].re);
        const uint32_t im = static_cast<uint32_t>(in[i].im);
        out[i] = std::sqrt(static_cast<double>(re * re + im * im));
    }
}

void aaMathCalcMagCmplxL(const TarnCplxL *in, int count, double *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) {
        const uint64_t re = static_cast<uint64_t>(in[i].re);
        const uint64_t im = static_cast<uint64_t>(in[i].im);
        out[i] = std::sqrt(static_cast<double>(re * re + im * im));
    }
}

TarnCplxD *aaMathCalcConjCmplxD(TarnCplxD *z) {
    z->imag(-z->imag());
    return z;
}

void aaMathCalcConjCmplxL(TarnCplxL *z) {
    z->im = static_cast<int64_t>(0u - static_cast<uint64_t>(z->im));
}

void aaMathCalcCplxDiv(TarnCplxD *out, TarnCplxD a, TarnCplxD b) {
    const double den = b.real() * b.real() + b.imag() * b.imag();
    const double re = (a.real() * b.real() + a.imag() * b.imag()) / den;
    const double im = (a.imag() * b.real() - a.real() * b.imag()) / den;
    *out = TarnCplxD(re, im);
}

void aaMathCalcCplxReciprocal(TarnCplxD *out, TarnCplxD a) {
    const double den = a.real() * a.real() + a.imag() * a.imag();
    *out = TarnCplxD(a.real() / den, -a.imag() / den);
}

void angle(const TarnCplxI4 *in, int count, double *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = std::atan2(static_cast<double>(in[i].im), static_cast<double>(in[i].re));
    }
}

int32_t angleQ(TarnCplxI2 z, int bits, int32_t *out) {
    const double a = std::atan2(static_cast<double>(z.im), static_cast<double>(z.re));
    uint32_t result;
    if (bits != 0) {
        const uint32_t m = static_cast<unsigned>(bits) >= 32 ? 0u : 1u << bits;
        result = (m - 1u) & toU32(std::round(a * static_cast<double>(m) / (2.0 * kPi)));
    } else {
        result = toU32(std::trunc(a * 180.0 / kPi));
    }
    *out = static_cast<int32_t>(result);
    return *out;
}

// ---- Mask compaction ----

int8_t aaMathValidateVector(const int32_t *in, const uint8_t *mask, int count, int32_t *out) {
    return keepMasked(__func__, in, mask, count, out);
}

int8_t aaMathValidateVectorD(const double *in, const uint8_t *mask, int count, double *out) {
    return keepMasked(__func__, in, mask, count, out);
}

int validateVector2(uint8_t *matrix, int rows, int cols, const uint8_t *mask) {
    if (rows < 1 || cols < 1) return 0;
    const std::size_t c = static_cast<std::size_t>(cols);
    std::size_t width = 0;
    for (std::size_t r = 0; r < static_cast<std::size_t>(rows); ++r) {
        std::size_t kept = 0;
        for (std::size_t j = 0; j < c; ++j) kept += mask[r * c + j] != 0;
        if (r == 0) {
            width = kept;
        } else if (kept != width) {
            // Packing rows of different widths would mix rows; leave it untouched.
            DEBUG_LOG(1, "%s: rows keep different widths (%zu, %zu)\n", __func__, width, kept);
            return 0;
        }
    }
    // Every destination lies at or before its source, so packing in place in
    // ascending order never overwrites an element still to be read.
    std::size_t dst = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(rows) * c; ++i) {
        if (mask[i]) matrix[dst++] = matrix[i];
    }
    return static_cast<int>(width);
}

// ---- Line and curve helpers ----

double aaMathCalcIntercept(const int8_t *x, int count, const double *y, double slope,
                           double scale) {
    if (count < 1 || countAbove(__func__, count, kMax8)) return NAN;
    double sy = 0.0;
    int sx = 0;
    for (int i = 0; i < count; ++i) {
        sy += y[i];
        sx += x[i];
    }
    const double meanY = sy / count;
    const double meanX = static_cast<double>(sx) / count;
    const double b = meanY - (slope / scale) * meanX;
    return scale > 1 ? std::round(b) : b;
}

void aaMathCalcLine(double slope, double intercept, const int8_t *x, int count, double scale,
                    double *out) {
    const std::size_t n = countInt(count);
    for (std::size_t i = 0; i < n; ++i) {
        const double v = intercept + (slope / scale) * x[i];
        out[i] = scale > 1 ? std::round(v) : v;
    }
}

void unwrap(const double *in, int count, double *out) {
    if (count < 1) return;
    out[0] = in[0] * 0.5;
    double c = 0.0;
    for (int i = 1; i < count; ++i) {
        const double d = in[i] - in[i - 1];
        if (d > kPi) {
            c -= 2.0 * kPi;
        } else if (d < -kPi) {
            c += 2.0 * kPi;
        }
        out[i] = (in[i] + c) * 0.5;
    }
}

int parabolaMax3PointReg(double step, double y0, double y1, double y2, double *xOut, double *yOut) {
    const double e = y0 + y2 - 2.0 * y1;
    if (e > -1e-6) return -1;
    double d = y2 - y0;
    if (std::fabs(d) < 2.2204e-16) d = 0.0;
    *xOut = -0.5 * step * d / e;
    *yOut = y1 - d * d / (8.0 * e);
    return 0;
}

int convertAzElToXyz(double az, double el, double *xOut, double *yOut, double *zOut) {
    const double a = az * kPi / 180.0;
    const double e = el * kPi / 180.0;
    *xOut = std::cos(a) * std::cos(e);
    *yOut = std::sin(a) * std::cos(e);
    *zOut = std::sin(e);
    return 0;
}

int convertXyzToAzEl(double x, double y, double z, double *azOut, double *elOut) {
    *azOut = std::atan2(y, x) * 180.0 / kPi;
    *elOut = std::asin(z) * 180.0 / kPi;
    return 0;
}

}  // extern "C"
