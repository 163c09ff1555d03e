// The rule that combines the phase and round-trip-time candidates of one
// computation into the link's result.
#include <cmath>
#include <cstdint>

#include "common/numeric.h"
#include "estimators/estimators_internal.h"
#include "tarn_config.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"

namespace {

// A double confidence as the result's signed byte: truncated toward zero to
// 32 bits (saturating, NaN 0), low 8 bits kept.
int8_t confByte(double conf) {
    const uint32_t c = static_cast<uint32_t>(tarn_common::truncToInt32(conf));
    return static_cast<int8_t>(static_cast<uint8_t>(c & 0xFFu));
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
                                       const RangeEstimate &rtt) {
    RangeEstimate p = phase;
    RangeEstimate r = rtt;
    p.valid = candidateUsable(phase) ? 1 : 0;
    r.valid = candidateUsable(rtt) ? 1 : 0;
    CsEstimate result{};
    if (p.valid == 1) {
        take(ruleChoice(opts, p, r), &result);
    } else if (r.valid == 1) {
        take(r, &result);
    } else {
        result.dest = 0.0;
        result.conf = confByte(kNoConfidence);
    }
    return result;
}

extern "C" {

int alg_combineRttRtp(const CsContext *ctx, const RangeEstimate *rtp, const RangeEstimate *rtt,
                      CsEstimate *result) {
    if (ctx == nullptr || rtp == nullptr || rtt == nullptr || result == nullptr) return 0;
    if (rtp->valid != 1) return 0;
    const ConfigOpts *opts = ctx->opts != nullptr ? ctx->opts : &constOpts;
    take(ruleChoice(*opts, *rtp, *rtt), result);
    return 1;
}

}  // extern "C"
