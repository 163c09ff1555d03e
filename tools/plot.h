// PNG charts drawn with gnuplot: each chart is a data file and a script
// written next to the PNG (FILE.png -> FILE.dat, FILE.gp), then rendered
// with `gnuplot` (or the program named by TARN_GNUPLOT). Without gnuplot the
// data and the script stay for rendering elsewhere.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "cli.h"
#include "session.h"
#include "simulator.h"

namespace tarn_tool {

// The simulator's procedure model and scenarios.
using namespace tarn_sim;

struct EvalRow;

enum class PlotStatus {
    Rendered,   // the PNG exists and is not empty
    NoGnuplot,  // data and script written; gnuplot is not installed
    Failed,     // files could not be written, or gnuplot failed
};

// Every function fills `message` with one line for the user.
// True against estimated distances over time for a session.
// With `moving` (the same procedures through a link in tracking mode 1, one
// row per row) its final distance is drawn too.
PlotStatus plotSession(const std::vector<SessionRow> &rows, const std::string &png,
                       std::string *message, const std::vector<SessionRow> *moving = nullptr);
// The same from a CSV the tool wrote with `run --csv`.
PlotStatus plotSessionCsv(const std::string &csv, const std::string &png, std::string *message);
// Cumulative distribution of the absolute error per estimator, pooled over
// the rows of an evaluation (a share of all procedures, so an estimator that
// often gives no distance stays below 1).
PlotStatus plotErrorDistributions(const std::vector<EvalRow> &rows, const std::string &png,
                                  std::string *message);
// One procedure: per-channel round-trip phase and magnitude of each antenna
// path, and the impulse response (inverse FFT of the tone product) with the
// direct path (the true distance, when known) and its peak marked. With
// `library` (the library's own impulse response of that procedure, see
// Session::setCaptureImpulse) that response and its peak are drawn too.
PlotStatus plotProcedure(const Procedure &p, double propagationMps, const std::string &png,
                         std::string *message, const LibraryImpulse *library = nullptr);

struct PlotArgs {
    std::string kind;
    std::string file;
    std::string png;
    long index = 0;
};
CLI::App *addPlotCommand(CLI::App *app, PlotArgs *a);
int cmdPlot(ToolIo io, const PlotArgs &a);

}  // namespace tarn_tool
