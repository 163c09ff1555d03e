// Sessions through the host functions, and the tool: the default run, replay
// of recorded files, and its handling of bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "diag/log_texts.h"
#include "log_capture.h"
#include "record.h"
#include "session.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

struct ToolResult {
    int rc;
    std::string out, err;
};

ToolResult tool(std::vector<std::string> args) {
    args.insert(args.begin(), "tarn");
    std::vector<const char *> argv;
    for (const std::string &a : args) argv.push_back(a.c_str());
    std::ostringstream out, err;
    const int rc = runTool(static_cast<int>(argv.size()), argv.data(), {out, err, false});
    return {rc, out.str(), err.str()};
}

std::string tempPath(const char *name) {
    return ::testing::TempDir() + name;
}

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace

TEST(Session, EstimatorColumnsAreWhatTheWorkerComputed) {
    tarn_test::LogCapture cap(0);
    SimConfig cfg;
    cfg.trajectory = Trajectory::still(5.0);
    cfg.nap = 2;
    Simulator sim(cfg);
    Session s(InputFormat::Procedure);
    ASSERT_TRUE(s.ok()) << s.error();
    std::vector<double> rtt;
    for (int i = 0; i < 30; ++i) {
        cap.clear();
        SessionRow row;
        ASSERT_TRUE(s.process(sim.next(), &row)) << s.error();
        EXPECT_TRUE(row.accepted);
        EXPECT_EQ(row.seq, i);
        EXPECT_DOUBLE_EQ(row.timeS, 0.1 * i);
        ASSERT_TRUE(row.rttM.has_value());
        ASSERT_TRUE(row.finalM.has_value());
        EXPECT_TRUE(row.consistent);
        EXPECT_EQ(row.computation, static_cast<uint32_t>(i + 1));
        rtt.push_back(*row.rttM);
        // The round-trip-time estimator ran once for this request, and its
        // result is the tool's column.
        char text[96];
        std::snprintf(text, sizeof text, tarn_diag::kLogRttDistance, *row.rttM,
                      0);
        EXPECT_EQ(cap.count(text), 1) << cap.joined();
        int rttLines = 0;
        for (const std::string &t : cap.texts()) rttLines += t.rfind("[Filter] RTT Distance", 0) == 0;
        EXPECT_EQ(rttLines, 1);
        // Without a phase estimate the final result is the round-trip one.
        if (!row.phaseM) {
            EXPECT_EQ(*row.finalM, *row.rttM);
            EXPECT_EQ(row.conf, 0);
        }
    }
    // A static link at the default options: the round-trip distance sits near the truth.
    std::sort(rtt.begin(), rtt.end());
    EXPECT_NEAR(rtt[rtt.size() / 2], 5.0, 0.15);
}

// The tool's CSV columns against what the library itself reported while
// computing: one result line per procedure (the estimators ran once per
// request) carrying the final column, one round-trip-time line carrying the
// rtt column.
TEST(Tool, ColumnsAreWhatTheCallbackDelivered) {
    tarn_test::LogCapture cap(0);
    const ToolResult r =
        tool({"run", "-d", "4", "-n", "12", "-a", "2", "--log-level", "0", "--csv", "-"});
    ASSERT_EQ(r.rc, 0) << r.err;
    std::vector<double> finals, rtts;
    for (const std::string &t : cap.texts()) {
        double v;
        int c;
        if (std::sscanf(t.c_str(), tarn_diag::kLogFinalDistance, &v, &c) == 2)
            finals.push_back(v / 1000.0);
        if (std::sscanf(t.c_str(), tarn_diag::kLogRttDistance, &v, &c) == 2)
            rtts.push_back(v);
    }
    ASSERT_EQ(finals.size(), 12u) << cap.joined();
    ASSERT_EQ(rtts.size(), 12u);
    std::istringstream csv(r.out);
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line, "seq,time_s,true_m,rtt_m,phase_m,final_m,conf,accepted,sigma_m,phase_sigma_m,rtt_sigma_m,flags");
    size_t row = 0;
    while (std::getline(csv, line)) {
        std::vector<std::string> cells;
        std::stringstream ss(line);
        for (std::string c; std::getline(ss, c, ',');) cells.push_back(c);
        ASSERT_GE(cells.size(), 6u) << line;
        ASSERT_LT(row, finals.size());
        // The CSV keeps 4 decimals of a metre.
        EXPECT_NEAR(std::stod(cells[5]), finals[row], 0.5e-4) << line;
        EXPECT_NEAR(std::stod(cells[3]), rtts[row], 0.5e-4) << line;
        ++row;
    }
    EXPECT_EQ(row, 12u);
}

TEST(Session, TwoSessionsCannotShareALink) {
    tarn_test::LogCapture quiet(-1);
    Session a(InputFormat::StepLevel, 77);
    ASSERT_TRUE(a.ok());
    Session b(InputFormat::StepLevel, 77);
    EXPECT_FALSE(b.ok());
    EXPECT_NE(b.error().find("already in use"), std::string::npos);
}

TEST(Session, ErrorStatistics) {
    const ErrorStats s = errorStats({0.5, 0.1, 0.4, 0.2, 0.3, 0.6, 0.7, 0.8, 0.9, 1.0});
    EXPECT_EQ(s.n, 10u);
    EXPECT_DOUBLE_EQ(s.median, 0.55);
    EXPECT_DOUBLE_EQ(s.p90, 0.9);
    EXPECT_DOUBLE_EQ(errorStats({2.0}).p90, 2.0);
    EXPECT_EQ(errorStats({}).n, 0u);
}

