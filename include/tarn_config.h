/* Legacy exports and extensions of the configuration: the defaults constOpts,
 * the configuration file and the calibration table file (the options record
 * itself is in tarn_config_types.h). */
#ifndef TARN_CONFIG_H
#define TARN_CONFIG_H

#include "tarn_config_types.h"
#include "tarn_common.h"

TARN_BEGIN_DECLS

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

/* ---- Extensions --------------------------------------------------------------
 * The configuration readers' steps, one by one, for tools that show an
 * integrator what a file or a single setting does (names begin with "tarn").
 * Every function works on a caller-owned record only (no link, no lock) and
 * may be called from any thread; opts must hold a complete record. */

/* The first step of parseConfigFile: the file's lines applied onto *opts
 * exactly as parseConfigFile applies them, without the repairs. Returns 0
 * when the file was read, -1 when it could not be used (*opts untouched).
 * parseConfigFile(path, o) is tarnReadConfigFile(path, o) followed by
 * tarnRepairConfig(o). */
TARN_API int tarnReadConfigFile(const char *path, ConfigOpts *opts);

/* Applies one "KEY=VALUE" line (NUL-terminated, at most 512 characters) as
 * the configuration file applies a line of its own: the same key matching
 * (the line begins with the key's name) and value forms; no repairs. A lone
 * line has no previous line to lend it a key or value. Returns 1 applied,
 * 0 no key matches (or no "=", or a null argument), -1 a key matches but the
 * value text does not have its form, or a part of the line is too long for
 * the reader's 256-byte key and value buffers (the field is unchanged). */
TARN_API int tarnApplyConfigLine(const char *line, ConfigOpts *opts);

/* The second step of parseConfigFile: every out-of-range field the reader
 * checks is put back to its default (logged as the reader logs it). Returns
 * 1 when a field changed, else 0 (also for null). */
TARN_API int tarnRepairConfig(ConfigOpts *opts);

/* Loads the calibration table file at `path` into opts->calTable with the
 * loader link creation uses (same format, same failures), after setting
 * opts->calFilePath to `path` (the path must fit the field: at most 205
 * characters, else 0 with nothing changed). Returns 1 loaded; 0 failed, with
 * applyEstimatedReverseChannel cleared as at link creation and the rows
 * read before the failure kept. Logs as link creation does (level 0). */
TARN_API int tarnLoadCalFile(const char *path, ConfigOpts *opts);

TARN_END_DECLS

#endif /* TARN_CONFIG_H */
