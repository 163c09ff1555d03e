#include "log_capture.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "tarn_diag.h"

namespace {
std::mutex gMutex;
std::vector<tarn_test::LogLine> gLines;
bool gActive = false;
}  // namespace

extern "C" __attribute__((visibility("default"))) int __android_log_print(int prio, const char *tag,
                                                                          const char *fmt, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::lock_guard<std::mutex> lock(gMutex);
    if (gActive) gLines.push_back({prio, tag ? tag : "", buf});
    if (std::getenv("TARN_TEST_LOG_ECHO")) std::fprintf(stderr, "[%d %s] %s", prio, tag, buf);
    return 1;
}

namespace tarn_test {

LogCapture::LogCapture(int8_t level) : saved_(__atomic_load_n(&glog_level, __ATOMIC_RELAXED)) {
    std::lock_guard<std::mutex> lock(gMutex);
    gLines.clear();
    gActive = true;
    __atomic_store_n(&glog_level, level, __ATOMIC_RELAXED);
}

LogCapture::~LogCapture() {
    std::lock_guard<std::mutex> lock(gMutex);
    gActive = false;
    gLines.clear();
    __atomic_store_n(&glog_level, saved_, __ATOMIC_RELAXED);
}

std::vector<LogLine> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(gMutex);
    return gLines;
}

std::vector<std::string> LogCapture::texts() const {
    std::vector<std::string> out;
    for (const auto &l : lines()) out.push_back(l.text);
    return out;
}

std::string LogCapture::joined() const {
    std::string out;
    for (const auto &l : lines()) out += l.text;
    return out;
}

int LogCapture::count(const std::string &text) const {
    int n = 0;
    for (const auto &l : lines()) n += l.text == text;
    return n;
}

bool LogCapture::containsFragment(const std::string &fragment) const {
    for (const auto &l : lines())
        if (l.text.find(fragment) != std::string::npos) return true;
    return false;
}

std::vector<std::pair<std::string, double>> LogCapture::values() const {
    std::vector<std::pair<std::string, double>> out;
    for (const auto &l : lines()) {
        const char *p = l.text.c_str();
        while (*p == ' ' || *p == '\n') ++p;
        const char *name = p;
        if (!std::isdigit(static_cast<unsigned char>(*p)) && *p != '-' && *p != '+' && *p != '.') {
            while (*p != '\0' && *p != ':' && *p != ' ') ++p;
        }
        const std::string key(name, p);
        while (*p == ' ' || *p == ':') ++p;
        char *end = nullptr;
        const double v = std::strtod(p, &end);
        if (end != p) out.emplace_back(key, v);
    }
    return out;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(gMutex);
    gLines.clear();
}

}  // namespace tarn_test
