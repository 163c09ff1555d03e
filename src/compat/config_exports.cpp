// The exported configuration functions: adapters over the engine's (the
// defaults constOpts are in exported_data.cpp).
#include "config/config_internal.h"
#include "tarn_config.h"

extern "C" {

void setDefaultConfigOpts(ConfigOpts *dst) { tarn_cfg::setDefaultConfigOpts(dst); }

void print_config_opts(const ConfigOpts *opts) { tarn_cfg::print_config_opts(opts); }

int parseConfigFile(const char *path, ConfigOpts *opts) {
    return tarn_cfg::parseConfigFile(path, opts);
}

int tarnReadConfigFile(const char *path, ConfigOpts *opts) {
    return tarn_cfg::tarnReadConfigFile(path, opts);
}

int tarnApplyConfigLine(const char *line, ConfigOpts *opts) {
    return tarn_cfg::tarnApplyConfigLine(line, opts);
}

int tarnRepairConfig(ConfigOpts *opts) { return tarn_cfg::tarnRepairConfig(opts); }

int tarnLoadCalFile(const char *path, ConfigOpts *opts) {
    return tarn_cfg::tarnLoadCalFile(path, opts);
}

}  // extern "C"
