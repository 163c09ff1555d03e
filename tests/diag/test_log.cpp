#include <gtest/gtest.h>

#include <string>

#include "log_capture.h"
#include "tarn_diag.h"

using tarn_test::LogCapture;

TEST(Log, ThresholdDecidesWhatIsWritten) {
    LogCapture cap(0);
    DEBUG_LOG(1, "error %d\n", 1);
    DEBUG_LOG(0, "result %d\n", 2);
    DEBUG_LOG(-3, "negative level\n");
    ASSERT_EQ(cap.lines().size(), 2u);
    EXPECT_EQ(cap.lines()[0].text, "result 2\n");
    EXPECT_EQ(cap.lines()[1].text, "negative level\n");

    glog_level = 3;
    cap.clear();
    DEBUG_LOG(3, "a");
    DEBUG_LOG(4, "b");
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"a"});
}

TEST(Log, PriorityByLevelAndTag) {
    LogCapture cap(4);
    for (int level = -1; level <= 4; ++level) DEBUG_LOG(level, "x");
    const auto lines = cap.lines();
    ASSERT_EQ(lines.size(), 6u);
    const int expected[] = {4, 4, 6, 4, 4, 2};  // levels -1, 0, 1, 2, 3, 4
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].prio, expected[i]) << "level " << static_cast<int>(i) - 1;
        EXPECT_EQ(lines[i].tag, "TARNALGO");
    }
}

TEST(Log, LongMessagesAreCutTo511Characters) {
    LogCapture cap(0);
    const std::string longText(600, 'q');
    DEBUG_LOG(0, "%s", longText.c_str());
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_EQ(cap.lines()[0].text, std::string(511, 'q'));
}

TEST(Log, SetLogLevelStoresAndAnnounces) {
    LogCapture cap(0);
    set_log_level(1);
    EXPECT_EQ(glog_level, 1);
    EXPECT_TRUE(cap.lines().empty());  // level-2 message above threshold 1
    set_log_level(2);
    EXPECT_EQ(glog_level, 2);
    EXPECT_EQ(cap.texts(), std::vector<std::string>{"Setting log level to 2\n"});
    set_log_level(-1);
    EXPECT_EQ(glog_level, -1);
    DEBUG_LOG(0, "hidden");
    EXPECT_EQ(cap.lines().size(), 1u);
}

TEST(Log, HexTable) {
    EXPECT_EQ(std::string(ghex_char, 16), "0123456789ABCDEF");
}
