// Log sink for fuzzing: formatting still runs (so format faults show up),
// the text is dropped.
#include <cstdarg>
#include <cstdio>

extern "C" int __android_log_print(int, const char *, const char *fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return 1;
}
