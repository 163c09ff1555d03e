// Channel Sounding procedure simulator: complete procedures for a link whose
// true distance follows a scenario, in both of the library's input formats.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <memory>
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
    double jitterNs = 3.0;                // standard deviation of the ToA_ToD difference
    double deviceDelayNs = 0.0;           // fixed extra round-trip delay of the devices
    double failShare = 0.05;              // share of round-trip packets that fail (aaQual != 0)
    double unavailableShare = 0.02;       // share of tones reported with quality 3
    double abortShare = 0.0;              // share of subevents aborted by one side
    double pathSpreadM = 0.03;            // spread of the antenna paths' distances

    // Empty when the configuration can be simulated, else the reason.
    std::string validate() const;
    // Steps per procedure the configuration produces (before aborts).
    int stepsPerProcedure() const;
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

    // The noiseless one-way response of antenna path p at `channel` for a
    // true distance d (line of sight plus the reflections).
    std::complex<double> response(int path, int channel, double d) const;

  private:
    Step toneStep(uint8_t channel, double d, Step *reflOut);
    Step rttStep(uint8_t channel, double d, Step *reflOut);
    Step mode0Step(uint8_t channel, double d, Step *reflOut);
    void addRoundTrip(double d, Step *init, Step *refl);
    Tone noisyTone(std::complex<double> clean);
    int8_t rssiAt(double d);

    SimConfig cfg_;
    Rng rng_;
    std::vector<uint8_t> channels_;
    double pathOffsetM_[4] = {0, 0, 0, 0};
    double pathGain_[4] = {1, 1, 1, 1};
    std::vector<double> reflPhase_[4];  // per path, per reflection
    double noiseSd_ = 0.0;
    int index_ = 0;
};

}  // namespace tarn_sim
