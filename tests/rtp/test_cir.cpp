// Channel impulse response, its early-arrival distance and the MUSIC correction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "rtp/rtp_cir.h"
#include "tone_builder.h"
#include "tarn_rtp.h"

namespace {

// The impulse response's work area (large: kept off the stack).
tarn_rtp::CirWork &cirWork() {
    static tarn_rtp::CirWork *work = new tarn_rtp::CirWork();
    return *work;
}


using tarn_test::Ray;
using tarn_test::ToneSetup;

constexpr double kTap512 = 299700000.0 / 512e6;  // 0.5853515625 m

struct Records {
    std::unique_ptr<ToneRecord> raw = std::make_unique<ToneRecord>();
    std::unique_ptr<ToneRecord> proc = std::make_unique<ToneRecord>();
};

Records oneWay(const ToneSetup &s) {
    Records r;
    std::memset(static_cast<void *>(r.raw.get()), 0, sizeof(ToneRecord));
    tarn_test::buildOneWayRecord(s, r.proc.get());
    return r;
}

CirEstimate runCir(const Records &r, const ConfigOpts &o, int nap) {
    CirEstimate cir;
    std::memset(&cir, 0, sizeof cir);
    algProcessCir(nullptr, r.raw.get(), r.proc.get(), &o, static_cast<int8_t>(nap), &cir);
    return cir;
}

// Options that let an early peak up to 6 dB below the strongest qualify.
ConfigOpts earlyPeakOpts() {
    ConfigOpts o = constOpts;
    o.cirDistFromMaxDBThr = 6.0;
    return o;
}

TEST(FindPeaks, SlopeSignRule) {
    struct Case {
        std::vector<double> x;
        std::vector<uint16_t> locs;
    };
    const Case cases[] = {
        {{0, 1, 1, 0}, {1, 2}},               // flat top: both ends
        {{0, 1, 0, 2, 0}, {1, 3}},            // two sharp peaks
        {{0, 1, 1, 1}, {1}},                  // rising into a flat tail
        {{1, 1, 0}, {1}},                     // flat then falling
        {{2, 1, 0, 1, 2}, {}},                // a valley has none
        {{0, 1, 2, 3}, {}},                   // monotonic
        {{5, 5, 5, 5}, {}},                   // constant
        {{0, 3}, {}},                         // too short
        {{0, 1, 1, 2, 2, 0}, {1, 3, 4}},      // rise-to-flat counts too
    };
    for (const Case &c : cases) {
        std::vector<double> vals(c.x.size() + 1, -1.0);
        std::vector<uint16_t> locs(c.x.size() + 1, 999);
        uint16_t n = 77;
        findPeaks(c.x.data(), static_cast<uint16_t>(c.x.size()), vals.data(), locs.data(), &n);
        ASSERT_EQ(n, c.locs.size()) << "len " << c.x.size();
        for (size_t i = 0; i < c.locs.size(); ++i) {
            EXPECT_EQ(locs[i], c.locs[i]);
            EXPECT_EQ(vals[i], c.x[c.locs[i]]);
        }
    }
}

TEST(FractionalPeak, VertexOfSampledParabola) {
    // Samples of a - b (x - v)^2 at -1, 0, 1 give back v exactly.
    for (double v : {-0.5, -0.3, 0.0, 0.125, 0.45}) {
        auto y = [v](double x) { return 3.0 - 2.0 * (x - v) * (x - v); };
        EXPECT_NEAR(getFractionalPeakLoc(y(-1), y(0), y(1)), v, 1e-12) << v;
    }
    EXPECT_EQ(getFractionalPeakLoc(1.0, 1.0, 1.0), 0.0);  // zero denominator
    EXPECT_EQ(getFractionalPeakLoc(0.0, 1.0, 0.5), -0.5 / -3.0);
}

// One tap is sol / (N x 1 MHz); a peak at tap t gives t x tap - cirOffset.
TEST(Cir, TapLengthAndDistanceFormula) {
    ConfigOpts o = earlyPeakOpts();
    ASSERT_EQ(o.ifftSize, 512);
    // Direct path exactly on tap 27 after the 10 m delay; a stronger
    // reflection well clear of it.
    ToneSetup s;
    s.distM = 27 * kTap512 - 10.0;
    s.rays = {{0.0, 1.0, 0.0}, {40.0, 1.5, 0.0}};
    s.channels.clear();
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) s.channels.push_back(k);
    const Records r = oneWay(s);

    std::vector<double> m(512);
    double tap = 0.0;
    ASSERT_EQ(tarn_rtp::cirPathMagnitudes(*r.raw, *r.proc, o, 0, cirWork(), m.data(), 512, &tap), 512);
    EXPECT_EQ(tap, 0.5853515625);

