// Configuration file: keys, value forms, repairs, line handling, failures.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "config_test_util.h"
#include "log_capture.h"
#include "tarn_config.h"

using cfgtest::defaults;
using cfgtest::fieldAt;
using cfgtest::parseText;
using cfgtest::T;

namespace {

enum class F { Integer, Boolean, Real, RealDigitsInt, IntOrReal, LenientReal };

struct KeyAt {
    const char *key;
    size_t offset;
    T type;
    F form;
};

// Every key, in the order the reader tests them, with its field's offset.
const KeyAt kKeys[] = {
    {"QUANT", 0, T::U8, F::Boolean},
    {"Q_WRAP", 188, T::U32, F::Integer},
    {"DISTSF", 186, T::U16, F::Integer},
    {"DIS_CAL_1", 64, T::F64, F::RealDigitsInt},
    {"DIS_CAL_2", 72, T::F64, F::RealDigitsInt},
    {"DIS_CAL_3", 80, T::F64, F::RealDigitsInt},
    {"DIS_CAL_4", 88, T::F64, F::RealDigitsInt},
    {"PhaseRotationOffset", 240, T::F64, F::RealDigitsInt},
    {"CAL_DIST_OFFSET", 96, T::F64, F::RealDigitsInt},
    {"CH_MAX", 58, T::U8, F::Integer},
    {"LOG_LEVEL", 288, T::U8, F::Integer},
    {"PctQscale", 3, T::U8, F::Boolean},
    {"VelocityBasedUpdate", 4, T::U8, F::Boolean},
    {"PctPrior", 5, T::U8, F::Integer},
    {"PctMode", 6, T::U8, F::Integer},
    {"PctInvert", 2, T::U8, F::Boolean},
    {"PctMask", 7, T::U8, F::Integer},
    {"PhEnable", 1, T::U8, F::Boolean},
    {"PhConfFac", 8, T::U8, F::Integer},
    {"MuMaxEigs", 104, T::F64, F::LenientReal},
    {"FiAddGconf", 34, T::I8, F::Integer},
    {"FiMaxPeriod", 36, T::U32, F::Integer},
    {"FiMinConf", 40, T::U8, F::Integer},
    {"FiMaxDelta", 41, T::U8, F::Integer},
    {"FiAvgPwr", 48, T::F64, F::Real},
    {"FiDistanceCombiningMethod", 56, T::U8, F::Integer},
    {"MuMagThr", 224, T::F64, F::Real},
    {"FiConfDecay", 192, T::F64, F::Real},
    {"FiPkConfThr", 200, T::F64, F::Real},
    {"FiExclFrac", 208, T::F64, F::Real},
    {"FiVelAvg", 216, T::F64, F::Real},
    {"SOL", 232, T::F64, F::Real},
    {"RttFilterType", 248, T::U8, F::Integer},
    {"RttDisCalAA", 256, T::F64, F::Real},
    {"ReturnRtpWithinRttThresh", 328, T::U8, F::Integer},
    {"RtpWithinRttThresh", 320, T::F64, F::RealDigitsInt},
    {"RttDisCalSS", 264, T::F64, F::Real},
    {"RttDisCalRS", 272, T::F64, F::Real},
    {"PhDistFrac", 16, T::F64, F::Real},
    {"MinPhaseBasedFilterPhaseDist", 24, T::F64, F::Real},
    {"PhaseMusicFilter", 32, T::U8, F::Integer},
    {"PriorProximityMusicFilter", 33, T::U8, F::Integer},
    {"FiUsePrevDistFilter", 57, T::U8, F::Integer},
    {"MuOffset", 160, T::F64, F::Real},
    {"UseProductChannelDist", 290, T::U8, F::Integer},
    {"DiscardNegativeMusicValues", 289, T::U8, F::Integer},
    {"EnableCal", 291, T::U8, F::Integer},
    {"RtpSlidingWindowSize", 294, T::U16, F::Integer},
    {"RtpSlidingWindowFrameSize", 296, T::U16, F::Integer},
    {"RttSlidingWindowSize", 312, T::U16, F::Integer},
    {"RttSlidingWindowFrameSize", 314, T::U16, F::Integer},
    {"SlidingWindowMaxPeriod", 304, T::F64, F::Real},
    {"RttFiMaxPeriod", 280, T::F64, F::Real},
    {"DisableAlignEventPhase", 369, T::U8, F::Integer},
    {"DiscardZeroPCT", 370, T::U8, F::Integer},
    {"SmallerMusicOrderFilterOffsetLower", 168, T::F64, F::Real},
    {"SmallerMusicOrderFilterOffsetUpper", 176, T::F64, F::Real},
    {"UseChannelCenterForBoundMusicEst", 371, T::U8, F::Integer},
    {"Use3OrdersForCal", 392, T::U8, F::Integer},
    {"applyEstimatedReverseChannel", 393, T::U8, F::Integer},
    {"minAllowedGconf", 5656, T::U8, F::IntOrReal},
    {"filterBasedOnPhFit", 5657, T::U8, F::Integer},
    {"maxAllowedPhFitError", 5664, T::F64, F::RealDigitsInt},
    {"chanCenterUBOffset", 5672, T::F64, F::RealDigitsInt},
    {"chanCenterLBOffset", 5680, T::F64, F::RealDigitsInt},
    {"percentile4AP", 5688, T::U8, F::Integer},
    {"percentile3AP", 5689, T::U8, F::Integer},
    {"percentile2AP", 5690, T::U8, F::Integer},
    {"phaseConfidenceThresh", 336, T::F64, F::RealDigitsInt},
    {"phaseEstimateWindow", 344, T::F64, F::RealDigitsInt},
    {"numFilterAntennaMusicStdDev", 352, T::U8, F::IntOrReal},
    {"keepAntPathWithStdWithinThreh", 360, T::F64, F::RealDigitsInt},
    {"filterMusicOrdersMethod", 368, T::U8, F::Integer},
    {"lowerBoundCoef", 376, T::F64, F::RealDigitsInt},
    {"ifftSize", 5692, T::U16, F::Integer},
    {"cirOffset", 5696, T::F64, F::RealDigitsInt},
    {"cirPeakRatio", 5704, T::F64, F::RealDigitsInt},
    {"minCirMaxToMeanLeveldB", 5712, T::F64, F::RealDigitsInt},
    {"minCirMaxToMedianLeveldB", 5720, T::F64, F::RealDigitsInt},
    {"maxAllowedDS", 5728, T::F64, F::RealDigitsInt},
    {"cirMaxAllowedTapsAbovePeakRatio", 5736, T::F64, F::RealDigitsInt},
    {"filterBasedOnCIR", 5744, T::U8, F::Integer},
    {"discardUnavailableQualityTones", 5745, T::U8, F::Integer},
    {"APinValidCounterMax", 5748, T::I32, F::Integer},
    {"inValidCounterMax", 5752, T::I32, F::Integer},
    {"cirMaxAllowedTapsBeforeMaxPeak", 5756, T::U8, F::Integer},
    {"dropNegativeRTTTof", 5757, T::U8, F::Integer},
    {"dropNegativeRTTDistances", 5758, T::U8, F::Integer},
    {"minRttStepsForDistEstimation", 5760, T::I32, F::Integer},
    {"rttTofUpperBond", 5768, T::F64, F::RealDigitsInt},
    {"correctMusicWithCir", 5776, T::U8, F::Integer},
    {"cirValueAboveNoiseDBThr", 5784, T::F64, F::RealDigitsInt},
    {"cirDistFromMaxDBThr", 5792, T::F64, F::RealDigitsInt},
    {"cirCorrectionOffset", 5800, T::F64, F::RealDigitsInt},
    {"estimateFilterChannel", 5808, T::U8, F::Integer},
    {"maxProcForCal", 5810, T::U16, F::Integer},
    {"trueCalibrationDistance", 5816, T::F64, F::RealDigitsInt},
    {"muConfFac0", 120, T::F64, F::RealDigitsInt},
    {"muConfFac1", 128, T::F64, F::RealDigitsInt},
};

struct Probe {
    std::string value;
    double expected;
};

// A value of the key's form that the reader must store, chosen so that the
// repairs keep it and so that a wrong form gives a different result.
Probe storingProbe(const KeyAt &k, const ConfigOpts &base) {
    const std::string key = k.key;
    switch (k.form) {
        case F::Integer:
            if (key == "DISTSF") return {"1000", 1000};
            if (key == "CH_MAX") return {"79", 79};
            if (key == "LOG_LEVEL" || key == "PctPrior") return {"3", 3};
            if (key == "FiDistanceCombiningMethod") return {"2", 2};
            if (key == "ifftSize") return {"1024", 1024};
            return {"7", 7};
        case F::Boolean:
            // 256 has zero low bits: a boolean stores 0 for it.
            return fieldAt(base, k.offset, k.type) == 0 ? Probe{"2", 1} : Probe{"256", 0};
        case F::Real:
            return {"4000000000", 4000000000.0};
        case F::RealDigitsInt:
            return {"4000000000", 2147483647.0};
        case F::IntOrReal:
            return {"70.9", 70};
        case F::LenientReal:
            return {"abc", 0.0};
    }
    return {};
}

// A second value that tells the forms apart; NAN as expected means "unchanged".
Probe formProbe(const KeyAt &k) {
    switch (k.form) {
        case F::Integer:
            return {"7.5", NAN};
        case F::Boolean:
            return {"1.0", NAN};
        case F::Real:
            return {"abc", NAN};
        case F::RealDigitsInt:
            return {"-2.5", -2.5};
        case F::IntOrReal:
            return {"300", 44};
        case F::LenientReal:
            return {"7abc", 7.0};
    }
    return {};
}

// A record on which the file can visibly set the key: fields whose only
// valid value is the default start off invalid.
ConfigOpts baseFor(const KeyAt &k) {
    ConfigOpts o = defaults();
    if (std::string(k.key) == "DISTSF") o.distSF = 5;
    if (std::string(k.key) == "CH_MAX") o.chMax = 5;
    return o;
}

void expectOnlyFieldChanged(const ConfigOpts &got, const ConfigOpts &ref, const KeyAt &k,
                            const std::string &what) {
    const unsigned char *a = reinterpret_cast<const unsigned char *>(&got);
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&ref);
    for (size_t i = 0; i < sizeof(ConfigOpts); ++i) {
        if (i >= k.offset && i < k.offset + cfgtest::widthOf(k.type)) continue;
        ASSERT_EQ(a[i], b[i]) << what << ": byte " << i << " changed";
    }
}

