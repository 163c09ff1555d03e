// Numeric toolkit at the sizes the estimators use.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "tarn_math.h"

namespace {

using C = TarnCplxD;

// Hermitian positive semi-definite matrix like a smoothed covariance,
// column-major with stride n.
std::vector<C> covariance(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> d(0, 1);
    std::vector<C> x(n * 3 * n);
    for (C &c : x) c = C(d(rng), d(rng));
    std::vector<C> r(n * n, C(0, 0));
    for (int s = 0; s < 3 * n; ++s) {
        for (int i = 0; i < n; ++i) {
            for (int j = 0; j < n; ++j) r[j * n + i] += x[s * n + i] * std::conj(x[s * n + j]);
        }
    }
    return r;
}

void BM_EigenIf(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const std::vector<C> r = covariance(n, 1);
    std::vector<C> values(n), vectors(n * n);
    for (auto _ : state) {
        aaMathCalcEigenIf(r.data(), n, n, values.data(), vectors.data());
        benchmark::DoNotOptimize(values.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_EigenIf)->DenseRange(5, 19, 2);

void BM_Roots(benchmark::State &state) {
    const int degree = static_cast<int>(state.range(0));
    std::mt19937 rng(2);
    std::normal_distribution<double> d(0, 1);
    // Conjugate-symmetric coefficients, as the root-MUSIC polynomial has.
    std::vector<C> coef(degree + 1);
    for (int k = 0; k <= degree / 2; ++k) {
        coef[k] = C(d(rng), d(rng));
        coef[degree - k] = std::conj(coef[k]);
    }
    if (degree % 2 == 0) coef[degree / 2] = C(coef[degree / 2].real() + 5.0, 0);
    std::vector<C> roots(degree + 1);
    for (auto _ : state) {
        aaMathCalcRoots(coef.data(), degree + 1, roots.data());
        benchmark::DoNotOptimize(roots.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_Roots)->DenseRange(8, 36, 4);

void BM_Fft512(benchmark::State &state) {
    std::mt19937 rng(3);
    std::normal_distribution<double> d(0, 1);
    std::vector<C> x(512), work(512);
    for (C &c : x) c = C(d(rng), d(rng));
    for (auto _ : state) {
        work = x;
        fft(work.data(), 512);
        benchmark::DoNotOptimize(work.data());
    }
}
BENCHMARK(BM_Fft512);

void BM_Ifft79To512(benchmark::State &state) {
    std::mt19937 rng(4);
    std::normal_distribution<double> d(0, 1);
    std::vector<C> in(79), out(512);
    for (C &c : in) c = C(d(rng), d(rng));
    for (auto _ : state) {
        ifft(in.data(), 79, out.data(), 512);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Ifft79To512);

void BM_Spline79(benchmark::State &state) {
    std::vector<double> x(79), y(79), q(20), out(20);
    for (int k = 0; k < 79; ++k) {
        x[k] = k + (k > 40 ? 3 : 0);
        y[k] = std::sin(0.2 * k) * 30000.0 + 100.0 * k;
    }
    for (int i = 0; i < 20; ++i) q[i] = 0.5 + 4.0 * i;
    for (auto _ : state) {
        aaMathCalcSpline(x.data(), y.data(), q.data(), 79, 20, out.data());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_Spline79);

void BM_SortWithOrder(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const int descending = static_cast<int>(state.range(1));
    std::mt19937 rng(5);
    std::vector<double> v(n), s(n);
    std::vector<uint8_t> o(n);
    // Distances in millimetres with some repeats.
    for (double &x : v) x = static_cast<double>(rng() % (n * 2)) * 25.0;
    for (auto _ : state) {
        aaMathSortVectorAndGetOrderDouble(v.data(), n, s.data(), o.data(), descending);
        benchmark::DoNotOptimize(s.data());
        benchmark::DoNotOptimize(o.data());
    }
}
BENCHMARK(BM_SortWithOrder)->ArgsProduct({{20, 40, 80}, {0, 1}});

void BM_Median(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    std::mt19937 rng(6);
    std::vector<double> v(n);
    for (double &x : v) x = static_cast<double>(rng() % 1000);
    for (auto _ : state) benchmark::DoNotOptimize(aaMathCalcMedianDouble(v.data(), n));
}
BENCHMARK(BM_Median)->Arg(20)->Arg(80);

}  // namespace
