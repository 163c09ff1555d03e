#include "evaluate.h"

#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <map>
#include <memory>
#include <sstream>

#include "baselines.h"
#include "calibrate.h"
#include "motion.h"
#include "plot.h"
#include "tarn.h"

namespace tarn_tool {

namespace {

constexpr int kQuietLog = -1;

std::string fmt(const char *f, double v) {
    char buf[48];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string pointName(double d) {
    std::ostringstream os;
    os << d << " m";
    return os.str();
}

}  // namespace

const char *estimatorName(Estimator e) {
    static const char *const names[] = {"final", "phase", "rtt", "ifft_peak", "phase_slope"};
    return names[e];
}

const char *estimatorTitle(Estimator e) {
    static const char *const names[] = {"Final", "Phase", "Round trip", "IFFT peak", "Phase slope"};
    return names[e];
}

std::vector<EvalScenario> evaluationScenarios() {
    SimConfig base;
    base.nap = 2;
    base.snrDb = 30.0;
    std::vector<EvalScenario> out;
    auto add = [&](const char *name, const char *desc, SimConfig c, bool los) {
        out.push_back({name, desc, c, los});
    };
    SimConfig c = base;
    add("los", "line of sight, 30 dB, 2 antenna paths", c, true);
    c.reflections = {{3.0, 0.5}};
    add("refl1", "one reflection +3 m at half amplitude", c, false);
    c.reflections = {{3.0, 0.5}, {7.0, 0.3}};
    add("refl2", "two reflections: +3 m at 0.5, +7 m at 0.3", c, false);
    c = base;
    c.directAmplitude = 0.4;
    c.reflections = {{2.0, 1.0}};
    add("blocked", "direct path at 0.4 behind a reflection +2 m at 1.0", c, false);
    c = base;
    c.snrDb = 25.0;
    add("snr25", "line of sight at 25 dB", c, true);
    c.snrDb = 10.0;
    add("snr10", "line of sight at 10 dB", c, true);
    c = base;
    c.reflections = {{3.0, 0.5}};
    c.nap = 1;
    add("paths1", "one reflection, 1 antenna path", c, false);
    c.nap = 4;
    add("paths4", "one reflection, 4 antenna paths", c, false);
    return out;
}

std::vector<EvalScenario> integrityScenarios() {
    SimConfig base;
    base.nap = 2;
    base.snrDb = 25.0;
    std::vector<EvalScenario> out;
    auto add = [&](const char *name, const char *desc, SimConfig c, bool los) {
        out.push_back({name, desc, c, los});
    };
    SimConfig c = base;
    add("snr25", "line of sight at 25 dB", c, true);
    c.reflections = {{3.0, 0.5}};
    add("refl1_snr25", "one reflection +3 m at half amplitude, 25 dB", c, false);
    c.reflections = {{3.0, 0.5}, {7.0, 0.3}};
    add("refl2_snr25", "two reflections +3 m at 0.5, +7 m at 0.3, 25 dB", c, false);
    c = base;
    c.directAmplitude = std::pow(10.0, -10.0 / 20.0);
    c.reflections = {{2.0, 1.0}};
    add("blocked10", "direct path 10 dB down behind a reflection +2 m at 1.0, 25 dB", c, false);
    c = base;
    c.driftHz = 80.0;
    c.channelMap = ChannelMap::Half;
    add("offset80", "residual frequency offset 80 Hz, four subevents on 36 channels, 25 dB", c,
        true);
    c = base;
    c.attackPhaseM = 2.0;
    add("attack2", "manipulating reflector: phase distance 2 m short, round trip honest, 25 dB",
        c, true);
    c.attackPhaseM = 5.0;
    add("attack5", "manipulating reflector: phase distance 5 m short, round trip honest, 25 dB",
        c, true);
    c = base;
    c.driftHz = 80.0;
    c.channelMap = ChannelMap::Half;
    c.repeatChannels = 4;
    add("offset80_rep4",
        "residual frequency offset 80 Hz, 36 channels, each subevent repeating the previous "
        "one's last 4, 25 dB",
        c, true);
    c = base;
    c.channelMap = ChannelMap::Half;
    c.sameChannels = true;
    c.phaseJumpRad = M_PI;
    c.intervalS = 0.15;  // four subevents of 36 tones take longer than 100 ms
    add("jumps_same36",
        "phase jumps within +-pi per subevent, the same 36 channels in 4 subevents, a procedure "
        "every 150 ms, 25 dB",
        c, true);
    return out;
}

namespace {

// One delivered distance's integrity: signed error, coverage, flags.
void noteIntegrity(const SessionRow &r, double trueM, double attackM, IntegrityStats *st) {
    if (!r.finalM) return;
    const double err = *r.finalM - trueM;
    st->signedErrors.push_back(err);
    if (r.sigmaM >= 0.0) {
        ++st->withSigma;
        if (std::fabs(err) <= r.sigmaM) ++st->withinSigma;
        if (std::fabs(err) <= 2.0 * r.sigmaM) ++st->within2Sigma;
    }
    for (int b = 0; b < 16; ++b)
        if ((r.flags & (1u << b)) != 0) ++st->flagged[b];
    if (attackM > 0.0 && r.rttSigmaM >= 0.0 && attackM > 3.0 * r.rttSigmaM) {
        ++st->manipulationEligible;
        if ((r.flags & TARN_INTEGRITY_MANIPULATION) != 0) ++st->manipulationFlagged;
    }
}

std::string combinationSuffix(int mode) {
    return mode == 1 ? " [guarded]" : "";
}

// Both scenario lists, a name shared by both once (as the evaluation's).
std::vector<EvalScenario> allScenarios() {
    std::vector<EvalScenario> all = evaluationScenarios();
    for (const EvalScenario &s : integrityScenarios()) {
        bool known = false;
        for (const EvalScenario &a : all) known = known || a.name == s.name;
        if (!known) all.push_back(s);
    }
    return all;
}

int bitIndex(uint32_t bit) {
    int i = 0;
    while (bit > 1u) {
        bit >>= 1;
        ++i;
    }
    return i;
}

}  // namespace

void useIntegrityMatrix(EvalOptions *o) {
    o->integrity = true;
    o->distances = {1.0, 3.0, 5.0, 10.0, 20.0};
    o->walk = false;
    o->combinations = {0, 1};
}

void signedSummary(std::vector<double> e, double *median, double *shortest) {
    *median = *shortest = NAN;
    if (e.empty()) return;
    std::sort(e.begin(), e.end());
    *shortest = e.front();
    const size_t n = e.size();
    *median = n % 2 ? e[n / 2] : 0.5 * (e[n / 2 - 1] + e[n / 2]);
}

bool runEvaluation(const EvalOptions &opts, std::vector<EvalRow> *rows, std::string *why,
                   const std::function<void(long, long, const std::string &)> &progress) {
    std::vector<EvalScenario> chosen;
    const std::vector<EvalScenario> all = allScenarios();
    if (opts.scenarios.empty()) {
        chosen = opts.integrity ? integrityScenarios() : evaluationScenarios();
    } else {
        for (const std::string &name : opts.scenarios) {
            bool found = false;
            for (const EvalScenario &s : all)
                if (s.name == name) {
                    chosen.push_back(s);
                    found = true;
                }
            if (!found) {
                *why = "unknown scenario '" + name + "' (";
                for (size_t i = 0; i < all.size(); ++i) *why += (i ? ", " : "") + all[i].name;
                *why += ")";
                return false;
            }
        }
    }
    if (opts.procedures < 1) {
        *why = "procedures per point must be at least 1";
        return false;
    }

    std::vector<TimingPoint> axis;
    for (const TimingPoint &tp : timingAxis())
        if (opts.timings.empty() ||
            std::find(opts.timings.begin(), opts.timings.end(), tp.name) != opts.timings.end())
            axis.push_back(tp);
    for (const std::string &name : opts.timings) {
        bool found = false;
        for (const TimingPoint &tp : axis) found = found || tp.name == name;
        if (!found) {
            *why = "unknown timing '" + name + "' (fast, mid, phone)";
            return false;
        }
    }

    struct Point {
        std::string name;
        double d;
        Trajectory traj;
        int procedures;
        int tracking;
        size_t seedIndex;  // every mode of a moving point at a timing sees the same procedures
        bool stops;
        std::string timingName;
        StepTiming timing;
        bool timingGiven;
    };
    std::vector<Point> points;
    for (double d : opts.distances)
        points.push_back({pointName(d) + trackingSuffix(opts.tracking), d, Trajectory::still(d),
                          opts.procedures, opts.tracking, points.size(), false, "",
                          opts.staticTiming, true});
    if (opts.walk) {
        const SimConfig dflt;
        size_t seedIndex = opts.distances.size();
        for (const MotionPoint &mp : motionPoints()) {
            const int n = static_cast<int>(mp.trajectory.duration() / dflt.intervalS + 1e-9) + 1;
            for (const TimingPoint &tp : axis) {
                const std::string at = mp.name + ", " + tp.name;
                // Mode 0 does not time steps: one row, the timing given.
                points.push_back({at, NAN, mp.trajectory, n, 0, seedIndex, mp.stops, tp.name,
                                  tp.timing, true});
                points.push_back({at + trackingSuffix(1), NAN, mp.trajectory, n, 1, seedIndex,
                                  mp.stops, tp.name, tp.timing, true});
                points.push_back({at + " (moving, no timing)", NAN, mp.trajectory, n, 1, seedIndex,
                                  mp.stops, tp.name, tp.timing, false});
                ++seedIndex;
            }
        }
    }
    long total = 0, done = 0;
    for (const Point &p : points) total += p.procedures;
    total *= static_cast<long>(chosen.size() * opts.combinations.size());

    rows->clear();
    // One calibration per antenna-path count: the devices are the same pair
    // in every scenario (they follow the seed).
    std::map<int, ConfigOpts> calibrated;
    // A table with fewer antenna paths than a scenario would silence the others.
    int tablePaths = 4;
    if (opts.options.applyEstimatedReverseChannel == 1) {
        tablePaths = 0;
        for (int k = 0; k < TARN_CAL_CHANNELS; ++k)
            for (int p = 0; p < TARN_CAL_PATHS; ++p)
                if (opts.options.calTable[k][p] != TarnCplxD(0.0, 0.0))
                    tablePaths = std::max(tablePaths, p + 1);
    }
    for (const EvalScenario &sc : chosen)
        if (sc.config.nap > tablePaths) {
            *why = sc.name + " has " + std::to_string(sc.config.nap) +
                   " antenna paths, the calibration table " + std::to_string(tablePaths) +
                   " (calibrate with -a " + std::to_string(sc.config.nap) +
                   ", or choose scenarios with --scenario)";
            return false;
        }
    for (size_t si = 0; si < chosen.size(); ++si) {
        const EvalScenario &sc = chosen[si];
        if (opts.calibrated && calibrated.count(sc.config.nap) == 0) {
            SimConfig calSetup = sc.config;
            calSetup.reflections.clear();
            calSetup.deviceSeed = opts.seed;
            calSetup.seed = opts.seed * 1000003u + 999983u + static_cast<uint64_t>(sc.config.nap);
            CalibrationResult cal;
            std::string w;
            if (!calibrateSimulated(calSetup, opts.calDistanceM, opts.calProcedures, opts.options,
                                    &cal, &w) ||
                !cal.finished) {
                *why = sc.name + ": calibration failed" + (w.empty() ? "" : ": " + w);
                return false;
            }
            ConfigOpts withCal = opts.options;
            std::memcpy(static_cast<void *>(withCal.calTable), cal.table.calTable,
                        sizeof withCal.calTable);
            withCal.applyEstimatedReverseChannel = 1;
            if (cal.haveRoundTrip) withCal.rttDisCalAA = cal.rttDisCalAA;
            calibrated[sc.config.nap] = withCal;
        }
        for (size_t pi = 0; pi < points.size(); ++pi)
        for (int combination : opts.combinations) {
            const Point &pt = points[pi];
            SimConfig cfg = sc.config;
            cfg.trajectory = pt.traj;
            cfg.procedures = pt.procedures;
            // Every point is a room and a session of its own; the devices are
            // the seed's pair throughout, as for calibrate and run.
            cfg.seed = opts.seed * 1000003u + si * 1009u + pt.seedIndex;
            cfg.deviceSeed = opts.seed;
            cfg.timing = pt.timing;
            const std::string bad = cfg.validate();
            if (!bad.empty()) {
                *why = sc.name + ", " + pt.name + ": " + bad;
                return false;
            }
            EvalRow row;
            row.scenario = sc.name;
            row.point = pt.name + combinationSuffix(combination);
            row.combination = combination;
            row.distanceM = pt.d;
            row.procedures = pt.procedures;
            row.tracking = pt.tracking;
            row.timing = pt.timingName;
            row.timingGiven = pt.timingGiven;
            if (sc.lineOfSight)
                row.boundM = cramerRaoBoundM(channelMapChannels(cfg.channelMap), cfg.snrDb, cfg.nap,
                                             cfg.propagationMps);
            Simulator sim(cfg);
            std::unique_ptr<Session> session(new Session(opts.format));
            std::unique_ptr<Session> calSession;
            if (opts.calibrated) {
                row.calibrated = true;
                calSession.reset(new Session(opts.format, 0x7a55));
            }
            std::string w;
            if (!session->ok() || !session->installOptions(opts.options, &w) ||
                (calSession && (!calSession->ok() ||
                                !calSession->installOptions(calibrated[sc.config.nap], &w)))) {
                *why = !session->ok()                    ? session->error()
                       : calSession && !calSession->ok() ? calSession->error()
                                                         : w;
                return false;
            }
            session->setGiveTiming(pt.timingGiven);
            if (calSession) calSession->setGiveTiming(pt.timingGiven);
            if (pt.tracking != 0 && (!session->setTrackingMode(pt.tracking) ||
                                     (calSession && !calSession->setTrackingMode(pt.tracking)))) {
                *why = session->error().empty() ? calSession->error() : session->error();
                return false;
            }
            if (combination != 0 && (!session->setCombination(combination) ||
                                     (calSession && !calSession->setCombination(combination)))) {
                *why = session->error().empty() ? calSession->error() : session->error();
                return false;
            }
            std::vector<std::optional<double>> finals;
            for (int i = 0; i < pt.procedures; ++i) {
                const Procedure p = sim.next();
                SessionRow r;
                if (!session->process(p, &r)) {
                    *why = session->error();
                    return false;
                }
                if (!r.consistent) ++row.inconsistent;
                finals.push_back(r.finalM);
                noteIntegrity(r, p.trueDistance, cfg.attackPhaseM, &row.integrity);
                const ToneProducts tp = toneProducts(p);
                const BaselineEstimate ifft = ifftPeakDistance(tp, cfg.propagationMps);
                const BaselineEstimate slope = phaseSlopeDistance(tp, cfg.propagationMps);
                std::optional<double> got[kEstimators] = {r.finalM, r.phaseM, r.rttM};
                if (ifft.valid) got[kIfftPeak] = ifft.distanceM;
                if (slope.valid) got[kPhaseSlope] = slope.distanceM;
                for (int e = 0; e < kEstimators; ++e)
                    if (got[e]) row.errors[e].push_back(std::fabs(*got[e] - p.trueDistance));
                if (calSession) {
                    SessionRow c;
                    if (!calSession->process(p, &c)) {
                        *why = calSession->error();
                        return false;
                    }
                    if (!c.consistent) ++row.inconsistent;
                    if (c.finalM) row.calErrors.push_back(std::fabs(*c.finalM - p.trueDistance));
                }
                ++done;
                if (progress) progress(done, total, sc.name + ", " + pt.name);
            }
            for (int e = 0; e < kEstimators; ++e) row.stats[e] = errorStats(row.errors[e]);
            row.calStats = errorStats(row.calErrors);
            if (pt.stops) row.overshootM = stopOvershootM(pt.traj, cfg.intervalS, finals);
            rows->push_back(std::move(row));
        }
    }
    return true;
}

// ---- Output -------------------------------------------------------------------------

namespace {

std::string cellOf(const ErrorStats &s, int procedures) {
    if (s.n == 0) return "-";
    std::string cell = fmt("%.3f", s.median) + " / " + fmt("%.3f", s.p90);
    if (static_cast<int>(s.n) < procedures)
        cell += " (" + fmt("%.0f", 100.0 * s.n / procedures) + "%)";
    return cell;
}

bool anyCalibrated(const std::vector<EvalRow> &rows) {
    for (const EvalRow &r : rows)
        if (r.calibrated) return true;
    return false;
}

std::string statCell(const EvalRow &r, int e) {
    const ErrorStats &s = r.stats[e];
    if (s.n == 0) return "-";
    std::string cell = fmt("%.3f", s.median) + " / " + fmt("%.3f", s.p90);
    if (static_cast<int>(s.n) < r.procedures)
        cell += " (" + fmt("%.0f", 100.0 * s.n / r.procedures) + "%)";
    return cell;
}

std::string jsonNumber(double v, const char *f = "%.6g") {
    return std::isfinite(v) ? fmt(f, v) : "null";
}

// Under the table: how far the final distance went past stops and turns.
void writeOvershoots(std::ostream &os, const std::vector<EvalRow> &rows) {
    bool any = false;
    for (const EvalRow &r : rows) {
        if (!std::isfinite(r.overshootM)) continue;
        if (!any) os << "\nOvershoot past stops and turns (final distance, largest, metres):";
        os << (any ? "; " : " ") << r.scenario << ' ' << r.point << ' ' << fmt("%.3f", r.overshootM);
        any = true;
    }
    if (any) os << "\n";
}

}  // namespace

void writeMarkdown(std::ostream &os, const EvalOptions &opts, const std::vector<EvalRow> &rows) {
    os << "Absolute distance error in metres, median / 90th percentile over the procedures "
          "of each point ("
       << opts.procedures << " per static distance, "
       << "moving points at each step timing of the axis (fast 15,10,10,10,0; mid "
          "60,80,40,20,10; phone 150,145,145,40,10 us) in both tracking modes, \"(moving)\": "
          "tracking mode 1 with the timing given to the link, \"(moving, no timing)\": "
          "without it; static points at the phone timing; seed "
       << opts.seed
       << "). (n%): share of the procedures for which the estimator gave a distance. "
          "Bound: Cramér-Rao bound of the distance's standard deviation over line of "
          "sight (an unbiased Gaussian estimate at the bound has a median absolute error of "
          "0.67 and a 90th percentile of 1.64 times it).\n\n";
    const bool cal = anyCalibrated(rows);
    if (cal)
        os << "Final (cal): the final distance after calibrating the devices (the seed's pair) "
              "once per antenna-path count at "
           << opts.calDistanceM << " m over line of sight with `tarn calibrate`'s run ("
           << opts.calProcedures << " procedures; its table and round-trip offset).\n\n";
    os << "| Scenario | Point |";
    for (int e = 0; e < kEstimators; ++e) {
        os << ' ' << estimatorTitle(Estimator(e)) << " |";
        if (e == kFinal && cal) os << " Final (cal) |";
    }
    os << " Bound |\n|---|---|";
    for (int e = 0; e < kEstimators + (cal ? 1 : 0); ++e) os << "---|";
    os << "---|\n";
    for (const EvalRow &r : rows) {
        os << "| " << r.scenario << " | " << r.point << " |";
        for (int e = 0; e < kEstimators; ++e) {
            os << ' ' << statCell(r, e) << " |";
            if (e == kFinal && cal) os << ' ' << cellOf(r.calStats, r.procedures) << " |";
        }
        os << ' ' << (std::isfinite(r.boundM) ? fmt("%.4f", r.boundM) : std::string("-")) << " |\n";
    }
    writeOvershoots(os, rows);
    os << "\nScenarios:\n";
    for (const EvalScenario &s : evaluationScenarios()) {
        bool used = false;
        for (const EvalRow &r : rows) used = used || r.scenario == s.name;
        if (used) os << "- " << s.name << ": " << s.description << "\n";
    }
    long inconsistent = 0;
    for (const EvalRow &r : rows) inconsistent += r.inconsistent;
    if (inconsistent > 0)
        os << "\nwarning: in " << inconsistent
           << " procedure(s) the phase and round-trip candidates were not those of the "
              "delivered computation\n";
}

void writeCsv(std::ostream &os, const std::vector<EvalRow> &rows) {
    os << "scenario,point,distance_m,procedures,estimator,n,median_m,p90_m,bound_m\n";
    for (const EvalRow &r : rows)
        for (int e = 0; e < kEstimators; ++e) {
            const ErrorStats &s = r.stats[e];
            os << r.scenario << ',' << r.point << ','
               << (std::isfinite(r.distanceM) ? fmt("%g", r.distanceM) : "") << ',' << r.procedures
               << ',' << estimatorName(Estimator(e)) << ',' << s.n << ','
               << (s.n ? fmt("%.4f", s.median) : "") << ',' << (s.n ? fmt("%.4f", s.p90) : "")
               << ',' << (std::isfinite(r.boundM) ? fmt("%.5f", r.boundM) : "") << '\n';
        }
    for (const EvalRow &r : rows) {
        if (!r.calibrated) continue;
        const ErrorStats &s = r.calStats;
        os << r.scenario << ',' << r.point << ','
           << (std::isfinite(r.distanceM) ? fmt("%g", r.distanceM) : "") << ',' << r.procedures
           << ",final_cal," << s.n << ',' << (s.n ? fmt("%.4f", s.median) : "") << ','
           << (s.n ? fmt("%.4f", s.p90) : "") << ','
           << (std::isfinite(r.boundM) ? fmt("%.5f", r.boundM) : "") << '\n';
    }
}

void writeJson(std::ostream &os, const EvalOptions &opts, const std::vector<EvalRow> &rows) {
    os << "{\"seed\": " << opts.seed << ", \"procedures\": " << opts.procedures << ", \"rows\": [";
    for (size_t i = 0; i < rows.size(); ++i) {
        const EvalRow &r = rows[i];
        os << (i ? ",\n  " : "\n  ") << "{\"scenario\": \"" << r.scenario << "\", \"point\": \""
           << r.point << "\", \"distanceM\": " << jsonNumber(r.distanceM)
           << ", \"procedures\": " << r.procedures << ", \"tracking\": \""
           << trackingName(r.tracking) << "\", \"timing\": "
           << (r.timing.empty() ? std::string("null") : "\"" + r.timing + "\"")
           << ", \"timingGiven\": " << (r.timingGiven ? "true" : "false")
           << ", \"boundM\": " << jsonNumber(r.boundM)
           << ", \"estimators\": {";
        for (int e = 0; e < kEstimators; ++e) {
            const ErrorStats &s = r.stats[e];
            os << (e ? ", " : "") << '"' << estimatorName(Estimator(e)) << "\": {\"n\": " << s.n
               << ", \"medianM\": " << (s.n ? jsonNumber(s.median) : "null")
               << ", \"p90M\": " << (s.n ? jsonNumber(s.p90) : "null") << '}';
        }
        if (r.calibrated) {
            const ErrorStats &s = r.calStats;
            os << ", \"final_cal\": {\"n\": " << s.n
               << ", \"medianM\": " << (s.n ? jsonNumber(s.median) : "null")
               << ", \"p90M\": " << (s.n ? jsonNumber(s.p90) : "null") << '}';
        }
        os << '}';
        if (std::isfinite(r.overshootM)) os << ", \"overshootM\": " << jsonNumber(r.overshootM);
        const IntegrityStats &st = r.integrity;
        double med, shortest;
        signedSummary(st.signedErrors, &med, &shortest);
        os << ", \"combination\": \"" << combinationName(r.combination)
           << "\", \"integrity\": {\"signedMedianM\": " << jsonNumber(med)
           << ", \"shortestM\": " << jsonNumber(shortest) << ", \"withSigma\": " << st.withSigma
           << ", \"withinSigma\": " << st.withinSigma << ", \"within2Sigma\": " << st.within2Sigma
           << ", \"manipulationEligible\": " << st.manipulationEligible
           << ", \"manipulationFlagged\": " << st.manipulationFlagged << ", \"flags\": {";
        const char *sep = "";
        for (const IntegrityFlagName &f : kIntegrityFlagNames) {
            os << sep << '"' << f.name << "\": " << st.flagged[bitIndex(f.bit)];
            sep = ", ";
        }
        os << "}}";
        os << '}';
    }
    os << "\n]}\n";
}

// ---- Integrity report ------------------------------------------------------------------

namespace {

double share(size_t part, size_t whole) {
    return whole > 0 ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : NAN;
}

std::string pct(double v) {
    return std::isfinite(v) ? fmt("%.0f", v) : std::string("-");
}

}  // namespace

void writeIntegrityMarkdown(std::ostream &os, const EvalOptions &opts,
                            const std::vector<EvalRow> &rows) {
    os << "Integrity of the final distance per point (" << opts.procedures
       << " procedures each, seed " << opts.seed
       << "): |error| median / p90, signed error (final - true) median and the shortest "
          "(most negative), the share of procedures whose |error| is within the library's "
          "sigma and 2 sigma, and how often each flag was set (percent). Manipulation where "
          "shortening > 3 sigma(rtt): flagged / eligible procedures.\n\n"
       << "| Scenario | Point | Error | Signed median | Shortest | <= sigma | <= 2 sigma | "
          "manipulation | multipath | blocked | jumps | rtt delivered | first path | "
          "fused | Manipulation where > 3 sigma(rtt) |\n"
       << "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
    const uint32_t shown[] = {TARN_INTEGRITY_MANIPULATION, TARN_INTEGRITY_MULTIPATH,
                              TARN_INTEGRITY_BLOCKED,      TARN_INTEGRITY_PHASE_JUMPS,
                              TARN_INTEGRITY_RTT_DELIVERED, TARN_INTEGRITY_FIRST_PATH,
                              TARN_INTEGRITY_FUSED};
    for (const EvalRow &r : rows) {
        const IntegrityStats &st = r.integrity;
        double med, shortest;
        signedSummary(st.signedErrors, &med, &shortest);
        os << "| " << r.scenario << " | " << r.point << " | " << statCell(r, kFinal) << " | "
           << jsonNumber(med, "%.3f") << " | " << jsonNumber(shortest, "%.3f") << " | "
           << pct(share(st.withinSigma, st.withSigma)) << " | "
           << pct(share(st.within2Sigma, st.withSigma)) << " |";
        const size_t n = st.signedErrors.size();
        for (uint32_t b : shown) os << ' ' << pct(share(st.flagged[bitIndex(b)], n)) << " |";
        os << ' ';
        if (st.manipulationEligible > 0)
            os << st.manipulationFlagged << " / " << st.manipulationEligible;
        else
            os << '-';
        os << " |\n";
    }
    // Coverage over all still points of scenarios without an attack.
    for (int comb : opts.combinations) {
        size_t n = 0, in1 = 0, in2 = 0;
        for (const EvalRow &r : rows) {
            if (r.combination != comb || !std::isfinite(r.distanceM)) continue;
            if (r.scenario.rfind("attack", 0) == 0 || r.scenario.rfind("offset", 0) == 0 ||
                r.scenario.rfind("blocked", 0) == 0)
                continue;
            n += r.integrity.withSigma;
            in1 += r.integrity.withinSigma;
            in2 += r.integrity.within2Sigma;
        }
        if (n > 0)
            os << "\nCoverage over the still points without attack, offset or blocked path ("
               << combinationName(comb) << "): " << fmt("%.1f", share(in1, n))
               << " % within sigma, " << fmt("%.1f", share(in2, n)) << " % within 2 sigma ("
               << n << " procedures).";
    }
    os << "\n\nScenarios:\n";
    for (const EvalScenario &s : allScenarios()) {
        bool used = false;
        for (const EvalRow &r : rows) used = used || r.scenario == s.name;
        if (!used) continue;
        os << "- " << s.name << ": " << s.description << "\n";
    }
}

void writeIntegrityCsv(std::ostream &os, const std::vector<EvalRow> &rows) {
    os << "scenario,point,distance_m,combination,procedures,n,median_m,p90_m,signed_median_m,"
          "shortest_m,with_sigma,within_sigma,within_2sigma,manipulation_eligible,"
          "manipulation_flagged";
    for (const IntegrityFlagName &c : kIntegrityFlagNames) os << ",flag_" << c.name;
    os << '\n';
    for (const EvalRow &r : rows) {
        const IntegrityStats &st = r.integrity;
        const ErrorStats &e = r.stats[kFinal];
        double med, shortest;
        signedSummary(st.signedErrors, &med, &shortest);
        os << r.scenario << ',' << r.point << ','
           << (std::isfinite(r.distanceM) ? fmt("%g", r.distanceM) : "") << ','
           << combinationName(r.combination) << ',' << r.procedures << ',' << e.n << ','
           << (e.n ? fmt("%.4f", e.median) : "") << ',' << (e.n ? fmt("%.4f", e.p90) : "") << ','
           << (std::isfinite(med) ? fmt("%.4f", med) : "") << ','
           << (std::isfinite(shortest) ? fmt("%.4f", shortest) : "") << ',' << st.withSigma << ','
           << st.withinSigma << ',' << st.within2Sigma << ',' << st.manipulationEligible << ','
           << st.manipulationFlagged;
        for (const IntegrityFlagName &c : kIntegrityFlagNames)
            os << ',' << st.flagged[bitIndex(c.bit)];
        os << '\n';
    }
}

// ---- Command ----------------------------------------------------------------------------

CLI::App *addEvaluateCommand(CLI::App *app, EvaluateArgs *a) {
    CLI::App *cmd = app->add_subcommand(
        "evaluate",
        "accuracy over a matrix of simulated scenarios: the library's distances and two "
        "classic baselines against the truth");
    std::string names;
    for (const EvalScenario &s : evaluationScenarios())
        names += (names.empty() ? "" : ", ") + s.name;
    cmd->add_option("--scenario", a->scenarios,
                    "scenario to run (repeatable; default all: " + names + ")")
        ->delimiter(',');
    cmd->add_option("--distances", a->distances,
                    "static distances in metres (comma-separated; default 0.5,1,2,5,10,20)")
        ->delimiter(',');
    cmd->add_flag("--no-walk", a->noWalk,
                  "leave out the moving points (walk, 2 m/s, 3 m/s, reversal, stop-and-go)");
    cmd->add_option("--timings", a->timings,
                    "step timings of the moving points (comma-separated; default all: fast, "
                    "mid, phone)")
        ->delimiter(',');
    addTrackingOption(cmd, &a->tracking, false);
    cmd->add_option("-n,--procedures", a->procedures, "procedures per static distance")
        ->capture_default_str();
    cmd->add_option("-s,--seed", a->seed, "random seed")->capture_default_str();
    cmd->add_option("-f,--format", a->input, "input the library gets: v1 or v2")
        ->capture_default_str();
    CLI::Option *csv = cmd->add_flag("--csv", a->csv, "CSV instead of Markdown");
    cmd->add_flag("--json", a->json, "JSON instead of Markdown")->excludes(csv);
    cmd->add_option("-o,--output", a->output, "write the table to FILE (default: standard output)");
    cmd->add_option("--plot", a->plot, "also draw the error distributions into FILE.png");
    cmd->add_flag("--calibrated", a->calibrated,
                  "add a column Final (cal): the devices (which follow --seed) calibrated once per "
                  "antenna-path count at 0.5 m as `tarn calibrate` does, then every point ranged "
                  "again with the table and round-trip offset");
    cmd->add_option("--combination", a->combinations,
                    "combination modes to run every point in: specified, guarded "
                    "(comma-separated; default specified, with --integrity both)")
        ->delimiter(',')
        ->check(CLI::IsMember({"specified", "guarded"}));
    cmd->add_flag("--integrity", a->integrity,
                  "the integrity matrix (" +
                      [] {
                          std::string n;
                          for (const EvalScenario &s : integrityScenarios())
                              n += (n.empty() ? "" : ", ") + s.name;
                          return n;
                      }() +
                      "; 1, 3, 5, 10 and 20 m, no moving points, both combinations unless "
                      "--combination is given) and its report: signed errors, the uncertainty's "
                      "coverage and the flags");
    addOptionFlags(cmd, &a->options);
    return cmd;
}

int cmdEvaluate(ToolIo io, const EvaluateArgs &a) {
    EvalOptions opts;
    opts.scenarios = a.scenarios;
    opts.walk = !a.noWalk;
    if (a.integrity) useIntegrityMatrix(&opts);
    if (!a.distances.empty()) opts.distances = a.distances;
    for (double d : opts.distances)
        if (!std::isfinite(d) || d < 0.0 || d > 1000.0) {
            io.err << "tarn: distances must be 0 to 1000 m\n";
            return 2;
        }
    opts.timings = a.timings;
    if (!a.combinations.empty()) {
        opts.combinations.clear();
        for (const std::string &c : a.combinations) {
            int mode = 0;
            if (!parseCombination(c, &mode)) {
                io.err << "tarn: unknown combination '" << c << "' (specified or guarded)\n";
                return 2;
            }
            if (std::find(opts.combinations.begin(), opts.combinations.end(), mode) ==
                opts.combinations.end())
                opts.combinations.push_back(mode);
        }
    }
    opts.procedures = a.procedures;
    opts.seed = a.seed;
    parseTracking(a.tracking, &opts.tracking);
    if (!parseInputFormat(a.input, &opts.format)) {
        io.err << "tarn: unknown input format '" << a.input << "' (v1 or v2)\n";
        return 2;
    }
    if (a.procedures < 1) {
        io.err << "tarn: procedures per point must be at least 1\n";
        return 2;
    }
    opts.calibrated = a.calibrated;
    {
        ConfigOpts base;
        std::string w;
        if (!linkCreationOptions(&base, &w)) {
            io.err << "tarn: " << w << "\n";
            return 1;
        }
        EffectiveOptions e;
        w = buildOptions(a.options, base, &e);
        if (!w.empty()) {
            io.err << "tarn: " << w << "\n";
            return 2;
        }
        for (const std::string &n : e.notes) io.err << "tarn: " << n << "\n";
        opts.options = e.opts;
    }
    std::ofstream file;
    if (!a.output.empty()) {
        file.open(a.output, std::ios::out | std::ios::trunc);
        if (!file) {
            io.err << "tarn: cannot write " << a.output << ": " << std::strerror(errno) << "\n";
            return 1;
        }
    }
    std::vector<EvalRow> rows;
    std::string why;
    bool shown = false;
    // The table comes only at the end, so a terminal gets a progress line
    // even when the table goes to it too.
    const bool live = io.progress || (&io.err == &std::cerr && isatty(STDERR_FILENO) == 1);
    auto progress = [&](long done, long total, const std::string &what) {
        if (!live || (done % 20 != 0 && done != total)) return;
        shown = true;
        char buf[160];
        std::snprintf(buf, sizeof buf, "\r  %ld/%ld procedures (%s)        ", done, total,
                      what.c_str());
        io.err << buf << std::flush;
    };
    const bool ok = runEvaluation(opts, &rows, &why, progress);
    if (shown) io.err << "\r" << std::string(72, ' ') << "\r" << std::flush;
    if (!ok) {
        io.err << "tarn: " << why << "\n";
        return why.rfind("unknown scenario", 0) == 0 || why.rfind("unknown timing", 0) == 0 ? 2 : 1;
    }
    std::ostream &os = a.output.empty() ? io.out : file;
    if (a.json)
        writeJson(os, opts, rows);
    else if (a.csv)
        opts.integrity ? writeIntegrityCsv(os, rows) : writeCsv(os, rows);
    else
        opts.integrity ? writeIntegrityMarkdown(os, opts, rows) : writeMarkdown(os, opts, rows);
    if (file.is_open()) {
        file.close();
        if (file.fail()) {
            io.err << "tarn: error writing " << a.output << "\n";
            return 1;
        }
    }
    if (!a.plot.empty()) {
        std::string message;
        const PlotStatus st = plotErrorDistributions(rows, a.plot, &message);
        io.err << "tarn: " << message << "\n";
        if (st == PlotStatus::Failed) return 1;
    }
    return 0;
}

}  // namespace tarn_tool
