// Classic reference estimators that the evaluation runs next to the library
// on the same tones, and the Cramér-Rao bound of the distance.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "simulator.h"

namespace tarn_tool {

// The simulator's procedure model and scenarios.
using namespace tarn_sim;

constexpr int kChannelSlots = 79;
constexpr double kChannelSpacingHz = 1e6;

// The round-trip response of one procedure: per channel index and antenna
// path the product of the initiator's and the reflector's tone, averaged
// where a channel was sounded more than once. Only subevents both sides
// completed with the same step count are used (as the library's intake
// does), steps are paired by position, and a tone flagged unavailable on
// either side is left out; the tone extension slot is ignored.
struct ToneProducts {
    int nap = 0;
    std::complex<double> value[kChannelSlots][4] = {};
    bool present[kChannelSlots][4] = {};

    int count(int path) const;
};
ToneProducts toneProducts(const Procedure &p);

struct BaselineEstimate {
    bool valid = false;
    double distanceM = 0.0;
};

// The delay-domain power profile summed over the antenna paths.
struct ImpulseResponse {
    std::vector<double> distanceM;  // one-way distance of each sample
    std::vector<double> magnitude;  // sqrt of the summed power, peak = 1
    double peakM = 0.0;             // the refined peak
};

// Peak of the zero-padded inverse FFT of the tone product (4096 points over
// the 1 MHz channel raster, summed in power over the antenna paths), refined
// to the maximum of the continuous transform between the neighbouring bins.
// Distances from -15 m to 135 m (the raster is unambiguous over 150 m).
// Fills `ir` (when given) with the profile from -5 m to `irMaxM`.
BaselineEstimate ifftPeakDistance(const ToneProducts &tp, double propagationMps,
                                  ImpulseResponse *ir = nullptr, double irMaxM = 40.0);

// Least-squares line through the unwrapped round-trip phase over frequency,
// per antenna path, averaged over the paths. The unwrap follows the slope
// fitted so far, so that the 4 MHz gap in the channel map is crossed at any
// distance. The first step between channels must turn the phase by less
// than half a turn: up to 75 m with neighbouring channels, 37 m when the
// first two are 2 MHz apart. At least 3 channels per path.
BaselineEstimate phaseSlopeDistance(const ToneProducts &tp, double propagationMps);

// Lower bound of the standard deviation (metres) of an unbiased distance
// estimate from one procedure over line of sight: one tone per channel in
// `channels`, both sides at `snrDb` (|tone|^2 over the complex noise power),
// `paths` antenna paths at the same distance with independent noise.
double cramerRaoBoundM(const std::vector<uint8_t> &channels, double snrDb, int paths,
                       double propagationMps);

// Radix-2 FFT in place (size a power of two); inverse without the 1/N scale.
void fftInPlace(std::vector<std::complex<double>> *x, bool inverse);

}  // namespace tarn_tool
