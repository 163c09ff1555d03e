/* The options record ConfigOpts, its sizes, layout checks and the values of
 * its enum-like options (records only; the defaults constOpts and the
 * configuration readers are declared in tarn_config.h). */
#ifndef TARN_CONFIG_TYPES_H
#define TARN_CONFIG_TYPES_H

#include "tarn_common.h"

TARN_BEGIN_DECLS

/* Sizes of the fixed arrays inside ConfigOpts. */
#define TARN_MU_ORD_SET_MAX 7      /* muOrdSet / muCovSet entries */
#define TARN_MU_CONF_FAC_MAX 3     /* muConfFac entries */
#define TARN_CAL_CHANNELS 79       /* calTable rows (channel index 0..78) */
#define TARN_CAL_PATHS 4           /* calTable columns (antenna paths 1..4) */
#define TARN_CAL_FILE_PATH_LEN 206 /* calFilePath bytes, NUL included */

/* Every tunable of the estimators. The record crosses the host boundary in
 * both directions, so its layout is fixed byte for byte (little-endian, 5824
 * bytes, no pointers). Padding is spelled out so that the offsets do not
 * depend on the ABI's alignment of 8-byte types (4 on 32-bit x86, 8 on ARM);
 * padding is zero in constOpts and never read. A switch is a uint8 where 1
 * turns the behaviour on. Distances are in metres unless noted. Each field
 * says its unit, range and default. The configuration file's repairs put the
 * default back into a checked field outside its range (the option list,
 * src/config/options_list.h, says which and why); a record installed through
 * csSetParam / csIfSetParam gets the same, plus a check of its reals. */
