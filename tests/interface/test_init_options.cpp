// The options a new link ends up with: defaults, configuration files,
// calibration table, log level.
#include <gtest/gtest.h>
#include <unistd.h>

#include <complex>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "iface_test_util.h"
#include "log_capture.h"

namespace {

using tarn_test::LogCapture;

// Points the library's file locations at a private directory for one test.
class ConfigFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tarn_iface_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        primary_ = dir_ + "/primary.ini";
        secondary_ = dir_ + "/secondary.ini";
        cal_ = dir_ + "/cal.csv";
        setenv("TARN_CONFIG_FILE_PRIMARY", primary_.c_str(), 1);
        setenv("TARN_CONFIG_FILE_SECONDARY", secondary_.c_str(), 1);
        setenv("TARN_CAL_FILE", cal_.c_str(), 1);
    }
    void TearDown() override {
        for (const std::string &f : {primary_, secondary_, cal_}) std::remove(f.c_str());
        rmdir(dir_.c_str());
        unsetenv("TARN_CONFIG_FILE_PRIMARY");
        unsetenv("TARN_CONFIG_FILE_SECONDARY");
        unsetenv("TARN_CAL_FILE");
    }
    static void write(const std::string &path, const char *text) {
        FILE *f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fputs(text, f);
        std::fclose(f);
    }
    // Index of the first captured text equal to `text`, or -1.
    static int indexOf(const std::vector<std::string> &texts, const std::string &text) {
        for (size_t i = 0; i < texts.size(); ++i) {
            if (texts[i] == text) return static_cast<int>(i);
        }
        return -1;
    }
    static const ConfigOpts &optsOf(CsLinkRef link) {
        return csContextListGetItem(link)->ctx->optsStore;
    }

    std::string dir_, primary_, secondary_, cal_;
};

TEST_F(ConfigFiles, FirstConfigurationFileWins) {
    write(primary_, "QUANT=1\nPctPrior=2\n");
    write(secondary_, "PctPrior=3\nPhEnable=1\n");
    write(cal_, "1.0+0.0i,0.5-0.5i\n");
    const CsLinkRef link = 3001;
    LogCapture cap(2);
    tarn_test::createLink(link);
    const auto texts = cap.texts();
    const int defaults = indexOf(texts, "Set default configurations.\n");
    const int read =
        indexOf(texts, "Configuration read successfully from file: " + primary_ + "\n");
    const int cal = indexOf(texts, "Cal read successfully from file: " + cal_ + "\n");
    ASSERT_GE(defaults, 0);
    EXPECT_GT(read, defaults);
    EXPECT_GT(cal, read);
    EXPECT_EQ(indexOf(texts, "Configuration file parsing failed.\n"), -1);
    EXPECT_EQ(cap.count("muOrdSetLen  6\n"), 2);  // dumped before and after the files

    const ConfigOpts &o = optsOf(link);
    EXPECT_EQ(o.quant, 1);
    EXPECT_EQ(o.pctPrior, 2);
    EXPECT_EQ(o.phEnable, constOpts.phEnable);  // the second file was not read
    EXPECT_STREQ(o.calFilePath, cal_.c_str());
    EXPECT_EQ(o.calTable[0][0], TarnCplxD(1.0, 0.0));
    EXPECT_EQ(o.calTable[0][1], TarnCplxD(0.5, -0.5));
    EXPECT_EQ(o.calTable[0][2], TarnCplxD(0.0, 0.0));
    EXPECT_EQ(o.applyEstimatedReverseChannel, constOpts.applyEstimatedReverseChannel);
    csIfCleanUp(link);
}

TEST_F(ConfigFiles, SecondFileIsUsedWhenTheFirstIsMissing) {
    write(secondary_, "PctPrior=3\n");
    const CsLinkRef link = 3002;
    LogCapture cap(2);
    tarn_test::createLink(link);
    EXPECT_TRUE(cap.contains("Configuration read successfully from file: " + secondary_ + "\n"));
    EXPECT_FALSE(cap.contains("Configuration read successfully from file: " + primary_ + "\n"));
    EXPECT_TRUE(
        cap.contains("Cal file " + cal_ + " loading failed , defaulting back to legacy cal \n"));
    const ConfigOpts &o = optsOf(link);
    EXPECT_EQ(o.pctPrior, 3);
    EXPECT_EQ(o.applyEstimatedReverseChannel, 0);
    csIfCleanUp(link);
}

TEST_F(ConfigFiles, DefaultsWhenNoFileCanBeRead) {
    const CsLinkRef link = 3003;
    LogCapture cap(1);
    tarn_test::createLink(link);
    const auto texts = cap.texts();
    const int failed = indexOf(texts, "Configuration file parsing failed.\n");
    ASSERT_GE(failed, 0);
    EXPECT_EQ(indexOf(texts, "Using default configuration data.\n"), failed + 1);
    // Everything but the calibration path is the factory record.
    ConfigOpts expected = constOpts;
    std::memset(expected.calFilePath, 0, sizeof expected.calFilePath);
    std::memcpy(expected.calFilePath, cal_.c_str(), cal_.size());
    expected.applyEstimatedReverseChannel = 0;
    EXPECT_EQ(std::memcmp(&optsOf(link), &expected, sizeof expected), 0);
    csIfCleanUp(link);
}

TEST_F(ConfigFiles, LogLevelComesFromTheOptions) {
    write(primary_, "LOG_LEVEL=2\n");
    const CsLinkRef link = 3004;
    LogCapture cap(0);
    tarn_test::createLink(link);
    EXPECT_EQ(glog_level, 2);
    EXPECT_TRUE(cap.contains("Setting log level to 2\n"));
    // The level of the most recent link applies to the whole library.
    write(primary_, "LOG_LEVEL=0\n");
    tarn_test::createLink(link + 1);
    EXPECT_EQ(glog_level, 0);
    csIfCleanUp(link);
    csIfCleanUp(link + 1);
}

TEST_F(ConfigFiles, NullInitRecordCreatesNothing) {
    const CsLinkRef link = 3005;
    // Refused as an error before anything else is reported or set up.
    LogCapture cap(2);
    EXPECT_EQ(csIfInit(link, nullptr), 0);
    ASSERT_EQ(cap.texts(), std::vector<std::string>{"Invalid configuration.\n"});
    EXPECT_EQ(cap.lines()[0].prio, 6);
    EXPECT_EQ(csContextListExistItem(link), 0);
}

TEST(Layout, HostRecordsAndContextSize) {
    if (sizeof(void *) == 4) {
        EXPECT_EQ(sizeof(CsInitRecord), 4u);
        EXPECT_EQ(sizeof(CsRequest), 8u);
        EXPECT_EQ(offsetof(CsRequest, next), 4u);
    } else {
        EXPECT_EQ(sizeof(CsInitRecord), sizeof(void *));
        EXPECT_EQ(sizeof(CsRequest), 2 * sizeof(void *));
    }
    EXPECT_EQ(offsetof(CsInitRecord, callback), 0u);
    EXPECT_EQ(offsetof(CsRequest, linkRef), 0u);
    EXPECT_EQ(sizeof(CsEstimate), 24u);
    EXPECT_EQ(offsetof(CsEstimate, dest), 0u);
    EXPECT_EQ(offsetof(CsEstimate, conf), 16u);
    EXPECT_EQ(csGetMemory(nullptr), static_cast<int>(sizeof(CsContext)));
    // The context keeps 32 bytes for the result record.
    EXPECT_EQ(offsetof(CsContext, channelStore) - offsetof(CsContext, resultStore), 32u);
}

}  // namespace
