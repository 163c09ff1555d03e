// Uncertainties, flags and the guarded combination of one computation, and
// the extension that chooses the combination of a link.
#include "interface/link_integrity.h"

#include <cmath>
#include <cstring>

#include "estimators/distance.h"
#include "estimators/estimators_internal.h"
#include "interface/interface_internal.h"
#include "interface/link_state.h"
#include "interface/step_timing.h"
#include "tarn_diag.h"
#include "track/track_state.h"

namespace tarn_iface {

namespace {

// Whether the link's round trip is protected by a random sequence. The RTT
// type is part of the link's CS configuration, which reaches the library
// with the link's step timing: types 3 to 6 carry random bits a reflector
// cannot know in advance; AA-only (0) and the fixed sounding sequences (1,
// 2) do not, and a link that has not given its timing is unknown.
bool rttProtected(const TarnLinkState &link) {
    const TarnStepTiming &t = link.stepTiming;
    return tarn_link::stepTimingGiven(t) && t.rttType >= 3 && t.rttType <= 6;
}

}  // namespace

LinkIntegrity assessCandidates(const TarnLinkState &link, const ConfigOpts &opts,
                               const tarn_rtp::PhaseIntegrity &phase,
                               const tarn_rtt::RttSpread &rtt, bool restarted, bool trackingMode1,
                               RangeEstimate *phaseCandidate, const RangeEstimate &rttCandidate) {
    LinkIntegrity li;
    li.combination = link.combination == 1 ? 1u : 0u;
    // Options a host may set (a zero or absurd speed of light, distSF) can
    // make any figure here infinite or NaN: such a figure is "none".
    auto figure = [](std::optional<double> v) -> std::optional<double> {
        if (v && std::isfinite(*v) && *v >= 0.0) return v;
        return std::nullopt;
    };
    if (phaseCandidate->valid == 1) li.phaseSigmaM = figure(phase.sigmaM);
    if (rttCandidate.valid == 1 && rtt.medianSdM >= 0.0) {
        // The steps' own spread, and half the pull a later path has on the
        // packet detector: honest multipath makes the round trip read long.
        const double pull = std::isfinite(phase.rttPullM) ? 0.5 * phase.rttPullM : 0.0;
        li.rttSigmaM = figure(std::sqrt(rtt.medianSdM * rtt.medianSdM + pull * pull));
    }
    if (phase.multipath) li.flags |= TARN_INTEGRITY_MULTIPATH;
    if (phase.blocked) li.flags |= TARN_INTEGRITY_BLOCKED;
    if (phase.phaseJumps) li.flags |= TARN_INTEGRITY_PHASE_JUMPS;
    if (restarted) li.flags |= TARN_INTEGRITY_RESTARTED;
    if (!rttProtected(link)) li.flags |= TARN_INTEGRITY_RTT_UNPROTECTED;
    li.firstPathM = figure(phase.firstPathM);
    li.slopeM = phase.slopeM;
    if ((li.combination == 1 || trackingMode1) && phase.blocked && li.firstPathM &&
        *li.firstPathM > 0.0 && phaseCandidate->valid == 1) {
        phaseCandidate->dest = *li.firstPathM * tarn_est::recordScale(opts);
        li.flags |= TARN_INTEGRITY_FIRST_PATH;
    }
    return li;
}

void combineWithIntegrity(const ConfigOpts &opts, const RangeEstimate &phase,
                          const RangeEstimate &rtt, bool tracked, uint32_t trackFlags,
                          LinkIntegrity *li, CsEstimate *result) {
    tarn_est::GuardInput in;
    in.phase = phase;
    in.rtt = rtt;
    in.phaseSigmaM = li->phaseSigmaM;
    in.rttSigmaM = li->rttSigmaM;
    in.phaseJumps = (li->flags & TARN_INTEGRITY_PHASE_JUMPS) != 0;
    in.multipath = (li->flags & TARN_INTEGRITY_MULTIPATH) != 0;
    if (li->slopeM) in.slopeDest = *li->slopeM * tarn_est::recordScale(opts);
    if (tracked) {
        li->flags |= tarn_est::candidatePairFlags(opts, in);
        li->sigmaM = (trackFlags & TARN_TRACK_FLAG_PHASE_TAKEN) != 0 ? li->phaseSigmaM
                                                                     : li->rttSigmaM;
        // The tracked distance is bounded from below like a phase distance.
        if (li->combination == 1 && tarn_est::candidateUsable(rtt)) {
            tarn_est::GuardInput t = in;
            t.phase.dest = result->dest;
            if ((tarn_est::candidatePairFlags(opts, t) & TARN_INTEGRITY_MANIPULATION) != 0) {
                result->dest = rtt.dest;
                result->conf = 0;
                li->sigmaM = li->rttSigmaM;
                li->flags |= TARN_INTEGRITY_RTT_DELIVERED;
            }
        }
        return;
    }
    if (li->combination == 1) {
        const tarn_est::GuardOutcome g = tarn_est::guardedCombination(opts, in);
        *result = g.result;
        li->sigmaM = g.sigmaM;
        li->flags |= g.flags;
        return;
    }
    li->flags |= tarn_est::candidatePairFlags(opts, in);
    tarn_est::Taken taken = tarn_est::Taken::None;
    *result = tarn_est::combineCandidates(opts, phase, rtt, &taken);
    if (taken == tarn_est::Taken::Phase)
        li->sigmaM = li->phaseSigmaM;
    else if (taken == tarn_est::Taken::Rtt)
        li->sigmaM = li->rttSigmaM;
}

}  // namespace tarn_iface

extern "C" int tarnSetCombination(CsLinkRef linkRef, int mode) {
    if (mode != 0 && mode != 1) {
        DEBUG_LOG(1, "tarnSetCombination: unknown combination mode %d for link %d.\n", mode,
                  static_cast<int>(linkRef));
        return 0;
    }
    bool unknown = false;
    const int done = tarn_iface::changeLinkState(linkRef, &unknown, [&](TarnLinkState &st) {
        if (st.combination != static_cast<uint32_t>(mode))
            DEBUG_LOG(0, "Combination %s on link %d\n", mode == 1 ? "guarded" : "specified",
                      static_cast<int>(linkRef));
        st.combination = static_cast<uint32_t>(mode);
    });
    if (unknown) DEBUG_LOG(1, "tarnSetCombination: unknown link %d.\n", static_cast<int>(linkRef));
    return done;
}
