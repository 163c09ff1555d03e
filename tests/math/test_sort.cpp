// Sorting with order, byte sets and row permutations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "log_capture.h"
#include "tarn_math.h"

namespace {

// The reference procedure: repeated selection of the next level above the
// previous one, every position holding it placed in input order, then the
// exchange pass for descending output. Quadratic, for small inputs.
template <typename V, typename Idx>
void referenceSort(const std::vector<V> &values, std::vector<V> &sorted, std::vector<Idx> &order,
                   bool descending, V start) {
    const std::size_t n = values.size();
    sorted.assign(n, V{});
    order.assign(n, Idx{});
    if (n == 0) return;
    V maxV = values[0];
    for (V v : values) {
        if (v > maxV) maxV = v;
    }
    V prev = start;
    std::size_t j = 0;
    for (std::size_t round = 0; round < n && j < n; ++round) {
        V c = maxV;
        for (V v : values) {
            if (c > v && v > prev) c = v;
        }
        for (std::size_t l = 0; l < n && j < n; ++l) {
            if (values[l] == c) {
                sorted[j] = c;
                order[j] = static_cast<Idx>(l);
                ++j;
            }
        }
        prev = c;
    }
    if (!descending) return;
    for (std::size_t k = 0; k < n; ++k) {
        for (std::size_t r = k + 1; r < n; ++r) {
            if (sorted[k] < sorted[r]) {
                std::swap(sorted[k], sorted[r]);
                std::swap(order[k], order[r]);
            }
        }
    }
}

template <typename V>
bool sameBits(const std::vector<V> &a, const std::vector<V> &b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(V)) == 0;
}

TEST(SortWithOrder, DocumentedCases) {
    const double in[] = {3.0, 1.0, 3.0, 2.0};
    double s[4];
    uint8_t o[4];
    aaMathSortVectorAndGetOrderDouble(in, 4, s, o, 0);
    EXPECT_EQ(std::vector<double>(s, s + 4), (std::vector<double>{1, 2, 3, 3}));
    EXPECT_EQ(std::vector<int>(o, o + 4), (std::vector<int>{1, 3, 0, 2}));
    aaMathSortVectorAndGetOrderDouble(in, 4, s, o, 1);
    EXPECT_EQ(std::vector<double>(s, s + 4), (std::vector<double>{3, 3, 2, 1}));
    EXPECT_EQ(std::vector<int>(o, o + 4), (std::vector<int>{0, 2, 3, 1}));

    const int8_t ch[] = {10, 2, 2, 40};
    int8_t cs[4];
    uint8_t co[4];
    aaMathSortVectorAndGetOrderI1(ch, 4, cs, co, 0);
    EXPECT_EQ(std::vector<int>(cs, cs + 4), (std::vector<int>{2, 2, 10, 40}));
    EXPECT_EQ(std::vector<int>(co, co + 4), (std::vector<int>{1, 2, 0, 3}));
}

TEST(SortWithOrder, SingleAndEmpty) {
    const double one = 4.5;
    double s[2] = {-1, -1};
    uint8_t o[2] = {9, 9};
    aaMathSortVectorAndGetOrderDouble(&one, 1, s, o, 1);
    EXPECT_EQ(s[0], 4.5);
    EXPECT_EQ(o[0], 0);
    EXPECT_EQ(s[1], -1);
    s[0] = -1;
    o[0] = 9;
    aaMathSortVectorAndGetOrderDouble(&one, 0, s, o, 0);
    EXPECT_EQ(s[0], -1);
    EXPECT_EQ(o[0], 9);
}

// Descending ties are not simply reversed: a run of equal values comes out
// rotated. Four equal values below one larger one show it.
TEST(SortWithOrder, DescendingTieRotation) {
    const double in[] = {1, 1, 1, 1, 2};
    double s[5];
    uint8_t o[5];
    aaMathSortVectorAndGetOrderDouble(in, 5, s, o, 1);
    EXPECT_EQ(std::vector<int>(o, o + 5), (std::vector<int>{4, 1, 2, 3, 0}));
}

