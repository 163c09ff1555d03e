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
using Field = std::pair<std::string, double>;
using Values = std::vector<Field>;

TEST(PresDump, FreshContextPrintsOnlyTheFilterHeader) {
    CsContext *ctx = static_cast<CsContext *>(calloc(1, csGetMemory(nullptr)));
    csInit(ctx, nullptr, 1);
    LogCapture cap(3);
    EXPECT_EQ(print_context_pres_filter(&ctx->presStore.csFilter), 0);
    const Values header = {{"csFilter->type", 0},
                           {"csFilter->time", -100},
                           {"csFilter->pvest", 0},
                           {"csFilter->length", 0}};
    EXPECT_EQ(cap.values(), header);
    cap.clear();
    print_context_pres(&ctx->presStore);
    Values state = {{"time", -100}, {"valid", 0}, {"dest", 0}, {"vest", 0}, {"conf", 0}};
    state.insert(state.end(), header.begin(), header.end());
    EXPECT_EQ(cap.values(), state);
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
    EXPECT_EQ(cap.values(), (Values{{"csFilter->type", 0},
                                    {"csFilter->time", 0},
                                    {"csFilter->pvest", 0},
                                    {"csFilter->length", 2},
                                    {"csFilter->valid[0]", 0},
                                    {"csFilter->pdest[0]", 0},
                                    {"csFilter->pconf[0]", 0},
                                    {"csFilter->disAvg[0]", 0},
                                    {"csFilter->valid[1]", 1},
                                    {"csFilter->pdest[1]", 1.5},
                                    {"csFilter->pconf[1]", 60},
                                    {"csFilter->disAvg[1]", 0.25}}));
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
    auto v = cap.values();
    ASSERT_EQ(v.size(), 19u);  // 5 state values, filter type and time, 3 x 4 entry values
    for (const auto &field : v) EXPECT_EQ(field.second, 0.0) << field.first;

    s.time = 3.0;
    s.valid = 1;
    s.dest = 1200.0;
    s.rttOut.conf = 42.0;
    s.csFilter.entry[2][0].valid = 1;
    s.csFilter.entry[2][0].pdest = 900.0;
    s.csFilter.disAvg[2][0] = -1.0;
    cap.clear();
    print_context_newpres(&s);
    v = cap.values();
    ASSERT_EQ(v.size(), 19u);
    EXPECT_EQ(v[0], Field("time", 3.0));
    EXPECT_EQ(v[1], Field("valid", 1));
    EXPECT_EQ(v[2], Field("dest", 1200.0));
    EXPECT_EQ(v[4], Field("conf", 42.0));
    EXPECT_EQ(v[15], Field("csFilter->valid[2]", 1));
    EXPECT_EQ(v[16], Field("csFilter->pdest[2]", 900.0));
    EXPECT_EQ(v[18], Field("csFilter->disAvg[2]", -1.0));
}

}  // namespace
