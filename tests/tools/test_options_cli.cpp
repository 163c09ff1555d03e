// --config, --set and --cal: what they give, and the errors that name the
// key before anything runs.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli.h"
#include "log_capture.h"
#include "options_cli.h"
#include "run_tool.h"
#include "session.h"

using namespace tarn_sim;
using namespace tarn_tool;

namespace {

std::string tempFile(const char *name, const std::string &text) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

// The options a link gets on a machine without configuration or table files.
ConfigOpts bareBase() {
    ConfigOpts o = constOpts;
    std::memset(o.calFilePath, 0, sizeof o.calFilePath);
    std::strcpy(o.calFilePath, "/nonexistent/tarn_rtp_cal.csv");
    return o;
}

size_t rowOf(const std::string &name) {
    const std::vector<OptionRow> &rows = optionRows();
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].name == name) return i;
    ADD_FAILURE() << "no row " << name;
    return 0;
}

}  // namespace

TEST(OptionsCli, SetConfigAndCalTable) {
    tarn_test::LogCapture quiet(-1);
    const std::string goodCal = tempFile("opt_good.csv", "1.0+0.0i,0.5-0.5i\n0.25+0.75i\n");
    const std::string badCal = tempFile("opt_bad.csv", "1+0i,1+0i,1+0i,1+0i,1+0i\n");
    const std::string ini = tempFile("opt.ini", "FiMinConf=5\nQ_WRAP=0\n# comment\nSOL=3e8\n");
    struct Case {
        std::vector<std::string> sets;
        std::string config, cal;
        std::string error;  // empty: accepted
        std::string field;  // row checked when accepted
        std::string value;
        OptionSource source;
    };
    const Case cases[] = {
        {{"FiMinConf=5"}, "", "", "", "fiMinConf", "5", OptionSource::Set},
        {{"fiMinConf=7"}, "", "", "", "fiMinConf", "7", OptionSource::Set},
        {{"FiMinConf=3", "FiMinConf=4"}, "", "", "", "fiMinConf", "4", OptionSource::Set},
        {{"SOL=3e8"}, "", "", "", "sol", "300000000", OptionSource::Set},
        {{"DIS_CAL_2=-0.125"}, "", "", "", "disCal[1]", "-0.125", OptionSource::Set},
        {{"muOrdSet=2,4,6"}, "", "", "", "muOrdSet", "2,4,6", OptionSource::Set},
        {{"muCovSet=4,8"}, "", "", "", "muCovSet", "4,8", OptionSource::Set},
        {{"muConfFac=35,0.5,0.25"}, "", "", "", "muConfFac", "35,0.5,0.25", OptionSource::Set},
        {{"rtpFilterType=2"}, "", "", "", "rtpFilterType", "2", OptionSource::Set},
        {{"maxMusicStdDev=4.5"}, "", "", "", "maxMusicStdDev", "4.5", OptionSource::Set},
        {{}, "", "", "", "fiMinConf", "15", OptionSource::Default},
        // The file: its values, and the reader's repairs.
        {{}, ini, "", "", "fiMinConf", "5", OptionSource::Config},
        {{}, ini, "", "", "qWrap", "65536", OptionSource::ConfigRepaired},
        {{"FiMinConf=9"}, ini, "", "", "fiMinConf", "9", OptionSource::Set},
        // A table turns its application on, unless --set says otherwise.
        {{}, "", goodCal, "", "applyEstimatedReverseChannel", "1", OptionSource::Cal},
        {{"applyEstimatedReverseChannel=0"},
         "",
         goodCal,
         "",
         "applyEstimatedReverseChannel",
         "0",
         OptionSource::Set},
        {{"applyEstimatedReverseChannel=1"},
         "",
         "",
         "",
         "applyEstimatedReverseChannel",
         "0",
         OptionSource::Tool},
        // Errors name the key (or the file).
        {{"FiMinConf=20"},
         "",
         "",
         "--set FiMinConf=20: fiMinConf 20 is out of range",
         "",
         "",
         OptionSource::Default},
        {{"FiMinConf=abc"},
         "",
         "",
         "FiMinConf takes a whole number",
         "",
         "",
         OptionSource::Default},
        {{"FiMinConf=-1"}, "", "", "FiMinConf takes a whole number", "", "", OptionSource::Default},
        {{"QUANT=2"}, "", "", "QUANT takes 0 or 1", "", "", OptionSource::Default},
        {{"minAllowedGconf=300"},
         "",
         "",
         "minAllowedGconf is 0 to 255",
         "",
         "",
         OptionSource::Default},
        {{"Q_WRAP=0"}, "", "", "qWrap 0 is out of range", "", "", OptionSource::Default},
        {{"SOL=3e8x"}, "", "", "SOL takes a number", "", "", OptionSource::Default},
        {{"Bogus=1"}, "", "", "unknown option Bogus", "", "", OptionSource::Default},
        {{"fiminconf=3"}, "", "", "(did you mean FiMinConf?)", "", "", OptionSource::Default},
        {{"FiMinConf"}, "", "", "expected KEY=VALUE", "", "", OptionSource::Default},
        {{"FiMinConf="}, "", "", "no value for FiMinConf", "", "", OptionSource::Default},
        {{"muOrdSet=2,4,6,7,8,9,10,11"},
         "",
         "",
         "muOrdSet takes 1 to 7",
         "",
         "",
         OptionSource::Default},
        {{"muCovSet=30"}, "", "", "from 1 to 27", "", "", OptionSource::Default},
        {{"muOrdSet=2,,4"}, "", "", "muOrdSet takes", "", "", OptionSource::Default},
        {{"rtpFilterType=300"},
         "",
         "",
         "rtpFilterType takes a whole number 0 to 255",
         "",
         "",
         OptionSource::Default},
        {{},
         "/nonexistent/x.ini",
         "",
         "cannot read configuration file /nonexistent/x.ini",
         "",
         "",
         OptionSource::Default},
        {{},
         "",
         "/nonexistent/t.csv",
         "cannot read calibration table /nonexistent/t.csv",
         "",
         "",
         OptionSource::Default},
        {{},
         "",
         badCal,
         "is not a calibration table the library accepts",
         "",
         "",
         OptionSource::Default},
    };
    for (const Case &c : cases) {
        OptionArgs a;
        a.sets = c.sets;
        a.config = c.config;
        a.cal = c.cal;
        EffectiveOptions e;
        const std::string why = buildOptions(a, bareBase(), &e);
        std::string what;
        for (const std::string &s : c.sets) what += s + " ";
        SCOPED_TRACE(what + c.config + " " + c.cal);
        if (!c.error.empty()) {
            EXPECT_NE(why.find(c.error), std::string::npos) << why;
            continue;
        }
        ASSERT_EQ(why, "");
        const size_t row = rowOf(c.field);
        EXPECT_EQ(optionValue(e.opts, row), c.value);
        EXPECT_EQ(e.source[row], c.source);
    }
}

