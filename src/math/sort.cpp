// Sorting with an index output, small in-place sorts, byte-set operations and
// row permutations.
#include <array>
#include <cstring>

#include "math/math_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

using tarn_math::countAbove;

namespace {

// Largest count each sort variant's order entries can address.
constexpr long long kLimitDouble = 127;
constexpr long long kLimitUI2 = 65535;
constexpr long long kLimitI4 = 127;
// Byte positions address up to 256 elements (the most tones a procedure has).
constexpr long long kLimitI1 = 256;
constexpr int kMaxDim = 255;

template <typename V, typename Idx>
void sortChecked(const char *function, const V *values, long long count, long long limit,
                 V *sortedOut, Idx *orderOut, int descending) {
    if (count < 1 || countAbove(function, count, limit)) return;
    tarn_math::sortWithOrder(values, static_cast<std::size_t>(count), sortedOut, orderOut,
                             descending != 0);
}

// Lookup of the first position of every byte value in a set (-1 when absent).
std::array<int, 256> firstPositions(const uint8_t *set, int setCount) {
    std::array<int, 256> pos;
    pos.fill(-1);
    for (int k = setCount - 1; k >= 0; --k) pos[set[k]] = k;
    return pos;
}

template <typename T, typename Store>
void reorderRows(const char *function, T *matrix, int rows, int cols, const int8_t *perm,
                 Store store) {
    if (rows < 1 || cols < 1) return;
    if (rows > kMaxDim || cols > kMaxDim) {
        DEBUG_LOG(1, "%s: %d x %d above %d x %d\n", function, rows, cols, kMaxDim, kMaxDim);
        return;
    }
    for (int j = 0; j < cols; ++j) {
        if (perm[j] < 0 || perm[j] >= cols) {
            DEBUG_LOG(1, "%s: permutation entry %d out of range\n", function, perm[j]);
            return;
        }
    }
    std::array<T, kMaxDim> row;
    for (int r = 0; r < rows; ++r) {
        T *line = matrix + static_cast<std::size_t>(r) * cols;
        for (int j = 0; j < cols; ++j) row[j] = store(line[perm[j]]);
        std::copy(row.begin(), row.begin() + cols, line);
    }
}

}  // namespace

