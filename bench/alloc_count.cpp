// Counting allocator: the C library's allocation entry points defined in the
// executable, so that they win over the C library's own for every caller
// (operator new included), each counting the call and handing it on to the
// C library's implementation. Not with a sanitizer, whose runtime replaces
// the same functions.
#include "alloc_count.h"

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARN_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TARN_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef TARN_COUNT_ALLOCATIONS
#define TARN_COUNT_ALLOCATIONS 1
#endif

namespace {
// Plain thread-local integer in the executable: no allocation to reach it.
thread_local long tAllocations = 0;
}  // namespace

namespace tarn_bench {

bool allocationsCounted() {
    return TARN_COUNT_ALLOCATIONS != 0;
}

long threadAllocations() {
    return tAllocations;
}

}  // namespace tarn_bench

#if TARN_COUNT_ALLOCATIONS
extern "C" {

void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void *__libc_memalign(size_t alignment, size_t size);

void *malloc(size_t size) {
    ++tAllocations;
    return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
    ++tAllocations;
    return __libc_calloc(count, size);
}

void *realloc(void *ptr, size_t size) {
    ++tAllocations;
    return __libc_realloc(ptr, size);
}

void *memalign(size_t alignment, size_t size) {
    ++tAllocations;
    return __libc_memalign(alignment, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
    ++tAllocations;
    return __libc_memalign(alignment, size);
}

int posix_memalign(void **out, size_t alignment, size_t size) {
    if (alignment < sizeof(void *) || (alignment & (alignment - 1)) != 0) return 22;  // EINVAL
    ++tAllocations;
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr && size != 0) return 12;  // ENOMEM
    *out = p;
    return 0;
}

}  // extern "C"
#endif
