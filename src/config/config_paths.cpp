// Platform locations of the configuration and calibration files.
#include <cstdlib>
#include <cstring>

#include "config/config_internal.h"

#ifndef TARN_CONFIG_DIR_PRIMARY
#define TARN_CONFIG_DIR_PRIMARY "/system_ext/etc/bluetooth"
#endif
#ifndef TARN_CONFIG_DIR_SECONDARY
#define TARN_CONFIG_DIR_SECONDARY "/data/vendor/bluetooth"
#endif
#ifndef TARN_CAL_FILE_DEFAULT
#define TARN_CAL_FILE_DEFAULT "/data/vendor/bluetooth/tarn_rtp_cal.csv"
#endif

namespace {

#ifndef __ANDROID__
const char *fromEnv(const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    return (v != nullptr && v[0] != '\0') ? v : fallback;
}
#endif

}  // namespace

extern "C" {

const char *tarnConfigPathPrimary(void) {
#ifdef __ANDROID__
    return "/system_ext/etc/bluetooth/cs_config.ini";
#else
    return fromEnv("TARN_CONFIG_FILE_PRIMARY", TARN_CONFIG_DIR_PRIMARY "/cs_config.ini");
#endif
}

const char *tarnConfigPathSecondary(void) {
#ifdef __ANDROID__
    return "/data/vendor/bluetooth/cs_config.ini";
#else
    return fromEnv("TARN_CONFIG_FILE_SECONDARY", TARN_CONFIG_DIR_SECONDARY "/cs_config.ini");
#endif
}

void tarnApplyCalFilePathOverride(ConfigOpts *opts) {
#ifdef __ANDROID__
    (void)opts;
#else
    if (opts == nullptr) return;
    const char *path = fromEnv("TARN_CAL_FILE", TARN_CAL_FILE_DEFAULT);
    const size_t len = std::strlen(path);
    // A path that does not fit would be cut to another file's name: keep the
    // record's path instead.
    if (len >= sizeof opts->calFilePath) return;
    std::memset(opts->calFilePath, 0, sizeof opts->calFilePath);
    std::memcpy(opts->calFilePath, path, len);
#endif
}

}  // extern "C"
