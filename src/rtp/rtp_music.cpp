// MUSIC estimator: forward-backward covariance, root-MUSIC and the per-order
// selection of one distance per antenna path.
#include "rtp/rtp_music.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "math/eigen_fast.h"
#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

using namespace tarn_rtp;

namespace {

using cd = std::complex<double>;

constexpr int kStride = TARN_MUSIC_COV_STRIDE;
constexpr int kMaxL = TARN_MUSIC_COV_STRIDE;
constexpr int kMaxRoots = 2 * kMaxL - 2;
constexpr double kNoDist = 2147483647.0;
// Roots up to single-precision 1.000001 count as inside the unit circle;
// magnitudes are capped at single-precision 0.999999 so that log10(1 - mag)
// stays finite.
const double kRootKeep = static_cast<double>(1.000001f);
const double kMagCap = static_cast<double>(0.999999f);
// Fewest usable channels for a distance (the phase-slope estimator's limit).
constexpr int kMinChannels = 10;

// Clears freq/mag from `from` up to p and returns `from`.
int finishRoots(int from, int p, double *freq, double *mag) {
    for (int k = from; k < p; ++k) {
        freq[k] = 0.0;
        mag[k] = 0.0;
    }
    return from;
}

// Steps shared by both routes once the polynomial roots are known (in
// ascending magnitude): keep those inside the circle, drop exact duplicates,
// closest to the unit circle first, angle and capped magnitude of the first p.
int pickRoots(const cd *roots, int m, int p, double *freq, double *mag) {
    cd kept[kMaxRoots];
    int nk = 0;
    for (int r = 0; r < m && r < kMaxRoots; ++r) {
        const cd z = roots[r];
        if (!(std::abs(z) <= kRootKeep)) continue;
        bool dup = false;
        for (int q = 0; q < nk && !dup; ++q) dup = kept[q].real() == z.real() && kept[q].imag() == z.imag();
        if (!dup) kept[nk++] = z;
    }
    double key[kMaxRoots] = {};
    double sorted[kMaxRoots];
    uint8_t order[kMaxRoots];
    for (int q = 0; q < nk; ++q) key[q] = std::fabs(std::abs(kept[q]) - 1.0);
    aaMathSortVectorAndGetOrderDouble(key, nk, sorted, order, 0);
    const int count = std::min(p, nk);
    for (int k = 0; k < count; ++k) {
        const cd z = kept[order[k]];
        freq[k] = std::atan2(z.imag(), z.real());
        mag[k] = std::min(std::abs(z), kMagCap);
    }
    return finishRoots(count, p, freq, mag);
}

// Adds the noise vector's polynomial to coef: the row-reversed vector w
// convolved with conj(w) in reversed order, i.e. coef[n] += sum over k of
// w[k] conj(w[L-1-(n-k)]) (2L-1 coefficients).
void addNoisePoly(const cd *w, int L, cd *coef) {
    for (int n = 0; n < 2 * L - 1; ++n) {
        cd acc(0.0, 0.0);
        const int lo = std::max(0, n + 1 - L);
        const int hi = std::min(n + 1, L);
        for (int k = lo; k < hi; ++k) acc += w[k] * std::conj(w[L - 1 - (n - k)]);
        coef[n] += acc;
    }
}

int rootMusicFast(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag) {
    double values[kMaxL];
    cd vectors[kMaxL * kMaxL];
    if (!tarn_math::hermitianEigen(R, L, stride, values, vectors)) return finishRoots(0, p, freq, mag);
    // Ascending eigenvalues: the first L - p eigenvectors span the noise subspace.
    cd coef[2 * kMaxL - 1] = {};
    cd w[kMaxL];
    for (int c = 0; c < L - p; ++c) {
        for (int i = 0; i < L; ++i) w[i] = vectors[(L - 1 - i) * L + c];
        addNoisePoly(w, L, coef);
    }
    cd roots[kMaxRoots];
    const int m = tarn_math::polyRootsFast(coef, 2 * L - 1, roots);
    return pickRoots(roots, m, p, freq, mag);
}

// The general route through the exported toolkit, eigenvectors included.
int rootMusicReference(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag) {
    std::vector<cd> values(static_cast<size_t>(L));
    std::vector<cd> vectors(static_cast<size_t>(L) * L);
    std::vector<cd> swapped(static_cast<size_t>(L) * L);
    aaMathCalcEigenIf(R, L, stride, values.data(), vectors.data());
    aaMathMatSwapRows(vectors.data(), L, L, swapped.data());
    double re[kMaxL];
    double sorted[kMaxL];
    uint8_t order[kMaxL];
    for (int k = 0; k < L; ++k) re[k] = values[static_cast<size_t>(k)].real();
    aaMathSortVectorAndGetOrderDouble(re, L, sorted, order, 1);
    std::vector<cd> coef(static_cast<size_t>(2 * L - 1), cd(0.0, 0.0));
    std::vector<cd> conv(static_cast<size_t>(2 * L - 1));
    cd v[kMaxL];
    cd b[kMaxL];
    for (int c = p; c < L; ++c) {
        aaMathMatGetColsToVector(swapped.data(), order[c], order[c] + 1, L, v);
        for (int k = 0; k < L; ++k) b[k] = std::conj(v[L - 1 - k]);
        const int n = aaMathMatCalcConv(v, b, L, 1, L, 1, conv.data());
        for (int k = 0; k < n; ++k) coef[static_cast<size_t>(k)] += conv[static_cast<size_t>(k)];
    }
    // Companion matrix read column by column: column 0 holds the negated
    // normalised coefficients, column k a one in row k-1.
    const int m = 2 * L - 2;
    std::vector<cd> companion(static_cast<size_t>(m) * m, cd(0.0, 0.0));
    for (int k = 0; k < m; ++k) {
        TarnCplxD q;
        aaMathCalcCplxDiv(&q, coef[static_cast<size_t>(k + 1)], coef[0]);
        if (!std::isfinite(q.real()) || !std::isfinite(q.imag())) return finishRoots(0, p, freq, mag);
        companion[static_cast<size_t>(k)] = -q;
    }
    for (int k = 1; k < m; ++k) companion[static_cast<size_t>(k) * m + (k - 1)] = 1.0;
    std::vector<cd> roots(static_cast<size_t>(m));
    std::vector<cd> scratch(static_cast<size_t>(m) * m);
    aaMathCalcEigenIf(companion.data(), m, m, roots.data(), scratch.data());
    return pickRoots(roots.data(), m, p, freq, mag);
}

// Per-path state of the order loop.
struct PathState {
    double upper = kNoDist;   // S: channel-centre upper bound
    double lower = -kNoDist;  // V: channel-centre lower bound
    double lowest = 0.0;      // U: distance of the lowest order
    double first = 0.0;       // o0: distance of the bound-setting order-1 run
    double list[kMusicMaxOrders];
    int listLen = 0;
    int positive = 0;
    int negative = 0;
};

void setNoDistance(MusicResult *music, int j, int i) {
    music->valid[j][i] = 0;
    music->dest[j][i] = kNoDist;
    music->conf[j][i] = -1.0;
}

double musicConf(const ConfigOpts *opts, double mag, uint8_t gconf) {
    const double lm = std::max(-std::log10(1.0 - mag), 0.0);
    const double c = std::min(std::max(opts->muConfFac[0] * lm, 1.0), 100.0);
    const float g = static_cast<float>(gconf) / 100.0f;
    return std::round(c * static_cast<double>(g));
}

const uint8_t kCentreOrders[kMusicMaxOrders] = {1, 2, 4, 6, 7, 8, 9};
const uint8_t kCentreCov[kMusicMaxOrders] = {1, 4, 8, 12, 14, 16, 18};
const uint8_t kDefaultOrders[6] = {2, 4, 6, 7, 8, 9};
const uint8_t kDefaultCov[6] = {4, 8, 12, 14, 16, 18};

}  // namespace

