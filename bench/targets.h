// The simulated targets the benchmarks share: one reflection, 25 dB.
#pragma once

#include <cstdint>

#include "simulator.h"

namespace tarn_bench {

// Still at 5 m.
inline tarn_sim::SimConfig stillTarget(int nap, uint64_t seed) {
    tarn_sim::SimConfig cfg;
    cfg.nap = nap;
    cfg.snrDb = 25.0;
    cfg.trajectory = tarn_sim::Trajectory::still(5.0);
    cfg.reflections = {{3.0, 0.5}};
    cfg.seed = seed;
    return cfg;
}

// Walking out from 1 m to 11 m and back at 1 m/s.
inline tarn_sim::SimConfig walkingTarget(int nap) {
    tarn_sim::SimConfig cfg = stillTarget(nap, 3);
    cfg.trajectory = tarn_sim::Trajectory::outAndBack(1.0, 11.0, 1.0);
    return cfg;
}

}  // namespace tarn_bench
