// MUSIC estimator: covariance, root-MUSIC, per-order selection, and the fast
// route against the general-solver route.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "compat/legacy_work.h"
#include "rtp/rtp_music.h"
#include "tarn_rtp.h"
#include "tone_builder.h"

namespace {

using cd = std::complex<double>;
using tarn_rtp::MusicRoute;
constexpr int kStride = TARN_MUSIC_COV_STRIDE;
constexpr double kNoDist = 2147483647.0;
constexpr double kPi = 3.14159265358979323846;

// Channels 2..73: a gap-filled procedure's 72 contiguous channels.
std::vector<int> contiguous(int first = 2, int count = 72) {
    std::vector<int> ch;
    for (int k = first; k < first + count; ++k) ch.push_back(k);
    return ch;
}

// Inputs of one estimator call built from a tone setup (one-way response,
// which tone processing hands over), with complex noise of std `noise`.
struct Inputs {
    ToneRecord raw{};
    ToneRecord proc{};
    PresState pres{};
    ConfigOpts opts = constOpts;
    double pdest[TARN_MAX_ANT_PATHS] = {};
    MusicResult music{};

    Inputs(const tarn_test::ToneSetup &s, double prior, double noise, unsigned seed = 3) {
        tarn_test::buildOneWayRecord(s, &proc);
        std::mt19937 rng(seed);
        std::normal_distribution<double> n(0.0, noise > 0 ? noise : 1.0);
        for (int k = 0; k < TARN_NUM_CHANNELS; ++k)
            for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j)
                if (proc.gmap[k][j] && noise > 0) proc.pct[k][j] += cd(n(rng), n(rng));
        raw.prior = prior;
        for (int j = 0; j < TARN_MAX_ANT_PATHS; ++j) {
            raw.gconf[j] = 100;
            pdest[j] = (prior + s.distM + s.pathExtraM[j]) * 1000.0;
        }
        pres.time = -100.0;
    }

    void run(int nap, bool reset = true, MusicRoute route = MusicRoute::kFast) {
        std::memset(&music, 0, sizeof music);
        tarn_compat::estWithMusic(&pres, &raw, &proc, &opts, static_cast<int8_t>(nap), &music, pdest,
                               reset, route);
    }

    // The same (reset, fast route) in a caller's own workspace.
    void runIn(tarn_rtp::MusicWorkspace *ws, int nap) {
        std::memset(&music, 0, sizeof music);
        tarn_rtp::estWithMusic(&pres, &raw, &proc, &opts, static_cast<int8_t>(nap), &music, pdest, true,
                               MusicRoute::kFast, ws);
    }
};

tarn_test::ToneSetup singlePath(double d, int nap = 1) {
    tarn_test::ToneSetup s;
    s.distM = d;
    s.nap = nap;
    s.amplitude = 1.0;
    s.channels = contiguous();
    return s;
}

void expectNoDistance(const MusicResult &m, int j, int i) {
    EXPECT_EQ(m.valid[j][i], 0) << "slot " << j << " path " << i;
    EXPECT_EQ(m.dest[j][i], kNoDist) << "slot " << j << " path " << i;
    EXPECT_EQ(m.conf[j][i], -1.0) << "slot " << j << " path " << i;
}

TEST(MusicCovariance, HandValuesAndLimits) {
    // (1, 2, 3) with L = 2: two subarrays; forward-backward gives a
    // persymmetric matrix.
    const TarnCplxD x[3] = {1.0, 2.0, 3.0};
    TarnCplxD R[2 * kStride];
    algCalcCovD(x, 3, 2, kStride, R);
    EXPECT_EQ(R[0], TarnCplxD(4.5, 0));
    EXPECT_EQ(R[1], TarnCplxD(4.0, 0));
    EXPECT_EQ(R[kStride], TarnCplxD(4.0, 0));
    EXPECT_EQ(R[kStride + 1], TarnCplxD(4.5, 0));
    // (1, i): one subarray.
    const TarnCplxD y[2] = {1.0, TarnCplxD(0, 1)};
    algCalcCovD(y, 2, 2, kStride, R);
    EXPECT_EQ(R[0], TarnCplxD(1, 0));
    EXPECT_EQ(R[1], TarnCplxD(0, -1));
    EXPECT_EQ(R[kStride], TarnCplxD(0, 1));
    EXPECT_EQ(R[kStride + 1], TarnCplxD(1, 0));
    // The integer variant on the same samples.
    const TarnCplxL xi[3] = {{1, 0}, {2, 0}, {3, 0}};
    algCalcCov(xi, 3, 2, kStride, R);
    EXPECT_EQ(R[0], TarnCplxD(4.5, 0));
    EXPECT_EQ(R[1], TarnCplxD(4.0, 0));
    const TarnCplxL yi[2] = {{1, 0}, {0, 1}};
    algCalcCov(yi, 2, 2, kStride, R);
    EXPECT_EQ(R[1], TarnCplxD(0, -1));
    EXPECT_EQ(R[kStride], TarnCplxD(0, 1));
    // L above N, L below 1 or a short stride write nothing.
    R[0] = TarnCplxD(7, 7);
    algCalcCovD(x, 3, 4, kStride, R);
    algCalcCovD(x, 3, 0, kStride, R);
    algCalcCovD(x, 3, 2, 1, R);
    algCalcCov(xi, 3, 4, kStride, R);
    EXPECT_EQ(R[0], TarnCplxD(7, 7));
}

