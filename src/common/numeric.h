// Numeric helpers shared by every subsystem (header-only, not exported).
#pragma once

#include <cstdint>

namespace tarn_common {

constexpr double kPi = 3.14159265358979323846;

// "No distance" in the records (RangeEstimate, MusicResult, PresState and
// the others that carry distances in metres x distSF): this distance, its
// negative as an open bound, and a confidence of kNoConfidence. The engine's
// own values say it with an empty distance (estimators/distance.h); only the
// conversions there and the record-level code produce or read these.
constexpr double kNoDistance = 2147483647.0;
constexpr double kNoConfidence = -1.0;

// Whether a record's distance is the marker (either sign).
inline bool isNoDistanceMarker(double d) {
    return d == kNoDistance || d == -kNoDistance;
}

// A result record (CsEstimate) without an estimate says distance 0 with
// confidence kNoConfidence.
constexpr double kNoEstimateDest = 0.0;

// An uncertainty or a first-path distance the latest-computation record does
// not have (its sigmaM, phaseSigmaM, rttSigmaM, firstPathM).
constexpr double kNoFigure = -1.0;

// Truncation toward zero into 32 bits as the 32-bit ARM target converts:
// out-of-range values saturate and NaN gives 0, where a plain cast would be
// undefined.
inline int32_t truncToInt32(double v) {
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// The same into unsigned 32 bits: negative values and NaN give 0.
inline uint32_t truncToUInt32(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 4294967295.0) return UINT32_MAX;
    return static_cast<uint32_t>(v);
}

// Channel Sounding step modes.
constexpr int kStepModeFreq = 0;     // frequency and gain calibration
constexpr int kStepModeRtt = 1;      // round-trip time (ToA_ToD)
constexpr int kStepModeTone = 2;     // tones (phase correction terms)
constexpr int kStepModeRttTone = 3;  // round-trip time and tones

inline bool isToneMode(int mode) {
    return mode == kStepModeTone || mode == kStepModeRttTone;
}
inline bool isRttMode(int mode) {
    return mode == kStepModeRtt || mode == kStepModeRttTone;
}

}  // namespace tarn_common