TEST(OptionsCli, RepairsTablesAndNotesAreReported) {
    tarn_test::LogCapture quiet(-1);
    const std::string ini = tempFile("opt2.ini", "Q_WRAP=0\nPctPrior=9\nFiMinConf=5\n");
    OptionArgs a;
    a.config = ini;
    EffectiveOptions e;
    ASSERT_EQ(buildOptions(a, bareBase(), &e), "");
    ASSERT_EQ(e.notes.size(), 2u);
    EXPECT_EQ(e.notes[0], ini + ": Q_WRAP 0 is out of range 1..65536; the library puts back 65536");
    EXPECT_EQ(e.notes[1], ini + ": PctPrior 9 is out of range 0..5; the library puts back 5");
    // The result is what the library's own reader makes of the file.
    ConfigOpts viaLibrary = bareBase();
    ASSERT_EQ(parseConfigFile(ini.c_str(), &viaLibrary), 0);
    EXPECT_EQ(std::memcmp(&viaLibrary, &e.opts, sizeof viaLibrary), 0);

    // The table loads through the library's loader, entry by entry.
    const std::string cal = tempFile("opt3.csv", "1.0+0.0i,0.5-0.5i\n\n0.7\n");
    OptionArgs c;
    c.cal = cal;
    ASSERT_EQ(buildOptions(c, bareBase(), &e), "");
    EXPECT_EQ(e.opts.calTable[0][1], TarnCplxD(0.5, -0.5));
    EXPECT_EQ(e.opts.calTable[2][0], TarnCplxD(0.7, 0.0));
    EXPECT_EQ(e.opts.calTable[1][0], TarnCplxD(0.0, 0.0));
    EXPECT_EQ(optionValue(e.opts, rowOf("calTable")), "3 entries");

    std::ostringstream table;
    printOptionsTable(table, e);
    EXPECT_NE(table.str().find("calibration table from " + cal), std::string::npos);

    // A missing table where one is asked for is said once, in the tool's words.
    OptionArgs want;
    want.sets = {"applyEstimatedReverseChannel=1"};
    ASSERT_EQ(buildOptions(want, bareBase(), &e), "");
    ASSERT_EQ(e.notes.size(), 1u);
    EXPECT_NE(e.notes[0].find("no calibration table: /nonexistent/tarn_rtp_cal.csv"),
              std::string::npos);
}

