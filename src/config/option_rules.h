// The vocabulary of the option list's columns (options_list.h): how a field
// is stored, the form of its text in the configuration file, its unit, the
// values it accepts, and what the repair does with a value outside them.
// Header-only, so the library and the tool read the same list without any
// new exported symbol.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace tarn_cfg {

// Storage width of a field.
enum class Type : uint8_t { U8, I8, U16, U32, I32, F64 };

// Bytes a field of the type takes in the record.
constexpr size_t widthOf(Type t) {
    switch (t) {
        case Type::U8:
        case Type::I8:
            return 1;
        case Type::U16:
            return 2;
        case Type::U32:
        case Type::I32:
            return 4;
        case Type::F64:
            return 8;
    }
    return 0;
}

// Every value a field of the type can hold (reals: all of them).
struct TypeSpan {
    double lo;
    double hi;
};
constexpr TypeSpan typeSpan(Type t) {
    switch (t) {
        case Type::U8:
            return {0, 255};
        case Type::I8:
            return {-128, 127};
        case Type::U16:
            return {0, 65535};
        case Type::U32:
            return {0, 4294967295.0};
        case Type::I32:
            return {-2147483648.0, 2147483647.0};
        case Type::F64:
            return {-std::numeric_limits<double>::infinity(),
                    std::numeric_limits<double>::infinity()};
    }
    return {0, 0};
}

// The value of the field of type t at byte `offset` of `record`; every
// integer width fits a double exactly.
inline double fieldValue(const void *record, size_t offset, Type t) {
    const unsigned char *p = static_cast<const unsigned char *>(record) + offset;
    switch (t) {
        case Type::U8:
            return *p;
        case Type::I8:
            return static_cast<int8_t>(*p);
        case Type::U16: {
            uint16_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        case Type::U32: {
            uint32_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        case Type::I32: {
            int32_t v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
        case Type::F64: {
            double v;
            std::memcpy(&v, p, sizeof v);
            return v;
        }
    }
    return 0.0;
}

// Form of a field's text in the configuration file.
enum class Form : uint8_t {
    Integer,        // digits only, atoi value in the field's width
    Boolean,        // digits only, 1 when the low 8 bits are non-zero
    Real,           // complete real number
    RealDigitsInt,  // digits only as atoi value, else a complete real
    IntOrReal,      // digits only as integer, else a real truncated to uint32
    LenientReal,    // complete real, else atoi of the leading part
    NotInFile,      // no key sets the field
};

// What one unit of the field's value is.
enum class Unit : uint8_t {
    None,        // a switch, a mode or a selector: no quantity
    Unitless,    // a ratio, fraction, factor, weight or exponent
    Count,       // a number of things (slots, entries, paths, procedures)
    Channels,    // a number of channel slots
    M,           // metres
    ScaledM,     // metres times distSF
    MPerS,       // metres per second
    S,           // seconds
    Percent,     // percent (confidences, percentiles)
    Deg,         // degrees
    DB,          // decibels
    HalfNs,      // time of flight in 0.5 ns steps
    PhaseUnits,  // phase units in one full turn
    UnitsPerM,   // internal distance units per metre
};

inline const char *unitText(Unit u) {
    switch (u) {
        case Unit::None:
            return "-";
        case Unit::Unitless:
            return "unitless";
        case Unit::Count:
            return "count";
        case Unit::Channels:
            return "channels";
        case Unit::M:
            return "m";
        case Unit::ScaledM:
            return "m*distSF";
        case Unit::MPerS:
            return "m/s";
        case Unit::S:
            return "s";
        case Unit::Percent:
            return "%";
        case Unit::Deg:
            return "deg";
        case Unit::DB:
            return "dB";
        case Unit::HalfNs:
            return "0.5 ns";
        case Unit::PhaseUnits:
            return "units/turn";
        case Unit::UnitsPerM:
            return "units/m";
    }
    return "?";
}

// The values a field accepts, its value read as a double (every integer
// width fits exactly).
struct Range {
    enum Kind : uint8_t {
        Any,         // every value of the field's width
        Between,     // lo..hi; a NaN is not below lo nor above hi, so it passes
        Within,      // a number in lo..hi; a NaN fails
        Not,         // everything but lo
        PowerOfTwo,  // 1, 2, 4, ... up to hi
    };
    Kind kind;
    double lo;
    double hi;

    constexpr bool accepts(double v) const {
        switch (kind) {
            case Any:
                return true;
            case Between:
                return !(v < lo || v > hi);
            case Within:
                return lo <= v && v <= hi;
            case Not:
                return v != lo;
            case PowerOfTwo: {
                if (!(v >= 1.0 && v <= hi)) return false;
                const uint32_t u = static_cast<uint32_t>(v);
                return static_cast<double>(u) == v && (u & (u - 1)) == 0;
            }
        }
        return true;
    }
};

// When and how the repair puts the default back into a field whose value
// is outside its range. step: the field's place in the walk every record
// gets (0: never, the range accepts everything). quietFile: a file's record
// logs only "Setting default value of ..." at level 3. incorrectText: the
// first message when it is not "Incorrect <name>.\n".
struct Repair {
    uint8_t step;
    bool quietFile;
    const char *incorrectText;
};

// The extra test a record a host installs gets (the file's reals keep what
// their texts write): a number within `range`. step: the order among the
// host tests that come first; 0 runs it after those, in list order.
struct HostBound {
    Range range;
    uint8_t step;
};

// The list's column spellings.
namespace rules {
// Magnitude bounds of a host's reals: those that enter distances directly
// (metres, or metres per second for the propagation speed) are bounded far
// beyond any ranging set-up, close enough that no distance they make is
// absurd; every other real is finite and not absurd.
constexpr double kMaxOffsetM = 10000.0;
constexpr double kMinSol = 1.0e7;
constexpr double kMaxSol = 1.0e10;
constexpr double kMaxReal = 1.0e12;

constexpr Range Any() {
    return {Range::Any, 0.0, 0.0};
}
constexpr Range Between(double lo, double hi) {
    return {Range::Between, lo, hi};
}
constexpr Range Only(double v) {
    return {Range::Between, v, v};
}
constexpr Range Not(double v) {
    return {Range::Not, v, v};
}
constexpr Range PowerOfTwoTo(double hi) {
    return {Range::PowerOfTwo, 1.0, hi};
}

constexpr Repair Keep{0, false, nullptr};
constexpr Repair Step(uint8_t n) {
    return {n, false, nullptr};
}
constexpr Repair StepQuiet(uint8_t n) {
    return {n, true, nullptr};
}
constexpr Repair StepText(uint8_t n, const char *incorrectText) {
    return {n, false, incorrectText};
}

constexpr HostBound NoHostBound{{Range::Any, 0.0, 0.0}, 0};
// |value| <= bound, in list order.
constexpr HostBound HostMagnitude(double bound) {
    return {{Range::Within, -bound, bound}, 0};
}
// lo..hi at `step` among the first host tests.
constexpr HostBound HostFirst(uint8_t step, double lo, double hi) {
    return {{Range::Within, lo, hi}, step};
}
constexpr HostBound HostFiniteFirst(uint8_t step) {
    return HostFirst(step, -DBL_MAX, DBL_MAX);
}
}  // namespace rules

}  // namespace tarn_cfg
