// The options' factory defaults as a constant expression: the engine reads
// them here, and the exported constOpts is constant-initialised from them
// (read-only data, every padding byte zero, nothing runs at load time).
#pragma once

#include <cstddef>
#include <cstdint>

#include "config/options_list.h"
#include "tarn_config_types.h"

namespace tarn_cfg {

namespace detail {

constexpr char kDefaultCalFilePath[] = "/data/vendor/bluetooth/tarn_rtp_cal.csv";
static_assert(sizeof kDefaultCalFilePath <= TARN_CAL_FILE_PATH_LEN, "default path fits");

// Built as a constant expression so that constOpts lands in read-only data
// with every padding byte zero (value-initialisation zeroes them).
constexpr ConfigOpts makeDefaults() {
    ConfigOpts o{};
#define TARN_DEFAULT(field, key, type, form, value, ...) o.field = value;
#define TARN_NO_DEFAULT(...)
    TARN_OPTION_LIST(TARN_DEFAULT, TARN_NO_DEFAULT, TARN_NO_DEFAULT, TARN_NO_DEFAULT)
#undef TARN_DEFAULT
#undef TARN_NO_DEFAULT
    for (double &d : o.disCal) d = 0.0;
    o.muConfFac[0] = 35.0;
    o.muConfFac[1] = 0.5;
    o.muConfFac[2] = 0.0;
    const uint8_t ord[TARN_MU_ORD_SET_MAX] = {2, 4, 6, 7, 8, 9, 0};
    const uint8_t cov[TARN_MU_ORD_SET_MAX] = {4, 8, 12, 14, 16, 18, 0};
    for (int i = 0; i < TARN_MU_ORD_SET_MAX; ++i) {
        o.muOrdSet[i] = ord[i];
        o.muCovSet[i] = cov[i];
    }
    for (size_t i = 0; i < sizeof kDefaultCalFilePath; ++i)
        o.calFilePath[i] = kDefaultCalFilePath[i];
    // calTable stays all zero.
    return o;
}

}  // namespace detail

inline constexpr ConfigOpts kDefaultOpts = detail::makeDefaults();

}  // namespace tarn_cfg
