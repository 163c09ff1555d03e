#include "cli.h"

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "calibrate.h"
#include "evaluate.h"
#include "import.h"
#include "options_cli.h"
#include "motion.h"
#include "plot.h"
#include "record.h"
#include "session.h"
#include "simulator.h"
#include "tarn.h"

#ifndef TARN_VERSION_STRING
#define TARN_VERSION_STRING "unknown"
#endif

namespace tarn_tool {

namespace {

// The built-in scenario: someone walks away from 0.5 m to 15 m and back.
constexpr double kWalkNear = 0.5, kWalkFar = 15.0, kWalkSpeed = 1.0;
const Reflection kDefaultReflection{3.0, 0.5};

// Library log threshold meaning "nothing at all".
constexpr int kQuiet = -1;

struct SimArgs {
    double distance = NAN;
    double speed = NAN;
    std::string trajectory;
    std::vector<std::string> reflections;
    double snr = 30.0;
    int paths = 2;
    int procedures = -1;
    double interval = 0.1;
    uint64_t seed = 1;
    std::string channels = "all";
    int subevents = 4;
    int toneMode = 2;
    int rttEvery = 2;
    double jitter = 3.0;
    double failShare = 0.05;
    double unavailableShare = 0.02;
    double abortShare = 0.0;
    double deviceDelay = 0.0;
    bool noHardware = false;
    double direct = 1.0;
    double drift = 0.0;
    double attackPhase = 0.0;
    int repeatChannels = 0;
    bool sameChannels = false;
    double phaseJumps = 0.0;
    double subeventInterval = 0.0;
    std::string timing = kDefaultTiming;
};

struct RunArgs {
    std::string format = "v2";
    std::string csv;
    std::string record;
    bool quiet = false;
    int logLevel = kQuiet - 1;  // not given
    std::string plot;           // PNG of true and estimated distances
    OptionArgs options;         // --config, --set, --cal
    std::string tracking = "still";  // the link's tracking mode
    std::string combination = "specified";  // the link's combination
    bool withholdTiming = false;     // do not hand the procedures' step timing to the link
};

void addSimOptions(CLI::App *app, SimArgs *a) {
    app->add_option("-d,--distance", a->distance,
                    "true distance in metres (static, or the start when --speed is given)");
    app->add_option("--speed", a->speed,
                    "speed in m/s away from the other device (negative: approaching)");
    app->add_option("--trajectory", a->trajectory,
                    "true distance over time as T:D,T:D,... (seconds:metres, linear between)");
    app->add_option("-r,--reflection", a->reflections,
                    "reflection EXTRA_M:AMPLITUDE (repeatable; 'none' for line of sight only; "
                    "default 3:0.5)");
    app->add_option("--snr", a->snr, "tone signal-to-noise ratio in dB")->capture_default_str();
    app->add_option("-a,--paths", a->paths, "antenna paths (1 to 4)")->capture_default_str();
    app->add_option("-n,--procedures", a->procedures,
                    "number of procedures (default: the whole scenario, or 100)");
    app->add_option("-i,--interval", a->interval, "procedure interval in seconds")
        ->capture_default_str();
    app->add_option("-s,--seed", a->seed,
                    "random seed; the two devices (their hardware response) follow it alone, so "
                    "calibrate and run with the same seed are the same device pair")
        ->capture_default_str();
    app->add_option("-c,--channels", a->channels, "channel map: all, half, quarter, wifi-avoid")
        ->capture_default_str();
    app->add_option("--subevents", a->subevents, "subevents per procedure")->capture_default_str();
    app->add_option("--tone-mode", a->toneMode,
                    "mode of the tone steps: 2, or 3 (tones and round trip in one step)")
        ->capture_default_str();
    app->add_option("--rtt-every", a->rttEvery, "a mode-1 step after every N tone steps (0: none)")
        ->capture_default_str();
    app->add_option("--jitter", a->jitter, "ToA_ToD difference jitter in ns (std. deviation)")
        ->capture_default_str();
    app->add_option("--fail-share", a->failShare, "share of failed round-trip packets")
        ->capture_default_str();
    app->add_option("--unavailable-share", a->unavailableShare,
                    "share of tones with quality 'unavailable'")
        ->capture_default_str();
    app->add_option("--abort-share", a->abortShare, "share of subevents aborted by one side")
        ->capture_default_str();
    app->add_option("--device-delay", a->deviceDelay,
                    "fixed extra round-trip delay of the devices in ns")
        ->capture_default_str();
    app->add_flag("--no-hardware", a->noHardware,
                  "devices without their own phase and gain response over the band");
    app->add_option("--direct", a->direct,
                    "line-of-sight amplitude (below a reflection's: blocked direct path)")
        ->capture_default_str();
    app->add_option("--drift", a->drift,
                    "residual frequency offset in Hz: a two-way phase step between subevents")
        ->capture_default_str();
    app->add_option("--attack-phase", a->attackPhase,
                    "manipulating reflector: the phase distance reads M metres short (a slope "
                    "over frequency on its tones), its round trip honest")
        ->capture_default_str();
    app->add_option("--repeat-channels", a->repeatChannels,
                    "each subevent starts with the previous one's last N tone channels (0..4)")
        ->capture_default_str();
    app->add_flag("--same-channels", a->sameChannels,
                  "every subevent hops over the whole channel map (not its share of it)");
    app->add_option("--phase-jumps", a->phaseJumps,
                    "each subevent after the first turns its tones' two-way phase by a jump "
                    "drawn within +-RAD radians (0: none)")
        ->capture_default_str();
    app->add_option("--subevent-interval", a->subeventInterval,
                    "seconds between subevent starts (0: back to back)")
        ->capture_default_str();
    app->add_option("--timing", a->timing,
                    "the link's CS step timing in us, FCS,IP1,IP2,PM[,SW[,PHY[,RTT]]], or fast "
                    "(15,10,10,10,0), mid (60,80,40,20,10), phone (150,145,145,40,10), or none "
                    "(150 us steps, procedures without a timing); the procedures carry it")
        ->capture_default_str();
}

void addRunOptions(CLI::App *app, RunArgs *a) {
    app->add_option("-f,--format", a->format,
                    "input the library gets: v1 (step records) or v2 (procedure records)")
        ->capture_default_str();
    app->add_option("--csv", a->csv, "write the table as CSV to FILE ('-': standard output)");
    app->add_flag("-q,--quiet", a->quiet, "no per-procedure table, only the summary");
    app->add_option("--log-level", a->logLevel,
                    "library log threshold on stderr, 0 to 4 (default: silent)")
        ->check(CLI::Range(0, 4));
    app->add_option("--plot", a->plot,
                    "also draw true and estimated distances over time into FILE.png (gnuplot)");
    addOptionFlags(app, &a->options);
    addTrackingOption(app, &a->tracking, true);
    addCombinationOption(app, &a->combination);
    app->add_flag("--withhold-timing", a->withholdTiming,
                  "do not hand the procedures' step timing to the library (tarnSetStepTiming)");
}

bool parseNumberPair(const std::string &s, double *a, double *b) {
    const size_t colon = s.find(':');
    if (colon == std::string::npos) return false;
    try {
        size_t used1 = 0, used2 = 0;
        const std::string left = s.substr(0, colon), right = s.substr(colon + 1);
        *a = std::stod(left, &used1);
        *b = std::stod(right, &used2);
        return used1 == left.size() && used2 == right.size() && std::isfinite(*a) &&
               std::isfinite(*b);
    } catch (const std::exception &) {
        return false;
    }
}

std::string fmtM(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f", v);
    return buf;
}

// Builds the simulator's configuration; an empty result string means success.
std::string buildConfig(const SimArgs &a, SimConfig *cfg, std::string *scenario) {
    SimConfig c;
    c.snrDb = a.snr;
    c.nap = a.paths;
    c.intervalS = a.interval;
    c.seed = a.seed;
    // The device pair follows the seed alone: calibrate and run with one seed
    // are the same two devices, whatever the room.
    c.deviceSeed = a.seed;
    if (!parseChannelMap(a.channels, &c.channelMap))
        return "unknown channel map '" + a.channels + "'";
    c.subevents = a.subevents;
    c.toneMode = a.toneMode;
    c.rttEvery = a.rttEvery;
    c.jitterNs = a.jitter;
    c.failShare = a.failShare;
    c.unavailableShare = a.unavailableShare;
    c.abortShare = a.abortShare;
    c.deviceDelayNs = a.deviceDelay;
    c.hardwareResponse = !a.noHardware;
    c.directAmplitude = a.direct;
    c.driftHz = a.drift;
    c.attackPhaseM = a.attackPhase;
    c.repeatChannels = a.repeatChannels;
    c.sameChannels = a.sameChannels;
    c.phaseJumpRad = a.phaseJumps;
    c.subeventIntervalS = a.subeventInterval;
    std::string timingWhy;
    if (!parseTiming(a.timing, &c.timing, &timingWhy)) return timingWhy;
    if (!std::isfinite(a.interval) || a.interval <= 0.0)
        return "the procedure interval must be positive";

    const int scenarios =
        (!std::isnan(a.distance) || !std::isnan(a.speed) ? 1 : 0) + (a.trajectory.empty() ? 0 : 1);
    if (scenarios > 1) return "--trajectory cannot be combined with --distance or --speed";
    int defaultProcedures = 100;
    std::ostringstream desc;
    if (!a.trajectory.empty()) {
        std::vector<Trajectory::Point> pts;
        std::stringstream ss(a.trajectory);
        std::string item;
        while (std::getline(ss, item, ',')) {
            Trajectory::Point p;
            if (!parseNumberPair(item, &p.t, &p.d))
                return "bad trajectory point '" + item + "' (expected SECONDS:METRES)";
            pts.push_back(p);
        }
        if (!c.trajectory.setPoints(pts))
            return "trajectory points need finite values and increasing times";
        defaultProcedures = static_cast<int>(std::floor(c.trajectory.duration() / a.interval)) + 1;
        desc << "trajectory " << a.trajectory;
    } else if (!std::isnan(a.speed)) {
        const double start = std::isnan(a.distance) ? 1.0 : a.distance;
        const int n = a.procedures >= 0 ? a.procedures : defaultProcedures;
        c.trajectory = Trajectory::moving(start, a.speed, n * a.interval);
        desc << "moving from " << fmtM(start) << " m at " << a.speed << " m/s";
    } else if (!std::isnan(a.distance)) {
        c.trajectory = Trajectory::still(a.distance);
        desc << "static at " << fmtM(a.distance) << " m";
    } else {
        c.trajectory = Trajectory::outAndBack(kWalkNear, kWalkFar, kWalkSpeed);
        defaultProcedures = static_cast<int>(std::floor(c.trajectory.duration() / a.interval)) + 1;
        desc << "walk " << fmtM(kWalkNear) << " m -> " << fmtM(kWalkFar) << " m -> "
             << fmtM(kWalkNear) << " m at " << kWalkSpeed << " m/s";
    }
    c.procedures = a.procedures >= 0 ? a.procedures : defaultProcedures;

    if (a.reflections.empty()) {
        c.reflections.push_back(kDefaultReflection);
    } else {
        for (const std::string &r : a.reflections) {
            if (r == "none") continue;
            Reflection refl;
            if (!parseNumberPair(r, &refl.extraPathM, &refl.amplitude))
                return "bad reflection '" + r + "' (expected EXTRA_M:AMPLITUDE or none)";
            c.reflections.push_back(refl);
        }
    }
    const std::string why = c.validate();
    if (!why.empty()) return why;

    desc << ", " << c.reflections.size() << " reflection(s)";
    for (const Reflection &r : c.reflections)
        desc << " (+" << fmtM(r.extraPathM) << " m, " << r.amplitude << ")";
    desc << ", " << c.nap << " antenna path(s), SNR " << c.snrDb << " dB, " << c.procedures
         << " procedures every " << c.intervalS << " s, seed " << c.seed << ", channels "
         << channelMapName(c.channelMap) << " (" << channelMapChannels(c.channelMap).size() << ")"
         << ", step timing " << timingText(c.timing);
    *scenario = desc.str();
    *cfg = c;
    return "";
}

// ---- Output ----------------------------------------------------------------------

std::string cell(const std::optional<double> &v, int width) {
    char buf[48];
    if (v)
        std::snprintf(buf, sizeof buf, "%*.3f", width, *v);
    else
        std::snprintf(buf, sizeof buf, "%*s", width, "-");
    return buf;
}

std::string csvCell(const std::optional<double> &v) {
    if (!v) return "";
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.4f", *v);
    return buf;
}

std::optional<double> truthOf(const SessionRow &r) {
    if (std::isfinite(r.trueM)) return r.trueM;
    return std::nullopt;
}

std::optional<double> sigmaOf(double v) {
    if (v >= 0.0 && std::isfinite(v)) return v;
    return std::nullopt;
}

class Report {
  public:
    // The summary goes to `summary` (stderr when the CSV takes standard output).
    Report(ToolIo io, bool table, std::ostream *csv, std::ostream &summary)
        : io_(io), table_(table), csv_(csv), sum_(summary) {}

