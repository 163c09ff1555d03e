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
    // --connection: empty for every connection (import) / the only one
    // (replay); "N" the connection numbered N in the report; "0xHHH" the
    // connection(s) on ACL handle HHH.
    std::string connection;
    std::string peerCapture;  // the reflector's own capture
};
void addCaptureImportOptions(CLI::App *cmd, CaptureImportArgs *a);
bool buildImportOptions(const CaptureImportArgs &a, tarn_capture::ImportOptions *o,
                        std::string *why);

// The connection --connection asks for.
struct ConnectionChoice {
    int number = 0;  // > 0: by number
    bool byHandle = false;
    uint16_t handle = 0;
    bool any() const { return number == 0 && !byHandle; }
    bool matches(int connection, uint16_t h) const {
        return any() || (byHandle ? h == handle : connection == number);
    }
};
// False with the reason for text that is neither a number nor a 0x handle.
bool parseConnectionChoice(const std::string &text, ConnectionChoice *out, std::string *why);

// The exit rule of import and replay --capture once the capture is read:
// 0 when procedures were delivered; 2 (with the connections present) when
// --connection names none of them; 1 with the reason when no procedure came.
int captureOutcome(const tarn_capture::ImportReport &rep, const ConnectionChoice &choice,
                   long delivered, const std::string &path, std::string *why);

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

    // The exit status and its reason once next() has returned false (see
    // captureOutcome).
    int outcome(std::string *why) const;

    // Why open() failed: 2 when the connection must be chosen differently, 1
    // when the capture cannot be read.
    int openStatus() const { return openStatus_; }

  private:
    CaptureReplayArgs args_;
    std::unique_ptr<tarn_capture::CaptureImporter> imp_;
    ConnectionChoice choice_;
    int connection_ = 0;  // the one connection replayed, once known
    long delivered_ = 0;
    int openStatus_ = 1;
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