    const CirEstimate cir = runCir(r, o, 1);
    // The direct path's lobe tops out on tap 27; the formula on its neighbours.
    int t = 20;
    for (int i = 20; i <= 34; ++i)
        if (m[i] > m[t]) t = i;
    EXPECT_EQ(t, 27);
    const double delta = getFractionalPeakLoc(m[t - 1], m[t], m[t + 1]);
    EXPECT_DOUBLE_EQ(cir.cirDist[0], (t + delta) * 0.5853515625 - 10.0);
    EXPECT_NEAR(cir.cirDist[0], 5.8044921875, 0.05 * kTap512);
}


// Channels 2..76 as the gap filler leaves them: the span filled, the channels
// outside it zero.
std::vector<int> filledSpan() {
    std::vector<int> ch;
    for (int k = 2; k <= 76; ++k) ch.push_back(k);
    return ch;
}

// Direct path plus a stronger (1.4x) reflection 6 to 20 m later, over direct
// distances and reflection phases. The reflection's lobe leaks into the
// direct path's, so the early peak is found near, not exactly at, the direct
// distance; the figures are printed for the record.
TEST(Cir, EarlyPeakOnDirectPathOfTwoPathResponse) {
    const ConfigOpts o = earlyPeakOpts();
    double worst = 0.0;
    double sumErr = 0.0;
    int found = 0;
    int cases = 0;
    for (double sep : {6.0, 8.0, 10.0, 12.0, 16.0, 20.0}) {
        for (double d = 0.5; d < 10.0; d += 0.9) {
            for (int p = 0; p < 8; ++p) {
                ToneSetup s;
                s.distM = d;
                s.channels = filledSpan();
                s.rays = {{0.0, 1.0, 0.0}, {sep, 1.4, p * tarn_test::kTwoPi / 8}};
                const CirEstimate cir = runCir(oneWay(s), o, 1);
                ++cases;
                EXPECT_GE(cir.numPeaksBeforeMaxPeak[0], 1u);
                if (cir.cirDist[0] < 0) continue;
                ++found;
                const double err = std::fabs(cir.cirDist[0] - d);
                worst = std::fmax(worst, err);
                sumErr += err;
            }
        }
    }
    std::printf("two-path early peak: %d of %d found, mean error %.3f m, worst %.3f m (%.2f taps)\n",
                found, cases, sumErr / found, worst, worst / kTap512);
    EXPECT_GE(found, cases * 97 / 100);
    EXPECT_LE(worst, 1.75 * kTap512);
    EXPECT_LE(sumErr / found, 0.5 * kTap512);
}

// The same kind of response: MUSIC slots at the reflection's distance are
// pulled down to the early arrival; shorter, invalid or uncorrectable ones
// are left alone. With the default 0 dB level rule no early peak qualifies.
TEST(Cir, CorrectionPullsLateMusicDistanceDown) {
    ToneSetup s;
    s.distM = 4.0;
    s.channels = filledSpan();
    s.nap = 2;
    s.rays = {{0.0, 1.0, 0.0}, {10.0, 1.4, 0.0}};
    const Records r = oneWay(s);
    const ConfigOpts o = earlyPeakOpts();
    CirEstimate cir = runCir(r, o, 2);
    ASSERT_GT(cir.cirDist[0], 0.0);
    EXPECT_NEAR(cir.cirDist[0], 4.0, 1.75 * kTap512);
    EXPECT_EQ(cir.cirDist[1], cir.cirDist[0]);  // path 1 carries the same tones

    MusicResult mu;
    std::memset(&mu, 0, sizeof mu);
    mu.valid[0][0] = 1; mu.dest[0][0] = 14000.0; mu.conf[0][0] = 70.0;  // at the reflection
    mu.valid[1][0] = 1; mu.dest[1][0] = 3000.0;  mu.conf[1][0] = 60.0;  // already shorter
    mu.valid[2][0] = 0; mu.dest[2][0] = 14000.0;                        // invalid slot
    mu.valid[27][1] = 1; mu.dest[27][1] = 9000.0;                       // last slot counts
    cir.cirDist[2] = 0.0;
    mu.valid[0][2] = 1; mu.dest[0][2] = 14000.0;                        // cirDist 0: unused
    combineMusicWithCir(&mu, &cir, nullptr, &o);
    EXPECT_EQ(mu.dest[0][0], cir.cirDist[0] * 1000.0);
    EXPECT_EQ(mu.conf[0][0], 70.0);
    EXPECT_EQ(mu.valid[0][0], 1);
    EXPECT_EQ(mu.dest[1][0], 3000.0);
    EXPECT_EQ(mu.dest[2][0], 14000.0);
    EXPECT_EQ(mu.dest[27][1], cir.cirDist[1] * 1000.0);
    EXPECT_EQ(mu.dest[0][2], 14000.0);

    const CirEstimate strict = runCir(r, constOpts, 1);
    EXPECT_EQ(strict.cirDist[0], -1.0);
    EXPECT_EQ(strict.numPeaksBeforeMaxPeak[0], 1u);
}