TEST(SortWithOrder, MatchesReferenceOnRandomTies) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 3000; ++trial) {
        const int n = 1 + static_cast<int>(rng() % 127);
        const int levels = 1 + static_cast<int>(rng() % 12);
        std::vector<double> v(n);
        for (double &x : v) {
            const int level = static_cast<int>(rng() % levels);
            // Zeros of both signs, repeated levels, occasional infinity.
            x = level == 0
                    ? ((rng() & 1) ? 0.0 : -0.0)
                    : (level == 11 ? std::numeric_limits<double>::infinity() : level * 0.25 - 1.0);
        }
        for (int desc = 0; desc < 2; ++desc) {
            std::vector<double> refS, gotS(n);
            std::vector<uint8_t> refO, gotO(n);
            referenceSort(v, refS, refO, desc != 0, -std::numeric_limits<double>::infinity());
            aaMathSortVectorAndGetOrderDouble(v.data(), n, gotS.data(), gotO.data(), desc);
            ASSERT_TRUE(sameBits(refS, gotS)) << "trial " << trial << " desc " << desc;
            ASSERT_EQ(refO, gotO) << "trial " << trial << " desc " << desc;

            std::vector<uint16_t> refO2, gotO2(n);
            referenceSort(v, refS, refO2, desc != 0, -std::numeric_limits<double>::infinity());
            aaMathSortVectorAndGetUI2OrderDouble(v.data(), n, gotS.data(), gotO2.data(), desc);
            ASSERT_TRUE(sameBits(refS, gotS));
            ASSERT_EQ(refO2, gotO2);

            std::vector<uint32_t> refO4, gotO4(n);
            referenceSort(v, refS, refO4, desc != 0, -std::numeric_limits<double>::infinity());
            aaMathSortVectorAndGetOrderDoubleLong(v.data(), n, gotS.data(), gotO4.data(), desc);
            ASSERT_TRUE(sameBits(refS, gotS));
            ASSERT_EQ(refO4, gotO4);
        }
    }
}

TEST(SortWithOrder, IntegerVariantsMatchReference) {
    std::mt19937 rng(11);
    for (int trial = 0; trial < 2000; ++trial) {
        const int n = 1 + static_cast<int>(rng() % 127);
        const int range = 1 + static_cast<int>(rng() % 20);
        std::vector<int32_t> v4(n);
        std::vector<int8_t> v1(n);
        for (int i = 0; i < n; ++i) {
            v4[i] = static_cast<int32_t>(rng() % range) * 1000;
            v1[i] = static_cast<int8_t>(rng() % range);
        }
        for (int desc = 0; desc < 2; ++desc) {
            std::vector<int32_t> refS4, gotS4(n);
            std::vector<int8_t> refO4, gotO4(n);
            referenceSort<int32_t, int8_t>(v4, refS4, refO4, desc != 0, -1);
            aaMathSortVectorAndGetOrderI4(v4.data(), n, gotS4.data(), gotO4.data(), desc);
            ASSERT_EQ(refS4, gotS4);
            ASSERT_EQ(refO4, gotO4);

            std::vector<int8_t> refS1, gotS1(n);
            std::vector<uint8_t> refO1, gotO1(n);
            referenceSort<int8_t, uint8_t>(v1, refS1, refO1, desc != 0, -1);
            aaMathSortVectorAndGetOrderI1(v1.data(), n, gotS1.data(), gotO1.data(), desc);
            ASSERT_EQ(refS1, gotS1);
            ASSERT_EQ(refO1, gotO1);
        }
    }
}