    void header() {
        if (table_)
            io_.out << "    seq    time_s    true_m     rtt_m   phase_m   final_m  conf  sigma_m"
                       "  flags\n";
        if (csv_ != nullptr)
            *csv_ << "seq,time_s,true_m,rtt_m,phase_m,final_m,conf,accepted,sigma_m,phase_sigma_m,"
                     "rtt_sigma_m,flags\n";
    }

    void row(const SessionRow &r) {
        rows_.push_back(r);
        if (table_) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%7ld %9.3f", r.seq, r.timeS);
            io_.out << buf << cell(truthOf(r), 10);
            if (!r.accepted) {
                io_.out << "  procedure rejected by the library\n";
            } else {
                io_.out << cell(r.rttM, 10) << cell(r.phaseM, 10) << cell(r.finalM, 10);
                std::snprintf(buf, sizeof buf, "%6d", r.conf);
                io_.out << (r.finalM ? buf : "     -");
                io_.out << cell(sigmaOf(r.sigmaM), 9) << "  " << integrityFlagNames(r.flags)
                        << "\n";
            }
        }
        if (csv_ != nullptr) {
            char t[32];
            std::snprintf(t, sizeof t, "%.6f", r.timeS);
            *csv_ << r.seq << ',' << t << ',' << csvCell(truthOf(r)) << ',' << csvCell(r.rttM)
                  << ',' << csvCell(r.phaseM) << ',' << csvCell(r.finalM) << ','
                  << (r.finalM ? std::to_string(r.conf) : "") << ',' << (r.accepted ? 1 : 0)
                  << ',' << csvCell(sigmaOf(r.sigmaM)) << ',' << csvCell(sigmaOf(r.phaseSigmaM))
                  << ',' << csvCell(sigmaOf(r.rttSigmaM)) << ',' << r.flags << '\n';
        }
    }

