// Configuration file reader: key=value lines overlaid on an options record.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/numeric.h"
#include "config/num_parse.h"
#include "config/options_list.h"
#include "tarn_config.h"
#include "tarn_diag.h"

namespace {

using tarn_cfg::atoiC;
using tarn_cfg::isDigitC;
using tarn_cfg::isSpaceC;

constexpr size_t kLineBufSize = 513;  // a line piece holds at most 512 characters
constexpr size_t kTextBufSize = 256;  // key and value texts hold at most 255
constexpr size_t kMaxPathLen = 1024;  // NUL must appear within this many bytes

enum class Type : uint8_t { U8, I8, U16, U32, I32, F64 };

enum class Form : uint8_t {
    Integer,        // digits only, atoi value in the field's width
    Boolean,        // digits only, 1 when the low 8 bits are non-zero
    Real,           // complete real number
    RealDigitsInt,  // digits only as atoi value, else a complete real
    IntOrReal,      // digits only as integer, else a real truncated to uint32
    LenientReal,    // complete real, else atoi of the leading part
    NotInFile,      // no key sets the field
};

struct KeyDef {
    const char *name;
    size_t offset;
    Type type;
    Form form;
};

// Tested in this order; the first key whose name begins the key text wins
// (no name begins another, so the order does not matter). Fields the file cannot set have no name and are skipped.
constexpr KeyDef kKeys[] = {
#define TARN_FIELD_KEY(field, key, type, form, value, cast, text) \
    {key, offsetof(ConfigOpts, field), Type::type, Form::form},
#define TARN_ELEMENT_KEY(element, key, type, form) \
    {key, offsetof(ConfigOpts, element), Type::type, Form::form},
#define TARN_NO_KEY()
    TARN_OPTION_LIST(TARN_FIELD_KEY, TARN_ELEMENT_KEY, TARN_NO_KEY)
#undef TARN_FIELD_KEY
#undef TARN_ELEMENT_KEY
#undef TARN_NO_KEY
};

constexpr int namedKeys() {
    int n = 0;
    for (const KeyDef &k : kKeys) n += k.name != nullptr ? 1 : 0;
    return n;
}
static_assert(namedKeys() == 99, "every configuration key");

// Stores the low-order bits of v in the field (little-endian: the first bytes).
void storeInteger(ConfigOpts *o, const KeyDef &k, int32_t v) {
    unsigned char *dst = reinterpret_cast<unsigned char *>(o) + k.offset;
    const uint32_t bits = static_cast<uint32_t>(v);
    switch (k.type) {
        case Type::U8:
        case Type::I8: {
            const uint8_t b = static_cast<uint8_t>(bits);
            std::memcpy(dst, &b, 1);
            break;
        }
        case Type::U16: {
            const uint16_t h = static_cast<uint16_t>(bits);
            std::memcpy(dst, &h, 2);
            break;
        }
        case Type::U32:
        case Type::I32:
            std::memcpy(dst, &bits, 4);
            break;
        case Type::F64: {
            const double d = v;
            std::memcpy(dst, &d, 8);
            break;
        }
    }
}

void storeDouble(ConfigOpts *o, const KeyDef &k, double d) {
    std::memcpy(reinterpret_cast<unsigned char *>(o) + k.offset, &d, sizeof d);
}

bool digitsOnly(const char *s) {
    for (; *s != '\0'; ++s)
        if (!isDigitC(*s)) return false;
    return true;
}

// True when the whole text (1 to 255 characters, trailing white space
// allowed) is one real number; stores its double value.
bool completeReal(const char *s, double *out) {
    const size_t len = std::strlen(s);
    if (len < 1 || len >= kTextBufSize) return false;
    double v = 0.0;
    const char *end = tarn_cfg::scanDouble(s, &v);
    if (end == nullptr) return false;
    while (isSpaceC(*end)) ++end;
    if (*end != '\0') return false;
    *out = v;
    return true;
}

// Truncation toward zero into uint32 as the 32-bit ARM target converts:
// saturating at both ends, NaN to 0 (no undefined behaviour for any input).
constexpr auto truncToU32 = tarn_common::truncToUInt32;

// Returns false when the text does not have the key's form (field unchanged).
bool applyValue(ConfigOpts *o, const KeyDef &k, const char *value) {
    const bool digits = digitsOnly(value);
    double real = 0.0;
    switch (k.form) {
        case Form::Integer:
            if (!digits) return false;
            storeInteger(o, k, atoiC(value));
            return true;
        case Form::Boolean:
            if (!digits) return false;
            storeInteger(o, k, (atoiC(value) & 0xFF) != 0 ? 1 : 0);
            return true;
        case Form::Real:
            if (completeReal(value, &real))
                storeDouble(o, k, real);
            else if (digits)
                storeDouble(o, k, atoiC(value));
            else
                return false;
            return true;
        case Form::RealDigitsInt:
            if (digits)
                storeDouble(o, k, atoiC(value));
            else if (completeReal(value, &real))
                storeDouble(o, k, real);
            else
                return false;
            return true;
        case Form::IntOrReal:
            if (digits)
                storeInteger(o, k, atoiC(value));
            else if (completeReal(value, &real))
                storeInteger(o, k, static_cast<int32_t>(truncToU32(real)));
            else
                return false;
            return true;
        case Form::LenientReal:
            if (completeReal(value, &real))
                storeDouble(o, k, real);
            else
                storeDouble(o, k, atoiC(value));
            return true;
        case Form::NotInFile:
            break;
    }
    return false;
}

// Splits a line as sscanf(line, "%[^=]=%s", key, value) does: a part that the
// line does not yield keeps the buffer's previous text. Returns false, with
// both buffers untouched, when a part would not fit its buffer; the line is
// then ignored.
bool splitLine(const char *line, char *key, char *value) {
    if (line[0] == '\0' || line[0] == '=') return true;  // nothing converted
    const size_t keyLen = std::strcspn(line, "=");
    if (keyLen >= kTextBufSize) return false;
    const char *v = nullptr;
    size_t valueLen = 0;
    if (line[keyLen] == '=') {
        v = line + keyLen + 1;
        while (isSpaceC(*v)) ++v;
        while (v[valueLen] != '\0' && !isSpaceC(v[valueLen])) ++valueLen;
        if (valueLen >= kTextBufSize) return false;
    }
    std::memcpy(key, line, keyLen);
    key[keyLen] = '\0';
    if (valueLen > 0) {
        std::memcpy(value, v, valueLen);
        value[valueLen] = '\0';
    }
    return true;
}

// 1 applied, 0 no key matches, -1 the value text does not have the key's form.
int applyLine(ConfigOpts *o, const char *key, const char *value) {
    for (const KeyDef &k : kKeys) {
        if (k.name != nullptr && std::strncmp(key, k.name, std::strlen(k.name)) == 0)
            return applyValue(o, k, value) ? 1 : -1;
    }
    return 0;
}

template <typename T>
void restoreDefault(T ConfigOpts::*field, ConfigOpts *o) {
    o->*field = constOpts.*field;
}

// Puts back the default of a field whose value is out of range.
template <typename T>
void repair(ConfigOpts *o, T ConfigOpts::*field, bool bad, const char *key, bool quiet = false) {
    if (!bad) return;
    if (!quiet) DEBUG_LOG(1, "Incorrect %s.\n", key);
    restoreDefault(field, o);
    DEBUG_LOG(3, "Setting default value of %s.\n", key);
}

bool isPowerOfTwo(unsigned v) {
    return v != 0 && (v & (v - 1)) == 0;
}

void repairFields(ConfigOpts *o) {
    repair(o, &ConfigOpts::qWrap, o->qWrap == 0 || o->qWrap > 65536, "Q_WRAP");
    repair(o, &ConfigOpts::distSF, o->distSF != 1000, "DISTSF");
    repair(o, &ConfigOpts::chMax, o->chMax != 79, "CH_MAX");
    repair(o, &ConfigOpts::logLevel, o->logLevel > 4, "LOG_LEVEL");
    repair(o, &ConfigOpts::pctPrior, o->pctPrior > 5, "PctPrior");
    repair(o, &ConfigOpts::pctMask, o->pctMask > 10, "PctMask");
    repair(o, &ConfigOpts::phConfFac, o->phConfFac > 10, "PhConfFac");
    repair(o, &ConfigOpts::muMaxEigs, o->muMaxEigs < 0.0 || o->muMaxEigs > 10.0, "MuMaxEigs");
    repair(o, &ConfigOpts::fiAddGconf, o->fiAddGconf == 0, "FiAddGconf");
    repair(o, &ConfigOpts::fiMaxPeriod, o->fiMaxPeriod > 10, "FiMaxPeriod");
    repair(o, &ConfigOpts::fiMinConf, o->fiMinConf > 10, "FiMinConf");
    repair(o, &ConfigOpts::fiMaxDelta, o->fiMaxDelta > 10, "FiMaxDelta");
    repair(o, &ConfigOpts::fiAvgPwr, o->fiAvgPwr == 3.0, "FiAvgPwr");
    // The trailing blank of this message is part of its established text.
    if (o->fiDistanceCombiningMethod > 3) {
        DEBUG_LOG(1, "Incorrect FiDistanceCombiningMethod. \n");
        restoreDefault(&ConfigOpts::fiDistanceCombiningMethod, o);
        DEBUG_LOG(3, "Setting default value of FiDistanceCombiningMethod.\n");
    }
    repair(o, &ConfigOpts::fiConfDecay, o->fiConfDecay == static_cast<double>(0.2f), "FiConfDecay",
           true);
    repair(o, &ConfigOpts::fiPkConfThr, o->fiPkConfThr == 0.5, "FiPkConfThr", true);
    repair(o, &ConfigOpts::fiExclFrac, o->fiExclFrac == static_cast<double>(0.3f), "FiExclFrac",
           true);
    repair(o, &ConfigOpts::fiVelAvg, o->fiVelAvg == 0.5, "FiVelAvg", true);

    // Values that would make an estimator index outside its fixed arrays.
    repair(o, &ConfigOpts::rtpSlidingWindowSize, o->rtpSlidingWindowSize > 20,
           "RtpSlidingWindowSize");
    repair(o, &ConfigOpts::rtpSlidingWindowFrameSize, o->rtpSlidingWindowFrameSize > 100,
           "RtpSlidingWindowFrameSize");
    repair(o, &ConfigOpts::rttSlidingWindowSize, o->rttSlidingWindowSize > 20,
           "RttSlidingWindowSize");
    repair(o, &ConfigOpts::rttSlidingWindowFrameSize, o->rttSlidingWindowFrameSize > 100,
           "RttSlidingWindowFrameSize");
    repair(o, &ConfigOpts::ifftSize, !isPowerOfTwo(o->ifftSize) || o->ifftSize > 16384, "ifftSize");
    // The file cannot set the list counts, but the record it is laid over may
    // come from anywhere.
    repair(o, &ConfigOpts::muOrdSetLen, o->muOrdSetLen > TARN_MU_ORD_SET_MAX, "muOrdSetLen");
    repair(o, &ConfigOpts::muCovSetLen, o->muCovSetLen > TARN_MU_ORD_SET_MAX, "muCovSetLen");
    repair(o, &ConfigOpts::muConfFacLen, o->muConfFacLen > TARN_MU_CONF_FAC_MAX, "muConfFacLen");
}

// Reads the file's lines onto *opts without the repairs; -1 (opts untouched)
// when the file cannot be used.
int readConfigFile(const char *path, ConfigOpts *opts) {
    if (path == nullptr || opts == nullptr || path[0] == '\0' ||
        strnlen(path, kMaxPathLen) == kMaxPathLen) {
        DEBUG_LOG(1, "Invalid configuration file.\n");
        return -1;
    }
    FILE *fp = std::fopen(path, "r");
    if (fp == nullptr) {
        DEBUG_LOG(1, "Could not open file: %s\n", path);
        return -1;
    }

    // Work on a copy so that a file that fails while being read (a directory,
    // an I/O error) leaves the caller's record untouched.
    ConfigOpts work;
    std::memcpy(&work, opts, sizeof work);
    char line[kLineBufSize] = {0};
    char key[kTextBufSize] = {0};
    char value[kTextBufSize] = {0};
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        if (splitLine(line, key, value)) applyLine(&work, key, value);
    }
    const bool readError = std::ferror(fp) != 0;
    std::fclose(fp);
    if (readError) {
        DEBUG_LOG(1, "Could not open file: %s\n", path);
        return -1;
    }
    std::memcpy(opts, &work, sizeof work);
    return 0;
}

}  // namespace

