// Calibration table file: comma-separated complex values, one line per channel.
#include <cstdio>
#include <cstring>

#include "config/config_internal.h"
#include "config/num_parse.h"
#include "tarn_diag.h"

namespace {

constexpr int kLineBufSize = 100;  // a line piece holds at most 99 characters

// Scans "%lf%lfi" into the entry: the real part, then the imaginary part with
// its own sign; what cannot be read keeps its previous value, and the
// trailing "i" is not checked.
void scanComplex(const char *text, double *entry) {
    double re = 0.0;
    const char *p = tarn_cfg::scanDouble(text, &re);
    if (p == nullptr) return;
    entry[0] = re;
    double im = 0.0;
    if (tarn_cfg::scanDouble(p, &im) != nullptr) entry[1] = im;
}

}  // namespace

extern "C" int csLoadCalFile(ConfigOpts *opts) {
    if (opts == nullptr) return 0;
    // The record may come from anywhere: never trust its path to be terminated.
    char path[TARN_CAL_FILE_PATH_LEN + 1];
    std::memcpy(path, opts->calFilePath, TARN_CAL_FILE_PATH_LEN);
    path[TARN_CAL_FILE_PATH_LEN] = '\0';

    FILE *fp = std::fopen(path, "r");
    bool ok = false;
    if (fp == nullptr) {
        DEBUG_LOG(0, "Error cannot open the calibration file");
    } else {
        char line[kLineBufSize];
        int row = 0;
        ok = true;
        while (ok && std::fgets(line, sizeof line, fp) != nullptr) {
            if (row >= TARN_CAL_CHANNELS) {
                DEBUG_LOG(0, "CSV cal file supports maximum %d channels", TARN_CAL_CHANNELS);
                ok = false;
                break;
            }
            char *save = nullptr;
            int pathIdx = 0;
            for (char *tok = strtok_r(line, ",", &save); tok != nullptr;
                 tok = strtok_r(nullptr, ",", &save)) {
                if (pathIdx >= TARN_CAL_PATHS) {
                    DEBUG_LOG(2, "CSV cal file supports maximum %d paths", TARN_CAL_PATHS);
                    ok = false;
                    break;
                }
                double *entry = reinterpret_cast<double *>(&opts->calTable[row][pathIdx]);
                scanComplex(tok, entry);
                DEBUG_LOG(2, "%lf,%lf \n", entry[0], entry[1]);
                ++pathIdx;
            }
            ++row;
        }
        // A read error is not the end of the file: the table may be incomplete.
        if (ok && std::ferror(fp) != 0) ok = false;
        std::fclose(fp);
        if (ok) {
            DEBUG_LOG(0, "Cal read successfully from file: %s\n", path);
            return 1;
        }
    }
    opts->applyEstimatedReverseChannel = 0;
    DEBUG_LOG(0, "Cal file %s loading failed , defaulting back to legacy cal \n", path);
    return 0;
}

// Extension: the same loader on a file the caller names (see tarn_config.h).
int tarn_cfg::tarnLoadCalFile(const char *path, ConfigOpts *opts) {
    if (path == nullptr || opts == nullptr) return 0;
    const size_t len = strnlen(path, TARN_CAL_FILE_PATH_LEN);
    // A path cut to fit the field would name another file.
    if (len == 0 || len >= TARN_CAL_FILE_PATH_LEN) {
        DEBUG_LOG(1, "Calibration file path empty or longer than %d characters.\n",
                  TARN_CAL_FILE_PATH_LEN - 1);
        return 0;
    }
    std::memset(opts->calFilePath, 0, sizeof opts->calFilePath);
    std::memcpy(opts->calFilePath, path, len);
    return csLoadCalFile(opts);
}
