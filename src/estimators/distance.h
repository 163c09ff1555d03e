// A distance candidate as the engine passes it between its own parts, and
// its conversion to and from the records the host sees (header-only, not
// exported).
//
// Inside the engine "no distance" is an empty `metres`; the records' marker
// (kNoDistance as a distance or bound, confidence kNoConfidence) and the
// unit metres x distSF exist only in the records, made and read by the
// functions below.
#pragma once

#include <cmath>
#include <optional>

#include "common/numeric.h"
#include "tarn_config_types.h"
#include "tarn_estimators_types.h"

namespace tarn_est {

struct DistanceCandidate {
    std::optional<double> metres;  // empty: no distance
    double conf = tarn_common::kNoConfidence;  // 0..100 (the Kalman output: its variance); kNoConfidence none
    std::optional<double> sigmaM;  // standard uncertainty (metres); empty when unknown
    // The computation that made it ran this time; false for a value held
    // over from an earlier computation.
    bool fresh = false;

    bool has() const { return metres.has_value(); }
};

// The records' scale: metres x distSF (a record without one counts in mm).
inline double recordScale(const ConfigOpts &opts) {
    return opts.distSF != 0 ? static_cast<double>(opts.distSF) : 1000.0;
}

// Whether a record's distance is one: finite and not the marker.
inline bool isRecordDistance(double dest) {
    return std::isfinite(dest) && std::fabs(dest) < tarn_common::kNoDistance;
}

// A candidate record (metres x scale) as the engine's value. The record
// holds a distance when flagged valid, with a confidence other than
// kNoConfidence and a finite distance that is not the marker. The freshness
// is the caller's: records do not carry it.
inline DistanceCandidate fromRecord(const RangeEstimate &r, double scale, bool fresh = true) {
    DistanceCandidate c;
    c.conf = r.conf;
    c.fresh = fresh;
    if (r.valid == 1 && r.conf != tarn_common::kNoConfidence && isRecordDistance(r.dest))
        c.metres = r.dest / scale;
    return c;
}

// The record that holds no distance: valid 0, the marker, confidence
// kNoConfidence.
inline RangeEstimate noDistanceRecord() {
    return RangeEstimate{0, tarn_common::kNoDistance, tarn_common::kNoConfidence, 0.0};
}

// The record of a candidate (metres x scale); noDistanceRecord() without a
// distance.
inline RangeEstimate toRecord(const DistanceCandidate &c, double scale) {
    if (!c.has()) return noDistanceRecord();
    return RangeEstimate{1, *c.metres * scale, c.conf, 0.0};
}

}  // namespace tarn_est
