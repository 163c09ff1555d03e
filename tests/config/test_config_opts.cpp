// Options record: layout and defaults, default copy, dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "config_test_util.h"
#include "log_capture.h"
#include "tarn_config.h"

using cfgtest::T;

namespace {

using Field = std::pair<std::string, double>;
using Values = std::vector<Field>;

// "name value  name value ..." as a list of dumped fields.
Values fieldsOf(const std::string &list) {
    std::istringstream in(list);
    Values v;
    std::string name;
    double value;
    while (in >> name >> value) v.emplace_back(name, value);
    return v;
}

struct DefaultAt {
    size_t offset;
    T type;
    double value;
    const char *name;
};

// Documented default of every field, by byte offset (array entries one by one).
const DefaultAt kDefaults[] = {
    {0, T::U8, 0, "quant"},
    {1, T::U8, 0, "phEnable"},
    {2, T::U8, 0, "pctInvert"},
    {3, T::U8, 1, "pctQscale"},
    {4, T::U8, 0, "velocityBasedUpdate"},
    {5, T::U8, 5, "pctPrior"},
    {6, T::U8, 0, "pctMode"},
    {7, T::U8, 0, "pctMask"},
    {8, T::U8, 2, "phConfFac"},
    {16, T::F64, 0.7, "phDistFrac"},
    {24, T::F64, 18.0, "minPhaseBasedFilterPhaseDist"},
    {32, T::U8, 1, "phaseMusicFilter"},
    {33, T::U8, 0, "priorProximityMusicFilter"},
    {34, T::I8, 100, "fiAddGconf"},
    {36, T::U32, 4, "fiMaxPeriod"},
    {40, T::U8, 15, "fiMinConf"},
    {41, T::U8, 15, "fiMaxDelta"},
    {48, T::F64, 2.0, "fiAvgPwr"},
    {56, T::U8, 3, "fiDistanceCombiningMethod"},
    {57, T::U8, 1, "fiUsePrevDistFilter"},
    {58, T::U8, 79, "chMax"},
    {64, T::F64, 0.0, "disCal[0]"},
    {72, T::F64, 0.0, "disCal[1]"},
    {80, T::F64, 0.0, "disCal[2]"},
    {88, T::F64, 0.0, "disCal[3]"},
    {96, T::F64, 0.0, "calDistOffset"},
    {104, T::F64, 1.0, "muMaxEigs"},
    {112, T::U8, 2, "muConfFacLen"},
    {120, T::F64, 35.0, "muConfFac[0]"},
    {128, T::F64, 0.5, "muConfFac[1]"},
    {136, T::F64, 0.0, "muConfFac[2]"},
    {144, T::U8, 6, "muOrdSetLen"},
    {145, T::U8, 2, "muOrdSet[0]"},
    {146, T::U8, 4, "muOrdSet[1]"},
    {147, T::U8, 6, "muOrdSet[2]"},
    {148, T::U8, 7, "muOrdSet[3]"},
    {149, T::U8, 8, "muOrdSet[4]"},
    {150, T::U8, 9, "muOrdSet[5]"},
    {151, T::U8, 0, "muOrdSet[6]"},
    {152, T::U8, 6, "muCovSetLen"},
    {153, T::U8, 4, "muCovSet[0]"},
    {154, T::U8, 8, "muCovSet[1]"},
    {155, T::U8, 12, "muCovSet[2]"},
    {156, T::U8, 14, "muCovSet[3]"},
    {157, T::U8, 16, "muCovSet[4]"},
    {158, T::U8, 18, "muCovSet[5]"},
    {159, T::U8, 0, "muCovSet[6]"},
    {160, T::F64, -3.0, "muOffset"},
    {168, T::F64, 15.0, "smallerMusicOrderFilterOffsetLower"},
    {176, T::F64, 7.0, "smallerMusicOrderFilterOffsetUpper"},
    {184, T::U8, 1, "muOffsetFilter"},
    {186, T::U16, 1000, "distSF"},
    {188, T::U32, 65536, "qWrap"},
    {192, T::F64, 0.2, "fiConfDecay"},
    {200, T::F64, 0.0, "fiPkConfThr"},
    {208, T::F64, 0.0, "fiExclFrac"},
    {216, T::F64, 0.0, "fiVelAvg"},
    {224, T::F64, 0.85, "muMagThr"},
    {232, T::F64, 299700000.0, "sol"},
    {240, T::F64, 15.0, "phaseRotationOffset"},
    {248, T::U8, 4, "rttFilterType"},
    {256, T::F64, 0.0, "rttDisCalAA"},
    {264, T::F64, 0.0, "rttDisCalSS"},
    {272, T::F64, 0.0, "rttDisCalRS"},
    {280, T::F64, 4.0, "rttFiMaxPeriod"},
    {288, T::U8, 0, "logLevel"},
    {289, T::U8, 1, "discardNegativeMusicValues"},
    {290, T::U8, 1, "useProductChannelDist"},
    {291, T::U8, 0, "EnableCal"},
    {292, T::U8, 3, "rtpFilterType"},
    {294, T::U16, 10, "rtpSlidingWindowSize"},
    {296, T::U16, 40, "rtpSlidingWindowFrameSize"},
    {304, T::F64, 3.0, "slidingWindowMaxPeriod"},
    {312, T::U16, 10, "rttSlidingWindowSize"},
    {314, T::U16, 40, "rttSlidingWindowFrameSize"},
    {320, T::F64, 30.0, "rtpWithinRttThresh"},
    {328, T::U8, 1, "returnRtpWithinRttThresh"},
    {336, T::F64, 65.0, "phaseConfidenceThresh"},
    {344, T::F64, 1.0, "phaseEstimateWindow"},
    {352, T::U8, 0, "numFilterAntennaMusicStdDev"},
    {360, T::F64, 2.5, "keepAntPathWithStdWithinThreh"},
    {368, T::U8, 0, "filterMusicOrdersMethod"},
    {369, T::U8, 1, "disableAlignEventPhase"},
    {370, T::U8, 1, "discardZeroPCT"},
    {371, T::U8, 1, "useChannelCenterForBoundMusicEst"},
    {376, T::F64, 7.0, "lowerBoundCoef"},
    {384, T::F64, 6.0, "maxMusicStdDev"},
    {392, T::U8, 1, "use3OrdersForCal"},
    {393, T::U8, 0, "applyEstimatedReverseChannel"},
    {5656, T::U8, 60, "minAllowedGconf"},
    {5657, T::U8, 0, "filterBasedOnPhFit"},
    {5664, T::F64, 60.0, "maxAllowedPhFitError"},
    {5672, T::F64, 1.5, "chanCenterUBOffset"},
    {5680, T::F64, 25.0, "chanCenterLBOffset"},
    {5688, T::U8, 25, "percentile4AP"},
    {5689, T::U8, 30, "percentile3AP"},
    {5690, T::U8, 40, "percentile2AP"},
    {5692, T::U16, 512, "ifftSize"},
    {5696, T::F64, 10.0, "cirOffset"},
    {5704, T::F64, 0.3, "cirPeakRatio"},
    {5712, T::F64, 9.0, "minCirMaxToMeanLeveldB"},
    {5720, T::F64, 10.0, "minCirMaxToMedianLeveldB"},
    {5728, T::F64, 85.0, "maxAllowedDS"},
    {5736, T::F64, 25.0, "cirMaxAllowedTapsAbovePeakRatio"},
    {5744, T::U8, 1, "filterBasedOnCIR"},
    {5745, T::U8, 0, "discardUnavailableQualityTones"},
    {5748, T::I32, 2, "APinValidCounterMax"},
    {5752, T::I32, 6, "inValidCounterMax"},
    {5756, T::U8, 10, "cirMaxAllowedTapsBeforeMaxPeak"},
    {5757, T::U8, 1, "dropNegativeRTTTof"},
    {5758, T::U8, 1, "dropNegativeRTTDistances"},
    {5760, T::I32, 15, "minRttStepsForDistEstimation"},
    {5768, T::F64, 1067.0, "rttTofUpperBond"},
    {5776, T::U8, 1, "correctMusicWithCir"},
    {5784, T::F64, 4.0, "cirValueAboveNoiseDBThr"},
    {5792, T::F64, 0.0, "cirDistFromMaxDBThr"},
    {5800, T::F64, 0.0, "cirCorrectionOffset"},
    {5808, T::U8, 0, "estimateFilterChannel"},
    {5810, T::U16, 0, "maxProcForCal"},
    {5816, T::F64, 0.5, "trueCalibrationDistance"},
};

constexpr size_t kCalFilePathOffset = 394;
constexpr size_t kCalFilePathLen = 206;
constexpr size_t kCalTableOffset = 600;
constexpr size_t kCalTableLen = 79 * 4 * 16;

TEST(ConfigOptsDefaults, EveryFieldAtItsOffset) {
    EXPECT_EQ(sizeof(ConfigOpts), 5824u);
    for (const DefaultAt &d : kDefaults) {
        EXPECT_EQ(cfgtest::fieldAt(constOpts, d.offset, d.type), d.value)
            << d.name << " at offset " << d.offset;
    }
}

TEST(ConfigOptsDefaults, CalibrationPathAndTable) {
    const char *bytes = reinterpret_cast<const char *>(&constOpts);
    const std::string expected = "/data/vendor/bluetooth/tarn_rtp_cal.csv";
    EXPECT_EQ(std::string(bytes + kCalFilePathOffset), expected);
    for (size_t i = expected.size(); i < kCalFilePathLen; ++i)
        EXPECT_EQ(bytes[kCalFilePathOffset + i], 0) << "calFilePath byte " << i;
    for (size_t i = 0; i < kCalTableLen; ++i)
        ASSERT_EQ(bytes[kCalTableOffset + i], 0) << "calTable byte " << i;
    // Entry (channel 2, path 3) lies at 600 + 64*2 + 16*3.
    EXPECT_EQ(reinterpret_cast<const char *>(&constOpts.calTable[2][3]) - bytes,
              600 + 64 * 2 + 16 * 3);
}

TEST(ConfigOptsDefaults, PaddingIsZero) {
    std::vector<bool> covered(sizeof(ConfigOpts), false);
    for (const DefaultAt &d : kDefaults)
        for (size_t i = 0; i < cfgtest::widthOf(d.type); ++i) covered[d.offset + i] = true;
    for (size_t i = 0; i < kCalFilePathLen; ++i) covered[kCalFilePathOffset + i] = true;
    for (size_t i = 0; i < kCalTableLen; ++i) covered[kCalTableOffset + i] = true;

    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(&constOpts);
    size_t padding = 0;
    for (size_t i = 0; i < covered.size(); ++i) {
        if (covered[i]) continue;
        ++padding;
        EXPECT_EQ(bytes[i], 0) << "padding byte " << i;
    }
    // 9..15, 35, 42..47, 59..63, 113..119, 185, 249..255, 293, 298..303,
    // 316..319, 329..335, 353..359, 372..375, 5658..5663, 5691, 5694..5695,
    // 5746..5747, 5759, 5764..5767, 5777..5783, 5809, 5812..5815.
    EXPECT_EQ(padding, 7u + 1 + 6 + 5 + 7 + 1 + 7 + 1 + 6 + 4 + 7 + 7 + 4 + 6 + 1 + 2 + 2 + 1 + 4 +
                           7 + 1 + 4);
}

TEST(SetDefaultConfigOpts, CopiesEveryByteAndDumps) {
    tarn_test::LogCapture cap(2);
    ConfigOpts dst;
    std::memset(static_cast<void *>(&dst), 0xA5, sizeof dst);
    setDefaultConfigOpts(&dst);
    EXPECT_EQ(std::memcmp(&dst, &constOpts, sizeof dst), 0);
    ASSERT_FALSE(cap.texts().empty());
    EXPECT_EQ(cap.texts()[0], "Set default configurations.\n");
    // Then the dump of the record it set: the defaults, option by option.
    const Values dumped = cap.values();
    cap.clear();
    print_config_opts(&constOpts);
    EXPECT_EQ(dumped, cap.values());
    EXPECT_EQ(dumped.size(), 72u);
}

TEST(SetDefaultConfigOpts, NullIsLoggedAsError) {
    tarn_test::LogCapture cap(1);
    setDefaultConfigOpts(nullptr);
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Failed to set default configurations.\n"});
}

TEST(PrintConfigOpts, DefaultsDumpLineByLine) {
    tarn_test::LogCapture cap(2);
    print_config_opts(&constOpts);
    // Name and value of each option, in dump order.
    const Values expected = fieldsOf(
        "quant 0  qWrap 65536  distSF 1000  calDistOffset 0  chMax 79  pctPrior 5 "
        "pctInvert 0  pctMode 0  pctMask 0  phEnable 0  phConfFac 2  muOrdSetLen 6 "
        "muOrdSet[0] 2  muOrdSet[1] 4  muOrdSet[2] 6  muOrdSet[3] 7  muOrdSet[4] 8 "
        "muOrdSet[5] 9  muCovSetLen 6  muCovSet[0] 4  muCovSet[1] 8  muCovSet[2] 12 "
        "muCovSet[3] 14  muCovSet[4] 16  muCovSet[5] 18  muConfFacLen 2  muConfFac[0] 35 "
        "muConfFac[1] 0.5  disCal[0] 0  disCal[1] 0  disCal[2] 0  disCal[3] 0  muMaxEigs 1 "
        "muMagThr 0.85  fiAddGconf 100  fiMaxPeriod 4  fiMinConf 15  fiMaxDelta 15 "
        "fiConfDecay 0.2  fiPkConfThr 0  fiExclFrac 0  fiAvgPwr 2  fiVelAvg 0  pctQscale 1 "
        "velocityBasedUpdate 0  fiDistanceCombiningMethod 3  fiUsePrevDistFilter 1 "
        "sol 299700000  phaseRotationOffset 15  phDistFrac 0.7 "
        "minPhaseBasedFilterPhaseDist 18  phaseMusicFilter 1  priorProximityMusicFilter 0 "
        "discardNegativeMusicValues 1  muOffset -3  smallerMusicOrderFilterOffsetLower 15 "
        "smallerMusicOrderFilterOffsetUpper 7  rttFilterType 4  rttDisCalAA 0 "
        "rttDisCalSS 0  rttDisCalRS 0  logLevel 0  useProductChannelDist 1  EnableCal 0 "
        "rtpFilterType 3  rtpSlidingWindowSize 10  rtpSlidingWindowFrameSize 40 "
        "rtpWithinRttThresh 30  slidingWindowMaxPeriod 3  rttFiMaxPeriod 4 "
        "filterMusicOrdersMethod 0  numFilterAntennaMusicStdDev 0");
    EXPECT_EQ(cap.values(), expected);
}

TEST(PrintConfigOpts, WritesAtLevelTwoOnly) {
    tarn_test::LogCapture cap(1);
    print_config_opts(&constOpts);
    EXPECT_TRUE(cap.texts().empty());
}

TEST(PrintConfigOpts, SignedAndOversizedValues) {
    ConfigOpts o = cfgtest::defaults();
    o.fiAddGconf = -5;
    o.muOrdSetLen = 200;  // a host record may carry anything: only 7 entries exist
    o.muConfFacLen = 0;
    tarn_test::LogCapture cap(2);
    print_config_opts(&o);
    const Values v = cap.values();
    for (const Field &f : {Field("fiAddGconf", -5), Field("muOrdSetLen", 200),
                           Field("muOrdSet[6]", 0), Field("muConfFacLen", 0)})
        EXPECT_EQ(std::count(v.begin(), v.end(), f), 1) << f.first;
    EXPECT_FALSE(cap.containsFragment("muOrdSet[7]"));
    EXPECT_FALSE(cap.containsFragment("muConfFac[0]"));
}

// Every real field infinite or NaN: the dump converts nothing out of range
// (the sanitizer build fails on such a conversion).
TEST(PrintConfigOpts, NonFiniteRealsDumpWithoutUndefinedConversions) {
    for (double v : {HUGE_VAL, -HUGE_VAL, double{NAN}}) {
        ConfigOpts o = cfgtest::defaults();
        o.maxAllowedPhFitError = v;
        o.lowerBoundCoef = v;
        o.phaseConfidenceThresh = v;
        o.calDistOffset = v;
        tarn_test::LogCapture cap(2);
        print_config_opts(&o);
        EXPECT_TRUE(cap.containsFragment("calDistOffset:"));
    }
}

}  // namespace
