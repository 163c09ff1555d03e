// The simulator's imperfections: device hardware, multipath in the round
// trip, timing jitter, phase drift between subevents, movement within a
// procedure and per-antenna-path geometry.
#include <gtest/gtest.h>

#include <cmath>

#include <algorithm>

#include "baselines.h"
#include "log_capture.h"
#include "session.h"
#include "simulator.h"
#include "sim_test_util.h"
#include "tarn.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

double wrap(double a) {
    return std::remainder(a, 2.0 * M_PI);
}

// Tone steps of both sides with the subevent they belong to.
struct TonePair {
    int subevent;
    size_t position;  // step index within the subevent
    const Step *ini, *ref;
};
std::vector<TonePair> tonePairs(const Procedure &p) {
    std::vector<TonePair> out;
    for (size_t s = 0; s < p.initiator.size(); ++s)
        for (size_t j = 0; j < p.initiator[s].steps.size(); ++j)
            if (p.initiator[s].steps[j].mode >= 2)
                out.push_back(
                    {static_cast<int>(s), j, &p.initiator[s].steps[j], &p.reflector[s].steps[j]});
    return out;
}

double productPhase(const TonePair &t) {
    return std::arg(std::complex<double>(t.ini->tones[0].i, t.ini->tones[0].q) *
                    std::complex<double>(t.ref->tones[0].i, t.ref->tones[0].q));
}

double losPhase(int channel, double d, double c) {
    return -4.0 * M_PI * channelFrequencyHz(channel) * d / c;
}

// Mean one-way time of flight (ns) the ToA_ToD differences carry.
double meanTimeOfFlightNs(Simulator &sim, int procedures, double *sd = nullptr) {
    std::vector<double> v;
    for (int i = 0; i < procedures; ++i) {
        const Procedure p = sim.next();
        for (size_t s = 0; s < p.initiator.size(); ++s)
            for (size_t j = 0; j < p.initiator[s].steps.size(); ++j) {
                const Step &a = p.initiator[s].steps[j], &b = p.reflector[s].steps[j];
                if (a.mode == 1 && a.aaQual == 0)
                    v.push_back((a.timeEst - b.timeEst) * kTimeUnitNs);
            }
    }
    double mean = 0, var = 0;
    for (double x : v) mean += x / v.size();
    for (double x : v) var += (x - mean) * (x - mean) / (v.size() - 1);
    if (sd != nullptr) *sd = std::sqrt(var);
    return mean / 2.0;
}

}  // namespace

TEST(SimRealism, HardwareResponseCancelsInACalibratedRun) {
    // Calibration run at a known 0.5 m: the tone product over the expected
    // line-of-sight product is the two devices' hardware.
    SimConfig cal = quietLink(0.5);
    cal.hardwareResponse = true;
    cal.snrDb = 45.0;
    cal.nap = 2;
    Simulator calSim(cal);
    std::complex<double> table[kChannelSlots][4] = {};
    const int runs = 20;
    for (int i = 0; i < runs; ++i) {
        const ToneProducts tp = toneProducts(calSim.next());
        for (int k = 0; k < kChannelSlots; ++k)
            for (int p = 0; p < 2; ++p)
                if (tp.present[k][p])
                    table[k][p] += tp.value[k][p] /
                                   std::polar(1.0, losPhase(k, 0.5, cal.propagationMps)) / 1e6 /
                                   double(runs);
    }
    // The same devices, now at 6.2 m.
    SimConfig run = cal;
    run.trajectory = Trajectory::still(6.2);
    run.seed = cal.seed;
    Simulator sim(run);
    for (int k : {2, 40, 76}) EXPECT_EQ(sim.hardware(1, 1, k), calSim.hardware(1, 1, k));
    double worstRaw = 0.0, worstCal = 0.0, rippleRaw = 0.0;
    for (int i = 0; i < 5; ++i) {
        const ToneProducts raw = toneProducts(sim.next());
        ToneProducts fixed = raw;
        double mean = 0.0, meanSq = 0.0;
        int n = 0;
        for (int k = 0; k < kChannelSlots; ++k)
            for (int p = 0; p < 2; ++p)
                if (raw.present[k][p]) {
                    // What a calibration table does: divide the hardware out.
                    fixed.value[k][p] /= table[k][p];
                    const double r =
                        wrap(std::arg(raw.value[k][p]) - losPhase(k, 6.2, run.propagationMps) -
                             std::arg(raw.value[2][p]) + losPhase(2, 6.2, run.propagationMps));
                    mean += r, meanSq += r * r, ++n;
                }
        rippleRaw = std::max(rippleRaw, std::sqrt(meanSq / n - (mean / n) * (mean / n)));
        const BaselineEstimate a = phaseSlopeDistance(raw, run.propagationMps);
        const BaselineEstimate b = phaseSlopeDistance(fixed, run.propagationMps);
        ASSERT_TRUE(a.valid && b.valid);
        worstRaw = std::max(worstRaw, std::fabs(a.distanceM - 6.2));
        worstCal = std::max(worstCal, std::fabs(b.distanceM - 6.2));
    }
    // The hardware bends the round-trip phase by a tenth of a radian or more
    // and shifts the distance; calibrated, both are gone.
    EXPECT_GT(rippleRaw, 0.04);
    EXPECT_GT(worstRaw, 0.005);
    EXPECT_LT(worstCal, 0.002);

    // Switched off, the product is the propagation alone.
    EXPECT_EQ(Simulator(quietLink(1.0)).hardware(0, 2, 30), std::complex<double>(1.0));
}