    void summary() {
        size_t rejected = 0, truth = 0, inconsistent = 0;
        std::vector<double> err[3];
        for (const SessionRow &r : rows_) {
            if (!r.accepted) ++rejected;
            if (!r.consistent) ++inconsistent;
            if (!std::isfinite(r.trueM)) continue;
            ++truth;
            const std::optional<double> *cols[3] = {&r.rttM, &r.phaseM, &r.finalM};
            for (int k = 0; k < 3; ++k)
                if (*cols[k]) err[k].push_back(std::fabs(**cols[k] - r.trueM));
        }
        sum_ << "\n"
             << rows_.size() << " procedure(s), " << rejected << " rejected by the library\n";
        if (inconsistent > 0)
            sum_ << "warning: in " << inconsistent
                 << " procedure(s) the rtt and phase columns are not those of the "
                    "computation the callback delivered\n";
        if (truth == 0) {
            sum_ << "no true distances: no error summary\n";
            return;
        }
        sum_ << "absolute error over " << truth << " procedure(s) with a true distance:\n"
             << "              estimates    median_m       p90_m\n";
        const char *names[3] = {"rtt", "phase", "final"};
        for (int k = 0; k < 3; ++k) {
            const ErrorStats s = errorStats(err[k]);
            char buf[96];
            if (s.n == 0)
                std::snprintf(buf, sizeof buf, "  %-8s %12zu %11s %11s\n", names[k], s.n, "-", "-");
            else
                std::snprintf(buf, sizeof buf, "  %-8s %12zu %11.3f %11.3f\n", names[k], s.n,
                              s.median, s.p90);
            sum_ << buf;
        }
    }

