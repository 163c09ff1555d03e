// Gain map, channel ordering and coverage confidence.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "log_capture.h"
#include "tarn_rtp.h"

namespace {

constexpr int kCh = TARN_NUM_CHANNELS;
constexpr int kAp = TARN_MAX_ANT_PATHS;

struct ToneInput {
    uint8_t channel[TARN_MAX_TONES] = {};
    TarnCplxD init[TARN_MAX_TONES][kAp] = {};
    TarnCplxD refl[TARN_MAX_TONES][kAp] = {};
    uint8_t gmap[TARN_MAX_TONES][kAp] = {};
};

// Distinct, recognisable values for tone t and path j.
TarnCplxD initOf(int t, int j) {
    return {t + 0.25, -(j + 1.5)};
}
TarnCplxD reflOf(int t, int j) {
    return {-(t + 0.75), j + 2.25};
}

std::unique_ptr<ToneInput> makeInput(const std::vector<int> &channels) {
    auto in = std::make_unique<ToneInput>();
    for (size_t t = 0; t < channels.size(); ++t) {
        in->channel[t] = static_cast<uint8_t>(channels[t]);
        for (int j = 0; j < kAp; ++j) {
            in->init[t][j] = initOf(static_cast<int>(t), j);
            in->refl[t][j] = reflOf(static_cast<int>(t), j);
            in->gmap[t][j] = static_cast<uint8_t>((t + j) % 2);
        }
    }
    return in;
}

std::unique_ptr<ToneRecord> orderChans(const ToneInput &in, int numTones, int nap) {
    auto rec = std::make_unique<ToneRecord>();
    *rec = ToneRecord{};
    algOrderChans(nullptr, 1234.5, in.channel, in.init, in.refl, in.gmap, &constOpts,
                  static_cast<uint16_t>(numTones), static_cast<int8_t>(nap), rec.get());
    return rec;
}

// Expects row c of rec to hold tone t (or nothing when t < 0) on paths < nap.
void expectRow(const ToneRecord &rec, int c, int t, int nap) {
    for (int j = 0; j < nap; ++j) {
        SCOPED_TRACE(testing::Message() << "channel " << c << " path " << j);
        if (t < 0) {
            EXPECT_EQ(rec.initPct[c][j], TarnCplxF(0, 0));
            EXPECT_EQ(rec.reflPct[c][j], TarnCplxF(0, 0));
            EXPECT_EQ(rec.gmap[c][j], 0);
        } else {
            EXPECT_EQ(rec.initPct[c][j], TarnCplxF(initOf(t, j)));
            EXPECT_EQ(rec.reflPct[c][j], TarnCplxF(reflOf(t, j)));
            EXPECT_EQ(rec.gmap[c][j], (t + j) % 2);
        }
        EXPECT_EQ(rec.pct[c][j], TarnCplxD(0, 0));
    }
}

TEST(GainMap, UnavailableQualityDiscardedOnlyWhenEnabled) {
    uint8_t qi[TARN_MAX_TONES][kAp] = {};
    uint8_t qr[TARN_MAX_TONES][kAp] = {};
    uint8_t gm[TARN_MAX_TONES][kAp];
    qr[1][2] = 3;  // reflector only
    qi[2][0] = 7;  // two low bits set: unavailable as well
    qi[3][1] = 2;  // a graded quality
    qr[3][0] = 126;
    ConfigOpts opts = constOpts;

    opts.discardUnavailableQualityTones = 1;
    {
        tarn_test::LogCapture cap(2);
        std::memset(gm, 0xAA, sizeof gm);
        algCalcGmap(qi, qr, &opts, 4, 3, gm);
        for (int k = 0; k < 4; ++k) {
            for (int j = 0; j < 3; ++j) {
                const bool dropped = (k == 1 && j == 2) || (k == 2 && j == 0);
                EXPECT_EQ(gm[k][j], dropped ? 0 : 1) << k << "," << j;
            }
            EXPECT_EQ(gm[k][3], 0xAA) << "path beyond NAP written";
        }
        EXPECT_EQ(gm[4][0], 0xAA) << "tone beyond numTones written";
        EXPECT_EQ(cap.texts(), (std::vector<std::string>{"pct invalid ch 1 antenna 2",
                                                         "pct invalid ch 2 antenna 0"}));
        EXPECT_EQ(cap.lines()[0].prio, 4);
    }

    opts.discardUnavailableQualityTones = 0;
    tarn_test::LogCapture cap(4);
    algCalcGmap(qi, qr, &opts, 4, 3, gm);
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 3; ++j) EXPECT_EQ(gm[k][j], 1);
    EXPECT_FALSE(cap.containsFragment("pct invalid"));
    // One call dumps both quality tables once, row by row, 4 x 3 at level 4.
    EXPECT_EQ(cap.count("csQualByteInit : "), 1);
    EXPECT_EQ(cap.count("csQualByteRefl : "), 1);
    std::vector<std::pair<std::string, double>> dumped;
    for (const auto *q : {qi, qr})
        for (int k = 0; k < 4; ++k)
            for (int j = 0; j < 3; ++j) dumped.emplace_back("", q[k][j]);
    EXPECT_EQ(cap.values(), dumped);
}

