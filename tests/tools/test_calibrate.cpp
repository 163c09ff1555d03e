// The calibration workflow on one simulated device pair: calibrate at a
// known distance, write the table file, load it with the library's loader,
// range at other distances with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "calibrate.h"
#include "cli.h"
#include "log_capture.h"
#include "options_cli.h"
#include "run_tool.h"
#include "session.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? NAN : v[v.size() / 2];
}

struct Bias {
    double phase = NAN;  // median signed error of the phase candidate, metres
    double rtt = NAN;    // likewise, round trip
};

// The device pair of `seed` at d metres, line of sight, 25 dB, with `opts`.
Bias rangeWith(const ConfigOpts &opts, uint64_t seed, double d, double deviceDelayNs) {
    // The antenna paths' small length differences belong to the room, not
    // to the devices: a table cannot carry them from one room to another.
    SimConfig c;
    c.trajectory = Trajectory::still(d);
    c.nap = 2;
    c.snrDb = 25.0;
    c.seed = seed * 31 + static_cast<uint64_t>(d * 10);  // another room and noise
    c.deviceSeed = seed;
    c.deviceDelayNs = deviceDelayNs;
    c.pathSpreadM = 0.0;
    Simulator sim(c);
    Session s(InputFormat::Procedure, 0x7a70);
    std::string why;
    EXPECT_TRUE(s.ok() && s.installOptions(opts, &why)) << why;
    std::vector<double> phase, rtt;
    for (int i = 0; i < 40; ++i) {
        SessionRow r;
        EXPECT_TRUE(s.process(sim.next(), &r)) << s.error();
        if (i < 10) continue;  // filters settling
        if (r.phaseM) phase.push_back(*r.phaseM - d);
        if (r.rttM) rtt.push_back(*r.rttM - d);
    }
    return {median(phase), median(rtt)};
}

}  // namespace

TEST(Calibrate, TableFileRemovesTheDevicesBias) {
    tarn_test::LogCapture quiet(-1);
    const std::string table = ::testing::TempDir() + "pair.csv";
    const std::string keys = ::testing::TempDir() + "pair.ini";
    std::string out, err;
    // Devices with a round-trip delay of their own (2 ns: 30 cm).
    ASSERT_EQ(runTarn({"calibrate", "-d", "0.5", "-o", table, "--keys", keys, "--seed", "7", "-a",
                       "2", "--device-delay", "2"},
                      &out, &err),
              0)
        << err;
    EXPECT_NE(out.find("wrote " + table + " (79 channels x 2 path(s))"), std::string::npos) << out;

    // The file is what the library's own loader reads back, unchanged: every
    // line under its 100-byte buffer, and loading and writing again gives
    // the same text.
    const std::string text = slurp(table);
    std::istringstream lines(text);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        EXPECT_LT(line.size(), 99u);
        ++n;
    }
    EXPECT_EQ(n, TARN_CAL_CHANNELS);
    ConfigOpts loaded = constOpts;
    ASSERT_EQ(tarnLoadCalFile(table.c_str(), &loaded), 1);
    EXPECT_EQ(calibrationTableText(loaded, 2), text);
    // Channels outside the band stay empty; the reference channel is real.
    EXPECT_EQ(loaded.calTable[0][0], TarnCplxD(0.0, 0.0));
    EXPECT_EQ(loaded.calTable[2][1].imag(), 0.0);
    EXPECT_GT(loaded.calTable[40][1].real() * loaded.calTable[40][1].real() +
                  loaded.calTable[40][1].imag() * loaded.calTable[40][1].imag(),
              0.25);

    // The keys: the table's switch and the round-trip offset (about -c x 1 ns).
    const std::string k = slurp(keys);
    EXPECT_NE(k.find("applyEstimatedReverseChannel=1\n"), std::string::npos) << k;
    const size_t at = k.find("RttDisCalAA=");
    ASSERT_NE(at, std::string::npos) << k;
    EXPECT_NEAR(std::stod(k.substr(at + 12)), -0.2997, 0.05);

    // The same device pair ranged elsewhere, as `run --seed 7 --cal --config`
    // does: the round-trip offset takes the devices' delay away.
    OptionArgs a;
    a.cal = table;
    a.config = keys;
    EffectiveOptions e;
    ASSERT_EQ(buildOptions(a, constOpts, &e), "");
    EXPECT_EQ(e.opts.applyEstimatedReverseChannel, 1);

    // The phase: a calibration in a room whose antenna paths are alike, its
    // table through the file and the library's loader.
    SimConfig setup;
    setup.nap = 2;
    setup.seed = 77;
    setup.deviceSeed = 7;
    setup.pathSpreadM = 0.0;
    setup.deviceDelayNs = 2.0;
    CalibrationResult res;
    std::string why;
    ASSERT_TRUE(calibrateSimulated(setup, 0.5, 100, constOpts, &res, &why)) << why;
    ASSERT_TRUE(res.finished);
    EXPECT_EQ(res.paths, 2);
    EXPECT_EQ(res.procedures, 100);
    const std::string table2 = ::testing::TempDir() + "pair2.csv";
    std::ofstream(table2) << calibrationTableText(res.table, 2);
    OptionArgs b = a;
    b.cal = table2;
    EffectiveOptions e2;
    ASSERT_EQ(buildOptions(b, constOpts, &e2), "");

    double rawSum = 0.0, calSum = 0.0;
    for (double d : {2.0, 7.0, 15.0}) {
        SCOPED_TRACE(d);
        const Bias raw = rangeWith(constOpts, 7, d, 2.0);
        const Bias rtt = rangeWith(e.opts, 7, d, 2.0);
        const Bias cal = rangeWith(e2.opts, 7, d, 2.0);
        // The devices' delay shows in the round trip, their ripple and delay
        // in the phase; calibrated, both are within a centimetre or so.
        EXPECT_GT(raw.rtt, 0.2);
        EXPECT_LT(std::fabs(rtt.rtt), 0.05);
        EXPECT_LT(std::fabs(cal.rtt), 0.05);
        EXPECT_LT(std::fabs(cal.phase), 0.005);
        rawSum += std::fabs(raw.phase);
        calSum += std::fabs(cal.phase);
    }
    std::printf(
        "[ calibration ] phase |median bias| summed over 2, 7, 15 m: %.4f m raw, %.4f m "
        "calibrated\n",
        rawSum, calSum);
    EXPECT_LT(calSum, rawSum / 4.0);
}