TEST(OptionsCli, CommandsRefuseBadOptionsBeforeRunning) {
    tarn_test::LogCapture capture(-1);
    std::string out, err;
    const std::string csv = ::testing::TempDir() + "never.csv";
    std::remove(csv.c_str());
    EXPECT_EQ(runTarn({"run", "-n", "3", "--set", "FiMaxDelta=99", "--csv", csv}, &out, &err), 2);
    EXPECT_NE(err.find("FiMaxDelta=99"), std::string::npos) << err;
    EXPECT_EQ(out.find("seq"), std::string::npos);
    EXPECT_EQ(runTarn({"options", "--set", "Nope=1"}, &out, &err), 2);
    EXPECT_NE(err.find("unknown option Nope"), std::string::npos);
    EXPECT_EQ(runTarn({"evaluate", "--set", "QUANT=7"}, &out, &err), 2);
    EXPECT_EQ(runTarn({"calibrate", "-d", "0.5", "-o", csv, "--set", "SOL=fast"}, &out, &err), 2);
    EXPECT_NE(err.find("SOL takes a number"), std::string::npos);
    EXPECT_EQ(std::fopen(csv.c_str(), "r"), nullptr);
    EXPECT_EQ(runTarn({"calibrate", "-o", csv}, &out, &err), 2);
    EXPECT_NE(err.find("-d M"), std::string::npos);
    EXPECT_EQ(runTarn({"calibrate", "-d", "1", "--speed", "1", "-o", csv}, &out, &err), 2);

    // Accepted: the table shows the value and where it came from; the
    // library says nothing without --log-level.
    capture.clear();
    ASSERT_EQ(runTarn({"options", "--set", "FiMaxDelta=7", "--set", "muOrdSet=2,4"}, &out, &err), 0)
        << err;
    EXPECT_EQ(err, "");
    EXPECT_NE(out.find("fiMaxDelta"), std::string::npos);
    std::istringstream lines(out);
    std::string line, delta, ord;
    while (std::getline(lines, line)) {
        if (line.rfind("fiMaxDelta ", 0) == 0) delta = line;
        if (line.rfind("muOrdSet ", 0) == 0) ord = line;
    }
    EXPECT_NE(delta.find(" 7 "), std::string::npos) << delta;
    EXPECT_NE(delta.find(" 15 "), std::string::npos) << delta;
    EXPECT_NE(delta.find("--set"), std::string::npos) << delta;
    EXPECT_NE(ord.find("2,4 "), std::string::npos) << ord;

    // A chart of one procedure creates a link too: no library line either.
    const std::string rec = ::testing::TempDir() + "one.jsonl";
    ASSERT_EQ(runTarn({"simulate", "-n", "2", "-o", rec}, &out, &err), 0) << err;
    capture.clear();
    setenv("TARN_GNUPLOT", "/nonexistent/gnuplot", 1);
    runTarn({"plot", "procedure", rec, "-o", ::testing::TempDir() + "one.png"}, &out, &err);
    unsetenv("TARN_GNUPLOT");
    EXPECT_TRUE(capture.texts().empty()) << capture.joined();
}

