// The rule that combines the phase and round-trip-time candidates of one
// computation into the link's result.
#include <cmath>
#include <cstdint>

#include "tarn_config.h"
#include "tarn_estimators.h"
#include "tarn_measurement.h"

namespace {

// A double confidence as the result's signed byte: truncated toward zero to
// 32 bits, low 8 bits kept. Values outside the 32-bit range saturate and NaN
// gives 0, instead of an undefined conversion.
int8_t confByte(double conf) {
    int32_t c;
    if (std::isnan(conf)) {
        c = 0;
    } else if (conf >= 2147483647.0) {
        c = INT32_MAX;
    } else if (conf <= -2147483648.0) {
        c = INT32_MIN;
    } else {
        c = static_cast<int32_t>(conf);
    }
    return static_cast<int8_t>(static_cast<uint8_t>(static_cast<uint32_t>(c) & 0xFFu));
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
