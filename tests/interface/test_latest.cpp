// The latest computation of a link, read through the extension from inside
// the result callback and from other threads.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "iface_test_util.h"
#include "diag/log_texts.h"
#include "log_capture.h"

namespace {

using tarn_test::LogCapture;

// What a callback saw: the delivered record and the extension's read of it.
struct Seen {
    CsEstimate delivered;
    int status;
    TarnLatestComputation latest;
};

std::mutex gSeenMu;
std::vector<Seen> gSeen;

void readingCallback(CsEstimate *result, CsRequest *request) {
    Seen s{};
    s.delivered = *result;
    s.latest.size = sizeof s.latest;
    s.status = tarnGetLatestComputation(request->linkRef, &s.latest);
    std::lock_guard<std::mutex> g(gSeenMu);
    gSeen.push_back(s);
    tarn_test::Deliveries::callback(result, request);
}

void createReadingLink(CsLinkRef link) {
    const CsInitRecord init{&readingCallback};
    csIfInit(link, &init);
}

TEST(LatestComputation, RefusesWhatItCannotFill) {
    const CsLinkRef link = 2301;
    TarnLatestComputation out{};
    out.size = sizeof out;
    EXPECT_EQ(tarnGetLatestComputation(link, &out), 0);  // unknown link
    EXPECT_EQ(tarnGetLatestComputation(link, nullptr), 0);
    createReadingLink(link);
    TarnLatestComputation small{};
    std::memset(&small, 0x5a, sizeof small);
    small.size = TARN_LATEST_COMPUTATION_V1_SIZE - 1;
    EXPECT_EQ(tarnGetLatestComputation(link, &small), 0);
    EXPECT_EQ(small.version, 0x5a5a5a5au);  // untouched
    // Known but not computed yet: filled, sequence 0, no candidates.
    std::memset(&out, 0x5a, sizeof out);
    out.size = sizeof out;
    EXPECT_EQ(tarnGetLatestComputation(link, &out), 1);
    EXPECT_EQ(out.size, TARN_LATEST_COMPUTATION_V4_SIZE);
    EXPECT_EQ(out.version, TARN_LATEST_COMPUTATION_VERSION);
    EXPECT_EQ(out.sequence, 0u);
    EXPECT_EQ(out.phase.valid, 0);
    EXPECT_EQ(out.rtt.valid, 0);
    // A larger record (a host built against a later header) is filled up to
    // what this library knows; the rest stays as the host left it.
    unsigned char big[sizeof(TarnLatestComputation) + 16];
    std::memset(big, 0x77, sizeof big);
    const uint32_t bigSize = sizeof big;
    std::memcpy(big, &bigSize, sizeof bigSize);
    EXPECT_EQ(tarnGetLatestComputation(link, reinterpret_cast<TarnLatestComputation *>(big)), 1);
    uint32_t filled;
    std::memcpy(&filled, big, sizeof filled);
    EXPECT_EQ(filled, TARN_LATEST_COMPUTATION_V4_SIZE);
    for (size_t i = sizeof(TarnLatestComputation); i < sizeof big; ++i) EXPECT_EQ(big[i], 0x77);
    csIfCleanUp(link);
    EXPECT_EQ(tarnGetLatestComputation(link, &out), 0);
}

// Each callback reads the candidates of its own request, numbered one by one;
// the round-trip-time estimator (which logs its result once per run) ran
// exactly once per request.
TEST(LatestComputation, CallbackReadsTheCandidatesOfItsRequest) {
    const CsLinkRef link = 2311;
    {
        std::lock_guard<std::mutex> g(gSeenMu);
        gSeen.clear();
    }
    createReadingLink(link);
    LogCapture cap(0);
    const int16_t times[3] = {10, 30, 50};  // 0.5994 m, 2.0979 m, 3.5964 m raw
    for (int k = 0; k < 3; ++k) {
        tarn_test::RttProcedure proc(20, times[k], 2, 1000000u + 100000u * k);
        ASSERT_EQ(csIfAddMeasurement(link, &proc.meas), 1);
        ASSERT_TRUE(tarn_test::estimateAndWait(link));
    }
    std::vector<Seen> seen;
    {
        std::lock_guard<std::mutex> g(gSeenMu);
        seen = gSeen;
    }
    ASSERT_EQ(seen.size(), 3u);
    std::vector<double> rttLogged;  // metres, as the estimator reported each run
    for (const std::string &text : cap.texts()) {
        double v;
        int c;
        if (std::sscanf(text.c_str(), tarn_diag::kLogRttDistance, &v, &c) == 2)
            rttLogged.push_back(v);
    }
    ASSERT_EQ(rttLogged.size(), 3u);
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(i);
        const Seen &s = seen[i];
        ASSERT_EQ(s.status, 1);
        EXPECT_EQ(s.latest.sequence, i + 1);
        EXPECT_EQ(s.latest.version, TARN_LATEST_COMPUTATION_VERSION);
        // Only round-trip data: the phase candidate is invalid and the result
        // is the round-trip-time candidate, confidence 0.
        EXPECT_NE(s.latest.phase.valid, 1);
        EXPECT_EQ(s.latest.rtt.valid, 1);
        EXPECT_EQ(s.latest.rtt.dest, s.delivered.dest);
        EXPECT_EQ(s.latest.rtt.conf, 0.0);
        EXPECT_EQ(s.latest.result.dest, s.delivered.dest);
        EXPECT_EQ(s.latest.result.conf, s.delivered.conf);
    }
    EXPECT_NEAR(seen[0].delivered.dest, 599.4, 1e-6);
    for (size_t i = 0; i < seen.size(); ++i)
        EXPECT_NEAR(seen[i].latest.rtt.dest, rttLogged[i] * 1000.0, 1e-3) << i;

    // Read from the host's thread afterwards: the last computation.
    TarnLatestComputation after{};
    after.size = sizeof after;
    ASSERT_EQ(tarnGetLatestComputation(link, &after), 1);
    EXPECT_EQ(after.sequence, 3u);
    EXPECT_EQ(std::memcmp(&after.rtt, &seen[2].latest.rtt, sizeof after.rtt), 0);
    csIfCleanUp(link);
}

}  // namespace
