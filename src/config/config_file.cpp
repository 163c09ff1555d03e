// Configuration file reader: key=value lines overlaid on an options record.
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "common/numeric.h"
#include "config/config_internal.h"
#include "config/num_parse.h"
#include "config/option_rules.h"
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

using tarn_cfg::Form;
using tarn_cfg::Type;
using tarn_cfg::widthOf;

struct KeyDef {
    const char *name;
    size_t offset;
    Type type;
    Form form;
};

// Tested in this order; the first key whose name begins the key text wins
// (no name begins another, so the order does not matter). Fields the file cannot set have no name and are skipped.
constexpr KeyDef kKeys[] = {
#define TARN_FIELD_KEY(field, key, type, form, ...) \
    {key, offsetof(ConfigOpts, field), Type::type, Form::form},
#define TARN_ELEMENT_KEY(element, key, type, form, ...) \
    {key, offsetof(ConfigOpts, element), Type::type, Form::form},
#define TARN_NO_KEY(...)
    TARN_OPTION_LIST(TARN_FIELD_KEY, TARN_ELEMENT_KEY, TARN_NO_KEY, TARN_NO_KEY)
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

// The first key whose name begins the key text; nullptr when none does.
const KeyDef *keyFor(const char *key) {
    for (const KeyDef &k : kKeys)
        if (k.name != nullptr && std::strncmp(key, k.name, std::strlen(k.name)) == 0) return &k;
    return nullptr;
}

// 1 applied, 0 no key matches, -1 the value text does not have the key's form.
int applyLine(ConfigOpts *o, const char *key, const char *value) {
    const KeyDef *k = keyFor(key);
    if (k == nullptr) return 0;
    return applyValue(o, *k, value) ? 1 : -1;
}

// A field's rules as the option list gives them.
struct FieldRule {
    const char *name;  // in the messages: the key, else the field's name
    size_t offset;
    Type type;
    tarn_cfg::Range range;
    tarn_cfg::Repair repair;
    tarn_cfg::HostBound host;
};

using namespace tarn_cfg::rules;

constexpr FieldRule kRules[] = {
#define TARN_FIELD_RULE(field, key, type, form, value, cast, text, unit, range, repair, host) \
    {key != nullptr ? key : #field, offsetof(ConfigOpts, field), Type::type, range, repair, host},
#define TARN_ELEMENT_RULE(element, key, type, form, unit, range, repair, host) \
    {key, offsetof(ConfigOpts, element), Type::type, range, repair, host},
#define TARN_NO_RULE(...)
    TARN_OPTION_LIST(TARN_FIELD_RULE, TARN_ELEMENT_RULE, TARN_NO_RULE, TARN_NO_RULE)
#undef TARN_FIELD_RULE
#undef TARN_ELEMENT_RULE
#undef TARN_NO_RULE
};
constexpr size_t kRuleCount = sizeof kRules / sizeof kRules[0];

// The order in which the repair visits the rules: indexes into kRules.
struct Walk {
    size_t at[kRuleCount];
    size_t n;
};

constexpr bool hasHostBound(const FieldRule &r) {
    return r.host.range.kind != tarn_cfg::Range::Any;
}

// The rule's place in the walk of every record (the ranges), or in a host's
// (its bounds); 0: none.
constexpr int stepOf(const FieldRule &r, bool host) {
    return host ? (hasHostBound(r) ? r.host.step : 0) : r.repair.step;
}

// The rules by their step numbers; a host's walk then takes its bounds
// without a number, in list order.
constexpr Walk walk(bool host) {
    Walk w{};
    int last = 0;
    for (const FieldRule &r : kRules) last = stepOf(r, host) > last ? stepOf(r, host) : last;
    for (int step = 1; step <= last; ++step)
        for (size_t i = 0; i < kRuleCount; ++i)
            if (stepOf(kRules[i], host) == step) w.at[w.n++] = i;
    if (host)
        for (size_t i = 0; i < kRuleCount; ++i)
            if (hasHostBound(kRules[i]) && kRules[i].host.step == 0) w.at[w.n++] = i;
    return w;
}

constexpr Walk kRangeWalk = walk(false);
constexpr Walk kHostWalk = walk(true);

// The step numbers run 1, 2, 3 ... without gaps or twins, and exactly the
// checked ranges have one: a typo in the list cannot drop or double a check.
constexpr bool stepsAreOneSequence() {
    size_t checked = 0;
    for (const FieldRule &r : kRules) {
        if ((r.repair.step != 0) != (r.range.kind != tarn_cfg::Range::Any)) return false;
        checked += r.repair.step != 0 ? 1 : 0;
    }
    for (size_t k = 0; k < kRangeWalk.n; ++k)
        if (kRules[kRangeWalk.at[k]].repair.step != k + 1) return false;
    return kRangeWalk.n == checked;
}
static_assert(stepsAreOneSequence(), "repair steps 1..n, one per checked range");

constexpr bool hostStepsAreOneSequence() {
    size_t k = 0;
    for (; k < kHostWalk.n && kRules[kHostWalk.at[k]].host.step != 0; ++k)
        if (kRules[kHostWalk.at[k]].host.step != k + 1) return false;
    size_t numbered = 0;
    for (const FieldRule &r : kRules) numbered += hasHostBound(r) && r.host.step != 0 ? 1 : 0;
    return k == numbered;
}
static_assert(hostStepsAreOneSequence(), "host steps 1..n without gaps or twins");

double valueOf(const ConfigOpts &o, const FieldRule &r) {
    return tarn_cfg::fieldValue(&o, r.offset, r.type);
}

// Puts back the default of a field whose value is out of range. A record
// from the file is repaired with its established messages (also when the
// value already is the default: the file's checks look at the record as it
// stands); a record a host installs is logged only where a value changes.
class Repairer {
  public:
    Repairer(ConfigOpts *o, RepairSource from) : o_(o), host_(from == RepairSource::Host) {}

    void range(const FieldRule &r) {
        if (r.range.accepts(valueOf(*o_, r))) return;
        putDefault(r, r.repair.quietFile, r.repair.incorrectText);
    }

    // A real of a host's record that is not a number or beyond any sensible
    // magnitude. (The file's texts keep the values they write.)
    void hostBound(const FieldRule &r) {
        if (r.host.range.accepts(valueOf(*o_, r))) return;
        putDefault(r, false, nullptr);
    }

  private:
    // incorrectText: the first message when it is not "Incorrect <name>.".
    void putDefault(const FieldRule &r, bool quiet, const char *incorrectText) {
        unsigned char *field = reinterpret_cast<unsigned char *>(o_) + r.offset;
        const unsigned char *def = reinterpret_cast<const unsigned char *>(&kDefaultOpts) + r.offset;
        const bool changes = std::memcmp(field, def, widthOf(r.type)) != 0;
        if (host_ && !changes) return;
        if (host_ || !quiet) {
            if (incorrectText != nullptr)
                DEBUG_LOG(1, "%s", incorrectText);
            else
                DEBUG_LOG(1, "Incorrect %s.\n", r.name);
        }
        std::memcpy(field, def, widthOf(r.type));
        DEBUG_LOG(3, "Setting default value of %s.\n", r.name);
    }

    ConfigOpts *o_;
    bool host_;
};

}  // namespace

void tarnRepairOptions(ConfigOpts *o, RepairSource from) {
    Repairer r(o, from);
    for (size_t k = 0; k < kRangeWalk.n; ++k) r.range(kRules[kRangeWalk.at[k]]);
    if (from == RepairSource::File) return;
    // A host's record may hold any bit pattern: reals that turn into
    // distances must be numbers of a sensible size, or a NaN, an infinity or
    // an absurd value would reach the host as its distance.
    for (size_t k = 0; k < kHostWalk.n; ++k) r.hostBound(kRules[kHostWalk.at[k]]);
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
    if (value[0] == '\0') return keyFor(key) != nullptr ? -1 : 0;
    return applyLine(opts, key, value);
}

int tarn_cfg::tarnRepairConfig(ConfigOpts *opts) {
    if (opts == nullptr) return 0;
    ConfigOpts before;
    std::memcpy(&before, opts, sizeof before);
    tarnRepairOptions(opts, RepairSource::File);
    return std::memcmp(&before, opts, sizeof before) != 0 ? 1 : 0;
}