TEST(ConfigFileKeys, EveryKeyReachesItsFieldWithItsForm) {
    ASSERT_EQ(sizeof kKeys / sizeof kKeys[0], 99u);
    for (const KeyAt &k : kKeys) {
        const ConfigOpts base = baseFor(k);
        ConfigOpts ref = base;  // what a file without this key leaves
        ASSERT_EQ(parseText("", &ref), 0);

        const Probe probes[] = {storingProbe(k, base), formProbe(k)};
        for (const Probe &p : probes) {
            const std::string line = std::string(k.key) + "=" + p.value + "\n";
            tarn_test::LogCapture cap(1);
            ConfigOpts got = base;
            ASSERT_EQ(parseText(line, &got), 0) << line;
            const double want =
                std::isnan(p.expected) ? fieldAt(ref, k.offset, k.type) : p.expected;
            EXPECT_EQ(fieldAt(got, k.offset, k.type), want) << line;
            if (&p == &probes[0]) {  // a stored value is not repaired away
                EXPECT_FALSE(cap.containsFragment(std::string("Incorrect ") + k.key + ".")) << line;
            }
            expectOnlyFieldChanged(got, ref, k, line);
        }
    }
}

TEST(ConfigFileKeys, MatchingIsByCaseSensitivePrefix) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("QUANT = 1\nPctMaskExtra=7\n PhEnable=1\nphconffac=9\n", &o), 0);
    EXPECT_EQ(o.quant, 1);
    EXPECT_EQ(o.pctMask, 7);
    EXPECT_EQ(o.phEnable, 0);   // blank before the name: a comment
    EXPECT_EQ(o.phConfFac, 2);  // wrong case
}