TEST(OptionsCli, LibraryEntryPoints) {
    tarn_test::LogCapture quiet(-1);
    struct Line {
        const char *text;
        int result;
    };
    const Line lines[] = {
        {"QUANT=1", 1},       {"QUANT = 1", 1}, {"QUANTX=0", 1},   {"Nope=1", 0},
        {"QUANT=x", -1},      {"QUANT=", -1},   {"QUANT", 0},      {"=1", 0},
        {"MuMaxEigs=abc", 1}, {"SOL=3e8x", -1}, {"PctPrior=9", 1},
    };
    for (const Line &l : lines) {
        ConfigOpts o = constOpts;
        EXPECT_EQ(tarnApplyConfigLine(l.text, &o), l.result) << l.text;
    }
    EXPECT_EQ(tarnApplyConfigLine(nullptr, nullptr), 0);
    // Applied without the repairs; the repair step puts the default back.
    ConfigOpts o = constOpts;
    ASSERT_EQ(tarnApplyConfigLine("PctPrior=9", &o), 1);
    EXPECT_EQ(o.pctPrior, 9);
    EXPECT_EQ(tarnRepairConfig(&o), 1);
    EXPECT_EQ(o.pctPrior, 5);
    EXPECT_EQ(tarnRepairConfig(&o), 0);

    // The link's options read back: a sized record, refused when too small
    // or for an unknown link.
    Session s(InputFormat::Procedure, 0x7a71);
    ASSERT_TRUE(s.ok());
    ConfigOpts mine = constOpts;
    mine.fiMinConf = 3;
    std::string why;
    ASSERT_TRUE(s.installOptions(mine, &why));
    TarnLinkOptions rec{};
    rec.size = sizeof rec;
    ASSERT_EQ(tarnGetLinkOptions(0x7a71, &rec), 1);
    EXPECT_EQ(rec.size, TARN_LINK_OPTIONS_V1_SIZE);
    EXPECT_EQ(rec.version, TARN_LINK_OPTIONS_VERSION);
    EXPECT_EQ(rec.calRunActive, 0);
    EXPECT_EQ(std::memcmp(&rec.opts, &mine, sizeof mine), 0);
    EXPECT_EQ(tarnGetLinkOptions(0x7a72, &rec), 0);
    rec.size = TARN_LINK_OPTIONS_V1_SIZE - 1;
    EXPECT_EQ(tarnGetLinkOptions(0x7a71, &rec), 0);
    EXPECT_EQ(tarnGetLinkOptions(0x7a71, nullptr), 0);
    EXPECT_EQ(tarnLoadCalFile(std::string(300, 'a').c_str(), &mine), 0);
}

