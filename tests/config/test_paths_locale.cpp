// File locations and number reading under a host locale with a decimal comma.
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/config_internal.h"
#include "config_test_util.h"
#include "tarn_config.h"

#if defined(__SANITIZE_ADDRESS__)
#define TARN_TEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARN_TEST_LSAN 1
#endif
#endif
#ifdef TARN_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

// Sets or removes an environment variable for one scope.
class EnvVar {
  public:
    EnvVar(const char *name, const char *value) : name_(name) {
        const char *old = getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvVar() {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char *name_;
    bool had_ = false;
    std::string old_;
};

bool endsWith(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

#ifndef __ANDROID__
TEST(ConfigPaths, EnvironmentOverridesTheBuiltInLocations) {
    {
        EnvVar a("TARN_CONFIG_FILE_PRIMARY", nullptr);
        EnvVar b("TARN_CONFIG_FILE_SECONDARY", "");
        EXPECT_TRUE(endsWith(tarnConfigPathPrimary(), "/cs_config.ini"));
        EXPECT_TRUE(endsWith(tarnConfigPathSecondary(), "/cs_config.ini"));
        EXPECT_STRNE(tarnConfigPathPrimary(), tarnConfigPathSecondary());
    }
    EnvVar a("TARN_CONFIG_FILE_PRIMARY", "/tmp/one.ini");
    EnvVar b("TARN_CONFIG_FILE_SECONDARY", "/tmp/two.ini");
    EXPECT_STREQ(tarnConfigPathPrimary(), "/tmp/one.ini");
    EXPECT_STREQ(tarnConfigPathSecondary(), "/tmp/two.ini");
}

TEST(ConfigPaths, CalibrationPathOverride) {
    ConfigOpts o = cfgtest::defaults();
    {
        EnvVar e("TARN_CAL_FILE", "/tmp/my_cal.csv");
        tarnApplyCalFilePathOverride(&o);
        EXPECT_STREQ(o.calFilePath, "/tmp/my_cal.csv");
        for (size_t i = std::strlen("/tmp/my_cal.csv"); i < sizeof o.calFilePath; ++i)
            ASSERT_EQ(o.calFilePath[i], 0);
    }
    {
        // Too long for the field: the record keeps its path.
        const std::string tooLong = "/" + std::string(sizeof o.calFilePath, 'x');
        EnvVar e("TARN_CAL_FILE", tooLong.c_str());
        tarnApplyCalFilePathOverride(&o);
        EXPECT_STREQ(o.calFilePath, "/tmp/my_cal.csv");
    }
    EnvVar e("TARN_CAL_FILE", nullptr);
    tarnApplyCalFilePathOverride(&o);
    EXPECT_TRUE(endsWith(o.calFilePath, ".csv"));
    // The built-in default itself never changes.
    EXPECT_STREQ(constOpts.calFilePath, "/data/vendor/bluetooth/tarn_rtp_cal.csv");
}
#endif

// A numeric locale whose decimal separator is a comma: an installed one, or
// one generated into a scratch directory when the host has localedef.
locale_t commaLocale(std::string *why) {
    static const char *const kNames[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8",
                                         "fr_FR.utf8",  "de_DE",      "fr_FR"};
    for (const char *name : kNames) {
        locale_t loc = newlocale(LC_NUMERIC_MASK, name, static_cast<locale_t>(0));
        if (loc != static_cast<locale_t>(0)) return loc;
    }
    char dir[] = "/tmp/tarn_locale_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        *why = "no comma locale installed and no scratch directory";
        return static_cast<locale_t>(0);
    }
    const std::string cmd =
        std::string("localedef -i de_DE -f UTF-8 ") + dir + "/de_DE.UTF-8 >/dev/null 2>&1";
    const int rc = std::system(cmd.c_str());
    locale_t loc = static_cast<locale_t>(0);
    if (rc == 0) {
        EnvVar path("LOCPATH", dir);
#ifdef TARN_TEST_LSAN
        // The C library keeps the parsed LOCPATH list for good.
        __lsan_disable();
#endif
        loc = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
#ifdef TARN_TEST_LSAN
        __lsan_enable();
#endif
    }
    std::system((std::string("rm -rf ") + dir).c_str());
    if (loc == static_cast<locale_t>(0))
        *why = "no comma locale installed and none could be generated with localedef";
    return loc;
}

TEST(ConfigLocale, NumbersReadTheSameUnderACommaLocale) {
    const std::string config =
        "SOL=2.997e8\nFiAvgPwr=2.5\nDIS_CAL_1=-0.125\nminAllowedGconf=70.9\nMuMaxEigs=1.5x\n"
        "PhDistFrac=0,5\n";
    const std::string cal = "0.98-0.12i,0.5+0.25i\n";

    const auto run = [&](ConfigOpts *o) {
        ASSERT_EQ(cfgtest::parseText(config, o), 0);
        cfgtest::TempFile f(cal);
        std::memset(o->calFilePath, 0, sizeof o->calFilePath);
        std::strcpy(o->calFilePath, f.path());
        ASSERT_EQ(csLoadCalFile(o), 1);
    };
    ConfigOpts plain = cfgtest::defaults();
    run(&plain);
    EXPECT_EQ(plain.sol, 299700000.0);
    EXPECT_EQ(plain.fiAvgPwr, 2.5);
    EXPECT_EQ(plain.minAllowedGconf, 70);
    EXPECT_EQ(plain.muMaxEigs, 1.0);  // "1.5x": leading integer part
    EXPECT_EQ(plain.phDistFrac, 0.7);
    EXPECT_EQ(plain.calTable[0][1].imag(), 0.25);

    std::string why;
    const locale_t comma = commaLocale(&why);
    if (comma == static_cast<locale_t>(0)) GTEST_SKIP() << why;
    const locale_t previous = uselocale(comma);
    // The condition is real: the C library now reads "0.5" as 0.
    const bool commaActive =
        std::strtod("0.5", nullptr) == 0.0 && std::strcmp(localeconv()->decimal_point, ",") == 0;
    ConfigOpts underComma = cfgtest::defaults();
    run(&underComma);
    uselocale(previous);
    freelocale(comma);

    ASSERT_TRUE(commaActive) << "the generated locale does not use a decimal comma";
    EXPECT_EQ(std::memcmp(&underComma, &plain, offsetof(ConfigOpts, calFilePath)), 0);
    EXPECT_EQ(std::memcmp(&underComma.calTable, &plain.calTable, sizeof plain.calTable), 0);
    EXPECT_EQ(std::memcmp(&underComma.minAllowedGconf, &plain.minAllowedGconf,
                          sizeof(ConfigOpts) - offsetof(ConfigOpts, minAllowedGconf)),
              0);
}

}  // namespace