TEST(OrderChans, EarliestToneOfEachChannelByChannel) {
    std::vector<int> ch(41, 5);
    ch[0] = 78;
    ch[1] = 0;
    ch[3] = 10;
    ch[40] = 10;  // a later repeat of channel 10
    ch[7] = 79;   // outside the channel list
    ch[8] = 200;  // outside, and beyond what a signed byte holds
    ch[9] = 33;
    auto in = makeInput(ch);
    auto rec = orderChans(*in, 41, 4);

    EXPECT_EQ(rec->timeUs, 1234.5);
    EXPECT_EQ(rec->prior, 0.0);
    for (int c = 0; c < kCh; ++c) EXPECT_EQ(rec->chanList[c], c);
    std::vector<int> expected(kCh, -1);
    expected[78] = 0;
    expected[0] = 1;
    expected[5] = 2;
    expected[10] = 3;
    expected[33] = 9;
    for (int c = 0; c < kCh; ++c) expectRow(*rec, c, expected[c], 4);
}

TEST(OrderChans, PathsBeyondNapAndUnusedFieldsUntouched) {
    auto in = makeInput({4, 6, 4});
    auto rec = std::make_unique<ToneRecord>();
    std::memset(static_cast<void *>(rec.get()), 0x5A, sizeof(ToneRecord));
    algOrderChans(nullptr, 7.0, in->channel, in->init, in->refl, in->gmap, &constOpts, 3, 2,
                  rec.get());
    expectRow(*rec, 4, 0, 2);
    expectRow(*rec, 6, 1, 2);
    expectRow(*rec, 5, -1, 2);
    for (int c = 0; c < kCh; ++c) {
        EXPECT_EQ(rec->gmap[c][2], 0x5A);
        EXPECT_EQ(rec->gmap[c][3], 0x5A);
    }
    EXPECT_EQ(rec->gconf[0], 0x5A);
    EXPECT_EQ(rec->productValid[0], 0x5A);
}

TEST(OrderChans, FullProcedureOf256TonesKeepsEveryTone) {
    // 256 tones: channel 40 only on the last tone, tone 0's channel repeated
    // later, every other channel of 2..78 visited several times.
    std::vector<int> ch(TARN_MAX_TONES);
    for (int t = 0; t < TARN_MAX_TONES; ++t) {
        int c = 2 + (t * 5) % 77;
        if (c == 40) c = 41;
        ch[t] = c;
    }
    ch[255] = 40;
    auto in = makeInput(ch);
    auto rec = orderChans(*in, TARN_MAX_TONES, 4);

    std::vector<int> expected(kCh, -1);
    for (int t = TARN_MAX_TONES - 1; t >= 0; --t) expected[ch[t]] = t;
    ASSERT_EQ(expected[40], 255);
    ASSERT_EQ(expected[ch[0]], 0);
    int present = 0;
    for (int c = 0; c < kCh; ++c) {
        expectRow(*rec, c, expected[c], 4);
        present += expected[c] >= 0;
    }
    EXPECT_EQ(present, 77);
}

