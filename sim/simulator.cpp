#include "simulator.h"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace tarn_sim {

const uint8_t kAntPattern[24][4] = {
    {0, 1, 2, 3}, {1, 0, 2, 3}, {0, 2, 1, 3}, {2, 0, 1, 3}, {2, 1, 0, 3}, {1, 2, 0, 3},
    {0, 1, 3, 2}, {1, 0, 3, 2}, {0, 3, 1, 2}, {3, 0, 1, 2}, {3, 1, 0, 2}, {1, 3, 0, 2},
    {0, 3, 2, 1}, {3, 0, 2, 1}, {0, 2, 3, 1}, {2, 0, 3, 1}, {2, 3, 0, 1}, {3, 2, 0, 1},
    {3, 1, 2, 0}, {1, 3, 2, 0}, {3, 2, 1, 0}, {2, 3, 1, 0}, {2, 1, 3, 0}, {1, 2, 3, 0},
};

int antPermCount(int nap) {
    switch (nap) {
        case 1:
            return 1;
        case 2:
            return 2;
        case 3:
            return 6;
        case 4:
            return 24;
        default:
            return 0;
    }
}

// ---- Channel maps -------------------------------------------------------------

bool isUsableChannel(int channel) {
    return (channel >= 2 && channel <= 22) || (channel >= 26 && channel <= 76);
}

std::vector<uint8_t> channelMapChannels(ChannelMap map) {
    std::vector<uint8_t> all;
    for (int k = 0; k <= 78; ++k)
        if (isUsableChannel(k)) all.push_back(static_cast<uint8_t>(k));
    std::vector<uint8_t> out;
    switch (map) {
        case ChannelMap::All:
            return all;
        case ChannelMap::Half:
        case ChannelMap::Quarter: {
            const size_t stride = map == ChannelMap::Half ? 2 : 4;
            for (size_t i = 0; i < all.size(); i += stride) out.push_back(all[i]);
            return out;
        }
        case ChannelMap::WifiAvoid:
            // 20 MHz Wi-Fi channels 1, 6 and 11 sit at 2412, 2437 and 2462 MHz.
            for (uint8_t k : all) {
                const int mhz = kFirstChannelMhz + k;
                bool busy = false;
                for (int centre : {2412, 2437, 2462})
                    if (mhz >= centre - 10 && mhz <= centre + 10) busy = true;
                if (!busy) out.push_back(k);
            }
            return out;
    }
    return all;
}

namespace {
struct MapName {
    ChannelMap map;
    const char *name;
};
const MapName kMapNames[] = {{ChannelMap::All, "all"},
                             {ChannelMap::Half, "half"},
                             {ChannelMap::Quarter, "quarter"},
                             {ChannelMap::WifiAvoid, "wifi-avoid"}};
}  // namespace

bool parseChannelMap(const std::string &name, ChannelMap *map) {
    for (const MapName &m : kMapNames)
        if (name == m.name) {
            *map = m.map;
            return true;
        }
    return false;
}

const char *channelMapName(ChannelMap map) {
    for (const MapName &m : kMapNames)
        if (m.map == map) return m.name;
    return "?";
}

// ---- Trajectory ----------------------------------------------------------------

Trajectory Trajectory::still(double distance) {
    Trajectory t;
    t.points_ = {{0.0, distance}};
    return t;
}

Trajectory Trajectory::moving(double distance, double speed, double duration, double floor) {
    Trajectory t;
    if (speed == 0.0 || duration <= 0.0) return still(distance);
    double end = distance + speed * duration;
    double tEnd = duration;
    if (end < floor) {
        // Stop at the floor and stay there.
        end = floor;
        tEnd = distance > floor ? (distance - floor) / -speed : 0.0;
    }
    t.points_ = {{0.0, distance}, {tEnd, end}};
    return t;
}

Trajectory Trajectory::outAndBack(double nearM, double farM, double speed) {
    Trajectory t;
    const double leg = std::fabs(farM - nearM) / speed;
    t.points_ = {{0.0, nearM}, {leg, farM}, {2.0 * leg, nearM}};
    return t;
}