TEST(MusicCovariance, ToneGivesItsOuterProduct) {
    // A complex exponential's forward-backward covariance is a a^H with
    // a[l] = e^{j w l}, for any length and subarray size.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> w(-3.0, 3.0);
    for (int trial = 0; trial < 20; ++trial) {
        const double om = w(rng);
        const int N = 10 + trial * 3;
        const int L = 2 + trial % 26;
        if (L > N) continue;
        std::vector<TarnCplxD> x(static_cast<size_t>(N));
        for (int n = 0; n < N; ++n) x[static_cast<size_t>(n)] = std::polar(2.0, om * n + 0.3);
        std::vector<TarnCplxD> R(static_cast<size_t>(kStride * kStride));
        algCalcCovD(x.data(), N, L, kStride, R.data());
        for (int l = 0; l < L; ++l)
            for (int k = 0; k < L; ++k) {
                const cd want = 4.0 * std::polar(1.0, om * (l - k));
                EXPECT_NEAR(std::abs(R[static_cast<size_t>(l * kStride + k)] - want), 0.0, 1e-12);
            }
    }
}

TEST(MusicRoots, SignalRootAngleAndLimits) {
    // Falling phase gives a negative angle; magnitudes are capped below 1.
    for (double om : {0.05, 0.4, 1.2, 2.5}) {
        std::vector<TarnCplxD> x(72);
        std::mt19937 rng(9);
        std::normal_distribution<double> n(0.0, 1e-3);
        for (int k = 0; k < 72; ++k) x[static_cast<size_t>(k)] = std::polar(1.0, -om * k) + cd(n(rng), n(rng));
        TarnCplxD R[kStride * kStride];
        algCalcCovD(x.data(), 72, 13, kStride, R);
        double freq[1];
        double mag[1];
        ASSERT_EQ(algRootMusicFreq(R, 1, 13, kStride, freq, mag), 1);
        EXPECT_NEAR(freq[0], -om, 1e-4);
        EXPECT_LE(mag[0], static_cast<double>(0.999999f));
        EXPECT_GT(mag[0], 0.99);
    }
    // No noise subspace (p >= L) or p < 1: no roots; missing entries zeroed.
    TarnCplxD R[kStride * kStride] = {};
    for (int l = 0; l < 4; ++l) R[l * kStride + l] = 1.0;
    double freq[5] = {9, 9, 9, 9, 9};
    double mag[5] = {9, 9, 9, 9, 9};
    EXPECT_EQ(algRootMusicFreq(R, 4, 4, kStride, freq, mag), 0);
    EXPECT_EQ(freq[3], 0.0);
    EXPECT_EQ(mag[3], 0.0);
    EXPECT_EQ(freq[4], 9.0);
    EXPECT_EQ(algRootMusicFreq(R, 0, 4, kStride, freq, mag), 0);
    EXPECT_EQ(algRootMusicFreq(R, 2, 29, kStride, freq, mag), 0);
}

