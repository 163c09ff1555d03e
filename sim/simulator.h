// Channel Sounding procedure simulator: complete procedures for a link whose
// true distance follows a scenario, in both of the library's input formats.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "rng.h"
#include "tarn_measurement.h"

namespace tarn_sim {

// ---- Radio constants -------------------------------------------------------

constexpr int kFirstChannelMhz = 2402;  // channel index 0
constexpr int kMaxSubevents = 32;       // subevents the intake can take per side
constexpr int kMaxSteps = TARN_MAX_STEPS;
constexpr double kTimeUnitNs = 0.5;  // ToA_ToD resolution
constexpr int16_t kToneMax = 2047;   // 12-bit signed I/Q
constexpr int16_t kToneMin = -2048;
constexpr uint8_t kQualUnavailable = 3;

inline double channelFrequencyHz(int channel) {
    return (kFirstChannelMhz + channel) * 1e6;
}

// Antenna path of the 1st..4th reported tone by permutation index.
extern const uint8_t kAntPattern[24][4];
// Permutation indexes valid for nap paths: 1, 2, 6 or 24.
int antPermCount(int nap);

// ---- Channel maps ------------------------------------------------------------

enum class ChannelMap {
    All,        // the 72 usable channels 2..22 and 26..76
    Half,       // every other one of them (36)
    Quarter,    // every fourth (18)
    WifiAvoid,  // away from 20 MHz Wi-Fi channels 1, 6 and 11 (12)
};

std::vector<uint8_t> channelMapChannels(ChannelMap map);
bool parseChannelMap(const std::string &name, ChannelMap *map);
const char *channelMapName(ChannelMap map);
// True for the channel indexes a procedure may use.
bool isUsableChannel(int channel);

// ---- Scenario ------------------------------------------------------------------

// Piecewise-linear true distance over time (seconds), held after the last point.
class Trajectory {
  public:
    struct Point {
        double t;
        double d;
    };

    static Trajectory still(double distance);
    // Starts at `distance`, moves at `speed` metres per second (negative:
    // approaching) and stops at `floor` metres.
    static Trajectory moving(double distance, double speed, double duration, double floor = 0.1);
    // From `nearM` out to `farM` and back at `speed`.
    static Trajectory outAndBack(double nearM, double farM, double speed);
    // Points must have ascending times; returns false (and stays unchanged) otherwise.
    bool setPoints(std::vector<Point> points);

    double at(double t) const;
    double duration() const { return points_.empty() ? 0.0 : points_.back().t; }
    const std::vector<Point> &points() const { return points_; }

  private:
    std::vector<Point> points_{{0.0, 1.0}};
};

// A reflected path: the extra length it travels and its amplitude relative to
// the line of sight; its phase is drawn per antenna path.
struct Reflection {
    double extraPathM = 0.0;
    double amplitude = 0.0;
};

// Magnitudes of a device's own hardware response (see SimConfig::hardwareResponse).
constexpr double kHardwareDelayNs = 0.1;          // group delay of each device and antenna path: +-
constexpr double kHardwarePhaseRippleRad = 0.15;  // smooth phase ripple around that line: up to +-
constexpr double kHardwareGainRippleDb = 1.0;     // smooth gain ripple: up to +-
// Round-trip timing jitter holds its configured value down to this tone SNR
// and grows as 1/sqrt(SNR) below it.
constexpr double kJitterReferenceSnrDb = 20.0;

// The link's CS timing as the CS configuration gives it (microseconds), from
// which each step's duration follows. All four times 0: unknown.
struct StepTiming {
    uint16_t tFcsUs = 0;
    uint16_t tIp1Us = 0;
    uint16_t tIp2Us = 0;
    uint16_t tPmUs = 0;
    uint8_t tSwUs = 0;    // antenna switch time; 0 with one antenna path
    uint8_t phy = 0;      // CS_SYNC PHY: 1 LE 1M, 2 LE 2M, 3 LE 2M 2BT; 0 unknown
    uint8_t rttType = 0;  // 0..6 as in the CS configuration

