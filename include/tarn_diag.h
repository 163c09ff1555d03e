/* Base: diagnostics, levelled logging to the Android log and array dump printers. */
#ifndef TARN_DIAG_H
#define TARN_DIAG_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

/* Log threshold: a message is written when its level is not above it. Read
 * and written atomically (any thread may set it while the worker logs); set
 * it through set_log_level. */
TARN_API extern int8_t glog_level;
/* Upper-case hex digits used by the hex dump (not NUL-terminated); constant. */
TARN_API extern const char ghex_char[16];

/* Levels: 0 always, 1 errors, 2 information, 3 tracing, 4 verbose dumps. */
TARN_API void DEBUG_LOG(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
TARN_API void set_log_level(int8_t level);

TARN_API void debug_print_hex_dump(const uint8_t *bytes, int length);
TARN_API void debug_print_2d_cmxpld(const TarnCplxD *m, int rows, int cols, int stride);
TARN_API void debug_print_2d_cmxplf(const TarnCplxF *m, int rows, int cols, int stride);
TARN_API void debug_print_2d_cmxpli(const TarnCplxI4 *m, int rows, int cols, int stride);
TARN_API void debug_print_2d_double(const double *m, int rows, int cols, int stride);
TARN_API void debug_print_2d_float(const float *m, int rows, int cols, int stride);
TARN_API void debug_print_2d_i4(const int32_t *m, int rows, int cols, int stride);
TARN_API void debug_print_2d_i1(const int8_t *m, int rows, int cols, int stride);
TARN_API void debug_print_2d_u1(const uint8_t *m, int rows, int cols, int stride);
TARN_API void debug_print_1d_cmplxd(const TarnCplxD *v, int count);
TARN_API void debug_print_1d_cmplxf(const TarnCplxF *v, int count);
TARN_API void debug_print_1d_cmplxi(const TarnCplxI4 *v, int count);
TARN_API void debug_print_1d_double(const double *v, int count);
TARN_API void debug_print_1d_float(const float *v, int count);
TARN_API void debug_print_1d_i4(const int32_t *v, int count);
TARN_API void debug_print_1d_i1(const int8_t *v, int count);
TARN_API void debug_print_cmplx_d(TarnCplxD z);
TARN_API void debug_print_cmplx_f(TarnCplxF z);
TARN_API void debug_print_cmplx_i(TarnCplxI4 z);

TARN_END_DECLS

#endif /* TARN_DIAG_H */