// The fast route against the general-solver route on random data
// covariances and simulated multipath tones at every size the options allow.
// Where the noise subspace is well defined (at least two noise vectors and a
// full-rank covariance, 2(N-L+1) >= L) both give the same roots in the same
// order, angles and magnitudes within 1e-9.
TEST(MusicRoutes, RootsAgreeOnRandomAndSimulatedInputs) {
    std::mt19937 rng(21);
    std::normal_distribution<double> n(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    int compared = 0;
    for (int trial = 0; trial < 200; ++trial) {
        const int L = 2 + trial % 27;
        const int N = L + (L + 1) / 2 + trial % 40;
        std::vector<TarnCplxD> x(static_cast<size_t>(N));
        if (trial % 2 == 0) {
            for (auto &v : x) v = cd(n(rng), n(rng));
        } else {
            const double d = 0.5 + 60.0 * u(rng);
            const double step = 2 * kPi * 1e6 / 299700000.0;
            for (int k = 0; k < N; ++k) {
                x[static_cast<size_t>(k)] = std::polar(1.0, -step * d * k) +
                                            std::polar(0.7, -step * (d + 3.0) * k + 1.0) +
                                            0.01 * cd(n(rng), n(rng));
            }
        }
        TarnCplxD R[kStride * kStride];
        algCalcCovD(x.data(), N, L, kStride, R);
        for (int p = 1; p <= L - 2; p += 1 + L / 6) {
            double ff[kStride], fm[kStride], rf[kStride], rm[kStride];
            const int cf = tarn_compat::rootMusicFreq(R, p, L, kStride, ff, fm, MusicRoute::kFast);
            const int cr = tarn_compat::rootMusicFreq(R, p, L, kStride, rf, rm, MusicRoute::kReference);
            ASSERT_EQ(cf, cr) << "trial " << trial << " L " << L << " p " << p;
            for (int k = 0; k < cf; ++k) {
                EXPECT_NEAR(ff[k], rf[k], 1e-9 * std::max(1.0, std::fabs(rf[k])))
                    << "trial " << trial << " L " << L << " p " << p << " k " << k;
                EXPECT_NEAR(fm[k], rm[k], 1e-9) << "trial " << trial << " L " << L << " p " << p;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 400);
}

// With a single noise vector (p = L - 1) the forward-backward covariance's
// conjugate-symmetric eigenvectors make every root of the polynomial a double
// root, which any two solvers place only to about 1e-8; which copies come
// first is decided by rounding. The estimator meets this only in the
// bound-setting order-1 run (L = 2), whose one root both routes agree on.
TEST(MusicRoutes, SingleNoiseVectorRootAgrees) {
    std::mt19937 rng(8);
    std::normal_distribution<double> n(0.0, 1.0);
    for (int trial = 0; trial < 60; ++trial) {
        const int N = 10 + trial;
        std::vector<TarnCplxD> x(static_cast<size_t>(N));
        for (auto &v : x) v = cd(n(rng), n(rng));
        TarnCplxD R[kStride * kStride];
        algCalcCovD(x.data(), N, 2, kStride, R);
        double ff[1], fm[1], rf[1], rm[1];
        ASSERT_EQ(tarn_compat::rootMusicFreq(R, 1, 2, kStride, ff, fm, MusicRoute::kFast), 1);
        ASSERT_EQ(tarn_compat::rootMusicFreq(R, 1, 2, kStride, rf, rm, MusicRoute::kReference), 1);
        EXPECT_NEAR(ff[0], rf[0], 1e-7) << "trial " << trial;
        EXPECT_NEAR(fm[0], rm[0], 1e-7) << "trial " << trial;
    }
}

// Trial `trial` of the random 4-path, two-ray procedures the estimate
// comparisons run on (both selection modes, two priors).
Inputs twoRayTrial(std::mt19937 &rng, int trial) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    tarn_test::ToneSetup s = singlePath(0.5 + 50 * u(rng), 4);
    s.rays = {{0.0, 1.0, 0.0}, {2.0 + 6 * u(rng), 0.3 + u(rng), 6.0 * u(rng)}};
    for (int j = 0; j < 4; ++j) s.pathExtraM[j] = 0.2 * j;
    Inputs in(s, 1.0, 0.003 + 0.05 * u(rng), static_cast<unsigned>(trial));
    in.opts.useChannelCenterForBoundMusicEst = static_cast<uint8_t>(trial % 2);
    in.opts.pctPrior = trial % 3 == 0 ? 3 : 5;
    return in;
}

// Same flags and confidences in every slot of the 4 paths, distances within
// 1e-9 of want's, relative to at least 1000.
void expectSameEstimates(const MusicResult &got, const MusicResult &want, int trial) {
    for (int j = 0; j < TARN_MUSIC_SLOTS; ++j)
        for (int i = 0; i < 4; ++i) {
            ASSERT_EQ(got.valid[j][i], want.valid[j][i]) << trial << " " << j << " " << i;
            EXPECT_EQ(got.conf[j][i], want.conf[j][i]) << trial << " " << j << " " << i;
            const double w = want.dest[j][i];
            EXPECT_NEAR(got.dest[j][i], w, 1e-9 * std::max(1000.0, std::fabs(w)));
        }
}

TEST(MusicRoutes, EstimatesAgree) {
    // Whole estimates on both routes: same flags and confidences, distances
    // within 1e-9 relative (1e-9 m floor), for both selection modes.
    std::mt19937 rng(4);
    for (int trial = 0; trial < 24; ++trial) {
        Inputs fast = twoRayTrial(rng, trial);
        Inputs ref = fast;
        fast.run(4, true, MusicRoute::kFast);
        ref.run(4, true, MusicRoute::kReference);
        ASSERT_NO_FATAL_FAILURE(expectSameEstimates(fast.music, ref.music, trial));
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR(fast.music.musicStd[i], ref.music.musicStd[i],
                        1e-6 * std::max(1.0, ref.music.musicStd[i]));
    }
}

TEST(MusicRoutes, WarmStartedRootsGiveTheColdStartsEstimates) {
    // Each order's root iteration starts from the previous order's roots;
    // started cold instead (the route-comparison cases above), every flag
    // and confidence is the same and distances agree within 1e-9 relative.
    std::mt19937 rng(4);
    static tarn_rtp::MusicWorkspace ws;
    for (int trial = 0; trial < 24; ++trial) {
        Inputs warm = twoRayTrial(rng, trial);
        Inputs cold = warm;
        warm.run(4);
        ws.coldRoots = true;
        cold.runIn(&ws, 4);
        ASSERT_NO_FATAL_FAILURE(expectSameEstimates(warm.music, cold.music, trial));
    }
}

TEST(MusicRoutes, CallerWorkspaceCarriesNothingOver) {
    // A caller-owned workspace gives the default workspace's results, also
    // after another procedure (other gaps, channel count and orders) ran in it.
    tarn_test::ToneSetup a = singlePath(6.0, 4);
    a.rays = {{0.0, 1.0, 0.0}, {3.0, 0.6, 1.0}};
    Inputs first(a, 1.0, 0.01, 2);
    Inputs other(singlePath(30.0, 2), 0.0, 0.05, 9);
    for (int k = 0; k < TARN_NUM_CHANNELS; k += 3) other.proc.gmap[k][1] = 0;
    other.opts.useChannelCenterForBoundMusicEst = 0;
    Inputs again = first;
    first.run(4);
    static tarn_rtp::MusicWorkspace ws;
    other.runIn(&ws, 2);
    again.runIn(&ws, 4);
    EXPECT_EQ(std::memcmp(&first.music, &again.music, sizeof first.music), 0);
    EXPECT_EQ(again.music.valid[0][0], 1);
}

TEST(MusicEstimate, SinglePathDistanceAtHighSnr) {
    // Every valid order slot holds prior + d + calDistOffset within 1 cm, on
    // every antenna path. Without the channel-centre bounds every order is
    // valid. With them the lower bound sits lowerBoundCoef x |order 1 -
    // order 2| below order 2, a fraction of a millimetre when both agree, so
    // a higher order that lands a hair lower is dropped; order 2 always stays.
    for (int centre = 0; centre <= 1; ++centre) {
        for (double d : {0.5, 1.0, 3.0, 10.0, 25.0, 45.0, 60.0}) {
            SCOPED_TRACE(testing::Message() << "d " << d << " centre " << centre);
            tarn_test::ToneSetup s = singlePath(d, 4);
            for (int j = 0; j < 4; ++j) s.pathExtraM[j] = 0.1 * j;
            Inputs in(s, 2.0, 0.003);
            in.opts.calDistOffset = 0.25;
            in.opts.useChannelCenterForBoundMusicEst = static_cast<uint8_t>(centre);
            in.run(4);
            for (int i = 0; i < 4; ++i) {
                const double want = (2.0 + d + 0.1 * i + 0.25) * 1000.0;
                ASSERT_EQ(in.music.valid[0][i], 1) << "path " << i;
                for (int j = 0; j < 6; ++j) {
                    if (centre) {
                        if (in.music.valid[j][i] == 0) continue;
                    } else {
                        ASSERT_EQ(in.music.valid[j][i], 1) << "slot " << j << " path " << i;
                    }
                    EXPECT_NEAR(in.music.dest[j][i], want, 10.0) << "slot " << j << " path " << i;
                    EXPECT_GE(in.music.conf[j][i], 1.0);
                    EXPECT_LE(in.music.conf[j][i], 100.0);
                }
                EXPECT_LT(in.music.musicStd[i], 10.0);
            }
        }
    }
}

TEST(MusicEstimate, WeakerDirectPathBeforeStrongerReflection) {
    // Direct path at 5 m with amplitude a, a reflection 3 m longer with
    // amplitude 1. From a = 0.5 up the direct path is chosen at every order;
    // at a = 0.3 the higher orders follow the reflection (see below).
    for (double amp : {0.5, 0.7, 0.9}) {
        for (int seed = 1; seed <= 6; ++seed) {
            SCOPED_TRACE(testing::Message() << "amp " << amp << " seed " << seed);
            tarn_test::ToneSetup s = singlePath(5.0);
            s.rays = {{0.0, amp, 0.0}, {3.0, 1.0, 0.7 * seed}};
            Inputs in(s, 0.0, 0.003, static_cast<unsigned>(seed));
            in.pdest[0] = 6500.0;  // a phase slope between both paths
            in.run(1);
            for (int j = 0; j < 6; ++j) {
                ASSERT_EQ(in.music.valid[j][0], 1) << "slot " << j;
                EXPECT_NEAR(in.music.dest[j][0], 5000.0, 100.0) << "slot " << j;
            }
        }
    }
}

TEST(MusicEstimate, SlotLayoutOfTheSevenOrderOverride) {
    // With the channel-centre bounds the call runs orders {1,2,4,6,7,8,9} and
    // shifts the order-1 run out: slots 0..5 hold orders 2..9 exactly as a
    // plain run of the 6 default orders gives them (the alternative selection
    // has no cross-order filters), slot 6 keeps order 9. The pipeline's call
    // only reads the options; the exported one leaves the 6-order defaults
    // in them whatever was installed.
    tarn_test::ToneSetup s = singlePath(7.0, 2);
    s.rays = {{0.0, 1.0, 0.0}, {4.0, 0.5, 1.0}};
    Inputs centre(s, 1.0, 0.01);
    centre.opts.pctPrior = 3;
    centre.opts.useChannelCenterForBoundMusicEst = 1;
    centre.opts.muOrdSetLen = 3;  // the calibration sets
    const uint8_t cal[3] = {2, 4, 6};
    const uint8_t calCov[3] = {4, 8, 12};
    std::memcpy(centre.opts.muOrdSet, cal, 3);
    std::memcpy(centre.opts.muCovSet, calCov, 3);
    centre.opts.muCovSetLen = 3;
    Inputs plain = centre;
    plain.opts = constOpts;
    plain.opts.pctPrior = 3;
    plain.opts.useChannelCenterForBoundMusicEst = 0;
    Inputs exported = centre;
    centre.run(2);
    plain.run(2);
    EXPECT_EQ(centre.opts.muOrdSetLen, 3);
    EXPECT_EQ(std::memcmp(centre.opts.muOrdSet, cal, 3), 0);
    algEstWithMusic(&exported.pres, &exported.raw, &exported.proc, &exported.opts, 2, &exported.music,
                    exported.pdest, true);
    EXPECT_EQ(std::memcmp(&exported.music, &centre.music, sizeof exported.music), 0);
    const uint8_t orders[6] = {2, 4, 6, 7, 8, 9};
    const uint8_t covs[6] = {4, 8, 12, 14, 16, 18};
    EXPECT_EQ(exported.opts.muOrdSetLen, 6);
    EXPECT_EQ(exported.opts.muCovSetLen, 6);
    EXPECT_EQ(std::memcmp(exported.opts.muOrdSet, orders, 6), 0);
    EXPECT_EQ(std::memcmp(exported.opts.muCovSet, covs, 6), 0);
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 6; ++j) {
            ASSERT_EQ(centre.music.valid[j][i], plain.music.valid[j][i]) << j;
            EXPECT_EQ(centre.music.dest[j][i], plain.music.dest[j][i]) << j;
            EXPECT_EQ(centre.music.conf[j][i], plain.music.conf[j][i]) << j;
            EXPECT_EQ(plain.music.valid[j][i], 1);
        }
        EXPECT_EQ(centre.music.valid[6][i], centre.music.valid[5][i]);
        EXPECT_EQ(centre.music.dest[6][i], centre.music.dest[5][i]);
        EXPECT_EQ(centre.music.conf[6][i], centre.music.conf[5][i]);
        EXPECT_EQ(plain.music.dest[6][i], 0.0);  // a 6-order run leaves slot 6 alone
        EXPECT_EQ(centre.music.dest[7][i], 0.0);
    }
    // The alternative selection truncates to 0.1 mm and rounds with quant 1.
    Inputs q = plain;
    q.opts.quant = 1;
    q.run(2);
    for (int j = 0; j < 6; ++j) EXPECT_EQ(q.music.dest[j][0], std::round(plain.music.dest[j][0]));
    EXPECT_NEAR(plain.music.dest[0][0], 8000.0, 50.0);
}

