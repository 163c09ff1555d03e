// The evaluation matrix, its three output forms and the charts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "baselines.h"
#include "evaluate.h"
#include "log_capture.h"
#include "plot.h"
#include "record.h"
#include "run_tool.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

std::string tempPath(const char *name) {
    return ::testing::TempDir() + name;
}

long fileSize(const std::string &path) {
    struct stat sb {};
    return stat(path.c_str(), &sb) == 0 ? static_cast<long>(sb.st_size) : -1;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

bool haveGnuplot() {
    return std::system("gnuplot --version >/dev/null 2>&1") == 0;
}

// Restores TARN_GNUPLOT.
struct GnuplotOverride {
    explicit GnuplotOverride(const char *program) {
        const char *old = std::getenv("TARN_GNUPLOT");
        had_ = old != nullptr;
        if (had_) saved_ = old;
        setenv("TARN_GNUPLOT", program, 1);
    }
    ~GnuplotOverride() {
        if (had_)
            setenv("TARN_GNUPLOT", saved_.c_str(), 1);
        else
            unsetenv("TARN_GNUPLOT");
    }
    bool had_;
    std::string saved_;
};

}  // namespace

TEST(Evaluate, MatrixRowsStatisticsAndBound) {
    tarn_test::LogCapture quiet(-1);
    EvalOptions o;
    o.scenarios = {"los", "blocked"};
    o.distances = {2.0, 8.0};
    o.walk = false;
    o.procedures = 6;
    std::vector<EvalRow> rows;
    std::string why;
    long calls = 0, last = 0, total = 0;
    ASSERT_TRUE(runEvaluation(o, &rows, &why, [&](long done, long all, const std::string &) {
        ++calls;
        last = done;
        total = all;
    })) << why;
    EXPECT_EQ(calls, 24);
    EXPECT_EQ(last, 24);
    EXPECT_EQ(total, 24);
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0].scenario, "los");
    EXPECT_EQ(rows[1].point, "8 m");
    EXPECT_EQ(rows[3].scenario, "blocked");
    for (const EvalRow &r : rows) {
        EXPECT_EQ(r.procedures, 6);
        EXPECT_EQ(r.inconsistent, 0);
        // The round trip and both baselines answer every procedure.
        for (Estimator e : {kRtt, kIfftPeak, kPhaseSlope}) {
            EXPECT_EQ(r.stats[e].n, 6u) << estimatorName(e);
            EXPECT_EQ(r.errors[e].size(), 6u);
            EXPECT_LE(r.stats[e].median, r.stats[e].p90);
        }
    }
    // Line of sight: a bound, and baselines within a few centimetres
    // (hardware offsets included); the blocked room pulls them off by metres.
    EXPECT_NEAR(rows[0].boundM,
                cramerRaoBoundM(channelMapChannels(ChannelMap::All), 30.0, 2, 299700000.0), 1e-12);
    EXPECT_TRUE(std::isnan(rows[2].boundM));
    for (int i : {0, 1}) {
        EXPECT_LT(rows[i].stats[kIfftPeak].p90, 0.08);
        EXPECT_LT(rows[i].stats[kPhaseSlope].p90, 0.08);
    }
    for (int i : {2, 3}) EXPECT_GT(rows[i].stats[kIfftPeak].median, 0.5);

    // The same seed gives the same numbers.
    std::vector<EvalRow> again;
    ASSERT_TRUE(runEvaluation(o, &again, &why));
    for (size_t i = 0; i < rows.size(); ++i)
        for (int e = 0; e < kEstimators; ++e) EXPECT_EQ(rows[i].errors[e], again[i].errors[e]);

    o.scenarios = {"kitchen"};
    EXPECT_FALSE(runEvaluation(o, &rows, &why));
    EXPECT_EQ(why.rfind("unknown scenario 'kitchen' (los, refl1", 0), 0u) << why;
}

