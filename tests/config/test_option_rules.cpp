// Every rule of the option list against what the repair does: values just
// inside and just outside each range and each host bound, for a file's
// record and for a host's.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "config/config_internal.h"
#include "config/option_rules.h"
#include "config/options_list.h"
#include "config_test_util.h"
#include "log_capture.h"

using cfgtest::fieldAt;
using cfgtest::T;
using namespace tarn_cfg::rules;

namespace {

struct Rule {
    std::string name;  // in messages: the key, else the field's name
    size_t offset;
    T type;
    tarn_cfg::Range range;
    tarn_cfg::Repair repair;
    tarn_cfg::HostBound host;
};

const std::vector<Rule> &listRules() {
    static const std::vector<Rule> rules = {
#define RULE_OPT(field, key, type, form, value, cast, text, unit, range, repair, host) \
    {key != nullptr ? key : #field, offsetof(ConfigOpts, field), T::type, range, repair, host},
#define RULE_KEY(element, key, type, form, unit, range, repair, host) \
    {key, offsetof(ConfigOpts, element), T::type, range, repair, host},
#define RULE_NONE(...)
        TARN_OPTION_LIST(RULE_OPT, RULE_KEY, RULE_NONE, RULE_NONE)
#undef RULE_OPT
#undef RULE_KEY
#undef RULE_NONE
    };
    return rules;
}

void setField(ConfigOpts *o, size_t off, T t, double v) {
    unsigned char *p = reinterpret_cast<unsigned char *>(o) + off;
    switch (t) {
        case T::U8:
        case T::I8: {
            const auto b = static_cast<uint8_t>(static_cast<int>(v));
            std::memcpy(p, &b, 1);
            break;
        }
        case T::U16: {
            const auto h = static_cast<uint16_t>(v);
            std::memcpy(p, &h, 2);
            break;
        }
        case T::U32: {
            const auto w = static_cast<uint32_t>(v);
            std::memcpy(p, &w, 4);
            break;
        }
        case T::I32: {
            const auto w = static_cast<int32_t>(v);
            std::memcpy(p, &w, 4);
            break;
        }
        case T::F64:
            std::memcpy(p, &v, 8);
            break;
    }
}

// The next value of the field's width above (up) or below v; false when
// there is none.
bool neighbour(T t, double v, bool up, double *out) {
    const tarn_cfg::TypeSpan span = tarn_cfg::typeSpan(t);
    *out = t == T::F64 ? std::nextafter(v, up ? INFINITY : -INFINITY) : v + (up ? 1 : -1);
    return *out >= span.lo && *out <= span.hi && std::isfinite(*out);
}

struct Probe {
    double value;
    bool outside;  // of the range every record keeps
};

// Values just inside and just outside a checked range.
std::vector<Probe> rangeProbes(const Rule &r) {
    std::vector<Probe> p;
    double v;
    switch (r.range.kind) {
        case tarn_cfg::Range::Between:
        case tarn_cfg::Range::Within:
            p.push_back({r.range.lo, false});
            p.push_back({r.range.hi, false});
            if (neighbour(r.type, r.range.lo, false, &v)) p.push_back({v, true});
            if (neighbour(r.type, r.range.hi, true, &v)) p.push_back({v, true});
            break;
        case tarn_cfg::Range::Not:
            p.push_back({r.range.lo, true});
            if (neighbour(r.type, r.range.lo, true, &v)) p.push_back({v, false});
            if (neighbour(r.type, r.range.lo, false, &v)) p.push_back({v, false});
            break;
        case tarn_cfg::Range::PowerOfTwo: {
            const double hi = tarn_cfg::typeSpan(r.type).hi;
            p.push_back({1, false});
            p.push_back({r.range.hi, false});
            p.push_back({0, true});
            p.push_back({3, true});
            if (neighbour(r.type, r.range.hi, true, &v)) p.push_back({v, true});
            if (2 * r.range.hi <= hi) p.push_back({2 * r.range.hi, true});  // the next power
            break;
        }
        case tarn_cfg::Range::Any:
            break;
    }
    return p;
}

// Values at and beyond a host's bound (a real's).
std::vector<double> hostProbes(const Rule &r) {
    const tarn_cfg::Range &b = r.host.range;
    std::vector<double> v = {b.lo, b.hi, std::numeric_limits<double>::quiet_NaN()};
    v.push_back(std::nextafter(b.lo, -INFINITY));
    v.push_back(std::nextafter(b.hi, INFINITY));
    return v;
}

// A record no check touches: the defaults but for the two whose defaults lie
// outside their own range.
ConfigOpts quietBase() {
    ConfigOpts o = cfgtest::defaults();
    o.fiMinConf = 10;
    o.fiMaxDelta = 10;
    return o;
}

std::string show(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Puts v into the rule's field, repairs, and checks that the field ends as
// v or as its default with the messages that go with it.
void expectRepair(const Rule &r, double v, RepairSource from, bool repaired) {
    const bool host = from == RepairSource::Host;
    SCOPED_TRACE(r.name + " = " + show(v) + (host ? " (host)" : " (file)"));
    ConfigOpts o = quietBase();
    setField(&o, r.offset, r.type, v);
    const double stored = fieldAt(o, r.offset, r.type);
    const double def = fieldAt(constOpts, r.offset, r.type);
    tarn_test::LogCapture cap(3);
    tarnRepairOptions(&o, from);
    std::vector<std::string> want;
    if (repaired && !(host && std::memcmp(&stored, &def, sizeof def) == 0)) {
        if (host || !r.repair.quietFile)
            want.push_back(r.repair.incorrectText != nullptr ? r.repair.incorrectText
                                                             : "Incorrect " + r.name + ".\n");
        want.push_back("Setting default value of " + r.name + ".\n");
    }
    EXPECT_EQ(cap.texts(), want);
    const double now = fieldAt(o, r.offset, r.type);
    const double expect = repaired ? def : stored;
    EXPECT_TRUE(now == expect || (std::isnan(now) && std::isnan(expect))) << show(now);
    // No other field moved.
    setField(&o, r.offset, r.type, stored);
    ConfigOpts ref = quietBase();
    setField(&ref, r.offset, r.type, stored);
    EXPECT_EQ(std::memcmp(&o, &ref, sizeof o), 0);
}

}  // namespace

TEST(OptionRules, EveryRuleOfTheListIsWhatTheRepairDoes) {
    {
        ConfigOpts o = quietBase();
        tarn_test::LogCapture cap(3);
        tarnRepairOptions(&o, RepairSource::Host);
        ASSERT_TRUE(cap.texts().empty()) << cap.joined();
    }
    int checkedRanges = 0, hostBounds = 0;
    for (const Rule &r : listRules()) {
        if (r.range.kind != tarn_cfg::Range::Any) {
            ++checkedRanges;
            const std::vector<Probe> probes = rangeProbes(r);
            int outside = 0;
            for (const Probe &p : probes) {
                outside += p.outside ? 1 : 0;
                expectRepair(r, p.value, RepairSource::File, p.outside);
                expectRepair(r, p.value, RepairSource::Host,
                             p.outside || !r.host.range.accepts(p.value));
            }
            // A range with nothing outside it in the field's width checks nothing.
            EXPECT_GT(outside, 0) << r.name;
        }
        if (r.host.range.kind != tarn_cfg::Range::Any) {
            ++hostBounds;
            EXPECT_EQ(r.type, T::F64) << r.name;
            for (double v : hostProbes(r)) {
                const bool outsideRange = !r.range.accepts(v);
                const bool outsideBound = !(r.host.range.lo <= v && v <= r.host.range.hi);
                expectRepair(r, v, RepairSource::File, outsideRange);
                expectRepair(r, v, RepairSource::Host, outsideRange || outsideBound);
            }
        }
    }
    EXPECT_EQ(checkedRanges, 26);
    // The 40 real scalars and the four distance calibrations.
    EXPECT_EQ(hostBounds, 44);
}