// Map with the given channels counted on path j.
void setChannels(uint8_t (*map)[kAp], int j, int from, int to, uint8_t v = 1) {
    for (int c = from; c <= to; ++c) map[c][j] = v;
}

TEST(GmapConf, CoverageDensityAndGaps) {
    uint8_t map[kCh][kAp] = {};
    setChannels(map, 0, 2, 76);                               // 75 / 79 of the band
    setChannels(map, 1, 2, 22), setChannels(map, 1, 26, 76);  // gap 23..25
    setChannels(map, 2, 0, 78);                               // everything
    map[10][3] = 1;                                           // one channel only
    uint8_t gconf[kAp];
    std::memset(gconf, 0xEE, sizeof gconf);
    tarn_test::LogCapture cap(4);
    algCalcGmapConf(map, 4, gconf);
    EXPECT_EQ(gconf[0], 95);
    EXPECT_EQ(gconf[1], 91);
    EXPECT_EQ(gconf[2], 100);
    EXPECT_EQ(gconf[3], 0);
    EXPECT_EQ(cap.count("maxGap[0]\n"), 2);
    EXPECT_EQ(cap.count("maxGap[3]\n"), 1);
}

TEST(GmapConf, SparseChannelsAndOnlyExactOnesCount) {
    uint8_t map[kCh][kAp] = {};
    // Every other channel over 0..78: density 1.75 x 40 / 79, one-channel
    // gaps: (70 / 79) x (1 - 1 / 79) x 100 = 87.49.
    for (int c = 0; c < kCh; c += 2) map[c][0] = 1;
    // Every fourth channel over 0..76: density 1.75 x 20 / 77, gap 3.
    for (int c = 0; c <= 76; c += 4) map[c][1] = 1;
    // Values other than 1 are not counted.
    setChannels(map, 2, 0, 78, 2);
    map[5][2] = 1;
    uint8_t gconf[kAp];
    algCalcGmapConf(map, 3, gconf);
    EXPECT_EQ(gconf[0], 87);
    // 77/79 x (35/77) x (1 - 3/77) x 100 = 42.5...
    EXPECT_EQ(gconf[1], 43);
    EXPECT_EQ(gconf[2], 0);
}

TEST(GmapConf, PathsBeyondNapAreCleared) {
    uint8_t map[kCh][kAp] = {};
    for (int j = 0; j < kAp; ++j) setChannels(map, j, 0, 78);
    uint8_t gconf[kAp] = {1, 2, 3, 4};
    algCalcGmapConf(map, 2, gconf);
    EXPECT_EQ(gconf[0], 100);
    EXPECT_EQ(gconf[1], 100);
    EXPECT_EQ(gconf[2], 0);
    EXPECT_EQ(gconf[3], 0);
    // Out-of-range path counts stay within the four paths.
    algCalcGmapConf(map, 9, gconf);
    EXPECT_EQ(gconf[3], 100);
    algCalcGmapConf(map, -1, gconf);
    EXPECT_EQ(gconf[0], 0);
}

}  // namespace

namespace {

// Hostile tone sets: any channel byte, any path count, repeats everywhere.
TEST(OrderChans, RandomToneSetsMatchEarliestToneRule) {
    uint32_t seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 200; ++round) {
        const int n = round == 0 ? 0 : static_cast<int>(next() % (TARN_MAX_TONES + 1));
        std::vector<int> ch(n);
        const bool narrow = round % 2 == 0;
        for (int t = 0; t < n; ++t) ch[t] = static_cast<int>(narrow ? next() % 90 : next() % 256);
        auto in = makeInput(ch);
        const int nap = static_cast<int>(next() % 9) - 2;
        auto rec = orderChans(*in, n, nap);
        const int paths = nap < 0 ? 0 : (nap > kAp ? kAp : nap);
        std::vector<int> expected(kCh, -1);
        for (int t = n - 1; t >= 0; --t) {
            if (ch[t] < kCh) expected[ch[t]] = t;
        }
        for (int c = 0; c < kCh; ++c) expectRow(*rec, c, expected[c], paths);
        if (HasFailure()) break;
    }
}

}  // namespace
