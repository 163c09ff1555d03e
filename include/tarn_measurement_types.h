/* Records of the measurement intake: the host wire formats of a procedure
 * (step level and procedure level), the ranging state carried between
 * procedures and the estimator context (records only; the intake functions
 * and the exported data are declared in tarn_measurement.h). */
#ifndef TARN_MEASUREMENT_TYPES_H
#define TARN_MEASUREMENT_TYPES_H

#include "tarn_common.h"
#include "tarn_config_types.h"
#include "tarn_estimators_types.h"

TARN_BEGIN_DECLS

#define TARN_MAX_STEPS 256

/* ---- Step-level procedure (host wire format) ---------------------------- */

/* One side's result of one step; which member is valid depends on the mode. */
typedef struct CsStepMode0 {
    uint8_t aaQual;
    int8_t rssi;
    int16_t freqOff;
} CsStepMode0;

typedef struct CsStepMode1 {
    uint8_t aaQual;
    uint8_t security;
    uint8_t antenna; /* unused by the estimators; the procedure input puts its antenna byte here */
    int8_t rssi;
    int16_t timeEst; /* ToA_ToD, 0.5 ns units */
} CsStepMode1;

/* Modes 2 and 3 (mode 3 also carries the round-trip fields). */
typedef struct CsStepTone {
    int16_t *pct;     /* NAP (I, Q) pairs, path by path */
    uint8_t *pctQual; /* NAP tone quality indicators */
    uint8_t antPerm;
    uint8_t rpl;
    uint8_t aaQual;   /* mode 3 */
    uint8_t security; /* mode 3 */
    uint8_t antenna;  /* mode 3: the procedure input's antenna byte */
    int8_t rssi;      /* mode 3 */
    int16_t timeEst;  /* mode 3 */
} CsStepTone;

typedef union CsStepResult {
    CsStepMode0 mode0;
    CsStepMode1 mode1;
    CsStepTone tone;
} CsStepResult;

typedef struct CsMeasurement {
    uint8_t *channels; /* N channel indexes */
    uint8_t *modes;    /* N modes, 0..3 */
    uint8_t NAP;       /* antenna paths, 1..4 (read as signed) */
    CsStepResult *initSteps;
    CsStepResult *reflSteps;
    uint16_t N;      /* number of steps */
    uint32_t timeUs; /* procedure time stamp, microseconds */
} CsMeasurement;

/* ---- Procedure-level input (host wire format) --------------------------- */

typedef struct CsToneData {
    uint8_t antPerm;
    uint8_t pad0[3];
    int32_t toneCount; /* NAP + 1 */
    int32_t *tones;    /* toneCount (I, Q) pairs in reporting order */
    uint32_t reserved;
    uint8_t *toneQual; /* toneCount quality indicators */
} CsToneData;

typedef struct CsStepMode0Data {
    uint8_t aaQual;
    int8_t rssi;
    uint8_t reserved[2];
    int32_t freqOff;
} CsStepMode0Data;

typedef struct CsStepMode1Data {
    uint8_t aaQual;
    uint8_t security;
    int8_t rssi;
    uint8_t pad0;
    int32_t timeEst; /* ToA_ToD, 0.5 ns units */
    uint8_t antenna;
    uint8_t reserved[19];
} CsStepMode1Data;

typedef struct CsStep {
    uint8_t channel;
    uint8_t mode;
    uint8_t pad0[2];
    union {
        CsStepMode0Data mode0;
        CsStepMode1Data mode1; /* also the first part of a mode-3 step */
        CsToneData tone;       /* mode 2 */
    } data;
    CsToneData mode3Tone; /* mode 3 */
} CsStep;

typedef struct CsSubevent {
    uint32_t reserved0;
    uint32_t unused;
    uint8_t rpl;
    int8_t NAP;     /* read from the initiator's first subevent only */
    int8_t aborted; /* non-zero: aborted */
    uint8_t reserved1[5];
    int64_t numSteps;
    CsStep *steps;
    int64_t timestampNs; /* read from the initiator's first subevent only */
} CsSubevent;

typedef struct CsProcedure {
    uint8_t reserved0[8];
    uint32_t reserved1;
    int32_t numInitSubevents;
    CsSubevent *initSubevents;
    uint32_t reserved2;
    int32_t numReflSubevents;
    CsSubevent *reflSubevents;
} CsProcedure;

/* ---- Ranging state ------------------------------------------------------ */

#define TARN_CS_FILTER_ENTRIES 28

/* Time (seconds) a new link holds in its "previous estimate" times: no
 * previous estimate (any negative time means the same). */
#define TARN_NO_PREVIOUS_TIME (-100.0)