TEST(SimRealism, HardwareResponseStaysWithinItsDocumentedMagnitude) {
    SimConfig c = quietLink(1.0);
    c.hardwareResponse = true;
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        c.seed = seed;
        Simulator sim(c);
        for (int dev = 0; dev < 2; ++dev)
            for (int p = 0; p < 4; ++p) {
                // Phase around its straight line through the band's ends.
                const std::complex<double> lo = sim.hardware(dev, p, 2),
                                           hi = sim.hardware(dev, p, 76);
                for (int k : channelMapChannels(ChannelMap::All)) {
                    const std::complex<double> h = sim.hardware(dev, p, k);
                    EXPECT_LE(std::fabs(20.0 * std::log10(std::abs(h))),
                              kHardwareGainRippleDb + 1e-9);
                    const double line =
                        std::arg(lo) + (k - 2) / 74.0 * wrap(std::arg(hi) - std::arg(lo));
                    EXPECT_LE(std::fabs(wrap(std::arg(h) - line)),
                              4.0 * kHardwarePhaseRippleRad +
                                  2.0 * M_PI * 74e6 * kHardwareDelayNs * 1e-9);
                }
            }
    }
}

TEST(SimRealism, RoundTripBiasGrowsWithAStrongerReflection) {
    const double d = 4.0, extra = 6.0;
    double previous = -1.0;
    for (double amplitude : {0.0, 0.3, 0.6, 1.0, 1.5, 3.0}) {
        SimConfig c = quietLink(d);
        c.reflections = {{extra, amplitude}};
        c.procedures = 40;
        Simulator sim(c);
        const double tofNs = d / c.propagationMps * 1e9;
        const double biasM = (meanTimeOfFlightNs(sim, 40) - tofNs) * 1e-9 * c.propagationMps;
        if (amplitude == 0.0) {
            EXPECT_NEAR(biasM, 0.0, 0.02);
        } else {
            EXPECT_GT(biasM, previous + 0.05) << "amplitude " << amplitude;
        }
        EXPECT_LE(biasM, extra + 0.02);
        previous = biasM;
        if (amplitude == 3.0) {
            EXPECT_GT(biasM, extra / 2.0);  // a stronger path wins
        }
    }
    // A blocked direct path: the arrival sits near the reflection.
    SimConfig blocked = quietLink(d);
    blocked.directAmplitude = 0.3;
    blocked.reflections = {{2.0, 1.0}};
    Simulator sim(blocked);
    const double biasM = (meanTimeOfFlightNs(sim, 40) - d / blocked.propagationMps * 1e9) * 1e-9 *
                         blocked.propagationMps;
    EXPECT_GT(biasM, 1.2);
    EXPECT_LE(biasM, 2.02);
}

