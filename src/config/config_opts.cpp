// Options record: factory defaults and the dump printer.
#include <cstring>

#include "tarn_config.h"
#include "tarn_diag.h"

namespace {

constexpr char kDefaultCalFilePath[] = "/data/vendor/bluetooth/tarn_rtp_cal.csv";
static_assert(sizeof kDefaultCalFilePath <= TARN_CAL_FILE_PATH_LEN, "default path fits");

// Built as a constant expression so that constOpts lands in read-only data
// with every padding byte zero (value-initialisation zeroes them).
constexpr ConfigOpts makeDefaults() {
    ConfigOpts o{};
    o.quant = 0;
    o.phEnable = 0;
    o.pctInvert = 0;
    o.pctQscale = 1;
    o.velocityBasedUpdate = 0;
    o.pctPrior = 5;
    o.pctMode = 0;
    o.pctMask = 0;
    o.phConfFac = 2;
    o.phDistFrac = 0.7;
    o.minPhaseBasedFilterPhaseDist = 18.0;
    o.phaseMusicFilter = 1;
    o.priorProximityMusicFilter = 0;
    o.fiAddGconf = 100;
    o.fiMaxPeriod = 4;
    o.fiMinConf = 15;
    o.fiMaxDelta = 15;
    o.fiAvgPwr = 2.0;
    o.fiDistanceCombiningMethod = 3;
    o.fiUsePrevDistFilter = 1;
    o.chMax = 79;
    for (double &d : o.disCal) d = 0.0;
    o.calDistOffset = 0.0;
    o.muMaxEigs = 1.0;
    o.muConfFacLen = 2;
    o.muConfFac[0] = 35.0;
    o.muConfFac[1] = 0.5;
    o.muConfFac[2] = 0.0;
    o.muOrdSetLen = 6;
    const uint8_t ord[TARN_MU_ORD_SET_MAX] = {2, 4, 6, 7, 8, 9, 0};
    const uint8_t cov[TARN_MU_ORD_SET_MAX] = {4, 8, 12, 14, 16, 18, 0};
    for (int i = 0; i < TARN_MU_ORD_SET_MAX; ++i) {
        o.muOrdSet[i] = ord[i];
        o.muCovSet[i] = cov[i];
    }
    o.muCovSetLen = 6;
    o.muOffset = -3.0;
    o.smallerMusicOrderFilterOffsetLower = 15.0;
    o.smallerMusicOrderFilterOffsetUpper = 7.0;
    o.muOffsetFilter = 1;
    o.distSF = 1000;
    o.qWrap = 65536;
    o.fiConfDecay = 0.2;
    o.fiPkConfThr = 0.0;
    o.fiExclFrac = 0.0;
    o.fiVelAvg = 0.0;
    o.muMagThr = 0.85;
    o.sol = 299700000.0;
    o.phaseRotationOffset = 15.0;
    o.rttFilterType = 4;
    o.rttDisCalAA = 0.0;
    o.rttDisCalSS = 0.0;
    o.rttDisCalRS = 0.0;
    o.rttFiMaxPeriod = 4.0;
    o.logLevel = 0;
    o.discardNegativeMusicValues = 1;
    o.useProductChannelDist = 1;
    o.EnableCal = 0;
    o.rtpFilterType = 3;
    o.rtpSlidingWindowSize = 10;
    o.rtpSlidingWindowFrameSize = 40;
    o.slidingWindowMaxPeriod = 3.0;
    o.rttSlidingWindowSize = 10;
    o.rttSlidingWindowFrameSize = 40;
    o.rtpWithinRttThresh = 30.0;
    o.returnRtpWithinRttThresh = 1;
    o.phaseConfidenceThresh = 65.0;
    o.phaseEstimateWindow = 1.0;
    o.numFilterAntennaMusicStdDev = 0;
    o.keepAntPathWithStdWithinThreh = 2.5;
    o.filterMusicOrdersMethod = 0;
    o.disableAlignEventPhase = 1;
    o.discardZeroPCT = 1;
    o.useChannelCenterForBoundMusicEst = 1;
    o.lowerBoundCoef = 7.0;
    o.maxMusicStdDev = 6.0;
    o.use3OrdersForCal = 1;
    o.applyEstimatedReverseChannel = 0;
    for (size_t i = 0; i < sizeof kDefaultCalFilePath; ++i)
        o.calFilePath[i] = kDefaultCalFilePath[i];
    // calTable stays all zero.
    o.minAllowedGconf = 60;
    o.filterBasedOnPhFit = 0;
    o.maxAllowedPhFitError = 60.0;
    o.chanCenterUBOffset = 1.5;
    o.chanCenterLBOffset = 25.0;
    o.percentile4AP = 25;
    o.percentile3AP = 30;
    o.percentile2AP = 40;
    o.ifftSize = 512;
    o.cirOffset = 10.0;
    o.cirPeakRatio = 0.3;
    o.minCirMaxToMeanLeveldB = 9.0;
    o.minCirMaxToMedianLeveldB = 10.0;
    o.maxAllowedDS = 85.0;
    o.cirMaxAllowedTapsAbovePeakRatio = 25.0;
    o.filterBasedOnCIR = 1;
    o.discardUnavailableQualityTones = 0;
    o.APinValidCounterMax = 2;
    o.inValidCounterMax = 6;
    o.cirMaxAllowedTapsBeforeMaxPeak = 10;
    o.dropNegativeRTTTof = 1;
    o.dropNegativeRTTDistances = 1;
    o.minRttStepsForDistEstimation = 15;
    o.rttTofUpperBond = 1067.0;
    o.correctMusicWithCir = 1;
    o.cirValueAboveNoiseDBThr = 4.0;
    o.cirDistFromMaxDBThr = 0.0;
    o.cirCorrectionOffset = 0.0;
    o.estimateFilterChannel = 0;
    o.maxProcForCal = 0;
    o.trueCalibrationDistance = 0.5;
    return o;
}

// A record installed by a host may carry any count; never read past the array.
int usedEntries(uint8_t count, int capacity) {
    return count < capacity ? count : capacity;
}

}  // namespace

