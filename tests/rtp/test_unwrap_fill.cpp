// Phase unwraps and gap fillers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "log_capture.h"
#include "tarn_rtp.h"

namespace {

constexpr int kCh = TARN_NUM_CHANNELS;
constexpr int kAp = TARN_MAX_ANT_PATHS;
constexpr double kH = 32768.0;
constexpr double kPi = 3.14159265358979323846;

TEST(PhaseUnwrap, WholeTurnsRemoved) {
    const double src[3] = {0, 60000, 120000};
    double dst[3];
    algPhaseUnwrap(src, 3, kH, dst);
    EXPECT_EQ(dst[0], 0.0);
    EXPECT_EQ(dst[1], -5536.0);
    EXPECT_EQ(dst[2], -11072.0);

    // Downward jumps gain turns, small steps stay, and a step of exactly half
    // a turn rounds away from zero to a whole turn.
    const double down[5] = {1000.5, -60000.5, -60100.5, -60100.5 + 32768, -27332.5 - 32768};
    double out[5];
    algPhaseUnwrap(down, 5, kH, out);
    EXPECT_EQ(out[0], 1000.5);
    EXPECT_EQ(out[1], -60000.5 + 65536);
    EXPECT_EQ(out[2], -60100.5 + 65536);
    EXPECT_EQ(out[3], -27332.5);          // +32768: one turn taken off again
    EXPECT_EQ(out[4], -60100.5 + 65536);  // -32768: one turn added
}

TEST(PhaseUnwrap, SingleValueAndInPlace) {
    double one = 4242.0;
    double dst = 0.0;
    algPhaseUnwrap(&one, 1, kH, &dst);
    EXPECT_EQ(dst, 4242.0);

    double v[3] = {0, 60000, 120000};
    algPhaseUnwrap(v, 3, kH, v);
    EXPECT_EQ(v[1], -5536.0);
    EXPECT_EQ(v[2], -11072.0);

    double untouched = 7.0;
    algPhaseUnwrap(&one, 0, kH, &untouched);
    EXPECT_EQ(untouched, 7.0);
}

TEST(PhaseUnwrap, NonFiniteInputDoesNotTrap) {
    const double src[3] = {0.0, NAN, 1e300};
    double dst[3];
    algPhaseUnwrap(src, 3, kH, dst);
    EXPECT_EQ(dst[0], 0.0);
}

double fold(double v) {
    const double r = std::fmod(v, 65536.0);
    return r < 0 ? r + 65536.0 : r;
}

// (slope found, gradient so far) of each pass the unwrap reported.
std::vector<std::pair<double, double>> reportedFits(const tarn_test::LogCapture &cap) {
    std::vector<std::pair<double, double>> fits;
    double f, g;
    for (const auto &t : cap.texts())
        if (std::sscanf(t.c_str(), "fes[%lf] gradient[%lf]", &f, &g) == 2) fits.emplace_back(f, g);
    return fits;
}

TEST(GradientUnwrap, SteepLineOverConsecutiveChannels) {
    std::vector<int8_t> ch;
    std::vector<double> ph;
    for (int c = 2; c <= 11; ++c) {
        ch.push_back(static_cast<int8_t>(c));
        ph.push_back(fold(20000.0 * c));
    }
    std::vector<double> out(ch.size());
    double g = 0;
    algGradientUnwrap(ch.data(), static_cast<int>(ch.size()), 1, ph.data(), kH, &g, out.data());
    EXPECT_NEAR(g, 20000.0, 1e-6);
    for (size_t i = 0; i < ch.size(); ++i) EXPECT_NEAR(out[i], -25536.0 + 20000.0 * i, 1e-6);
    EXPECT_NEAR(out.back(), 154464.0, 1e-6);
}

TEST(GradientUnwrap, NegativeSlopeAcrossGaps) {
    const int8_t ch[4] = {2, 3, 5, 9};
    const double ph[4] = {55536, 50536, 40536, 20536};
    double out[4];
    double g = 0;
    tarn_test::LogCapture cap(4);
    algGradientUnwrap(ch, 4, 2, ph, kH, &g, out);
    EXPECT_NEAR(g, -5000.0, 1e-6);
    EXPECT_NEAR(out[0], -10000.0, 1e-6);
    EXPECT_NEAR(out[1], -15000.0, 1e-6);
    EXPECT_NEAR(out[2], -25000.0, 1e-6);
    EXPECT_NEAR(out[3], -45000.0, 1e-6);
    // Two passes, each reporting its residual slope and the gradient so far:
    // the first finds the whole slope, the second nothing more.
    const auto fits = reportedFits(cap);
    ASSERT_EQ(fits.size(), 2u);
    EXPECT_NEAR(fits[0].second, -5000.0, 1e-6);
    EXPECT_NEAR(fits[1].first, 0.0, 1e-6);
    EXPECT_NEAR(fits[1].second, g, 1e-6);
}

TEST(GradientUnwrap, FewerThanTwoChannels) {
    const int8_t ch[1] = {7};
    const double ph[1] = {123.0};
    double out[1] = {0};
    double g = 99.0;
    algGradientUnwrap(ch, 1, 1, ph, kH, &g, out);
    EXPECT_EQ(out[0], 123.0);
    EXPECT_EQ(g, 0.0);
}

// ---- Gap filling ------------------------------------------------------------

// One-way tone of a single line-of-sight path at distance d metres on channel
// c (1 MHz per channel), with a fixed phase offset and amplitude.
TarnCplxD losTone(double d, int c, double amp = 1.0, double offset = 0.3) {
    const double ph = -2.0 * kPi * (c * 1e6) * d / 299700000.0 + offset;
    return std::polar(amp, ph);
}

std::unique_ptr<ToneRecord> blankRecord() {
    auto rec = std::make_unique<ToneRecord>();
    *rec = ToneRecord{};
    for (int c = 0; c < kCh; ++c) rec->chanList[c] = static_cast<uint8_t>(c);
    return rec;
}

// Mode-0 input: one-way tones on the usable channels of each path.
void setPath(ToneRecord &raw, int j, const std::vector<int> &usable, double d, double amp = 1.0) {
    for (int c : usable) {
        raw.gmap[c][j] = 1;
        raw.pct[c][j] = losTone(d, c, amp);
    }
}

std::vector<int> range(int from, int to, std::vector<int> skip = {}) {
    std::vector<int> v;
    for (int c = from; c <= to; ++c) {
        bool s = false;
        for (int x : skip) s = s || x == c;
        if (!s) v.push_back(c);
    }
    return v;
}

struct FillOut {
    std::unique_ptr<ToneRecord> proc = blankRecord();
    uint8_t measured[kCh][kAp];
};

std::unique_ptr<FillOut> fillGaps(const ToneRecord &raw, int nap,
                                  const ConfigOpts &opts = constOpts) {
    auto out = std::make_unique<FillOut>();
    std::memset(out->measured, 0x77, sizeof out->measured);
    algFillGaps(nullptr, &raw, &opts, static_cast<int8_t>(nap), out->proc.get(), out->measured);
    return out;
}

// Phase difference wrapped into (-pi, pi].
double wrapRad(double a) {
    return std::remainder(a, 2.0 * kPi);
}

TEST(FillGaps, NineUsableChannelsLeaveThePathEmpty) {
    auto raw = blankRecord();
    setPath(*raw, 0, range(2, 10), 3.0);  // 9 channels
    setPath(*raw, 1, range(2, 11), 3.0);  // 10 channels, no hole
    raw->gmap[40][0] = 0;                 // unusable tone, kept as is
    raw->pct[40][0] = TarnCplxD(5, 5);
    auto out = fillGaps(*raw, 2);
    for (int c = 0; c < kCh; ++c) {
        EXPECT_EQ(out->proc->pct[c][0], TarnCplxD(0, 0)) << c;
        EXPECT_EQ(out->measured[c][0], 0) << c;
        EXPECT_EQ(out->proc->gmap[c][0], raw->gmap[c][0]) << c;
        const bool in = c >= 2 && c <= 11;
        EXPECT_EQ(out->measured[c][1], in ? 1 : 0) << c;
        EXPECT_EQ(out->proc->gmap[c][1], in ? 1 : 0) << c;
        // Paths beyond NAP are not written.
        EXPECT_EQ(out->measured[c][2], 0x77);
        EXPECT_EQ(out->proc->chanList[c], c);
    }
}

TEST(FillGaps, NoHolesMeansNothingInterpolated) {
    auto raw = blankRecord();
    setPath(*raw, 0, range(2, 76), 4.2, 250.0);
    raw->pct[0][0] = TarnCplxD(9, 9);  // out of span, unusable: passes through
    auto out = fillGaps(*raw, 1);
    for (int c = 0; c < kCh; ++c) {
        const bool in = c >= 2 && c <= 76;
        EXPECT_EQ(out->proc->gmap[c][0], in ? 1 : 0) << c;
        EXPECT_EQ(out->measured[c][0], in ? 1 : 0) << c;
        EXPECT_EQ(out->proc->pct[c][0], raw->pct[c][0]) << c;
    }
}

TEST(FillGaps, HoleIsInterpolatedAndFlagged) {
    auto raw = blankRecord();
    const auto usable = range(2, 76, {23, 24, 25});
    setPath(*raw, 0, usable, 4.2);
    tarn_test::LogCapture cap(4);
    auto out = fillGaps(*raw, 1);
    for (int c = 0; c < kCh; ++c) {
        const bool in = c >= 2 && c <= 76;
        const bool hole = c >= 23 && c <= 25;
        EXPECT_EQ(out->proc->gmap[c][0], in ? 1 : 0) << c;
        EXPECT_EQ(out->measured[c][0], in && !hole ? 1 : 0) << c;
        if (!in) {
            EXPECT_EQ(out->proc->pct[c][0], TarnCplxD(0, 0)) << c;
        }
        if (hole) {
            EXPECT_NEAR(std::abs(out->proc->pct[c][0]), 1.0, 1e-9) << c;
        }
    }
    // The one path with a hole went once through the gradient unwrap, which
    // found the two-way phase slope of 4.2 m per channel.
    EXPECT_EQ(cap.count("pcts:\n"), 1);
    const auto fits = reportedFits(cap);
    ASSERT_EQ(fits.size(), 2u);
    EXPECT_NEAR(fits[1].second, -4 * 1e6 * 4.2 / 299700000.0 * kH, 1e-3);
}

// Property: for a single line-of-sight path, the filled one-way response
// follows the true phase line (up to the sign a square root cannot fix,
// which must be the same on every channel) and keeps the amplitude.
TEST(FillGaps, LineOfSightPhaseFollowsTheTrueLine) {
    const std::vector<std::vector<int>> patterns = {
        range(2, 76, {23, 24, 25}),
        range(0, 78, {5, 6, 7, 8, 9, 10, 11, 30, 31, 50, 60, 61, 62, 63}),
        range(10, 60, {12, 14, 16, 18, 20, 22, 40, 41, 42, 43, 44}),
    };
    for (double d : {0.4, 1.5, 3.7, 12.0, 28.0}) {
        for (size_t p = 0; p < patterns.size(); ++p) {
            SCOPED_TRACE(testing::Message() << "distance " << d << " pattern " << p);
            const auto &usable = patterns[p];
            auto raw = blankRecord();
            setPath(*raw, 0, usable, d, 2.5);
            auto out = fillGaps(*raw, 1);
            const int first = usable.front();
            const int last = usable.back();
            const TarnCplxD ref = out->proc->pct[first][0] * std::conj(losTone(d, first));
            const double offset = std::arg(ref);
            EXPECT_LT(std::fabs(std::remainder(offset, kPi)), 1e-9) << "offset not 0 or pi";
            double worst = 0.0;
            for (int c = first; c <= last; ++c) {
                const TarnCplxD v = out->proc->pct[c][0];
                EXPECT_NEAR(std::abs(v), 2.5, 1e-9) << c;
                const double err = wrapRad(std::arg(v * std::conj(losTone(d, c))) - offset);
                worst = std::fmax(worst, std::fabs(err));
            }
            EXPECT_LT(worst, 1e-6);
        }
    }
}

TEST(FillGaps, PathsAreIndependent) {
    // Path 1 spans fewer channels than path 0; its output outside its span
    // must not change with what path 0 held.
    auto raw = blankRecord();
    setPath(*raw, 1, range(20, 50, {30, 31}), 6.0, 3.0);
    auto alone = fillGaps(*raw, 2);
    setPath(*raw, 0, range(0, 78, {40, 41, 42}), 2.0, 7.0);
    auto both = fillGaps(*raw, 2);
    for (int c = 0; c < kCh; ++c) {
        EXPECT_EQ(both->proc->pct[c][1], alone->proc->pct[c][1]) << c;
        EXPECT_EQ(both->proc->gmap[c][1], alone->proc->gmap[c][1]) << c;
        EXPECT_EQ(both->measured[c][1], alone->measured[c][1]) << c;
        if (c < 20 || c > 50) {
            EXPECT_EQ(both->proc->pct[c][1], TarnCplxD(0, 0)) << c;
        }
    }
}

TEST(FillGaps, QuantRoundsBothParts) {
    auto raw = blankRecord();
    setPath(*raw, 0, range(2, 40, {10, 11}), 5.0, 1000.0);
    ConfigOpts opts = constOpts;
    opts.quant = 1;
    auto out = fillGaps(*raw, 1, opts);
    for (int c = 2; c <= 40; ++c) {
        const TarnCplxD v = out->proc->pct[c][0];
        EXPECT_EQ(v.real(), std::round(v.real())) << c;
        EXPECT_EQ(v.imag(), std::round(v.imag())) << c;
        EXPECT_NEAR(std::abs(v), 1000.0, 1.0) << c;
    }
}

// ---- Mode 1: gap filling of the two-way product ---------------------------

// Mode-1 input: both directions' tones of a line-of-sight path.
void setProductPath(ToneRecord &raw, int j, const std::vector<int> &usable, double d, float ai,
                    float ar) {
    for (int c : usable) {
        raw.gmap[c][j] = 1;
        const TarnCplxD t = losTone(d, c);
        raw.initPct[c][j] =
            TarnCplxF(static_cast<float>(ai * t.real()), static_cast<float>(ai * t.imag()));
        raw.reflPct[c][j] =
            TarnCplxF(static_cast<float>(ar * t.real()), static_cast<float>(ar * t.imag()));
    }
}

TEST(InterpProduct, ProductFollowsTheTwoWayLine) {
    auto raw = blankRecord();
    const auto usable = range(2, 76, {23, 24, 25, 50, 51});
    setProductPath(*raw, 0, usable, 7.5, 40.0f, 25.0f);
    auto proc = blankRecord();
    uint8_t measured[kCh][kAp] = {};
    tarn_test::LogCapture cap(4);
    EXPECT_EQ(algInterpProduct(raw.get(), &constOpts, 1, proc.get(), measured), 0);
    // No log output of its own (the gradient unwrap still reports).
    EXPECT_FALSE(cap.contains("pcts:\n"));
    EXPECT_FALSE(cap.containsFragment("algFillGaps"));

    for (int c = 0; c < kCh; ++c) {
        // The raw record now carries the single-precision product.
        const TarnCplxF pf = raw->initPct[c][0] * raw->reflPct[c][0];
        EXPECT_EQ(raw->pct[c][0], TarnCplxD(pf.real(), pf.imag())) << c;
    }
    const TarnCplxD ref = proc->pct[2][0] * std::conj(std::pow(losTone(7.5, 2), 2));
    EXPECT_NEAR(std::arg(ref), 0.0, 1e-5);
    for (int c = 2; c <= 76; ++c) {
        const TarnCplxD v = proc->pct[c][0];
        const TarnCplxD want = std::pow(losTone(7.5, c), 2);
        // Measured and interpolated channels carry the same product amplitude.
        EXPECT_NEAR(std::abs(v), 1000.0, 1e-3) << c;
        EXPECT_NEAR(wrapRad(std::arg(v * std::conj(want))), 0.0, 1e-5) << c;
        EXPECT_EQ(proc->gmap[c][0], 1);
        const bool hole = (c >= 23 && c <= 25) || c == 50 || c == 51;
        EXPECT_EQ(measured[c][0], hole ? 0 : 1) << c;
    }
}

TEST(InterpProduct, NegativeAmplitudeRootReportedButFilled) {
    // Amplitude roots falling to 1 on each side of a wide hole: the spline
    // dips below zero in between.
    auto raw = blankRecord();
    for (int c = 0; c <= 29; ++c) {
        if (c >= 10 && c <= 19) continue;
        const float root = static_cast<float>(c < 10 ? 10 - c : c - 19);
        raw->gmap[c][0] = 1;
        raw->initPct[c][0] = TarnCplxF(root * root, 0.0f);
        raw->reflPct[c][0] = TarnCplxF(1.0f, 0.0f);
    }
    setProductPath(*raw, 1, range(2, 40), 1.0, 1.0f, 1.0f);
    auto proc = blankRecord();
    uint8_t measured[kCh][kAp] = {};
    EXPECT_EQ(algInterpProduct(raw.get(), &constOpts, 2, proc.get(), measured), -1);
    for (int c = 0; c <= 29; ++c) EXPECT_EQ(proc->gmap[c][0], 1) << c;
    EXPECT_GT(std::abs(proc->pct[15][0]), 0.0);
    EXPECT_EQ(measured[15][0], 0);
    EXPECT_NEAR(std::abs(proc->pct[30][1]), 1.0, 1e-6);
}

}  // namespace