TEST(SimRealism, TimingJitterGrowsBelowTheReferenceSnr) {
    for (double snr : {30.0, 20.0, 10.0, 0.0}) {
        SimConfig c = quietLink(3.0);
        c.snrDb = snr;
        c.jitterNs = 3.0;
        Simulator sim(c);
        double sd = 0.0;
        meanTimeOfFlightNs(sim, 60, &sd);
        const double expected =
            3.0 * std::max(1.0, std::pow(10.0, (kJitterReferenceSnrDb - snr) / 20.0));
        EXPECT_NEAR(sd, expected, 0.07 * expected) << snr << " dB";
    }
}

TEST(SimRealism, DriftShowsAsAPhaseStepPerSubevent) {
    SimConfig c = quietLink(3.0);
    c.driftHz = 20.0;
    c.subevents = 6;
    // Six subevents of 21 steps at 150 us, back to back in 0.625 ms slots.
    EXPECT_DOUBLE_EQ(c.subeventSpacingS(), 6 * 625e-6);
    const double step = 2.0 * M_PI * 20.0 * 6 * 625e-6;
    EXPECT_DOUBLE_EQ(c.subeventPhaseStep(), step);
    Simulator sim(c);
    const Procedure p = sim.next();
    int checked = 0;
    for (const TonePair &t : tonePairs(p)) {
        const double residual =
            wrap(productPhase(t) - losPhase(t.ini->channel, 3.0, c.propagationMps));
        EXPECT_NEAR(wrap(residual - t.subevent * step), 0.0, 5e-3) << "subevent " << t.subevent;
        ++checked;
    }
    EXPECT_EQ(checked, 72);
    // The frequency offset shows in the mode-0 reports, opposite on the two sides.
    double ini = 0.0, ref = 0.0;
    int n = 0;
    for (int i = 0; i < 30; ++i) {
        const Procedure q = sim.next();
        for (size_t s = 0; s < q.initiator.size(); ++s)
            for (size_t j = 0; j < q.initiator[s].steps.size(); ++j)
                if (q.initiator[s].steps[j].mode == 0) {
                    ini += q.initiator[s].steps[j].freqOff;
                    ref += q.reflector[s].steps[j].freqOff;
                    ++n;
                }
    }
    EXPECT_NEAR(ini / n, 1000.0, 15.0);
    EXPECT_NEAR(ref / n, -1000.0, 15.0);
}

TEST(SimRealism, RepeatedChannelsOpenEachSubevent) {
    for (int repeat : {1, 2, 3}) {
        SimConfig c = quietLink(2.0);
        c.repeatChannels = repeat;
        c.subevents = 5;
        ASSERT_EQ(c.validate(), "");
        Simulator sim(c);
        const Procedure p = sim.next();
        size_t steps = 0;
        for (size_t s = 0; s < p.initiator.size(); ++s) {
            steps += p.initiator[s].steps.size();
            if (s == 0) continue;
            const std::vector<Step> &prev = p.initiator[s - 1].steps, &cur = p.initiator[s].steps;
            // The previous subevent ends in `repeat` tone steps, which this one
            // repeats in order right after its mode-0 steps.
            std::vector<const Step *> opening;
            for (size_t j = c.mode0Steps; j < cur.size() && opening.size() < size_t(repeat); ++j)
                if (cur[j].mode >= 2) opening.push_back(&cur[j]);
            ASSERT_EQ(opening.size(), size_t(repeat));
            for (int r = 0; r < repeat; ++r) {
                const Step &a = prev[prev.size() - repeat + r];
                EXPECT_GE(a.mode, 2);
                EXPECT_EQ(a.channel, opening[r]->channel)
                    << "repeat " << repeat << " subevent " << s;
            }
        }
        EXPECT_EQ(static_cast<int>(steps), c.stepsPerProcedure());
    }
}

TEST(SimRealism, MovementWithinAProcedure) {
    SimConfig c = quietLink(5.0);
    c.trajectory = Trajectory::moving(5.0, 10.0, 2.0);
    Simulator sim(c);
    const Procedure p = sim.next();
    EXPECT_DOUBLE_EQ(p.trueDistance, 5.0);
    const double spacing = c.subeventSpacingS();
    double furthest = 0.0;
    for (const TonePair &t : tonePairs(p)) {
        const double when = t.subevent * spacing + t.position * c.stepS;
        const double d = c.trajectory.at(when);
        furthest = std::max(furthest, d);
        EXPECT_NEAR(wrap(productPhase(t) - losPhase(t.ini->channel, d, c.propagationMps)), 0.0,
                    5e-3);
    }
    // The last subevent starts 3 spacings later, 10 m/s further on.
    EXPECT_GT(furthest, 5.0 + 10.0 * 3 * spacing);
}

