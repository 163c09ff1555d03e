// The exported measurement intake: adapters over the engine's.
#include "measurement/measurement_internal.h"
#include "tarn_measurement.h"

extern "C" {

int csGetMemory(const CsInitRecord *init) { return tarn_measurement::csGetMemory(init); }

int csInit(CsContext *ctx, const CsInitRecord *init, CsLinkRef linkRef) {
    const int ok = tarn_measurement::csInit(ctx, init, linkRef);
    // A context used without the registry works on the shared record: its
    // phase output window restarts from the first slot.
    if (ok == 1) gNewPres.rtpWinCtl.index = 0;
    return ok;
}

int csSetParam(CsContext *ctx, int type, const void *data) {
    return tarn_measurement::csSetParam(ctx, type, data);
}

int csAddMeasurement(CsContext *ctx, CsMeasurement *meas) {
    return tarn_measurement::csAddMeasurement(ctx, meas);
}

bool constructCsResults(CsStepSlot *slots, const uint8_t *modes, uint16_t N,
                        const CsStepResult *steps, int8_t NAP, uint8_t pctQscale) {
    return tarn_measurement::constructCsResults(slots, modes, N, steps, NAP, pctQscale);
}

void print_NAP(const CsMeasurement *meas) { tarn_measurement::print_NAP(meas); }

void print_cont_measurement(const CsMeasurement *meas, int NAP) {
    tarn_measurement::print_cont_measurement(meas, NAP);
}

void print_cont_cs_results(const CsStepSlot *slots, const uint8_t *modes, int N, int NAP) {
    tarn_measurement::print_cont_cs_results(slots, modes, N, NAP);
}

int csAddMeasurement_v2(CsContext *ctx, const CsProcedure *proc) {
    return tarn_measurement::csAddMeasurement_v2(ctx, proc);
}

void csGenerateValidSubeventMap(const CsProcedure *proc, uint8_t *map) {
    tarn_measurement::csGenerateValidSubeventMap(proc, map);
}

void free_measurement_mem(CsMeasurement *meas, int initCount, int reflCount) {
    tarn_measurement::free_measurement_mem(meas, initCount, reflCount);
}

void print_context_pres(const PresState *pres) { tarn_measurement::print_context_pres(pres); }

int print_context_pres_filter(const CsFilterRecord *filter) {
    return tarn_measurement::print_context_pres_filter(filter);
}

void print_context_newpres(const NewPresState *newPres) {
    tarn_measurement::print_context_newpres(newPres);
}

}  // extern "C"