TEST(Evaluate, OutputForms) {
    EvalRow a;
    a.scenario = "los";
    a.point = "1 m";
    a.distanceM = 1.0;
    a.procedures = 4;
    a.boundM = 0.0029;
    a.stats[kFinal] = {4, 0.0125, 0.02};
    a.stats[kRtt] = {2, 0.3, 0.5};
    EvalRow b = a;
    b.scenario = "refl1";
    b.point = "walk";
    b.distanceM = NAN;
    b.boundM = NAN;
    const std::vector<EvalRow> rows = {a, b};
    EvalOptions o;
    o.procedures = 4;

    std::ostringstream md, csv, json;
    writeMarkdown(md, o, rows);
    EXPECT_NE(
        md.str().find(
            "| Scenario | Point | Final | Phase | Round trip | IFFT peak | Phase slope | Bound |"),
        std::string::npos);
    EXPECT_NE(
        md.str().find("| los | 1 m | 0.013 / 0.020 | - | 0.300 / 0.500 (50%) | - | - | 0.0029 |"),
        std::string::npos)
        << md.str();
    EXPECT_NE(md.str().find("| refl1 | walk |"), std::string::npos);
    EXPECT_NE(md.str().find("- refl1: one reflection +3 m at half amplitude"), std::string::npos);

    writeCsv(csv, rows);
    std::istringstream lines(csv.str());
    std::string line, first, rtt;
    int n = 0;
    while (std::getline(lines, line)) {
        if (n == 0) first = line;
        if (n == 3) rtt = line;
        ++n;
    }
    EXPECT_EQ(n, 1 + 2 * kEstimators);
    EXPECT_EQ(first, "scenario,point,distance_m,procedures,estimator,n,median_m,p90_m,bound_m");
    EXPECT_EQ(rtt, "los,1 m,1,4,rtt,2,0.3000,0.5000,0.00290");
    EXPECT_NE(csv.str().find("refl1,walk,,4,phase,0,,,\n"), std::string::npos);

    writeJson(json, o, rows);
    const std::string j = json.str();
    EXPECT_NE(j.find("\"scenario\": \"refl1\", \"point\": \"walk\", \"distanceM\": null"),
              std::string::npos);
    EXPECT_NE(j.find("\"rtt\": {\"n\": 2, \"medianM\": 0.3, \"p90M\": 0.5}"), std::string::npos);
    EXPECT_NE(j.find("\"phase\": {\"n\": 0, \"medianM\": null, \"p90M\": null}"),
              std::string::npos);
}

TEST(Evaluate, CommandLine) {
    tarn_test::LogCapture quiet(-1);
    std::string out, err;
    ASSERT_EQ(runTarn({"evaluate", "--scenario", "snr10", "--distances", "3", "--no-walk", "-n", "3",
                    "--csv"},
                   &out, &err),
              0)
        << err;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + kEstimators);
    EXPECT_NE(out.find("snr10,3 m,3,3,final,"), std::string::npos) << out;
    EXPECT_EQ(runTarn({"evaluate", "--scenario", "attic"}, &out, &err), 2);
    EXPECT_NE(err.find("unknown scenario 'attic'"), std::string::npos);
    EXPECT_EQ(runTarn({"evaluate", "--csv", "--json"}), 2);
    EXPECT_EQ(runTarn({"evaluate", "-n", "0"}), 2);
    EXPECT_EQ(runTarn({"evaluate", "--distances", "-1"}), 2);
}