/* Per-link filter record (printed with the state; kept for the host's seeding). */
typedef struct CsFilterRecord {
    uint8_t type;
    uint8_t length; /* used entries, at most 28 */
    double time;
    double pvest;
    uint8_t valid[TARN_CS_FILTER_ENTRIES];
    double pdest[TARN_CS_FILTER_ENTRIES];
    double pconf[TARN_CS_FILTER_ENTRIES];
    double disAvg[TARN_CS_FILTER_ENTRIES];
} CsFilterRecord;

/* Ranging state of one link, carried from procedure to procedure. */
typedef struct PresState {
    uint8_t valid;
    double time; /* s; negative = no previous phase estimate */
    double dest; /* previous filtered phase distance, 1/distSF m */
    double vest;
    double conf;
    double rttTime; /* s; negative = no previous round-trip-time estimate */
    CsFilterRecord csFilter;
    uint8_t inValidCounter;
    uint8_t apInvalidCounter[TARN_MAX_ANT_PATHS];
    /* Calibration-table estimation of this link: 1 while a run is under way,
     * and the procedures it has taken. They fill what would otherwise be
     * padding before rttDest, so no documented field moves. */
    uint8_t calRunActive;
    uint16_t calProcCount;
    double rttDest; /* m */
    double rttP;
    double rttK;
} PresState;

/* inValidCounter starts on a 4-byte boundary, so the 3 bytes after the path
 * counters were padding on every ABI the library targets. */
TARN_STATIC_ASSERT(offsetof(PresState, inValidCounter) % 4 == 0, "PresState layout");
TARN_STATIC_ASSERT(offsetof(PresState, calProcCount) + 2 == offsetof(PresState, inValidCounter) + 8,
                   "PresState layout");

/* One (MUSIC order, antenna path) tracking entry of the phase result filter. */
typedef struct RtpPairEntry {
    uint8_t valid;
    double pdest;
    double pconf;
    double vest;
} RtpPairEntry;

/* Per-(order, path) tracking states of the phase result filter. */
typedef struct RtpPairFilter {
    uint8_t type;
    double time;
    RtpPairEntry entry[TARN_MAX_MUSIC_ORDERS][TARN_MAX_ANT_PATHS];
    double disAvg[TARN_MAX_MUSIC_ORDERS][TARN_MAX_ANT_PATHS];
} RtpPairFilter;

/* Memory of the estimators' tracking filters. Each registered link has its
 * own (in the state the library keeps beside its registry entry), which the
 * worker updates in place; the exported estimators' own is gNewPres
 * (tarn_measurement.h). */
typedef struct NewPresState {
    double time;
    /* current phase estimate (RangeEstimate order: valid, dest, conf, vest) */
    uint8_t valid;
    double dest;
    double conf;
    double vest;
    RangeEstimate rttOut; /* output of the round-trip-time window */
    double rttWinTime[TARN_MAX_WINDOW_SLOTS];
    RangeEstimate rtpWin[TARN_MAX_WINDOW_SLOTS];
    RangeEstimate rttWin[TARN_MAX_WINDOW_SLOTS];
    /* phase result filter */
    RtpPairFilter csFilter;
    IirState phaseIir[TARN_MAX_ANT_PATHS];
    double phaseDisAvg[TARN_MAX_ANT_PATHS];
    double rtpP;
    double rtpK;
    SlidingWindowCtl rtpWinCtl;
    double rtpWinTime[TARN_MAX_WINDOW_SLOTS];
    RangeEstimate iirEst;
    uint8_t inValidCounter;
    uint8_t apInvalidCounter[TARN_MAX_ANT_PATHS];
    double rttP;
    double rttK;
    SlidingWindowCtl rttWinCtl;
} NewPresState;

/* ---- Estimator context -------------------------------------------------- */

/* Stored step: the step's fields plus inline room for one step's tones. */
typedef struct CsStepSlot {
    CsStepResult step;
    int16_t pctBuf[2 * TARN_MAX_ANT_PATHS];
    uint8_t pctQualBuf[TARN_MAX_ANT_PATHS];
} CsStepSlot;

/* Result record handed to the host's callback. */
struct CsEstimate {
    double dest; /* distance, 1/distSF m */
    uint8_t reserved[8];
    int8_t conf; /* percent; -1 = none */
};

/* Everything one link needs, in one block. */
struct CsContext {
    CsLinkRef linkRef;
    double timeUs;
    ConfigOpts *opts;
    PresState *pres;
    CsMeasurement *meas;
    CsEstimate *result;
    ConfigOpts optsStore;
    PresState presStore;
    CsMeasurement measStore;
    CsEstimate resultStore;
    uint8_t resultReserve[32 - sizeof(CsEstimate)];
    uint8_t channelStore[TARN_MAX_STEPS];
    uint8_t modeStore[TARN_MAX_STEPS];
    CsStepSlot initSlots[TARN_MAX_STEPS];
    CsStepSlot reflSlots[TARN_MAX_STEPS];
};

