// Ranging-state dump printers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "tarn.h"

namespace {

using tarn_test::LogCapture;

TEST(PresDump, FreshContextPrintsOnlyTheFilterHeader) {
    CsContext *ctx = static_cast<CsContext *>(calloc(1, csGetMemory(nullptr)));
    csInit(ctx, nullptr, 1);
    LogCapture cap(3);
    EXPECT_EQ(print_context_pres_filter(&ctx->presStore.csFilter), 0);
    EXPECT_EQ(cap.texts(), (std::vector<std::string>{
                               "csFilter->type:      0\n", "csFilter->time:      -100.000000\n",
                               "csFilter->pvest:     0.000000\n", "csFilter->length:    0\n"}));
    cap.clear();
    print_context_pres(&ctx->presStore);
    const auto t = cap.texts();
    ASSERT_EQ(t.size(), 10u);
    EXPECT_EQ(t[0], "________print_context_pres________ START\n");
    EXPECT_EQ(t[1], "time:                -100.000000\n");
    EXPECT_EQ(t[2], "valid:                0\n");
    EXPECT_EQ(t[5], "conf:                0.000000\n");
    free(ctx);
}

TEST(PresDump, FilterEntriesUpToTheCountAndNeverPastTheArrays) {
    CsFilterRecord f;
    std::memset(&f, 0, sizeof f);
    f.length = 2;
    f.valid[1] = 1;
    f.pdest[1] = 1.5;
    f.pconf[1] = 60.0;
    f.disAvg[1] = 0.25;
    LogCapture cap(3);
    EXPECT_EQ(print_context_pres_filter(&f), 2);
    const auto t = cap.texts();
    ASSERT_EQ(t.size(), 12u);
    EXPECT_EQ(t[8], "csFilter->valid[1]:     1\n");
    EXPECT_EQ(t[9], "csFilter->pdest[1]:     1.500000\n");
    EXPECT_EQ(t[10], "csFilter->pconf[1]:     60.000000\n");
    EXPECT_EQ(t[11], "csFilter->disAvg[1]:    0.250000\n");
    f.length = 200;
    EXPECT_EQ(print_context_pres_filter(&f), TARN_CS_FILTER_ENTRIES);
    cap.clear();
    LogCapture quiet(2);
    EXPECT_EQ(print_context_pres_filter(&f), TARN_CS_FILTER_ENTRIES);
    EXPECT_TRUE(quiet.texts().empty());
}

TEST(PresDump, WorkingStateDump) {
    NewPresState s;
    std::memset(&s, 0, sizeof s);  // as gNewPres at load
    LogCapture cap(3);
    print_context_newpres(&s);
    auto t = cap.texts();
    ASSERT_EQ(t.size(), 20u);
    EXPECT_EQ(t[0], "________print_context_newpres________ START\n");
    EXPECT_EQ(t[1], "time:                0.000000\n");
    EXPECT_EQ(t[2], "valid:                0\n");

    s.time = 3.0;
    s.valid = 1;
    s.dest = 1200.0;
    s.rttOut.conf = 42.0;
    s.csFilter.entry[2][0].valid = 1;
    s.csFilter.entry[2][0].pdest = 900.0;
    s.csFilter.disAvg[2][0] = -1.0;
    cap.clear();
    print_context_newpres(&s);
    t = cap.texts();
    EXPECT_EQ(t[1], "time:                3.000000\n");
    EXPECT_EQ(t[2], "valid:                1\n");
    EXPECT_EQ(t[3], "dest:                1200.000000\n");
    EXPECT_EQ(t[5], "conf:                42.000000\n");
    EXPECT_EQ(t[16], "csFilter->valid[2]:     1\n");
    EXPECT_EQ(t[17], "csFilter->pdest[2]:     900.000000\n");
    EXPECT_EQ(t[19], "csFilter->disAvg[2]:    -1.000000\n");
}

}  // namespace
