// The whole phase pipeline through its driver: the restart rules, tones at
// every position, processing modes, calibration mode, the "no distance"
// state, and the stack the pipeline needs.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "log_capture.h"
#include "rtp/rtp_driver.h"
#include "tone_builder.h"

namespace {

using tarn_test::oneWay;
using tarn_test::Ray;
using tarn_test::usableChannels;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

// A link context holding one procedure of mode-2 steps, laid out as the
// intake leaves it.
class Link {
  public:
    Link() : ctx_(static_cast<CsContext *>(std::calloc(1, sizeof(CsContext)))) {
        CsContext &c = *ctx_;
        c.opts = &c.optsStore;
        c.pres = &c.presStore;
        c.meas = &c.measStore;
        c.result = &c.resultStore;
        c.optsStore = constOpts;
        c.presStore.time = -100.0;
        c.presStore.rttTime = -100.0;
        CsMeasurement &m = c.measStore;
        m.channels = c.channelStore;
        m.modes = c.modeStore;
        m.initSteps = &c.initSlots[0].step;
        m.reflSteps = &c.reflSlots[0].step;
        for (int i = 0; i < TARN_MAX_STEPS; ++i) {
            c.initSlots[i].step.tone.pct = c.initSlots[i].pctBuf;
            c.initSlots[i].step.tone.pctQual = c.initSlots[i].pctQualBuf;
            c.reflSlots[i].step.tone.pct = c.reflSlots[i].pctBuf;
            c.reflSlots[i].step.tone.pctQual = c.reflSlots[i].pctQualBuf;
        }
    }
    CsContext *get() { return ctx_.get(); }
    ConfigOpts &opts() { return ctx_->optsStore; }
    PresState &pres() { return ctx_->presStore; }
    CsEstimate &result() { return ctx_->resultStore; }

    struct Proc {
        double distM = 5.0;
        std::vector<Ray> rays{{0.0, 1.0, 0.0}};
        std::vector<int> channels = usableChannels();
        int nap = 1;
        double pathExtraM[4] = {0.0, 0.012, 0.021, 0.007};
        double amplitude = 1000.0;
        double noiseStd = 0.0;
        unsigned seed = 1;
    };

    // Stores one procedure at `timeS`: one mode-2 step per listed channel.
    void store(const Proc &p, double timeS) {
        CsContext &c = *ctx_;
        std::mt19937 rng(p.seed);
        std::uniform_real_distribution<double> theta(-M_PI, M_PI);
        std::normal_distribution<double> noise(0.0, p.noiseStd > 0 ? p.noiseStd : 1.0);
        auto n = [&]() { return p.noiseStd > 0 ? noise(rng) : 0.0; };
        auto q = [](double v) {
            return static_cast<int16_t>(std::lround(std::fmax(-32768.0, std::fmin(32767.0, v))));
        };
        const int steps = static_cast<int>(p.channels.size());
        for (int i = 0; i < steps && i < TARN_MAX_STEPS; ++i) {
            const int k = p.channels[i];
            c.channelStore[i] = static_cast<uint8_t>(k);
            c.modeStore[i] = 2;
            const double th = theta(rng);
            for (int j = 0; j < p.nap; ++j) {
                const std::complex<double> h =
                    p.amplitude * oneWay(k, p.distM + p.pathExtraM[j], p.rays);
                const std::complex<double> a = h * std::polar(1.0, th);
                const std::complex<double> b = h * std::polar(1.0, -th);
                c.initSlots[i].pctBuf[2 * j] = q(a.real() + n());
                c.initSlots[i].pctBuf[2 * j + 1] = q(a.imag() + n());
                c.reflSlots[i].pctBuf[2 * j] = q(b.real() + n());
                c.reflSlots[i].pctBuf[2 * j + 1] = q(b.imag() + n());
                c.initSlots[i].pctQualBuf[j] = 0;
                c.reflSlots[i].pctQualBuf[j] = 0;
            }
        }
        c.measStore.N = static_cast<uint16_t>(steps > TARN_MAX_STEPS ? TARN_MAX_STEPS : steps);
        c.measStore.NAP = static_cast<uint8_t>(p.nap);
        c.timeUs = timeS * 1e6;
        c.measStore.timeUs = static_cast<uint32_t>(c.timeUs);
    }