extern "C" {

constexpr ConfigOpts constOpts = makeDefaults();

void setDefaultConfigOpts(ConfigOpts *dst) {
    if (dst == nullptr) {
        DEBUG_LOG(1, "Failed to set default configurations.\n");
        return;
    }
    DEBUG_LOG(2, "Set default configurations.\n");
    std::memcpy(dst, &constOpts, sizeof(ConfigOpts));
    print_config_opts(dst);
}

void print_config_opts(const ConfigOpts *opts) {
    if (opts == nullptr) return;
    const ConfigOpts &o = *opts;
    DEBUG_LOG(2, "________%s________ START\n", "print_config_opts");
    DEBUG_LOG(2, "quant:       %u\n", unsigned{o.quant});
    DEBUG_LOG(2, "qWrap:       %u\n", unsigned{o.qWrap});
    DEBUG_LOG(2, "distSF:      %u\n", unsigned{o.distSF});
    DEBUG_LOG(2, "calDistOffset:      %lf\n", o.calDistOffset);
    DEBUG_LOG(2, "chMax:       %u\n", unsigned{o.chMax});
    DEBUG_LOG(2, "pctPrior:    %u\n", unsigned{o.pctPrior});
    DEBUG_LOG(2, "pctInvert:   %d\n", int{o.pctInvert});
    DEBUG_LOG(2, "pctMode:     %u\n", unsigned{o.pctMode});
    DEBUG_LOG(2, "pctMask:     %u\n", unsigned{o.pctMask});
    DEBUG_LOG(2, "phEnable:    %d\n", int{o.phEnable});
    DEBUG_LOG(2, "phConfFac:   %u\n", unsigned{o.phConfFac});
    DEBUG_LOG(2, "muOrdSetLen  %d\n", int{o.muOrdSetLen});
    for (int i = 0; i < usedEntries(o.muOrdSetLen, TARN_MU_ORD_SET_MAX); ++i)
        DEBUG_LOG(2, "muOrdSet[%d]:   %u\n", i, unsigned{o.muOrdSet[i]});
    DEBUG_LOG(2, "muCovSetLen  %d\n", int{o.muCovSetLen});
    for (int i = 0; i < usedEntries(o.muCovSetLen, TARN_MU_ORD_SET_MAX); ++i)
        DEBUG_LOG(2, "muCovSet[%d]:   %u\n", i, unsigned{o.muCovSet[i]});
    DEBUG_LOG(2, "muConfFacLen  %d\n", int{o.muConfFacLen});
    for (int i = 0; i < usedEntries(o.muConfFacLen, TARN_MU_CONF_FAC_MAX); ++i)
        DEBUG_LOG(2, "muConfFac[%d]:   %lf\n", i, o.muConfFac[i]);
    for (int i = 0; i < 4; ++i) DEBUG_LOG(2, "disCal[%d]:      %lf\n", i, o.disCal[i]);
    DEBUG_LOG(2, "muMaxEigs:   %lf\n", o.muMaxEigs);
    DEBUG_LOG(2, "muMagThr:    %lf\n", o.muMagThr);
    DEBUG_LOG(2, "fiAddGconf:  %d\n", int{o.fiAddGconf});
    DEBUG_LOG(2, "fiMaxPeriod: %u\n", unsigned{o.fiMaxPeriod});
    DEBUG_LOG(2, "fiMinConf:   %u\n", unsigned{o.fiMinConf});
    DEBUG_LOG(2, "fiMaxDelta:  %u\n", unsigned{o.fiMaxDelta});
    DEBUG_LOG(2, "fiConfDecay: %lf\n", o.fiConfDecay);
    DEBUG_LOG(2, "fiPkConfThr: %lf\n", o.fiPkConfThr);
    DEBUG_LOG(2, "fiExclFrac:  %lf\n", o.fiExclFrac);
    DEBUG_LOG(2, "fiAvgPwr:    %lf\n", o.fiAvgPwr);
    DEBUG_LOG(2, "fiVelAvg:    %lf\n", o.fiVelAvg);
    DEBUG_LOG(2, "pctQscale:   %d\n", int{o.pctQscale});
    DEBUG_LOG(2, "velocityBasedUpdate:           %u\n", unsigned{o.velocityBasedUpdate});
    DEBUG_LOG(2, "fiDistanceCombiningMethod:     %u\n", unsigned{o.fiDistanceCombiningMethod});
    DEBUG_LOG(2, "fiUsePrevDistFilter:     %d\n", int{o.fiUsePrevDistFilter});
    DEBUG_LOG(2, "sol:    %lf\n", o.sol);
    DEBUG_LOG(2, " phaseRotationOffset : %lf\n", o.phaseRotationOffset);
    DEBUG_LOG(2, " phDistFrac : %lf\n", o.phDistFrac);
    DEBUG_LOG(2, " minPhaseBasedFilterPhaseDist : %lf\n", o.minPhaseBasedFilterPhaseDist);
    DEBUG_LOG(2, " phaseMusicFilter : %d\n", int{o.phaseMusicFilter});
    DEBUG_LOG(2, " priorProximityMusicFilter : %d\n", int{o.priorProximityMusicFilter});
    DEBUG_LOG(2, " discardNegativeMusicValues : %d\n", int{o.discardNegativeMusicValues});
    DEBUG_LOG(2, " muOffset : %lf\n", o.muOffset);
    DEBUG_LOG(2, " smallerMusicOrderFilterOffsetLower : %lf\n",
              o.smallerMusicOrderFilterOffsetLower);
    DEBUG_LOG(2, " smallerMusicOrderFilterOffsetUpper : %lf\n",
              o.smallerMusicOrderFilterOffsetUpper);
    DEBUG_LOG(2, "rttFilterType:    %d\n", int{o.rttFilterType});
    DEBUG_LOG(2, "rttDisCalAA:    %lf\n", o.rttDisCalAA);
    DEBUG_LOG(2, "rttDisCalSS:    %lf\n", o.rttDisCalSS);
    DEBUG_LOG(2, "rttDisCalRS:    %lf\n", o.rttDisCalRS);
    DEBUG_LOG(2, "logLevel:    %d\n", int{o.logLevel});
    DEBUG_LOG(2, "useProductChannelDist:    %d\n", int{o.useProductChannelDist});
    DEBUG_LOG(2, "EnableCal:    %d\n", int{o.EnableCal});
    DEBUG_LOG(2, "rtpFilterType  : %d\n", int{o.rtpFilterType});
    DEBUG_LOG(2, "rtpSlidingWindowSize : %d\n", int{o.rtpSlidingWindowSize});
    DEBUG_LOG(2, "rtpSlidingWindowFrameSize %d\n", int{o.rtpSlidingWindowFrameSize});
    DEBUG_LOG(2, "rtpWithinRttThresh %lf\n", o.rtpWithinRttThresh);
    DEBUG_LOG(2, "slidingWindowMaxPeriod %lf\n", o.slidingWindowMaxPeriod);
    DEBUG_LOG(2, "rttFiMaxPeriod %lf\n", o.rttFiMaxPeriod);
    DEBUG_LOG(2, "filterMusicOrdersMethod %d\n", int{o.filterMusicOrdersMethod});
    DEBUG_LOG(2, "numFilterAntennaMusicStdDev %d\n", int{o.numFilterAntennaMusicStdDev});
}

}  // extern "C"