TEST(OptionsCli, UnitAndRangeOfEachOptionFromTheList) {
    struct Want {
        const char *name, *unit, *range;
    };
    const Want wants[] = {
        {"qWrap", "units/turn", "1..65536"},
        {"distSF", "units/m", "1000"},
        {"fiMaxDelta", "m", "0..10"},
        {"fiMaxPeriod", "s", "0..10"},
        {"fiMinConf", "%", "0..10"},
        {"fiAvgPwr", "unitless", "not 3, host: |v| <= 1e+12"},
        {"fiConfDecay", "unitless", "not 0.20000000298023224, host: |v| <= 1e+12"},
        {"ifftSize", "count", "power of two to 16384"},
        {"sol", "m/s", "any, host: 1e+07..1e+10"},
        {"cirOffset", "m", "any, host: |v| <= 10000"},
        {"disCal[2]", "m", "any, host: finite"},
        {"quant", "-", "0, 1"},
        {"fiAddGconf", "%", "not 0"},
        {"APinValidCounterMax", "count", "-2147483648..2147483647"},
        {"rttTofUpperBond", "0.5 ns", "any, host: |v| <= 1e+12"},
        {"muCovSet", "count", "1 to 7 entries of 1..27"},
        {"muConfFac", "unitless", "1 to 3 entries"},
        {"calTable", "", ""},
    };
    for (const Want &w : wants) {
        const OptionRow &row = optionRows()[rowOf(w.name)];
        EXPECT_EQ(row.unit, w.unit) << w.name;
        EXPECT_EQ(row.range, w.range) << w.name;
    }

    // The table prints them after the source; refusals name the range.
    tarn_test::LogCapture quiet(-1);
    std::string out, err;
    ASSERT_EQ(runTarn({"options"}, &out, &err), 0) << err;
    std::istringstream lines(out);
    std::string line, header, delta;
    while (std::getline(lines, line)) {
        if (line.rfind("name ", 0) == 0) header = line;
        if (line.rfind("fiMaxDelta ", 0) == 0) delta = line;
    }
    EXPECT_LT(header.find("source"), header.find("unit")) << header;
    EXPECT_LT(header.find("unit"), header.find("range")) << header;
    EXPECT_NE(delta.find("default  m "), std::string::npos) << delta;
    EXPECT_EQ(delta.substr(delta.size() - 5), "0..10") << delta;

    EffectiveOptions e;
    OptionArgs a;
    a.sets = {"PctMask=11"};
    EXPECT_EQ(buildOptions(a, bareBase(), &e),
              "--set PctMask=11: pctMask 11 is out of range 0..10; the library would put back 0");
    // The tool installs the options as a host does: a host's bounds hold too.
    a.sets = {"maxMusicStdDev=2e12"};
    EXPECT_EQ(buildOptions(a, bareBase(), &e),
              "--set maxMusicStdDev=2e12: maxMusicStdDev 2e+12 is out of range (|v| <= 1e+12 "
              "in a record a host installs); the library would put back 6");
    a.sets = {"maxMusicStdDev=1e12"};
    EXPECT_EQ(buildOptions(a, bareBase(), &e), "");
    EXPECT_EQ(e.opts.maxMusicStdDev, 1e12);
    a.sets = {"SOL=1e11"};
    EXPECT_NE(buildOptions(a, bareBase(), &e).find("sol 1e+11 is out of range (1e+07..1e+10"),
              std::string::npos);
    a.sets = {};
    a.config = tempFile("opt_host.ini", "SOL=1e11\nCAL_DIST_OFFSET=-20000\nDIS_CAL_1=2147483647\n");
    ASSERT_EQ(buildOptions(a, bareBase(), &e), "");
    ASSERT_EQ(e.notes.size(), 2u);
    EXPECT_EQ(e.notes[0], a.config +
                              ": CAL_DIST_OFFSET -20000 is out of range (|v| <= 10000 in a "
                              "record a host installs); the library puts back 0");
    EXPECT_EQ(e.opts.sol, constOpts.sol);
    EXPECT_EQ(e.opts.disCal[0], 2147483647.0);
    EXPECT_EQ(e.source[rowOf("sol")], OptionSource::ConfigRepaired);
    // What the link then computes with is what the tool shows.
    Session s(InputFormat::Procedure, 0x7a73);
    ASSERT_TRUE(s.ok());
    std::string why;
    ASSERT_TRUE(s.installOptions(e.opts, &why)) << why;
    ConfigOpts back;
    ASSERT_TRUE(s.linkOptions(&back, &why)) << why;
    EXPECT_EQ(std::memcmp(&back, &e.opts, sizeof back), 0);
}