    const std::vector<SessionRow> &rows() const { return rows_; }

  private:
    ToolIo io_;
    bool table_;
    std::ostream *csv_;
    std::ostream &sum_;
    std::vector<SessionRow> rows_;
};

class Progress {
  public:
    Progress(ToolIo io, long total) : io_(io), total_(total) {}
    ~Progress() { done(); }
    void tick(long n) {
        if (!io_.progress || (n % 10 != 0 && n != total_)) return;
        shown_ = true;
        if (total_ > 0)
            io_.err << "\r  " << n << "/" << total_ << " procedures" << std::flush;
        else
            io_.err << "\r  " << n << " procedures" << std::flush;
    }
    void done() {
        if (shown_) io_.err << "\r" << std::string(40, ' ') << "\r" << std::flush;
        shown_ = false;
    }

  private:
    ToolIo io_;
    long total_;
    bool shown_ = false;
};

// Restores the library's log threshold when a command ends.
class LogLevelGuard {
  public:
    LogLevelGuard() : saved_(glog_level) {}
    ~LogLevelGuard() { glog_level = saved_; }

  private:
    int8_t saved_;
};

// Shared by run and replay: the session, the report and the CSV file.
class Runner {
  public:
    Runner(ToolIo io, const RunArgs &a) : io_(io), args_(a) {}