namespace tarn_rtp {

int rootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                  MusicRoute route) {
    DEBUG_LOG(4, kStageEnter, "algRootMusicFreq");
    if (p < 1) return 0;
    if (L > kMaxL || p >= L || stride < L) return finishRoots(0, p, freq, mag);
    return route == MusicRoute::kFast ? rootMusicFast(R, p, L, stride, freq, mag)
                                      : rootMusicReference(R, p, L, stride, freq, mag);
}

void estWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                  ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest, bool reset,
                  MusicRoute route) {
    const int nap = clampPaths(NAP);
    DEBUG_LOG(4, kStageEnter, "algEstWithMusic");
    DEBUG_LOG(4, "pres->time %lf , valid %d", pres->time, pres->valid);
    const bool centre = opts->useChannelCenterForBoundMusicEst == 1;
    const bool centreOff = opts->useChannelCenterForBoundMusicEst == 0;
    if (centre) {
        opts->muOrdSetLen = kMusicMaxOrders;
        opts->muCovSetLen = kMusicMaxOrders;
        std::memcpy(opts->muOrdSet, kCentreOrders, sizeof kCentreOrders);
        std::memcpy(opts->muCovSet, kCentreCov, sizeof kCentreCov);
    }
    const double sf = opts->distSF;
    double phaseDist[kPaths];
    for (int i = 0; i < nap; ++i) phaseDist[i] = pdest[i] / sf;

    // Option sizes come from a record the host may install: clamp at use.
    const int ordLen = std::min<int>(opts->muOrdSetLen, kMusicMaxOrders);
    int cov[kMusicMaxOrders] = {};
    const int covLen = opts->muCovSetLen;
    for (int j = 0; j < kMusicMaxOrders; ++j) {
        if (covLen == 1)
            cov[j] = opts->muCovSet[0];
        else if (covLen >= 2 && j < covLen)
            cov[j] = opts->muCovSet[j];
        cov[j] = std::min(cov[j], kMusicMaxCov);
    }

    PathState state[kPaths];
    cd x[kChannels];
    TarnCplxD R[kMaxL * kStride];
    for (int i = 0; i < nap; ++i) {
        PathState &ps = state[i];
        int chan[kChannels];
        int n = 0;
        for (int k = 0; k < kChannels; ++k) {
            if (procMeas->gmap[k][i] != 1) continue;
            chan[n] = procMeas->chanList[k];
            x[n] = procMeas->pct[k][i];
            ++n;
        }
        const int8_t step = n >= 2 ? static_cast<int8_t>(chan[1] - chan[0]) : 0;
        const bool usable = n >= kMinChannels && step != 0;
        if (!usable) DEBUG_LOG(2, "Music: too few channels on antenna path %d (%d)\n", i, n);
        const double a = usable ? opts->sol / step / 1e6 * 0.5 / kPi : 0.0;
        const double prior = rawMeas->prior;

        for (int j = 0; j < ordLen; ++j) {
            const int p = opts->muOrdSet[j];
            if (p == 0) break;
            music->valid[j][i] = 0;
            DEBUG_LOG(4, "\n muOrdSet[i]: %d \n", p);
            const int M = cov[j];
            const int L = M + 1;
            // No covariance (M >= N) or no noise subspace (L <= p): no distance.
            if (!usable || M >= n || L <= p) {
                setNoDistance(music, j, i);
                continue;
            }
            algCalcCovD(x, n, L, kStride, R);
            double freq[kMaxL];
            double mag[kMaxL];
            if (rootMusicFreq(R, p, L, kStride, freq, mag, route) < p) {
                DEBUG_LOG(2, "No valid distances found for Music order %d", p);
                setNoDistance(music, j, i);
                continue;
            }
            double d[kMaxL];
            double lm[kMaxL];
            double lmMax = -INFINITY;
            for (int k = 0; k < p; ++k) {
                d[k] = prior - a * freq[k] + opts->calDistOffset;
                DEBUG_LOG(4, "raw distances [%d] = %lf , freq %lf", k, d[k], freq[k]);
                lm[k] = -std::log10(1.0 - mag[k]);
                lmMax = std::max(lmMax, lm[k]);
            }
            const double thr = lmMax - opts->muMaxEigs;
            DEBUG_LOG(4, "max: %.15lf\n", lmMax);
            DEBUG_LOG(4, "max[%.15lf]\n", thr);
            bool keep[kMaxL];
            const bool keepAll = j == 0 && centre;
            for (int k = 0; k < p; ++k) {
                DEBUG_LOG(4, "lm[%d] %lf", k, lm[k]);
                keep[k] = keepAll || (lm[k] > thr && mag[k] > opts->muMagThr &&
                                      (opts->pctPrior == 3 || opts->pctPrior == 5 || freq[k] < 0));
                if (keep[k])
                    DEBUG_LOG(4, "lm based filtering valid %d", k);
                else
                    DEBUG_LOG(4, "lm based filtering Invalid %d , %lf , %lf , %d", k, mag[k],
                              opts->muMagThr, opts->pctPrior);
            }

            if (opts->pctPrior != 5) {
                // Alternative selection: the kept root of smallest |angle|.
                int best = -1;
                for (int k = 0; k < p; ++k) {
                    if (keep[k] && (best < 0 || std::fabs(freq[k]) < std::fabs(freq[best]))) best = k;
                }
                if (best < 0) {
                    setNoDistance(music, j, i);
                    continue;
                }
                music->valid[j][i] = 1;
                const double dist =
                    opts->calDistOffset + prior - std::floor(a * freq[best] * 10000.0) / 10000.0;
                music->dest[j][i] = std::max(dist, 0.0) * sf;
                music->conf[j][i] = musicConf(opts, mag[best], rawMeas->gconf[i]);
                if (opts->discardNegativeMusicValues == 1) {
                    if (music->dest[j][i] < 0) {
                        music->valid[j][i] = 0;
                        ++ps.negative;
                    }
                    ps.positive += music->valid[j][i];
                }
                if (opts->quant == 1) music->dest[j][i] = std::round(music->dest[j][i]);
                DEBUG_LOG(4, "Music dest[%d][%d] = %lf", j, i, music->dest[j][i]);
                continue;
            }

            // Main selection.
            if (opts->phaseMusicFilter == 1 && phaseDist[i] > opts->minPhaseBasedFilterPhaseDist &&
                !keepAll) {
                const double floorDist = phaseDist[i] * opts->phDistFrac - opts->phaseRotationOffset;
                for (int k = 0; k < p; ++k) {
                    if (!keep[k]) continue;
                    keep[k] = d[k] > floorDist;
                    if (keep[k])
                        DEBUG_LOG(4, "phaseMusicFilter valid %d", k);
                    else
                        DEBUG_LOG(4, "phaseMusicFilter Invalid %d , %lf , %d", k, d[k], j);
                }
            }
            if (centre && j >= 1) {
                DEBUG_LOG(2, "upperBoundDist %lf", ps.upper);
                DEBUG_LOG(2, "lowerBoundDist %lf", ps.lower);
                for (int k = 0; k < p; ++k) {
                    if (!keep[k]) continue;
                    keep[k] = ps.lower <= d[k] && d[k] <= ps.upper && d[k] >= opts->muOffset;
                    if (!keep[k]) DEBUG_LOG(4, "Distance not in channel center bonds %lf", d[k]);
                }
            } else if (centreOff) {
                const double delta = std::fabs(pres->dest / sf - ps.lowest);
                DEBUG_LOG(2, "distDelta %lf , %lf ,  %lf , %lf", delta, pres->dest, ps.lowest,
                          music->dest[0][i]);
                const bool slot0 = music->valid[0][i] == 1 ||
                                   (music->valid[0][i] == 0 && music->dest[0][i] != kNoDist);
                if (j >= 1 && opts->smallerMusicOrderFilterOffsetLower != 0 &&
                    (reset || delta <= opts->fiMaxDelta) && slot0) {
                    for (int k = 0; k < p; ++k) {
                        if (!keep[k]) continue;
                        keep[k] = ps.lowest - opts->smallerMusicOrderFilterOffsetLower < d[k] &&
                                  d[k] < ps.lowest + opts->smallerMusicOrderFilterOffsetUpper;
                        if (keep[k])
                            DEBUG_LOG(4, "Distance closer to lowest Music order  %d", k);
                        else
                            DEBUG_LOG(4, "Distance far from lowest Music order  %lf , %lf", d[k],
                                      ps.lowest);
                    }
                }
                for (int k = 0; k < p; ++k) {
                    if (!keep[k]) continue;
                    keep[k] = d[k] >= opts->muOffset;
                    if (keep[k])
                        DEBUG_LOG(4, "muOffset based filtering valid %d", k);
                    else
                        DEBUG_LOG(4, "muOffset based filtering invalid %d", k);
                }
            }
            int survivors = 0;
            double mx = -INFINITY;
            for (int k = 0; k < p; ++k) {
                if (!keep[k]) continue;
                ++survivors;
                mx = std::max(mx, d[k]);
            }
            if (survivors == 0) {
                // A failed order-2 run closes the bounds for the rest of the path.
                if (centre && j == 1) ps.upper = -kNoDist;
                DEBUG_LOG(2, "No valid distances found for Music order %d", p);
                setNoDistance(music, j, i);
            } else {
                if (centre && j == 1) {
                    DEBUG_LOG(2,
                              "opts->smallerMusicOrderFilterOffsetUpper %lf , %lf , max %lf , "
                              "opts->lowerBoundCoef %lf",
                              opts->smallerMusicOrderFilterOffsetUpper,
                              opts->smallerMusicOrderFilterOffsetLower, mx, opts->lowerBoundCoef);
                    ps.upper = std::min(ps.upper, mx + opts->smallerMusicOrderFilterOffsetUpper);
                    ps.lower = std::max({mx - opts->lowerBoundCoef * std::fabs(ps.first - mx),
                                         mx - opts->smallerMusicOrderFilterOffsetLower, ps.lower});
                }
                const bool proximity = opts->priorProximityMusicFilter == 1 && pres->valid == 1;
                const double ref = pres->dest / sf;
                int best = -1;
                for (int k = 0; k < p; ++k) {
                    if (!keep[k]) continue;
                    const double key = proximity ? std::fabs(d[k] - ref) : d[k];
                    const double bestKey = best < 0 ? 0.0 : (proximity ? std::fabs(d[best] - ref) : d[best]);
                    if (best < 0 || key < bestKey) best = k;
                }
                DEBUG_LOG(4, "idxMin %d", best);
                const double o = d[best];
                if (j == 0) {
                    if (centre) {
                        ps.first = o;
                        ps.upper = o + opts->chanCenterUBOffset;
                        ps.lower = phaseDist[i] - opts->chanCenterLBOffset;
                    } else {
                        ps.lowest = o;
                    }
                }
                music->dest[j][i] = o * sf;
                music->conf[j][i] = musicConf(opts, mag[best], rawMeas->gconf[i]);
                music->valid[j][i] = 1;
                if ((centre && j >= 1) || centreOff) ps.list[ps.listLen++] = music->dest[j][i];
            }
            if (opts->discardNegativeMusicValues == 1) {
                if (music->dest[j][i] < 0) {
                    ++ps.negative;
                    music->valid[j][i] = 0;
                }
                if ((centre && j >= 1) || centreOff) ps.positive += music->valid[j][i];
                DEBUG_LOG(2, "Music dest[%d][%d] = %lf, %d", j, i, music->dest[j][i],
                          music->valid[j][i]);
            }
        }
        music->musicStd[i] = ps.listLen > 0 ? aaMathCalcStd(ps.list, ps.listLen) : kNoDist;
        DEBUG_LOG(2, " music std %lf", music->musicStd[i]);
    }

    if (centre) {
        opts->muOrdSetLen = 6;
        opts->muCovSetLen = 6;
        std::memcpy(opts->muOrdSet, kDefaultOrders, sizeof kDefaultOrders);
        std::memcpy(opts->muCovSet, kDefaultCov, sizeof kDefaultCov);
        // The bound-setting order-1 run leaves the output.
        for (int i = 0; i < nap; ++i) {
            for (int j = 0; j + 1 < kMusicMaxOrders; ++j) {
                music->valid[j][i] = music->valid[j + 1][i];
                music->dest[j][i] = music->dest[j + 1][i];
                music->conf[j][i] = music->conf[j + 1][i];
            }
        }
    }
    const int used = std::min<int>(opts->muOrdSetLen, kMusicMaxOrders);
    for (int i = 0; i < nap; ++i) {
        DEBUG_LOG(2, " numPositiveDistances[n]  %d", state[i].positive);
        if (state[i].positive == 0 && opts->discardNegativeMusicValues == 1 && state[i].negative != 0) {
            for (int j = 0; j < used; ++j) {
                music->dest[j][i] = 0.0;
                music->valid[j][i] = 1;
            }
        }
    }
    DEBUG_LOG(4, "\n\n********** %s EXIT ********** \n\n", "algEstWithMusic");
}

}  // namespace tarn_rtp

