// The rule that combines the phase and round-trip-time candidates of one
// computation into the link's result.
#include <cmath>
#include <cstdint>

#include "common/numeric.h"
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

}  // namespace

extern "C" {

int alg_combineRttRtp(const CsContext *ctx, const RangeEstimate *rtp, const RangeEstimate *rtt,
                      CsEstimate *result) {
    if (ctx == nullptr || rtp == nullptr || rtt == nullptr || result == nullptr) return 0;
    if (rtp->valid != 1) return 0;
    const ConfigOpts *opts = ctx->opts != nullptr ? ctx->opts : &constOpts;
    const RangeEstimate *chosen = rtp;
    if (rtt->valid == 1 && opts->returnRtpWithinRttThresh == 1) {
        const double threshold = opts->rtpWithinRttThresh * static_cast<double>(opts->distSF);
        const double diff = std::fabs(rtp->dest - rtt->dest);
        // A NaN difference counts as a disagreement.
        if (!(diff <= threshold)) chosen = rtt;
    }
    result->dest = chosen->dest;
    result->conf = confByte(chosen->conf);
    return 1;
}

}  // extern "C"
