// The rule that combines the phase and round-trip-time candidates of one
// computation into the link's result.
#include <cmath>
#include <cstdint>

#include "estimators/distance.h"
#include "estimators/estimators_internal.h"

namespace {

// A double confidence as the result's signed byte: truncated toward zero to
// 32 bits (saturating, NaN 0), low 8 bits kept.
int8_t confByte(double conf) {
    const uint32_t c = static_cast<uint32_t>(tarn_common::truncToInt32(conf));
    return static_cast<int8_t>(static_cast<uint8_t>(c & 0xFFu));
}

// The result record that says "no estimate".
CsEstimate noEstimate() {
    CsEstimate r{};
    r.dest = tarn_common::kNoEstimateDest;
    r.conf = confByte(tarn_common::kNoConfidence);
    return r;
}

void take(const RangeEstimate &c, CsEstimate *result) {
    result->dest = c.dest;
    result->conf = confByte(c.conf);
}

// The phase candidate, or the round-trip one when it is valid and further
// from the phase distance than the threshold (a NaN difference included).
const RangeEstimate &ruleChoice(const ConfigOpts &opts, const RangeEstimate &rtp,
                                const RangeEstimate &rtt) {
    if (rtt.valid == 1 && opts.returnRtpWithinRttThresh == 1) {
        const double threshold = opts.rtpWithinRttThresh * static_cast<double>(opts.distSF);
        const double diff = std::fabs(rtp.dest - rtt.dest);
        if (!(diff <= threshold)) return rtt;
    }
    return rtp;
}

}  // namespace

bool tarn_est::candidateUsable(const RangeEstimate &c) {
    return c.valid == 1 && c.conf != kNoConfidence && std::isfinite(c.dest);
}

CsEstimate tarn_est::combineCandidates(const ConfigOpts &opts, const RangeEstimate &phase,
                                       const RangeEstimate &rtt, Taken *taken) {
    RangeEstimate p = phase;
    RangeEstimate r = rtt;
    p.valid = candidateUsable(phase) ? 1 : 0;
    r.valid = candidateUsable(rtt) ? 1 : 0;
    CsEstimate result{};
    Taken which = Taken::None;
    if (p.valid == 1) {
        const RangeEstimate &chosen = ruleChoice(opts, p, r);
        take(chosen, &result);
        which = &chosen == &p ? Taken::Phase : Taken::Rtt;
    } else if (r.valid == 1) {
        take(r, &result);
        which = Taken::Rtt;
    } else {
        result = noEstimate();
    }
    if (taken != nullptr) *taken = which;
    return result;
}

namespace {

double known(const std::optional<double> &sigma) {
    return sigma && *sigma > 0.0 && std::isfinite(*sigma) ? *sigma : 0.0;
}

}  // namespace

uint32_t tarn_est::candidatePairFlags(const ConfigOpts &opts, const GuardInput &in) {
    if (!candidateUsable(in.rtt)) return 0;
    const bool phaseOk = candidateUsable(in.phase);
    const bool slopeOk = in.slopeDest && std::isfinite(*in.slopeDest);
    if (!phaseOk && !slopeOk) return 0;
    const double sf = recordScale(opts);
    const double p = (phaseOk ? in.phase.dest : *in.slopeDest) / sf;
    const double r = in.rtt.dest / sf;
    const double joint = std::sqrt(known(in.phaseSigmaM) * known(in.phaseSigmaM) +
                                   known(in.rttSigmaM) * known(in.rttSigmaM));
    uint32_t flags = 0;
    if (phaseOk && std::fabs(p - r) > 3.0 * joint) flags |= TARN_INTEGRITY_DISAGREE;
    // Multipath makes an honest round trip read long, never short: its lower
    // bound is the round trip less that allowance.
    if (p < r - TARN_INTEGRITY_MULTIPATH_ALLOWANCE_M - 2.0 * joint)
        flags |= TARN_INTEGRITY_MANIPULATION;
    return flags;
}

tarn_est::GuardOutcome tarn_est::guardedCombination(const ConfigOpts &opts, const GuardInput &in) {
    GuardOutcome out;
    const bool phaseOk = candidateUsable(in.phase);
    const bool rttOk = candidateUsable(in.rtt);
    out.flags = candidatePairFlags(opts, in);
    auto deliverRtt = [&] {
        take(in.rtt, &out.result);
        out.sigmaM = in.rttSigmaM;
        out.flags |= TARN_INTEGRITY_RTT_DELIVERED;
    };
    if (!phaseOk && !rttOk) {
        out.result = noEstimate();
        return out;
    }
    if (!phaseOk) {
        deliverRtt();
        return out;
    }
    if (!rttOk) {
        if (in.phaseJumps) {
            // Neither candidate can be trusted: no estimate.
            out.result = noEstimate();
            return out;
        }
        take(in.phase, &out.result);
        out.sigmaM = in.phaseSigmaM;
        return out;
    }
    if ((out.flags & TARN_INTEGRITY_MANIPULATION) != 0 || in.phaseJumps) {
        deliverRtt();
        return out;
    }
    const double sp = known(in.phaseSigmaM), sr = known(in.rttSigmaM);
    const double sf = recordScale(opts);
    const double gap = std::fabs(in.phase.dest - in.rtt.dest) / sf;
    if (!in.multipath && sp > 0.0 && sr > 0.0 && gap <= 2.0 * std::sqrt(sp * sp + sr * sr)) {
        const double wp = 1.0 / (sp * sp), wr = 1.0 / (sr * sr);
        RangeEstimate fused = in.phase;
        fused.dest = (in.phase.dest * wp + in.rtt.dest * wr) / (wp + wr);
        take(fused, &out.result);
        out.sigmaM = 1.0 / std::sqrt(wp + wr);
        out.flags |= TARN_INTEGRITY_FUSED;
        return out;
    }
    take(in.phase, &out.result);
    out.sigmaM = in.phaseSigmaM;
    return out;
}

namespace tarn_est {

int alg_combineRttRtp(const CsContext *ctx, const RangeEstimate *rtp, const RangeEstimate *rtt,
                      CsEstimate *result) {
    if (ctx == nullptr || rtp == nullptr || rtt == nullptr || result == nullptr) return 0;
    if (rtp->valid != 1) return 0;
    const ConfigOpts *opts = ctx->opts != nullptr ? ctx->opts : &tarn_cfg::kDefaultOpts;
    take(ruleChoice(*opts, *rtp, *rtt), result);
    return 1;
}

}  // namespace tarn_est