    // `usage` tells a bad command line (an option) from a failed start.
    bool start(std::string *why, bool *usage = nullptr) {
        if (!parseInputFormat(args_.format, &fmt_)) {
            *why = "unknown input format '" + args_.format + "' (v1 or v2)";
            return false;
        }
        applyLogLevel();
        session_.reset(new Session(fmt_));
        if (!session_->ok()) {
            *why = session_->error();
            return false;
        }
        // Creating the link installs the configured threshold; put ours back.
        applyLogLevel();
        ConfigOpts base;
        if (!session_->linkOptions(&base, why)) return false;
        *why = buildOptions(args_.options, base, &options_);
        if (!why->empty()) {
            if (usage != nullptr) *usage = true;
            return false;
        }
        for (const std::string &n : options_.notes) io_.err << "tarn: " << n << "\n";
        if (!session_->installOptions(options_.opts, why)) return false;
        std::ostream *csv = nullptr;
        if (args_.csv == "-") {
            csv = &io_.out;
        } else if (!args_.csv.empty()) {
            csvFile_.open(args_.csv, std::ios::out | std::ios::trunc);
            if (!csvFile_) {
                *why = "cannot write " + args_.csv + ": " + std::strerror(errno);
                return false;
            }
            csv = &csvFile_;
        }
        const bool table = !args_.quiet && args_.csv != "-";
        report_.reset(new Report(io_, table, csv, csv == &io_.out ? io_.err : io_.out));
        session_->setGiveTiming(!args_.withholdTiming);
        return startTracking(why) && startCombination(why);
    }

    void header() { report_->header(); }

    bool feed(const Procedure &p, std::string *why) {
        SessionRow row;
        if (!session_->process(p, &row)) {
            *why = session_->error();
            return false;
        }
        if (moving_ != nullptr) {
            SessionRow m;
            if (!moving_->process(p, &m)) {
                *why = moving_->error();
                return false;
            }
            movingRows_.push_back(m);
        }
        report_->row(row);
        return true;
    }

    bool finish(std::string *why) {
        report_->summary();
        if (session_->timingRefusals() > 0)
            io_.err << "tarn: warning: the library refused the step timing of "
                    << session_->timingRefusals() << " procedure(s) (see its log)\n";
        if (moving_ != nullptr) summariseMoving();
        if (!args_.plot.empty()) {
            std::string message;
            const PlotStatus st = plotSession(report_->rows(), args_.plot, &message,
                                              moving_ != nullptr ? &movingRows_ : nullptr);
            io_.err << "tarn: " << message << "\n";
            if (st == PlotStatus::Failed) {
                *why = "no chart drawn";
                return false;
            }
        }
        if (csvFile_.is_open()) {
            csvFile_.close();
            if (csvFile_.fail()) {
                *why = "error writing " + args_.csv;
                return false;
            }
        }
        return true;
    }

    InputFormat format() const { return fmt_; }