bool Trajectory::setPoints(std::vector<Point> points) {
    if (points.empty()) return false;
    for (size_t i = 0; i < points.size(); ++i) {
        if (!std::isfinite(points[i].t) || !std::isfinite(points[i].d)) return false;
        if (i > 0 && !(points[i].t > points[i - 1].t)) return false;
    }
    points_ = std::move(points);
    return true;
}

double Trajectory::at(double t) const {
    if (t <= points_.front().t) return points_.front().d;
    for (size_t i = 1; i < points_.size(); ++i) {
        if (t <= points_[i].t) {
            const Point &a = points_[i - 1], &b = points_[i];
            return a.d + (b.d - a.d) * (t - a.t) / (b.t - a.t);
        }
    }
    return points_.back().d;
}

// ---- Configuration --------------------------------------------------------------

namespace {

// Step plan of subevent s of a procedure with `tones` tone channels: kMode0
// and kRoundTrip entries, or the position of a tone step's channel in the
// procedure's hop order. The tone channels are split evenly over the
// subevents; with repeated channels a subevent starts with the last ones of
// the previous subevent again.
constexpr int kMode0 = -1, kRoundTrip = -2;

std::vector<int> subeventPlan(const SimConfig &c, int tones, int s) {
    std::vector<int> plan;
    if (c.sameChannels) {
        plan.assign(static_cast<size_t>(std::max(c.mode0Steps, 0)), kMode0);
        for (int i = 0; i < tones; ++i) {
            plan.push_back(i);
            if (c.rttEvery > 0 && (i + 1) % c.rttEvery == 0) plan.push_back(kRoundTrip);
        }
        return plan;
    }
    const int from = s * tones / c.subevents, to = (s + 1) * tones / c.subevents;
    const int prevFrom = s > 0 ? (s - 1) * tones / c.subevents : 0;
    const int first = s > 0 ? std::max(prevFrom, from - c.repeatChannels) : from;
    plan.assign(static_cast<size_t>(std::max(c.mode0Steps, 0)), kMode0);
    const int count = to - first;
    const bool last = s == c.subevents - 1;
    for (int i = 0; i < count; ++i) {
        plan.push_back(first + i);
        const bool tail = c.repeatChannels > 0 && !last && i >= count - c.repeatChannels;
        if (c.rttEvery > 0 && (i + 1) % c.rttEvery == 0 && !tail) plan.push_back(kRoundTrip);
    }
    return plan;
}

}  // namespace

int SimConfig::stepsPerProcedure() const {
    const int tones = static_cast<int>(channelMapChannels(channelMap).size());
    if (subevents < 1 || subevents > kMaxSubevents) return 0;
    int steps = 0;
    for (int s = 0; s < subevents; ++s)
        steps += static_cast<int>(subeventPlan(*this, tones, s).size());
    return steps;
}

double SimConfig::subeventDurationS(int s, std::vector<double> *stepStartS) const {
    const int tones = static_cast<int>(channelMapChannels(channelMap).size());
    const std::vector<int> plan = subeventPlan(*this, tones, s);
    if (stepStartS != nullptr) stepStartS->clear();
    double t = 0.0;
    for (int entry : plan) {
        if (stepStartS != nullptr) stepStartS->push_back(t);
        const int mode = entry == kMode0 ? 0 : entry == kRoundTrip ? 1 : toneMode;
        t += timing.known() ? stepDurationS(timing, mode, nap) : stepS;
    }
    return t;
}

double SimConfig::subeventSpacingS() const {
    if (subeventIntervalS > 0.0) return subeventIntervalS;
    constexpr double slot = 625e-6;
    if (timing.known()) {
        double longest = 0.0;
        for (int s = 0; s < subevents && s < kMaxSubevents; ++s)
            longest = std::max(longest, subeventDurationS(s));
        return std::max(1.0, std::ceil(longest / slot - 1e-9)) * slot;
    }
    const int tones = static_cast<int>(channelMapChannels(channelMap).size());
    size_t most = 0;
    for (int s = 0; s < subevents && s < kMaxSubevents; ++s)
        most = std::max(most, subeventPlan(*this, tones, s).size());
    return std::max(1.0, std::ceil(most * stepS / slot - 1e-9)) * slot;
}

