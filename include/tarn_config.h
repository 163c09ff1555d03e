/* Configuration: options record and defaults, configuration file, calibration table file. */
#ifndef TARN_CONFIG_H
#define TARN_CONFIG_H

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
 * turns the behaviour on. Distances are in metres unless noted. */
typedef struct ConfigOpts {
    uint8_t quant;                             /*    0 */
    uint8_t phEnable;                          /*    1 */
    uint8_t pctInvert;                         /*    2 */
    uint8_t pctQscale;                         /*    3 */
    uint8_t velocityBasedUpdate;               /*    4 */
    uint8_t pctPrior;                          /*    5 */
    uint8_t pctMode;                           /*    6 */
    uint8_t pctMask;                           /*    7 */
    uint8_t phConfFac;                         /*    8 */
    uint8_t pad9[7];                           /*    9 */
    double phDistFrac;                         /*   16 */
    double minPhaseBasedFilterPhaseDist;       /*   24 */
    uint8_t phaseMusicFilter;                  /*   32 */
    uint8_t priorProximityMusicFilter;         /*   33 */
    int8_t fiAddGconf;                         /*   34 */
    uint8_t pad35[1];                          /*   35 */
    uint32_t fiMaxPeriod;                      /*   36 */
    uint8_t fiMinConf;                         /*   40 */
    uint8_t fiMaxDelta;                        /*   41 */
    uint8_t pad42[6];                          /*   42 */
    double fiAvgPwr;                           /*   48 */
    uint8_t fiDistanceCombiningMethod;         /*   56 */
    uint8_t fiUsePrevDistFilter;               /*   57 */
    uint8_t chMax;                             /*   58 */
    uint8_t pad59[5];                          /*   59 */
    double disCal[4];                          /*   64 */
    double calDistOffset;                      /*   96 */
    double muMaxEigs;                          /*  104 */
    uint8_t muConfFacLen;                      /*  112 */
    uint8_t pad113[7];                         /*  113 */
    double muConfFac[TARN_MU_CONF_FAC_MAX];    /* 120 */
    uint8_t muOrdSetLen;                       /*  144 */
    uint8_t muOrdSet[TARN_MU_ORD_SET_MAX];     /* 145 */
    uint8_t muCovSetLen;                       /*  152 */
    uint8_t muCovSet[TARN_MU_ORD_SET_MAX];     /* 153 */
    double muOffset;                           /*  160 */
    double smallerMusicOrderFilterOffsetLower; /* 168 */
    double smallerMusicOrderFilterOffsetUpper; /* 176 */
    uint8_t muOffsetFilter;                    /*  184 */
    uint8_t pad185[1];                         /*  185 */
    uint16_t distSF;                           /*  186 */
    uint32_t qWrap;                            /*  188 */
    double fiConfDecay;                        /*  192 */
    double fiPkConfThr;                        /*  200 */
    double fiExclFrac;                         /*  208 */
    double fiVelAvg;                           /*  216 */
    double muMagThr;                           /*  224 */
    double sol;                                /*  232 */
    double phaseRotationOffset;                /*  240 */
    uint8_t rttFilterType;                     /*  248 */
    uint8_t pad249[7];                         /*  249 */
    double rttDisCalAA;                        /*  256 */
    double rttDisCalSS;                        /*  264 */
    double rttDisCalRS;                        /*  272 */
    double rttFiMaxPeriod;                     /*  280 */
    uint8_t logLevel;                          /*  288 */
    uint8_t discardNegativeMusicValues;        /*  289 */
    uint8_t useProductChannelDist;             /*  290 */
    uint8_t EnableCal;                         /*  291 */
    uint8_t rtpFilterType;                     /*  292 */
    uint8_t pad293[1];                         /*  293 */
    uint16_t rtpSlidingWindowSize;             /*  294 */
    uint16_t rtpSlidingWindowFrameSize;        /*  296 */
    uint8_t pad298[6];                         /*  298 */
    double slidingWindowMaxPeriod;             /*  304 */
    uint16_t rttSlidingWindowSize;             /*  312 */
    uint16_t rttSlidingWindowFrameSize;        /*  314 */
    uint8_t pad316[4];                         /*  316 */
    double rtpWithinRttThresh;                 /*  320 */
    uint8_t returnRtpWithinRttThresh;          /*  328 */
    uint8_t pad329[7];                         /*  329 */
    double phaseConfidenceThresh;              /*  336 */
    double phaseEstimateWindow;                /*  344 */
    uint8_t numFilterAntennaMusicStdDev;       /*  352 */
    uint8_t pad353[7];                         /*  353 */
    double keepAntPathWithStdWithinThreh;      /*  360 */
    uint8_t filterMusicOrdersMethod;           /*  368 */
    uint8_t disableAlignEventPhase;            /*  369 */
    uint8_t discardZeroPCT;                    /*  370 */
    uint8_t useChannelCenterForBoundMusicEst;  /* 371 */
    uint8_t pad372[4];                         /*  372 */
    double lowerBoundCoef;                     /*  376 */
    double maxMusicStdDev;                     /*  384 */
    uint8_t use3OrdersForCal;                  /*  392 */
    uint8_t applyEstimatedReverseChannel;      /*  393 */
    char calFilePath[TARN_CAL_FILE_PATH_LEN];  /* 394 */
    /* Row-major by channel index: entry (c, p) starts at 600 + 64 c + 16 p. */
    TarnCplxD calTable[TARN_CAL_CHANNELS][TARN_CAL_PATHS]; /* 600 */
    uint8_t minAllowedGconf;                               /* 5656 */
    uint8_t filterBasedOnPhFit;                            /* 5657 */
    uint8_t pad5658[6];                                    /* 5658 */
    double maxAllowedPhFitError;                           /* 5664 */
    double chanCenterUBOffset;                             /* 5672 */
    double chanCenterLBOffset;                             /* 5680 */
    uint8_t percentile4AP;                                 /* 5688 */
    uint8_t percentile3AP;                                 /* 5689 */
    uint8_t percentile2AP;                                 /* 5690 */
    uint8_t pad5691[1];                                    /* 5691 */
    uint16_t ifftSize;                                     /* 5692 */
    uint8_t pad5694[2];                                    /* 5694 */
    double cirOffset;                                      /* 5696 */
    double cirPeakRatio;                                   /* 5704 */
    double minCirMaxToMeanLeveldB;                         /* 5712 */
    double minCirMaxToMedianLeveldB;                       /* 5720 */
    double maxAllowedDS;                                   /* 5728 */
    double cirMaxAllowedTapsAbovePeakRatio;                /* 5736 */
    uint8_t filterBasedOnCIR;                              /* 5744 */
    uint8_t discardUnavailableQualityTones;                /* 5745 */
    uint8_t pad5746[2];                                    /* 5746 */
    int32_t APinValidCounterMax;                           /* 5748 */
    int32_t inValidCounterMax;                             /* 5752 */
    uint8_t cirMaxAllowedTapsBeforeMaxPeak;                /* 5756 */
    uint8_t dropNegativeRTTTof;                            /* 5757 */
    uint8_t dropNegativeRTTDistances;                      /* 5758 */
    uint8_t pad5759[1];                                    /* 5759 */
    int32_t minRttStepsForDistEstimation;                  /* 5760 */
    uint8_t pad5764[4];                                    /* 5764 */
    double rttTofUpperBond;                                /* 5768 */
    uint8_t correctMusicWithCir;                           /* 5776 */
    uint8_t pad5777[7];                                    /* 5777 */
    double cirValueAboveNoiseDBThr;                        /* 5784 */
    double cirDistFromMaxDBThr;                            /* 5792 */
    double cirCorrectionOffset;                            /* 5800 */
    uint8_t estimateFilterChannel;                         /* 5808 */
    uint8_t pad5809[1];                                    /* 5809 */
    uint16_t maxProcForCal;                                /* 5810 */
    uint8_t pad5812[4];                                    /* 5812 */
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

/* Factory defaults. Never written, so readable from any thread. */
TARN_API extern const ConfigOpts constOpts;

/* Copies constOpts into *dst and dumps it; a null dst is logged and ignored. */
TARN_API void setDefaultConfigOpts(ConfigOpts *dst);

/* Dumps the main options at log level 2. */
TARN_API void print_config_opts(const ConfigOpts *opts);

/* Overlays the key=value lines of the text file at `path` onto *opts, which
 * must already hold a complete record, then repairs out-of-range fields.
 * Returns 0 when the file was read (whatever it held), -1 when it could not
 * be used; *opts is untouched in that case. */
TARN_API int parseConfigFile(const char *path, ConfigOpts *opts);

TARN_END_DECLS

#endif /* TARN_CONFIG_H */
