// --config, --set and --cal: the library's options as an integrator changes
// them, through the library's own readers, and the effective-options table.
#include "options_cli.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "config/option_rules.h"
#include "config/options_list.h"
#include "session.h"
#include "tarn.h"

#ifndef TARN_VERSION_STRING
#define TARN_VERSION_STRING "unknown"
#endif

namespace tarn_tool {

namespace {

using FieldType = tarn_cfg::Type;
using tarn_cfg::Form;
using tarn_cfg::Range;

struct FieldDef {
    const char *name;
    const char *key;  // nullptr: a file cannot set it
    size_t offset;
    FieldType type;
    Form form;
    tarn_cfg::Unit unit;
    Range range;               // what every record keeps
    tarn_cfg::HostBound host;  // the further bound of a host's record
};

using namespace tarn_cfg::rules;

// The library's own list of the scalar fields and their keys.
const FieldDef kFields[] = {
#define TOOL_OPT(field, key, type, form, value, cast, text, unit, range, repair, host) \
    {#field, key, offsetof(ConfigOpts, field), FieldType::type, Form::form, tarn_cfg::Unit::unit, \
     range, host},
#define TOOL_KEY(element, key, type, form, unit, range, repair, host) \
    {#element, key, offsetof(ConfigOpts, element), FieldType::type, Form::form, \
     tarn_cfg::Unit::unit, range, host},
#define TOOL_NONE(...)
    TARN_OPTION_LIST(TOOL_OPT, TOOL_KEY, TOOL_NONE, TOOL_NONE)
#undef TOOL_OPT
#undef TOOL_KEY
};
constexpr size_t kFieldCount = sizeof kFields / sizeof kFields[0];

// The list fields: one entry's type, unit and range, and how many fit.
struct ListDef {
    const char *name;
    const char *countName;
    size_t offset;
    size_t countOffset;
    FieldType type;
    tarn_cfg::Unit unit;
    Range range;
    int capacity;
};
const ListDef kLists[] = {
#define TOOL_LIST(field, count, type, unit, range)                                        \
    {#field, #count, offsetof(ConfigOpts, field), offsetof(ConfigOpts, count),            \
     FieldType::type, tarn_cfg::Unit::unit, range,                                        \
     static_cast<int>(sizeof(ConfigOpts::field) / sizeof(ConfigOpts::field[0]))},
    TARN_OPTION_LIST(TOOL_NONE, TOOL_NONE, TOOL_NONE, TOOL_LIST)
#undef TOOL_LIST
#undef TOOL_NONE
};

const ListDef *listNamed(const std::string &name) {
    for (const ListDef &l : kLists)
        if (name == l.name) return &l;
    return nullptr;
}

// Rows after the scalar fields: the lists and the calibration table.
enum ListRow { kMuOrdSet, kMuCovSet, kMuConfFac, kCalFilePath, kCalTable, kListRows };
const char *const kListNames[kListRows] = {"muOrdSet", "muCovSet", "muConfFac", "calFilePath",
                                           "calTable"};

// The list counts are shown with their lists.
bool hiddenField(const FieldDef &f) {
    for (const ListDef &l : kLists)
        if (std::strcmp(f.name, l.countName) == 0) return true;
    return false;
}

// The list's accepted values of a field, as the table prints them; with the
// host's bound when `withHost`.
std::string rangeText(const FieldDef &f, bool withHost);
std::string listRangeText(const ListDef &l);

struct RowIndex {
    std::vector<OptionRow> rows;
    std::vector<int> field;  // index into kFields, or -1 - ListRow
};

const RowIndex &rowIndex() {
    static const RowIndex idx = [] {
        RowIndex r;
        for (size_t i = 0; i < kFieldCount; ++i) {
            if (hiddenField(kFields[i])) continue;
            r.rows.push_back({kFields[i].name, kFields[i].key ? kFields[i].key : "",
                              tarn_cfg::unitText(kFields[i].unit), rangeText(kFields[i], true)});
            r.field.push_back(static_cast<int>(i));
        }
        for (int l = 0; l < kListRows; ++l) {
            const ListDef *list = listNamed(kListNames[l]);
            r.rows.push_back({kListNames[l], "", list ? tarn_cfg::unitText(list->unit) : "",
                              list ? listRangeText(*list) : ""});
            r.field.push_back(-1 - l);
        }
        return r;
    }();
    return idx;
}

int rowOf(const std::string &name) {
    const RowIndex &idx = rowIndex();
    for (size_t i = 0; i < idx.rows.size(); ++i)
        if (idx.rows[i].name == name) return static_cast<int>(i);
    return -1;
}

const unsigned char *bytes(const ConfigOpts &o) {
    return reinterpret_cast<const unsigned char *>(&o);
}

double fieldNumber(const ConfigOpts &o, const FieldDef &f) {
    return tarn_cfg::fieldValue(&o, f.offset, f.type);
}

std::string number(double v, bool integral) {
    char buf[48];
    if (integral)
        std::snprintf(buf, sizeof buf, "%.0f", v);
    else
        std::snprintf(buf, sizeof buf, "%.10g", v);
    return buf;
}

bool sameRow(const ConfigOpts &a, const ConfigOpts &b, size_t row) {
    const int f = rowIndex().field[row];
    if (f >= 0)
        return std::memcmp(bytes(a) + kFields[f].offset, bytes(b) + kFields[f].offset,
                           tarn_cfg::widthOf(kFields[f].type)) == 0;
    return optionValue(a, row) == optionValue(b, row);
}

const char *formText(Form f) {
    switch (f) {
        case Form::Integer:
            return "a whole number, digits only";
        case Form::Boolean:
            return "0 or 1";
        default:
            return "a number";
    }
}

// The first of %g, %.15g and %.17g that gives v back.
std::string exact(double v) {
    char buf[48];
    for (const char *format : {"%g", "%.15g", "%.17g"}) {
        std::snprintf(buf, sizeof buf, format, v);
        if (std::strtod(buf, nullptr) == v) break;
    }
    return buf;
}

std::string span(double lo, double hi) {
    return lo == hi ? exact(lo) : exact(lo) + ".." + exact(hi);
}

// The further bound of a host's record.
std::string hostBoundText(const FieldDef &f) {
    const Range &h = f.host.range;
    if (h.lo == -DBL_MAX && h.hi == DBL_MAX) return "finite";
    if (h.lo == -h.hi) return "|v| <= " + exact(h.hi);
    return span(h.lo, h.hi);
}

std::string rangeText(const FieldDef &f, bool withHost) {
    std::string s;
    switch (f.range.kind) {
        case Range::Any:
            if (f.type == FieldType::F64) {
                s = "any";
            } else if (f.form == Form::Boolean) {
                s = "0, 1";  // all the file's text can store
            } else {
                const tarn_cfg::TypeSpan t = tarn_cfg::typeSpan(f.type);
                s = span(t.lo, t.hi);
            }
            break;
        case Range::Between:
        case Range::Within:
            s = span(f.range.lo, f.range.hi);
            break;
        case Range::Not:
            s = "not " + exact(f.range.lo);
            break;
        case Range::PowerOfTwo:
            s = "power of two to " + exact(f.range.hi);
            break;
    }
    if (!withHost || f.host.range.kind == Range::Any) return s;
    return s + ", host: " + hostBoundText(f);
}

// The entries' bounds: a range for integers, any finite number for reals.
void entryBounds(const ListDef &l, double *lo, double *hi) {
    *lo = l.range.kind == Range::Any ? -DBL_MAX : l.range.lo;
    *hi = l.range.kind == Range::Any ? DBL_MAX : l.range.hi;
}

std::string listRangeText(const ListDef &l) {
    const std::string entries = "1 to " + std::to_string(l.capacity) + " entries";
    if (l.range.kind == Range::Any) return entries;
    return entries + " of " + span(l.range.lo, l.range.hi);
}

// The library's repairs of the options as the tool installs them on its
// link: the file's checks, then the further bounds of a host's record.
void repairAsInstalled(ConfigOpts *o) {
    tarnRepairConfig(o);
    for (const FieldDef &f : kFields)
        if (!f.host.range.accepts(fieldNumber(*o, f)))
            std::memcpy(reinterpret_cast<unsigned char *>(o) + f.offset,
                        bytes(constOpts) + f.offset, tarn_cfg::widthOf(f.type));
}

// Which range the value of `row` in `o` is outside of.
std::string rangeBroken(const ConfigOpts &o, size_t row) {
    const int f = rowIndex().field[row];
    if (f < 0) return "out of range";
    const FieldDef &d = kFields[f];
    if (!d.range.accepts(fieldNumber(o, d))) return "out of range " + rangeText(d, false);
    return "out of range (" + hostBoundText(d) + " in a record a host installs)";
}

bool parseReal(const std::string &s, double *out) {
    if (s.empty()) return false;
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

// A comma-separated list of numbers in [lo, hi], 1 to `most` of them.
bool parseList(const std::string &s, int most, double lo, double hi, bool integral,
               std::vector<double> *out) {
    out->clear();
    std::stringstream ss(s);
    std::string item;
    while (std::getline(ss, item, ',')) {
        double v;
        if (!parseReal(item, &v) || v < lo || v > hi || (integral && v != std::floor(v)))
            return false;
        out->push_back(v);
    }
    return !out->empty() && static_cast<int>(out->size()) <= most && s.back() != ',';
}

std::string lower(std::string s) {
    for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string knownNames() {
    return "configuration-file keys (see `tarn options`), or rtpFilterType, muOffsetFilter, "
           "maxMusicStdDev, muOrdSet, muCovSet, muConfFac";
}

// Applies one --set; "" or the error.
std::string applySet(const std::string &text, ConfigOpts *o, std::string *rowName) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) return "--set " + text + ": expected KEY=VALUE";
    std::string key = text.substr(0, eq);
    const std::string value = text.substr(eq + 1);
    const std::string where = "--set " + text + ": ";
    if (value.empty()) return where + "no value for " + key;

    // A file key, or a field name standing for its key.
    const FieldDef *def = nullptr;
    for (const FieldDef &f : kFields)
        if ((f.key != nullptr && key == f.key) || (key == f.name && !hiddenField(f))) def = &f;
    if (def != nullptr && def->key != nullptr) {
        *rowName = def->name;
        const std::string line = std::string(def->key) + "=" + value;
        if (value.find_first_of(" \t") != std::string::npos ||
            tarnApplyConfigLine(line.c_str(), o) != 1)
            return where + def->key + " takes " + formText(def->form) + ", not '" + value + "'";
        // The file keeps the low bits of a number too wide for its field; a
        // command line says so instead.
        double v = 0.0;
        if (def->type != FieldType::F64 && parseReal(value, &v)) {
            const tarn_cfg::TypeSpan t = tarn_cfg::typeSpan(def->type);
            if (def->form == Form::Boolean && v != 0.0 && v != 1.0)
                return where + def->key + " takes 0 or 1, not '" + value + "'";
            if (v < t.lo || v > t.hi)
                return where + def->key + " is " + number(t.lo, true) + " to " +
                       number(t.hi, true) + ", not '" + value + "'";
        }
        return "";
    }
    if (def != nullptr) {  // a scalar the file cannot set
        *rowName = def->name;
        double v;
        if (!parseReal(value, &v)) return where + key + " takes a number, not '" + value + "'";
        unsigned char *p = reinterpret_cast<unsigned char *>(o) + def->offset;
        if (def->type == FieldType::F64) {
            std::memcpy(p, &v, 8);
            return "";
        }
        const tarn_cfg::TypeSpan t = tarn_cfg::typeSpan(def->type);
        if (v != std::floor(v) || v < t.lo || v > t.hi)
            return where + key + " takes a whole number " + number(t.lo, true) + " to " +
                   number(t.hi, true) + ", not '" + value + "'";
        if (def->type != FieldType::U8) return where + key + ": not settable here";
        *p = static_cast<uint8_t>(v);
        return "";
    }
    if (const ListDef *l = listNamed(key)) {
        *rowName = key;
        const bool integral = l->type != FieldType::F64;
        double lo, hi;
        entryBounds(*l, &lo, &hi);
        std::vector<double> list;
        if (!parseList(value, l->capacity, lo, hi, integral, &list))
            return where + key + " takes 1 to " + std::to_string(l->capacity) +
                   " comma-separated " +
                   (integral ? "whole numbers from " + exact(lo) + " to " + exact(hi)
                             : std::string("numbers")) +
                   ", not '" + value + "'";
        unsigned char *base = reinterpret_cast<unsigned char *>(o);
        for (size_t i = 0; i < list.size(); ++i) {
            if (integral) {
                base[l->offset + i] = static_cast<uint8_t>(list[i]);
            } else {
                std::memcpy(base + l->offset + i * sizeof(double), &list[i], sizeof(double));
            }
        }
        base[l->countOffset] = static_cast<uint8_t>(list.size());
        return "";
    }
    std::string hint;
    for (const FieldDef &f : kFields) {
        if (lower(key) == lower(f.name) || (f.key != nullptr && lower(key) == lower(f.key)))
            hint = std::string(" (did you mean ") + (f.key ? f.key : f.name) + "?)";
    }
    return where + "unknown option " + key + hint + "; known: " + knownNames();
}

// The library's reasons for refusing a table, in the tool's words.
std::string calFileProblem(const std::string &path) {
    std::ifstream f(path);
    if (!f) return "cannot read calibration table " + path + ": " + std::strerror(errno);
    return path +
           " is not a calibration table the library accepts (at most 79 lines of at "
           "most 4 comma-separated values RE+IMi, lines under 100 characters)";
}

}  // namespace

const char *optionSourceName(OptionSource s) {
    switch (s) {
        case OptionSource::Default:
            return "default";
        case OptionSource::Platform:
            return "platform";
        case OptionSource::Config:
            return "--config";
        case OptionSource::ConfigRepaired:
            return "--config, repaired";
        case OptionSource::Set:
            return "--set";
        case OptionSource::Cal:
            return "--cal";
        case OptionSource::Tool:
            return "tool";
    }
    return "?";
}

const std::vector<OptionRow> &optionRows() {
    return rowIndex().rows;
}

std::string optionValue(const ConfigOpts &o, size_t row) {
    const int f = rowIndex().field[row];
    if (f >= 0) return number(fieldNumber(o, kFields[f]), kFields[f].type != FieldType::F64);
    std::string s;
    switch (-1 - f) {
        case kMuOrdSet:
        case kMuCovSet: {
            const bool cov = -1 - f == kMuCovSet;
            const int n = std::min<int>(cov ? o.muCovSetLen : o.muOrdSetLen, TARN_MU_ORD_SET_MAX);
            for (int i = 0; i < n; ++i)
                s += (i ? "," : "") + std::to_string(cov ? o.muCovSet[i] : o.muOrdSet[i]);
            return s.empty() ? "(none)" : s;
        }
        case kMuConfFac: {
            const int n = std::min<int>(o.muConfFacLen, TARN_MU_CONF_FAC_MAX);
            for (int i = 0; i < n; ++i) s += (i ? "," : "") + number(o.muConfFac[i], false);
            return s.empty() ? "(none)" : s;
        }
        case kCalFilePath:
            return std::string(o.calFilePath, strnlen(o.calFilePath, sizeof o.calFilePath));
        case kCalTable: {
            int nonZero = 0;
            for (int k = 0; k < TARN_CAL_CHANNELS; ++k)
                for (int p = 0; p < TARN_CAL_PATHS; ++p)
                    if (o.calTable[k][p] != TarnCplxD(0.0, 0.0)) ++nonZero;
            return nonZero == 0 ? "empty" : std::to_string(nonZero) + " entries";
        }
    }
    return "?";
}

void addOptionFlags(CLI::App *app, OptionArgs *a) {
    app->add_option("--config", a->config,
                    "configuration file (key=value lines) applied as the library applies its own "
                    "file: same reader, same repairs (reported)");
    app->add_option("--set", a->sets,
                    "KEY=VALUE: one option (repeatable; configuration-file keys, and "
                    "rtpFilterType, muOffsetFilter, maxMusicStdDev, muOrdSet=2,4,6, "
                    "muCovSet=4,8,12, muConfFac=35,0.5); applied after --config")
        ->type_name("KEY=VALUE");
    app->add_option("--cal", a->cal,
                    "calibration table file (as `tarn calibrate` writes), loaded by the "
                    "library's own loader; turns applyEstimatedReverseChannel on");
}

std::string buildOptions(const OptionArgs &a, const ConfigOpts &base, EffectiveOptions *out) {
    EffectiveOptions e;
    e.base = base;
    e.opts = base;
    const size_t rows = optionRows().size();
    e.source.assign(rows, OptionSource::Default);
    for (size_t r = 0; r < rows; ++r)
        if (!sameRow(base, constOpts, r)) e.source[r] = OptionSource::Platform;

    if (!a.config.empty()) {
        ConfigOpts read = e.opts;
        if (tarnReadConfigFile(a.config.c_str(), &read) != 0)
            return "cannot read configuration file " + a.config +
                   (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        ConfigOpts repaired = read;
        repairAsInstalled(&repaired);
        for (size_t r = 0; r < rows; ++r) {
            if (!sameRow(read, e.opts, r)) e.source[r] = OptionSource::Config;
            if (!sameRow(read, repaired, r)) {
                e.source[r] = OptionSource::ConfigRepaired;
                e.notes.push_back(
                    a.config + ": " + optionRows()[r].key + " " + optionValue(read, r) + " is " +
                    rangeBroken(read, r) + "; the library puts back " + optionValue(repaired, r));
            }
        }
        e.opts = repaired;
    }

    bool setApply = false;
    for (const std::string &s : a.sets) {
        ConfigOpts before = e.opts;
        std::string row;
        const std::string why = applySet(s, &e.opts, &row);
        if (!why.empty()) return why;
        if (row == "applyEstimatedReverseChannel") setApply = true;
        // Out of range for the library: it would put the default back.
        ConfigOpts repaired = e.opts;
        repairAsInstalled(&repaired);
        for (size_t r = 0; r < rows; ++r)
            if (!sameRow(repaired, e.opts, r))
                return "--set " + s + ": " + optionRows()[r].name + " " + optionValue(e.opts, r) +
                       " is " + rangeBroken(e.opts, r) + "; the library would put back " +
                       optionValue(repaired, r);
        for (size_t r = 0; r < rows; ++r)
            if (!sameRow(before, e.opts, r) || optionRows()[r].name == row)
                e.source[r] = OptionSource::Set;
    }

    if (!a.cal.empty()) {
        ConfigOpts loaded = e.opts;
        std::memset(static_cast<void *>(loaded.calTable), 0, sizeof loaded.calTable);
        if (tarnLoadCalFile(a.cal.c_str(), &loaded) != 1) return calFileProblem(a.cal);
        if (!setApply) loaded.applyEstimatedReverseChannel = 1;
        for (size_t r = 0; r < rows; ++r)
            if (!sameRow(loaded, e.opts, r)) e.source[r] = OptionSource::Cal;
        e.source[static_cast<size_t>(rowOf("calTable"))] = OptionSource::Cal;
        e.opts = loaded;
        e.calFile = a.cal;
    } else if (e.opts.applyEstimatedReverseChannel == 1) {
        // As on a device: without a loadable table the flag is cleared (an
        // empty table would silence every tone).
        ConfigOpts probe = e.opts;
        const std::string path(e.opts.calFilePath,
                               strnlen(e.opts.calFilePath, sizeof e.opts.calFilePath));
        if (tarnLoadCalFile(path.c_str(), &probe) != 1) {
            e.opts.applyEstimatedReverseChannel = 0;
            e.source[static_cast<size_t>(rowOf("applyEstimatedReverseChannel"))] =
                OptionSource::Tool;
            e.notes.push_back("no calibration table: " + path +
                              " cannot be loaded, so applyEstimatedReverseChannel is 0 (as on a "
                              "device); give a table with --cal FILE");
        } else {
            e.opts = probe;
            e.calFile = path;
        }
    }
    *out = e;
    return "";
}

void markToolSet(EffectiveOptions *e, const std::string &name) {
    const int r = rowOf(name);
    if (r >= 0 && static_cast<size_t>(r) < e->source.size())
        e->source[static_cast<size_t>(r)] = OptionSource::Tool;
}

void printOptionsTable(std::ostream &os, const EffectiveOptions &e) {
    const std::vector<OptionRow> &rows = optionRows();
    size_t wName = 4, wKey = 3, wVal = 5, wDef = 7, wSrc = 6, wUnit = 4;
    std::vector<std::string> vals, defs;
    for (size_t r = 0; r < rows.size(); ++r) {
        vals.push_back(optionValue(e.opts, r));
        defs.push_back(optionValue(constOpts, r));
        wName = std::max(wName, rows[r].name.size());
        wKey = std::max(wKey, rows[r].key.size());
        wVal = std::max(wVal, std::min<size_t>(vals.back().size(), 14));
        wDef = std::max(wDef, std::min<size_t>(defs.back().size(), 14));
        wSrc = std::max(wSrc, std::strlen(optionSourceName(e.source[r])));
        wUnit = std::max(wUnit, rows[r].unit.size());
    }
    char buf[512];
    // unit and range come last: the first five columns read as they always did.
    std::snprintf(buf, sizeof buf, "%-*s  %-*s  %-*s  %-*s  %-*s  %-*s  %s\n", int(wName), "name",
                  int(wKey), "key", int(wVal), "value", int(wDef), "default", int(wSrc), "source",
                  int(wUnit), "unit", "range");
    os << buf;
    for (size_t r = 0; r < rows.size(); ++r) {
        std::snprintf(buf, sizeof buf, "%-*s  %-*s  %-*s  %-*s  %-*s  %-*s  %s\n", int(wName),
                      rows[r].name.c_str(), int(wKey),
                      rows[r].key.empty() ? "-" : rows[r].key.c_str(), int(wVal), vals[r].c_str(),
                      int(wDef), defs[r].c_str(), int(wSrc), optionSourceName(e.source[r]),
                      int(wUnit), rows[r].unit.c_str(), rows[r].range.c_str());
        os << buf;
    }
    if (!e.calFile.empty()) os << "\ncalibration table from " << e.calFile << "\n";
    for (const std::string &n : e.notes) os << "note: " << n << "\n";
}

bool linkCreationOptions(ConfigOpts *out, std::string *why) {
    Session probe(InputFormat::Procedure, 0x7a53);
    if (!probe.ok()) {
        *why = probe.error();
        return false;
    }
    return probe.linkOptions(out, why);
}

int cmdOptions(ToolIo io, const OptionArgs &a, int logLevel) {
    ConfigOpts base;
    std::string why;
    if (logLevel >= 0) glog_level = static_cast<int8_t>(logLevel);
    if (!linkCreationOptions(&base, &why)) {
        io.err << "tarn: " << why << "\n";
        return 1;
    }
    EffectiveOptions e;
    why = buildOptions(a, base, &e);
    if (!why.empty()) {
        io.err << "tarn: " << why << "\n";
        return 2;
    }
    io.out << "tarn " << TARN_VERSION_STRING
           << ": the options a link computes with (default: built in; platform: the link's "
              "configuration or calibration file)\n\n";
    printOptionsTable(io.out, e);
    return 0;
}

}  // namespace tarn_tool
