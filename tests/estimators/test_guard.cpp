// The guarded combination as a table: candidate pairs and their
// uncertainties in, the delivered distance, its uncertainty and the flags out.
#include <gtest/gtest.h>

#include <cmath>

#include "estimators/estimators_internal.h"
#include "tarn_interface.h"

namespace {

constexpr uint32_t kDisagree = TARN_INTEGRITY_DISAGREE;
constexpr uint32_t kManip = TARN_INTEGRITY_MANIPULATION;
constexpr uint32_t kRtt = TARN_INTEGRITY_RTT_DELIVERED;
constexpr uint32_t kFused = TARN_INTEGRITY_FUSED;

RangeEstimate cand(bool valid, double metres, double conf) {
    return RangeEstimate{static_cast<uint8_t>(valid ? 1 : 0), metres * 1000.0, conf, 0.0};
}

struct Row {
    const char *what;
    bool phaseValid;
    double phase, phaseSigma;
    bool rttValid;
    double rtt, rttSigma;
    bool multipath, jumps;
    double slope;  // phase slope's distance, NaN none
    double dest;   // delivered, metres
    int conf;
    double sigma;
    uint32_t flags;
};

TEST(GuardedCombination, Table) {
    const double fusedDest = (5.0 * 400.0 + 5.02 * 100.0) / 500.0;
    const double fusedSigma = 1.0 / std::sqrt(500.0);
    const Row rows[] = {
        {"consistent, no multipath: fused by inverse variance", true, 5.0, 0.05, true, 5.02, 0.10,
         false, false, NAN, fusedDest, 90, fusedSigma, kFused},
        {"consistent with multipath: the phase stands", true, 5.0, 0.05, true, 5.02, 0.10, true,
         false, NAN, 5.0, 90, 0.05, 0},
        {"phase 2 m short: the round trip", true, 3.0, 0.05, true, 5.0, 0.10, false, false, NAN,
         5.0, 0, 0.10, kDisagree | kManip | kRtt},
        {"honest multipath, round trip 0.9 m long: the phase", true, 4.1, 0.05, true, 5.0, 0.10,
         true, false, NAN, 4.1, 90, 0.05, kDisagree},
        {"just under the lower bound (5 - 1 - 0.224): the round trip", true, 3.77, 0.05, true, 5.0,
         0.10, true, false, NAN, 5.0, 0, 0.10, kDisagree | kManip | kRtt},
        {"just above the lower bound: the phase", true, 3.78, 0.05, true, 5.0, 0.10, true, false,
         NAN, 3.78, 90, 0.05, kDisagree},
        {"phase longer than the round trip: the phase", true, 6.5, 0.05, true, 5.0, 0.10, false,
         false, NAN, 6.5, 90, 0.05, kDisagree},
        {"phase jumps: the round trip", true, 5.0, 0.05, true, 5.3, 0.10, false, true, NAN, 5.3, 0,
         0.10, kRtt},
        {"phase jumps without a round trip: no estimate", true, 5.0, 0.05, false, 0.0, -1.0, false,
         true, NAN, 0.0, -1, -1.0, 0},
        {"no phase: the round trip", false, 0.0, -1.0, true, 5.0, 0.10, false, false, NAN, 5.0, 0,
         0.10, kRtt},
        {"no round trip: the phase", true, 5.0, 0.05, false, 0.0, -1.0, false, false, NAN, 5.0, 90,
         0.05, 0},
        {"neither: no estimate", false, 0.0, -1.0, false, 0.0, -1.0, false, false, NAN, 0.0, -1,
         -1.0, 0},
        {"no phase, its slope far short: manipulation", false, 0.0, -1.0, true, 1.0, 0.10, false,
         false, -1.0, 1.0, 0, 0.10, kManip | kRtt},
        {"unknown uncertainties count as 0: no fusion", true, 5.0, -1.0, true, 5.0, -1.0, false,
         false, NAN, 5.0, 90, -1.0, 0},
    };
    const ConfigOpts opts = constOpts;
    for (const Row &r : rows) {
        tarn_est::GuardInput in;
        in.phase = cand(r.phaseValid, r.phase, 90.0);
        in.rtt = cand(r.rttValid, r.rtt, 0.0);
        if (r.phaseSigma >= 0.0) in.phaseSigmaM = r.phaseSigma;
        if (r.rttSigma >= 0.0) in.rttSigmaM = r.rttSigma;
        in.multipath = r.multipath;
        in.phaseJumps = r.jumps;
        if (!std::isnan(r.slope)) in.slopeDest = r.slope * 1000.0;
        const tarn_est::GuardOutcome g = tarn_est::guardedCombination(opts, in);
        EXPECT_NEAR(g.result.dest, r.dest * 1000.0, 1e-9) << r.what;
        EXPECT_EQ(g.result.conf, r.conf) << r.what;
        EXPECT_NEAR(g.sigmaM.value_or(-1.0), r.sigma, 1e-12) << r.what;
        EXPECT_EQ(g.flags, r.flags) << r.what;
        // The pair's own flags are those the guard reports, whatever it delivers.
        EXPECT_EQ(tarn_est::candidatePairFlags(opts, in), r.flags & (kDisagree | kManip))
            << r.what;
    }
}

// The lower bound holds whatever the distances: a phase candidate more than
// the allowance plus twice the joint uncertainty under the round trip is never
// delivered, one within it always is (no multipath, no jumps).
TEST(GuardedCombination, LowerBoundProperty) {
    const ConfigOpts opts = constOpts;
    for (double rtt = 0.5; rtt < 40.0; rtt += 3.7)
        for (double sp : {0.01, 0.1, 0.4})
            for (double sr : {0.05, 0.3})
                for (double shortM = -2.0; shortM <= 8.0; shortM += 0.25) {
                    tarn_est::GuardInput in;
                    in.phase = cand(true, rtt - shortM, 80.0);
                    in.rtt = cand(true, rtt, 0.0);
                    in.phaseSigmaM = sp;
                    in.rttSigmaM = sr;
                    in.multipath = true;
                    const double bound = TARN_INTEGRITY_MULTIPATH_ALLOWANCE_M +
                                         2.0 * std::sqrt(sp * sp + sr * sr);
                    const tarn_est::GuardOutcome g = tarn_est::guardedCombination(opts, in);
                    if (shortM > bound + 1e-9) {
                        EXPECT_EQ(g.result.dest, in.rtt.dest) << rtt << ' ' << shortM;
                        EXPECT_NE(g.flags & kManip, 0u);
                    } else if (shortM < bound - 1e-9) {
                        EXPECT_EQ(g.result.dest, in.phase.dest) << rtt << ' ' << shortM;
                        EXPECT_EQ(g.flags & kManip, 0u);
                    }
                }
}

}  // namespace