TEST(Plot, WithoutGnuplotTheDataAndScriptStay) {
    GnuplotOverride none("/nonexistent/gnuplot");
    SimConfig c;
    c.trajectory = Trajectory::still(6.0);
    c.reflections = {{4.0, 0.6}};
    c.nap = 2;
    Simulator sim(c);
    const std::string png = tempPath("tarn_proc.png");
    std::string message;
    EXPECT_EQ(plotProcedure(sim.next(), c.propagationMps, png, &message), PlotStatus::NoGnuplot);
    const std::string gp = tempPath("tarn_proc.gp"), dat = tempPath("tarn_proc.dat");
    EXPECT_EQ(message,
              "gnuplot not found: wrote " + dat + " and " + gp + "; render with: gnuplot " + gp);
    EXPECT_EQ(fileSize(png), -1);
    const std::string script = slurp(gp);
    EXPECT_NE(script.find("set output '" + png + "'"), std::string::npos);
    EXPECT_NE(script.find("'direct path 6 m'"), std::string::npos) << script;
    EXPECT_NE(script.find("'CIR peak "), std::string::npos);
    // 79 channel lines with the phase and magnitude of both paths, then the profile.
    std::istringstream data(slurp(dat));
    std::string line;
    int channels = 0, profile = 0, block = 0;
    while (std::getline(data, line)) {
        if (line.empty()) {
            ++block;
            continue;
        }
        if (line[0] == '#') continue;
        std::istringstream f(line);
        std::vector<std::string> cols;
        for (std::string v; f >> v;) cols.push_back(v);
        if (block == 0) {
            EXPECT_EQ(cols.size(), 5u);
            ++channels;
        } else {
            EXPECT_EQ(cols.size(), 2u);
            ++profile;
        }
    }
    EXPECT_EQ(channels, 79);
    EXPECT_GT(profile, 500);
    for (const std::string &f : {gp, dat}) std::remove(f.c_str());

    // Through the tool: not an error, the message says how to render.
    const std::string rec = tempPath("tarn_plot.jsonl");
    ASSERT_EQ(runTarn({"simulate", "-d", "2", "-n", "2", "-o", rec}), 0);
    std::string err;
    EXPECT_EQ(runTarn({"plot", "procedure", rec, "--index", "1", "-o", png}, nullptr, &err), 0);
    EXPECT_NE(err.find("render with: gnuplot " + gp), std::string::npos) << err;
    EXPECT_EQ(runTarn({"plot", "procedure", rec, "--index", "2", "-o", png}, nullptr, &err), 1);
    EXPECT_NE(err.find("has no procedure 2 (2 procedure(s))"), std::string::npos) << err;
    EXPECT_EQ(runTarn({"plot", "session", rec, "-o", png}, nullptr, &err), 1);
    EXPECT_NE(err.find("is not a CSV written by `tarn run --csv`"), std::string::npos) << err;
    for (const std::string &f : {gp, dat, rec}) std::remove(f.c_str());
}

TEST(Plot, EachChartRenders) {
    if (!haveGnuplot()) GTEST_SKIP() << "gnuplot is not installed";
    tarn_test::LogCapture quiet(-1);
    const std::string session = tempPath("tarn_session.png"), eval = tempPath("tarn_eval.png"),
                      proc = tempPath("tarn_one.png"), rec = tempPath("tarn_one.jsonl");
    std::string err;
    ASSERT_EQ(runTarn({"run", "-d", "3", "-n", "8", "-q", "--plot", session}, nullptr, &err), 0)
        << err;
    ASSERT_EQ(runTarn({"evaluate", "--scenario", "los", "--distances", "1", "--no-walk", "-n", "4",
                    "--plot", eval},
                   nullptr, &err),
              0)
        << err;
    ASSERT_EQ(runTarn({"simulate", "-d", "4", "-n", "1", "-o", rec}), 0);
    ASSERT_EQ(runTarn({"plot", "procedure", rec, "-o", proc}, nullptr, &err), 0) << err;
    EXPECT_NE(err.find("wrote " + proc), std::string::npos);
    for (const std::string &png : {session, eval, proc}) {
        EXPECT_GT(fileSize(png), 1000) << png;
        std::ifstream f(png, std::ios::binary);
        char magic[4] = {};
        f.read(magic, 4);
        EXPECT_EQ(std::string(magic + 1, 3), "PNG") << png;
        const std::string base = png.substr(0, png.size() - 4);
        for (const char *ext : {".png", ".gp", ".dat"}) std::remove((base + ext).c_str());
    }
    std::remove(rec.c_str());
}
