// The tool's side of the library's tracking modes (tarnSetTrackingMode):
// the --tracking option and the moving scenarios of the evaluation.
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

#include "simulator.h"

namespace tarn_sim {

// --tracking: "still" (mode 0, the default tracking) or "moving" (mode 1).
bool parseTracking(const std::string &name, int *mode);
// Adds --tracking to a command (run, replay, evaluate); withBoth also
// accepts "both" (run and replay: a second link in mode 1 on the same
// procedures, its final distance summarised and drawn next to mode 0's).
void addTrackingOption(CLI::App *app, std::string *tracking, bool withBoth);
// Adds --combination (run, replay): the link's combination, "specified"
// (tarnSetCombination 0, the default) or "guarded" (1).
void addCombinationOption(CLI::App *app, std::string *combination);
// ", tracking moving" for the moving mode, "" otherwise (session headers).
std::string trackingNote(const std::string &tracking);
const char *trackingName(int mode);
// Suffix of an evaluation point computed in a tracking mode: "" for mode 0,
// " (moving)" for mode 1.
std::string trackingSuffix(int mode);

// The moving points of the evaluation, each run in both tracking modes:
//   walk         0.5 m -> 10 m -> 0.5 m at 1 m/s (191 procedures)
//   2 m/s        0.5 m -> 20.5 m (101 procedures)
//   3 m/s        0.5 m -> 30.5 m (101 procedures)
//   reversal     0.5 m -> 10 m -> 0.5 m at 2 m/s (96 procedures)
//   stop-and-go  1 m -> 4 m -> 7 m -> 4 m -> 1 m at 1.5 m/s with a 1 s stop
//                at each turning point (121 procedures)
// (procedures 0.1 s apart).
struct MotionPoint {
    std::string name;
    Trajectory trajectory;
    bool stops = false;  // the overshoot past its stops is reported
};
std::vector<MotionPoint> motionPoints();

// Largest distance by which `estimates` (one per procedure at times
// k x intervalS, nullopt: none) went past the point where the trajectory
// stopped or turned, in the direction it was moving, from the stop to the
// moment it moves again (or 1 s after a turn). NaN when the trajectory never
// stops or turns or no estimate falls into those spans. Never below 0.
double stopOvershootM(const Trajectory &t, double intervalS,
                      const std::vector<std::optional<double>> &estimates);

}  // namespace tarn_sim