TEST(ConfigFileKeys, LongerNamesSharingAStemReachTheirOwnFields) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("RtpWithinRttThresh=12\nReturnRtpWithinRttThresh=0\n"
                        "RttSlidingWindowFrameSize=50\nRttSlidingWindowSize=5\n",
                        &o),
              0);
    EXPECT_EQ(o.rtpWithinRttThresh, 12.0);
    EXPECT_EQ(o.returnRtpWithinRttThresh, 0);
    EXPECT_EQ(o.rttSlidingWindowFrameSize, 50);
    EXPECT_EQ(o.rttSlidingWindowSize, 5);
}

TEST(ConfigFileValues, IntegersAndBooleans) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("QUANT=2\nPctInvert=256\nPctPrior=-1\nPctMask=+3\n"
                        "APinValidCounterMax=99999999999\nmaxProcForCal=65537\n"
                        "FiAddGconf=200\n",
                        &o),
              0);
    EXPECT_EQ(o.quant, 1);
    EXPECT_EQ(o.pctInvert, 0);
    EXPECT_EQ(o.pctPrior, 5);  // not digits: unchanged
    EXPECT_EQ(o.pctMask, 0);   // a sign is not a digit
    EXPECT_EQ(o.APinValidCounterMax, 2147483647);
    EXPECT_EQ(o.maxProcForCal, 1);  // low 16 bits
    EXPECT_EQ(o.fiAddGconf, -56);   // low 8 bits, signed field
}