// ---- Step timing ---------------------------------------------------------------

namespace {
template <size_t N>
bool oneOf(unsigned v, const unsigned (&set)[N]) {
    return std::find(std::begin(set), std::end(set), v) != std::end(set);
}
}  // namespace

std::string stepTimingFault(const StepTiming &t) {
    static const unsigned ip[] = {10, 20, 30, 40, 50, 60, 80, 145};
    static const unsigned fcs[] = {15, 20, 30, 40, 50, 60, 80, 100, 120, 150};
    static const unsigned pm[] = {10, 20, 40};
    static const unsigned sw[] = {0, 1, 2, 4, 10};
    if (!t.known()) return "";
    if (!oneOf(t.tFcsUs, fcs)) return "T_FCS must be one of 15, 20, 30, 40, 50, 60, 80, 100, 120, 150";
    if (!oneOf(t.tIp1Us, ip) || !oneOf(t.tIp2Us, ip))
        return "T_IP1 and T_IP2 must be one of 10, 20, 30, 40, 50, 60, 80, 145";
    if (!oneOf(t.tPmUs, pm)) return "T_PM must be one of 10, 20, 40";
    if (!oneOf(t.tSwUs, sw)) return "T_SW must be one of 0, 1, 2, 4, 10";
    if (t.phy > 3) return "the PHY must be 1 (LE 1M), 2 (LE 2M) or 3 (LE 2M 2BT)";
    if (t.rttType > 6) return "the RTT type must be 0 to 6";
    return "";
}

double stepDurationS(const StepTiming &t, int mode, int nap) {
    if (!t.known() || nap < 1 || nap > 4) return 0.0;
    // The CS_SYNC packet: preamble, access address, the sounding or random
    // sequence of the RTT type, trailer; 1 us a bit on LE 1M, 0.5 us on the
    // 2 Msym/s PHYs (whose preamble is 16 bits).
    static const int seqBits[7] = {0, 32, 96, 32, 64, 96, 128};
    const double bits = t.rttType <= 6 ? seqBits[t.rttType] : 0;
    const double syncUs = t.phy <= 1 ? 8 + 32 + 4 + bits : (16 + 32 + 4 + bits) / 2.0;
    constexpr double rampDownUs = 5, guardUs = 10, freqMeasureUs = 80;
    // One tone slot per antenna path and the extension slot, each side.
    const double slotsUs = ((nap > 1 ? t.tSwUs : 0) + t.tPmUs) * (nap + 1.0);
    double us = 0;
    switch (mode) {
        case 0:  // initiator's CS_SYNC, reflector's CS_SYNC and its tone
            us = t.tFcsUs + 2 * (syncUs + rampDownUs) + t.tIp1Us + guardUs + freqMeasureUs;
            break;
        case 1:  // the two CS_SYNC packets
            us = t.tFcsUs + 2 * (syncUs + rampDownUs) + t.tIp1Us;
            break;
        case 2:  // the two sides' tones
            us = t.tFcsUs + t.tIp2Us + 2 * slotsUs;
            break;
        case 3:  // each side a CS_SYNC packet followed by its tones
            us = t.tFcsUs + t.tIp2Us + 2 * (syncUs + guardUs + slotsUs);
            break;
        default:
            return 0.0;
    }
    return us * 1e-6;
}

