// The integrity of a link's computation: the candidates' uncertainties, the
// flags, the first path of a blocked direct path and the guarded
// combination, between the estimators and the result (not exported).
#pragma once

#include <cmath>
#include <optional>

#include "rtp/rtp_integrity.h"
#include "rtt/rtt_internal.h"
#include "interface/link_state.h"
#include "tarn_interface.h"

namespace tarn_iface {

// What a computation says about its own trustworthiness (the fourth
// version's fields of TarnLatestComputation, which says kNoFigure where a
// figure here is empty). Metres, each a finite figure not below 0.
struct LinkIntegrity {
    std::optional<double> sigmaM;  // of the delivered distance
    std::optional<double> phaseSigmaM;
    std::optional<double> rttSigmaM;
    uint32_t flags = 0;
    uint32_t combination = 0;
    std::optional<double> firstPathM;
    std::optional<double> slopeM;  // the phase slope's distance (metres)
};

// Step 1, after both estimators: the candidates' uncertainties and the
// flags of the procedure. In the guarded combination or tracking mode 1 a
// blocked direct path moves the phase candidate to the first path.
// restarted: the phase pipeline started over; trackingMode1: the link
// computes in tracking mode 1; link: the link's state (step timing, combination).
LinkIntegrity assessCandidates(const TarnLinkState &link, const ConfigOpts &opts,
                               const tarn_rtp::PhaseIntegrity &phase,
                               const tarn_rtt::RttSpread &rtt, bool restarted, bool trackingMode1,
                               RangeEstimate *phaseCandidate, const RangeEstimate &rttCandidate);

// Step 2, the result: the guarded combination in mode 1 of tarnSetCombination
// (a tracked result only bounded from below), else what the specified rule
// or the tracker gave; the delivered uncertainty follows the candidate taken.
// tracked: the tracker formed `result`; trackFlags its TARN_TRACK_FLAG_*.
void combineWithIntegrity(const ConfigOpts &opts, const RangeEstimate &phase,
                          const RangeEstimate &rtt, bool tracked, uint32_t trackFlags,
                          LinkIntegrity *integrity, CsEstimate *result);

}  // namespace tarn_iface