TEST(MusicEstimate, SingleCovarianceSizeForAllOrders) {
    // muCovSetLen 1: every order uses the one size; equal to listing it.
    tarn_test::ToneSetup s = singlePath(12.0);
    Inputs one(s, 0.0, 0.01);
    one.opts.useChannelCenterForBoundMusicEst = 0;
    one.opts.pctPrior = 3;
    one.opts.muOrdSetLen = 3;
    one.opts.muCovSetLen = 1;
    one.opts.muCovSet[0] = 8;
    Inputs listed = one;
    listed.opts.muCovSetLen = 3;
    listed.opts.muCovSet[1] = listed.opts.muCovSet[2] = 8;
    one.run(1);
    listed.run(1);
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(one.music.valid[j][0], 1);
        EXPECT_EQ(one.music.dest[j][0], listed.music.dest[j][0]);
    }
}

TEST(MusicEstimate, SlotsWithoutDistance) {
    tarn_test::ToneSetup s = singlePath(4.0, 3);
    // Path 1 has 12 channels, path 2 only 9.
    Inputs in(s, 0.0, 0.01);
    for (int k = 0; k < TARN_NUM_CHANNELS; ++k) {
        if (k >= 14) in.proc.gmap[k][1] = 0;
        if (k >= 11) in.proc.gmap[k][2] = 0;
    }
    in.opts.useChannelCenterForBoundMusicEst = 0;
    in.opts.muOrdSetLen = 5;
    const uint8_t orders[5] = {2, 12, 9, 3, 2};
    const uint8_t covs[5] = {4, 8, 8, 12, 11};
    std::memcpy(in.opts.muOrdSet, orders, 5);
    std::memcpy(in.opts.muCovSet, covs, 5);
    in.opts.muCovSetLen = 5;
    in.run(3);
    // Order above L (12 > 9) and order equal to L (9 = 9): no distance.
    expectNoDistance(in.music, 1, 0);
    expectNoDistance(in.music, 2, 0);
    EXPECT_EQ(in.music.valid[0][0], 1);
    EXPECT_EQ(in.music.valid[3][0], 1);
    // 12 channels: covariance size 12 or 11 needs more than M channels.
    EXPECT_EQ(in.music.valid[0][1], 1);
    expectNoDistance(in.music, 3, 1);
    EXPECT_EQ(in.music.valid[4][1], 1);
    // 9 channels: no MUSIC distances at all.
    for (int j = 0; j < 5; ++j) expectNoDistance(in.music, j, 2);
    EXPECT_EQ(in.music.musicStd[2], kNoDist);
    // An order of 0 ends the order loop; later slots stay as given.
    in.opts.muOrdSet[2] = 0;
    in.run(1);
    EXPECT_EQ(in.music.valid[1][0], 0);
    EXPECT_EQ(in.music.dest[2][0], 0.0);
    EXPECT_EQ(in.music.conf[3][0], 0.0);
}