std::string SimConfig::validate() const {
    std::ostringstream why;
    auto share = [](double v) { return std::isfinite(v) && v >= 0.0 && v <= 1.0; };
    if (nap < 1 || nap > 4)
        why << "antenna paths must be 1 to 4 (got " << nap << ")";
    else if (procedures < 0)
        why << "the number of procedures must not be negative";
    else if (!std::isfinite(intervalS) || intervalS <= 0.0)
        why << "the procedure interval must be positive";
    else if (!std::isfinite(startTimeS) || startTimeS < 0.0)
        why << "the start time must not be negative";
    else if (subevents < 1 || subevents > kMaxSubevents)
        why << "subevents per procedure must be 1 to " << kMaxSubevents;
    else if (mode0Steps < 0 || mode0Steps > 16)
        why << "mode-0 steps per subevent must be 0 to 16";
    else if (toneMode != 2 && toneMode != 3)
        why << "tone steps must be mode 2 or 3";
    else if (rttEvery < 0)
        why << "the round-trip step spacing must not be negative";
    else if (!std::isfinite(snrDb))
        why << "the signal-to-noise ratio must be a finite number";
    else if (!(toneAmplitude > 0.0 && toneAmplitude <= kToneMax))
        why << "the tone amplitude must be in (0, 2047]";
    else if (!std::isfinite(propagationMps) || propagationMps <= 0.0)
        why << "the propagation speed must be positive";
    else if (!std::isfinite(jitterNs) || jitterNs < 0.0 || jitterNs > 1000.0)
        why << "the timing jitter must be 0 to 1000 ns";
    else if (!std::isfinite(deviceDelayNs) || std::fabs(deviceDelayNs) > 1000.0)
        why << "the device delay must be within +-1000 ns";
    else if (!share(failShare) || !share(unavailableShare) || !share(abortShare))
        why << "shares must be between 0 and 1";
    else if (!std::isfinite(pathSpreadM) || pathSpreadM < 0.0 || pathSpreadM > 1.0)
        why << "the antenna path spread must be 0 to 1 m";
    else if (!std::isfinite(directAmplitude) || directAmplitude < 0.0 || directAmplitude > 10.0)
        why << "the line-of-sight amplitude must be 0 to 10";
    else if (!std::isfinite(reflectionSpreadM) || reflectionSpreadM < 0.0 ||
             reflectionSpreadM > 10.0 || !std::isfinite(reflectionGainSpread) ||
             reflectionGainSpread < 0.0 || reflectionGainSpread > 1.0)
        why << "the reflection spread must be 0 to 10 m and its gain spread 0 to 1";
    else if (!std::isfinite(clockOffsetPpm) || std::fabs(clockOffsetPpm) > 100.0)
        why << "the clock offset must be within +-100 ppm";
    else if (!std::isfinite(driftHz) || std::fabs(driftHz) > 1000.0)
        why << "the phase drift must be within +-1000 Hz";
    else if (!std::isfinite(attackPhaseM) || std::fabs(attackPhaseM) > 100.0)
        why << "the phase attack must be within +-100 m";
    else if (!std::isfinite(phaseJumpRad) || phaseJumpRad < 0.0 || phaseJumpRad > 2.0 * M_PI)
        why << "the phase jumps must be 0 to 2 pi radians";
    else if (repeatChannels < 0 || repeatChannels > 4)
        why << "repeated channels must be 0 to 4";
    else if (!std::isfinite(stepS) || stepS < 0.0 || stepS > 0.01)
        why << "the step duration must be 0 to 10 ms";
    else if (!std::isfinite(subeventIntervalS) || subeventIntervalS < 0.0)
        why << "the subevent interval must not be negative";
    else if (!stepTimingFault(timing).empty())
        why << "step timing: " << stepTimingFault(timing);
    else if (static_cast<int>(channelMapChannels(channelMap).size()) < subevents)
        why << "the channel map has fewer channels than subevents";
    else if (stepsPerProcedure() > kMaxSteps)
        why << "a procedure would have " << stepsPerProcedure() << " steps (at most " << kMaxSteps
            << ")";
    else if (subevents * subeventSpacingS() > intervalS + 1e-12)
        why << "the subevents (" << subevents << " every " << subeventSpacingS() * 1e3
            << " ms) do not fit into the procedure interval";
    if (!why.str().empty()) return why.str();
    if (timing.known()) {
        const double spacing = subeventSpacingS();
        for (int s = 0; s < subevents; ++s) {
            const double took = subeventDurationS(s);
            if (took > spacing + 1e-12) {
                why << "a subevent's steps take " << took * 1e3
                    << " ms, more than the subevent interval of " << spacing * 1e3 << " ms";
                return why.str();
            }
        }
    }
    for (const Trajectory::Point &p : trajectory.points())
        if (!std::isfinite(p.d) || p.d < 0.0 || p.d > 1000.0)
            return "distances must be 0 to 1000 m";
    for (const Reflection &r : reflections)
        if (!std::isfinite(r.extraPathM) || r.extraPathM < 0.0 || r.extraPathM > 1000.0 ||
            !std::isfinite(r.amplitude) || r.amplitude < 0.0 || r.amplitude > 10.0)
            return "reflections need an extra path of 0 to 1000 m and an amplitude of 0 to 10";
    return "";
}