extern "C" {

void aaMathSortVectorAndGetOrderDouble(const double *values, int count, double *sortedOut,
                                       uint8_t *orderOut, int descending) {
    sortChecked(__func__, values, count, kLimitDouble, sortedOut, orderOut, descending);
}

void aaMathSortVectorAndGetOrderDoubleLong(const double *values, uint32_t count, double *sortedOut,
                                           uint32_t *orderOut, int descending) {
    sortChecked(__func__, values, count, UINT32_MAX, sortedOut, orderOut, descending);
}

void aaMathSortVectorAndGetUI2OrderDouble(const double *values, int count, double *sortedOut,
                                          uint16_t *orderOut, int descending) {
    sortChecked(__func__, values, count, kLimitUI2, sortedOut, orderOut, descending);
}

void aaMathSortVectorAndGetOrderI4(const int32_t *values, int count, int32_t *sortedOut,
                                   int8_t *orderOut, int descending) {
    sortChecked(__func__, values, count, kLimitI4, sortedOut, orderOut, descending);
}

void aaMathSortVectorAndGetOrderI1(const int8_t *values, int count, int8_t *sortedOut,
                                   uint8_t *orderOut, int descending) {
    sortChecked(__func__, values, count, kLimitI1, sortedOut, orderOut, descending);
}

void selectionSort(int32_t *values, int count) {
    // Equal integers are indistinguishable, so any correct sort gives the
    // selection sort's result.
    if (count < 2 || countAbove(__func__, count, 127)) return;
    std::sort(values, values + count);
}

void sort(const int32_t *in, int rows, int cols, int32_t *out) {
    if (rows < 1 || cols < 1) return;
    const std::size_t c = static_cast<std::size_t>(cols);
    const std::size_t total = static_cast<std::size_t>(rows) * c;
    std::copy(in, in + total, out);
    if (rows == 1) {
        std::sort(out, out + c);
        return;
    }
    // Each column (stride cols, one element per row) is sorted ascending. A
    // non-square matrix is handled the same way, with columns of `rows` elements.
    for (std::size_t col = 0; col < c; ++col) {
        for (std::size_t pass = 1; pass < static_cast<std::size_t>(rows); ++pass) {
            bool swapped = false;
            for (std::size_t r = 0; r + pass < static_cast<std::size_t>(rows); ++r) {
                int32_t &a = out[r * c + col];
                int32_t &b = out[(r + 1) * c + col];
                if (a > b) {
                    std::swap(a, b);
                    swapped = true;
                }
            }
            if (!swapped) break;
        }
    }
}

uint8_t aaMathCalcUnique(const uint8_t *values, int count, uint8_t *uniqueOut, uint8_t *firstOut) {
    // The first slot is filled even for an empty input; that is the contract
    // callers know (they pass at least one value).
    uniqueOut[0] = values[0];
    firstOut[0] = 0;
    if (countAbove(__func__, count, kLimitI1)) return 1;
    std::array<bool, 256> seen{};
    seen[values[0]] = true;
    int n = 1;
    for (int j = 1; j < count; ++j) {
        if (!seen[values[j]]) {
            seen[values[j]] = true;
            uniqueOut[n] = values[j];
            firstOut[n] = static_cast<uint8_t>(j);
            ++n;
        }
    }
    if (n > UINT8_MAX) {
        // Every byte value occurs: the count does not fit the result.
        DEBUG_LOG(1, "%s: %d distinct values do not fit 8 bits\n", __func__, n);
        return 1;
    }
    return static_cast<uint8_t>(n);
}

int8_t aaMathCalcUniqueCmplxD(const TarnCplxD *values, int count, TarnCplxD *uniqueOut,
                              uint8_t *firstOut) {
    uniqueOut[0] = values[0];
    firstOut[0] = 0;
    if (countAbove(__func__, count, 127)) return 1;
    int n = 1;
    for (int j = 1; j < count; ++j) {
        const TarnCplxD v = values[j];
        bool found = false;
        for (int u = 0; u < n && !found; ++u) {
            found = uniqueOut[u].real() == v.real() && uniqueOut[u].imag() == v.imag();
        }
        if (!found) {
            uniqueOut[n] = v;
            firstOut[n] = static_cast<uint8_t>(j);
            ++n;
        }
    }
    return static_cast<int8_t>(n);
}

uint8_t aaMathVectorIsMember(const uint8_t *values, const uint8_t *set, int count, int setCount,
                             uint8_t *locOut) {
    if (count < 1 || countAbove(__func__, count, kLimitI1)) return 0;
    if (setCount < 0) setCount = 0;
    if (countAbove(__func__, setCount, 256)) return 0;
    const std::array<int, 256> pos = firstPositions(set, setCount);
    int n = 0;
    for (int i = 0; i < count; ++i) {
        if (pos[values[i]] >= 0) locOut[n++] = static_cast<uint8_t>(pos[values[i]]);
    }
    if (n > UINT8_MAX) {
        DEBUG_LOG(1, "%s: %d members do not fit 8 bits\n", __func__, n);
        return 0;
    }
    return static_cast<uint8_t>(n);
}

int8_t aaMathCalcMissing(const uint8_t *values, const uint8_t *set, int count, int setCount,
                         uint8_t *missingOut) {
    if (count < 1 || countAbove(__func__, count, 127)) return 0;
    std::array<bool, 256> present{};
    for (int k = 0; k < setCount; ++k) present[set[k]] = true;
    int n = 0;
    for (int i = 0; i < count; ++i) {
        if (!present[values[i]]) missingOut[n++] = values[i];
    }
    return static_cast<int8_t>(n);
}

void reorder(int32_t *matrix, int rows, int cols, const int8_t *perm) {
    reorderRows(__func__, matrix, rows, cols, perm, [](int32_t v) { return v; });
}

void reorder2(uint8_t *matrix, int rows, int cols, const int8_t *perm) {
    reorderRows(__func__, matrix, rows, cols, perm,
                [](uint8_t v) { return static_cast<uint8_t>(v != 0); });
}

}  // extern "C"