TEST(ConfigFileValues, Reals) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("SOL=3e8\nDIS_CAL_1=4000000000\nDIS_CAL_2=-1.25\nMuOffset=1e\n"
                        "RttDisCalAA=.5\nFiVelAvg=0x1p-3\nPhDistFrac=1,5\n",
                        &o),
              0);
    EXPECT_EQ(o.sol, 300000000.0);
    EXPECT_EQ(o.disCal[0], 2147483647.0);
    EXPECT_EQ(o.disCal[1], -1.25);
    EXPECT_EQ(o.muOffset, -3.0);  // incomplete exponent
    EXPECT_EQ(o.rttDisCalAA, 0.5);
    EXPECT_EQ(o.fiVelAvg, 0.125);
    EXPECT_EQ(o.phDistFrac, 0.7);  // a comma is no decimal separator here

    ConfigOpts p = defaults();
    ASSERT_EQ(parseText("SOL=3e8x\nSOL=4000000000x\n", &p), 0);
    EXPECT_EQ(p.sol, 299700000.0);
    ASSERT_EQ(parseText("SOL=4000000000\n", &p), 0);
    EXPECT_EQ(p.sol, 4000000000.0);
}

TEST(ConfigFileValues, IntegerOrRealTruncates) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("minAllowedGconf=70.9\nnumFilterAntennaMusicStdDev=2.5\n", &o), 0);
    EXPECT_EQ(o.minAllowedGconf, 70);
    EXPECT_EQ(o.numFilterAntennaMusicStdDev, 2);
    ASSERT_EQ(parseText("minAllowedGconf=300\n", &o), 0);
    EXPECT_EQ(o.minAllowedGconf, 44);
    // Out-of-range reals saturate like the 32-bit target's conversion.
    ASSERT_EQ(parseText("minAllowedGconf=-5.5\n", &o), 0);
    EXPECT_EQ(o.minAllowedGconf, 0);
    ASSERT_EQ(parseText("minAllowedGconf=1e10\n", &o), 0);
    EXPECT_EQ(o.minAllowedGconf, 255);
    ASSERT_EQ(parseText("minAllowedGconf=nan\n", &o), 0);
    EXPECT_EQ(o.minAllowedGconf, 0);
}

