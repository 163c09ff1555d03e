// The options record's fields listed once: each field's configuration-file
// key, how the file's text is stored, its factory default, its line in the
// options dump, its unit, the values it accepts and what the repair does
// with a value outside them. The defaults (config_opts.cpp), the parser's
// key table and the repairs (config_file.cpp), the dump printer and the
// tool's `tarn options` (tools/options_cli.cpp) expand it.
//
//   OPT(field, key, type, form, default, dumpCast, dumpText,
//       unit, range, repair, host)
//       key: nullptr when the file cannot set the field
//       type, form: storage width and text form
//       dumpText: print_config_opts line (nullptr: not dumped), printed with
//       the value converted to dumpCast
//       unit, range: what one unit of the value is; the values every record
//       keeps (Any(): every value of the width)
//       repair: Keep (nothing to repair), or Step(n) / StepQuiet(n) /
//       StepText(n, text): the default goes back into a value outside the
//       range, at place n of the walk every record gets, with "Incorrect
//       <name>.\n" (or `text`) at level 1 and "Setting default value of
//       <name>.\n" at level 3; Quiet: a file's record logs only the latter
//       host: the further test of a record a host installs, a number within
//       a bound: HostFirst(n, lo, hi) / HostFiniteFirst(n) at place n of the
//       host's walk, HostMagnitude(bound) after those in list order,
//       NoHostBound. A host's record gets the walk of every record first
//       (logged only where a value changes, the quiet ones too), then its
//       own walk with the same two messages.
//   KEY(element, key, type, form, unit, range, repair, host)
//       a file key for one element of an array field
//   DUMP_LISTS()
//       where the dump prints the MUSIC lists and the distance calibrations
//   LIST(field, countField, type, unit, range)
//       a list field whose first countField entries are used; type, unit
//       and range of one entry (the count's own range is its OPT's)
//
// The names in messages are the key, or the field's name when it has none.
// The column spellings are in option_rules.h.
//
// Scalars come in dump order, then the fields the dump leaves out; the array
// fields' defaults are set in config_opts.cpp. No key is a prefix of another,
// so the order of the keys does not change what a line sets; the repairs
// keep their own order (the step numbers).
#pragma once

