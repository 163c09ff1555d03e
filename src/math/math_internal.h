// Internal helpers shared by the numeric toolkit sources. Not exported.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

#include "common/numeric.h"

namespace tarn_math {

using tarn_common::kPi;

// Logs and returns true when `count` exceeds what a routine's index width can
// address; the caller then behaves as for an empty input.
bool countAbove(const char *function, long long count, long long limit);

// Slopes s[0..n-1] at the knots of the not-a-knot cubic spline (n >= 4)
// from the interval widths h[0..n-2] (positive) and the secant slopes
// d[0..n-2]. The interior slopes' tridiagonal system is solved in place by
// elimination without pivoting (it is strictly diagonally dominant);
// `scratch` holds n - 2 doubles. False, with s unusable, when n < 4 or a
// pivot is zero or not finite. No heap use.
bool splineSlopes(const double *h, const double *d, int n, double *s, double *scratch);

// Scratch array that lives on the stack up to N elements and on the heap
// beyond. valid() is false when the heap request failed.
template <typename T, std::size_t N>
class Scratch {
  public:
    explicit Scratch(std::size_t count) {
        if (count <= N) {
            ptr_ = local_;
        } else {
            heap_.reset(new (std::nothrow) T[count]);
            ptr_ = heap_.get();
        }
    }
    Scratch(const Scratch &) = delete;
    Scratch &operator=(const Scratch &) = delete;
    bool valid() const { return ptr_ != nullptr; }
    T *data() { return ptr_; }

  private:
    T local_[N];
    std::unique_ptr<T[]> heap_;
    T *ptr_ = nullptr;
};

// One step of a stable ascending insertion sort by key (no heap, for the
// few dozen items of the root and eigenvalue orders): v, with key k, goes
// into items[0..at-1] sorted by keys[0..at-1], after the equal keys; the
// greater ones move up by one, the one in slot `at` is overwritten (so with
// `at` the last slot of a full list, the greatest is dropped).
template <typename T, typename V>
void insertSorted(T *items, double *keys, int at, V v, double k) {
    int j = at;
    while (j > 0 && k < keys[j - 1]) {
        keys[j] = keys[j - 1];
        items[j] = items[j - 1];
        --j;
    }
    keys[j] = k;
    items[j] = v;
}

// Strict weak order on values: NaN after every number. Values that compare
// equal (including -0.0 and +0.0) are equivalent.
template <typename V>
constexpr bool valueLess(V a, V b) {
    if constexpr (std::is_floating_point_v<V>) {
        const bool na = std::isnan(a);
        const bool nb = std::isnan(b);
        if (na || nb) return !na && nb;
    }
    return a < b;
}

// Sort with order, the behaviour every aaMathSortVectorAndGet* variant shares:
// ascending and stable (equal values keep their input order); every member of
// a run of equal values is written as the run's first member in input order
// (this matters only for mixed signs of zero). With `descending`, the result
// equals an exchange pass over the ascending output that swaps k and r (r > k)
// whenever sorted[k] < sorted[r]; for a run of c equal values with A larger
// values, that pass leaves the run's stable order rotated left by A mod c.
// NaN (outside every caller's domain) sorts last; then the exchange pass is
// run literally. sortedOut must not alias values.
template <typename V, typename Idx>
void sortWithOrder(const V *values, std::size_t count, V *sortedOut, Idx *orderOut,
                   bool descending) {
    if (count == 0) return;
    bool hasNan = false;
    for (std::size_t i = 0; i < count; ++i) {
        orderOut[i] = static_cast<Idx>(i);
        if constexpr (std::is_floating_point_v<V>) hasNan = hasNan || std::isnan(values[i]);
    }
    // Ties broken by position make the order total, so an unstable sort yields
    // the stable result without scratch memory.
    std::sort(orderOut, orderOut + count, [values](Idx a, Idx b) {
        if (valueLess(values[a], values[b])) return true;
        if (valueLess(values[b], values[a])) return false;
        return a < b;
    });
    for (std::size_t j = 0; j < count;) {
        const V rep = values[orderOut[j]];
        std::size_t e = j + 1;
        while (e < count && values[orderOut[e]] == rep) ++e;
        std::fill(sortedOut + j, sortedOut + e, rep);
        j = e;
    }
    if (!descending) return;
    if (hasNan) {
        for (std::size_t k = 0; k < count; ++k) {
            for (std::size_t r = k + 1; r < count; ++r) {
                if (sortedOut[k] < sortedOut[r]) {
                    std::swap(sortedOut[k], sortedOut[r]);
                    std::swap(orderOut[k], orderOut[r]);
                }
            }
        }
        return;
    }
    std::reverse(sortedOut, sortedOut + count);
    std::reverse(orderOut, orderOut + count);
    for (std::size_t p = 0; p < count;) {
        std::size_t e = p + 1;
        while (e < count && sortedOut[e] == sortedOut[p]) ++e;
        const std::size_t c = e - p;
        if (c > 1) {
            std::reverse(orderOut + p, orderOut + e);
            std::rotate(orderOut + p, orderOut + p + (p % c), orderOut + e);
        }
        p = e;
    }
}

// Ascending copy of values as sortWithOrder writes it (without the order).
// Used by the medians, which need only the values.
void sortedCopy(const double *values, std::size_t count, double *out);

}  // namespace tarn_math
