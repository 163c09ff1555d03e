// Definitions of the exported data. Each is constant-initialised from the
// engine's source of its values (nothing runs at load time) or zero.
#include "config/config_defaults.h"
#include "measurement/measurement_internal.h"
#include "tarn_config.h"
#include "tarn_measurement.h"

extern "C" {

constexpr ConfigOpts constOpts = tarn_cfg::kDefaultOpts;

constexpr uint8_t TARN_N_AP_antPattern[24][4] = TARN_ANT_PATTERN_INIT;

// The exported estimators' tracking memory (the worker's links each have
// their own); see tarn_measurement.h for its lock.
NewPresState gNewPres;

}  // extern "C"