  private:
    std::unique_ptr<CsContext, FreeDeleter> ctx_;
};

class RtpPipeline : public ::testing::Test {
  protected:
    void SetUp() override { gNewPres = NewPresState{}; }
};

// Runs `count` procedures of p at 10 per second; returns the last result.
CsEstimate track(Link &link, Link::Proc p, int count, double t0 = 1.0) {
    for (int i = 0; i < count; ++i) {
        p.seed = static_cast<unsigned>(i + 1);
        link.store(p, t0 + 0.1 * i);
        EXPECT_EQ(RTP_calcEstimate(link.get()), 1);
    }
    return link.result();
}

TEST_F(RtpPipeline, RestartRules) {
    struct Case {
        double prevTime, now;
        uint8_t valid;
        uint32_t maxPeriod;
        uint8_t invalidCount;
        bool reset;
        uint8_t countAfter;
    };
    const Case cases[] = {
        {-100.0, 1.0, 1, 4, 0, true, 0},  // new link
        {1.0, 3.0, 1, 4, 0, false, 0},    // 2 s later
        {1.0, 5.0, 1, 4, 0, false, 0},    // exactly fiMaxPeriod
        {1.0, 6.0, 1, 4, 0, true, 0},     // 5 s later
        {1.0, 1.0, 1, 4, 0, true, 0},     // same time stamp
        {3.0, 1.0, 1, 4, 0, true, 0},     // clock went back
        {1.0, 3.0, 0, 4, 0, true, 0},     // previous estimate unusable
        {1.0, 1.5, 1, 0, 0, true, 0},     // no tracking at all
        {1.0, 3.0, 1, 4, 6, true, 0},     // invalid-procedure limit reached
        {1.0, 3.0, 1, 4, 5, false, 5},    // below it
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.prevTime << " -> " << c.now);
        PresState pres{};
        pres.time = c.prevTime;
        pres.valid = c.valid;
        pres.inValidCounter = c.invalidCount;
        ConfigOpts opts = constOpts;
        opts.fiMaxPeriod = c.maxPeriod;
        EXPECT_EQ(tarn_rtp::rtpResetDecision(pres, opts, c.now), c.reset);
        EXPECT_EQ(pres.inValidCounter, c.countAfter);
    }
}

// Channels first seen late in a long procedure are checked for missing
// phase correction terms like the early ones: every third of them carries
// none, and the distance comes from the others.
TEST_F(RtpPipeline, ZeroTonesAreDiscardedAtEveryPosition) {
    for (double d : {3.0, 11.0}) {
        SCOPED_TRACE(d);
        gNewPres = NewPresState{};
        Link link;
        Link::Proc p;
        p.distM = d;
        p.channels.assign(90, 2);  // positions 0..89 all on channel 2
        for (int k : usableChannels()) p.channels.push_back(k);
        link.store(p, 1.0);
        for (int i = 91; i < link.get()->measStore.N; i += 3) {
            link.get()->reflSlots[i].pctBuf[0] = 0;
            link.get()->reflSlots[i].pctBuf[1] = 0;
        }
        ASSERT_EQ(RTP_calcEstimate(link.get()), 1);
        EXPECT_NEAR(link.result().dest, d * 1000.0, 20.0);
        EXPECT_GT(link.result().conf, 50);
    }
}

TEST_F(RtpPipeline, ToneProcessingModes) {
    for (uint8_t mode : {0, 1, 2, 200}) {
        SCOPED_TRACE(int(mode));
        gNewPres = NewPresState{};
        Link link;
        link.opts().pctMode = mode;
        link.result().dest = 777.0;
        link.result().conf = 7;
        Link::Proc p;
        p.distM = 7.0;
        link.store(p, 1.0);
        const int rc = RTP_calcEstimate(link.get());
        if (mode <= 1) {
            EXPECT_EQ(rc, 1);
            EXPECT_NEAR(link.result().dest, 7000.0, 20.0);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(link.result().dest, 0.0);
            EXPECT_EQ(link.result().conf, 0);
        }
    }
}

TEST_F(RtpPipeline, CalibrationModeOverridesOptions) {
    for (uint8_t three : {0, 1}) {
        SCOPED_TRACE(int(three));
        gNewPres = NewPresState{};
        Link link;
        ConfigOpts &o = link.opts();
        o.EnableCal = 1;
        o.use3OrdersForCal = three;
        o.disCal[2] = 0.4;
        Link::Proc p;
        p.distM = 4.0;
        p.nap = 2;
        link.store(p, 1.0);
        tarn_test::LogCapture cap(0);
        ASSERT_EQ(RTP_calcEstimate(link.get()), 1);
        EXPECT_EQ(o.fiMaxPeriod, 0u);
        EXPECT_EQ(o.slidingWindowMaxPeriod, 0.0);
        EXPECT_EQ(o.useChannelCenterForBoundMusicEst, 0);
        EXPECT_EQ(o.rtpFilterType, 0);
        EXPECT_EQ(o.fiDistanceCombiningMethod, 1);
        EXPECT_EQ(o.smallerMusicOrderFilterOffsetLower, 2.5);
        EXPECT_EQ(o.smallerMusicOrderFilterOffsetUpper, 2.5);
        EXPECT_EQ(o.pctPrior, 5);
        EXPECT_EQ(o.disCal[2], 0.0);
        EXPECT_EQ(o.muMaxEigs, 1.0);
        const uint8_t ords[] = {2, 4, 6, 7, 8, 9};
        const uint8_t covs[] = {4, 8, 12, 14, 16, 18};
        EXPECT_EQ(o.muOrdSetLen, three ? 3 : 6);
        EXPECT_EQ(o.muCovSetLen, three ? 3 : 6);
        for (int i = 0; i < 6; ++i) {
            EXPECT_EQ(o.muOrdSet[i], ords[i]);
            EXPECT_EQ(o.muCovSet[i], covs[i]);
        }
        // The calibration output: each path's raw MUSIC distance.
        double raw[4] = {-1, -1, -1, -1};
        bool found = false;
        for (const auto &line : cap.lines()) {
            if (std::sscanf(line.text.c_str(), "Raw Music Dist %lf, %lf, %lf, %lf", &raw[0], &raw[1],
                            &raw[2], &raw[3]) == 4) {
                found = true;
            }
        }
        ASSERT_TRUE(found);
        EXPECT_NEAR(raw[0], 4000.0, 20.0);
        EXPECT_NEAR(raw[1], 4012.0, 20.0);
        EXPECT_EQ(raw[2], 0.0);
        EXPECT_EQ(raw[3], 0.0);
    }
}