// ---- Model equality (used by the record round trip) ----------------------------

bool Step::operator==(const Step &o) const {
    if (channel != o.channel || mode != o.mode || tones.size() != o.tones.size()) return false;
    for (size_t t = 0; t < tones.size(); ++t)
        if (tones[t].i != o.tones[t].i || tones[t].q != o.tones[t].q ||
            tones[t].qual != o.tones[t].qual)
            return false;
    return aaQual == o.aaQual && rssi == o.rssi && freqOff == o.freqOff && security == o.security &&
           timeEst == o.timeEst && antenna == o.antenna && antPerm == o.antPerm &&
           aborted == o.aborted;
}

bool StepTiming::operator==(const StepTiming &o) const {
    return tFcsUs == o.tFcsUs && tIp1Us == o.tIp1Us && tIp2Us == o.tIp2Us && tPmUs == o.tPmUs &&
           tSwUs == o.tSwUs && phy == o.phy && rttType == o.rttType;
}

bool Subevent::operator==(const Subevent &o) const {
    return rpl == o.rpl && nap == o.nap && aborted == o.aborted && timestampNs == o.timestampNs &&
           steps == o.steps;
}

bool Procedure::operator==(const Procedure &o) const {
    const bool truthSame =
        hasTruth() == o.hasTruth() && (!hasTruth() || trueDistance == o.trueDistance);
    return truthSame && timing == o.timing && initiator == o.initiator &&
           reflector == o.reflector;
}

double Procedure::timeS() const {
    return initiator.empty() ? 0.0 : static_cast<double>(initiator[0].timestampNs) * 1e-9;
}

// ---- Simulator -------------------------------------------------------------------

namespace {

constexpr double kCentreHz = 2440e6;

double wrapPhase(double a) {
    return std::remainder(a, 2.0 * M_PI);
}

}  // namespace

