// The ranging-state dump printers.
#include "measurement/measurement_internal.h"
#include "tarn_diag.h"

namespace {
// Entries of the phase result filter shown by the working-state dump.
constexpr int kNewPresDumpEntries = 3;
}  // namespace

namespace tarn_measurement {

void print_context_pres(const PresState *pres) {
    if (pres == nullptr) return;
    DEBUG_LOG(3, "________%s________ START\n", "print_context_pres");
    DEBUG_LOG(3, "time:                %lf\n", pres->time);
    DEBUG_LOG(3, "valid:                %d\n", pres->valid);
    DEBUG_LOG(3, "dest:                %lf\n", pres->dest);
    DEBUG_LOG(3, "vest:                %lf\n", pres->vest);
    DEBUG_LOG(3, "conf:                %lf\n", pres->conf);
    print_context_pres_filter(&pres->csFilter);
}

int print_context_pres_filter(const CsFilterRecord *filter) {
    if (filter == nullptr) return 0;
    DEBUG_LOG(3, "csFilter->type:      %u\n", filter->type);
    DEBUG_LOG(3, "csFilter->time:      %lf\n", filter->time);
    DEBUG_LOG(3, "csFilter->pvest:     %lf\n", filter->pvest);
    DEBUG_LOG(3, "csFilter->length:    %d\n", filter->length);
    // The count is only as good as the memory it sits in: never read past the arrays.
    const int n = filter->length < TARN_CS_FILTER_ENTRIES ? filter->length : TARN_CS_FILTER_ENTRIES;
    for (int i = 0; i < n; ++i) {
        DEBUG_LOG(3, "csFilter->valid[%d]:     %d\n", i, filter->valid[i]);
        DEBUG_LOG(3, "csFilter->pdest[%d]:     %lf\n", i, filter->pdest[i]);
        DEBUG_LOG(3, "csFilter->pconf[%d]:     %lf\n", i, filter->pconf[i]);
        DEBUG_LOG(3, "csFilter->disAvg[%d]:    %lf\n", i, filter->disAvg[i]);
    }
    return n;
}

void print_context_newpres(const NewPresState *newPres) {
    if (newPres == nullptr) return;
    DEBUG_LOG(3, "________%s________ START\n", "print_context_newpres");
    DEBUG_LOG(3, "time:                %lf\n", newPres->time);
    DEBUG_LOG(3, "valid:                %d\n", newPres->valid);
    DEBUG_LOG(3, "dest:                %lf\n", newPres->dest);
    DEBUG_LOG(3, "vest:                %lf\n", newPres->vest);
    DEBUG_LOG(3, "conf:                %lf\n", newPres->rttOut.conf);
    DEBUG_LOG(3, "csFilter->type:      %u\n", newPres->csFilter.type);
    DEBUG_LOG(3, "csFilter->time:      %lf\n", newPres->csFilter.time);
    for (int i = 0; i < kNewPresDumpEntries; ++i) {
        const RtpPairEntry &e = newPres->csFilter.entry[i][0];
        DEBUG_LOG(3, "csFilter->valid[%d]:     %d\n", i, e.valid);
        DEBUG_LOG(3, "csFilter->pdest[%d]:     %lf\n", i, e.pdest);
        DEBUG_LOG(3, "csFilter->pconf[%d]:     %lf\n", i, e.pconf);
        DEBUG_LOG(3, "csFilter->disAvg[%d]:    %lf\n", i, newPres->csFilter.disAvg[i][0]);
    }
}

}  // namespace tarn_measurement