TEST(Tool, ReplayOfARecordedRunReproducesItsEstimates) {
    tarn_test::LogCapture quiet(-1);
    for (const char *fmt : {"v2", "v1"}) {
        const std::string rec = tempPath("tarn_replay.jsonl"), a = tempPath("tarn_run.csv"),
                          b = tempPath("tarn_replay.csv");
        ToolResult run = tool({"run", "-n", "25", "-a", "3", "--abort-share", "0.2", "-f", fmt,
                               "--record", rec, "--csv", a, "-q"});
        ASSERT_EQ(run.rc, 0) << run.err;
        ToolResult replay = tool({"replay", rec, "-f", fmt, "--csv", b, "-q"});
        ASSERT_EQ(replay.rc, 0) << replay.err;
        const std::string csvA = slurp(a), csvB = slurp(b);
        EXPECT_EQ(std::count(csvA.begin(), csvA.end(), '\n'), 26);
        EXPECT_EQ(csvA, csvB);
        EXPECT_EQ(run.out, replay.out);  // the same summary
        EXPECT_NE(run.out.find("absolute error over 25 procedure(s)"), std::string::npos);
        // The record is what `simulate` writes for the same scenario.
        const std::string sim = tempPath("tarn_sim.jsonl");
        ASSERT_EQ(tool({"simulate", "-n", "25", "-a", "3", "--abort-share", "0.2", "-o", sim}).rc,
                  0);
        EXPECT_EQ(slurp(sim), slurp(rec));
        for (const std::string &f : {rec, a, b, sim}) std::remove(f.c_str());
    }
}

TEST(Tool, BadInputGivesClearErrorsAndNonZeroStatus) {
    tarn_test::LogCapture quiet(-1);
    ToolResult r = tool({"replay", tempPath("tarn_missing.jsonl")});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;

    // A malformed line is reported with its number and skipped; the rest runs.
    const std::string rec = tempPath("tarn_bad.jsonl");
    ASSERT_EQ(tool({"simulate", "-d", "3", "-n", "3", "-o", rec}).rc, 0);
    std::string text = slurp(rec);
    text.insert(text.find('\n') + 1, "{\"initiator\": 5, \"reflector\": []}\n");
    std::ofstream(rec) << text << "not json\n";
    r = tool({"replay", rec, "--csv", "-"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find(rec + ":2: initiator: expected an array of subevents (line skipped)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find(rec + ":5: not valid JSON"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("2 malformed line(s)"), std::string::npos);
    // Standard output carries nothing but the CSV; the summary goes to stderr.
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1 + 3) << r.out;
    EXPECT_EQ(r.out.rfind("seq,time_s,true_m,rtt_m,phase_m,final_m,conf,accepted,sigma_m,phase_sigma_m,rtt_sigma_m,flags\n", 0), 0u);
    EXPECT_NE(r.err.find("3 procedure(s), 0 rejected"), std::string::npos) << r.err;
    std::remove(rec.c_str());

    // Replaying data without truth: estimates, no error summary.
    std::ofstream(rec) << R"({"initiator":[],"reflector":[]})"
                       << "\n";
    r = tool({"replay", rec});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("procedure rejected by the library"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("no true distances"), std::string::npos);
    std::remove(rec.c_str());

    EXPECT_EQ(tool({"run", "-a", "5"}).rc, 2);
    EXPECT_EQ(tool({"run", "--channels", "some"}).rc, 2);
    EXPECT_EQ(tool({"run", "--trajectory", "0:1,0:2"}).rc, 2);
    EXPECT_EQ(tool({"run", "-r", "3"}).rc, 2);
    EXPECT_EQ(tool({"--frobnicate"}).rc, 2);
    r = tool({"-n", "2", "replay", rec});
    EXPECT_EQ(r.rc, 2);
    EXPECT_NE(r.err.find("must follow the command"), std::string::npos);
    r = tool({"run", "-n", "1", "-f", "v3"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("unknown input format"), std::string::npos);
    r = tool({"run", "-n", "1", "--csv", "/nonexistent-dir/x.csv"});
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("cannot write /nonexistent-dir/x.csv"), std::string::npos);
}

#ifdef TARN_TOOL_PATH
// The built executable, as scripts/run.sh starts it.
namespace {
ToolResult shell(const std::string &args) {
    const std::string out = tempPath("tarn_sh.out"), err = tempPath("tarn_sh.err");
    const std::string cmd = std::string(TARN_TOOL_PATH) + " " + args + " >" + out + " 2>" + err;
    const int st = std::system(cmd.c_str());
    ToolResult r{WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(out), slurp(err)};
    std::remove(out.c_str());
    std::remove(err.c_str());
    return r;
}
}  // namespace

TEST(ToolBinary, DefaultRunOptionsAndErrors) {
    ToolResult r = shell("");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("simulated session: walk 0.50 m -> 15.00 m -> 0.50 m"), std::string::npos);
    EXPECT_NE(r.out.find("291 procedure(s), 0 rejected"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  final "), std::string::npos);

    r = shell("options");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("\nrttFilterType "), std::string::npos) << r.out;
    r = shell("options --log-level 2");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.err.find("TARN_LIBRARY v2.4.6 (DEBUG)"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("print_config_opts"), std::string::npos);
    EXPECT_NE(r.err.find("rttFilterType:    4"), std::string::npos);

    r = shell("replay /nonexistent/file.jsonl");
    EXPECT_EQ(r.rc, 1);
    EXPECT_NE(r.err.find("tarn: cannot read /nonexistent/file.jsonl"), std::string::npos);
}
#endif