namespace {

// Random usable sets and tones: the flags obey their rules and the output
// stays finite.
TEST(FillGaps, RandomInputsKeepTheFlagRules) {
    uint32_t seed = 777;
    auto next = [&seed]() {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int round = 0; round < 150; ++round) {
        auto raw = blankRecord();
        const int density = 1 + static_cast<int>(next() % 100);
        for (int c = 0; c < kCh; ++c) {
            for (int j = 0; j < kAp; ++j) {
                raw->gmap[c][j] = static_cast<int>(next() % 100) < density ? 1 + next() % 3 : 0;
                raw->pct[c][j] = TarnCplxD(static_cast<int>(next() % 2001) - 1000.0,
                                           static_cast<int>(next() % 2001) - 1000.0);
                raw->initPct[c][j] = TarnCplxF(static_cast<float>(raw->pct[c][j].real()),
                                               static_cast<float>(raw->pct[c][j].imag()));
                raw->reflPct[c][j] = TarnCplxF(static_cast<float>(next() % 50), 3.0f);
            }
        }
        const int nap = static_cast<int>(next() % 7) - 1;
        const int paths = nap < 0 ? 0 : (nap > kAp ? kAp : nap);
        for (int mode = 0; mode < 2; ++mode) {
            auto proc = blankRecord();
            uint8_t measured[kCh][kAp] = {};
            if (mode == 0) {
                algFillGaps(nullptr, raw.get(), &constOpts, static_cast<int8_t>(nap), proc.get(),
                            measured);
            } else {
                const int8_t r = algInterpProduct(raw.get(), &constOpts, static_cast<int8_t>(nap),
                                                  proc.get(), measured);
                EXPECT_TRUE(r == 0 || r == -1);
            }
            for (int j = 0; j < paths; ++j) {
                int first = -1, last = -1, listed = 0;
                for (int c = 0; c < kCh; ++c) {
                    if (raw->gmap[c][j] != 0) {
                        if (first < 0) first = c;
                        last = c;
                        ++listed;
                    }
                }
                for (int c = 0; c < kCh; ++c) {
                    const TarnCplxD v = proc->pct[c][j];
                    ASSERT_TRUE(std::isfinite(v.real()) && std::isfinite(v.imag()));
                    const bool isListed = raw->gmap[c][j] != 0;
                    if (listed < 10) {
                        EXPECT_EQ(measured[c][j], 0);
                        EXPECT_EQ(proc->gmap[c][j], raw->gmap[c][j]);
                        EXPECT_EQ(v, TarnCplxD(0, 0));
                    } else {
                        EXPECT_EQ(measured[c][j], isListed ? 1 : 0);
                        const bool inSpan = c >= first && c <= last;
                        EXPECT_EQ(proc->gmap[c][j], inSpan ? 1 : raw->gmap[c][j]);
                    }
                }
            }
            for (int j = paths; j < kAp; ++j) {
                for (int c = 0; c < kCh; ++c) EXPECT_EQ(measured[c][j], 0);
            }
        }
        if (HasFailure()) break;
    }
}

}  // namespace