typedef struct ConfigOpts {
    /* switch, default 0: round processed tones and the phase-slope distance to whole numbers */
    uint8_t quant;                             /*    0 */
    /* switch, default 0: phase-slope results enter the result filter as candidates */
    uint8_t phEnable;                          /*    1 */
    /* switch, default 0: conjugate every phase correction term before use */
    uint8_t pctInvert;                         /*    2 */
    /* switch, default 1: 1 keeps tone qualities as reported, 0 maps grades 0/1/2 to 126/84/42 */
    uint8_t pctQscale;                         /*    3 */
    /* switch, default 0: a rejected MUSIC pair moves with the velocity estimate */
    uint8_t velocityBasedUpdate;               /*    4 */
    /* TARN_PCT_PRIOR_*, 0..5, default 5: the prior distance rotated out of the tones */
    uint8_t pctPrior;                          /*    5 */
    /* TARN_PCT_MODE_*, default 0: how both directions' tones are combined */
    uint8_t pctMode;                           /*    6 */
    /* 0..10, default 0: accepted and checked, read by no estimator */
    uint8_t pctMask;                           /*    7 */
    /* 0..10, default 2: confidence penalty factor of the phase-slope estimator */
    uint8_t phConfFac;                         /*    8 */
    uint8_t pad9[7];                           /*    9 */
    /* fraction, default 0.7: share of the phase distance used by the MUSIC phase filter */
    double phDistFrac;                         /*   16 */
    /* m, default 18.0: phase distance above which the MUSIC phase filter applies */
    double minPhaseBasedFilterPhaseDist;       /*   24 */
    /* switch, default 1: MUSIC phase filter on */
    uint8_t phaseMusicFilter;                  /*   32 */
    /* switch, default 0: pick the MUSIC candidate closest to the previous distance */
    uint8_t priorProximityMusicFilter;         /*   33 */
    /* percent, default 100 (0 is invalid): added to each path's coverage confidence, sum clamped to 0..100 */
    int8_t fiAddGconf;                         /*   34 */
    uint8_t pad35[1];                          /*   35 */
    /* s, 0..10, default 4: oldest previous result the phase tracking still continues from */
    uint32_t fiMaxPeriod;                      /*   36 */
    /* percent, default 15 (the file's limit is 10, see the repairs): least confidence for a tracking update */
    uint8_t fiMinConf;                         /*   40 */
    /* m, default 15 (the file's limit is 10): largest jump the result filter's gate accepts */
    uint8_t fiMaxDelta;                        /*   41 */
    uint8_t pad42[6];                          /*   42 */
    /* default 2.0 (3.0 is read as a writer's mistake): exponent on confidence/100 in the IIR weight */
    double fiAvgPwr;                           /*   48 */
    /* TARN_COMBINE_*, 0..3, default 3: how the result filter pools its candidates */
    uint8_t fiDistanceCombiningMethod;         /*   56 */
    /* TARN_GATE_ON_*, default 1: the reference a MUSIC pair is gated against */
    uint8_t fiUsePrevDistFilter;               /*   57 */
    /* channel slots, only 79 */
    uint8_t chMax;                             /*   58 */
    uint8_t pad59[5];                          /*   59 */
    /* m, default 0.0 each: distance calibration of antenna paths 1..4 (tone rotation) */
    double disCal[4];                          /*   64 */
    /* m, default 0.0: offset added to the phase-based distances */
    double calDistOffset;                      /*   96 */
    /* 0..10, default 1.0: strength margin of the MUSIC root filter */
    double muMaxEigs;                          /*  104 */
    /* used entries of muConfFac, at most 3, default 2 */
    uint8_t muConfFacLen;                      /*  112 */
    uint8_t pad113[7];                         /*  113 */
    /* default {35.0, 0.5, 0.0}: [0] scales the MUSIC confidence, [1] weights the phase confidence against it */
    double muConfFac[TARN_MU_CONF_FAC_MAX];    /* 120 */
    /* used entries of muOrdSet, at most 7, default 6 */
    uint8_t muOrdSetLen;                       /*  144 */
    /* MUSIC model orders, default {2, 4, 6, 7, 8, 9, 0} */
    uint8_t muOrdSet[TARN_MU_ORD_SET_MAX];     /* 145 */
    /* used entries of muCovSet, at most 7, default 6 */
    uint8_t muCovSetLen;                       /*  152 */
    /* covariance size per order slot (at most 27), default {4, 8, 12, 14, 16, 18, 0} */
    uint8_t muCovSet[TARN_MU_ORD_SET_MAX];     /* 153 */
    /* m x distSF as compared, default -3.0: a path's MUSIC orders are dropped below this phase distance */
    double muOffset;                           /*  160 */
    /* m, default 15.0: lower offset of the smaller-order MUSIC filter */
    double smallerMusicOrderFilterOffsetLower; /* 168 */
    /* m, default 7.0: upper offset of the smaller-order MUSIC filter */
    double smallerMusicOrderFilterOffsetUpper; /* 176 */
    /* switch, default 1: apply the muOffset test */
    uint8_t muOffsetFilter;                    /*  184 */
    uint8_t pad185[1];                         /*  185 */
    /* distance units per metre, only 1000 (results are in millimetres) */
    uint16_t distSF;                           /*  186 */
    /* phase units per full turn, 1..65536, default 65536 */
    uint32_t qWrap;                            /*  188 */
    /* fraction, default 0.2: confidence decay per update of the IIR filters */
    double fiConfDecay;                        /*  192 */
    /* fraction, default 0.0: share of the best confidence a candidate must reach */
    double fiPkConfThr;                        /*  200 */
    /* fraction, default 0.0: share of the sorted candidates trimmed from both ends */
    double fiExclFrac;                         /*  208 */
    /* fraction, default 0.0: weight of the previous velocity in its smoothing */
    double fiVelAvg;                           /*  216 */
    /* default 0.85: smallest root magnitude the MUSIC root filter keeps */
    double muMagThr;                           /*  224 */
    /* m/s, default 299700000.0: propagation speed turning phase and time into distance */
    double sol;                                /*  232 */
    /* m, default 15.0: distance offset of the tone rotation */
    double phaseRotationOffset;                /*  240 */
    /* TARN_RTT_FILTER_*, default 4: tracking filter of the round-trip distance */
    uint8_t rttFilterType;                     /*  248 */
    uint8_t pad249[7];                         /*  249 */
    /* m, default 0.0: calibration added to the raw round-trip distance */
    double rttDisCalAA;                        /*  256 */
    /* m, default 0.0: set and dumped, read by no estimator */
    double rttDisCalSS;                        /*  264 */
    /* m, default 0.0: set and dumped, read by no estimator */
    double rttDisCalRS;                        /*  272 */
    /* s, default 4.0: gap after which the round-trip Kalman filter restarts */
    double rttFiMaxPeriod;                     /*  280 */
    /* 0..4, default 0: log threshold installed when a link is created */
    uint8_t logLevel;                          /*  288 */
    /* switch, default 1: discard negative MUSIC distances */
    uint8_t discardNegativeMusicValues;        /*  289 */
    /* switch, default 1: product-channel estimate after a tracking restart */
    uint8_t useProductChannelDist;             /*  290 */
    /* switch, default 0: calibration mode (overrides written into the link's options) */
    uint8_t EnableCal;                         /*  291 */
    /* TARN_RTP_FILTER_*, default 3: regime and output filter of the result filter */
    uint8_t rtpFilterType;                     /*  292 */
    uint8_t pad293[1];                         /*  293 */
    /* slots, at most 20, default 10: phase output window */
    uint16_t rtpSlidingWindowSize;             /*  294 */
    /* percent, at most 100, default 40: 0 median, 100 mean, else trimmed mean */
    uint16_t rtpSlidingWindowFrameSize;        /*  296 */
    uint8_t pad298[6];                         /*  298 */
    /* s, default 3.0: oldest slot the sliding windows use */
    double slidingWindowMaxPeriod;             /*  304 */
    /* slots, at most 20, default 10: round-trip window */
    uint16_t rttSlidingWindowSize;             /*  312 */
    /* percent, at most 100, default 40: as rtpSlidingWindowFrameSize */
    uint16_t rttSlidingWindowFrameSize;        /*  314 */
    uint8_t pad316[4];                         /*  316 */
    /* m, default 30.0: largest phase/round-trip difference for which the phase result is delivered */
    double rtpWithinRttThresh;                 /*  320 */
    /* switch, default 1: that rule on */
    uint8_t returnRtpWithinRttThresh;          /*  328 */
    uint8_t pad329[7];                         /*  329 */
    /* percent, default 65.0: phase confidence that lets path selection trust the phase slope */
    double phaseConfidenceThresh;              /*  336 */
    /* m, default 1.0: window around the phase estimate in path selection */
    double phaseEstimateWindow;                /*  344 */
    /* paths, default 0: how many the MUSIC spread filter may drop */
    uint8_t numFilterAntennaMusicStdDev;       /*  352 */
    uint8_t pad353[7];                         /*  353 */
    /* m, default 2.5: a path within this of the lowest MUSIC spread is kept */
    double keepAntPathWithStdWithinThreh;      /*  360 */
    /* TARN_MUSIC_ORDERS_*, default 0: whether tracked MUSIC orders are candidates */
    uint8_t filterMusicOrdersMethod;           /*  368 */
    /* switch (non-zero), default 1: no event phase alignment */
    uint8_t disableAlignEventPhase;            /*  369 */
    /* switch, default 1: tones with an all-zero phase correction term are unusable */
    uint8_t discardZeroPCT;                    /*  370 */
    /* switch, default 1: bound MUSIC around the channel centre (rewrites the order sets) */
    uint8_t useChannelCenterForBoundMusicEst;  /* 371 */
    uint8_t pad372[4];                         /*  372 */
    /* default 7.0: lower-bound coefficient of the MUSIC estimator */
    double lowerBoundCoef;                     /*  376 */
    /* m, default 6.0: largest MUSIC spread of a kept path */
    double maxMusicStdDev;                     /*  384 */
    /* switch, default 1: calibration mode uses three MUSIC orders */
    uint8_t use3OrdersForCal;                  /*  392 */
    /* switch, default 0: multiply tones by calTable (cleared when the table file fails) */
    uint8_t applyEstimatedReverseChannel;      /*  393 */
    /* NUL-terminated path of the calibration table file */
    char calFilePath[TARN_CAL_FILE_PATH_LEN];  /* 394 */
    /* Row-major by channel index: entry (c, p) starts at 600 + 64 c + 16 p. */
    /* calibration value per channel index 0..78 and path 1..4 (file, host, or estimated) */
    TarnCplxD calTable[TARN_CAL_CHANNELS][TARN_CAL_PATHS]; /* 600 */
    /* percent, default 60: least coverage confidence of a kept path */
    uint8_t minAllowedGconf;                               /* 5656 */
    /* switch, default 0: drop paths whose phase-fit error exceeds maxAllowedPhFitError */
    uint8_t filterBasedOnPhFit;                            /* 5657 */
    uint8_t pad5658[6];                                    /* 5658 */
    /* degrees, default 60.0 */
    double maxAllowedPhFitError;                           /* 5664 */
    /* m, default 1.5: added to the first-order MUSIC distance for the upper bound */
    double chanCenterUBOffset;                             /* 5672 */
    /* m, default 25.0: subtracted from the phase distance for the lower bound */
    double chanCenterLBOffset;                             /* 5680 */
    /* percent, default 25: pooled percentile with 4 valid paths */
    uint8_t percentile4AP;                                 /* 5688 */
    /* percent, default 30: with 3 valid paths */
    uint8_t percentile3AP;                                 /* 5689 */
    /* percent, default 40: with 2 valid paths */
    uint8_t percentile2AP;                                 /* 5690 */
    uint8_t pad5691[1];                                    /* 5691 */
    /* power of two up to 16384, default 512: impulse-response transform size */
    uint16_t ifftSize;                                     /* 5692 */
    uint8_t pad5694[2];                                    /* 5694 */
    /* m, default 10.0: delay given to the impulse response so a near path does not wrap */
    double cirOffset;                                      /* 5696 */
    /* fraction, default 0.3: share of the strongest peak above which a peak counts */
    double cirPeakRatio;                                   /* 5704 */
    /* dB, default 9.0: least maximum-to-mean level of a kept path */
    double minCirMaxToMeanLeveldB;                         /* 5712 */
    /* dB, default 10.0: least maximum-to-median level of a kept path */
    double minCirMaxToMedianLeveldB;                       /* 5720 */
    /* m, default 85.0: largest delay spread of a kept path */
    double maxAllowedDS;                                   /* 5728 */
    /* peaks, default 25.0: most counted peaks of a kept path */
    double cirMaxAllowedTapsAbovePeakRatio;                /* 5736 */
    /* switch, default 1: drop paths whose impulse response fails those tests */
    uint8_t filterBasedOnCIR;                              /* 5744 */
    /* switch, default 0: discard tones whose quality is unavailable */
    uint8_t discardUnavailableQualityTones;                /* 5745 */
    uint8_t pad5746[2];                                    /* 5746 */
    /* procedures, default 2: without a valid MUSIC order before a path loses its candidates */
    int32_t APinValidCounterMax;                           /* 5748 */
    /* procedures, default 6: without any valid MUSIC update before tracking restarts */
    int32_t inValidCounterMax;                             /* 5752 */
    /* peaks, default 10: most counted peaks before the strongest one */
    uint8_t cirMaxAllowedTapsBeforeMaxPeak;                /* 5756 */
    /* switch, default 1: drop negative times of flight */
    uint8_t dropNegativeRTTTof;                            /* 5757 */
    /* switch, default 1: a negative round-trip distance is no distance */
    uint8_t dropNegativeRTTDistances;                      /* 5758 */
    uint8_t pad5759[1];                                    /* 5759 */
    /* steps, default 15: fewest usable round-trip steps for a distance */
    int32_t minRttStepsForDistEstimation;                  /* 5760 */
    uint8_t pad5764[4];                                    /* 5764 */
    /* 0.5 ns units, default 1067.0: times of flight at or above are dropped */
    double rttTofUpperBond;                                /* 5768 */
    /* switch, default 1: lower MUSIC distances to the impulse response's early arrival */
    uint8_t correctMusicWithCir;                           /* 5776 */
    uint8_t pad5777[7];                                    /* 5777 */
    /* dB, default 4.0: level above the mean an early peak must reach */
    double cirValueAboveNoiseDBThr;                        /* 5784 */
    /* dB, default 0.0: largest distance below the strongest peak of an early peak */
    double cirDistFromMaxDBThr;                            /* 5792 */
    /* m, default 0.0: margin by which the early arrival must undercut MUSIC */
    double cirCorrectionOffset;                            /* 5800 */
    /* switch, default 0: estimate calTable from the next maxProcForCal procedures */
    uint8_t estimateFilterChannel;                         /* 5808 */
    uint8_t pad5809[1];                                    /* 5809 */
    /* procedures, default 0 (never finishes): length of that estimation */
    uint16_t maxProcForCal;                                /* 5810 */
    uint8_t pad5812[4];                                    /* 5812 */
    /* m, default 0.5: true distance of the calibration set-up */
    double trueCalibrationDistance;                        /* 5816 */
} ConfigOpts;