TEST(SimRealism, EachAntennaPathSeesTheReflectionsItsOwnWay) {
    // Direct path blocked entirely: the strongest arrival is the reflection.
    SimConfig c = quietLink(2.0);
    c.directAmplitude = 0.0;
    c.reflections = {{30.0, 1.0}};
    c.nap = 4;
    Simulator sim(c);
    double spread = 0.0;
    for (int p = 0; p < 4; ++p) {
        ToneProducts tp;
        tp.nap = 1;
        for (int k : channelMapChannels(ChannelMap::All)) {
            tp.value[k][0] = std::pow(sim.response(p, k, 2.0), 2);
            tp.present[k][0] = true;
        }
        const BaselineEstimate e = ifftPeakDistance(tp, c.propagationMps);
        ASSERT_TRUE(e.valid);
        if (p == 0)
            EXPECT_NEAR(e.distanceM, 32.0, 1e-3);
        else
            EXPECT_NEAR(e.distanceM, 32.0, c.reflectionSpreadM + 1e-3);
        spread = std::max(spread, std::fabs(e.distanceM - 32.0));
    }
    EXPECT_GT(spread, 0.01);
}

TEST(SimRealism, TheLibrarysCalibrationTableRemovesTheHardware) {
    // The one-way response the phase pipeline works on carries the square
    // root of both devices' hardware; the table holds its reciprocal (with a
    // phase that runs continuously over the channels, as the pipeline's
    // square root does).
    tarn_test::LogCapture quiet(-1);
    double worst[2] = {0.0, 0.0}, sum[2] = {0.0, 0.0};
    const double distances[] = {1.5, 4.0, 7.5};
    for (int i = 0; i < 3; ++i) {
        SimConfig c = quietLink(distances[i]);
        c.hardwareResponse = true;
        c.snrDb = 35.0;
        c.nap = 2;
        c.seed = 40 + i;
        for (int calibrated = 0; calibrated < 2; ++calibrated) {
            Simulator sim(c);
            Session s(InputFormat::Procedure, 0x7a60 + 2 * i + calibrated);
            ASSERT_TRUE(s.ok()) << s.error();
            glog_level = -1;
            if (calibrated == 1) {
                ConfigOpts opts = constOpts;
                for (int p = 0; p < 2; ++p) {
                    double unwrapped = 0.0, previous = 0.0;
                    for (int k = 0; k < TARN_CAL_CHANNELS; ++k) {
                        const std::complex<double> g =
                            sim.hardware(0, p, k) * sim.hardware(1, p, k);
                        const double phase = std::arg(g);
                        unwrapped = k == 0 ? phase : unwrapped + wrap(phase - previous);
                        previous = phase;
                        opts.calTable[k][p] =
                            std::polar(1.0 / std::sqrt(std::abs(g)), -unwrapped / 2.0);
                    }
                }
                opts.applyEstimatedReverseChannel = 1;
                ASSERT_EQ(csIfSetParam(0x7a60 + 2 * i + calibrated, 0, &opts), 1);
            }
            std::vector<double> err;
            for (int n = 0; n < 30; ++n) {
                SessionRow row;
                ASSERT_TRUE(s.process(sim.next(), &row)) << s.error();
                if (n >= 10 && row.phaseM) err.push_back(std::fabs(*row.phaseM - distances[i]));
            }
            ASSERT_EQ(err.size(), 20u);
            std::sort(err.begin(), err.end());
            worst[calibrated] = std::max(worst[calibrated], err[10]);
            sum[calibrated] += err[10];
        }
    }
    // Median errors: calibrated within millimetres at every distance, several
    // times smaller than uncalibrated on the whole.
    EXPECT_LT(worst[1], 0.005);
    EXPECT_GT(sum[0], 3.0 * sum[1]) << sum[0] << " vs " << sum[1];
}