  private:
    // The link's tracking mode; "both": a second link in mode 1 on the same
    // procedures.
    bool startTracking(std::string *why) {
        if (args_.tracking == "both") {
            moving_.reset(new Session(fmt_, 0x7a54));
            moving_->setGiveTiming(!args_.withholdTiming);
            applyLogLevel();
            if (!moving_->ok() || !moving_->setTrackingMode(1)) {
                *why = moving_->error();
                return false;
            }
            // The second link computes with the same options as the first.
            return moving_->installOptions(options_.opts, why);
        }
        int mode = 0;
        if (!parseTracking(args_.tracking, &mode)) {
            *why = "unknown tracking mode '" + args_.tracking + "' (still, moving or both)";
            return false;
        }
        if (mode != 0 && !session_->setTrackingMode(mode)) {
            *why = session_->error();
            return false;
        }
        return true;
    }

    bool startCombination(std::string *why) {
        int mode = 0;
        if (!parseCombination(args_.combination, &mode)) {
            *why = "unknown combination '" + args_.combination + "' (specified or guarded)";
            return false;
        }
        if (mode == 0) return true;
        for (Session *s : {session_.get(), moving_.get()})
            if (s != nullptr && !s->setCombination(mode)) {
                *why = s->error();
                return false;
            }
        return true;
    }

    void summariseMoving() {
        std::vector<double> err;
        for (const SessionRow &r : movingRows_)
            if (std::isfinite(r.trueM) && r.finalM) err.push_back(std::fabs(*r.finalM - r.trueM));
        if (err.empty()) return;
        const ErrorStats s = errorStats(err);
        char buf[96];
        std::snprintf(buf, sizeof buf, "  %-8s %12zu %11.3f %11.3f   (second link, tracking moving)\n",
                      "final", s.n, s.median, s.p90);
        (args_.csv == "-" ? io_.err : io_.out) << buf;
    }

    void applyLogLevel() {
        glog_level = static_cast<int8_t>(args_.logLevel >= kQuiet ? args_.logLevel : kQuiet);
    }

