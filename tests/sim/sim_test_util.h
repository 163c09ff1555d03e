// Scenario helpers shared by the simulator's tests.
#pragma once

#include "simulator.h"

namespace tarn_sim {

// A static link at d metres with every imperfection off: no noise, jitter,
// failures, unavailable tones, antenna-path spread or hardware response.
inline SimConfig quietLink(double d) {
    SimConfig c;
    c.trajectory = Trajectory::still(d);
    c.snrDb = 200.0;
    c.jitterNs = 0.0;
    c.failShare = 0.0;
    c.unavailableShare = 0.0;
    c.pathSpreadM = 0.0;
    c.hardwareResponse = false;
    return c;
}

}  // namespace tarn_sim
