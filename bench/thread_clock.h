// The calling thread's CPU time. Read inside a result callback it is the
// worker's, which a loaded machine does not inflate the way it does wall time.
#pragma once

#include <ctime>

namespace tarn_bench {

inline double threadCpuS() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace tarn_bench
