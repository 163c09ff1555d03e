// Synthetic per-channel tones for the phase pipeline's tests: a one-way
// multipath response per antenna path, split into the two devices' tones the
// way a real exchange reports them (only their product carries the distance).
#pragma once

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "tarn_rtp.h"

namespace tarn_test {

constexpr double kSol = 299700000.0;  // the library's default propagation speed
constexpr double kTwoPi = 6.283185307179586476925286766559;

// One propagation path: the direct path has extraM 0 and amp 1.
struct Ray {
    double extraM;    // extra length over the direct distance, m
    double amp;       // amplitude relative to 1
    double phaseRad;  // phase added on reflection
};

// Channel index k sits at 2402 + k MHz.
inline double channelHz(int k) { return 2402e6 + 1e6 * k; }

// One-way response of channel k at direct distance d (metres).
inline std::complex<double> oneWay(int k, double d, const std::vector<Ray> &rays,
                                   double sol = kSol) {
    std::complex<double> h(0.0, 0.0);
    for (const Ray &r : rays) {
        const double ph = -kTwoPi * channelHz(k) * (d + r.extraM) / sol + r.phaseRad;
        h += r.amp * std::polar(1.0, ph);
    }
    return h;
}

// The 72 channels a procedure may use: 2..22 and 26..76.
inline std::vector<int> usableChannels() {
    std::vector<int> ch;
    for (int k = 2; k <= 76; ++k)
        if (k < 23 || k > 25) ch.push_back(k);
    return ch;
}

struct ToneSetup {
    double distM = 1.0;
    std::vector<Ray> rays{{0.0, 1.0, 0.0}};
    std::vector<int> channels = usableChannels();
    int nap = 1;
    double pathExtraM[TARN_MAX_ANT_PATHS] = {0, 0, 0, 0};  // per antenna path
    double amplitude = 1000.0;  // tone amplitude in I/Q units
    double noiseStd = 0.0;      // per I/Q component, on each device's tone
    unsigned seed = 1;
};

// Fills rec as the channel-ordering stage would: chanList, gmap, both
// devices' tones (initiator H*e^{j theta}, reflector H*e^{-j theta} with a
// random theta per channel) and pct = their product. Everything else is 0.
inline void buildToneRecord(const ToneSetup &s, ToneRecord *rec) {
    std::memset(static_cast<void *>(rec), 0, sizeof *rec);
    std::mt19937 rng(s.seed);
    std::uniform_real_distribution<double> theta(-M_PI, M_PI);
    std::normal_distribution<double> noise(0.0, s.noiseStd > 0 ? s.noiseStd : 1.0);
    auto n = [&]() { return s.noiseStd > 0 ? noise(rng) : 0.0; };
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) rec->chanList[k] = static_cast<uint8_t>(k);
    for (int k : s.channels) {
        const double th = theta(rng);
        for (int j = 0; j < s.nap && j < TARN_MAX_ANT_PATHS; ++j) {
            const std::complex<double> h = s.amplitude * oneWay(k, s.distM + s.pathExtraM[j], s.rays);
            const std::complex<double> a = h * std::polar(1.0, th) + std::complex<double>(n(), n());
            const std::complex<double> b = h * std::polar(1.0, -th) + std::complex<double>(n(), n());
            rec->initPct[k][j] = TarnCplxF(static_cast<float>(a.real()), static_cast<float>(a.imag()));
            rec->reflPct[k][j] = TarnCplxF(static_cast<float>(b.real()), static_cast<float>(b.imag()));
            rec->pct[k][j] = a * b;
            rec->gmap[k][j] = 1;
        }
    }
}

// The one-way response itself (what tone processing should produce with no
// prior and no calibration offset), scaled by amplitude, on the given channels.
inline void buildOneWayRecord(const ToneSetup &s, ToneRecord *rec) {
    buildToneRecord(s, rec);
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k)
        for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j)
            rec->pct[k][j] = rec->gmap[k][j] ? s.amplitude * oneWay(k, s.distM + s.pathExtraM[j], s.rays)
                                             : TarnCplxD(0.0, 0.0);
}

// A device's own per-channel response (gain and phase per channel and antenna
// path) that every measured two-way product carries on top of the channel.
struct HardwareResponse {
    std::complex<double> g[TARN_NUM_CHANNELS][TARN_MAX_ANT_PATHS];
};

// Smooth random response: per path a linear phase (a fixed delay of up to
// delayM metres of two-way path) plus a few slow ripples of up to rippleRad,
// and a gain that varies by up to +-gainSpread around 1.
inline HardwareResponse smoothHardware(unsigned seed, double delayM = 1.0, double rippleRad = 0.6,
                                       double gainSpread = 0.3) {
    HardwareResponse hw;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j) {
        const double delay = delayM * (0.5 + 0.5 * u(rng));
        double amp[3], freq[3], off[3], gfreq = 0.5 + 1.5 * u(rng), goff = kTwoPi * u(rng);
        for (int r = 0; r < 3; ++r) {
            amp[r] = rippleRad * u(rng) / 3.0;
            freq[r] = 0.3 + 2.0 * u(rng);  // cycles over the band
            off[r] = kTwoPi * u(rng);
        }
        for (int k = 0; k < TARN_NUM_CHANNELS; ++k) {
            const double x = k / 79.0;
            double ph = -kTwoPi * 1e6 * k * delay / kSol;
            for (int r = 0; r < 3; ++r) ph += amp[r] * std::sin(kTwoPi * freq[r] * x + off[r]);
            const double gain = 1.0 + gainSpread * std::sin(kTwoPi * gfreq * x + goff);
            hw.g[k][j] = std::polar(gain, ph);
        }
    }
    return hw;
}

// Puts the response on the initiator's tones (and so on their product).
inline void applyHardware(const HardwareResponse &hw, ToneRecord *rec) {
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k)
        for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j) {
            const std::complex<double> a =
                std::complex<double>(rec->initPct[k][j].real(), rec->initPct[k][j].imag()) * hw.g[k][j];
            rec->initPct[k][j] = TarnCplxF(static_cast<float>(a.real()), static_cast<float>(a.imag()));
            rec->pct[k][j] *= hw.g[k][j];
        }
}

}  // namespace tarn_test
