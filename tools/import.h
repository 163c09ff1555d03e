// The tool's capture commands: `tarn import` (a snoop log to JSON Lines with
// a readable report), the procedure source behind `tarn replay --capture`,
// and the capture sink behind `tarn simulate --capture`.
#pragma once

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli.h"
#include "importer.h"
#include "simulator.h"
#include "writer.h"

namespace tarn_tool {

using namespace tarn_sim;

// Options shared by import and replay --capture.
struct CaptureImportArgs {
    std::vector<std::string> rasHandles;
    bool unixTime = false;
    bool oneSided = false;
    bool guessRas = false;
    int connection = 0;  // 0: every connection (import) / the only one (replay)
    std::string peerCapture;  // the reflector's own capture
};
void addCaptureImportOptions(CLI::App *cmd, CaptureImportArgs *a);
bool buildImportOptions(const CaptureImportArgs &a, tarn_capture::ImportOptions *o,
                        std::string *why);

struct ImportArgs {
    std::string capture;
    std::string output;  // JSON Lines; empty: report only
    CaptureImportArgs opts;
};
CLI::App *addImportCommand(CLI::App *app, ImportArgs *a);
int cmdImport(ToolIo io, const ImportArgs &a);

// Procedures of one connection of a capture, for replay through the library.
struct CaptureReplayArgs {
    std::string path;
    CaptureImportArgs opts;
};
void addCaptureReplayOptions(CLI::App *replay, CaptureReplayArgs *a);

class CaptureSource {
  public:
    // Reads the capture once to see which connections carry procedures; with
    // several and none chosen it fails and lists them.
    bool open(const CaptureReplayArgs &a, std::string *why);
    bool next(Procedure *p);
    // The import report, once next() has returned false.
    void printReport(std::ostream &os) const;

  private:
    CaptureReplayArgs args_;
    std::unique_ptr<tarn_capture::CaptureImporter> imp_;
    int connection_ = 0;
};

// simulate --capture
struct SimCaptureArgs {
    std::string path;
    std::string reflectorPath;
    int mtu = 247;
    int dataLength = 251;
    bool onDemand = false;
};
void addSimulateCaptureOptions(CLI::App *simulate, SimCaptureArgs *a);

class CaptureSink {
  public:
    bool open(const SimCaptureArgs &a, std::string *why);
    bool write(const Procedure &p, std::string *why);
    bool close(std::string *why);

  private:
    std::unique_ptr<tarn_capture::CaptureWriter> writer_, reflector_;
};

}  // namespace tarn_tool
