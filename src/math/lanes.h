// Two doubles operated on together, lane by lane: each lane computes exactly
// what the scalar expression would, so results do not depend on the choice
// below. Where the target has two-double SIMD (x86-64, 64-bit ARM) it is the
// compiler's generic vector; elsewhere (32-bit ARM's VFP) a plain pair of
// doubles with the same operators, which the compiler keeps in registers
// (the generic vector would be lowered through memory there).
#ifndef TARN_MATH_LANES_H
#define TARN_MATH_LANES_H

#include <cstring>

namespace tarn_math {

#if defined(__SSE2__) || defined(__aarch64__)
typedef double Pair __attribute__((vector_size(16)));
#else
struct Pair {
    double lane[2];
    double operator[](int i) const { return lane[i]; }
};
inline Pair operator+(Pair a, Pair b) { return Pair{{a.lane[0] + b.lane[0], a.lane[1] + b.lane[1]}}; }
inline Pair operator-(Pair a, Pair b) { return Pair{{a.lane[0] - b.lane[0], a.lane[1] - b.lane[1]}}; }
inline Pair operator*(Pair a, Pair b) { return Pair{{a.lane[0] * b.lane[0], a.lane[1] * b.lane[1]}}; }
inline Pair operator/(Pair a, Pair b) { return Pair{{a.lane[0] / b.lane[0], a.lane[1] / b.lane[1]}}; }
#endif

inline Pair load2(const double *p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline void store2(double *p, Pair v) {
    std::memcpy(p, &v, sizeof v);
}

}  // namespace tarn_math

#endif  // TARN_MATH_LANES_H