TEST(ConfigFileValues, LenientReal) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("MuMaxEigs=2.5\n", &o), 0);
    EXPECT_EQ(o.muMaxEigs, 2.5);
    ASSERT_EQ(parseText("MuMaxEigs=4x\n", &o), 0);
    EXPECT_EQ(o.muMaxEigs, 4.0);
    ASSERT_EQ(parseText("MuMaxEigs=abc\n", &o), 0);
    EXPECT_EQ(o.muMaxEigs, 0.0);
    ASSERT_EQ(parseText("MuMaxEigs=nan\n", &o), 0);  // NaN is not out of range
    EXPECT_TRUE(std::isnan(o.muMaxEigs));
}

TEST(ConfigFileLines, LeftoverTextIsReused) {
    ConfigOpts o = defaults();
    // No "=": the key is the whole line and the value is the previous one.
    ASSERT_EQ(parseText("PctMask=7\nFiMinConf\n", &o), 0);
    EXPECT_EQ(o.pctMask, 7);
    EXPECT_EQ(o.fiMinConf, 7);

    // Nothing after "=": the previous value again.
    o = defaults();
    ASSERT_EQ(parseText("PctMask=3\nFiMaxDelta=   \n", &o), 0);
    EXPECT_EQ(o.fiMaxDelta, 3);

    // A line starting with "=" converts nothing: the previous line applies again.
    o = defaults();
    ASSERT_EQ(parseText("PctMask=4\nPctMask=5x\n=9\n", &o), 0);
    EXPECT_EQ(o.pctMask, 4);

    // Before any value was read the value text is empty, which stores 0.
    o = defaults();
    ASSERT_EQ(parseText("FiAvgPwr=\nPhConfFac\n", &o), 0);
    EXPECT_EQ(o.fiAvgPwr, 0.0);
    EXPECT_EQ(o.phConfFac, 0);
}

TEST(ConfigFileLines, BlanksAndLineEnds) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("PctMask=\t 7 trailing words\r\nPctPrior=3\r\nPhConfFac=4", &o), 0);
    EXPECT_EQ(o.pctMask, 7);
    EXPECT_EQ(o.pctPrior, 3);
    EXPECT_EQ(o.phConfFac, 4);  // last line without a line end
}

TEST(ConfigFileLines, LastOccurrenceWins) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText("PctMask=1\nPctMask=2\nPctMask=x\n", &o), 0);
    EXPECT_EQ(o.pctMask, 2);
}

TEST(ConfigFileLines, LongLinesAreReadIn512CharacterPieces) {
    // The first piece ends exactly at 512 characters, so the second piece
    // starts with the next key.
    std::string line = "PctPrior=3";
    line += std::string(512 - line.size(), ' ');
    ConfigOpts o = defaults();
    ASSERT_EQ(parseText(line + "PctMask=7\n", &o), 0);
    EXPECT_EQ(o.pctPrior, 3);
    EXPECT_EQ(o.pctMask, 7);

    // One character more and the key is cut: "ctMask=7" matches nothing.
    o = defaults();
    ASSERT_EQ(parseText(line + " PctMask=7\n", &o), 0);
    EXPECT_EQ(o.pctPrior, 3);
    EXPECT_EQ(o.pctMask, 0);
}

TEST(ConfigFileLines, OversizedTextsAreIgnored) {
    ConfigOpts o = defaults();
    const std::string longKey = "PctMask" + std::string(300, 'x') + "=7\n";
    const std::string longValue = "PhConfFac=" + std::string(300, '1') + "\n";
    ASSERT_EQ(parseText("PctMask=3\n" + longKey + longValue + "FiMinConf\n", &o), 0);
    EXPECT_EQ(o.pctMask, 3);
    EXPECT_EQ(o.phConfFac, 2);
    // The ignored lines left the buffers alone: the bare key reuses "3".
    EXPECT_EQ(o.fiMinConf, 3);

    // 255 characters still fit.
    o = defaults();
    const std::string value255 = std::string(254, '0') + "9";
    ASSERT_EQ(parseText("PhConfFac=" + value255 + "\n", &o), 0);
    EXPECT_EQ(o.phConfFac, 9);
}

struct RepairCase {
    const char *text;
    size_t offset;
    T type;
    double expected;
    const char *incorrect;  // nullptr: only the level-3 message
    const char *setting;
};