#if TARN_ABI32
TARN_STATIC_ASSERT(sizeof(CsStepResult) == 16, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, tone.pctQual) == 4, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, tone.antPerm) == 8, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, tone.rpl) == 9, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, tone.aaQual) == 10, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, tone.security) == 11, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, tone.rssi) == 13, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, tone.timeEst) == 14, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, mode0.rssi) == 1, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, mode0.freqOff) == 2, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, mode1.security) == 1, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, mode1.rssi) == 3, "CsStepResult layout");
TARN_STATIC_ASSERT(offsetof(CsStepResult, mode1.timeEst) == 4, "CsStepResult layout");
TARN_STATIC_ASSERT(sizeof(CsMeasurement) == 28, "CsMeasurement layout");
TARN_STATIC_ASSERT(offsetof(CsMeasurement, modes) == 4, "CsMeasurement layout");
TARN_STATIC_ASSERT(offsetof(CsMeasurement, NAP) == 8, "CsMeasurement layout");
TARN_STATIC_ASSERT(offsetof(CsMeasurement, initSteps) == 12, "CsMeasurement layout");
TARN_STATIC_ASSERT(offsetof(CsMeasurement, reflSteps) == 16, "CsMeasurement layout");
TARN_STATIC_ASSERT(offsetof(CsMeasurement, N) == 20, "CsMeasurement layout");
TARN_STATIC_ASSERT(offsetof(CsMeasurement, timeUs) == 24, "CsMeasurement layout");
TARN_STATIC_ASSERT(sizeof(CsProcedure) == 32, "CsProcedure layout");
TARN_STATIC_ASSERT(offsetof(CsProcedure, numInitSubevents) == 12, "CsProcedure layout");
TARN_STATIC_ASSERT(offsetof(CsProcedure, initSubevents) == 16, "CsProcedure layout");
TARN_STATIC_ASSERT(offsetof(CsProcedure, numReflSubevents) == 24, "CsProcedure layout");
TARN_STATIC_ASSERT(offsetof(CsProcedure, reflSubevents) == 28, "CsProcedure layout");
TARN_STATIC_ASSERT(sizeof(CsSubevent) == 40, "CsSubevent layout");
TARN_STATIC_ASSERT(offsetof(CsSubevent, unused) == 4, "CsSubevent layout");
TARN_STATIC_ASSERT(offsetof(CsSubevent, rpl) == 8, "CsSubevent layout");
TARN_STATIC_ASSERT(offsetof(CsSubevent, NAP) == 9, "CsSubevent layout");
TARN_STATIC_ASSERT(offsetof(CsSubevent, aborted) == 10, "CsSubevent layout");
TARN_STATIC_ASSERT(offsetof(CsSubevent, numSteps) == 16, "CsSubevent layout");
TARN_STATIC_ASSERT(offsetof(CsSubevent, steps) == 24, "CsSubevent layout");
TARN_STATIC_ASSERT(offsetof(CsSubevent, timestampNs) == 32, "CsSubevent layout");
TARN_STATIC_ASSERT(sizeof(CsStep) == 52, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data) == 4, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.mode0.rssi) == 5, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.mode0.freqOff) == 8, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.mode1.security) == 5, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.mode1.rssi) == 6, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.mode1.timeEst) == 8, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.mode1.antenna) == 12, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.tone.toneCount) == 8, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.tone.tones) == 12, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, data.tone.toneQual) == 20, "CsStep layout");
TARN_STATIC_ASSERT(offsetof(CsStep, mode3Tone) == 32, "CsStep layout");
TARN_STATIC_ASSERT(sizeof(CsToneData) == 20, "CsToneData layout");
TARN_STATIC_ASSERT(sizeof(CsStepSlot) == 36, "CsStepSlot layout");
#endif
TARN_STATIC_ASSERT(offsetof(CsEstimate, conf) == 16, "CsEstimate layout");
TARN_STATIC_ASSERT(sizeof(CsEstimate) == 24, "CsEstimate layout");

/* csSetParam types. */
#define TARN_PARAM_OPTIONS 0   /* data: a whole ConfigOpts record, copied */
#define TARN_PARAM_PREV_TIME 1 /* data: double, seconds: time of the previous phase estimate */
#define TARN_PARAM_PREV_DEST 2 /* data: double, 1/distSF m: previous phase distance */

TARN_END_DECLS

#endif /* TARN_MEASUREMENT_TYPES_H */