// Outside the value domain every slot is still filled with a permutation of
// the input: NaN last, minus infinity and negative integers in numeric order.
TEST(SortWithOrder, OutOfDomainStaysAPermutation) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const double in[] = {1.0, nan, 2.0, 2.0, -inf};
    double s[5];
    uint8_t o[5];
    aaMathSortVectorAndGetOrderDouble(in, 5, s, o, 0);
    EXPECT_EQ(std::vector<int>(o, o + 5), (std::vector<int>{4, 0, 2, 3, 1}));
    EXPECT_EQ(s[0], -inf);
    EXPECT_TRUE(std::isnan(s[4]));
    aaMathSortVectorAndGetOrderDouble(in, 5, s, o, 1);
    std::vector<int> sortedOrder(o, o + 5);
    std::sort(sortedOrder.begin(), sortedOrder.end());
    EXPECT_EQ(sortedOrder, (std::vector<int>{0, 1, 2, 3, 4}));

    const int32_t neg[] = {3, -5, 0, -5};
    int32_t s4[4];
    int8_t o4[4];
    aaMathSortVectorAndGetOrderI4(neg, 4, s4, o4, 0);
    EXPECT_EQ(std::vector<int>(s4, s4 + 4), (std::vector<int>{-5, -5, 0, 3}));
    EXPECT_EQ(std::vector<int>(o4, o4 + 4), (std::vector<int>{1, 3, 2, 0}));
}

TEST(SortWithOrder, CountAboveLimitWritesNothing) {
    tarn_test::LogCapture cap(1);
    std::vector<double> v(128, 1.0);
    std::vector<double> s(128, -7.0);
    std::vector<uint8_t> o(128, 200);
    aaMathSortVectorAndGetOrderDouble(v.data(), 128, s.data(), o.data(), 0);
    EXPECT_EQ(s[0], -7.0);
    EXPECT_EQ(o[127], 200);
    EXPECT_TRUE(cap.containsFragment("aaMathSortVectorAndGetOrderDouble: count 128 above 127"));

    // Byte order entries address 256 tones; one more is refused.
    std::vector<int8_t> c(257, 1), cs(257, 0);
    std::vector<uint8_t> co(257, 0);
    aaMathSortVectorAndGetOrderI1(c.data(), 256, cs.data(), co.data(), 0);
    EXPECT_EQ(co[255], 255);
    cs[0] = 9;
    aaMathSortVectorAndGetOrderI1(c.data(), 257, cs.data(), co.data(), 0);
    EXPECT_EQ(cs[0], 9);
}

TEST(SmallSorts, SelectionAndMatrixSort) {
    int32_t v[] = {5, -1, 5, 3, -7};
    selectionSort(v, 5);
    EXPECT_EQ(std::vector<int>(v, v + 5), (std::vector<int>{-7, -1, 3, 5, 5}));

    const int32_t row[] = {4, 1, 3};
    int32_t out[3];
    sort(row, 1, 3, out);
    EXPECT_EQ(std::vector<int>(out, out + 3), (std::vector<int>{1, 3, 4}));

    const int32_t sq[] = {9, 1, 5,  //
                          2, 8, 4,  //
                          7, 3, 6};
    int32_t sorted[9];
    sort(sq, 3, 3, sorted);
    EXPECT_EQ(std::vector<int>(sorted, sorted + 9), (std::vector<int>{2, 1, 4, 7, 3, 5, 9, 8, 6}));
}

