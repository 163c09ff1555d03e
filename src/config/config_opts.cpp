// Options record: factory defaults and the dump printer, both from the
// options list.
#include <cstring>
#include <type_traits>

#include "common/numeric.h"
#include "config/config_internal.h"
#include "config/options_list.h"
#include "tarn_config_types.h"
#include "tarn_diag.h"

namespace {

// A record installed by a host may carry any count; never read past the array.
int usedEntries(uint8_t count, int capacity) {
    return count < capacity ? count : capacity;
}

// One dump line of a scalar field, printed as Cast; fields without a line
// are skipped. A real field printed as an integer saturates: a host's record
// may hold any double, and an out-of-range conversion is undefined.
template <typename Cast, typename T>
void dumpLine(const char *text, T value) {
    if (text == nullptr) return;
    if constexpr (std::is_floating_point_v<T> && std::is_same_v<Cast, int>) {
        DEBUG_LOG(2, text, static_cast<int>(tarn_common::truncToInt32(value)));
    } else if constexpr (std::is_floating_point_v<T> && std::is_same_v<Cast, unsigned>) {
        DEBUG_LOG(2, text, static_cast<unsigned>(tarn_common::truncToUInt32(value)));
    } else {
        DEBUG_LOG(2, text, static_cast<Cast>(value));
    }
}

void dumpLists(const ConfigOpts &o) {
    DEBUG_LOG(2, "muOrdSetLen  %d\n", int{o.muOrdSetLen});
    for (int i = 0; i < usedEntries(o.muOrdSetLen, TARN_MU_ORD_SET_MAX); ++i)
        DEBUG_LOG(2, "muOrdSet[%d]:   %u\n", i, unsigned{o.muOrdSet[i]});
    DEBUG_LOG(2, "muCovSetLen  %d\n", int{o.muCovSetLen});
    for (int i = 0; i < usedEntries(o.muCovSetLen, TARN_MU_ORD_SET_MAX); ++i)
        DEBUG_LOG(2, "muCovSet[%d]:   %u\n", i, unsigned{o.muCovSet[i]});
    DEBUG_LOG(2, "muConfFacLen  %d\n", int{o.muConfFacLen});
    for (int i = 0; i < usedEntries(o.muConfFacLen, TARN_MU_CONF_FAC_MAX); ++i)
        DEBUG_LOG(2, "muConfFac[%d]:   %lf\n", i, o.muConfFac[i]);
    for (int i = 0; i < 4; ++i) DEBUG_LOG(2, "disCal[%d]:      %lf\n", i, o.disCal[i]);
}

}  // namespace

namespace tarn_cfg {

void setDefaultConfigOpts(ConfigOpts *dst) {
    if (dst == nullptr) {
        DEBUG_LOG(1, "Failed to set default configurations.\n");
        return;
    }
    DEBUG_LOG(2, "Set default configurations.\n");
    std::memcpy(dst, &kDefaultOpts, sizeof(ConfigOpts));
    print_config_opts(dst);
}

void print_config_opts(const ConfigOpts *opts) {
    if (opts == nullptr) return;
    const ConfigOpts &o = *opts;
    DEBUG_LOG(2, "________%s________ START\n", "print_config_opts");
#define TARN_DUMP(field, key, type, form, value, cast, text, ...) \
    dumpLine<cast>(text, o.field);
#define TARN_NO_DUMP(...)
#define TARN_DUMP_LISTS() dumpLists(o);
    TARN_OPTION_LIST(TARN_DUMP, TARN_NO_DUMP, TARN_DUMP_LISTS, TARN_NO_DUMP)
#undef TARN_DUMP
#undef TARN_NO_DUMP
#undef TARN_DUMP_LISTS
}

}  // namespace tarn_cfg