Simulator::Simulator(const SimConfig &cfg)
    : cfg_(cfg), rng_(cfg.seed), channels_(channelMapChannels(cfg.channelMap)) {
    // Geometry of the antenna paths is fixed for the session: path 0 sees the
    // true distance and the reflections as configured, the others differ
    // slightly in length and gain and see each reflection a little
    // differently.
    for (int p = 0; p < 4; ++p) {
        pathOffsetM_[p] = p == 0 ? 0.0 : rng_.uniform(-cfg_.pathSpreadM, cfg_.pathSpreadM);
        pathGain_[p] = p == 0 ? 1.0 : rng_.uniform(0.9, 1.1);
        for (const Reflection &r : cfg_.reflections) {
            reflPhase_[p].push_back(rng_.uniform(0.0, 2.0 * M_PI));
            const double dl = rng_.uniform(-cfg_.reflectionSpreadM, cfg_.reflectionSpreadM);
            const double da = rng_.uniform(-cfg_.reflectionGainSpread, cfg_.reflectionGainSpread);
            reflExtraM_[p].push_back(p == 0 ? r.extraPathM : std::max(0.0, r.extraPathM + dl));
            reflAmp_[p].push_back(p == 0 ? r.amplitude : r.amplitude * (1.0 + da));
        }
    }
    // With a device seed the devices have a stream of their own, so that
    // nothing else about the session moves them; without one they come from
    // the session's stream after the room (kept so that existing seeds give
    // the same bytes).
    Rng ownStream(cfg_.deviceSeed.value_or(0) ^ 0x9e3779b97f4a7c15ull);
    Rng &devices = cfg_.deviceSeed ? ownStream : rng_;
    for (int dev = 0; dev < 2; ++dev)
        for (int p = 0; p < 4; ++p) {
            Hardware &h = hw_[dev][p];
            h.phase0 = devices.uniform(0.0, 2.0 * M_PI);
            h.delayNs = devices.uniform(-kHardwareDelayNs, kHardwareDelayNs);
            h.rippleRad = kHardwarePhaseRippleRad * devices.uniform(0.5, 1.0);
            h.ripplePeriodMhz = devices.uniform(30.0, 80.0);
            h.ripplePhase = devices.uniform(0.0, 2.0 * M_PI);
            h.gainDb = kHardwareGainRippleDb * devices.uniform(0.5, 1.0);
            h.gainPeriodMhz = devices.uniform(30.0, 80.0);
            h.gainPhase = devices.uniform(0.0, 2.0 * M_PI);
        }
    // Per-component deviation giving the configured ratio of |tone|^2 to |noise|^2.
    spacing_ = cfg_.subeventSpacingS();
    phaseStep_ = cfg_.subeventPhaseStep();
    noiseSd_ = cfg_.toneAmplitude / std::sqrt(2.0 * std::pow(10.0, cfg_.snrDb / 10.0));
    // Timing jitter: the configured floor, growing as 1/sqrt(SNR) at low SNR.
    jitterSd_ =
        cfg_.jitterNs * std::max(1.0, std::pow(10.0, (kJitterReferenceSnrDb - cfg_.snrDb) / 20.0));
}

std::complex<double> Simulator::response(int path, int channel, double d) const {
    const double f = channelFrequencyHz(channel);
    const double los = d + pathOffsetM_[path];
    auto travel = [&](double len) {
        return std::polar(1.0, -2.0 * M_PI * f * len / cfg_.propagationMps);
    };
    std::complex<double> h = cfg_.directAmplitude * travel(los);
    for (size_t r = 0; r < cfg_.reflections.size(); ++r)
        h += reflAmp_[path][r] * std::polar(1.0, reflPhase_[path][r]) *
             travel(los + reflExtraM_[path][r]);
    return pathGain_[path] * h;
}

std::complex<double> Simulator::hardware(int device, int path, int channel) const {
    if (!cfg_.hardwareResponse) return 1.0;
    const Hardware &h = hw_[device & 1][path & 3];
    const double mhz = (channelFrequencyHz(channel) - kCentreHz) * 1e-6;
    const double phase =
        h.phase0 - 2.0 * M_PI * mhz * 1e6 * h.delayNs * 1e-9 +
        h.rippleRad * std::sin(2.0 * M_PI * mhz / h.ripplePeriodMhz + h.ripplePhase);
    const double gainDb = h.gainDb * std::sin(2.0 * M_PI * mhz / h.gainPeriodMhz + h.gainPhase);
    return std::polar(std::pow(10.0, gainDb / 20.0), phase);
}

double Simulator::detectorBiasNs(int channel) const {
    const double f = channelFrequencyHz(channel);
    std::complex<double> c = cfg_.directAmplitude, dsum = 0.0;
    double latest = 0.0;
    for (size_t r = 0; r < cfg_.reflections.size(); ++r) {
        const double tauNs = reflExtraM_[0][r] / cfg_.propagationMps * 1e9;
        const std::complex<double> g =
            reflAmp_[0][r] * std::polar(1.0, reflPhase_[0][r] - 2.0 * M_PI * f * tauNs * 1e-9);
        c += g;
        dsum += g * tauNs;
        latest = std::max(latest, tauNs);
    }
    const double power = std::norm(c);
    // A full fade leaves no peak to speak of: the detector locks anywhere
    // within the paths' spread.
    if (power < 1e-12) return latest / 2.0;
    return std::clamp((std::conj(c) * dsum).real() / power, 0.0, latest);
}