TEST(MusicEstimate, FailedOrderTwoRunClosesThePath) {
    // A phase-slope distance 100 m beyond the tones puts the lower bound
    // above every order-2 candidate: all orders of that path are invalid,
    // while the next path, with its own bounds, keeps all of its orders.
    tarn_test::ToneSetup s = singlePath(5.0, 2);
    Inputs in(s, 0.0, 0.003);
    in.pdest[0] = 105000.0;
    in.opts.phaseMusicFilter = 0;
    in.run(2);
    for (int j = 0; j < 6; ++j) {
        expectNoDistance(in.music, j, 0);
        EXPECT_EQ(in.music.valid[j][1], 1);
        EXPECT_NEAR(in.music.dest[j][1], 5000.0, 10.0);
    }
    EXPECT_EQ(in.music.musicStd[0], kNoDist);
}

TEST(MusicEstimate, NegativeDistanceRule) {
    // A prior of -5 m puts every candidate near -1 m.
    tarn_test::ToneSetup s = singlePath(4.0);
    for (int discard = 0; discard <= 1; ++discard) {
        for (int centre = 0; centre <= 1; ++centre) {
            SCOPED_TRACE(testing::Message() << "discard " << discard << " centre " << centre);
            Inputs in(s, -5.0, 0.003);
            in.pdest[0] = -1000.0;
            in.opts.muOffset = -100.0;
            in.opts.discardNegativeMusicValues = static_cast<uint8_t>(discard);
            in.opts.useChannelCenterForBoundMusicEst = static_cast<uint8_t>(centre);
            in.run(1);
            for (int j = 0; j < 6; ++j) {
                EXPECT_EQ(in.music.valid[j][0], 1) << j;
                if (discard)
                    EXPECT_EQ(in.music.dest[j][0], 0.0) << j;
                else
                    EXPECT_NEAR(in.music.dest[j][0], -1000.0, 10.0) << j;
            }
        }
    }
    // Positive distances are left alone by the rule.
    Inputs pos(s, 0.0, 0.003);
    pos.run(1);
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(pos.music.dest[j][0], 4000.0, 10.0);
}

