// Seeded random source with portable distributions: the standard library's
// distributions are implementation-defined, so a scenario would not replay
// bit for bit across platforms with them.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

namespace tarn_sim {

class Rng {
  public:
    explicit Rng(uint64_t seed) : eng_(seed) {}

    uint64_t raw() { return eng_(); }

    // Uniform in [0, 1) with 53 random bits.
    double uniform() { return static_cast<double>(eng_() >> 11) * 0x1.0p-53; }
    double uniform(double lo, double hi) { return lo + (hi - lo) * uniform(); }

    // Uniform integer in [0, n), without modulo bias. n = 0 gives 0.
    uint64_t below(uint64_t n) {
        if (n == 0) return 0;
        const uint64_t limit = UINT64_MAX - UINT64_MAX % n;
        uint64_t x;
        do {
            x = eng_();
        } while (x >= limit);
        return x % n;
    }

    bool chance(double p) { return uniform() < p; }

    // Standard normal deviate (Box-Muller, both values used in turn).
    double normal() {
        if (haveSpare_) {
            haveSpare_ = false;
            return spare_;
        }
        double u1;
        do {
            u1 = uniform();
        } while (u1 <= 0.0);
        const double u2 = uniform();
        const double r = std::sqrt(-2.0 * std::log(u1));
        const double a = 2.0 * M_PI * u2;
        spare_ = r * std::sin(a);
        haveSpare_ = true;
        return r * std::cos(a);
    }
    double normal(double mean, double sd) { return mean + sd * normal(); }

  private:
    std::mt19937_64 eng_;
    bool haveSpare_ = false;
    double spare_ = 0.0;
};

}  // namespace tarn_sim