    ToolIo io_;
    RunArgs args_;
    InputFormat fmt_ = InputFormat::Procedure;
    std::ofstream csvFile_;
    std::unique_ptr<Report> report_;
    std::unique_ptr<Session> session_;
    EffectiveOptions options_;
    std::unique_ptr<Session> moving_;
    std::vector<SessionRow> movingRows_;
};

int fail(ToolIo io, const std::string &why) {
    io.err << "tarn: " << why << "\n";
    return 1;
}

int usageError(ToolIo io, const std::string &why) {
    io.err << "tarn: " << why << "\n";
    return 2;
}

// ---- Commands ----------------------------------------------------------------------

int cmdRun(ToolIo io, const SimArgs &sa, const RunArgs &ra) {
    SimConfig cfg;
    std::string scenario;
    std::string why = buildConfig(sa, &cfg, &scenario);
    if (!why.empty()) {
        io.err << "tarn: " << why << "\n";
        return 2;
    }
    Runner runner(io, ra);
    bool usage = false;
    if (!runner.start(&why, &usage)) return usage ? usageError(io, why) : fail(io, why);
    RecordWriter writer;
    if (!ra.record.empty() && !writer.open(ra.record, &why)) return fail(io, why);
    if (!ra.quiet && ra.csv != "-")
        io.out << "simulated session: " << scenario << ", input "
               << inputFormatName(runner.format()) << trackingNote(ra.tracking) << "\n";
    runner.header();
    Simulator sim(cfg);
    Progress progress(io, cfg.procedures);
    for (int i = 0; i < cfg.procedures; ++i) {
        const Procedure p = sim.next();
        if (!ra.record.empty() && !writer.write(p)) return fail(io, "error writing " + ra.record);
        if (!runner.feed(p, &why)) return fail(io, why);
        progress.tick(i + 1);
    }
    progress.done();
    if (!writer.close(&why)) return fail(io, why);
    if (!runner.finish(&why)) return fail(io, why);
    return 0;
}

int cmdSimulate(ToolIo io, const SimArgs &sa, const std::string &output,
                const SimCaptureArgs &capture) {
    SimConfig cfg;
    std::string scenario;
    std::string why = buildConfig(sa, &cfg, &scenario);
    if (!why.empty()) {
        io.err << "tarn: " << why << "\n";
        return 2;
    }
    RecordWriter writer;
    if (!output.empty() && !writer.open(output, &why)) return fail(io, why);
    CaptureSink sink;
    if (!sink.open(capture, &why)) return fail(io, why);
    Simulator sim(cfg);
    Progress progress(io, cfg.procedures);
    for (int i = 0; i < cfg.procedures; ++i) {
        const Procedure p = sim.next();
        if (!output.empty() && !writer.write(p)) return fail(io, "error writing " + output);
        if (!sink.write(p, &why)) return fail(io, why);
        progress.tick(i + 1);
    }
    progress.done();
    if (!writer.close(&why) || !sink.close(&why)) return fail(io, why);
    for (const std::string &path : {capture.path, capture.reflectorPath})
        if (!path.empty())
            io.err << "tarn: wrote " << cfg.procedures << " procedures to the capture " << path
                   << "\n";
    if (!output.empty() && output != "-")
        io.err << "tarn: wrote " << cfg.procedures << " procedures to " << output << " ("
               << scenario << ")\n";
    return 0;
}

int cmdReplay(ToolIo io, const std::string &file, const RunArgs &ra,
              const CaptureReplayArgs &capture) {
    std::string why;
    RecordReader reader;
    CaptureSource source;
    const bool fromCapture = !capture.path.empty();
    if (fromCapture ? !source.open(capture, &why) : !reader.open(file, &why))
        return fromCapture && source.openStatus() == 2 ? usageError(io, why) : fail(io, why);
    Runner runner(io, ra);
    bool usage = false;
    if (!runner.start(&why, &usage)) return usage ? usageError(io, why) : fail(io, why);
    if (!ra.quiet && ra.csv != "-")
        io.out << "replay of " << (fromCapture ? capture.path : file) << ", input "
               << inputFormatName(runner.format()) << trackingNote(ra.tracking) << "\n";
    runner.header();
    long malformed = 0, n = 0;
    Progress progress(io, 0);
    Procedure p;
    while (true) {
        if (fromCapture) {
            if (!source.next(&p)) break;
            if (!runner.feed(p, &why)) return fail(io, why);
            progress.tick(++n);
            continue;
        }
        const RecordReader::Status st = reader.next(&p, &why);
        if (st == RecordReader::Status::End) break;
        if (st == RecordReader::Status::ReadError) {
            progress.done();
            return fail(io, file + ":" + std::to_string(reader.lineNumber() + 1) + ": " + why);
        }
        if (st == RecordReader::Status::Malformed) {
            progress.done();
            io.err << "tarn: " << file << ":" << reader.lineNumber() << ": " << why
                   << " (line skipped)\n";
            ++malformed;
            continue;
        }
        if (!runner.feed(p, &why)) return fail(io, why);
        progress.tick(++n);
    }
    progress.done();
    if (!runner.finish(&why)) return fail(io, why);
    if (fromCapture) {
        source.printReport(io.err);
        // One rule with import: no procedure is a failure, with the reason.
        if (const int rc = source.outcome(&why))
            return rc == 2 ? usageError(io, why) : fail(io, why);
    }
    if (malformed > 0)
        return fail(io, std::to_string(malformed) + " malformed line(s) in " + file + " skipped");
    return 0;
}

}  // namespace