TEST(Cir, CorrectionNeverRaisesAndKeepsFlags) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> dist(-2000.0, 30000.0);
    std::uniform_real_distribution<double> cirD(-3.0, 30.0);
    std::uniform_real_distribution<double> off(-5.0, 5.0);
    for (int trial = 0; trial < 300; ++trial) {
        ConfigOpts o = constOpts;
        o.cirCorrectionOffset = trial % 3 == 0 ? 0.0 : off(rng);
        CirEstimate cir;
        std::memset(&cir, 0, sizeof cir);
        MusicResult mu;
        std::memset(&mu, 0, sizeof mu);
        for (int j = 0; j < 4; ++j) cir.cirDist[j] = trial % 5 == j ? -1.0 : cirD(rng);
        for (int sl = 0; sl < TARN_MUSIC_SLOTS; ++sl) {
            for (int j = 0; j < 4; ++j) {
                mu.valid[sl][j] = static_cast<uint8_t>(rng() % 3);  // 2 is not "valid"
                mu.dest[sl][j] = dist(rng);
                mu.conf[sl][j] = sl + j;
            }
        }
        const MusicResult before = mu;
        combineMusicWithCir(&mu, &cir, nullptr, &o);
        for (int sl = 0; sl < TARN_MUSIC_SLOTS; ++sl) {
            for (int j = 0; j < 4; ++j) {
                const double was = before.dest[sl][j];
                const double cd = cir.cirDist[j];
                const bool fires = before.valid[sl][j] == 1 && cd > 0 &&
                                   cd + o.cirCorrectionOffset < was / 1000.0 && cd * 1000.0 < was;
                EXPECT_EQ(mu.dest[sl][j], fires ? cd * 1000.0 : was);
                EXPECT_LE(mu.dest[sl][j], was);
                EXPECT_EQ(mu.valid[sl][j], before.valid[sl][j]);
                EXPECT_EQ(mu.conf[sl][j], before.conf[sl][j]);
            }
        }
    }
}

// Exact delay spreads of sparse magnitude sets: one tap has none; two taps
// with power fractions p and 1 - p, s taps apart, have s x tap x sqrt(p(1-p)).
TEST(DelaySpread, SparseResponsesExact) {
    const ConfigOpts o = constOpts;
    struct Case {
        int t1, t2;
        double a2;  // second tap's magnitude (first is 1)
    };
    const Case cases[] = {{30, 30, 0.0}, {0, 0, 0.0}, {511, 511, 0.0}, {30, 40, 1.0},
                          {30, 50, 1.0}, {30, 50, 0.5}, {30, 50, 2.0}, {0, 511, 1.0}};
    double last = -1.0;
    for (const Case &c : cases) {
        std::vector<double> m(512, 0.0);
        m[c.t1] = 1.0;
        m[c.t2] += c.a2;
        double energy = 0.0;
        for (double v : m) energy += v * v;
        const double p = 1.0 / (1.0 + c.a2 * c.a2);
        const double expect = c.t1 == c.t2 ? 0.0 : (c.t2 - c.t1) * kTap512 * std::sqrt(p * (1 - p));
        EXPECT_NEAR(computeDelaySpread(m.data(), 0, energy, &o), expect, 1e-9)
            << c.t1 << " " << c.t2 << " " << c.a2;
        if (c.t1 == 30 && c.a2 == 1.0) {
            EXPECT_GT(expect, last);  // grows with the second path's distance
            last = expect;
        }
    }
}

