#include "plot.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "baselines.h"
#include "evaluate.h"
#include "record.h"
#include "tarn_diag.h"

namespace tarn_tool {

namespace {

std::string stem(const std::string &png) {
    const std::string ext = ".png";
    if (png.size() > ext.size() && png.compare(png.size() - ext.size(), ext.size(), ext) == 0)
        return png.substr(0, png.size() - ext.size());
    return png;
}

// A gnuplot single-quoted string.
std::string gpString(const std::string &s) {
    std::string out = "'";
    for (char ch : s) out += ch == '\'' ? std::string("''") : std::string(1, ch);
    return out + "'";
}

std::string shellQuote(const std::string &s) {
    std::string out = "'";
    for (char ch : s) out += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    return out + "'";
}

std::string num(double v) {
    if (!std::isfinite(v)) return "NaN";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", v);
    return buf;
}

bool writeFile(const std::string &path, const std::string &text) {
    std::ofstream f(path, std::ios::out | std::ios::trunc);
    f << text;
    f.close();
    return !f.fail();
}

// Writes the script (and the data, when given), then renders.
PlotStatus render(const std::string &png, const std::string *data, const std::string &body,
                  std::string *message) {
    const std::string base = stem(png);
    const std::string gp = base + ".gp", dat = base + ".dat";
    if (data != nullptr && !writeFile(dat, *data)) {
        *message = "cannot write " + dat;
        return PlotStatus::Failed;
    }
    std::ostringstream script;
    script << "# Rendered by the tarn tool: gnuplot " << gp << "\n"
           << "set terminal pngcairo size 1100,700 noenhanced font ',10'\n"
           << "set output " << gpString(png) << "\n"
           << "dat = " << gpString(dat) << "\n"
           << body;
    if (!writeFile(gp, script.str())) {
        *message = "cannot write " + gp;
        return PlotStatus::Failed;
    }
    const char *env = std::getenv("TARN_GNUPLOT");
    const std::string program = env != nullptr && *env != '\0' ? env : "gnuplot";
    const std::string log = base + ".log";
    std::remove(png.c_str());
    const std::string cmd =
        shellQuote(program) + " " + shellQuote(gp) + " >/dev/null 2>" + shellQuote(log);
    const int st = std::system(cmd.c_str());
    const int code = st == -1 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    const std::string files = (data != nullptr ? dat + " and " : std::string()) + gp;
    if (code == 127) {
        std::remove(log.c_str());
        *message = "gnuplot not found: wrote " + files + "; render with: gnuplot " + gp;
        return PlotStatus::NoGnuplot;
    }
    struct stat sb {};
    if (code != 0 || stat(png.c_str(), &sb) != 0 || sb.st_size == 0) {
        std::ifstream lf(log);
        std::string first;
        std::getline(lf, first);
        *message = "gnuplot could not render " + gp + " (status " + std::to_string(code) + ")" +
                   (first.empty() ? "" : ": " + first) + "; see " + log;
        return PlotStatus::Failed;
    }
    std::remove(log.c_str());
    *message = "wrote " + png + " (from " + files + ")";
    return PlotStatus::Rendered;
}

const char *const kSessionBody =
    "set key top right\n"
    "set grid\n"
    "set xlabel 'time (s)'\n"
    "set ylabel 'distance (m)'\n"
    "set title 'true and estimated distance'\n";

std::string sessionPlotLines(const std::string &source, bool csv) {
    // Columns: seq, time, true, rtt, phase, final.
    std::ostringstream os;
    if (csv) os << "set datafile separator ','\n";
    const std::string skip = csv ? " skip 1" : "";
    os << "plot " << source << " using 2:3" << skip
       << " with lines lw 3 lc rgb '#999999' title 'true', \\\n"
       << "     '' using 2:4" << skip
       << " with points pt 7 ps 0.5 lc rgb '#1f77b4' title 'round-trip time', \\\n"
       << "     '' using 2:5" << skip
       << " with points pt 5 ps 0.5 lc rgb '#2ca02c' title 'phase', \\\n"
       << "     '' using 2:6" << skip << " with lines lw 1.5 lc rgb '#d62728' title 'final'\n";
    return os.str();
}

}  // namespace

PlotStatus plotSession(const std::vector<SessionRow> &rows, const std::string &png,
                       std::string *message, const std::vector<SessionRow> *moving) {
    const bool both = moving != nullptr && moving->size() == rows.size();
    std::ostringstream data;
    data << "# seq time_s true_m rtt_m phase_m final_m" << (both ? " final_moving_m" : "") << "\n";
    auto opt = [](const std::optional<double> &v) { return v ? num(*v) : std::string("NaN"); };
    for (size_t i = 0; i < rows.size(); ++i) {
        const SessionRow &r = rows[i];
        data << r.seq << ' ' << num(r.timeS) << ' ' << num(r.trueM) << ' ' << opt(r.rttM) << ' '
             << opt(r.phaseM) << ' ' << opt(r.finalM);
        if (both) data << ' ' << opt((*moving)[i].finalM);
        data << '\n';
    }
    const std::string text = data.str();
    std::string lines = sessionPlotLines("dat", false);
    if (both) {
        // The same procedures through a second link in tracking mode 1.
        lines.pop_back();
        lines += ", \\\n     '' using 2:7 with lines lw 1.5 lc rgb '#9467bd' title "
                 "'final, tracking moving'\n";
    }
    return render(png, &text, std::string(kSessionBody) + lines, message);
}

PlotStatus plotSessionCsv(const std::string &csv, const std::string &png, std::string *message) {
    std::ifstream f(csv);
    std::string header;
    if (!f || !std::getline(f, header)) {
        *message = "cannot read " + csv;
        return PlotStatus::Failed;
    }
    if (header.rfind("seq,time_s,true_m,rtt_m,phase_m,final_m", 0) != 0) {
        *message = csv + " is not a CSV written by `tarn run --csv`";
        return PlotStatus::Failed;
    }
    return render(png, nullptr, std::string(kSessionBody) + sessionPlotLines(gpString(csv), true),
                  message);
}

PlotStatus plotErrorDistributions(const std::vector<EvalRow> &rows, const std::string &png,
                                  std::string *message) {
    long procedures = 0;
    for (const EvalRow &r : rows) procedures += r.procedures;
    std::ostringstream data, plot;
    int block = 0;
    static const char *const colours[] = {"#d62728", "#2ca02c", "#1f77b4", "#9467bd", "#ff7f0e"};
    for (int e = 0; e < kEstimators; ++e) {
        std::vector<double> all;
        for (const EvalRow &r : rows) all.insert(all.end(), r.errors[e].begin(), r.errors[e].end());
        if (all.empty() || procedures == 0) continue;
        std::sort(all.begin(), all.end());
        data << "# " << estimatorName(Estimator(e)) << "\n";
        for (size_t i = 0; i < all.size(); ++i)
            data << num(std::max(all[i], 1e-4)) << ' ' << num(double(i + 1) / procedures) << '\n';
        data << "\n\n";
        plot << (block ? ", \\\n     " : "plot ") << "dat index " << block
             << " using 1:2 with steps lw " << (e == kFinal ? 5 : 2) << " lc rgb '" << colours[e]
             << "' title '" << estimatorTitle(Estimator(e)) << " (" << all.size() << ")'";
        ++block;
    }
    if (block == 0) {
        *message = "no errors to draw";
        return PlotStatus::Failed;
    }
    const std::string text = data.str();
    const std::string body =
        "set key bottom right\n"
        "set grid\n"
        "set logscale x\n"
        "set xrange [0.001:100]\n"
        "set yrange [0:1]\n"
        "set xlabel 'absolute distance error (m)'\n"
        "set ylabel 'share of procedures'\n"
        "set title 'error distribution per estimator (" +
        std::to_string(procedures) + " procedures)'\n" + plot.str() + "\n";
    return render(png, &text, body, message);
}

PlotStatus plotProcedure(const Procedure &p, double c, const std::string &png,
                         std::string *message, const LibraryImpulse *library) {
    const ToneProducts tp = toneProducts(p);
    if (tp.nap < 1) {
        *message = "the procedure has no tones";
        return PlotStatus::Failed;
    }
    double top = 0.0;
    for (int k = 0; k < kChannelSlots; ++k)
        for (int j = 0; j < tp.nap; ++j)
            if (tp.present[k][j]) top = std::max(top, std::abs(tp.value[k][j]));
    const double truth = p.hasTruth() ? p.trueDistance : NAN;
    ImpulseResponse ir;
    const double irMax = std::max(30.0, (std::isfinite(truth) ? truth : 0.0) + 20.0);
    const BaselineEstimate peak = ifftPeakDistance(tp, c, &ir, irMax);
    if (!peak.valid || top <= 0.0) {
        *message = "the procedure has no usable tones";
        return PlotStatus::Failed;
    }

    std::ostringstream data;
    data << "# MHz, then per antenna path: round-trip phase (rad), magnitude (dB of the largest)\n";
    for (int k = 0; k < kChannelSlots; ++k) {
        data << kFirstChannelMhz + k;
        for (int j = 0; j < tp.nap; ++j) {
            if (tp.present[k][j])
                data << ' ' << num(std::arg(tp.value[k][j])) << ' '
                     << num(20.0 * std::log10(std::max(std::abs(tp.value[k][j]) / top, 1e-6)));
            else
                data << " NaN NaN";
        }
        data << '\n';
    }
    data << "\n\n# distance (m), impulse response magnitude\n";
    for (size_t i = 0; i < ir.distanceM.size(); ++i)
        data << num(ir.distanceM[i]) << ' ' << num(ir.magnitude[i]) << '\n';
    // The library's response: mean magnitude over its antenna paths, scaled
    // to its largest value within the drawn range.
    double libPeakM = NAN;
    if (library != nullptr && !library->paths.empty() && library->tapM > 0.0) {
        const size_t n = library->paths[0].size();
        std::vector<double> dist, mean;
        for (size_t t = 0; t < n; ++t) {
            const double d = library->firstM + static_cast<double>(t) * library->tapM;
            if (d > irMax) break;
            double m = 0.0;
            for (const auto &path : library->paths) m += path[t];
            dist.push_back(d);
            mean.push_back(m / static_cast<double>(library->paths.size()));
        }
        const auto top = std::max_element(mean.begin(), mean.end());
        if (top != mean.end() && *top > 0.0) {
            libPeakM = dist[static_cast<size_t>(top - mean.begin())];
            data << "\n\n# distance (m), the library's impulse response magnitude\n";
            for (size_t i = 0; i < dist.size(); ++i)
                data << num(dist[i]) << ' ' << num(mean[i] / *top) << '\n';
        }
    }
    const std::string text = data.str();

    std::ostringstream b, phase, mag;
    for (int j = 0; j < tp.nap; ++j) {
        const char *sep = j ? ", " : "plot ";
        phase << sep << "dat index 0 using 1:" << 2 + 2 * j
              << " with linespoints pt 7 ps 0.6 title 'path " << j << "'";
        mag << sep << "dat index 0 using 1:" << 3 + 2 * j
            << " with linespoints pt 7 ps 0.6 title 'path " << j << "'";
    }
    b << "set multiplot layout 3,1 title 'procedure at "
      << (std::isfinite(truth) ? num(truth) + " m" : std::string("unknown distance")) << "'\n"
      << "set grid\nset key outside right\n"
      << "set xlabel 'frequency (MHz)'\nset ylabel 'round-trip phase (rad)'\n"
      << "set yrange [-3.3:3.3]\n"
      << phase.str() << "\n"
      << "set ylabel 'magnitude (dB)'\nset autoscale y\n"
      << mag.str() << "\n"
      << "set xlabel 'one-way distance (m)'\nset ylabel 'impulse response'\n"
      << "set yrange [0:1.15]\n";
    if (std::isfinite(truth))
        b << "set arrow 1 from " << num(truth) << ", graph 0 to " << num(truth)
          << ", graph 1 nohead lw 2 lc rgb '#2ca02c' dt 2\n"
          << "set label 1 'direct path " << num(truth) << " m' at " << num(truth)
          << ", graph 0.95 left offset 0.5,0 tc rgb '#2ca02c'\n";
    b << "set arrow 2 from " << num(peak.distanceM) << ", graph 0 to " << num(peak.distanceM)
      << ", graph 1 nohead lw 2 lc rgb '#d62728' dt 3\n"
      << "set label 2 'CIR peak " << num(peak.distanceM) << " m' at " << num(peak.distanceM)
      << ", graph 0.85 left offset 0.5,0 tc rgb '#d62728'\n"
      << "";
    if (std::isfinite(libPeakM))
        b << "set arrow 3 from " << num(libPeakM) << ", graph 0 to " << num(libPeakM)
          << ", graph 1 nohead lw 1 lc rgb '#9467bd' dt 4\n"
          << "set label 3 'library CIR peak " << num(libPeakM) << " m' at " << num(libPeakM)
          << ", graph 0.75 left offset 0.5,0 tc rgb '#9467bd'\n"
          << "plot dat index 1 using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'tone product, "
             "summed over paths', dat index 2 using 1:2 with lines lw 1 lc rgb '#9467bd' "
             "title 'library (one-way, mean of paths)'\n";
    else
        b << "plot dat index 1 using 1:2 with lines lw 2 lc rgb '#1f77b4' title 'summed over paths'\n";
    b << "unset multiplot\n";
    return render(png, &text, b.str(), message);
}

CLI::App *addPlotCommand(CLI::App *app, PlotArgs *a) {
    CLI::App *cmd = app->add_subcommand(
        "plot",
        "draw a PNG with gnuplot: 'session FILE.csv' (a run's CSV: true and estimated "
        "distances over time) or 'procedure FILE.jsonl' (one recorded procedure's round-trip "
        "phase and magnitude per channel and its impulse response)");
    cmd->add_option("kind", a->kind, "session or procedure")
        ->required()
        ->check(CLI::IsMember({"session", "procedure"}));
    cmd->add_option("file", a->file, "the run's CSV, or the recorded procedures (JSON Lines)")
        ->required();
    cmd->add_option("-o,--output", a->png, "the PNG to write")->required();
    cmd->add_option("--index", a->index, "which procedure of the file (0 = the first)")
        ->capture_default_str();
    return cmd;
}

int cmdPlot(ToolIo io, const PlotArgs &a) {
    std::string message;
    PlotStatus st;
    if (a.kind == "session") {
        st = plotSessionCsv(a.file, a.png, &message);
    } else {
        RecordReader reader;
        std::string why;
        if (!reader.open(a.file, &why)) {
            io.err << "tarn: " << why << "\n";
            return 1;
        }
        // The file's procedures up to the chosen one go through a link, as
        // in a replay, so that the library's impulse response of the chosen
        // one is the one its tracking state would give.
        Session session(InputFormat::Procedure);
        const int8_t savedLevel = glog_level;
        glog_level = -1;
        session.setCaptureImpulse(true);
        Procedure p;
        long seen = 0;
        bool found = false;
        bool ran = session.ok();
        while (!found) {
            const RecordReader::Status rs = reader.next(&p, &why);
            if (rs == RecordReader::Status::End) break;
            if (rs != RecordReader::Status::Ok) {
                glog_level = savedLevel;
                io.err << "tarn: " << a.file << ":" << reader.lineNumber() << ": " << why << "\n";
                return 1;
            }
            SessionRow row;
            if (ran) ran = session.process(p, &row);
            found = seen++ == a.index;
        }
        glog_level = savedLevel;
        if (!found) {
            io.err << "tarn: " << a.file << " has no procedure " << a.index << " (" << seen
                   << " procedure(s))\n";
            return 1;
        }
        st = plotProcedure(p, SimConfig().propagationMps, a.png, &message,
                           ran ? &session.lastImpulse() : nullptr);
    }
    io.err << "tarn: " << message << "\n";
    return st == PlotStatus::Failed ? 1 : 0;
}

}  // namespace tarn_tool
