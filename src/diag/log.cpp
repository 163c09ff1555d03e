// Levelled logging into the Android log.
#include "tarn_diag.h"

#include <cstdarg>
#include <cstdio>

// Android's liblog entry point (the platform's on Android, Debian's
// android-liblog on Linux hosts).
extern "C" int __android_log_print(int prio, const char *tag, const char *fmt, ...);

namespace {
constexpr int kLogVerbose = 2;
constexpr int kLogInfo = 4;
constexpr int kLogError = 6;
}  // namespace

extern "C" {

int8_t glog_level = 0;
const char ghex_char[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                            '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

void DEBUG_LOG(int level, const char *format, ...) {
    // Cheap rejection first: most calls are above the threshold.
    // Relaxed atomic: set_log_level may run on a host thread while the worker logs.
    if (level > __atomic_load_n(&glog_level, __ATOMIC_RELAXED)) return;

    static const int kPriority[4] = {kLogError, kLogInfo, kLogInfo, kLogVerbose};
    const uint8_t idx = static_cast<uint8_t>(level - 1);
    const int prio = idx < 4 ? kPriority[idx] : kLogInfo;

    char buffer[512] = {0};
    va_list ap;
    va_start(ap, format);
    vsnprintf(buffer, sizeof buffer, format, ap);
    va_end(ap);
    __android_log_print(prio, "TARNALGO", "%s", buffer);
}

void set_log_level(int8_t level) {
    __atomic_store_n(&glog_level, level, __ATOMIC_RELAXED);
    DEBUG_LOG(2, "Setting log level to %d\n", level);
}

}  // extern "C"