extern "C" {

void algCalcCovD(const TarnCplxD *samples, int N, int L, int stride, TarnCplxD *R) {
    DEBUG_LOG(4, "\n\n********** %s ENTER ****** ****\n\n", "algCalcCovD");
    if (L < 1 || L > N || stride < L) return;
    const int K = N - L + 1;
    // The backward term of entry (l, k) is the conjugate of the forward sum
    // F at (L-1-l, L-1-k), and F is Hermitian: the forward sums of the lower
    // triangle give everything. They go to R's lower triangle first.
    const double *x = reinterpret_cast<const double *>(samples);
    auto at = [R, stride](int r, int c) -> TarnCplxD & {
        return R[static_cast<std::ptrdiff_t>(r) * stride + c];
    };
    for (int l = 0; l < L; ++l) {
        for (int k = 0; k <= l; ++k) {
            const double *a = x + 2 * l;
            const double *b = x + 2 * k;
            double re = 0.0;
            double im = 0.0;
            for (int s = 0; s < 2 * K; s += 2) {
                re += a[s] * b[s] + a[s + 1] * b[s + 1];
                im += a[s + 1] * b[s] - a[s] * b[s + 1];
            }
            at(l, k) = TarnCplxD(re, im);
        }
    }
    // R[l][k] = (F[l][k] + F[L-1-k][L-1-l]) / 2K: both entries of such a pair
    // (both in the lower triangle) get the same value; then the upper
    // triangle is the conjugate of the lower one.
    const double scale = 0.5 / static_cast<double>(K);
    for (int l = 0; l < L; ++l) {
        for (int k = 0; k <= l; ++k) {
            const int l2 = L - 1 - k;
            const int k2 = L - 1 - l;
            if (l2 < l || (l2 == l && k2 < k)) continue;  // pair already done
            const TarnCplxD v = (at(l, k) + at(l2, k2)) * scale;
            at(l, k) = v;
            at(l2, k2) = v;
        }
    }
    for (int l = 0; l < L; ++l) {
        for (int k = 0; k < l; ++k) at(k, l) = std::conj(at(l, k));
    }
}

void algCalcCov(const TarnCplxL *samples, int N, int L, int stride, TarnCplxD *R) {
    DEBUG_LOG(4, "order[%d]\n", L);
    DEBUG_LOG(4, "length[%d]\n", N);
    if (L < 1 || L > N || stride < L) return;
    const int K = N - L + 1;
    // Integer sums wrap (unsigned arithmetic) rather than overflow.
    auto re = [](const TarnCplxL &z) { return static_cast<uint64_t>(z.re); };
    auto im = [](const TarnCplxL &z) { return static_cast<uint64_t>(z.im); };
    for (int l = 0; l < L; ++l) {
        for (int k = 0; k < L; ++k) {
            uint64_t sr = 0;
            uint64_t si = 0;
            for (int s = 0; s < K; ++s) {
                const TarnCplxL &fl = samples[s + l];
                const TarnCplxL &fk = samples[s + k];
                const TarnCplxL &bl = samples[s + L - 1 - l];
                const TarnCplxL &bk = samples[s + L - 1 - k];
                // f[l] conj(f[k]) + conj(b[l]) b[k]
                sr += re(fl) * re(fk) + im(fl) * im(fk) + re(bl) * re(bk) + im(bl) * im(bk);
                si += im(fl) * re(fk) - re(fl) * im(fk) + re(bl) * im(bk) - im(bl) * re(bk);
            }
            const cd sum(static_cast<double>(static_cast<int64_t>(sr)),
                         static_cast<double>(static_cast<int64_t>(si)));
            R[static_cast<std::ptrdiff_t>(l) * stride + k] = sum * 0.5 / static_cast<double>(K);
        }
    }
}

int algRootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag) {
    return rootMusicFreq(R, p, L, stride, freq, mag, MusicRoute::kFast);
}

void algEstWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                     ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest,
                     bool reset) {
    estWithMusic(pres, rawMeas, procMeas, opts, NAP, music, pdest, reset, MusicRoute::kFast);
}

}  // extern "C"