int runTool(int argc, const char *const *argv, ToolIo io) {
    LogLevelGuard logGuard;
    // The library says nothing unless --log-level asks for it.
    glog_level = kQuiet;
    CLI::App app{
        "tarn: Channel Sounding distance estimation with libtarn.\n"
        "Without a command it runs the built-in simulated session (like 'tarn run')."};
    app.set_version_flag("--version", std::string("tarn ") + TARN_VERSION_STRING);
    app.require_subcommand(0, 1);

    // Without a command the run options apply to the built-in run.
    SimArgs topSim;
    RunArgs topArgs;
    addSimOptions(&app, &topSim);
    addRunOptions(&app, &topArgs);
    app.add_option("--record", topArgs.record,
                   "also write the simulated procedures to FILE (JSON Lines)");

    SimArgs runSim;
    RunArgs runArgs;
    CLI::App *run = app.add_subcommand(
        "run", "simulate a ranging session and run it through the library (the default)");
    addSimOptions(run, &runSim);
    addRunOptions(run, &runArgs);
    run->add_option("--record", runArgs.record,
                    "also write the simulated procedures to FILE (JSON Lines)");

    SimArgs simSim;
    std::string output;
    CLI::App *simulate =
        app.add_subcommand("simulate", "write simulated procedures as JSON Lines, no estimation");
    addSimOptions(simulate, &simSim);
    simulate->add_option("-o,--output", output, "output file ('-': standard output)");
    SimCaptureArgs simCapture;
    addSimulateCaptureOptions(simulate, &simCapture);

    RunArgs replayArgs;
    std::string replayFile;
    CLI::App *replay =
        app.add_subcommand("replay", "run recorded procedures (JSON Lines) through the library");
    replay->add_option("file", replayFile, "recorded procedures ('-': standard input)");
    addRunOptions(replay, &replayArgs);
    CaptureReplayArgs replayCapture;
    addCaptureReplayOptions(replay, &replayCapture);
    ImportArgs importArgs;
    CLI::App *import = addImportCommand(&app, &importArgs);

    OptionArgs optionArgs;
    CLI::App *options = app.add_subcommand(
        "options",
        "print the options a link computes with: name, configuration-file key, value, default "
        "and where the value came from (with --config, --set, --cal as for run)");
    addOptionFlags(options, &optionArgs);
    int optionsLevel = -1;
    options
        ->add_option("--log-level", optionsLevel,
                     "also let the library log the link's creation (banner, options dumps) on "
                     "stderr at this threshold, 0 to 4")
        ->check(CLI::Range(0, 4));

    SimArgs calSim;
    CalibrateArgs calArgs;
    CLI::App *calibrate = addCalibrateCommand(&app, &calArgs);
    addSimOptions(calibrate, &calSim);

    EvaluateArgs evaluateArgs;
    CLI::App *evaluate = addEvaluateCommand(&app, &evaluateArgs);
    PlotArgs plotArgs;
    CLI::App *plot = addPlotCommand(&app, &plotArgs);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int rc = app.exit(e, io.out, io.err);
        return rc == 0 ? 0 : 2;
    }

    if (!app.get_subcommands().empty()) {
        for (const CLI::Option *opt : app.get_options())
            if (opt->count() > 0 && opt->get_name() != "--help" && opt->get_name() != "--version") {
                io.err << "tarn: " << opt->get_name() << " must follow the command it belongs to\n";
                return 2;
            }
    }
    if (*evaluate) return cmdEvaluate(io, evaluateArgs);
    if (*plot) return cmdPlot(io, plotArgs);
    if (*import) return cmdImport(io, importArgs);
    if (*simulate) {
        if (output.empty() && simCapture.path.empty() && simCapture.reflectorPath.empty()) {
            io.err << "tarn: simulate needs -o FILE or --capture FILE\n";
            return 2;
        }
        return cmdSimulate(io, simSim, output, simCapture);
    }
    if (*replay) {
        if (replayFile.empty() == replayCapture.path.empty()) {
            io.err << "tarn: replay needs a recorded FILE or --capture CAPTURE (one of them)\n";
            return 2;
        }
        return cmdReplay(io, replayFile, replayArgs, replayCapture);
    }
    if (*options) return cmdOptions(io, optionArgs, optionsLevel);
    if (*calibrate) {
        SimConfig cfg;
        std::string scenario;
        calArgs.distanceM = calSim.distance;
        calArgs.procedures = calSim.procedures;
        if (!std::isnan(calSim.speed) || !calSim.trajectory.empty())
            return usageError(io, "a calibration is static: no --speed or --trajectory");
        if (calArgs.replay.empty() && std::isfinite(calSim.distance)) {
            // Calibration set-up: line of sight at the known distance.
            if (calSim.reflections.empty()) calSim.reflections.push_back("none");
            const std::string why = buildConfig(calSim, &cfg, &scenario);
            if (!why.empty()) return usageError(io, why);
        }
        return cmdCalibrate(io, calArgs, cfg, scenario);
    }
    if (*run) return cmdRun(io, runSim, runArgs);
    return cmdRun(io, topSim, topArgs);
}

}  // namespace tarn_tool
