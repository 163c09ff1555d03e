// `tarn calibrate`: one link in the library's calibration mode (EnableCal,
// estimateFilterChannel, trueCalibrationDistance, maxProcForCal) fed
// procedures at a known distance; the table the library finished is read
// back through tarnGetLinkOptions and written as a calibration table file.
#include "calibrate.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "record.h"
#include "tarn.h"

namespace tarn_tool {

namespace {

// Procedures a calibration run takes when neither -n nor maxProcForCal says.
constexpr int kDefaultCalProcedures = 100;
// Lines of the table file are read into 100 bytes: 98 characters and the end.
constexpr size_t kMaxCalLine = 98;

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::string fmt(const char *f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

bool writeText(const std::string &path, const std::string &text, std::string *why) {
    std::ofstream f(path, std::ios::out | std::ios::trunc);
    if (!f) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    f << text;
    f.close();
    if (f.fail()) {
        *why = "error writing " + path;
        return false;
    }
    return true;
}

}  // namespace

CLI::App *addCalibrateCommand(CLI::App *app, CalibrateArgs *a) {
    CLI::App *cmd = app->add_subcommand(
        "calibrate",
        "run the library's calibration mode at a known distance (-d M) and write the "
        "calibration table file (-o FILE) and the round-trip offset it suggests. Simulated "
        "procedures are line of sight unless -r is given. Simulated "
        "devices follow --seed: `tarn calibrate --seed S` and `tarn run --seed S --cal FILE` "
        "(or replay/evaluate with --cal) range with the same device pair");
    cmd->add_option("-o,--output", a->output, "the calibration table file to write")->required();
    cmd->add_option("--keys", a->keys,
                    "also write the suggested configuration keys to FILE (use with --config)");
    cmd->add_option("--replay", a->replay,
                    "take the procedures from a recorded file (JSON Lines) made at the known "
                    "distance, instead of simulating them");
    cmd->add_option("-f,--format", a->format, "input the library gets: v1 or v2")
        ->capture_default_str();
    addOptionFlags(cmd, &a->options);
    return cmd;
}

bool runCalibration(const ConfigOpts &opts, double distanceM, int count, InputFormat fmt,
                    const std::function<bool(Procedure *)> &next, CalibrationResult *out,
                    std::string *why) {
    CalibrationResult r;
    ConfigOpts cal = opts;
    cal.EnableCal = 1;
    cal.estimateFilterChannel = 1;
    cal.trueCalibrationDistance = distanceM;
    cal.maxProcForCal = static_cast<uint16_t>(count);
    // The run measures the devices as they are.
    cal.applyEstimatedReverseChannel = 0;
    // At a calibration distance of half a metre the jitter makes many times
    // of flight negative; dropping them (the ranging default) would bias the
    // round-trip median, and with it the suggested offset, by centimetres.
    cal.dropNegativeRTTTof = 0;
    cal.dropNegativeRTTDistances = 0;

    Session session(fmt, 0x7a54);
    if (!session.ok() || !session.installOptions(cal, why)) {
        if (!session.ok()) *why = session.error();
        return false;
    }
    std::vector<double> rtt;
    // Procedures without tones do not count for the library: allow as many
    // again before giving up.
    Procedure p;
    for (int fed = 0; fed < 2 * count && next(&p); ++fed) {
        if (r.paths == 0 && !p.initiator.empty())
            r.paths = std::clamp<int>(p.initiator[0].nap, 1, 4);
        SessionRow row;
        if (!session.process(p, &row)) {
            *why = session.error();
            return false;
        }
        ++r.procedures;
        if (row.rttM) rtt.push_back(*row.rttM);
        TarnLinkOptions rec{};
        rec.size = sizeof rec;
        if (tarnGetLinkOptions(0x7a54, &rec) != 1) {
            *why = "cannot read the link's options back";
            return false;
        }
        r.table = rec.opts;
        if (rec.opts.estimateFilterChannel == 0 && rec.opts.applyEstimatedReverseChannel == 1) {
            r.finished = true;
            break;
        }
    }
    if (!rtt.empty()) {
        r.haveRoundTrip = true;
        r.roundTripMedianM = median(rtt);
        r.rttDisCalAA = distanceM - r.roundTripMedianM;
    }
    *out = r;
    return true;
}

std::string calibrationTableText(const ConfigOpts &opts, int paths) {
    paths = std::clamp(paths, 1, TARN_CAL_PATHS);
    std::string text;
    for (int k = 0; k < TARN_CAL_CHANNELS; ++k) {
        std::string line;
        // Eight decimals fit four paths of values within +-1 (a finished table
        // is scaled so); fewer when a value is larger.
        for (int decimals = 8; decimals >= 0; --decimals) {
            line.clear();
            for (int p = 0; p < paths; ++p) {
                char buf[160];
                std::snprintf(buf, sizeof buf, "%s%.*f%+.*fi", p ? "," : "", decimals,
                              opts.calTable[k][p].real(), decimals, opts.calTable[k][p].imag());
                line += buf;
            }
            if (line.size() <= kMaxCalLine) break;
        }
        text += line + "\n";
    }
    return text;
}

std::string calibrationKeysText(const CalibrationResult &r) {
    std::string s = "applyEstimatedReverseChannel=1\n";
    if (r.haveRoundTrip) s += "RttDisCalAA=" + fmt("%.4f", r.rttDisCalAA) + "\n";
    return s;
}

bool calibrateSimulated(const SimConfig &scenario, double distanceM, int count,
                        const ConfigOpts &base, CalibrationResult *out, std::string *why) {
    SimConfig c = scenario;
    c.trajectory = Trajectory::still(distanceM);
    c.procedures = 2 * count;
    const std::string bad = c.validate();
    if (!bad.empty()) {
        *why = bad;
        return false;
    }
    Simulator sim(c);
    auto next = [&](Procedure *p) {
        *p = sim.next();
        return true;
    };
    return runCalibration(base, distanceM, count, InputFormat::Procedure, next, out, why);
}

int cmdCalibrate(ToolIo io, const CalibrateArgs &a, SimConfig cfg, const std::string &scenario) {
    auto usage = [&](const std::string &why) {
        io.err << "tarn: " << why << "\n";
        return 2;
    };
    auto failed = [&](const std::string &why) {
        io.err << "tarn: " << why << "\n";
        return 1;
    };
    if (!std::isfinite(a.distanceM) || a.distanceM <= 0.0 || a.distanceM > 100.0)
        return usage("calibrate needs the known distance: -d M (0 to 100 m)");
    InputFormat fmtIn;
    if (!parseInputFormat(a.format, &fmtIn))
        return usage("unknown input format '" + a.format + "' (v1 or v2)");

    ConfigOpts base;
    std::string why;
    if (!linkCreationOptions(&base, &why)) return failed(why);
    EffectiveOptions e;
    why = buildOptions(a.options, base, &e);
    if (!why.empty()) return usage(why);
    for (const std::string &n : e.notes) io.err << "tarn: " << n << "\n";

    // How many procedures: -n, else the options' maxProcForCal, else the tool's.
    int count = a.procedures >= 0           ? a.procedures
                : e.opts.maxProcForCal != 0 ? e.opts.maxProcForCal
                                            : kDefaultCalProcedures;
    if (count < 1 || count > 65535) return usage("procedures for a calibration: 1 to 65535");

    RecordReader reader;
    std::unique_ptr<Simulator> sim;
    if (!a.replay.empty()) {
        if (!reader.open(a.replay, &why)) return failed(why);
    } else {
        cfg.procedures = 2 * count;
        sim.reset(new Simulator(cfg));
    }
    std::string readError;
    auto next = [&](Procedure *p) {
        if (sim) {
            *p = sim->next();
            return true;
        }
        while (true) {
            std::string w;
            const RecordReader::Status st = reader.next(p, &w);
            if (st == RecordReader::Status::Ok) return true;
            if (st == RecordReader::Status::Malformed) {
                io.err << "tarn: " << a.replay << ":" << reader.lineNumber() << ": " << w
                       << " (line skipped)\n";
                continue;
            }
            if (st == RecordReader::Status::ReadError) readError = w;
            return false;
        }
    };
    CalibrationResult r;
    if (!runCalibration(e.opts, a.distanceM, count, fmtIn, next, &r, &why)) return failed(why);
    if (!readError.empty()) return failed(a.replay + ": " + readError);
    if (!r.finished)
        return failed("the calibration run did not finish: " + std::to_string(r.procedures) +
                      " procedure(s) fed, the library needs " + std::to_string(count) +
                      " with tones (lower -n, or give more procedures)");
    if (!writeText(a.output, calibrationTableText(r.table, r.paths), &why)) return failed(why);
    const std::string keys = calibrationKeysText(r);
    if (!a.keys.empty() &&
        !writeText(a.keys,
                   "# Suggested by tarn calibrate at " + fmt("%.3f", a.distanceM) + " m\n" + keys,
                   &why))
        return failed(why);

    io.out << "calibration at " << fmt("%.3f", a.distanceM) << " m over " << count
           << " procedure(s) with tones, " << r.paths << " antenna path(s)"
           << (a.replay.empty() ? ": simulated " + scenario : ": " + a.replay) << "\n";
    io.out << "wrote " << a.output << " (" << TARN_CAL_CHANNELS << " channels x " << r.paths
           << " path(s))\n";
    if (r.haveRoundTrip)
        io.out << "round trip during the run: median " << fmt("%.3f", r.roundTripMedianM)
               << " m (bias " << fmt("%+.3f", r.roundTripMedianM - a.distanceM)
               << " m with RttDisCalAA 0)\n";
    else
        io.out << "no round-trip distance during the run: no RttDisCalAA suggested\n";
    io.out << "suggested configuration keys" << (a.keys.empty() ? "" : " (also in " + a.keys + ")")
           << ":\n"
           << keys;
    return 0;
}

}  // namespace tarn_tool
