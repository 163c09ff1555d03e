// Runs procedures through the library's host functions, one estimate per
// procedure, and reports each estimator's own distance next to the final one.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "simulator.h"
#include "tarn_config.h"
#include "tarn_interface.h"

namespace tarn_tool {

// The simulator's procedure model and scenarios.
using namespace tarn_sim;

enum class InputFormat {
    StepLevel,  // csIfAddMeasurement (v1)
    Procedure,  // csIfAddMeasurementV2 (v2)
};
bool parseInputFormat(const std::string &name, InputFormat *fmt);
const char *inputFormatName(InputFormat fmt);

struct SessionRow {
    long seq = 0;
    double timeS = 0.0;
    double trueM = std::numeric_limits<double>::quiet_NaN();
    bool accepted = false;         // the intake stored the procedure
    std::optional<double> rttM;    // round-trip-time candidate, metres
    std::optional<double> phaseM;  // phase candidate, metres
    std::optional<double> finalM;  // what the callback delivered, metres
    int rttConf = 0, phaseConf = 0;
    int conf = -1;  // the callback's confidence
    // Integrity of the computation (tarnGetLatestComputation): standard
    // uncertainties in metres (-1: none) and TARN_INTEGRITY_* flags.
    double sigmaM = -1.0, phaseSigmaM = -1.0, rttSigmaM = -1.0;
    uint32_t flags = 0;
    // The library's number of this link's computation, read in the callback.
    uint32_t computation = 0;
    // The candidates were those of this very request: the computation number
    // advanced by one, and the recorded result is the delivered one.
    bool consistent = true;
};

// The library's impulse response of one computation, per antenna path, read
// inside its callback through tarnGetLatestImpulseResponse.
struct LibraryImpulse {
    std::vector<std::vector<double>> paths;  // magnitudes per path (empty: none)
    double tapM = 0.0;                       // tap k lies at firstM + k x tapM
    double firstM = 0.0;
};

// True while the library knows the link (through the extension, so no
// registry access).
bool linkKnown(CsLinkRef link);

// One link driven through csIfInit / csIfAdd* / csIfGetEstimate / csIfCleanUp.
// The worker delivers the combined result; each estimator's own distance is
// read inside the result callback through tarnGetLatestComputation, i.e. what
// the worker computed for this request. The link reference must not be in use.
// The record tarnSetStepTiming takes for a timing (all zero when the timing
// is unknown, which returns the link to "timing unknown").
TarnStepTiming stepTimingRecord(const StepTiming &timing);

class Session {
  public:
    explicit Session(InputFormat fmt, CsLinkRef link = 0x7a52);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // False when the link could not be created; see error().
    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }

    // Feeds one procedure and waits for its estimate. Returns false (with
    // error()) only when the library stopped answering.
    bool process(const Procedure &p, SessionRow *row);

    // The options the link computes with (read back through tarnGetLinkOptions).
    bool linkOptions(ConfigOpts *out, std::string *why) const;
    // Installs a whole options record into the link (csIfSetParam type 0).
    bool installOptions(const ConfigOpts &opts, std::string *why);

    // Seconds to wait for a callback before giving up.
    void setTimeout(double seconds) { timeoutS_ = seconds; }

    // The link's tracking mode (tarnSetTrackingMode): 0 still, 1 moving.
    // False (with error()) when the library refused it.
    bool setTrackingMode(int mode);
    // The link's combination (tarnSetCombination): 0 specified, 1 guarded.
    bool setCombination(int mode);

    // When on (the default), process() hands the link each procedure's step
    // timing with tarnSetStepTiming whenever it differs from the one handed
    // before (a procedure without one returns the link to "timing unknown");
    // off withholds it (the library then assumes its step durations).
    void setGiveTiming(bool on) { giveTiming_ = on; }
    // Timings the library refused (a recorded file may hold any values).
    int timingRefusals() const { return timingRefusals_; }

    // When on, every callback also reads the library's impulse response of
    // its computation; the latest one is kept here.
    void setCaptureImpulse(bool on) { captureImpulse_ = on; }
    const LibraryImpulse &lastImpulse() const { return impulse_; }

    // The latest-computation record read inside the callback of the last
    // procedure process() answered (everything the library reported for it).
    const TarnLatestComputation &lastComputation() const { return delivered_; }

  private:
    static void onResult(CsEstimate *result, CsRequest *request);

    InputFormat fmt_;
    CsLinkRef link_;
    bool created_ = false;
    std::string error_;
    double timeoutS_ = 30.0;
    long seq_ = 0;
    uint32_t lastComputation_ = 0;
    TarnLatestComputation delivered_{};

    std::mutex mu_;
    std::condition_variable cv_;
    bool answered_ = false;
    CsEstimate answer_{};
    bool latestRead_ = false;
    TarnLatestComputation latest_{};
    bool captureImpulse_ = false;
    LibraryImpulse impulse_;
    bool giveTiming_ = true;
    StepTiming givenTiming_;  // what the link holds (a new link: unknown)
    int timingRefusals_ = 0;
};

struct ErrorStats {
    size_t n = 0;
    double median = 0.0;
    double p90 = 0.0;
};
// Median and 90th percentile (nearest rank) of the absolute errors.
ErrorStats errorStats(std::vector<double> absErrors);

// "specified" (0) or "guarded" (1).
bool parseCombination(const std::string &name, int *mode);
const char *combinationName(int mode);
// The integrity flags' short names, in bit order (the tool's table, CSV
// and JSON columns).
struct IntegrityFlagName {
    uint32_t bit;
    const char *name;
};
extern const IntegrityFlagName kIntegrityFlagNames[10];
// The integrity flags as short names joined by '+' ("-" for none), e.g.
// "multipath+blocked".
std::string integrityFlagNames(uint32_t flags);

}  // namespace tarn_tool