extern "C" int parseConfigFile(const char *path, ConfigOpts *opts) {
    ConfigOpts work;
    if (opts == nullptr) return readConfigFile(path, nullptr);
    std::memcpy(&work, opts, sizeof work);
    if (readConfigFile(path, &work) != 0) return -1;
    repairFields(&work);
    std::memcpy(opts, &work, sizeof work);
    return 0;
}

// ---- Extensions: the reader's steps one by one (see tarn_config.h) -----------------

extern "C" int tarnReadConfigFile(const char *path, ConfigOpts *opts) {
    return readConfigFile(path, opts);
}

extern "C" int tarnApplyConfigLine(const char *line, ConfigOpts *opts) {
    if (line == nullptr || opts == nullptr || strnlen(line, kLineBufSize) == kLineBufSize) return 0;
    char key[kTextBufSize] = {0};
    char value[kTextBufSize] = {0};
    // A lone line has no previous one to lend it a missing key or value.
    if (line[0] == '=' || std::strchr(line, '=') == nullptr) return 0;
    if (!splitLine(line, key, value)) return -1;
    if (value[0] == '\0') {
        for (const KeyDef &k : kKeys)
            if (k.name != nullptr && std::strncmp(key, k.name, std::strlen(k.name)) == 0) return -1;
        return 0;
    }
    return applyLine(opts, key, value);
}

extern "C" int tarnRepairConfig(ConfigOpts *opts) {
    if (opts == nullptr) return 0;
    ConfigOpts before;
    std::memcpy(&before, opts, sizeof before);
    repairFields(opts);
    return std::memcmp(&before, opts, sizeof before) != 0 ? 1 : 0;
}
