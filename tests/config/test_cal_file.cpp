// Calibration table file loader.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/config_internal.h"
#include "config_test_util.h"
#include "log_capture.h"
#include "tarn_config.h"

using cfgtest::TempFile;

namespace {

void setPath(ConfigOpts *o, const std::string &path) {
    ASSERT_LT(path.size(), sizeof o->calFilePath);
    std::memset(o->calFilePath, 0, sizeof o->calFilePath);
    std::memcpy(o->calFilePath, path.c_str(), path.size());
}

// A record whose table holds a marker in every entry, so untouched entries show.
ConfigOpts markedRecord(const std::string &path) {
    ConfigOpts o = cfgtest::defaults();
    for (int c = 0; c < TARN_CAL_CHANNELS; ++c)
        for (int p = 0; p < TARN_CAL_PATHS; ++p) o.calTable[c][p] = {-9.0, -9.0};
    o.applyEstimatedReverseChannel = 1;
    setPath(&o, path);
    return o;
}

double re(const ConfigOpts &o, int c, int p) {
    return o.calTable[c][p].real();
}
double im(const ConfigOpts &o, int c, int p) {
    return o.calTable[c][p].imag();
}

const char kFailed[] = " loading failed , defaulting back to legacy cal \n";

TEST(CalFile, ValuesFillPathsInOrder) {
    TempFile f("1.0+0.0i,0.5-0.5i\n 0.98-0.12i , -1e-1+2E0i,3+4i,5-6i\n");
    ConfigOpts o = markedRecord(f.path());
    tarn_test::LogCapture cap(2);
    EXPECT_EQ(csLoadCalFile(&o), 1);
    EXPECT_EQ(re(o, 0, 0), 1.0);
    EXPECT_EQ(im(o, 0, 0), 0.0);
    EXPECT_EQ(re(o, 0, 1), 0.5);
    EXPECT_EQ(im(o, 0, 1), -0.5);
    EXPECT_EQ(re(o, 0, 2), -9.0);  // not in the file
    EXPECT_EQ(re(o, 0, 3), -9.0);
    EXPECT_EQ(re(o, 1, 0), 0.98);
    EXPECT_EQ(im(o, 1, 0), -0.12);
    EXPECT_EQ(re(o, 1, 1), -0.1);
    EXPECT_EQ(im(o, 1, 1), 2.0);
    EXPECT_EQ(re(o, 1, 3), 5.0);
    EXPECT_EQ(im(o, 1, 3), -6.0);
    EXPECT_EQ(re(o, 2, 0), -9.0);
    EXPECT_EQ(o.applyEstimatedReverseChannel, 1);
    EXPECT_EQ(cap.count("1.000000,0.000000 \n"), 1);
    EXPECT_EQ(cap.count("0.500000,-0.500000 \n"), 1);
    EXPECT_EQ(cap.count(std::string("Cal read successfully from file: ") + f.path() + "\n"), 1);
}

TEST(CalFile, PartialAndMalformedValues) {
    // Real part only; nothing readable; an exponent without digits; a value
    // that is only blanks; the letter after the imaginary part is not checked.
    TempFile f("0.7\nabc,1+1i\n1e+i,2.5x\n   ,4-4j\n");
    ConfigOpts o = markedRecord(f.path());
    tarn_test::LogCapture cap(2);
    EXPECT_EQ(csLoadCalFile(&o), 1);
    EXPECT_EQ(re(o, 0, 0), 0.7);
    EXPECT_EQ(im(o, 0, 0), -9.0);
    EXPECT_EQ(re(o, 1, 0), -9.0);
    EXPECT_EQ(im(o, 1, 0), -9.0);
    EXPECT_EQ(re(o, 1, 1), 1.0);
    EXPECT_EQ(im(o, 1, 1), 1.0);
    EXPECT_EQ(re(o, 2, 0), -9.0);
    EXPECT_EQ(re(o, 2, 1), 2.5);
    EXPECT_EQ(im(o, 2, 1), -9.0);
    EXPECT_EQ(re(o, 3, 0), -9.0);
    EXPECT_EQ(re(o, 3, 1), 4.0);
    EXPECT_EQ(im(o, 3, 1), -4.0);
    // Every value is logged as it now stands, unreadable ones too.
    EXPECT_EQ(cap.count("-9.000000,-9.000000 \n"), 3);
}

TEST(CalFile, SeparatorsBlankLinesAndLongLines) {
    // Adjacent commas are one separator; a line of commas and a blank line
    // each take a slot without values.
    std::string text = "1+1i,,2+2i\n,,,\n\n3+3i\n";
    // A 99-character piece, then the rest of the line as the next slot.
    text += "5+5i" + std::string(95, ' ') + "6+6i\n";
    TempFile f(text);
    ConfigOpts o = markedRecord(f.path());
    EXPECT_EQ(csLoadCalFile(&o), 1);
    EXPECT_EQ(re(o, 0, 0), 1.0);
    EXPECT_EQ(re(o, 0, 1), 2.0);
    EXPECT_EQ(re(o, 0, 2), -9.0);
    EXPECT_EQ(re(o, 1, 0), -9.0);
    EXPECT_EQ(re(o, 2, 0), -9.0);
    EXPECT_EQ(re(o, 3, 0), 3.0);
    EXPECT_EQ(re(o, 4, 0), 5.0);
    EXPECT_EQ(re(o, 5, 0), 6.0);
    EXPECT_EQ(im(o, 5, 0), 6.0);
}

std::string lines(int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += std::to_string(i) + ".5-" + std::to_string(i) + "i\n";
    return s;
}

TEST(CalFile, SeventyNineLinesFitAnEightiethFails) {
    {
        TempFile f(lines(79));
        ConfigOpts o = markedRecord(f.path());
        tarn_test::LogCapture cap(0);
        EXPECT_EQ(csLoadCalFile(&o), 1);
        EXPECT_EQ(re(o, 78, 0), 78.5);
        EXPECT_EQ(im(o, 78, 0), -78.0);
        EXPECT_EQ(o.applyEstimatedReverseChannel, 1);
        EXPECT_EQ(cap.texts(),
                  std::vector<std::string>{std::string("Cal read successfully from file: ") +
                                           f.path() + "\n"});
    }
    {
        TempFile f(lines(79) + "\n");  // even an empty 80th line
        ConfigOpts o = markedRecord(f.path());
        tarn_test::LogCapture cap(0);
        EXPECT_EQ(csLoadCalFile(&o), 0);
        for (int c = 0; c < 79; ++c) EXPECT_EQ(re(o, c, 0), c + 0.5) << c;
        EXPECT_EQ(o.applyEstimatedReverseChannel, 0);
        EXPECT_EQ(cap.texts(), (std::vector<std::string>{
                                   "CSV cal file supports maximum 79 channels",
                                   std::string("Cal file ") + f.path() + kFailed,
                               }));
    }
}

TEST(CalFile, FifthValueFailsAfterWritingFour) {
    TempFile f("1+1i\n1+0i,2+0i,3+0i,4+0i,5+0i\n7+7i\n");
    ConfigOpts o = markedRecord(f.path());
    tarn_test::LogCapture cap(2);
    EXPECT_EQ(csLoadCalFile(&o), 0);
    EXPECT_EQ(re(o, 0, 0), 1.0);
    for (int p = 0; p < 4; ++p) EXPECT_EQ(re(o, 1, p), p + 1.0);
    EXPECT_EQ(re(o, 2, 0), -9.0);  // reading stopped
    EXPECT_EQ(o.applyEstimatedReverseChannel, 0);
    EXPECT_EQ(cap.count("CSV cal file supports maximum 4 paths"), 1);
    EXPECT_EQ(cap.count(std::string("Cal file ") + f.path() + kFailed), 1);
    EXPECT_FALSE(cap.containsFragment("successfully"));
    // The paths message is information (level 2), the failure is level 0.
    tarn_test::LogCapture quiet(1);
    o = markedRecord(f.path());
    EXPECT_EQ(csLoadCalFile(&o), 0);
    EXPECT_EQ(quiet.texts(),
              std::vector<std::string>{std::string("Cal file ") + f.path() + kFailed});
}

TEST(CalFile, MissingFileClearsTheFlag) {
    ConfigOpts o = markedRecord("/nonexistent-dir/cal.csv");
    tarn_test::LogCapture cap(0);
    EXPECT_EQ(csLoadCalFile(&o), 0);
    EXPECT_EQ(o.applyEstimatedReverseChannel, 0);
    EXPECT_EQ(re(o, 0, 0), -9.0);
    EXPECT_EQ(cap.texts(), (std::vector<std::string>{
                               "Error cannot open the calibration file",
                               "Cal file /nonexistent-dir/cal.csv" + std::string(kFailed),
                           }));
}

TEST(CalFile, EmptyFileSucceedsAndChangesNothing) {
    TempFile f("");
    ConfigOpts o = markedRecord(f.path());
    const ConfigOpts before = o;
    EXPECT_EQ(csLoadCalFile(&o), 1);
    EXPECT_EQ(std::memcmp(&o, &before, sizeof o), 0);
}

TEST(CalFile, UnreadableOrUnterminatedPath) {
    ConfigOpts o = markedRecord(TARN_TEST_DATA_DIR);  // a directory: opens, cannot be read
    EXPECT_EQ(csLoadCalFile(&o), 0);
    EXPECT_EQ(o.applyEstimatedReverseChannel, 0);

    o = markedRecord("");
    std::memset(o.calFilePath, 'a', sizeof o.calFilePath);  // no terminating NUL
    tarn_test::LogCapture cap(0);
    EXPECT_EQ(csLoadCalFile(&o), 0);
    EXPECT_EQ(o.applyEstimatedReverseChannel, 0);
    EXPECT_TRUE(cap.containsFragment(std::string(206, 'a') + kFailed));
    EXPECT_EQ(csLoadCalFile(nullptr), 0);
}

TEST(CalFile, SampleFileFromDisk) {
    ConfigOpts o = markedRecord(TARN_TEST_DATA_DIR "/config/tarn_rtp_cal_sample.csv");
    EXPECT_EQ(csLoadCalFile(&o), 1);
    EXPECT_EQ(re(o, 0, 0), 1.0);
    EXPECT_EQ(im(o, 2, 3), -0.25);
    EXPECT_EQ(o.applyEstimatedReverseChannel, 1);
}

}  // namespace
