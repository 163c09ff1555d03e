// MUSIC estimator: forward-backward covariance, root-MUSIC and the per-order
// selection of one distance per antenna path.
#include "rtp/rtp_music.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "math/eigen_fast.h"
#include "math/lanes.h"
#include "rtp/rtp_internal.h"
#include "tarn_diag.h"
#include "tarn_math.h"

using namespace tarn_rtp;

namespace {

using cd = std::complex<double>;

constexpr int kStride = TARN_MUSIC_COV_STRIDE;
constexpr int kMaxL = TARN_MUSIC_COV_STRIDE;
constexpr int kMaxRoots = 2 * kMaxL - 2;
using tarn_common::kNoDistance;
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

// Turns the forward sums F in R's lower triangle (l >= k) into the
// forward-backward covariance: R[l][k] = (F[l][k] + F[L-1-k][L-1-l]) / 2K.
// The backward term of entry (l, k) is the conjugate of F at (L-1-l, L-1-k)
// and F is Hermitian, so both entries of such a pair (both in the lower
// triangle) get the same value; the upper triangle is the conjugate of the
// lower one. The result is exactly centro-Hermitian.
void forwardBackward(TarnCplxD *R, int L, int stride, int K) {
    auto at = [R, stride](int r, int c) -> TarnCplxD & {
        return R[static_cast<std::ptrdiff_t>(r) * stride + c];
    };
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

// The same polynomial from R's noise vectors v. The eigen interface reads a
// matrix column by column, so root-MUSIC decomposes R^T = conj(R), whose
// noise vectors are conj(v); with those, reversed, the coefficients are the
// diagonal sums of the Hermitian noise projector: coef[n] = sum over b of
// v[b] conj(v[b + L-1-n]) for n <= L-1, and the rest their conjugates. The
// vectors are conjugate-symmetric (v[L-1-b] = conj(v[b])), so the terms of
// b and n - b are equal: half of each sum, doubled, and the middle term.
using tarn_math::Pair;

// a conj(b) added to acc: (ar br + ai bi, ai br - ar bi), the subtraction as
// the addition of the exactly negated product.
inline Pair addTimesConj(Pair acc, const double *a, const double *b) {
    const Pair va = tarn_math::load2(a);
    const Pair swapped = {va[1], va[0]};
    const Pair br = {b[0], b[0]};
    const Pair bi = {b[1], -b[1]};
    return acc + (va * br + swapped * bi);
}

void noisePolySelfReciprocal(const cd *noise, int count, int L, cd *coef) {
    for (int n = 0; n < L; ++n) {
        const int shift = L - 1 - n;
        Pair sum = {0.0, 0.0};
        Pair mid = {0.0, 0.0};
        for (int c = 0; c < count; ++c) {
            const double *v = reinterpret_cast<const double *>(noise + c * L);
            for (int b = 0; 2 * b < n; ++b) sum = addTimesConj(sum, v + 2 * b, v + 2 * (b + shift));
            if (n % 2 == 0) mid = addTimesConj(mid, v + n, v + 2 * (n / 2 + shift));
        }
        coef[n] = cd(2.0 * sum[0] + mid[0], 2.0 * sum[1] + mid[1]);
    }
    coef[L - 1] = cd(coef[L - 1].real(), 0.0);
    for (int n = 0; n < L - 1; ++n) coef[2 * L - 2 - n] = std::conj(coef[n]);
}

// True when R is exactly centro-Hermitian (J conj(R) J = R), as every
// forward-backward covariance of this file is.
bool centroHermitian(const TarnCplxD *R, int L, int stride) {
    for (int l = 0; l < L; ++l) {
        for (int k = 0; k < L; ++k) {
            const cd a = R[static_cast<std::ptrdiff_t>(l) * stride + k];
            const cd b = R[static_cast<std::ptrdiff_t>(L - 1 - l) * stride + (L - 1 - k)];
            if (a != std::conj(b)) return false;
        }
    }
    return true;
}

// Hermitian route for a matrix without that structure (a caller's own R).
int rootMusicHermitian(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag) {
    double values[kMaxL];
    cd vectors[kMaxL * kMaxL];
    if (!tarn_math::hermitianEigen(R, L, stride, values, vectors)) return finishRoots(0, p, freq, mag);
    cd coef[2 * kMaxL - 1] = {};
    cd w[kMaxL];
    for (int c = 0; c < L - p; ++c) {
        for (int i = 0; i < L; ++i) w[i] = vectors[(L - 1 - i) * L + c];
        addNoisePoly(w, L, coef);
    }
    cd roots[kMaxRoots];
    const int m = tarn_math::selfReciprocalRoots(coef, 2 * L - 1, p + 2, roots);
    return pickRoots(roots, m, p, freq, mag);
}

int rootMusicFast(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                  MusicWorkspace *ws) {
    if (!centroHermitian(R, L, stride)) return rootMusicHermitian(R, p, L, stride, freq, mag);
    double values[kMaxL];
    // Ascending eigenvalues: the L - p smallest span the noise subspace.
    if (!tarn_math::centroHermitianNoise(R, L, stride, L - p, &ws->eigen, values, ws->noise))
        return finishRoots(0, p, freq, mag);
    cd coef[2 * kMaxL - 1];
    noisePolySelfReciprocal(ws->noise, L - p, L, coef);
    cd roots[kMaxRoots];
    // With a single noise vector every root is a double root on the unit
    // circle, where the mirrored iteration converges only linearly: the full
    // polynomial's eigenvalues place them as the reference route does.
    const int warm = ws->coldRoots ? 0 : ws->warmCount;
    const int m = L - p == 1 ? tarn_math::polyRootsFast(coef, 2 * L - 1, roots)
                             : tarn_math::selfReciprocalRoots(coef, 2 * L - 1, p + 2, roots,
                                                              ws->warmRoots, warm);
    // Ascending magnitude: the first half lies inside the circle.
    ws->warmCount = m / 2;
    for (int i = 0; i < m / 2; ++i) ws->warmRoots[i] = roots[i];
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

// Root-MUSIC of one order; on the fast route the iteration starts from the
// workspace's warm roots and leaves this order's there.
int rootMusicOrder(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                   MusicRoute route, MusicWorkspace *work) {
    DEBUG_LOG(4, kStageEnter, "algRootMusicFreq");
    if (p < 1) return 0;
    if (L > kMaxL || p >= L || stride < L) return finishRoots(0, p, freq, mag);
    return route == MusicRoute::kFast ? rootMusicFast(R, p, L, stride, freq, mag, work)
                                      : rootMusicReference(R, p, L, stride, freq, mag);
}

// Per-path state of the order loop.
struct PathState {
    double upper = kNoDistance;   // S: channel-centre upper bound
    double lower = -kNoDistance;  // V: channel-centre lower bound
    double lowest = 0.0;      // U: distance of the lowest order
    double first = 0.0;       // o0: distance of the bound-setting order-1 run
    double list[kMusicMaxOrders];
    int listLen = 0;
    int positive = 0;
    int negative = 0;
};

// Arrays indexed [order slot][path] use o for the slot and j for the path.
void setNoDistance(MusicResult *music, int o, int j) {
    music->valid[o][j] = 0;
    music->dest[o][j] = kNoDistance;
    music->conf[o][j] = tarn_common::kNoConfidence;
}

double musicConf(const ConfigOpts *opts, double mag, uint8_t gconf) {
    const double lm = std::max(-std::log10(1.0 - mag), 0.0);
    const double c = std::min(std::max(opts->muConfFac[0] * lm, 1.0), 100.0);
    const float g = static_cast<float>(gconf) / 100.0f;
    return std::round(c * static_cast<double>(g));
}

// The per-root trace lines cost a call each; skip their loops when off.
bool logs(int level) {
    return level <= __atomic_load_n(&glog_level, __ATOMIC_RELAXED);
}

const uint8_t kCentreOrders[kMusicMaxOrders] = {1, 2, 4, 6, 7, 8, 9};
const uint8_t kCentreCov[kMusicMaxOrders] = {1, 4, 8, 12, 14, 16, 18};
const uint8_t kDefaultOrders[kMusicOrdersAfterCentre] = {2, 4, 6, 7, 8, 9};
const uint8_t kDefaultCov[kMusicOrdersAfterCentre] = {4, 8, 12, 14, 16, 18};

// One call's inputs and settings, shared by the steps below.
struct MusicCall {
    const PresState *pres;
    const ToneRecord *raw;
    const ConfigOpts *opts;
    MusicResult *music;
    bool reset;
    MusicRoute route;
    MusicWorkspace *ws;
    bool centre;     // useChannelCenterForBoundMusicEst = 1
    bool centreOff;  // useChannelCenterForBoundMusicEst = 0
    double sf;
    double phaseDist[kPaths];
    // The order set this call runs (the options' own, or the channel-centre
    // set) and each order's covariance size.
    const uint8_t *ordSet;
    int ordLen;
    int cov[kMusicMaxOrders];
};

// A path's usable channels, gathered into the workspace.
struct PathSamples {
    int n = 0;
    bool usable = false;
    double a = 0.0;  // metres per radian of root angle
};

// One order's candidates: raw distances, roots and the kept flags.
struct Candidates {
    int p = 0;
    double d[kMaxL];
    double freq[kMaxL];
    double mag[kMaxL];
    bool keep[kMaxL];
};

PathSamples gatherPath(const MusicCall &c, const ToneRecord *proc, int j) {
    MusicWorkspace *ws = c.ws;
    ws->warmCount = 0;  // another path's roots are no start for this one
    PathSamples s;
    for (int k = 0; k < kChannels; ++k) {
        if (proc->gmap[k][j] != 1) continue;
        ws->channels[s.n] = proc->chanList[k];
        ws->samples[s.n] = proc->pct[k][j];
        ++s.n;
    }
    const int8_t step = s.n >= 2 ? static_cast<int8_t>(ws->channels[1] - ws->channels[0]) : 0;
    s.usable = s.n >= kMinChannels && step != 0;
    if (!s.usable) DEBUG_LOG(2, "Music: too few channels on antenna path %d (%d)\n", j, s.n);
    s.a = s.usable ? c.opts->sol / step / 1e6 * 0.5 / kPi : 0.0;
    if (!s.usable || c.route != MusicRoute::kFast) return s;
    // Prefix sums for every lag the orders can use (L - 1 at most).
    int maxL = 1;
    for (int o = 0; o < c.ordLen; ++o) maxL = std::max(maxL, c.cov[o] + 1);
    const double *x = reinterpret_cast<const double *>(ws->samples);
    for (int lag = 0; lag < std::min(maxL, s.n); ++lag) {
        TarnCplxD *sum = ws->lagSums[lag];
        double re = 0.0;
        double im = 0.0;
        sum[0] = 0.0;
        for (int u = 0; u + lag < s.n; ++u) {
            const double ar = x[2 * (u + lag)], ai = x[2 * (u + lag) + 1];
            const double br = x[2 * u], bi = x[2 * u + 1];
            re += ar * br + ai * bi;
            im += ai * br - ar * bi;
            sum[u + 1] = TarnCplxD(re, im);
        }
    }
    return s;
}

// Forward-backward covariance of size L: from the shared sums on the fast
// route, computed afresh on the reference route.
void covariance(const MusicCall &c, const PathSamples &s, int L, TarnCplxD *R) {
    if (c.route != MusicRoute::kFast) {
        algCalcCovD(c.ws->samples, s.n, L, kStride, R);
        return;
    }
    const int K = s.n - L + 1;
    for (int l = 0; l < L; ++l) {
        for (int k = 0; k <= l; ++k) {
            const TarnCplxD *sum = c.ws->lagSums[l - k];
            R[l * kStride + k] = sum[k + K] - sum[k];
        }
    }
    forwardBackward(R, L, kStride, K);
}

// Roots of order p at size L and the strength filter. False when fewer
// than p roots were found.
bool orderCandidates(const MusicCall &c, const PathSamples &s, int o, int p, int L, Candidates *cand) {
    const ConfigOpts *opts = c.opts;
    covariance(c, s, L, c.ws->cov);
    if (rootMusicOrder(c.ws->cov, p, L, kStride, cand->freq, cand->mag, c.route, c.ws) < p) return false;
    cand->p = p;
    const double prior = c.raw->prior;
    double lm[kMaxL];
    double lmMax = -INFINITY;
    for (int k = 0; k < p; ++k) {
        cand->d[k] = prior - s.a * cand->freq[k] + opts->calDistOffset;
        lm[k] = -std::log10(1.0 - cand->mag[k]);
        lmMax = std::max(lmMax, lm[k]);
    }
    const double thr = lmMax - opts->muMaxEigs;
    const bool keepAll = o == 0 && c.centre;
    const bool anySign = opts->pctPrior == 3 || opts->pctPrior == 5;
    for (int k = 0; k < p; ++k)
        cand->keep[k] = keepAll || (lm[k] > thr && cand->mag[k] > opts->muMagThr && (anySign || cand->freq[k] < 0));
    if (!logs(4)) return true;
    for (int k = 0; k < p; ++k)
        DEBUG_LOG(4, "raw distances [%d] = %lf , freq %lf", k, cand->d[k], cand->freq[k]);
    DEBUG_LOG(4, "max: %.15lf\n", lmMax);
    DEBUG_LOG(4, "max[%.15lf]\n", thr);
    for (int k = 0; k < p; ++k) {
        DEBUG_LOG(4, "lm[%d] %lf", k, lm[k]);
        if (cand->keep[k])
            DEBUG_LOG(4, "lm based filtering valid %d", k);
        else
            DEBUG_LOG(4, "lm based filtering Invalid %d , %lf , %lf , %d", k, cand->mag[k], opts->muMagThr,
                      opts->pctPrior);
    }
    return true;
}

// Selection for pctPrior other than 5: the kept root of smallest |angle|.
void selectAlternative(const MusicCall &c, PathState &ps, const PathSamples &s, const Candidates &cand,
                       int o, int j) {
    const ConfigOpts *opts = c.opts;
    MusicResult *music = c.music;
    int best = -1;
    for (int k = 0; k < cand.p; ++k) {
        if (cand.keep[k] && (best < 0 || std::fabs(cand.freq[k]) < std::fabs(cand.freq[best]))) best = k;
    }
    if (best < 0) {
        setNoDistance(music, o, j);
        return;
    }
    music->valid[o][j] = 1;
    const double dist =
        opts->calDistOffset + c.raw->prior - std::floor(s.a * cand.freq[best] * 10000.0) / 10000.0;
    music->dest[o][j] = std::max(dist, 0.0) * c.sf;
    music->conf[o][j] = musicConf(opts, cand.mag[best], c.raw->gconf[j]);
    if (opts->discardNegativeMusicValues == 1) {
        if (music->dest[o][j] < 0) {
            music->valid[o][j] = 0;
            ++ps.negative;
        }
        ps.positive += music->valid[o][j];
    }
    if (opts->quant == 1) music->dest[o][j] = std::round(music->dest[o][j]);
    DEBUG_LOG(4, "Music dest[%d][%d] = %lf", o, j, music->dest[o][j]);
}

// Main selection's filters: phase-slope floor, then the channel-centre
// bounds or closeness to the lowest order and muOffset.
void filterMain(const MusicCall &c, const PathState &ps, Candidates *cand, int o, int j) {
    const ConfigOpts *opts = c.opts;
    const MusicResult *music = c.music;
    bool *keep = cand->keep;
    const double *d = cand->d;
    const int p = cand->p;
    if (opts->phaseMusicFilter == 1 && c.phaseDist[j] > opts->minPhaseBasedFilterPhaseDist &&
        !(o == 0 && c.centre)) {
        const double floorDist = c.phaseDist[j] * opts->phDistFrac - opts->phaseRotationOffset;
        for (int k = 0; k < p; ++k) {
            if (!keep[k]) continue;
            keep[k] = d[k] > floorDist;
            if (keep[k])
                DEBUG_LOG(4, "phaseMusicFilter valid %d", k);
            else
                DEBUG_LOG(4, "phaseMusicFilter Invalid %d , %lf , %d", k, d[k], o);
        }
    }
    if (c.centre && o >= 1) {
        DEBUG_LOG(2, "upperBoundDist %lf", ps.upper);
        DEBUG_LOG(2, "lowerBoundDist %lf", ps.lower);
        for (int k = 0; k < p; ++k) {
            if (!keep[k]) continue;
            keep[k] = ps.lower <= d[k] && d[k] <= ps.upper && d[k] >= opts->muOffset;
            if (!keep[k]) DEBUG_LOG(4, "Distance not in channel center bonds %lf", d[k]);
        }
        return;
    }
    if (!c.centreOff) return;
    const double delta = std::fabs(c.pres->dest / c.sf - ps.lowest);
    DEBUG_LOG(2, "distDelta %lf , %lf ,  %lf , %lf", delta, c.pres->dest, ps.lowest, music->dest[0][j]);
    const bool slot0 = music->valid[0][j] == 1 || (music->valid[0][j] == 0 && music->dest[0][j] != kNoDistance);
    if (o >= 1 && opts->smallerMusicOrderFilterOffsetLower != 0 && (c.reset || delta <= opts->fiMaxDelta) &&
        slot0) {
        for (int k = 0; k < p; ++k) {
            if (!keep[k]) continue;
            keep[k] = ps.lowest - opts->smallerMusicOrderFilterOffsetLower < d[k] &&
                      d[k] < ps.lowest + opts->smallerMusicOrderFilterOffsetUpper;
            if (keep[k])
                DEBUG_LOG(4, "Distance closer to lowest Music order  %d", k);
            else
                DEBUG_LOG(4, "Distance far from lowest Music order  %lf , %lf", d[k], ps.lowest);
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

// Main selection's pick among the survivors, the bounds it sets, the slot
// and the negative-distance count.
void pickMain(const MusicCall &c, PathState &ps, const Candidates &cand, int o, int j) {
    const ConfigOpts *opts = c.opts;
    MusicResult *music = c.music;
    const double *d = cand.d;
    int survivors = 0;
    double mx = -INFINITY;
    for (int k = 0; k < cand.p; ++k) {
        if (!cand.keep[k]) continue;
        ++survivors;
        mx = std::max(mx, d[k]);
    }
    if (survivors == 0) {
        // A failed order-2 run closes the bounds for the rest of the path.
        if (c.centre && o == 1) ps.upper = -kNoDistance;
        DEBUG_LOG(2, "No valid distances found for Music order %d", c.ordSet[o]);
        setNoDistance(music, o, j);
    } else {
        if (c.centre && o == 1) {
            DEBUG_LOG(2,
                      "opts->smallerMusicOrderFilterOffsetUpper %lf , %lf , max %lf , "
                      "opts->lowerBoundCoef %lf",
                      opts->smallerMusicOrderFilterOffsetUpper, opts->smallerMusicOrderFilterOffsetLower, mx,
                      opts->lowerBoundCoef);
            ps.upper = std::min(ps.upper, mx + opts->smallerMusicOrderFilterOffsetUpper);
            ps.lower = std::max({mx - opts->lowerBoundCoef * std::fabs(ps.first - mx),
                                 mx - opts->smallerMusicOrderFilterOffsetLower, ps.lower});
        }
        const bool proximity = opts->priorProximityMusicFilter == 1 && c.pres->valid == 1;
        const double ref = c.pres->dest / c.sf;
        int best = -1;
        for (int k = 0; k < cand.p; ++k) {
            if (!cand.keep[k]) continue;
            const double key = proximity ? std::fabs(d[k] - ref) : d[k];
            const double bestKey = best < 0 ? 0.0 : (proximity ? std::fabs(d[best] - ref) : d[best]);
            if (best < 0 || key < bestKey) best = k;
        }
        DEBUG_LOG(4, "idxMin %d", best);
        const double dist = d[best];
        if (o == 0 && c.centre) {
            ps.first = dist;
            ps.upper = dist + opts->chanCenterUBOffset;
            ps.lower = c.phaseDist[j] - opts->chanCenterLBOffset;
        } else if (o == 0) {
            ps.lowest = dist;
        }
        music->dest[o][j] = dist * c.sf;
        music->conf[o][j] = musicConf(opts, cand.mag[best], c.raw->gconf[j]);
        music->valid[o][j] = 1;
        if ((c.centre && o >= 1) || c.centreOff) ps.list[ps.listLen++] = music->dest[o][j];
    }
    if (opts->discardNegativeMusicValues == 1) {
        if (music->dest[o][j] < 0) {
            ++ps.negative;
            music->valid[o][j] = 0;
        }
        if ((c.centre && o >= 1) || c.centreOff) ps.positive += music->valid[o][j];
        DEBUG_LOG(2, "Music dest[%d][%d] = %lf, %d", o, j, music->dest[o][j], music->valid[o][j]);
    }
}

// With the channel-centre bounds, an order whose bounds leave no distance
// (closed by a failed order-2 run, or empty) cannot give a result.
bool boundsClosed(const MusicCall &c, const PathState &ps, int o) {
    return c.centre && o >= 1 && c.opts->pctPrior == 5 &&
           (ps.lower > ps.upper || ps.upper < c.opts->muOffset);
}

// Every order of antenna path j.
void runPath(const MusicCall &c, const ToneRecord *proc, PathState &ps, int j) {
    const ConfigOpts *opts = c.opts;
    MusicResult *music = c.music;
    const PathSamples s = gatherPath(c, proc, j);
    for (int o = 0; o < c.ordLen; ++o) {
        const int p = c.ordSet[o];
        if (p == 0) break;
        music->valid[o][j] = 0;
        DEBUG_LOG(4, "\n muOrdSet[i]: %d \n", p);
        const int M = c.cov[o];
        const int L = M + 1;
        // No covariance (M >= N) or no noise subspace (L <= p): no distance.
        if (!s.usable || M >= s.n || L <= p) {
            setNoDistance(music, o, j);
            continue;
        }
        Candidates cand;
        if (boundsClosed(c, ps, o)) {
            pickMain(c, ps, cand, o, j);  // no candidates: the no-distance case
            continue;
        }
        if (!orderCandidates(c, s, o, p, L, &cand)) {
            DEBUG_LOG(2, "No valid distances found for Music order %d", p);
            setNoDistance(music, o, j);
            continue;
        }
        if (opts->pctPrior != 5) {
            selectAlternative(c, ps, s, cand, o, j);
            continue;
        }
        filterMain(c, ps, &cand, o, j);
        pickMain(c, ps, cand, o, j);
    }
    music->musicStd[j] = ps.listLen > 0 ? aaMathCalcStd(ps.list, ps.listLen) : kNoDistance;
    DEBUG_LOG(2, " music std %lf", music->musicStd[j]);
}

// Shifts the bound-setting order-1 run out and applies the
// negative-distance rule to the orders that remain.
void finishCall(const ConfigOpts *opts, MusicResult *music, const MusicCall &c,
                const PathState *state, int nap) {
    int used = c.ordLen;
    if (c.centre) {
        used = kMusicOrdersAfterCentre;
        for (int j = 0; j < nap; ++j) {
            for (int o = 0; o + 1 < kMusicMaxOrders; ++o) {
                music->valid[o][j] = music->valid[o + 1][j];
                music->dest[o][j] = music->dest[o + 1][j];
                music->conf[o][j] = music->conf[o + 1][j];
            }
        }
    }
    for (int j = 0; j < nap; ++j) {
        DEBUG_LOG(2, " numPositiveDistances[n]  %d", state[j].positive);
        if (state[j].positive == 0 && opts->discardNegativeMusicValues == 1 && state[j].negative != 0) {
            for (int o = 0; o < used; ++o) {
                music->dest[o][j] = 0.0;
                music->valid[o][j] = 1;
            }
        }
    }
}

}  // namespace

namespace tarn_rtp {

int rootMusicFreq(const TarnCplxD *R, int p, int L, int stride, double *freq, double *mag,
                  MusicRoute route, MusicWorkspace *work) {
    work->warmCount = 0;  // a caller's own matrix: no previous order
    return rootMusicOrder(R, p, L, stride, freq, mag, route, work);
}

void estWithMusic(const PresState *pres, const ToneRecord *rawMeas, const ToneRecord *procMeas,
                  const ConfigOpts *opts, int8_t NAP, MusicResult *music, const double *pdest,
                  bool reset, MusicRoute route, MusicWorkspace *work) {
    const int nap = clampPaths(NAP);
    DEBUG_LOG(4, kStageEnter, "algEstWithMusic");
    DEBUG_LOG(4, "pres->time %lf , valid %d", pres->time, pres->valid);
    MusicCall c{};
    c.pres = pres;
    c.raw = rawMeas;
    c.opts = opts;
    c.music = music;
    c.reset = reset;
    c.route = route;
    c.ws = work;
    c.centre = opts->useChannelCenterForBoundMusicEst == 1;
    c.centreOff = opts->useChannelCenterForBoundMusicEst == 0;
    // The channel-centre bound runs its own 7-order set, whatever the
    // options hold.
    const uint8_t *covSet = c.centre ? kCentreCov : opts->muCovSet;
    c.ordSet = c.centre ? kCentreOrders : opts->muOrdSet;
    c.sf = opts->distSF;
    for (int j = 0; j < nap; ++j) c.phaseDist[j] = pdest[j] / c.sf;
    // Option sizes come from a record the host may install: clamp at use.
    c.ordLen = c.centre ? kMusicMaxOrders : std::min<int>(opts->muOrdSetLen, kMusicMaxOrders);
    const int covLen = c.centre ? kMusicMaxOrders : opts->muCovSetLen;
    for (int o = 0; o < kMusicMaxOrders; ++o) {
        int m = 0;
        if (covLen == 1)
            m = covSet[0];
        else if (covLen >= 2 && o < covLen)
            m = covSet[o];
        c.cov[o] = std::min(m, kMusicMaxCov);
    }
    PathState state[kPaths];
    for (int j = 0; j < nap; ++j) runPath(c, procMeas, state[j], j);
    finishCall(opts, music, c, state, nap);
    DEBUG_LOG(4, "\n\n********** %s EXIT ********** \n\n", "algEstWithMusic");
}

void leaveMusicSets(ConfigOpts &opts) {
    if (opts.useChannelCenterForBoundMusicEst != 1) return;
    opts.muOrdSetLen = kMusicOrdersAfterCentre;
    opts.muCovSetLen = kMusicOrdersAfterCentre;
    std::memcpy(opts.muOrdSet, kDefaultOrders, sizeof kDefaultOrders);
    std::memcpy(opts.muCovSet, kDefaultCov, sizeof kDefaultCov);
}

const ConfigOpts &optionsAfterMusic(const ConfigOpts &opts, ConfigOpts &scratch) {
    if (opts.useChannelCenterForBoundMusicEst != 1) return opts;
    const bool left = opts.muOrdSetLen == kMusicOrdersAfterCentre &&
                      opts.muCovSetLen == kMusicOrdersAfterCentre &&
                      std::memcmp(opts.muOrdSet, kDefaultOrders, sizeof kDefaultOrders) == 0 &&
                      std::memcmp(opts.muCovSet, kDefaultCov, sizeof kDefaultCov) == 0;
    if (left) return opts;  // the usual case from the second computation on
    scratch = opts;
    leaveMusicSets(scratch);
    return scratch;
}

}  // namespace tarn_rtp

namespace tarn_rtp {

void algCalcCovD(const TarnCplxD *samples, int N, int L, int stride, TarnCplxD *R) {
    DEBUG_LOG(4, "\n\n********** %s ENTER ****** ****\n\n", "algCalcCovD");
    if (L < 1 || L > N || stride < L) return;
    const int K = N - L + 1;
    // The forward sums of the lower triangle give everything (see
    // forwardBackward). They go to R's lower triangle first.
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
    forwardBackward(R, L, stride, K);
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

}  // namespace tarn_rtp