// clang-format off
#define TARN_OPTION_LIST(OPT, KEY, DUMP_LISTS, LIST) \
    OPT(quant, "QUANT", U8, Boolean, 0, unsigned, "quant:       %u\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(qWrap, "Q_WRAP", U32, Integer, 65536, unsigned, "qWrap:       %u\n", \
        PhaseUnits, Between(1, 65536), Step(1), NoHostBound) \
    OPT(distSF, "DISTSF", U16, Integer, 1000, unsigned, "distSF:      %u\n", \
        UnitsPerM, Only(1000), Step(2), NoHostBound) \
    OPT(calDistOffset, "CAL_DIST_OFFSET", F64, RealDigitsInt, 0.0, double, "calDistOffset:      %lf\n", \
        M, Any(), Keep, HostFirst(3, -kMaxOffsetM, kMaxOffsetM)) \
    OPT(chMax, "CH_MAX", U8, Integer, 79, unsigned, "chMax:       %u\n", \
        Channels, Only(79), Step(3), NoHostBound) \
    OPT(pctPrior, "PctPrior", U8, Integer, 5, unsigned, "pctPrior:    %u\n", \
        None, Between(0, TARN_PCT_PRIOR_MAX), Step(5), NoHostBound) \
    OPT(pctInvert, "PctInvert", U8, Boolean, 0, int, "pctInvert:   %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(pctMode, "PctMode", U8, Integer, 0, unsigned, "pctMode:     %u\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(pctMask, "PctMask", U8, Integer, 0, unsigned, "pctMask:     %u\n", \
        None, Between(0, 10), Step(6), NoHostBound) \
    OPT(phEnable, "PhEnable", U8, Boolean, 0, int, "phEnable:    %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(phConfFac, "PhConfFac", U8, Integer, 2, unsigned, "phConfFac:   %u\n", \
        Unitless, Between(0, 10), Step(7), NoHostBound) \
    DUMP_LISTS() \
    OPT(muMaxEigs, "MuMaxEigs", F64, LenientReal, 1.0, double, "muMaxEigs:   %lf\n", \
        Unitless, Between(0.0, 10.0), Step(8), HostMagnitude(kMaxReal)) \
    OPT(muMagThr, "MuMagThr", F64, Real, 0.85, double, "muMagThr:    %lf\n", \
        Unitless, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(fiAddGconf, "FiAddGconf", I8, Integer, 100, int, "fiAddGconf:  %d\n", \
        Percent, Not(0), Step(9), NoHostBound) \
    OPT(fiMaxPeriod, "FiMaxPeriod", U32, Integer, 4, unsigned, "fiMaxPeriod: %u\n", \
        S, Between(0, 10), Step(10), NoHostBound) \
    /* The defaults of these two (15) lie above their own limit: every check of a record that keeps them logs and restores them. */ \
    OPT(fiMinConf, "FiMinConf", U8, Integer, 15, unsigned, "fiMinConf:   %u\n", \
        Percent, Between(0, 10), Step(11), NoHostBound) \
    OPT(fiMaxDelta, "FiMaxDelta", U8, Integer, 15, unsigned, "fiMaxDelta:  %u\n", \
        M, Between(0, 10), Step(12), NoHostBound) \
    /* FiConfDecay, FiPkConfThr, FiExclFrac and FiVelAvg refuse what a single-precision writer of the record would produce for the usual settings: the double defaults are meant. */ \
    OPT(fiConfDecay, "FiConfDecay", F64, Real, 0.2, double, "fiConfDecay: %lf\n", \
        Unitless, Not(static_cast<double>(0.2f)), StepQuiet(15), HostMagnitude(kMaxReal)) \
    OPT(fiPkConfThr, "FiPkConfThr", F64, Real, 0.0, double, "fiPkConfThr: %lf\n", \
        Unitless, Not(0.5), StepQuiet(16), HostMagnitude(kMaxReal)) \
    OPT(fiExclFrac, "FiExclFrac", F64, Real, 0.0, double, "fiExclFrac:  %lf\n", \
        Unitless, Not(static_cast<double>(0.3f)), StepQuiet(17), HostMagnitude(kMaxReal)) \
    OPT(fiAvgPwr, "FiAvgPwr", F64, Real, 2.0, double, "fiAvgPwr:    %lf\n", \
        Unitless, Not(3.0), Step(13), HostMagnitude(kMaxReal)) \
    OPT(fiVelAvg, "FiVelAvg", F64, Real, 0.0, double, "fiVelAvg:    %lf\n", \
        Unitless, Not(0.5), StepQuiet(18), HostMagnitude(kMaxReal)) \
    OPT(pctQscale, "PctQscale", U8, Boolean, 1, int, "pctQscale:   %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(velocityBasedUpdate, "VelocityBasedUpdate", U8, Boolean, 0, unsigned, "velocityBasedUpdate:           %u\n", \
        None, Any(), Keep, NoHostBound) \
    /* The blank before the line end is part of this message's established text. */ \
    OPT(fiDistanceCombiningMethod, "FiDistanceCombiningMethod", U8, Integer, 3, unsigned, "fiDistanceCombiningMethod:     %u\n", \
        None, Between(0, TARN_COMBINE_PERCENTILE_BY_PATHS), StepText(14, "Incorrect FiDistanceCombiningMethod. \n"), NoHostBound) \
    OPT(fiUsePrevDistFilter, "FiUsePrevDistFilter", U8, Integer, 1, int, "fiUsePrevDistFilter:     %d\n", \
        None, Any(), Keep, NoHostBound) \
    /* A host's reals that turn into distances must be numbers of a sensible size. */ \
    OPT(sol, "SOL", F64, Real, 299700000.0, double, "sol:    %lf\n", \
        MPerS, Any(), Keep, HostFirst(1, kMinSol, kMaxSol)) \
    OPT(phaseRotationOffset, "PhaseRotationOffset", F64, RealDigitsInt, 15.0, double, " phaseRotationOffset : %lf\n", \
        M, Any(), Keep, HostFirst(5, -kMaxOffsetM, kMaxOffsetM)) \
    OPT(phDistFrac, "PhDistFrac", F64, Real, 0.7, double, " phDistFrac : %lf\n", \
        Unitless, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(minPhaseBasedFilterPhaseDist, "MinPhaseBasedFilterPhaseDist", F64, Real, 18.0, double, " minPhaseBasedFilterPhaseDist : %lf\n", \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(phaseMusicFilter, "PhaseMusicFilter", U8, Integer, 1, int, " phaseMusicFilter : %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(priorProximityMusicFilter, "PriorProximityMusicFilter", U8, Integer, 0, int, " priorProximityMusicFilter : %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(discardNegativeMusicValues, "DiscardNegativeMusicValues", U8, Integer, 1, int, " discardNegativeMusicValues : %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(muOffset, "MuOffset", F64, Real, -3.0, double, " muOffset : %lf\n", \
        ScaledM, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(smallerMusicOrderFilterOffsetLower, "SmallerMusicOrderFilterOffsetLower", F64, Real, 15.0, double, " smallerMusicOrderFilterOffsetLower : %lf\n", \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(smallerMusicOrderFilterOffsetUpper, "SmallerMusicOrderFilterOffsetUpper", F64, Real, 7.0, double, " smallerMusicOrderFilterOffsetUpper : %lf\n", \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(rttFilterType, "RttFilterType", U8, Integer, 4, int, "rttFilterType:    %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(rttDisCalAA, "RttDisCalAA", F64, Real, 0.0, double, "rttDisCalAA:    %lf\n", \
        M, Any(), Keep, HostFirst(2, -kMaxOffsetM, kMaxOffsetM)) \
    OPT(rttDisCalSS, "RttDisCalSS", F64, Real, 0.0, double, "rttDisCalSS:    %lf\n", \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(rttDisCalRS, "RttDisCalRS", F64, Real, 0.0, double, "rttDisCalRS:    %lf\n", \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(logLevel, "LOG_LEVEL", U8, Integer, 0, int, "logLevel:    %d\n", \
        None, Between(0, 4), Step(4), NoHostBound) \
    OPT(useProductChannelDist, "UseProductChannelDist", U8, Integer, 1, int, "useProductChannelDist:    %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(EnableCal, "EnableCal", U8, Integer, 0, int, "EnableCal:    %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(rtpFilterType, nullptr, U8, NotInFile, 3, int, "rtpFilterType  : %d\n", \
        None, Any(), Keep, NoHostBound) \
    /* Ranges of the sliding windows and the transform size: beyond them an estimator would index outside its fixed arrays. */ \
    OPT(rtpSlidingWindowSize, "RtpSlidingWindowSize", U16, Integer, 10, int, "rtpSlidingWindowSize : %d\n", \
        Count, Between(0, 20), Step(19), NoHostBound) \
    OPT(rtpSlidingWindowFrameSize, "RtpSlidingWindowFrameSize", U16, Integer, 40, int, "rtpSlidingWindowFrameSize %d\n", \
        Count, Between(0, 100), Step(20), NoHostBound) \
    OPT(rtpWithinRttThresh, "RtpWithinRttThresh", F64, RealDigitsInt, 30.0, double, "rtpWithinRttThresh %lf\n", \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(slidingWindowMaxPeriod, "SlidingWindowMaxPeriod", F64, Real, 3.0, double, "slidingWindowMaxPeriod %lf\n", \
        S, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(rttFiMaxPeriod, "RttFiMaxPeriod", F64, Real, 4.0, double, "rttFiMaxPeriod %lf\n", \
        S, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(filterMusicOrdersMethod, "filterMusicOrdersMethod", U8, Integer, 0, int, "filterMusicOrdersMethod %d\n", \
        None, Any(), Keep, NoHostBound) \
    OPT(numFilterAntennaMusicStdDev, "numFilterAntennaMusicStdDev", U8, IntOrReal, 0, int, "numFilterAntennaMusicStdDev %d\n", \
        Count, Any(), Keep, NoHostBound) \
    /* The file cannot set the list counts, but the record it is laid over may come from anywhere. */ \
    OPT(muConfFacLen, nullptr, U8, NotInFile, 2, int, nullptr, \
        Count, Between(0, TARN_MU_CONF_FAC_MAX), Step(26), NoHostBound) \
    OPT(muOrdSetLen, nullptr, U8, NotInFile, 6, int, nullptr, \
        Count, Between(0, TARN_MU_ORD_SET_MAX), Step(24), NoHostBound) \
    OPT(muCovSetLen, nullptr, U8, NotInFile, 6, int, nullptr, \
        Count, Between(0, TARN_MU_ORD_SET_MAX), Step(25), NoHostBound) \
    OPT(muOffsetFilter, nullptr, U8, NotInFile, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(rttSlidingWindowSize, "RttSlidingWindowSize", U16, Integer, 10, int, nullptr, \
        Count, Between(0, 20), Step(21), NoHostBound) \
    OPT(rttSlidingWindowFrameSize, "RttSlidingWindowFrameSize", U16, Integer, 40, int, nullptr, \
        Count, Between(0, 100), Step(22), NoHostBound) \
    OPT(returnRtpWithinRttThresh, "ReturnRtpWithinRttThresh", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(phaseConfidenceThresh, "phaseConfidenceThresh", F64, RealDigitsInt, 65.0, int, nullptr, \
        Percent, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(phaseEstimateWindow, "phaseEstimateWindow", F64, RealDigitsInt, 1.0, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(keepAntPathWithStdWithinThreh, "keepAntPathWithStdWithinThreh", F64, RealDigitsInt, 2.5, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(disableAlignEventPhase, "DisableAlignEventPhase", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(discardZeroPCT, "DiscardZeroPCT", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(useChannelCenterForBoundMusicEst, "UseChannelCenterForBoundMusicEst", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(lowerBoundCoef, "lowerBoundCoef", F64, RealDigitsInt, 7.0, int, nullptr, \
        Unitless, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(maxMusicStdDev, nullptr, F64, NotInFile, 6.0, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(use3OrdersForCal, "Use3OrdersForCal", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(applyEstimatedReverseChannel, "applyEstimatedReverseChannel", U8, Integer, 0, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(minAllowedGconf, "minAllowedGconf", U8, IntOrReal, 60, int, nullptr, \
        Percent, Any(), Keep, NoHostBound) \
    OPT(filterBasedOnPhFit, "filterBasedOnPhFit", U8, Integer, 0, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(maxAllowedPhFitError, "maxAllowedPhFitError", F64, RealDigitsInt, 60.0, int, nullptr, \
        Deg, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(chanCenterUBOffset, "chanCenterUBOffset", F64, RealDigitsInt, 1.5, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(chanCenterLBOffset, "chanCenterLBOffset", F64, RealDigitsInt, 25.0, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(percentile4AP, "percentile4AP", U8, Integer, 25, int, nullptr, \
        Percent, Any(), Keep, NoHostBound) \
    OPT(percentile3AP, "percentile3AP", U8, Integer, 30, int, nullptr, \
        Percent, Any(), Keep, NoHostBound) \
    OPT(percentile2AP, "percentile2AP", U8, Integer, 40, int, nullptr, \
        Percent, Any(), Keep, NoHostBound) \
    OPT(ifftSize, "ifftSize", U16, Integer, 512, int, nullptr, \
        Count, PowerOfTwoTo(16384), Step(23), NoHostBound) \
    OPT(cirOffset, "cirOffset", F64, RealDigitsInt, 10.0, int, nullptr, \
        M, Any(), Keep, HostFirst(4, -kMaxOffsetM, kMaxOffsetM)) \
    OPT(cirPeakRatio, "cirPeakRatio", F64, RealDigitsInt, 0.3, int, nullptr, \
        Unitless, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(minCirMaxToMeanLeveldB, "minCirMaxToMeanLeveldB", F64, RealDigitsInt, 9.0, int, nullptr, \
        DB, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(minCirMaxToMedianLeveldB, "minCirMaxToMedianLeveldB", F64, RealDigitsInt, 10.0, int, nullptr, \
        DB, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(maxAllowedDS, "maxAllowedDS", F64, RealDigitsInt, 85.0, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(cirMaxAllowedTapsAbovePeakRatio, "cirMaxAllowedTapsAbovePeakRatio", F64, RealDigitsInt, 25.0, int, nullptr, \
        Count, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(filterBasedOnCIR, "filterBasedOnCIR", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(discardUnavailableQualityTones, "discardUnavailableQualityTones", U8, Integer, 0, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(APinValidCounterMax, "APinValidCounterMax", I32, Integer, 2, int, nullptr, \
        Count, Any(), Keep, NoHostBound) \
    OPT(inValidCounterMax, "inValidCounterMax", I32, Integer, 6, int, nullptr, \
        Count, Any(), Keep, NoHostBound) \
    OPT(cirMaxAllowedTapsBeforeMaxPeak, "cirMaxAllowedTapsBeforeMaxPeak", U8, Integer, 10, int, nullptr, \
        Count, Any(), Keep, NoHostBound) \
    OPT(dropNegativeRTTTof, "dropNegativeRTTTof", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(dropNegativeRTTDistances, "dropNegativeRTTDistances", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(minRttStepsForDistEstimation, "minRttStepsForDistEstimation", I32, Integer, 15, int, nullptr, \
        Count, Any(), Keep, NoHostBound) \
    OPT(rttTofUpperBond, "rttTofUpperBond", F64, RealDigitsInt, 1067.0, int, nullptr, \
        HalfNs, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(correctMusicWithCir, "correctMusicWithCir", U8, Integer, 1, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(cirValueAboveNoiseDBThr, "cirValueAboveNoiseDBThr", F64, RealDigitsInt, 4.0, int, nullptr, \
        DB, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(cirDistFromMaxDBThr, "cirDistFromMaxDBThr", F64, RealDigitsInt, 0.0, int, nullptr, \
        DB, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(cirCorrectionOffset, "cirCorrectionOffset", F64, RealDigitsInt, 0.0, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    OPT(estimateFilterChannel, "estimateFilterChannel", U8, Integer, 0, int, nullptr, \
        None, Any(), Keep, NoHostBound) \
    OPT(maxProcForCal, "maxProcForCal", U16, Integer, 0, int, nullptr, \
        Count, Any(), Keep, NoHostBound) \
    OPT(trueCalibrationDistance, "trueCalibrationDistance", F64, RealDigitsInt, 0.5, int, nullptr, \
        M, Any(), Keep, HostMagnitude(kMaxReal)) \
    /* Calibrations as large as the file can write (2147483647) stay. */ \
    KEY(disCal[0], "DIS_CAL_1", F64, RealDigitsInt, M, Any(), Keep, HostFiniteFirst(6)) \
    KEY(disCal[1], "DIS_CAL_2", F64, RealDigitsInt, M, Any(), Keep, HostFiniteFirst(7)) \
    KEY(disCal[2], "DIS_CAL_3", F64, RealDigitsInt, M, Any(), Keep, HostFiniteFirst(8)) \
    KEY(disCal[3], "DIS_CAL_4", F64, RealDigitsInt, M, Any(), Keep, HostFiniteFirst(9)) \
    KEY(muConfFac[0], "muConfFac0", F64, RealDigitsInt, Unitless, Any(), Keep, NoHostBound) \
    KEY(muConfFac[1], "muConfFac1", F64, RealDigitsInt, Unitless, Any(), Keep, NoHostBound) \
    /* Entries beyond these ranges are not repaired: the estimators clamp them at use. */ \
    LIST(muOrdSet, muOrdSetLen, U8, Count, Between(1, 255)) \
    LIST(muCovSet, muCovSetLen, U8, Count, Between(1, 27)) \
    LIST(muConfFac, muConfFacLen, F64, Unitless, Any())
// clang-format on
