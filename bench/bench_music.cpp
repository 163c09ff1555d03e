// MUSIC estimator: one procedure of 4 antenna paths x 72 channels at the
// default orders, on the fast route and on the reference route (general
// eigen-solver with eigenvectors for the covariance and the roots), plus the
// per-order building blocks at the largest default size.
#include <benchmark/benchmark.h>

#include <complex>
#include <cstring>
#include <random>

#include "compat/legacy_work.h"
#include "rtp/rtp_music.h"
#include "tarn_rtp.h"

namespace {

using cd = std::complex<double>;
constexpr double kSol = 299700000.0;
constexpr double kTwoPi = 6.283185307179586476925286766559;

// Two-ray response per antenna path on channels 2..73 with light noise.
struct Procedure {
    ToneRecord raw{};
    ToneRecord proc{};
    PresState pres{};
    double pdest[TARN_MAX_ANT_PATHS] = {};

    Procedure() {
        std::mt19937 rng(11);
        std::normal_distribution<double> noise(0.0, 0.01);
        for (int k = 0; k < TARN_NUM_CHANNELS; ++k) proc.chanList[k] = static_cast<uint8_t>(k);
        for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j) {
            const double d = 4.0 + 0.3 * j;
            pdest[j] = d * 1000.0;
            raw.gconf[j] = 100;
            for (int k = 2; k < 74; ++k) {
                const double f = 2402e6 + 1e6 * k;
                proc.pct[k][j] = std::polar(1.0, -kTwoPi * f * d / kSol) +
                                 std::polar(0.6, -kTwoPi * f * (d + 2.5) / kSol + 0.4) +
                                 cd(noise(rng), noise(rng));
                proc.gmap[k][j] = 1;
            }
        }
        pres.time = -100.0;
    }
};

void runEstimate(benchmark::State &state, tarn_rtp::MusicRoute route) {
    static const Procedure p;
    ConfigOpts opts = constOpts;
    MusicResult music;
    for (auto _ : state) {
        std::memset(&music, 0, sizeof music);
        tarn_compat::estWithMusic(&p.pres, &p.raw, &p.proc, &opts, TARN_MAX_ANT_PATHS, &music, p.pdest,
                               true, route);
        benchmark::DoNotOptimize(music);
    }
}

void BM_MusicEstimate4PathsFast(benchmark::State &state) {
    runEstimate(state, tarn_rtp::MusicRoute::kFast);
}
BENCHMARK(BM_MusicEstimate4PathsFast)->Unit(benchmark::kMicrosecond);

void BM_MusicEstimate4PathsReference(benchmark::State &state) {
    runEstimate(state, tarn_rtp::MusicRoute::kReference);
}
BENCHMARK(BM_MusicEstimate4PathsReference)->Unit(benchmark::kMicrosecond);

// Covariance of the largest default order (L = 19) over 72 channels.
struct Covariance {
    TarnCplxD R[TARN_MUSIC_COV_STRIDE * TARN_MUSIC_COV_STRIDE];
    Covariance() {
        static const Procedure p;
        TarnCplxD x[72];
        for (int k = 0; k < 72; ++k) x[k] = p.proc.pct[k + 2][0];
        algCalcCovD(x, 72, 19, TARN_MUSIC_COV_STRIDE, R);
    }
};

void BM_MusicCovariance19(benchmark::State &state) {
    static const Procedure p;
    TarnCplxD x[72];
    for (int k = 0; k < 72; ++k) x[k] = p.proc.pct[k + 2][0];
    static TarnCplxD R[TARN_MUSIC_COV_STRIDE * TARN_MUSIC_COV_STRIDE];
    for (auto _ : state) {
        algCalcCovD(x, 72, 19, TARN_MUSIC_COV_STRIDE, R);
        benchmark::DoNotOptimize(R);
    }
}
BENCHMARK(BM_MusicCovariance19)->Unit(benchmark::kMicrosecond);

void runRootMusic(benchmark::State &state, tarn_rtp::MusicRoute route) {
    static const Covariance c;
    double freq[9];
    double mag[9];
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            tarn_compat::rootMusicFreq(c.R, 9, 19, TARN_MUSIC_COV_STRIDE, freq, mag, route));
        benchmark::DoNotOptimize(freq);
    }
}

void BM_MusicRootMusic19Fast(benchmark::State &state) {
    runRootMusic(state, tarn_rtp::MusicRoute::kFast);
}
BENCHMARK(BM_MusicRootMusic19Fast)->Unit(benchmark::kMicrosecond);

void BM_MusicRootMusic19Reference(benchmark::State &state) {
    runRootMusic(state, tarn_rtp::MusicRoute::kReference);
}
BENCHMARK(BM_MusicRootMusic19Reference)->Unit(benchmark::kMicrosecond);

}  // namespace
