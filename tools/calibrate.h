// `tarn calibrate`: the library's own calibration run at a known distance,
// on simulated or recorded procedures, written as a calibration table file
// with the round-trip offset the run suggests.
#pragma once

#include <CLI/CLI.hpp>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "cli.h"
#include "options_cli.h"
#include "session.h"
#include "simulator.h"

namespace tarn_tool {

struct CalibrateArgs {
    std::string output;  // -o: the calibration table file
    std::string keys;    // --keys: the suggested configuration keys
    std::string replay;  // --replay: recorded procedures instead of simulated ones
    std::string format = "v2";
    double distanceM = NAN;  // the known distance (-d)
    int procedures = -1;     // -n; negative: not given
    OptionArgs options;
};
// Adds the command (the simulation options are added by the caller).
CLI::App *addCalibrateCommand(CLI::App *app, CalibrateArgs *a);

// What one calibration run gave.
struct CalibrationResult {
    ConfigOpts table{};     // the link's options after the run (calTable and flags)
    int paths = 0;          // antenna paths of the procedures
    int procedures = 0;     // procedures fed
    bool finished = false;  // the library completed its table
    bool haveRoundTrip = false;
    double roundTripMedianM = NAN;  // median round-trip candidate during the run
    double rttDisCalAA = 0.0;       // suggested offset: true distance - that median
};

// Runs the library's calibration mode on one link: `opts` with calibration
// switched on at `distanceM` over `count` procedures taken from `next`
// (which returns false when it has no more). False with `why` when the
// library stops answering.
bool runCalibration(const ConfigOpts &opts, double distanceM, int count, InputFormat fmt,
                    const std::function<bool(Procedure *)> &next, CalibrationResult *out,
                    std::string *why);

// The table in the calibration table file format: one line per channel
// index 0..78, `paths` values RE+IMi per line (lines under 100 characters).
std::string calibrationTableText(const ConfigOpts &opts, int paths);

// The suggested configuration keys, one per line.
std::string calibrationKeysText(const CalibrationResult &r);

// Simulated calibration on the given scenario (its trajectory is replaced by
// a static distance): the whole workflow in one call, used by evaluate.
bool calibrateSimulated(const SimConfig &scenario, double distanceM, int count,
                        const ConfigOpts &base, CalibrationResult *out, std::string *why);

int cmdCalibrate(ToolIo io, const CalibrateArgs &a, SimConfig cfg, const std::string &scenario);

}  // namespace tarn_tool