const RepairCase kRepairs[] = {
    {"Q_WRAP=0\n", 188, T::U32, 65536, "Incorrect Q_WRAP.\n", "Setting default value of Q_WRAP.\n"},
    {"Q_WRAP=65537\n", 188, T::U32, 65536, "Incorrect Q_WRAP.\n",
     "Setting default value of Q_WRAP.\n"},
    {"DISTSF=999\n", 186, T::U16, 1000, "Incorrect DISTSF.\n",
     "Setting default value of DISTSF.\n"},
    {"CH_MAX=80\n", 58, T::U8, 79, "Incorrect CH_MAX.\n", "Setting default value of CH_MAX.\n"},
    {"LOG_LEVEL=5\n", 288, T::U8, 0, "Incorrect LOG_LEVEL.\n",
     "Setting default value of LOG_LEVEL.\n"},
    {"PctPrior=9\n", 5, T::U8, 5, "Incorrect PctPrior.\n", "Setting default value of PctPrior.\n"},
    {"PctMask=11\n", 7, T::U8, 0, "Incorrect PctMask.\n", "Setting default value of PctMask.\n"},
    {"PhConfFac=11\n", 8, T::U8, 2, "Incorrect PhConfFac.\n",
     "Setting default value of PhConfFac.\n"},
    {"MuMaxEigs=-0.5\n", 104, T::F64, 1.0, "Incorrect MuMaxEigs.\n",
     "Setting default value of MuMaxEigs.\n"},
    {"MuMaxEigs=10.5\n", 104, T::F64, 1.0, "Incorrect MuMaxEigs.\n",
     "Setting default value of MuMaxEigs.\n"},
    {"FiAddGconf=256\n", 34, T::I8, 100, "Incorrect FiAddGconf.\n",
     "Setting default value of FiAddGconf.\n"},
    {"FiMaxPeriod=11\n", 36, T::U32, 4, "Incorrect FiMaxPeriod.\n",
     "Setting default value of FiMaxPeriod.\n"},
    {"FiMaxPeriod=4294967297\n", 36, T::U32, 4, "Incorrect FiMaxPeriod.\n",
     "Setting default value of FiMaxPeriod.\n"},
    {"FiAvgPwr=3\n", 48, T::F64, 2.0, "Incorrect FiAvgPwr.\n",
     "Setting default value of FiAvgPwr.\n"},
    {"FiDistanceCombiningMethod=4\n", 56, T::U8, 3, "Incorrect FiDistanceCombiningMethod. \n",
     "Setting default value of FiDistanceCombiningMethod.\n"},
    {"FiConfDecay=0.20000000298023224\n", 192, T::F64, 0.2, nullptr,
     "Setting default value of FiConfDecay.\n"},
    {"FiPkConfThr=0.5\n", 200, T::F64, 0.0, nullptr, "Setting default value of FiPkConfThr.\n"},
    {"FiExclFrac=0.30000001192092896\n", 208, T::F64, 0.0, nullptr,
     "Setting default value of FiExclFrac.\n"},
    {"FiVelAvg=0.5\n", 216, T::F64, 0.0, nullptr, "Setting default value of FiVelAvg.\n"},
    // Limits of the estimators' fixed arrays.
    {"RtpSlidingWindowSize=21\n", 294, T::U16, 10, "Incorrect RtpSlidingWindowSize.\n",
     "Setting default value of RtpSlidingWindowSize.\n"},
    {"RtpSlidingWindowFrameSize=101\n", 296, T::U16, 40, "Incorrect RtpSlidingWindowFrameSize.\n",
     "Setting default value of RtpSlidingWindowFrameSize.\n"},
    {"RttSlidingWindowSize=65535\n", 312, T::U16, 10, "Incorrect RttSlidingWindowSize.\n",
     "Setting default value of RttSlidingWindowSize.\n"},
    {"RttSlidingWindowFrameSize=101\n", 314, T::U16, 40, "Incorrect RttSlidingWindowFrameSize.\n",
     "Setting default value of RttSlidingWindowFrameSize.\n"},
    {"ifftSize=0\n", 5692, T::U16, 512, "Incorrect ifftSize.\n",
     "Setting default value of ifftSize.\n"},
    {"ifftSize=1000\n", 5692, T::U16, 512, "Incorrect ifftSize.\n",
     "Setting default value of ifftSize.\n"},
    {"ifftSize=32768\n", 5692, T::U16, 512, "Incorrect ifftSize.\n",
     "Setting default value of ifftSize.\n"},
};