    bool known() const { return tFcsUs != 0 || tIp1Us != 0 || tIp2Us != 0 || tPmUs != 0; }
    bool operator==(const StepTiming &o) const;
    bool operator!=(const StepTiming &o) const { return !(*this == o); }
};

// Duration of one step of `mode` (0..3) with `nap` antenna paths under a
// known timing, in seconds: the radio's step composition (CS_SYNC packets,
// tone slots for nap + 1 antenna slots, the gaps between them); 0 for an
// unknown timing, mode or path count. phy 0 counts as LE 1M.
double stepDurationS(const StepTiming &t, int mode, int nap);
// Empty when a known timing uses only the values the radio allows, else why not.
std::string stepTimingFault(const StepTiming &t);

struct SimConfig {
    Trajectory trajectory = Trajectory::still(1.0);
    std::vector<Reflection> reflections;
    double snrDb = 30.0;  // tone signal-to-noise ratio, per side
    int nap = 1;          // antenna paths, 1..4
    int procedures = 100;
    double intervalS = 0.1;   // procedure interval
    double startTimeS = 0.0;  // time stamp of the first procedure
    uint64_t seed = 1;
    ChannelMap channelMap = ChannelMap::All;
    int subevents = 4;                    // per procedure, 1..32
    int mode0Steps = 3;                   // at the start of every subevent
    int toneMode = 2;                     // 2: mode-2 tone steps, 3: mode-3 (tones and ToA_ToD)
    int rttEvery = 2;                     // a mode-1 step after every n tone steps; 0: none
    double toneAmplitude = 1000.0;        // line-of-sight tone magnitude before quantisation
    double propagationMps = 299700000.0;  // the library's default speed of light
    double jitterNs = 3.0;                // std. deviation of the ToA_ToD difference (see above)
    double deviceDelayNs = 0.0;           // fixed extra round-trip delay of the devices
    double failShare = 0.05;              // share of round-trip packets that fail (aaQual != 0)
    double unavailableShare = 0.02;       // share of tones reported with quality 3
    double abortShare = 0.0;              // share of subevents aborted by one side
    double pathSpreadM = 0.03;            // spread of the antenna paths' distances

    // Each device's own smooth response per channel and antenna path (what a
    // calibration table removes): a group delay within +-kHardwareDelayNs, a
    // phase ripple within +-kHardwarePhaseRippleRad and a gain ripple within
    // +-kHardwareGainRippleDb, with periods of 30 to 80 MHz over the band.
    bool hardwareResponse = true;
    // The device pair: with a device seed their hardware responses come from
    // it alone, never from the room, the scenario or the noise, so a
    // calibration session and a ranging session with the same device seed see
    // the same two devices (the tool sets it to --seed). Unset: drawn from
    // `seed`'s stream after the room, so they change with the reflections.
    std::optional<uint64_t> deviceSeed;
    // Line-of-sight amplitude relative to the reference; below the largest
    // reflection's amplitude the direct path is blocked.
    double directAmplitude = 1.0;
    // Antenna paths other than the first see each reflection with their own
    // extra length (up to +-reflectionSpreadM) and amplitude (up to
    // +-reflectionGainSpread as a share).
    double reflectionSpreadM = 0.15;
    double reflectionGainSpread = 0.2;
    // Frequency offset of the reflector's clock against the initiator's,
    // reported by the mode-0 steps (0.01 ppm units).
    double clockOffsetPpm = 10.0;
    // Residual frequency offset after compensation: the two-way phase of the
    // tones of subevent s is turned by s x 2 pi x driftHz x subevent spacing.
    double driftHz = 0.0;
    // A manipulating reflector: it adds a phase slope over frequency to its
    // own tones so that the phase distance reads attackPhaseM metres short,
    // while its round-trip timing stays honest. 0: an honest reflector.
    double attackPhaseM = 0.0;
    // Every subevent after the first begins with the last n tone channels of
    // the previous one again (0..4), so that a phase step between them can be
    // measured; no round-trip step follows those last n tone steps.
    int repeatChannels = 0;
    // Every subevent hops over the whole channel map (in the procedure's
    // one hop order) instead of its share of it; repeatChannels then adds
    // nothing.
    bool sameChannels = false;
    // Each subevent after the first turns its tones' two-way phase by its
    // own jump drawn uniformly within +-phaseJumpRad (a device that
    // re-tunes between subevents); 0: none, and no draw.
    double phaseJumpRad = 0.0;
    // Duration of one step: the true distance of a step is taken at its own
    // time within the procedure (movement within a procedure).
    double stepS = 150e-6;
    // Time between the starts of two subevents; 0: back to back, each taking
    // the longest subevent's steps rounded up to 0.625 ms (5 ms by default).
    double subeventIntervalS = 0.0;
    // The link's step timing. Known: each step lasts what it composes to for
    // its mode (stepS is not used), the steps of a subevent back to back
    // from its time stamp, and every procedure carries the timing. Unknown
    // (the default): steps of stepS, procedures without a timing.
    StepTiming timing;

