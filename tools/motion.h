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

// --timing: the link's step timing the simulator times its steps by (and
// the procedures carry): "FCS,IP1,IP2,PM[,SW[,PHY[,RTT]]]" in microseconds
// (SW 0, PHY 1 = LE 1M and RTT type 0 when left out), a name of the
// timing axis (fast, mid, phone), or "none" (unknown: 150 us steps, as the
// library assumes without one). False with `why` for anything else,
// including values the radio does not allow.
bool parseTiming(const std::string &text, StepTiming *timing, std::string *why);
// The command line's default: a phone's common timing.
constexpr const char *kDefaultTiming = "150,145,145,40,10";
// "FCS,IP1,IP2,PM,SW" of a timing, "none" when unknown.
std::string timingText(const StepTiming &t);

// The timing axis of the evaluation's moving points:
//   fast   T_FCS 15, T_IP1 10, T_IP2 10, T_PM 10, T_SW 0 (mode-2 step of 2 paths 85 us)
//   mid    60, 80, 40, 20, 10 (280 us)
//   phone  150, 145, 145, 40, 10 (595 us)
// all on LE 1M with RTT type 0.
struct TimingPoint {
    std::string name;
    StepTiming timing;
};
std::vector<TimingPoint> timingAxis();

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
