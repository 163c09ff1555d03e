// The measurement intake's engine functions: context layout, step and
// procedure input and the state dumps (the exported ones are adapters over
// these), the antenna-permutation table, and library-internal helpers.
#pragma once

#include "tarn_measurement_types.h"

// Antenna path of the 1st..4th reported tone, by antenna permutation index:
// the values of the engine's table and of the exported TARN_N_AP_antPattern.
#define TARN_ANT_PATTERN_INIT                                                               \
    {                                                                                       \
        {0, 1, 2, 3}, {1, 0, 2, 3}, {0, 2, 1, 3}, {2, 0, 1, 3}, {2, 1, 0, 3}, {1, 2, 0, 3}, \
        {0, 1, 3, 2}, {1, 0, 3, 2}, {0, 3, 1, 2}, {3, 0, 1, 2}, {3, 1, 0, 2}, {1, 3, 0, 2}, \
        {0, 3, 2, 1}, {3, 0, 2, 1}, {0, 2, 3, 1}, {2, 0, 3, 1}, {2, 3, 0, 1}, {3, 2, 0, 1}, \
        {3, 1, 2, 0}, {1, 3, 2, 0}, {3, 2, 1, 0}, {2, 3, 1, 0}, {2, 1, 3, 0}, {1, 2, 3, 0}, \
    }

namespace tarn_measurement {

inline constexpr uint8_t kAntPattern[24][4] = TARN_ANT_PATTERN_INIT;

// The intake's functions; their contracts are those of the exported
// functions of the same names (tarn_measurement.h), except that csInit
// leaves the exported estimators' shared gNewPres alone.
int csGetMemory(const CsInitRecord *init);
int csInit(CsContext *ctx, const CsInitRecord *init, CsLinkRef linkRef);
int csSetParam(CsContext *ctx, int type, const void *data);
int csAddMeasurement(CsContext *ctx, CsMeasurement *meas);
bool constructCsResults(CsStepSlot *slots, const uint8_t *modes, uint16_t N,
                        const CsStepResult *steps, int8_t NAP, uint8_t pctQscale);
void print_NAP(const CsMeasurement *meas);
void print_cont_measurement(const CsMeasurement *meas, int NAP);
void print_cont_cs_results(const CsStepSlot *slots, const uint8_t *modes, int N, int NAP);
int csAddMeasurement_v2(CsContext *ctx, const CsProcedure *proc);
void csGenerateValidSubeventMap(const CsProcedure *proc, uint8_t *map /* 32 flags */);
void free_measurement_mem(CsMeasurement *meas, int initCount, int reflCount);
void print_context_pres(const PresState *pres);
int print_context_pres_filter(const CsFilterRecord *filter);
void print_context_newpres(const NewPresState *newPres);

// The procedure time in microseconds, kept wider than the 32-bit stamps a
// step-level record carries (they wrap every 71.6 minutes): the new stamp is
// taken as the nearer of its 2^32 aliases around the previous time, so the
// filters never see time jump back at a wrap. A previous time that is not
// positive (no procedure yet) takes the stamp as it is.
double unwrapTimeUs(double previousUs, uint32_t stampUs);

}  // namespace tarn_measurement
