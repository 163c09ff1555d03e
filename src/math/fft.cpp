// In-place radix-2 FFT and its inverse.
#include <cmath>

#include "math/lanes.h"
#include "math/math_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

namespace {

constexpr int kMaxFftSize = 16384;

using tarn_math::Pair;

bool validSize(const char *function, int n) {
    if (n >= 1 && n <= kMaxFftSize && (n & (n - 1)) == 0) return true;
    DEBUG_LOG(1, "%s: size %d is not a power of two in 1..%d\n", function, n, kMaxFftSize);
    return false;
}

void transform(TarnCplxD *data, int n) {
    // Bit-reversed order, the reversed index counted along with i (adding 1
    // at the top bit and carrying downwards) rather than reversed afresh.
    for (int i = 0, r = 0; i < n; ++i) {
        if (i < r) std::swap(data[i], data[r]);
        int bit = n >> 1;
        while (bit > 0 && (r & bit) != 0) {
            r ^= bit;
            bit >>= 1;
        }
        r |= bit;
    }
    // Decimation in time. Every block of a stage walks the same twiddle
    // sequence (1, w, w*w, ... by repeated multiplication), so the sequence is
    // computed once per stage and applied to all blocks at each step.
    auto *d = reinterpret_cast<double(*)[2]>(data);
    const Pair sign = {-1.0, 1.0};
    for (int c = 2; c <= n; c <<= 1) {
        const double angle = -2.0 * tarn_math::kPi / c;
        const double wr = std::cos(angle);
        const double wi = std::sin(angle);
        const int half = c / 2;
        double tr = 1.0;
        double ti = 0.0;
        for (int k = 0; k < half; ++k) {
            // x = t * hi: (tr hr - ti hi, tr hi + ti hr), the subtraction
            // as the addition of the exactly negated product.
            const Pair tt = {tr, tr};
            const Pair ts = {ti, ti};
            for (int start = 0; start < n; start += c) {
                double *lo = d[start + k];
                double *hi = d[start + k + half];
                const Pair h = tarn_math::load2(hi);
                const Pair l = tarn_math::load2(lo);
                const Pair swapped = {h[1], h[0]};
                const Pair x = tt * h + sign * (ts * swapped);
                const Pair nh = l - x;
                const Pair nl = l + x;
                tarn_math::store2(hi, nh);
                tarn_math::store2(lo, nl);
            }
            const double nr = tr * wr - ti * wi;
            const double ni = tr * wi + ti * wr;
            tr = nr;
            ti = ni;
        }
    }
}

}  // namespace

extern "C" {

uint16_t reserveBits(uint32_t value, int bits) {
    if (bits <= 0) return 0;
    if (bits > 32) bits = 32;
    uint32_t r = 0;
    for (int j = 0; j < bits; ++j) {
        if ((value >> j) & 1u) r |= 1u << (bits - 1 - j);
    }
    return static_cast<uint16_t>(r);
}

void fft(TarnCplxD *data, int N) {
    if (!validSize(__func__, N)) return;
    transform(data, N);
}

void ifft(const TarnCplxD *input, int inputCount, TarnCplxD *output, int N) {
    if (N == 0 || !validSize(__func__, N)) return;
    const int used = inputCount < 0 ? 0 : (inputCount < N ? inputCount : N);
    for (int i = 0; i < used; ++i) output[i] = std::conj(input[i]);
    for (int i = used; i < N; ++i) output[i] = TarnCplxD(0.0, 0.0);
    transform(output, N);
    const double scale = static_cast<double>(N);
    for (int i = 0; i < N; ++i) {
        output[i] = TarnCplxD(output[i].real() / scale, -output[i].imag() / scale);
    }
}

}  // extern "C"