    // Empty when the configuration can be simulated, else the reason.
    std::string validate() const;
    // Steps per procedure the configuration produces (before aborts).
    int stepsPerProcedure() const;
    // Time between the starts of two subevents of a procedure.
    double subeventSpacingS() const;
    // Duration of subevent s's steps (seconds) and the start of each step
    // within it, as the procedure will have them (before the interval's cap).
    double subeventDurationS(int s, std::vector<double> *stepStartS = nullptr) const;
    // Two-way phase step between neighbouring subevents (radians).
    double subeventPhaseStep() const { return 2.0 * M_PI * driftHz * subeventSpacingS(); }
};

// ---- Procedure model (mirrors CsProcedure) --------------------------------------

struct Tone {
    int32_t i = 0;
    int32_t q = 0;
    uint8_t qual = 0;
};

struct Step {
    uint8_t channel = 0;
    uint8_t mode = 0;
    uint8_t aaQual = 0;       // modes 0, 1, 3
    int8_t rssi = 0;          // modes 0, 1, 3
    int32_t freqOff = 0;      // mode 0
    uint8_t security = 0;     // modes 1, 3
    int32_t timeEst = 0;      // modes 1, 3: ToA_ToD, 0.5 ns units
    uint8_t antenna = 0;      // modes 1, 3
    uint8_t antPerm = 0;      // modes 2, 3
    std::vector<Tone> tones;  // modes 2, 3: NAP + 1 tones in reporting order
    // 1: the controller reported the step aborted (no usable data). It keeps
    // its place so that later steps of the subevent keep their times.
    uint8_t aborted = 0;

    bool operator==(const Step &o) const;
};

struct Subevent {
    uint8_t rpl = 0;
    int8_t nap = 1;
    int8_t aborted = 0;
    int64_t timestampNs = 0;
    std::vector<Step> steps;

    bool operator==(const Subevent &o) const;
};

struct Procedure {
    std::vector<Subevent> initiator;
    std::vector<Subevent> reflector;
    double trueDistance = std::numeric_limits<double>::quiet_NaN();  // metres; NaN: unknown
    StepTiming timing;  // unknown unless the source of the procedure knew it

    bool hasTruth() const { return std::isfinite(trueDistance); }
    // Time stamp of the initiator's first subevent in seconds (0 without one).
    double timeS() const;
    bool operator==(const Procedure &o) const;
};

// ---- Simulator -------------------------------------------------------------------

class Simulator {
  public:
    // The configuration must validate (see SimConfig::validate).
    explicit Simulator(const SimConfig &cfg);

    const SimConfig &config() const { return cfg_; }
    // The next procedure of the scenario (any number may be drawn).
    Procedure next();
    int produced() const { return index_; }

    // The noiseless one-way propagation response of antenna path p at
    // `channel` for a true distance d (line of sight plus the reflections as
    // this path sees them), without the devices' hardware.
    std::complex<double> response(int path, int channel, double d) const;
    // Hardware response of device 0 (initiator) or 1 (reflector) for antenna
    // path p at `channel`; 1 when the hardware response is off. The tone
    // product carries hardware(0, p, k) x hardware(1, p, k).
    std::complex<double> hardware(int device, int path, int channel) const;
    // Where the round-trip packet detector places the arrival, relative to
    // the line of sight, for an exchange on `channel` (antenna path 0), in ns.
    // The correlation peak of paths much closer together than the pulse
    // width sits at Re(conj(C) D) / |C|^2 with C = sum of the path gains c_r
    // and D = sum of c_r x delay_r: near the line of sight when it dominates,
    // pulled late by a stronger later path; clamped to the paths' delays.
    double detectorBiasNs(int channel) const;

  private:
    struct Hardware {
        double phase0 = 0.0, delayNs = 0.0;
        double rippleRad = 0.0, ripplePeriodMhz = 50.0, ripplePhase = 0.0;
        double gainDb = 0.0, gainPeriodMhz = 50.0, gainPhase = 0.0;
    };

    Step toneStep(uint8_t channel, double d, double twoWayPhase, Step *reflOut);
    Step rttStep(uint8_t channel, double d, Step *reflOut);
    Step mode0Step(uint8_t channel, double d, Step *reflOut);
    void addRoundTrip(uint8_t channel, double d, Step *init, Step *refl);
    Tone noisyTone(std::complex<double> clean);
    int8_t rssiAt(double d);

    SimConfig cfg_;
    Rng rng_;
    std::vector<uint8_t> channels_;
    double pathOffsetM_[4] = {0, 0, 0, 0};
    double pathGain_[4] = {1, 1, 1, 1};
    std::vector<double> reflPhase_[4];  // per path, per reflection
    std::vector<double> reflExtraM_[4];
    std::vector<double> reflAmp_[4];
    Hardware hw_[2][4];  // per device and antenna path
    double noiseSd_ = 0.0;
    double jitterSd_ = 0.0;
    double spacing_ = 0.0;    // between subevent starts, seconds
    double phaseStep_ = 0.0;  // drift per subevent, radians
    int index_ = 0;
};

}  // namespace tarn_sim
