// Array dump printers: one log message per element, rows ended by "\n".
#include <cmath>

#include "tarn_diag.h"

namespace {

void put(double v) {
    DEBUG_LOG(4, "%lf, ", v);
}
void put(float v) {
    DEBUG_LOG(4, "%f, ", static_cast<double>(v));
}
void put(int32_t v) {
    DEBUG_LOG(4, "%d, ", v);
}
void put(int8_t v) {
    DEBUG_LOG(4, "%d, ", v);
}
void put(uint8_t v) {
    DEBUG_LOG(4, "%d, ", v);
}
void put(const TarnCplxD &v) {
    DEBUG_LOG(4, "%lf %lf, ", v.real(), v.imag());
}
void put(const TarnCplxF &v) {
    DEBUG_LOG(4, "%f %f, ", static_cast<double>(v.real()), static_cast<double>(v.imag()));
}
void put(const TarnCplxI4 &v) {
    DEBUG_LOG(4, "%d %d, ", v.re, v.im);
}

template <typename T>
void print2d(const T *m, int rows, int cols, int stride) {
    if (__atomic_load_n(&glog_level, __ATOMIC_RELAXED) < 4) return;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) put(m[r * stride + c]);
        DEBUG_LOG(4, "\n");
    }
    DEBUG_LOG(4, "\n");
}

template <typename T>
void print1d(const T *v, int count) {
    if (__atomic_load_n(&glog_level, __ATOMIC_RELAXED) < 4) return;
    for (int i = 0; i < count; ++i) put(v[i]);
    DEBUG_LOG(4, "\n");
}

}  // namespace

extern "C" {

void debug_print_hex_dump(const uint8_t *bytes, int length) {
    if (length > 255) return;
    char text[2 * 255 + 1] = {0};
    for (int i = 0; i < length; ++i) {
        text[2 * i] = ghex_char[bytes[i] >> 4];
        text[2 * i + 1] = ghex_char[bytes[i] & 0x0F];
    }
    DEBUG_LOG(4, "%s", text);
}

void debug_print_2d_cmxpld(const TarnCplxD *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}
void debug_print_2d_cmxplf(const TarnCplxF *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}
void debug_print_2d_cmxpli(const TarnCplxI4 *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}
void debug_print_2d_double(const double *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}
void debug_print_2d_float(const float *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}
void debug_print_2d_i4(const int32_t *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}
void debug_print_2d_i1(const int8_t *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}
void debug_print_2d_u1(const uint8_t *m, int rows, int cols, int stride) {
    print2d(m, rows, cols, stride);
}

void debug_print_1d_cmplxd(const TarnCplxD *v, int count) {
    print1d(v, count);
}
void debug_print_1d_cmplxf(const TarnCplxF *v, int count) {
    print1d(v, count);
}
void debug_print_1d_cmplxi(const TarnCplxI4 *v, int count) {
    print1d(v, count);
}
void debug_print_1d_double(const double *v, int count) {
    print1d(v, count);
}
void debug_print_1d_float(const float *v, int count) {
    print1d(v, count);
}
void debug_print_1d_i4(const int32_t *v, int count) {
    print1d(v, count);
}
void debug_print_1d_i1(const int8_t *v, int count) {
    print1d(v, count);
}

void debug_print_cmplx_d(TarnCplxD z) {
    const double im = z.imag();
    const char sign = im > 0 ? '+' : (im == 0 ? ' ' : '-');
    // The magnitude, so that -0.0 (which counts as zero) prints without a sign.
    DEBUG_LOG(2, "%lf%c%lfj", z.real(), sign, std::fabs(im));
}

void debug_print_cmplx_f(TarnCplxF z) {
    const float im = z.imag();
    // A zero imaginary part passes NUL, which ends the text after the real part.
    const char sign = im > 0 ? '+' : (im == 0 ? '\0' : '-');
    DEBUG_LOG(4, "%f%c%fj", static_cast<double>(z.real()), sign,
              static_cast<double>(im < 0 ? -im : im));
}

void debug_print_cmplx_i(TarnCplxI4 z) {
    DEBUG_LOG(4, "%d ", z.re);
    if (z.im > 0)
        DEBUG_LOG(4, "+%dj, ", z.im);
    else if (z.im < 0)
        DEBUG_LOG(4, "%dj, ", z.im);
    else
        DEBUG_LOG(4, ", ");
}

}  // extern "C"