TEST(MusicEstimate, HostileOptionsStayInBounds) {
    // Oversized order and covariance sets, extreme values in every field the
    // estimator reads: outputs stay inside the 7 order slots and are well
    // formed (the sanitizer run checks the memory side).
    std::mt19937 rng(77);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int trial = 0; trial < 60; ++trial) {
        tarn_test::ToneSetup s = singlePath(1.0 + 40 * u(rng), 4);
        s.rays = {{0.0, 1.0, 0.0}, {3.0, 0.8, 2.0}};
        Inputs in(s, 10 * u(rng) - 5, 0.05);
        ConfigOpts &o = in.opts;
        o.muOrdSetLen = static_cast<uint8_t>(byte(rng));
        o.muCovSetLen = static_cast<uint8_t>(byte(rng));
        for (int j = 0; j < TARN_MU_ORD_SET_MAX; ++j) {
            o.muOrdSet[j] = static_cast<uint8_t>(trial % 3 ? byte(rng) % 30 : byte(rng));
            o.muCovSet[j] = static_cast<uint8_t>(trial % 4 ? byte(rng) % 30 : byte(rng));
        }
        o.useChannelCenterForBoundMusicEst = static_cast<uint8_t>(trial % 5 == 4 ? byte(rng) : trial % 2);
        o.pctPrior = static_cast<uint8_t>(trial % 3 == 0 ? byte(rng) : 5);
        o.muMagThr = u(rng);
        o.muMaxEigs = 3 * u(rng);
        o.priorProximityMusicFilter = static_cast<uint8_t>(trial % 2);
        in.pres.valid = 1;
        in.pres.dest = 5000;
        // Gaps and a repeated channel index in the channel list.
        for (int k = 0; k < TARN_NUM_CHANNELS; ++k)
            if (byte(rng) < 30) in.proc.gmap[k][trial % 4] = 0;
        if (trial % 7 == 0) in.proc.chanList[3] = in.proc.chanList[2];
        in.run(trial % 9 == 0 ? 100 : 4);
        for (int j = 0; j < TARN_MUSIC_SLOTS; ++j)
            for (int i = 0; i < 4; ++i) {
                if (j >= 7) {
                    EXPECT_EQ(in.music.valid[j][i], 0);
                    EXPECT_EQ(in.music.dest[j][i], 0.0);
                    continue;
                }
                EXPECT_LE(in.music.valid[j][i], 1);
                if (in.music.valid[j][i] == 1) {
                    EXPECT_TRUE(std::isfinite(in.music.dest[j][i]));
                }
            }
        EXPECT_LE(in.opts.muOrdSetLen, 255);
    }
}

}  // namespace