#define TARN_CONFIG_OPTS_SIZE 5824

#define TARN_OPTS_AT(field, off) \
    TARN_STATIC_ASSERT(offsetof(ConfigOpts, field) == (off), "ConfigOpts." #field " offset")
TARN_OPTS_AT(quant, 0);
TARN_OPTS_AT(phEnable, 1);
TARN_OPTS_AT(pctInvert, 2);
TARN_OPTS_AT(pctQscale, 3);
TARN_OPTS_AT(velocityBasedUpdate, 4);
TARN_OPTS_AT(pctPrior, 5);
TARN_OPTS_AT(pctMode, 6);
TARN_OPTS_AT(pctMask, 7);
TARN_OPTS_AT(phConfFac, 8);
TARN_OPTS_AT(phDistFrac, 16);
TARN_OPTS_AT(minPhaseBasedFilterPhaseDist, 24);
TARN_OPTS_AT(phaseMusicFilter, 32);
TARN_OPTS_AT(priorProximityMusicFilter, 33);
TARN_OPTS_AT(fiAddGconf, 34);
TARN_OPTS_AT(fiMaxPeriod, 36);
TARN_OPTS_AT(fiMinConf, 40);
TARN_OPTS_AT(fiMaxDelta, 41);
TARN_OPTS_AT(fiAvgPwr, 48);
TARN_OPTS_AT(fiDistanceCombiningMethod, 56);
TARN_OPTS_AT(fiUsePrevDistFilter, 57);
TARN_OPTS_AT(chMax, 58);
TARN_OPTS_AT(disCal, 64);
TARN_OPTS_AT(calDistOffset, 96);
TARN_OPTS_AT(muMaxEigs, 104);
TARN_OPTS_AT(muConfFacLen, 112);
TARN_OPTS_AT(muConfFac, 120);
TARN_OPTS_AT(muOrdSetLen, 144);
TARN_OPTS_AT(muOrdSet, 145);
TARN_OPTS_AT(muCovSetLen, 152);
TARN_OPTS_AT(muCovSet, 153);
TARN_OPTS_AT(muOffset, 160);
TARN_OPTS_AT(smallerMusicOrderFilterOffsetLower, 168);
TARN_OPTS_AT(smallerMusicOrderFilterOffsetUpper, 176);
TARN_OPTS_AT(muOffsetFilter, 184);
TARN_OPTS_AT(distSF, 186);
TARN_OPTS_AT(qWrap, 188);
TARN_OPTS_AT(fiConfDecay, 192);
TARN_OPTS_AT(fiPkConfThr, 200);
TARN_OPTS_AT(fiExclFrac, 208);
TARN_OPTS_AT(fiVelAvg, 216);
TARN_OPTS_AT(muMagThr, 224);
TARN_OPTS_AT(sol, 232);
TARN_OPTS_AT(phaseRotationOffset, 240);
TARN_OPTS_AT(rttFilterType, 248);
TARN_OPTS_AT(rttDisCalAA, 256);
TARN_OPTS_AT(rttDisCalSS, 264);
TARN_OPTS_AT(rttDisCalRS, 272);
TARN_OPTS_AT(rttFiMaxPeriod, 280);
TARN_OPTS_AT(logLevel, 288);
TARN_OPTS_AT(discardNegativeMusicValues, 289);
TARN_OPTS_AT(useProductChannelDist, 290);
TARN_OPTS_AT(EnableCal, 291);
TARN_OPTS_AT(rtpFilterType, 292);
TARN_OPTS_AT(rtpSlidingWindowSize, 294);
TARN_OPTS_AT(rtpSlidingWindowFrameSize, 296);
TARN_OPTS_AT(slidingWindowMaxPeriod, 304);
TARN_OPTS_AT(rttSlidingWindowSize, 312);
TARN_OPTS_AT(rttSlidingWindowFrameSize, 314);
TARN_OPTS_AT(rtpWithinRttThresh, 320);
TARN_OPTS_AT(returnRtpWithinRttThresh, 328);
TARN_OPTS_AT(phaseConfidenceThresh, 336);
TARN_OPTS_AT(phaseEstimateWindow, 344);
TARN_OPTS_AT(numFilterAntennaMusicStdDev, 352);
TARN_OPTS_AT(keepAntPathWithStdWithinThreh, 360);
TARN_OPTS_AT(filterMusicOrdersMethod, 368);
TARN_OPTS_AT(disableAlignEventPhase, 369);
TARN_OPTS_AT(discardZeroPCT, 370);
TARN_OPTS_AT(useChannelCenterForBoundMusicEst, 371);
TARN_OPTS_AT(lowerBoundCoef, 376);
TARN_OPTS_AT(maxMusicStdDev, 384);
TARN_OPTS_AT(use3OrdersForCal, 392);
TARN_OPTS_AT(applyEstimatedReverseChannel, 393);
TARN_OPTS_AT(calFilePath, 394);
TARN_OPTS_AT(calTable, 600);
TARN_OPTS_AT(minAllowedGconf, 5656);
TARN_OPTS_AT(filterBasedOnPhFit, 5657);
TARN_OPTS_AT(maxAllowedPhFitError, 5664);
TARN_OPTS_AT(chanCenterUBOffset, 5672);
TARN_OPTS_AT(chanCenterLBOffset, 5680);
TARN_OPTS_AT(percentile4AP, 5688);
TARN_OPTS_AT(percentile3AP, 5689);
TARN_OPTS_AT(percentile2AP, 5690);
TARN_OPTS_AT(ifftSize, 5692);
TARN_OPTS_AT(cirOffset, 5696);
TARN_OPTS_AT(cirPeakRatio, 5704);
TARN_OPTS_AT(minCirMaxToMeanLeveldB, 5712);
TARN_OPTS_AT(minCirMaxToMedianLeveldB, 5720);
TARN_OPTS_AT(maxAllowedDS, 5728);
TARN_OPTS_AT(cirMaxAllowedTapsAbovePeakRatio, 5736);
TARN_OPTS_AT(filterBasedOnCIR, 5744);
TARN_OPTS_AT(discardUnavailableQualityTones, 5745);
TARN_OPTS_AT(APinValidCounterMax, 5748);
TARN_OPTS_AT(inValidCounterMax, 5752);
TARN_OPTS_AT(cirMaxAllowedTapsBeforeMaxPeak, 5756);
TARN_OPTS_AT(dropNegativeRTTTof, 5757);
TARN_OPTS_AT(dropNegativeRTTDistances, 5758);
TARN_OPTS_AT(minRttStepsForDistEstimation, 5760);
TARN_OPTS_AT(rttTofUpperBond, 5768);
TARN_OPTS_AT(correctMusicWithCir, 5776);
TARN_OPTS_AT(cirValueAboveNoiseDBThr, 5784);
TARN_OPTS_AT(cirDistFromMaxDBThr, 5792);
TARN_OPTS_AT(cirCorrectionOffset, 5800);
TARN_OPTS_AT(estimateFilterChannel, 5808);
TARN_OPTS_AT(maxProcForCal, 5810);
TARN_OPTS_AT(trueCalibrationDistance, 5816);
TARN_STATIC_ASSERT(sizeof(ConfigOpts) == TARN_CONFIG_OPTS_SIZE, "ConfigOpts size");
TARN_STATIC_ASSERT(sizeof(TarnCplxD) == 16, "calTable entry size");
#undef TARN_OPTS_AT

/* ---- Values of the enum-like options ------------------------------------ */

/* pctPrior: the distance the tone processing rotates out of the tones before
 * it unwraps them (the estimators add it back). Values up to
 * TARN_PCT_PRIOR_MAX; a file or record with more gets the default. */
#define TARN_PCT_PRIOR_PREVIOUS 0   /* 0..2: the link's previous distance when valid, else none */
#define TARN_PCT_PRIOR_PRODUCT_OR_PREVIOUS 3 /* product-channel estimate; interpolated mode: previous distance */
#define TARN_PCT_PRIOR_PHASE_SLOPE 4 /* the phase-slope distance of the same procedure (0 below 20 m) */
#define TARN_PCT_PRIOR_PRODUCT 5    /* product-channel estimate when valid, else previous (default) */
#define TARN_PCT_PRIOR_MAX 5

/* pctMode: how both directions' tones become one response per channel. Any
 * other value processes nothing (the procedure gives no phase estimate). */
#define TARN_PCT_MODE_ROOT 0         /* square root of the product, gaps filled after (default) */
#define TARN_PCT_MODE_INTERPOLATED 1 /* product's gaps filled first, then its square root */

/* fiDistanceCombiningMethod: how the result filter pools its candidates. */
#define TARN_COMBINE_MEAN 0
#define TARN_COMBINE_MEDIAN 1
#define TARN_COMBINE_MIN_MEAN_MEDIAN 2   /* also any value above 3 from a host record */
#define TARN_COMBINE_PERCENTILE_BY_PATHS 3 /* percentile2AP/3AP/4AP by valid paths (default) */

/* filterMusicOrdersMethod: whether tracked MUSIC orders become candidates. */
#define TARN_MUSIC_ORDERS_ALL 0  /* also 2 (default 0) */
#define TARN_MUSIC_ORDERS_NONE 1 /* also 3 and above: only phase-slope candidates */

/* fiUsePrevDistFilter: the reference a tracked MUSIC pair is gated against. */
#define TARN_GATE_ON_POOLED 1 /* the pooled estimate (the link's after a reset) (default) */
#define TARN_GATE_ON_PAIR 0   /* any other value: the pair's own previous state */

/* rttFilterType values: the round-trip-time estimator's tracking filter (any
 * other value: no filter, the raw distance is delivered). */
#define TARN_RTT_FILTER_KALMAN 1
#define TARN_RTT_FILTER_WINDOW 2
#define TARN_RTT_FILTER_KALMAN_WINDOW 4

/* rtpFilterType values: the phase result filter's regime and output filter.
 * TARN_RTP_FILTER_TRACKING and TARN_RTP_FILTER_TRACKING_WINDOW track the
 * per-path candidates over time; the others filter the direct estimate. */
#define TARN_RTP_FILTER_TRACKING 0
#define TARN_RTP_FILTER_KALMAN 1
#define TARN_RTP_FILTER_WINDOW 2
#define TARN_RTP_FILTER_TRACKING_WINDOW 3

TARN_END_DECLS

#endif /* TARN_CONFIG_TYPES_H */
