// The link's step timing end to end: walks at each timing of the evaluation's
// axis through the host functions, the timing handed over with
// tarnSetStepTiming, and what the latest-computation record says about it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "log_capture.h"
#include "run_tool.h"
#include "motion.h"
#include "session.h"
#include "simulator.h"
#include "tarn_interface.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

double p90(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(0.9 * (v.size() - 1) + 0.5)];
}

struct Walk {
    std::vector<double> err;
    std::vector<uint32_t> origin;
    double scale = 0.0;  // the latest computation's
};

// 0.5 m -> 12.5 m at 2 m/s, line of sight, 2 antenna paths, in mode 1.
Walk walk(const StepTiming &timing, bool give, InputFormat fmt, uint64_t seed) {
    SimConfig cfg;
    Trajectory t;
    t.setPoints({{0.0, 0.5}, {6.0, 12.5}});
    cfg.trajectory = t;
    cfg.nap = 2;
    cfg.seed = seed;
    cfg.procedures = 60;
    cfg.timing = timing;
    Walk w;
    Session s(fmt, 0x5e31);
    EXPECT_TRUE(s.ok() && s.setTrackingMode(1)) << s.error();
    s.setGiveTiming(give);
    Simulator sim(cfg);
    for (int i = 0; i < cfg.procedures; ++i) {
        const Procedure p = sim.next();
        SessionRow r;
        EXPECT_TRUE(s.process(p, &r)) << s.error();
        TarnLatestComputation lc{};
        lc.size = sizeof lc;
        EXPECT_EQ(tarnGetLatestComputation(0x5e31, &lc), 1);
        EXPECT_EQ(lc.size, static_cast<uint32_t>(sizeof lc));
        if (give) {
            EXPECT_EQ(lc.stepScale, 1.0);
        }
        w.scale = lc.stepScale;
        w.origin.push_back(lc.timingOrigin);
        if (i >= 5 && r.finalM) w.err.push_back(std::fabs(*r.finalM - p.trueDistance));
    }
    EXPECT_EQ(s.timingRefusals(), 0);
    return w;
}

}  // namespace

TEST(TimingEndToEnd, WalkAtEachTimingWithTheTimingGiven) {
    tarn_test::LogCapture quiet(-1);
    for (const TimingPoint &tp : timingAxis()) {
        const Walk w = walk(tp.timing, true, InputFormat::Procedure, 31);
        ASSERT_GE(w.err.size(), 50u) << tp.name;
        EXPECT_LT(p90(w.err), 0.06) << tp.name;
        for (uint32_t o : w.origin) EXPECT_EQ(o, TARN_TIMING_GIVEN) << tp.name;
    }
    // Step-level records: the steps back to back from the procedure's time.
    const Walk v1 = walk(timingAxis()[2].timing, true, InputFormat::StepLevel, 32);
    ASSERT_GE(v1.err.size(), 50u);
    EXPECT_LT(p90(v1.err), 0.10);
}

// Withheld, the library assumes its step durations until it has learned
// them from the link; the record says which, and the scale it learned.
TEST(TimingEndToEnd, WithheldTimingIsAssumedThenLearned) {
    tarn_test::LogCapture quiet(-1);
    const TimingPoint mid = timingAxis()[1];
    const Walk w = walk(mid.timing, false, InputFormat::Procedure, 33);
    ASSERT_FALSE(w.origin.empty());
    EXPECT_EQ(w.origin.front(), TARN_TIMING_ASSUMED);
    EXPECT_EQ(w.origin.back(), TARN_TIMING_LEARNED);
    for (uint32_t o : w.origin) EXPECT_TRUE(o == TARN_TIMING_ASSUMED || o == TARN_TIMING_LEARNED);
    // The mid timing's mode-2 step with 2 paths lasts 280 us; the other
    // steps of a subevent last otherwise, so one factor fits them only
    // roughly.
    EXPECT_NEAR(w.scale, 280.0 / 150.0, 0.25);
}

TEST(TimingTool, TimingOption) {
    struct Row {
        const char *text;
        bool ok;
        StepTiming want;
    };
    const Row rows[] = {
        {"none", true, {}},
        {"0,0,0,0", true, {}},
        {"phone", true, {150, 145, 145, 40, 10, 1, 0}},
        {"150,145,145,40,10", true, {150, 145, 145, 40, 10, 1, 0}},
        {"60,80,40,20", true, {60, 80, 40, 20, 0, 1, 0}},
        {"15,10,10,10,0,3,6", true, {15, 10, 10, 10, 0, 3, 6}},
        {"60,80,40,30", false, {}},        // T_PM
        {"60,80,40,20,3", false, {}},      // T_SW
        {"60,80,40,20,10,4", false, {}},   // PHY
        {"60,80,40,20,10,0", false, {}},   // PHY
        {"60,80,40,20,10,1,7", false, {}}, // RTT type
        {"60,80,40", false, {}},
        {"60,80,40,20,10,1,0,0", false, {}},
        {"60,80,x,20", false, {}},
        {"60,,40,20", false, {}},
        {"slow", false, {}},
    };
    for (const Row &r : rows) {
        StepTiming t{1, 1, 1, 1, 1, 1, 1};
        std::string why;
        EXPECT_EQ(parseTiming(r.text, &t, &why), r.ok) << r.text;
        if (r.ok) {
            EXPECT_EQ(t, r.want) << r.text;
        } else {
            EXPECT_FALSE(why.empty()) << r.text;
        }
    }
}

// A recorded file carries the timing; replay hands it to the link unless
// withheld, which shows at a phone's timing in mode 1.
TEST(TimingTool, ReplayHandsTheRecordedTiming) {
    const std::string rec = ::testing::TempDir() + "timing_walk.jsonl";
    ASSERT_EQ(runTarn({"simulate", "--speed", "2", "-d", "1", "-n", "40", "-r", "none", "-o", rec}),
              0);
    std::ifstream in(rec);
    std::string first;
    std::getline(in, first);
    EXPECT_NE(first.find("\"timing\""), std::string::npos);
    auto finalP90 = [&](bool withhold) {
        std::vector<std::string> args = {"replay", rec, "--tracking", "moving", "--csv", "-"};
        if (withhold) args.push_back("--withhold-timing");
        std::string out;
        EXPECT_EQ(runTarn(args, &out), 0);
        std::vector<double> err;
        std::istringstream lines(out);
        std::string line;
        std::getline(lines, line);  // header
        while (std::getline(lines, line)) {
            double v[6];
            if (std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf,%lf", &v[0], &v[1], &v[2], &v[3],
                            &v[4], &v[5]) == 6 && v[0] >= 5)
                err.push_back(std::fabs(v[5] - v[2]));
        }
        EXPECT_GE(err.size(), 30u);
        return err.empty() ? NAN : p90(err);
    };
    const double given = finalP90(false), withheld = finalP90(true);
    EXPECT_LT(given, 0.06);
    EXPECT_GT(withheld, 2.0 * given);
}
