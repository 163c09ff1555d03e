// The options record's scalar fields listed once: each field's
// configuration-file key, how the file's text is stored, its factory default
// and its line in the options dump. The defaults (config_opts.cpp), the
// parser's key table (config_file.cpp) and the dump printer expand it.
//
//   OPT(field, key, type, form, default, dumpCast, dumpText)
//       key: nullptr when the file cannot set the field
//       type, form: storage width and text form (see config_file.cpp)
//       dumpText: print_config_opts line (nullptr: not dumped), printed with
//       the value converted to dumpCast
//   KEY(element, key, type, form)
//       a file key for one element of an array field
//   DUMP_LISTS()
//       where the dump prints the MUSIC lists and the distance calibrations
//
// Scalars come in dump order, then the fields the dump leaves out; the array
// fields' defaults are set in config_opts.cpp. No key is a prefix of another,
// so the order of the keys does not change what a line sets.
#pragma once

// clang-format off
#define TARN_OPTION_LIST(OPT, KEY, DUMP_LISTS) \
    OPT(quant, "QUANT", U8, Boolean, 0, unsigned, "quant:       %u\n") \
    OPT(qWrap, "Q_WRAP", U32, Integer, 65536, unsigned, "qWrap:       %u\n") \
    OPT(distSF, "DISTSF", U16, Integer, 1000, unsigned, "distSF:      %u\n") \
    OPT(calDistOffset, "CAL_DIST_OFFSET", F64, RealDigitsInt, 0.0, double, "calDistOffset:      %lf\n") \
    OPT(chMax, "CH_MAX", U8, Integer, 79, unsigned, "chMax:       %u\n") \
    OPT(pctPrior, "PctPrior", U8, Integer, 5, unsigned, "pctPrior:    %u\n") \
    OPT(pctInvert, "PctInvert", U8, Boolean, 0, int, "pctInvert:   %d\n") \
    OPT(pctMode, "PctMode", U8, Integer, 0, unsigned, "pctMode:     %u\n") \
    OPT(pctMask, "PctMask", U8, Integer, 0, unsigned, "pctMask:     %u\n") \
    OPT(phEnable, "PhEnable", U8, Boolean, 0, int, "phEnable:    %d\n") \
    OPT(phConfFac, "PhConfFac", U8, Integer, 2, unsigned, "phConfFac:   %u\n") \
    DUMP_LISTS() \
    OPT(muMaxEigs, "MuMaxEigs", F64, LenientReal, 1.0, double, "muMaxEigs:   %lf\n") \
    OPT(muMagThr, "MuMagThr", F64, Real, 0.85, double, "muMagThr:    %lf\n") \
    OPT(fiAddGconf, "FiAddGconf", I8, Integer, 100, int, "fiAddGconf:  %d\n") \
    OPT(fiMaxPeriod, "FiMaxPeriod", U32, Integer, 4, unsigned, "fiMaxPeriod: %u\n") \
    OPT(fiMinConf, "FiMinConf", U8, Integer, 15, unsigned, "fiMinConf:   %u\n") \
    OPT(fiMaxDelta, "FiMaxDelta", U8, Integer, 15, unsigned, "fiMaxDelta:  %u\n") \
    OPT(fiConfDecay, "FiConfDecay", F64, Real, 0.2, double, "fiConfDecay: %lf\n") \
    OPT(fiPkConfThr, "FiPkConfThr", F64, Real, 0.0, double, "fiPkConfThr: %lf\n") \
    OPT(fiExclFrac, "FiExclFrac", F64, Real, 0.0, double, "fiExclFrac:  %lf\n") \
    OPT(fiAvgPwr, "FiAvgPwr", F64, Real, 2.0, double, "fiAvgPwr:    %lf\n") \
    OPT(fiVelAvg, "FiVelAvg", F64, Real, 0.0, double, "fiVelAvg:    %lf\n") \
    OPT(pctQscale, "PctQscale", U8, Boolean, 1, int, "pctQscale:   %d\n") \
    OPT(velocityBasedUpdate, "VelocityBasedUpdate", U8, Boolean, 0, unsigned, "velocityBasedUpdate:           %u\n") \
    OPT(fiDistanceCombiningMethod, "FiDistanceCombiningMethod", U8, Integer, 3, unsigned, "fiDistanceCombiningMethod:     %u\n") \
    OPT(fiUsePrevDistFilter, "FiUsePrevDistFilter", U8, Integer, 1, int, "fiUsePrevDistFilter:     %d\n") \
    OPT(sol, "SOL", F64, Real, 299700000.0, double, "sol:    %lf\n") \
    OPT(phaseRotationOffset, "PhaseRotationOffset", F64, RealDigitsInt, 15.0, double, " phaseRotationOffset : %lf\n") \
    OPT(phDistFrac, "PhDistFrac", F64, Real, 0.7, double, " phDistFrac : %lf\n") \
    OPT(minPhaseBasedFilterPhaseDist, "MinPhaseBasedFilterPhaseDist", F64, Real, 18.0, double, " minPhaseBasedFilterPhaseDist : %lf\n") \
    OPT(phaseMusicFilter, "PhaseMusicFilter", U8, Integer, 1, int, " phaseMusicFilter : %d\n") \
    OPT(priorProximityMusicFilter, "PriorProximityMusicFilter", U8, Integer, 0, int, " priorProximityMusicFilter : %d\n") \
    OPT(discardNegativeMusicValues, "DiscardNegativeMusicValues", U8, Integer, 1, int, " discardNegativeMusicValues : %d\n") \
    OPT(muOffset, "MuOffset", F64, Real, -3.0, double, " muOffset : %lf\n") \
    OPT(smallerMusicOrderFilterOffsetLower, "SmallerMusicOrderFilterOffsetLower", F64, Real, 15.0, double, " smallerMusicOrderFilterOffsetLower : %lf\n") \
    OPT(smallerMusicOrderFilterOffsetUpper, "SmallerMusicOrderFilterOffsetUpper", F64, Real, 7.0, double, " smallerMusicOrderFilterOffsetUpper : %lf\n") \
    OPT(rttFilterType, "RttFilterType", U8, Integer, 4, int, "rttFilterType:    %d\n") \
    OPT(rttDisCalAA, "RttDisCalAA", F64, Real, 0.0, double, "rttDisCalAA:    %lf\n") \
    OPT(rttDisCalSS, "RttDisCalSS", F64, Real, 0.0, double, "rttDisCalSS:    %lf\n") \
    OPT(rttDisCalRS, "RttDisCalRS", F64, Real, 0.0, double, "rttDisCalRS:    %lf\n") \
    OPT(logLevel, "LOG_LEVEL", U8, Integer, 0, int, "logLevel:    %d\n") \
    OPT(useProductChannelDist, "UseProductChannelDist", U8, Integer, 1, int, "useProductChannelDist:    %d\n") \
    OPT(EnableCal, "EnableCal", U8, Integer, 0, int, "EnableCal:    %d\n") \
    OPT(rtpFilterType, nullptr, U8, NotInFile, 3, int, "rtpFilterType  : %d\n") \
    OPT(rtpSlidingWindowSize, "RtpSlidingWindowSize", U16, Integer, 10, int, "rtpSlidingWindowSize : %d\n") \
    OPT(rtpSlidingWindowFrameSize, "RtpSlidingWindowFrameSize", U16, Integer, 40, int, "rtpSlidingWindowFrameSize %d\n") \
    OPT(rtpWithinRttThresh, "RtpWithinRttThresh", F64, RealDigitsInt, 30.0, double, "rtpWithinRttThresh %lf\n") \
    OPT(slidingWindowMaxPeriod, "SlidingWindowMaxPeriod", F64, Real, 3.0, double, "slidingWindowMaxPeriod %lf\n") \
    OPT(rttFiMaxPeriod, "RttFiMaxPeriod", F64, Real, 4.0, double, "rttFiMaxPeriod %lf\n") \
    OPT(filterMusicOrdersMethod, "filterMusicOrdersMethod", U8, Integer, 0, int, "filterMusicOrdersMethod %d\n") \
    OPT(numFilterAntennaMusicStdDev, "numFilterAntennaMusicStdDev", U8, IntOrReal, 0, int, "numFilterAntennaMusicStdDev %d\n") \
    OPT(muConfFacLen, nullptr, U8, NotInFile, 2, int, nullptr) \
    OPT(muOrdSetLen, nullptr, U8, NotInFile, 6, int, nullptr) \
    OPT(muCovSetLen, nullptr, U8, NotInFile, 6, int, nullptr) \
    OPT(muOffsetFilter, nullptr, U8, NotInFile, 1, int, nullptr) \
    OPT(rttSlidingWindowSize, "RttSlidingWindowSize", U16, Integer, 10, int, nullptr) \
    OPT(rttSlidingWindowFrameSize, "RttSlidingWindowFrameSize", U16, Integer, 40, int, nullptr) \
    OPT(returnRtpWithinRttThresh, "ReturnRtpWithinRttThresh", U8, Integer, 1, int, nullptr) \
    OPT(phaseConfidenceThresh, "phaseConfidenceThresh", F64, RealDigitsInt, 65.0, int, nullptr) \
    OPT(phaseEstimateWindow, "phaseEstimateWindow", F64, RealDigitsInt, 1.0, int, nullptr) \
    OPT(keepAntPathWithStdWithinThreh, "keepAntPathWithStdWithinThreh", F64, RealDigitsInt, 2.5, int, nullptr) \
    OPT(disableAlignEventPhase, "DisableAlignEventPhase", U8, Integer, 1, int, nullptr) \
    OPT(discardZeroPCT, "DiscardZeroPCT", U8, Integer, 1, int, nullptr) \
    OPT(useChannelCenterForBoundMusicEst, "UseChannelCenterForBoundMusicEst", U8, Integer, 1, int, nullptr) \
    OPT(lowerBoundCoef, "lowerBoundCoef", F64, RealDigitsInt, 7.0, int, nullptr) \
    OPT(maxMusicStdDev, nullptr, F64, NotInFile, 6.0, int, nullptr) \
    OPT(use3OrdersForCal, "Use3OrdersForCal", U8, Integer, 1, int, nullptr) \
    OPT(applyEstimatedReverseChannel, "applyEstimatedReverseChannel", U8, Integer, 0, int, nullptr) \
    OPT(minAllowedGconf, "minAllowedGconf", U8, IntOrReal, 60, int, nullptr) \
    OPT(filterBasedOnPhFit, "filterBasedOnPhFit", U8, Integer, 0, int, nullptr) \
    OPT(maxAllowedPhFitError, "maxAllowedPhFitError", F64, RealDigitsInt, 60.0, int, nullptr) \
    OPT(chanCenterUBOffset, "chanCenterUBOffset", F64, RealDigitsInt, 1.5, int, nullptr) \
    OPT(chanCenterLBOffset, "chanCenterLBOffset", F64, RealDigitsInt, 25.0, int, nullptr) \
    OPT(percentile4AP, "percentile4AP", U8, Integer, 25, int, nullptr) \
    OPT(percentile3AP, "percentile3AP", U8, Integer, 30, int, nullptr) \
    OPT(percentile2AP, "percentile2AP", U8, Integer, 40, int, nullptr) \
    OPT(ifftSize, "ifftSize", U16, Integer, 512, int, nullptr) \
    OPT(cirOffset, "cirOffset", F64, RealDigitsInt, 10.0, int, nullptr) \
    OPT(cirPeakRatio, "cirPeakRatio", F64, RealDigitsInt, 0.3, int, nullptr) \
    OPT(minCirMaxToMeanLeveldB, "minCirMaxToMeanLeveldB", F64, RealDigitsInt, 9.0, int, nullptr) \
    OPT(minCirMaxToMedianLeveldB, "minCirMaxToMedianLeveldB", F64, RealDigitsInt, 10.0, int, nullptr) \
    OPT(maxAllowedDS, "maxAllowedDS", F64, RealDigitsInt, 85.0, int, nullptr) \
    OPT(cirMaxAllowedTapsAbovePeakRatio, "cirMaxAllowedTapsAbovePeakRatio", F64, RealDigitsInt, 25.0, int, nullptr) \
    OPT(filterBasedOnCIR, "filterBasedOnCIR", U8, Integer, 1, int, nullptr) \
    OPT(discardUnavailableQualityTones, "discardUnavailableQualityTones", U8, Integer, 0, int, nullptr) \
    OPT(APinValidCounterMax, "APinValidCounterMax", I32, Integer, 2, int, nullptr) \
    OPT(inValidCounterMax, "inValidCounterMax", I32, Integer, 6, int, nullptr) \
    OPT(cirMaxAllowedTapsBeforeMaxPeak, "cirMaxAllowedTapsBeforeMaxPeak", U8, Integer, 10, int, nullptr) \
    OPT(dropNegativeRTTTof, "dropNegativeRTTTof", U8, Integer, 1, int, nullptr) \
    OPT(dropNegativeRTTDistances, "dropNegativeRTTDistances", U8, Integer, 1, int, nullptr) \
    OPT(minRttStepsForDistEstimation, "minRttStepsForDistEstimation", I32, Integer, 15, int, nullptr) \
    OPT(rttTofUpperBond, "rttTofUpperBond", F64, RealDigitsInt, 1067.0, int, nullptr) \
    OPT(correctMusicWithCir, "correctMusicWithCir", U8, Integer, 1, int, nullptr) \
    OPT(cirValueAboveNoiseDBThr, "cirValueAboveNoiseDBThr", F64, RealDigitsInt, 4.0, int, nullptr) \
    OPT(cirDistFromMaxDBThr, "cirDistFromMaxDBThr", F64, RealDigitsInt, 0.0, int, nullptr) \
    OPT(cirCorrectionOffset, "cirCorrectionOffset", F64, RealDigitsInt, 0.0, int, nullptr) \
    OPT(estimateFilterChannel, "estimateFilterChannel", U8, Integer, 0, int, nullptr) \
    OPT(maxProcForCal, "maxProcForCal", U16, Integer, 0, int, nullptr) \
    OPT(trueCalibrationDistance, "trueCalibrationDistance", F64, RealDigitsInt, 0.5, int, nullptr) \
    KEY(disCal[0], "DIS_CAL_1", F64, RealDigitsInt) \
    KEY(disCal[1], "DIS_CAL_2", F64, RealDigitsInt) \
    KEY(disCal[2], "DIS_CAL_3", F64, RealDigitsInt) \
    KEY(disCal[3], "DIS_CAL_4", F64, RealDigitsInt) \
    KEY(muConfFac[0], "muConfFac0", F64, RealDigitsInt) \
    KEY(muConfFac[1], "muConfFac1", F64, RealDigitsInt)
// clang-format on
