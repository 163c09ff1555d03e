// The configuration's engine functions: the defaults' dump, the
// configuration and calibration files (the exported ones are adapters over
// these), and the internal entry points (not exported).
#pragma once

#include "config/config_defaults.h"
#include "tarn_config_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// Loads the calibration table file named by opts->calFilePath into
// opts->calTable. Returns 1 on success; on any failure clears
// opts->applyEstimatedReverseChannel and returns 0 (entries written before
// the failure stay). Both outcomes are logged at level 0.
int csLoadCalFile(ConfigOpts *opts);

// Locations of the two configuration files, in the order they are tried.
// On Android these are the fixed platform paths. Elsewhere they default to
// the build's TARN_CONFIG_DIR_PRIMARY / TARN_CONFIG_DIR_SECONDARY followed by
// "/cs_config.ini", and the environment variables TARN_CONFIG_FILE_PRIMARY /
// TARN_CONFIG_FILE_SECONDARY (read at every call) replace them when set and
// non-empty. The result stays valid until the environment changes.
const char *tarnConfigPathPrimary(void);
const char *tarnConfigPathSecondary(void);

// Points opts->calFilePath at the platform's calibration file. constOpts keeps
// the documented default; on non-Android builds the build's
// TARN_CAL_FILE_DEFAULT and then the environment variable TARN_CAL_FILE (when
// set, non-empty and short enough for the field) replace it. A no-op on
// Android. Call it on the working record right after copying constOpts.
void tarnApplyCalFilePathOverride(ConfigOpts *opts);

#ifdef __cplusplus
}

// Where a record to be repaired comes from. File: the configuration file's
// checks with their established messages. Host: a record installed through
// csSetParam / csIfSetParam; the same checks, logged where a value changes.
enum class RepairSource { File, Host };

// Puts the built-in default back into every field whose value is out of
// range, not a number or absurd (the one set of rules for every record that
// reaches a link).
void tarnRepairOptions(ConfigOpts *opts, RepairSource from);

namespace tarn_cfg {

// The engine's copies of the configuration functions; their contracts are
// those of the exported functions of the same names (tarn_config.h).
void setDefaultConfigOpts(ConfigOpts *dst);
void print_config_opts(const ConfigOpts *opts);
int parseConfigFile(const char *path, ConfigOpts *opts);
int tarnReadConfigFile(const char *path, ConfigOpts *opts);
int tarnApplyConfigLine(const char *line, ConfigOpts *opts);
int tarnRepairConfig(ConfigOpts *opts);
int tarnLoadCalFile(const char *path, ConfigOpts *opts);

}  // namespace tarn_cfg
#endif