Tone Simulator::noisyTone(std::complex<double> clean) {
    const double ni = rng_.normal() * noiseSd_;
    const double nq = rng_.normal() * noiseSd_;
    auto quantise = [](double v) {
        return static_cast<int32_t>(std::clamp(std::nearbyint(v), static_cast<double>(kToneMin),
                                               static_cast<double>(kToneMax)));
    };
    Tone t;
    t.i = quantise(clean.real() + ni);
    t.q = quantise(clean.imag() + nq);
    if (rng_.chance(cfg_.unavailableShare)) {
        t.qual = kQualUnavailable;
    } else {
        const double noise = 2.0 * noiseSd_ * noiseSd_;
        const double snr =
            noise > 0.0 ? 10.0 * std::log10(std::norm(clean) / noise + 1e-30) : 300.0;
        t.qual = snr >= 20.0 ? 0 : snr >= 10.0 ? 1 : 2;
    }
    return t;
}

int8_t Simulator::rssiAt(double d) {
    const double v = -40.0 - 20.0 * std::log10(std::max(d, 0.1)) + rng_.normal(0.0, 1.5);
    return static_cast<int8_t>(std::clamp(std::nearbyint(v), -127.0, 20.0));
}

void Simulator::addRoundTrip(uint8_t channel, double d, Step *init, Step *refl) {
    // The estimator takes (initiator - reflector) / 2 as the one-way time, so
    // the initiator's value carries the round trip plus the reflector's
    // turnaround and the reflector's value the turnaround alone. Both
    // directions' arrivals are detected late by the same multipath bias.
    const double tofNs = d / cfg_.propagationMps * 1e9 + detectorBiasNs(channel);
    const double turnaroundNs = rng_.uniform(100.0, 400.0);
    const double sd = jitterSd_ / std::sqrt(2.0);
    const double a = turnaroundNs + 2.0 * tofNs + cfg_.deviceDelayNs + rng_.normal() * sd;
    const double b = turnaroundNs + rng_.normal() * sd;
    auto units = [](double ns) {
        return static_cast<int32_t>(
            std::clamp(std::nearbyint(ns / kTimeUnitNs), -32768.0, 32767.0));
    };
    init->timeEst = units(a);
    refl->timeEst = units(b);
    if (rng_.chance(cfg_.failShare)) {
        // A failed exchange: quality flagged, timing meaningless.
        init->aaQual = static_cast<uint8_t>(1 + rng_.below(2));
        refl->aaQual = init->aaQual;
        init->timeEst = static_cast<int32_t>(rng_.below(4000)) - 2000;
    }
    init->rssi = rssiAt(d);
    refl->rssi = rssiAt(d);
}

Step Simulator::mode0Step(uint8_t channel, double d, Step *reflOut) {
    Step s;
    s.channel = channel;
    s.mode = 0;
    s.rssi = rssiAt(d);
    // Each side reports the other's frequency offset against its own clock.
    const double units = cfg_.clockOffsetPpm * 100.0;
    s.freqOff = static_cast<int32_t>(std::nearbyint(rng_.normal(units, 40.0)));
    *reflOut = s;
    reflOut->rssi = rssiAt(d);
    reflOut->freqOff = static_cast<int32_t>(std::nearbyint(rng_.normal(-units, 40.0)));
    return s;
}

Step Simulator::rttStep(uint8_t channel, double d, Step *reflOut) {
    Step s;
    s.channel = channel;
    s.mode = 1;
    Step r = s;
    addRoundTrip(channel, d, &s, &r);
    *reflOut = r;
    return s;
}