TEST(ConfigFileRepairs, OutOfRangeValuesGetTheirDefaultWithMessages) {
    for (const RepairCase &c : kRepairs) {
        ConfigOpts o = defaults();
        {
            tarn_test::LogCapture cap(3);
            ASSERT_EQ(parseText(c.text, &o), 0) << c.text;
            EXPECT_EQ(fieldAt(o, c.offset, c.type), c.expected) << c.text;
            const auto texts = cap.texts();
            const auto pos = [&](const char *m) {
                for (size_t i = 0; i < texts.size(); ++i)
                    if (texts[i] == m) return static_cast<long>(i);
                return -1L;
            };
            EXPECT_EQ(cap.count(c.setting), 1) << c.text;
            if (c.incorrect != nullptr) {
                EXPECT_EQ(cap.count(c.incorrect), 1) << c.text;
                EXPECT_LT(pos(c.incorrect), pos(c.setting)) << c.text;
            }
        }
        // Level 1 for "Incorrect", level 3 for "Setting default value".
        tarn_test::LogCapture cap(2);
        ConfigOpts again = defaults();
        ASSERT_EQ(parseText(c.text, &again), 0);
        EXPECT_EQ(cap.count(c.setting), 0) << c.text;
        if (c.incorrect != nullptr) {
            EXPECT_EQ(cap.count(c.incorrect), 1) << c.text;
        }
        tarn_test::LogCapture quiet(0);
        ASSERT_EQ(parseText(c.text, &again), 0);
        EXPECT_TRUE(quiet.texts().empty()) << c.text;
    }
}

TEST(ConfigFileRepairs, ValuesAtTheLimitsStay) {
    ConfigOpts o = defaults();
    tarn_test::LogCapture cap(3);
    ASSERT_EQ(parseText("Q_WRAP=65536\nLOG_LEVEL=4\nPctPrior=5\nMuMaxEigs=10\nFiMinConf=10\n"
                        "FiMaxDelta=0\nFiAvgPwr=3.5\nFiConfDecay=0.2\nFiExclFrac=0.3\n"
                        "RtpSlidingWindowSize=20\nRttSlidingWindowFrameSize=100\nifftSize=16384\n",
                        &o),
              0);
    EXPECT_EQ(o.qWrap, 65536u);
    EXPECT_EQ(o.logLevel, 4);
    EXPECT_EQ(o.pctPrior, 5);
    EXPECT_EQ(o.muMaxEigs, 10.0);
    EXPECT_EQ(o.fiMinConf, 10);
    EXPECT_EQ(o.fiMaxDelta, 0);
    EXPECT_EQ(o.fiAvgPwr, 3.5);
    EXPECT_EQ(o.fiConfDecay, 0.2);
    EXPECT_EQ(o.fiExclFrac, 0.3);
    EXPECT_EQ(o.rtpSlidingWindowSize, 20);
    EXPECT_EQ(o.rttSlidingWindowFrameSize, 100);
    EXPECT_EQ(o.ifftSize, 16384);
    EXPECT_FALSE(cap.containsFragment("Incorrect"));
    EXPECT_FALSE(cap.containsFragment("Setting default value"));
}

TEST(ConfigFileRepairs, EmptyFileStillRepairsTheFilterLimits) {
    ConfigOpts o = defaults();
    tarn_test::LogCapture cap(3);
    ASSERT_EQ(parseText("", &o), 0);
    EXPECT_EQ(std::memcmp(&o, &constOpts, sizeof o), 0);
    EXPECT_EQ(cap.texts(), (std::vector<std::string>{
                               "Incorrect FiMinConf.\n",
                               "Setting default value of FiMinConf.\n",
                               "Incorrect FiMaxDelta.\n",
                               "Setting default value of FiMaxDelta.\n",
                           }));
    // Anything from 11 to 255 ends as the default 15.
    ASSERT_EQ(parseText("FiMinConf=200\n", &o), 0);
    EXPECT_EQ(o.fiMinConf, 15);
}

