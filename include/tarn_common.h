/* Base: shared definitions of the libtarn public headers (complex types,
 * the link reference, layout checks). */
#ifndef TARN_COMMON_H
#define TARN_COMMON_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#include <complex>
#define TARN_BEGIN_DECLS extern "C" {
#define TARN_END_DECLS }
#else
#include <complex.h>
#define TARN_BEGIN_DECLS
#define TARN_END_DECLS
#endif

/* Every symbol of the exported surface carries TARN_API; everything else is hidden. */
#define TARN_API __attribute__((visibility("default")))

/* Compile-time layout checks usable from both C and C++. */
#ifdef __cplusplus
#define TARN_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define TARN_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* True when building for the 32-bit ABI the wire records are documented for. */
#if defined(__ILP32__) || (defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4)
#define TARN_ABI32 1
#else
#define TARN_ABI32 0
#endif

/* Complex numbers cross the boundary as (real, imaginary) pairs. In C++ the
 * standard complex types have exactly that layout. */
#ifdef __cplusplus
typedef std::complex<double> TarnCplxD;
typedef std::complex<float> TarnCplxF;
#else
typedef double _Complex TarnCplxD;
typedef float _Complex TarnCplxF;
#endif
typedef struct TarnCplxI4 {
    int32_t re;
    int32_t im;
} TarnCplxI4; /* complex int32 */
typedef struct TarnCplxI2 {
    int16_t re;
    int16_t im;
} TarnCplxI2; /* complex int16 */
typedef struct TarnCplxL {
    int64_t re;
    int64_t im;
} TarnCplxL; /* complex int64 */

/* Link reference: a pointer-sized integer chosen by the host. */
typedef intptr_t CsLinkRef;

/* Records referred to across subsystem headers. */
typedef struct ConfigOpts ConfigOpts;
typedef struct CsContext CsContext;
typedef struct CsEstimate CsEstimate;
typedef struct CsInitRecord CsInitRecord;
typedef struct CsRequest CsRequest;

#endif /* TARN_COMMON_H */