Step Simulator::toneStep(uint8_t channel, double d, double twoWayPhase, Step *reflOut) {
    Step s;
    s.channel = channel;
    s.mode = static_cast<uint8_t>(cfg_.toneMode);
    Step r = s;
    if (s.mode == 3) addRoundTrip(channel, d, &s, &r);
    const uint8_t perm = static_cast<uint8_t>(rng_.below(antPermCount(cfg_.nap)));
    s.antPerm = r.antPerm = perm;
    // The unknown local-oscillator phase of this step turns the two directions
    // opposite ways, so only their product carries the distance; a phase
    // drift between the devices turns both the same way.
    const double lo = rng_.uniform(0.0, 2.0 * M_PI);
    const std::complex<double> rotI = std::polar(1.0, lo + twoWayPhase / 2.0);
    // A manipulating reflector advances its tones' phase in proportion to
    // the frequency: the two-way product then reads attackPhaseM short.
    const double attack = cfg_.attackPhaseM != 0.0
                              ? 2.0 * M_PI * channelFrequencyHz(channel) * 2.0 *
                                    cfg_.attackPhaseM / cfg_.propagationMps
                              : 0.0;
    const std::complex<double> rotR = std::polar(1.0, -lo + twoWayPhase / 2.0 + attack);
    for (int t = 0; t <= cfg_.nap; ++t) {
        // The last slot is the tone extension, which repeats the first path.
        const int path = kAntPattern[perm][t < cfg_.nap ? t : 0];
        const std::complex<double> h = cfg_.toneAmplitude * response(path, channel, d);
        s.tones.push_back(noisyTone(h * hardware(0, path, channel) * rotI));
        r.tones.push_back(noisyTone(h * hardware(1, path, channel) * rotR));
    }
    *reflOut = r;
    return s;
}

Procedure Simulator::next() {
    const double tScenario = index_ * cfg_.intervalS;
    const int64_t t0 = static_cast<int64_t>(std::llround((cfg_.startTimeS + tScenario) * 1e9));
    ++index_;

    Procedure p;
    p.trueDistance = cfg_.trajectory.at(tScenario);
    if (cfg_.timing.known()) p.timing = cfg_.timing;

    // Every channel of the map once, in a random hop order (Fisher-Yates).
    std::vector<uint8_t> hop = channels_;
    for (size_t i = hop.size(); i > 1; --i) std::swap(hop[i - 1], hop[rng_.below(i)]);
    auto anyChannel = [&] { return channels_[rng_.below(channels_.size())]; };

    const int total = static_cast<int>(hop.size());
    const double spacingS = spacing_;
    const int64_t spacingNs = static_cast<int64_t>(std::llround(spacingS * 1e9));
    for (int s = 0; s < cfg_.subevents; ++s) {
        Subevent si, sr;
        si.nap = sr.nap = static_cast<int8_t>(cfg_.nap);
        si.timestampNs = sr.timestampNs = t0 + s * spacingNs;
        double drift = s * phaseStep_;
        if (cfg_.phaseJumpRad > 0.0 && s > 0)
            drift += rng_.uniform(-cfg_.phaseJumpRad, cfg_.phaseJumpRad);
        drift = wrapPhase(drift);
        const std::vector<int> plan = subeventPlan(cfg_, total, s);
        // The steps of a subevent share its time slot; the distance of each
        // step is that of its own moment.
        const double stepS = std::min(cfg_.stepS, spacingS / std::max<size_t>(plan.size(), 1));
        std::vector<double> composed;
        if (cfg_.timing.known()) cfg_.subeventDurationS(s, &composed);
        for (size_t j = 0; j < plan.size(); ++j) {
            const double within = cfg_.timing.known() ? composed[j] : j * stepS;
            const double d = cfg_.trajectory.at(tScenario + s * spacingS + within);
            Step r;
            if (plan[j] == kMode0)
                si.steps.push_back(mode0Step(anyChannel(), d, &r));
            else if (plan[j] == kRoundTrip)
                si.steps.push_back(rttStep(anyChannel(), d, &r));
            else
                si.steps.push_back(toneStep(hop[static_cast<size_t>(plan[j])], d, drift, &r));
            sr.steps.push_back(r);
        }
        if (rng_.chance(cfg_.abortShare)) {
            // One side gives up part way through.
            Subevent &victim = rng_.chance(0.5) ? si : sr;
            victim.aborted = 1;
            victim.steps.resize(1 + rng_.below(victim.steps.size()));
        }
        p.initiator.push_back(std::move(si));
        p.reflector.push_back(std::move(sr));
    }
    return p;
}

}  // namespace tarn_sim