TEST(ConfigFileRepairs, ChecksRunInOrderOnTheWholeRecord) {
    ConfigOpts o = defaults();
    o.pctMask = 50;     // not from the file, still checked
    o.muOrdSetLen = 9;  // more entries than the list has
    o.muCovSetLen = 8;
    o.muConfFacLen = 4;
    tarn_test::LogCapture cap(1);
    ASSERT_EQ(parseText("CH_MAX=1\nQ_WRAP=0\n", &o), 0);
    EXPECT_EQ(o.pctMask, 0);
    EXPECT_EQ(o.muOrdSetLen, 6);
    EXPECT_EQ(o.muCovSetLen, 6);
    EXPECT_EQ(o.muConfFacLen, 2);
    EXPECT_EQ(cap.texts(), (std::vector<std::string>{
                               "Incorrect Q_WRAP.\n",
                               "Incorrect CH_MAX.\n",
                               "Incorrect PctMask.\n",
                               "Incorrect FiMinConf.\n",
                               "Incorrect FiMaxDelta.\n",
                               "Incorrect muOrdSetLen.\n",
                               "Incorrect muCovSetLen.\n",
                               "Incorrect muConfFacLen.\n",
                           }));
}

TEST(ConfigFileFailures, UnusablePathsLeaveTheRecordAlone) {
    const ConfigOpts before = [] {
        ConfigOpts o = defaults();
        o.pctMask = 42;  // would be repaired by any successful parse
        return o;
    }();
    ConfigOpts o = before;
    {
        tarn_test::LogCapture cap(1);
        EXPECT_EQ(parseConfigFile("", &o), -1);
        EXPECT_EQ(parseConfigFile(nullptr, &o), -1);
        EXPECT_EQ(cap.count("Invalid configuration file.\n"), 2);
    }
    {
        // No NUL within the first 1024 bytes.
        const std::string unterminated(2000, 'a');
        tarn_test::LogCapture cap(1);
        EXPECT_EQ(parseConfigFile(unterminated.c_str(), &o), -1);
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Invalid configuration file.\n"});
    }
    {
        // 1023 characters is a usable path; the file just does not exist.
        const std::string longest = "/" + std::string(1022, 'a');
        tarn_test::LogCapture cap(1);
        EXPECT_EQ(parseConfigFile(longest.c_str(), &o), -1);
        EXPECT_FALSE(cap.contains("Invalid configuration file.\n"));
    }
    {
        const std::string missing = "/nonexistent-dir/cs_config.ini";
        tarn_test::LogCapture cap(1);
        EXPECT_EQ(parseConfigFile(missing.c_str(), &o), -1);
        EXPECT_EQ(cap.texts(), std::vector<std::string>{"Could not open file: " + missing + "\n"});
    }
    {
        // A directory opens but cannot be read.
        EXPECT_EQ(parseConfigFile(TARN_TEST_DATA_DIR, &o), -1);
    }
    EXPECT_EQ(std::memcmp(&o, &before, sizeof o), 0);
}

TEST(ConfigFileFailures, SampleFileFromDisk) {
    ConfigOpts o = defaults();
    ASSERT_EQ(parseConfigFile(TARN_TEST_DATA_DIR "/config/cs_config_sample.ini", &o), 0);
    EXPECT_EQ(o.logLevel, 2);
    EXPECT_EQ(o.fiMinConf, 10);
    EXPECT_EQ(o.fiMaxDelta, 8);
    EXPECT_EQ(o.sol, 299792458.0);
    EXPECT_EQ(o.disCal[1], 0.25);
    EXPECT_EQ(o.applyEstimatedReverseChannel, 1);
    EXPECT_EQ(o.muConfFac[1], 0.75);
}

}  // namespace