// Quality figures of one clean path: one peak, nothing before it, no early
// distance; the energy is the tones' power over N (Parseval); the magnitudes
// handed out for display are the ones the figures come from.
TEST(Cir, SinglePathFigures) {
    ToneSetup s;
    s.distM = 3.0;
    s.channels = filledSpan();
    const Records r = oneWay(s);
    const ConfigOpts o = earlyPeakOpts();
    const CirEstimate cir = runCir(r, o, 1);
    EXPECT_EQ(cir.numPeaks[0], 1u);
    EXPECT_EQ(cir.numPeaksBeforeMaxPeak[0], 0u);
    EXPECT_EQ(cir.cirDist[0], -1.0);
    EXPECT_NEAR(cir.energy[0], 75 * 1000.0 * 1000.0 / 512, 1e-6);
    std::printf("single path: maxToMean %.2f dB, maxToMedian %.2f dB, delay spread %.2f m\n",
                cir.maxToMeanCirDB[0], cir.maxToMedianCirDB[0], cir.delaySpread[0]);

    std::vector<double> m(512);
    double tap = 0.0;
    ASSERT_EQ(tarn_rtp::cirPathMagnitudes(*r.raw, *r.proc, o, 0, cirWork(), m.data(), 512, &tap), 512);
    double mx = 0.0;
    double sum = 0.0;
    int at = 0;
    for (int t = 0; t < 512; ++t) {
        sum += m[t];
        if (m[t] > mx) { mx = m[t]; at = t; }
    }
    EXPECT_EQ(at, static_cast<int>(std::lround((3.0 + 10.0) / kTap512)));
    EXPECT_NEAR(cir.maxToMeanCirDB[0], 10.0 * std::log10(mx / (sum / 512)), 1e-9);
    EXPECT_NEAR(cir.delaySpread[0], computeDelaySpread(m.data(), 512, cir.energy[0], &o), 1e-12);

    EXPECT_EQ(tarn_rtp::cirPathMagnitudes(*r.raw, *r.proc, o, 0, cirWork(), m.data(), 511, &tap), 0);
    EXPECT_EQ(tarn_rtp::cirPathMagnitudes(*r.raw, *r.proc, o, 4, cirWork(), m.data(), 512, &tap), 0);
    EXPECT_EQ(tarn_rtp::cirPathMagnitudes(*r.raw, *r.proc, o, -1, cirWork(), m.data(), 512, &tap), 0);
}

TEST(Cir, AllZeroPathHasNoFigures) {
    ToneSetup s;
    s.distM = 2.0;
    s.channels = filledSpan();
    Records r = oneWay(s);
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) r.proc->pct[k][0] = TarnCplxD(0.0, 0.0);
    const CirEstimate cir = runCir(r, earlyPeakOpts(), 1);
    EXPECT_EQ(cir.energy[0], 0.0);
    EXPECT_EQ(cir.cirDist[0], -1.0);
    EXPECT_TRUE(std::isnan(cir.maxToMeanCirDB[0]));
    EXPECT_TRUE(std::isnan(cir.maxToMedianCirDB[0]));
    EXPECT_TRUE(std::isnan(cir.delaySpread[0]));
    EXPECT_EQ(cir.numPeaks[0], 0u);
    EXPECT_EQ(cir.numPeaksBeforeMaxPeak[0], 0u);
}

// Whatever ifftSize a host installs, the transform stays inside its buffers:
// powers of two from 128 to 16384 are used, anything else falls back to 512.
// Parseval pins the size each call really used; paths beyond the clamped
// count are not written.
TEST(Cir, HostileSizesAndPathCounts) {
    ToneSetup s;
    s.distM = 6.0;
    s.nap = 4;
    s.channels = filledSpan();
    const Records r = oneWay(s);
    const double power = 75 * 1000.0 * 1000.0;
    const int sizes[] = {0, 1, 2, 64, 100, 127, 128, 129, 256, 500, 1000, 1024, 8192, 16383, 16384,
                         16385, 32768, 65535};
    std::vector<double> m(TARN_CIR_MAX_SIZE);
    for (int size : sizes) {
        ConfigOpts o = constOpts;
        o.ifftSize = static_cast<uint16_t>(size);
        const bool usable = size >= 128 && size <= 16384 && (size & (size - 1)) == 0;
        const int n = usable ? size : 512;
        EXPECT_EQ(tarn_rtp::cirTransformSize(o), n) << size;
        double tap = 0.0;
        ASSERT_EQ(tarn_rtp::cirPathMagnitudes(*r.raw, *r.proc, o, 3, cirWork(), m.data(), TARN_CIR_MAX_SIZE, &tap),
                  n);
        EXPECT_EQ(tap, 299700000.0 / (n * 1e6));
        const CirEstimate cir = runCir(r, o, 4);
        for (int j = 0; j < 4; ++j) EXPECT_NEAR(cir.energy[j] * n, power, power * 1e-12) << size;
        EXPECT_GT(cir.delaySpread[0], 0.0);
    }
    for (int nap : {-128, -1, 0, 2, 5, 127}) {
        CirEstimate cir;
        for (double &e : cir.energy) e = -7.0;
        cir.reserved = 99;
        algProcessCir(nullptr, r.raw.get(), r.proc.get(), &constOpts, static_cast<int8_t>(nap), &cir);
        const int written = nap < 0 ? 0 : (nap > 4 ? 4 : nap);
        for (int j = 0; j < 4; ++j) EXPECT_EQ(cir.energy[j] > 0.0, j < written) << nap << " " << j;
        EXPECT_EQ(cir.reserved, 99u);
    }
}

}  // namespace
