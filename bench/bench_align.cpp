// Event phase alignment: a 256-step procedure of four subevents, four paths.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "tarn_config.h"
#include "tarn_rtp.h"

namespace {

struct AlignWork {
    TarnCplxI4 init[TARN_MAX_TONES][TARN_MAX_ANT_PATHS] = {};
    TarnCplxI4 refl[TARN_MAX_TONES][TARN_MAX_ANT_PATHS] = {};
    double phase[TARN_MAX_TONES][TARN_MAX_ANT_PATHS] = {};
    uint8_t gmap[TARN_MAX_TONES][TARN_MAX_ANT_PATHS] = {};
    TarnCplxD initC[TARN_MAX_TONES][TARN_MAX_ANT_PATHS];
    TarnCplxD reflC[TARN_MAX_TONES][TARN_MAX_ANT_PATHS];
    uint8_t modes[256] = {};
    uint8_t channels[256] = {};
    int numTones = 0;
};

// Each subevent: 4 mode-0 steps, then 60 tone steps that repeat the last two
// channels of the previous subevent; every subevent has its own offset.
void BM_AlignEventPhases(benchmark::State &state) {
    auto w = std::make_unique<AlignWork>();
    int ch = 2, k = 0;
    for (int e = 0, i = 0; e < 4; ++e) {
        for (int z = 0; z < 4; ++z) w->modes[i++] = 0;
        if (e > 0) ch -= 2;
        for (int s = 0; s < 60; ++s, ++i, ++k, ++ch) {
            w->modes[i] = 2;
            w->channels[i] = static_cast<uint8_t>(2 + ch % 75);
            for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j) {
                const double a = -0.37 * w->channels[i] + 0.6 * e;
                const TarnCplxI4 iq{static_cast<int32_t>(std::lround(2000 * std::cos(a))),
                                    static_cast<int32_t>(std::lround(2000 * std::sin(a)))};
                w->init[k][j] = w->refl[k][j] = iq;
                w->phase[k][j] = std::fmod(std::atan2(iq.im, iq.re) / 3.141592653589793 * 65536 +
                                               32768 + 131072,
                                           65536);
                w->gmap[k][j] = 1;
            }
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(alignEventPhases(w->init, w->refl, w->phase, w->gmap, w->modes,
                                                  w->channels, &constOpts, 256, 4,
                                                  static_cast<uint16_t>(k), w->initC, w->reflC));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AlignEventPhases);

}  // namespace
