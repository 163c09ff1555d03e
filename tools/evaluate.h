// `tarn evaluate`: a matrix of simulated scenarios run through the library's
// host functions, with the library's distances and two classic baselines on
// the same tones compared against the truth.
#pragma once

#include <CLI/CLI.hpp>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cli.h"
#include "options_cli.h"
#include "session.h"
#include "simulator.h"

namespace tarn_tool {

// The simulator's procedure model and scenarios.
using namespace tarn_sim;

enum Estimator { kFinal, kPhase, kRtt, kIfftPeak, kPhaseSlope, kEstimators };
const char *estimatorName(Estimator e);   // "final", "phase", ...
const char *estimatorTitle(Estimator e);  // "Final", "Phase", ...

struct EvalScenario {
    std::string name;
    std::string description;
    SimConfig config;  // everything but the trajectory, the seed and the count
    bool lineOfSight = false;
};
// The default matrix: line of sight; one reflection; two reflections; a
// blocked direct path; line of sight at 25 dB and at 10 dB; the one-reflection
// room with 1 and 4 antenna paths (2 elsewhere).
std::vector<EvalScenario> evaluationScenarios();
// The integrity matrix (tarn evaluate --integrity), 2 antenna paths at 25 dB:
// line of sight and one and two reflections (snr25, refl1_snr25,
// refl2_snr25), a blocked direct path 10 dB down behind a reflection +2 m
// (blocked10), a residual frequency offset of 80 Hz over four subevents on
// 36 channels (offset80), and a manipulating reflector shortening the phase
// distance by 2 m and 5 m (attack2, attack5). Also selectable by name.
std::vector<EvalScenario> integrityScenarios();

struct EvalOptions {
    std::vector<std::string> scenarios;  // names; empty: all
    std::vector<double> distances = {0.5, 1.0, 2.0, 5.0, 10.0, 20.0};
    // Also the moving points (motion.h: the walk 0.5 m -> 10 m -> 0.5 m at
    // 1 m/s, 2 m/s, 3 m/s, a reversal, stop-and-go), each in both tracking
    // modes.
    bool walk = true;
    // The timing axis of the moving points (motion.h timingAxis names; empty:
    // all): each moving point runs at each timing in mode 0, in mode 1 with
    // the timing given to the link, and in mode 1 without it.
    std::vector<std::string> timings;
    // Step timing of the static points (given to the link).
    StepTiming staticTiming = {150, 145, 145, 40, 10, 1, 0};
    int tracking = 0;      // tracking mode of the static points (0 still, 1 moving)
    int procedures = 100;  // per static distance
    uint64_t seed = 1;
    InputFormat format = InputFormat::Procedure;
    // Options every session computes with (--config, --set, --cal).
    ConfigOpts options = constOpts;
    // Also a calibrated final distance: the devices (which follow the seed)
    // calibrated once per antenna-path count at calDistanceM over line of
    // sight, then every point ranged again with that table and offset.
    bool calibrated = false;
    double calDistanceM = 0.5;
    int calProcedures = 100;
    // Combination modes every point runs in (tarnSetCombination), each on
    // the same procedures.
    std::vector<int> combinations = {0};
    // The integrity matrix and report instead of the accuracy matrix.
    bool integrity = false;
};

// Integrity of the delivered distances of one point (from the library's
// uncertainty and flags of each computation).
struct IntegrityStats {
    std::vector<double> signedErrors;  // final - true, metres
    size_t withSigma = 0;              // procedures with an uncertainty
    size_t withinSigma = 0, within2Sigma = 0;
    size_t flagged[16] = {};           // per TARN_INTEGRITY_ bit
    // Procedures whose phase shortening (the attack) exceeds 3 x the round
    // trip's uncertainty, and how many of them carry the manipulation flag.
    size_t manipulationEligible = 0, manipulationFlagged = 0;
};

struct EvalRow {
    std::string scenario;
    std::string point;       // "5 m", "walk", "walk (moving)", ...
    int tracking = 0;        // the link's tracking mode
    std::string timing;      // name of the step timing on the axis (moving points)
    bool timingGiven = true; // the link was given the step timing
    double distanceM = NAN;  // NaN for the walk
    int procedures = 0;
    ErrorStats stats[kEstimators];
    std::vector<double> errors[kEstimators];  // absolute errors, metres
    double boundM = NAN;                      // the distance bound (line of sight only)
    int inconsistent = 0;  // procedures whose candidates were not the delivered computation's
    bool calibrated = false;     // the calibrated column was run
    ErrorStats calStats;         // final distance with the calibration
    std::vector<double> calErrors;
    // Points with stops or turns: how far the final distance went past them
    // (motion.h, stopOvershootM); NaN elsewhere.
    double overshootM = NAN;
    int combination = 0;  // the link's combination mode
    IntegrityStats integrity;
};

// Runs the matrix. `progress` (optional) gets procedures done and in all.
// False with `why` when a scenario name is unknown or the library stops.
bool runEvaluation(const EvalOptions &opts, std::vector<EvalRow> *rows, std::string *why,
                   const std::function<void(long, long, const std::string &)> &progress = {});

// The integrity matrix: its own distances (1, 3, 5, 10 and 20 m), no moving
// points, both combinations; a caller's distances or combinations may follow.
void useIntegrityMatrix(EvalOptions *o);

// Median of the signed errors and the most negative one (the shortest
// distance delivered against the truth); NaN for both without errors.
void signedSummary(std::vector<double> e, double *median, double *shortest);

void writeMarkdown(std::ostream &os, const EvalOptions &opts, const std::vector<EvalRow> &rows);
void writeCsv(std::ostream &os, const std::vector<EvalRow> &rows);
void writeJson(std::ostream &os, const EvalOptions &opts, const std::vector<EvalRow> &rows);
// The integrity report: signed errors, coverage of the uncertainty, flags.
void writeIntegrityMarkdown(std::ostream &os, const EvalOptions &opts,
                            const std::vector<EvalRow> &rows);
void writeIntegrityCsv(std::ostream &os, const std::vector<EvalRow> &rows);

// Command line.
struct EvaluateArgs {
    std::vector<std::string> scenarios;
    std::vector<double> distances;
    int procedures = 100;
    uint64_t seed = 1;
    bool noWalk = false;
    std::vector<std::string> timings;
    bool csv = false, json = false;
    std::string output;  // empty: standard output
    std::string plot;    // PNG of the error distributions
    std::string input = "v2";
    OptionArgs options;
    bool calibrated = false;
    std::string tracking = "still";
    std::vector<std::string> combinations;
    bool integrity = false;
};
CLI::App *addEvaluateCommand(CLI::App *app, EvaluateArgs *a);
int cmdEvaluate(ToolIo io, const EvaluateArgs &a);

}  // namespace tarn_tool