// A procedure that yields nothing never turns into a distance of 2147 km
// for the procedures after it.
TEST_F(RtpPipeline, NoDistanceNeverBecomesADistance) {
    Link link;
    Link::Proc good;
    good.distM = 6.0;
    good.noiseStd = 20.0;
    Link::Proc empty = good;
    empty.amplitude = 0.0;  // every tone (0, 0): all discarded
    // Empty at the start (a restart with nothing), after a gap beyond
    // fiMaxPeriod, and in the middle of tracking.
    const int pattern[] = {0, 0, 1, 1, 1, 0, 1, 1, 0, 0, 0, 1, 1, 1, 1};
    const double gapAt = 8;
    double t = 1.0;
    for (int i = 0; i < 15; ++i) {
        SCOPED_TRACE(i);
        t += (i == gapAt) ? 10.0 : 0.1;
        Link::Proc p = pattern[i] ? good : empty;
        p.seed = static_cast<unsigned>(i + 1);
        link.store(p, t);
        ASSERT_EQ(RTP_calcEstimate(link.get()), 1);
        EXPECT_LE(std::fabs(link.result().dest), 1e6);
        EXPECT_LE(std::fabs(link.pres().dest), 1e6 + (link.pres().valid ? 0.0 : 3e9));
        if (pattern[i] == 0 && link.result().conf == -1) {
            EXPECT_EQ(link.pres().valid, 0);
        }
        if (pattern[i] == 1) {
            EXPECT_NEAR(link.result().dest, 6000.0, 50.0);
        }
    }
}

// ---- Stack -----------------------------------------------------------------

constexpr size_t kStackBytes = 1024 * 1024;
constexpr unsigned char kFill = 0xA5;

struct StackRun {
    Link *link;
    int rc;
};

void *runOnStack(void *arg) {
    StackRun *run = static_cast<StackRun *>(arg);
    run->rc = RTP_calcEstimate(run->link->get());
    return nullptr;
}

// The deepest byte the pipeline touched on a thread whose 1 MiB stack was
// filled with a pattern first.
size_t stackHighWater(Link &link) {
    void *mem = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) return kStackBytes;
    std::memset(mem, kFill, kStackBytes);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, mem, kStackBytes);
    StackRun run{&link, -1};
    pthread_t th;
    size_t used = kStackBytes;
    if (pthread_create(&th, &attr, runOnStack, &run) == 0) {
        pthread_join(th, nullptr);
        const unsigned char *p = static_cast<const unsigned char *>(mem);
        size_t untouched = 0;
        while (untouched < kStackBytes && p[untouched] == kFill) ++untouched;
        used = kStackBytes - untouched;
    }
    pthread_attr_destroy(&attr);
    munmap(mem, kStackBytes);
    EXPECT_EQ(run.rc, 1);
    return used;
}

TEST_F(RtpPipeline, FullPipelineFitsAOneMebibyteStack) {
    Link link;
    Link::Proc p;
    p.distM = 8.0;
    p.nap = 4;
    p.noiseStd = 20.0;
    p.rays = {{0.0, 1.0, 0.0}, {3.0, 0.5, 1.0}};
    track(link, p, 3);  // tracking state as in steady use
    link.store(p, 2.0);
    const size_t used = stackHighWater(link);
    std::printf("[ stack    ] full pipeline, 4 paths x 72 channels: %zu bytes of %zu used, "
                "margin %zu bytes\n",
                used, kStackBytes, kStackBytes - used);
    // The thread library's own start-up shares the same stack; leave half of
    // it free for the host's callback and what the platform adds.
    EXPECT_LT(used, kStackBytes / 2);
}

}  // namespace