TEST(Calibrate, TableTextFitsTheLoadersLines) {
    ConfigOpts o = constOpts;
    for (int k = 0; k < TARN_CAL_CHANNELS; ++k)
        for (int p = 0; p < TARN_CAL_PATHS; ++p) o.calTable[k][p] = TarnCplxD(-1.0, -0.99999999);
    o.calTable[5][3] = TarnCplxD(-12345.678, 9876.5);
    const std::string text = calibrationTableText(o, 4);
    std::istringstream lines(text);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        EXPECT_LE(line.size(), 98u) << line;
        ++n;
    }
    EXPECT_EQ(n, TARN_CAL_CHANNELS);
    // Eight decimals where they fit, fewer on the line that needs it.
    EXPECT_EQ(text.substr(0, 24), "-1.00000000-0.99999999i,");
    const std::string path = ::testing::TempDir() + "wide.csv";
    std::ofstream(path) << text;
    tarn_test::LogCapture quiet(-1);
    ConfigOpts back = constOpts;
    ASSERT_EQ(tarnLoadCalFile(path.c_str(), &back), 1);
    EXPECT_NEAR(back.calTable[5][3].real(), -12345.678, 0.5);
    EXPECT_NEAR(back.calTable[5][3].imag(), 9876.5, 0.5);
    EXPECT_EQ(back.calTable[78][3], TarnCplxD(-1.0, -0.99999999));
}

TEST(Calibrate, RecordedProceduresAndTheirCount) {
    tarn_test::LogCapture quiet(-1);
    const std::string rec = ::testing::TempDir() + "cal_rec.jsonl";
    const std::string table = ::testing::TempDir() + "cal_rec.csv";
    std::string out, err;
    ASSERT_EQ(runTarn({"simulate", "-d", "0.5", "-r", "none", "-n", "6", "-o", rec}, &out, &err),
              0)
        << err;
    std::remove(table.c_str());
    // The library needs as many procedures as the run is told; a file with
    // fewer leaves no table.
    EXPECT_EQ(runTarn({"calibrate", "-d", "0.5", "--replay", rec, "-n", "7", "-o", table}, &out,
                      &err),
              1);
    EXPECT_NE(err.find("did not finish: 6 procedure(s) fed, the library needs 7"),
              std::string::npos)
        << err;
    EXPECT_EQ(slurp(table), "");
    // maxProcForCal from the options says how many when -n does not.
    ASSERT_EQ(runTarn({"calibrate", "-d", "0.5", "--replay", rec, "--set", "maxProcForCal=5", "-o",
                       table},
                      &out, &err),
              0)
        << err;
    EXPECT_NE(out.find("over 5 procedure(s)"), std::string::npos) << out;
    ConfigOpts loaded = constOpts;
    EXPECT_EQ(tarnLoadCalFile(table.c_str(), &loaded), 1);
    EXPECT_EQ(loaded.calTable[2][0], TarnCplxD(loaded.calTable[2][0].real(), 0.0));
    EXPECT_GT(loaded.calTable[2][0].real(), 0.5);
}
