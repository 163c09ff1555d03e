// The order of the repairs' messages when every checked field is out of
// range at once, for a file's record and for a host's.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_internal.h"
#include "config_test_util.h"
#include "log_capture.h"

using cfgtest::defaults;

namespace {

// Every field the repairs check, each just outside its range.
ConfigOpts everyRangeBroken() {
    ConfigOpts o = defaults();
    o.qWrap = 0;
    o.distSF = 999;
    o.chMax = 80;
    o.logLevel = 5;
    o.pctPrior = 6;
    o.pctMask = 11;
    o.phConfFac = 11;
    o.muMaxEigs = -1.0;
    o.fiAddGconf = 0;
    o.fiMaxPeriod = 11;
    o.fiMinConf = 11;
    o.fiMaxDelta = 11;
    o.fiAvgPwr = 3.0;
    o.fiDistanceCombiningMethod = 4;
    o.fiConfDecay = static_cast<double>(0.2f);
    o.fiPkConfThr = 0.5;
    o.fiExclFrac = static_cast<double>(0.3f);
    o.fiVelAvg = 0.5;
    o.rtpSlidingWindowSize = 21;
    o.rtpSlidingWindowFrameSize = 101;
    o.rttSlidingWindowSize = 21;
    o.rttSlidingWindowFrameSize = 101;
    o.ifftSize = 1000;
    o.muOrdSetLen = 8;
    o.muCovSetLen = 8;
    o.muConfFacLen = 4;
    return o;
}

// Names in the messages, in order.
std::vector<std::string> names(const char *spaced) {
    std::istringstream in(spaced);
    std::vector<std::string> v;
    for (std::string n; in >> n;) v.push_back(n);
    return v;
}

const std::vector<std::string> kRangeOrder = names(
    "Q_WRAP DISTSF CH_MAX LOG_LEVEL PctPrior PctMask PhConfFac MuMaxEigs FiAddGconf FiMaxPeriod "
    "FiMinConf FiMaxDelta FiAvgPwr FiDistanceCombiningMethod FiConfDecay FiPkConfThr FiExclFrac "
    "FiVelAvg RtpSlidingWindowSize RtpSlidingWindowFrameSize RttSlidingWindowSize "
    "RttSlidingWindowFrameSize ifftSize muOrdSetLen muCovSetLen muConfFacLen");

// A host's reals: the ones that enter distances first, then every other in
// the record's order.
const std::vector<std::string> kHostRealOrder = names(
    "SOL RttDisCalAA CAL_DIST_OFFSET cirOffset PhaseRotationOffset DIS_CAL_1 DIS_CAL_2 DIS_CAL_3 "
    "DIS_CAL_4 MuMaxEigs MuMagThr FiConfDecay FiPkConfThr FiExclFrac FiAvgPwr FiVelAvg PhDistFrac "
    "MinPhaseBasedFilterPhaseDist MuOffset SmallerMusicOrderFilterOffsetLower "
    "SmallerMusicOrderFilterOffsetUpper RttDisCalSS RttDisCalRS RtpWithinRttThresh "
    "SlidingWindowMaxPeriod RttFiMaxPeriod phaseConfidenceThresh phaseEstimateWindow "
    "keepAntPathWithStdWithinThreh lowerBoundCoef maxMusicStdDev maxAllowedPhFitError "
    "chanCenterUBOffset chanCenterLBOffset cirPeakRatio minCirMaxToMeanLeveldB "
    "minCirMaxToMedianLeveldB maxAllowedDS cirMaxAllowedTapsAbovePeakRatio rttTofUpperBond "
    "cirValueAboveNoiseDBThr cirDistFromMaxDBThr cirCorrectionOffset trueCalibrationDistance");

std::string incorrect(const std::string &name) {
    return name == "FiDistanceCombiningMethod" ? "Incorrect FiDistanceCombiningMethod. \n"
                                               : "Incorrect " + name + ".\n";
}

}  // namespace

TEST(RepairOrder, FileRecordEveryRangeInItsStep) {
    ConfigOpts o = everyRangeBroken();
    tarn_test::LogCapture cap(3);
    tarnRepairOptions(&o, RepairSource::File);
    std::vector<std::string> want;
    for (const std::string &n : kRangeOrder) {
        const bool quiet =
            n == "FiConfDecay" || n == "FiPkConfThr" || n == "FiExclFrac" || n == "FiVelAvg";
        if (!quiet) want.push_back(incorrect(n));
        want.push_back("Setting default value of " + n + ".\n");
    }
    EXPECT_EQ(cap.texts(), want);
    EXPECT_EQ(std::memcmp(&o, &constOpts, sizeof o), 0);
}

TEST(RepairOrder, HostRecordRangesThenReals) {
    ConfigOpts o = everyRangeBroken();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // clang-format off
    for (double *r : {&o.sol, &o.rttDisCalAA, &o.calDistOffset, &o.cirOffset,
                      &o.phaseRotationOffset, &o.muMagThr, &o.phDistFrac,
                      &o.minPhaseBasedFilterPhaseDist, &o.muOffset,
                      &o.smallerMusicOrderFilterOffsetLower, &o.smallerMusicOrderFilterOffsetUpper,
                      &o.rttDisCalSS, &o.rttDisCalRS, &o.rtpWithinRttThresh,
                      &o.slidingWindowMaxPeriod, &o.rttFiMaxPeriod, &o.phaseConfidenceThresh,
                      &o.phaseEstimateWindow, &o.keepAntPathWithStdWithinThreh, &o.lowerBoundCoef,
                      &o.maxMusicStdDev, &o.maxAllowedPhFitError, &o.chanCenterUBOffset,
                      &o.chanCenterLBOffset, &o.cirPeakRatio, &o.minCirMaxToMeanLeveldB,
                      &o.minCirMaxToMedianLeveldB, &o.maxAllowedDS,
                      &o.cirMaxAllowedTapsAbovePeakRatio, &o.rttTofUpperBond,
                      &o.cirValueAboveNoiseDBThr, &o.cirDistFromMaxDBThr, &o.cirCorrectionOffset,
                      &o.trueCalibrationDistance})
        *r = nan;
    // clang-format on
    for (double &d : o.disCal) d = -std::numeric_limits<double>::infinity();
    tarn_test::LogCapture cap(1);
    tarnRepairOptions(&o, RepairSource::Host);
    std::vector<std::string> want;
    // A host's record: every range logged, quiet ones too, and then the reals
    // its ranges left (those already repaired pass).
    for (const std::string &n : kRangeOrder) want.push_back(incorrect(n));
    for (const std::string &n : kHostRealOrder) {
        const bool repairedAbove = n == "MuMaxEigs" || n == "FiConfDecay" || n == "FiPkConfThr" ||
                                   n == "FiExclFrac" || n == "FiAvgPwr" || n == "FiVelAvg";
        if (!repairedAbove) want.push_back(incorrect(n));
    }
    EXPECT_EQ(cap.texts(), want);
    EXPECT_EQ(std::memcmp(&o, &constOpts, sizeof o), 0);
}