TEST(ByteSets, UniqueMemberMissing) {
    const uint8_t v[] = {5, 5, 7, 5, 9};
    uint8_t u[5], f[5];
    EXPECT_EQ(aaMathCalcUnique(v, 5, u, f), 3);
    EXPECT_EQ(std::vector<int>(u, u + 3), (std::vector<int>{5, 7, 9}));
    EXPECT_EQ(std::vector<int>(f, f + 3), (std::vector<int>{0, 2, 4}));

    const uint8_t vals[] = {4, 9, 2};
    const uint8_t set[] = {2, 4, 6};
    uint8_t loc[3];
    EXPECT_EQ(aaMathVectorIsMember(vals, set, 3, 3, loc), 2);
    EXPECT_EQ(loc[0], 1);
    EXPECT_EQ(loc[1], 0);
    EXPECT_EQ(aaMathVectorIsMember(vals, set, 0, 3, loc), 0);
    // The first matching position in the set is reported.
    const uint8_t dupSet[] = {7, 4, 4};
    const uint8_t four = 4;
    EXPECT_EQ(aaMathVectorIsMember(&four, dupSet, 1, 3, loc), 1);
    EXPECT_EQ(loc[0], 1);

    const uint8_t m[] = {1, 2, 2, 3};
    const uint8_t two = 2;
    uint8_t miss[4];
    EXPECT_EQ(aaMathCalcMissing(m, &two, 4, 1, miss), 2);
    EXPECT_EQ(miss[0], 1);
    EXPECT_EQ(miss[1], 3);
    const uint8_t dup[] = {8, 8};
    EXPECT_EQ(aaMathCalcMissing(dup, &two, 2, 1, miss), 2);
    EXPECT_EQ(aaMathCalcMissing(dup, &two, 0, 1, miss), 0);
}

TEST(ByteSets, CountsAtTheByteLimit) {
    std::vector<uint8_t> v(256), u(256), f(256), loc(256);
    for (int i = 0; i < 256; ++i) v[i] = static_cast<uint8_t>(255 - i);
    EXPECT_EQ(aaMathCalcUnique(v.data(), 255, u.data(), f.data()), 255);
    EXPECT_EQ(u[254], 1);
    EXPECT_EQ(f[254], 254);
    // 256 distinct values cannot be counted in 8 bits.
    tarn_test::LogCapture cap(1);
    EXPECT_EQ(aaMathCalcUnique(v.data(), 256, u.data(), f.data()), 1);
    EXPECT_TRUE(cap.containsFragment("256 distinct values do not fit 8 bits"));
    v[0] = 0;
    EXPECT_EQ(aaMathCalcUnique(v.data(), 256, u.data(), f.data()), 255);
    EXPECT_EQ(aaMathVectorIsMember(v.data(), v.data(), 255, 256, loc.data()), 255);
    EXPECT_EQ(loc[1], 1);
    EXPECT_EQ(loc[0], 0);
}

TEST(ByteSets, UniqueComplex) {
    const TarnCplxD v[] = {{1, 2}, {1, -2}, {1, 2}, {0.0, 0.0}, {-0.0, 0.0}};
    TarnCplxD u[5];
    uint8_t f[5];
    EXPECT_EQ(aaMathCalcUniqueCmplxD(v, 5, u, f), 3);
    EXPECT_EQ(u[1], TarnCplxD(1, -2));
    EXPECT_EQ(f[2], 3);
    EXPECT_EQ(aaMathCalcUniqueCmplxD(v, 0, u, f), 1);
}

TEST(Permutations, ReorderRows) {
    int32_t mat[] = {10, 11, 12, 20, 21, 22};
    const int8_t perm[] = {2, 0, 1};
    reorder(mat, 2, 3, perm);
    EXPECT_EQ(std::vector<int>(mat, mat + 6), (std::vector<int>{12, 10, 11, 22, 20, 21}));

    uint8_t mask[] = {0, 5, 0, 7};
    const int8_t rev[] = {3, 2, 1, 0};
    reorder2(mask, 1, 4, rev);
    EXPECT_EQ(std::vector<int>(mask, mask + 4), (std::vector<int>{1, 0, 1, 0}));

    // A permutation entry outside the row leaves the matrix untouched.
    tarn_test::LogCapture cap(1);
    const int8_t bad[] = {0, 3, 1};
    reorder(mat, 2, 3, bad);
    EXPECT_EQ(mat[1], 10);
    EXPECT_TRUE(cap.containsFragment("out of range"));
}

}  // namespace
