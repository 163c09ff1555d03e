// Locale-independent number reading.
#include "config/num_parse.h"

#include <locale.h>
#include <stdlib.h>

#include <cstdint>

namespace tarn_cfg {
namespace {

locale_t cLocale() {
    // Created once, never freed: it lives as long as the library.
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return loc;
}

double strtodC(const char *s, char **end) {
    const locale_t loc = cLocale();
    if (loc != static_cast<locale_t>(0)) return strtod_l(s, end, loc);
    return strtod(s, end);
}

char lowerC(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

int32_t atoiC(const char *s) {
    while (isSpaceC(*s)) ++s;
    bool neg = false;
    if (*s == '+' || *s == '-') neg = (*s++ == '-');
    int64_t v = 0;
    for (; isDigitC(*s); ++s) {
        v = v * 10 + (*s - '0');
        if (v > INT64_C(2147483648)) v = INT64_C(2147483648);  // saturated; keep reading
    }
    if (neg) return static_cast<int32_t>(-v);
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

const char *scanDouble(const char *s, double *out) {
    while (isSpaceC(*s)) ++s;
    char *endp = nullptr;
    const double v = strtodC(s, &endp);
    const char *end = endp;
    if (end == s) return nullptr;

    // strtod stops at the longest valid number; scanf's input item can run
    // further (over characters that could still start a longer number), and
    // then the conversion fails instead of taking the shorter number.
    const char *body = s;
    if (*body == '+' || *body == '-') ++body;
    const char first = lowerC(*body);
    if (first == 'i') {
        if (end - body == 3) {  // "inf", possibly followed by part of "inity"
            static const char kRest[] = "inity";
            int i = 0;
            while (kRest[i] != '\0' && lowerC(end[i]) == kRest[i]) ++i;
            if (i > 0) return nullptr;
        }
    } else if (first == 'n') {
        if (*end == '(') return nullptr;  // unterminated "nan(" sequence
    } else {
        // Hexadecimal only when strtod took digits after the "0x".
        const bool hex = end - body > 2 && body[0] == '0' && lowerC(body[1]) == 'x';
        if (end == body + 1 && body[0] == '0' && lowerC(*end) == 'x') return nullptr;  // "0x"
        const char expMark = hex ? 'p' : 'e';
        bool hasExp = false;
        for (const char *c = body; c < end; ++c) hasExp = hasExp || lowerC(*c) == expMark;
        if (!hasExp && lowerC(*end) == expMark) return nullptr;  // exponent without digits
    }
    *out = v;
    return end;
}

}  // namespace tarn_cfg
