// Conversion of simulated procedures to the library's input records: the
// procedure-level record and the step-level record, each owning its arrays.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "simulator.h"
#include "tarn_measurement.h"

namespace tarn_sim {

// A procedure in the controller-level input format, owning every array the
// record points to. Not copyable: the record points into it. A step marked
// aborted keeps its mode and channel but carries no data the library uses: a
// failed access-address exchange and zero tones of unavailable quality.
class WireProcedure {
  public:
    explicit WireProcedure(const Procedure &p);
    WireProcedure(const WireProcedure &) = delete;
    WireProcedure &operator=(const WireProcedure &) = delete;

    CsProcedure *get() { return &proc_; }

  private:
    // other: the other side, whose aborted steps make the same steps of
    // `src` unusable too; nap: the procedure's antenna path count, which
    // sizes an aborted tone step.
    void fill(const std::vector<Subevent> &src, const std::vector<Subevent> &other, int nap,
              std::vector<CsSubevent> *dst);
    void fillAborted(CsStep *ws, int nap);

    CsProcedure proc_{};
    std::vector<CsSubevent> init_, refl_;
    std::vector<std::unique_ptr<CsStep[]>> steps_;
    std::vector<std::unique_ptr<int32_t[]>> tones_;
    std::vector<std::unique_ptr<uint8_t[]>> quals_;
};

// The same procedure in the step-level input format: the subevents that both
// sides completed with matching step counts, flattened step by step, each
// tone step's tones placed by antenna path. Not copyable.
class WireMeasurement {
  public:
    explicit WireMeasurement(const Procedure &p);
    WireMeasurement(const WireMeasurement &) = delete;
    WireMeasurement &operator=(const WireMeasurement &) = delete;

    CsMeasurement *get() { return &meas_; }

  private:
    CsMeasurement meas_{};
    std::vector<uint8_t> channels_, modes_;
    std::vector<CsStepResult> init_, refl_;
    std::vector<int16_t> pct_;   // 8 values per step
    std::vector<uint8_t> qual_;  // 4 values per step
};

}  // namespace tarn_sim
