/* Legacy exports of the measurement intake: context, step and procedure
 * input, the shared tracking state gNewPres, the antenna-permutation table
 * and the state dumps (the records are in tarn_measurement_types.h). */
#ifndef TARN_MEASUREMENT_H
#define TARN_MEASUREMENT_H

#include "tarn_measurement_types.h"
#include "tarn_config.h"
#include "tarn_estimators.h"

TARN_BEGIN_DECLS

/* Antenna path of the 1st..4th reported tone, by antenna permutation index. */
TARN_API extern const uint8_t TARN_N_AP_antPattern[24][4];

/* The estimators' tracking memory the exported estimators (RTP_calcEstimate,
 * RTT_calcEstimate) use for contexts of their callers; anyone touching it
 * (csInit on a context outside the registry, a host running those
 * estimators itself) must hold csContextListlock. */
TARN_API extern NewPresState gNewPres;

/* ---- Functions ---------------------------------------------------------- */

/* Context. The caller allocates the block, the library lays it out:
 *     CsContext *ctx = calloc(1, csGetMemory(&init));
 *     csInit(ctx, &init, link);
 *     csSetParam(ctx, TARN_PARAM_OPTIONS, &constOpts);   (or options of its own)
 *     ... csAddMeasurement(ctx, &meas); RTT_calcEstimate(ctx); ...
 *     free(ctx);
 * The block is one allocation that the caller owns and frees whole; nothing
 * inside it is allocated separately and no host pointer is kept. csIfInit
 * does exactly this for every link. Any thread, non-blocking, but one
 * context must not be used by two threads at once. */

/* Bytes of a CsContext (26076 in the 32-bit layout); init is ignored. */
TARN_API int csGetMemory(const CsInitRecord *init);
/* Lays out a freshly allocated block of csGetMemory bytes (the pointers into
 * itself, the step slots' tone storage, the ranging state) for link linkRef,
 * and restarts the phase output window of the shared gNewPres (see there for
 * its lock). Leaves the options, the stored procedure and the result record
 * as allocated: zero-fill the block. init is ignored. Returns 1, 0 for a
 * null ctx. */
TARN_API int csInit(CsContext *ctx, const CsInitRecord *init, CsLinkRef linkRef);
/* Sets one parameter of a laid-out context by type (TARN_PARAM_*); data is
 * read during the call only and must hold the type's record. Returns 1 (an
 * unknown type changes nothing), 0 for a null ctx or a null data of a known
 * type. */
TARN_API int csSetParam(CsContext *ctx, int type, const void *data);

/* Step-level input. Validates meas and copies it (steps and tones) into the
 * context, replacing the stored procedure; meas is read during the call only
 * (a step count above 256 is lowered to 256 in it). Returns 1 stored, 0
 * rejected (see the log). */
TARN_API int csAddMeasurement(CsContext *ctx, CsMeasurement *meas);
TARN_API bool constructCsResults(CsStepSlot *slots, const uint8_t *modes, uint16_t N,
                                 const CsStepResult *steps, int8_t NAP, uint8_t pctQscale);
TARN_API void print_NAP(const CsMeasurement *meas);
TARN_API void print_cont_measurement(const CsMeasurement *meas, int NAP);
TARN_API void print_cont_cs_results(const CsStepSlot *slots, const uint8_t *modes, int N, int NAP);

/* Procedure-level input. Converts both sides' subevents into step-level form
 * (a temporary record, freed on every path) and stores it as
 * csAddMeasurement does; proc is read during the call only. Returns 1
 * stored, 0 rejected. */
TARN_API int csAddMeasurement_v2(CsContext *ctx, const CsProcedure *proc);
TARN_API void csGenerateValidSubeventMap(const CsProcedure *proc, uint8_t *map /* 32 flags */);
TARN_API void free_measurement_mem(CsMeasurement *meas, int initCount, int reflCount);

/* Ranging state dumps */
TARN_API void print_context_pres(const PresState *pres);
TARN_API int print_context_pres_filter(const CsFilterRecord *filter);
TARN_API void print_context_newpres(const NewPresState *newPres);

TARN_END_DECLS

#endif /* TARN_MEASUREMENT_H */
