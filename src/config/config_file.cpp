// Configuration file reader: key=value lines overlaid on an options record.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/numeric.h"
#include "config/config_internal.h"
#include "config/num_parse.h"
#include "config/options_list.h"
#include "tarn_diag.h"

namespace {

using tarn_cfg::kDefaultOpts;
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
bool sameBits(const T &a, const T &b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Puts back the default of a field whose value is out of range. A record
// from the file is repaired with its established messages (also when the
// value already is the default: the file's checks look at the record as it
// stands); a record a host installs is logged only where a value changes.
class Repairer {
  public:
    Repairer(ConfigOpts *o, RepairSource from) : o_(o), host_(from == RepairSource::Host) {}

    // incorrectText: the first message when it is not "Incorrect <key>.".
    template <typename T>
    void field(T ConfigOpts::*f, bool bad, const char *key, bool quiet = false,
               const char *incorrectText = nullptr) {
        if (!bad) return;
        const bool changes = !sameBits(o_->*f, kDefaultOpts.*f);
        if (host_ && !changes) return;
        if (host_ || !quiet) {
            if (incorrectText != nullptr)
                DEBUG_LOG(1, "%s", incorrectText);
            else
                DEBUG_LOG(1, "Incorrect %s.\n", key);
        }
        o_->*f = kDefaultOpts.*f;
        DEBUG_LOG(3, "Setting default value of %s.\n", key);
    }

    // A real of a host's record that is not a number or beyond any sensible
    // magnitude. (The file's texts keep the values they write.)
    template <typename T>
    void real(T ConfigOpts::*f, double maxMagnitude, const char *key) {
        const double v = o_->*f;
        field(f, host_ && !(std::fabs(v) <= maxMagnitude), key);
    }

  private:
    ConfigOpts *o_;
    bool host_;
};

bool isPowerOfTwo(unsigned v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// Magnitude bounds of a host's reals that enter distances directly (metres,
// or metres per second for the propagation speed): far beyond any ranging
// set-up, close enough that no distance they make is absurd.
constexpr double kMaxOffsetM = 10000.0;
constexpr double kMinSol = 1.0e7;
constexpr double kMaxSol = 1.0e10;
constexpr double kMaxReal = 1.0e12;  // any other real: finite and not absurd

}  // namespace

void tarnRepairOptions(ConfigOpts *o, RepairSource from) {
    Repairer r(o, from);
    r.field(&ConfigOpts::qWrap, o->qWrap == 0 || o->qWrap > 65536, "Q_WRAP");
    r.field(&ConfigOpts::distSF, o->distSF != 1000, "DISTSF");
    r.field(&ConfigOpts::chMax, o->chMax != 79, "CH_MAX");
    r.field(&ConfigOpts::logLevel, o->logLevel > 4, "LOG_LEVEL");
    r.field(&ConfigOpts::pctPrior, o->pctPrior > TARN_PCT_PRIOR_MAX, "PctPrior");
    r.field(&ConfigOpts::pctMask, o->pctMask > 10, "PctMask");
    r.field(&ConfigOpts::phConfFac, o->phConfFac > 10, "PhConfFac");
    r.field(&ConfigOpts::muMaxEigs, o->muMaxEigs < 0.0 || o->muMaxEigs > 10.0, "MuMaxEigs");
    r.field(&ConfigOpts::fiAddGconf, o->fiAddGconf == 0, "FiAddGconf");
    r.field(&ConfigOpts::fiMaxPeriod, o->fiMaxPeriod > 10, "FiMaxPeriod");
    // The defaults of these two (15) lie above their own limit: every check
    // of a record that keeps them logs and restores them.
    r.field(&ConfigOpts::fiMinConf, o->fiMinConf > 10, "FiMinConf");
    r.field(&ConfigOpts::fiMaxDelta, o->fiMaxDelta > 10, "FiMaxDelta");
    r.field(&ConfigOpts::fiAvgPwr, o->fiAvgPwr == 3.0, "FiAvgPwr");
    // The blank before the line end is part of this message's established text.
    r.field(&ConfigOpts::fiDistanceCombiningMethod,
            o->fiDistanceCombiningMethod > TARN_COMBINE_PERCENTILE_BY_PATHS,
            "FiDistanceCombiningMethod", false, "Incorrect FiDistanceCombiningMethod. \n");
    // Values a single-precision writer of the record would produce for the
    // usual settings: the double defaults are meant.
    r.field(&ConfigOpts::fiConfDecay, o->fiConfDecay == static_cast<double>(0.2f), "FiConfDecay",
            true);
    r.field(&ConfigOpts::fiPkConfThr, o->fiPkConfThr == 0.5, "FiPkConfThr", true);
    r.field(&ConfigOpts::fiExclFrac, o->fiExclFrac == static_cast<double>(0.3f), "FiExclFrac",
            true);
    r.field(&ConfigOpts::fiVelAvg, o->fiVelAvg == 0.5, "FiVelAvg", true);

    // Values that would make an estimator index outside its fixed arrays.
    r.field(&ConfigOpts::rtpSlidingWindowSize, o->rtpSlidingWindowSize > 20,
            "RtpSlidingWindowSize");
    r.field(&ConfigOpts::rtpSlidingWindowFrameSize, o->rtpSlidingWindowFrameSize > 100,
            "RtpSlidingWindowFrameSize");
    r.field(&ConfigOpts::rttSlidingWindowSize, o->rttSlidingWindowSize > 20,
            "RttSlidingWindowSize");
    r.field(&ConfigOpts::rttSlidingWindowFrameSize, o->rttSlidingWindowFrameSize > 100,
            "RttSlidingWindowFrameSize");
    r.field(&ConfigOpts::ifftSize, !isPowerOfTwo(o->ifftSize) || o->ifftSize > 16384, "ifftSize");
    // The file cannot set the list counts, but the record it is laid over may
    // come from anywhere.
    r.field(&ConfigOpts::muOrdSetLen, o->muOrdSetLen > TARN_MU_ORD_SET_MAX, "muOrdSetLen");
    r.field(&ConfigOpts::muCovSetLen, o->muCovSetLen > TARN_MU_ORD_SET_MAX, "muCovSetLen");
    r.field(&ConfigOpts::muConfFacLen, o->muConfFacLen > TARN_MU_CONF_FAC_MAX, "muConfFacLen");

    if (from == RepairSource::File) return;
    // A host's record may hold any bit pattern: reals that turn into
    // distances must be numbers of a sensible size, or a NaN, an infinity or
    // an absurd value would reach the host as its distance.
    r.field(&ConfigOpts::sol, !(o->sol >= kMinSol && o->sol <= kMaxSol), "SOL");
    r.real(&ConfigOpts::rttDisCalAA, kMaxOffsetM, "RttDisCalAA");
    r.real(&ConfigOpts::calDistOffset, kMaxOffsetM, "CAL_DIST_OFFSET");
    r.real(&ConfigOpts::cirOffset, kMaxOffsetM, "cirOffset");
    r.real(&ConfigOpts::phaseRotationOffset, kMaxOffsetM, "PhaseRotationOffset");
    static const char *const kDisCalKeys[4] = {"DIS_CAL_1", "DIS_CAL_2", "DIS_CAL_3", "DIS_CAL_4"};
    for (int i = 0; i < 4; ++i) {
        // Calibrations as large as the file can write (2147483647) stay.
        if (std::isfinite(o->disCal[i])) continue;
        DEBUG_LOG(1, "Incorrect %s.\n", kDisCalKeys[i]);
        o->disCal[i] = kDefaultOpts.disCal[i];
        DEBUG_LOG(3, "Setting default value of %s.\n", kDisCalKeys[i]);
    }
    // Every other real: finite and within kMaxReal.
#define TARN_REAL_CHECK(field, key, type, form, value, cast, text) \
    if (Type::type == Type::F64) r.real(&ConfigOpts::field, kMaxReal, key != nullptr ? key : #field);
#define TARN_NO_CHECK(...)
    TARN_OPTION_LIST(TARN_REAL_CHECK, TARN_NO_CHECK, TARN_NO_CHECK)
#undef TARN_REAL_CHECK
#undef TARN_NO_CHECK
}

namespace {

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

int tarn_cfg::parseConfigFile(const char *path, ConfigOpts *opts) {
    ConfigOpts work;
    if (opts == nullptr) return readConfigFile(path, nullptr);
    std::memcpy(&work, opts, sizeof work);
    if (readConfigFile(path, &work) != 0) return -1;
    tarnRepairOptions(&work, RepairSource::File);
    std::memcpy(opts, &work, sizeof work);
    return 0;
}

// ---- Extensions: the reader's steps one by one (see tarn_config.h) -----------------

int tarn_cfg::tarnReadConfigFile(const char *path, ConfigOpts *opts) {
    return readConfigFile(path, opts);
}

int tarn_cfg::tarnApplyConfigLine(const char *line, ConfigOpts *opts) {
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

int tarn_cfg::tarnRepairConfig(ConfigOpts *opts) {
    if (opts == nullptr) return 0;
    ConfigOpts before;
    std::memcpy(&before, opts, sizeof before);
    tarnRepairOptions(opts, RepairSource::File);
    return std::memcmp(&before, opts, sizeof before) != 0 ? 1 : 0;
}
