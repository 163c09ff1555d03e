// The phase candidate's uncertainty and the response's integrity flags, from
// what the latest phase computation left in its work area. Everything here
// reads the work area only and works on fixed-size stack arrays.
#include "rtp/rtp_integrity.h"

#include <cmath>
#include <cstring>

#include "estimators/distance.h"
#include "tarn_diag.h"
#include "tarn_math.h"

namespace tarn_rtp {

namespace {

// Two-path search grid: 0.15 m steps over 9 m, paths at least 0.6 m apart
// (closer ones are one path to 80 MHz of band, whatever the fit says); the
// best pair is then refined on a grid five times finer.
constexpr double kGridStepM = 0.15;
constexpr int kGridPoints = 61;
constexpr int kMinSeparation = 4;
// A second path counts when it has a quarter of the stronger one's
// amplitude and two paths leave at most half the residual of one.
constexpr double kSignificantShare = 0.25;
constexpr double kResidualGain = 0.5;
// The earlier path is "weaker" below this share of the later one's amplitude
// (equal paths are left to the noise to order).
constexpr double kWeakerShare = 0.8;
// Cross-subevent neighbours turning this much on average, and this much more
// than same-subevent ones, mean phase jumps.
constexpr double kJumpDeg = 45.0;
constexpr double kJumpExcessDeg = 25.0;

// One procedure's spread overstates the error of the tracked distance,
// which the result filter averages over procedures: the share of it that
// is the tracked distance's standard uncertainty (calibrated once, over the
// whole simulated still matrix of line of sight and one and two reflections
// at 1 to 20 m, for the 68 % and 95 % coverage of 1 and 2 sigma).
constexpr double kSpreadScale = 0.62;

using Cplx = TarnCplxD;

double sq(double v) {
    return v * v;
}

// The loops below spell complex products out in real arithmetic: the
// library's std::complex product guards against infinities in a call of its
// own, several times slower than the product, and these loops are most of
// the assessment's time.

// sum over usable k of h[k] e^{j w k} (h null: of 1 e^{j w k}).
Cplx channelSum(const Cplx *h, const uint8_t *use, double w) {
    const double zr = std::cos(w), zi = std::sin(w);
    double pr = 1.0, pi = 0.0, ar = 0.0, ai = 0.0;
    for (int k = 0; k < kChannels; ++k) {
        if (use[k] != 0) {
            if (h != nullptr) {
                const double hr = h[k].real(), hi = h[k].imag();
                ar += hr * pr - hi * pi;
                ai += hr * pi + hi * pr;
            } else {
                ar += pr;
                ai += pi;
            }
        }
        const double t = pr * zr - pi * zi;
        pi = pr * zi + pi * zr;
        pr = t;
    }
    return Cplx(ar, ai);
}

// b[i] = sum over usable k of h[k] e^{+j beta k d_i}, d_i = lowM + i x step.
void projections(const Cplx *h, const uint8_t *use, double lowM, double step, int points,
                 double beta, Cplx *b) {
    for (int i = 0; i < points; ++i) b[i] = channelSum(h, use, beta * (lowM + i * step));
}

// s[m] = sum over usable k of e^{-j beta k m step}: the overlap of two paths
// m steps apart.
void overlaps(const uint8_t *use, double step, int points, double beta, Cplx *s) {
    for (int m = 0; m < points; ++m) s[m] = channelSum(nullptr, use, -beta * m * step);
}

// Least squares of h = a1 v(d1) + a2 v(d2) from the projections b1, b2 and
// the overlap s (n usable channels): the energy the pair explains.
double pairExplained(double n, Cplx b1, Cplx b2, Cplx s, Cplx *a1, Cplx *a2) {
    const double sr = s.real(), si = s.imag();
    const double det = n * n - (sr * sr + si * si);
    if (!(det > 1e-9 * n * n)) return -1.0;
    const double b1r = b1.real(), b1i = b1.imag(), b2r = b2.real(), b2i = b2.imag();
    // a1 = (n b1 - s b2) / det, a2 = (n b2 - conj(s) b1) / det
    const double a1r = (n * b1r - (sr * b2r - si * b2i)) / det;
    const double a1i = (n * b1i - (sr * b2i + si * b2r)) / det;
    const double a2r = (n * b2r - (sr * b1r + si * b1i)) / det;
    const double a2i = (n * b2i - (sr * b1i - si * b1r)) / det;
    *a1 = Cplx(a1r, a1i);
    *a2 = Cplx(a2r, a2i);
    return a1r * b1r + a1i * b1i + a2r * b2r + a2i * b2i;
}

// Subevent of each channel's earliest tone: runs of tone steps between
// mode-0 steps. -1 for channels without a tone.
void subeventGroups(const CsMeasurement &meas, int *group) {
    for (int k = 0; k < kChannels; ++k) group[k] = -1;
    if (meas.modes == nullptr || meas.channels == nullptr) return;
    const int n = meas.N > kMaxTones ? kMaxTones : meas.N;
    int g = 0;
    bool afterTone = false;
    for (int i = 0; i < n; ++i) {
        const int mode = meas.modes[i];
        if (mode == 0) {
            if (afterTone) ++g;
            afterTone = false;
        } else if (tarn_common::isToneMode(mode)) {
            const int ch = meas.channels[i];
            if (ch >= 0 && ch < kChannels && group[ch] < 0) group[ch] = g;
            afterTone = true;
        }
    }
}

}  // namespace

PathPair fitTwoPaths(const Cplx *h, const uint8_t *use, double lowM, double sol) {
    PathPair out;
    double energy = 0.0;
    int n = 0;
    for (int k = 0; k < kChannels; ++k)
        if (use[k] != 0) {
            energy += std::norm(h[k]);
            ++n;
        }
    if (n < kMinFillChannels || !(energy > 0.0) || !(sol > 0.0)) return out;
    const double beta = 2.0 * kPi * 1e6 / sol;
    Cplx b[kGridPoints];
    Cplx s[kGridPoints];
    projections(h, use, lowM, kGridStepM, kGridPoints, beta, b);
    overlaps(use, kGridStepM, kGridPoints, beta, s);
    const double nn = static_cast<double>(n);

    double best1 = 0.0;
    for (int i = 0; i < kGridPoints; ++i) best1 = std::fmax(best1, std::norm(b[i]) / nn);
    // Two paths that mostly cancel each other are a fit to noise and ripple,
    // not a room: the amplitudes of real paths add up to at most twice the
    // response's RMS amplitude.
    const double maxAmpSum = 2.0 * std::sqrt(energy / nn);
    auto physical = [&](Cplx a1, Cplx a2) {
        return std::sqrt(std::norm(a1)) + std::sqrt(std::norm(a2)) <= maxAmpSum;
    };
    double best2 = -1.0;
    int bi = -1, bj = -1;
    for (int i = 0; i < kGridPoints; ++i) {
        for (int j = i + kMinSeparation; j < kGridPoints; ++j) {
            Cplx a1, a2;
            const double e = pairExplained(nn, b[i], b[j], s[j - i], &a1, &a2);
            if (e > best2 && physical(a1, a2)) {
                best2 = e;
                bi = i;
                bj = j;
            }
        }
    }
    if (bi < 0) return out;

    // Refine both distances on a grid five times finer around the best pair.
    constexpr int kFine = 11;
    const double fine = kGridStepM / 5.0;
    const double lo1 = lowM + bi * kGridStepM - 5 * fine;
    const double lo2 = lowM + bj * kGridStepM - 5 * fine;
    Cplx b1[kFine], b2[kFine], sf[2 * kFine];
    projections(h, use, lo1, fine, kFine, beta, b1);
    projections(h, use, lo2, fine, kFine, beta, b2);
    // Separations from (lo2 - lo1) - 10 fine steps upwards.
    const double sepLow = (lo2 - lo1) - (kFine - 1) * fine;
    for (int m = 0; m < 2 * kFine - 1; ++m) sf[m] = channelSum(nullptr, use, -beta * (sepLow + m * fine));
    double bestE = -1.0;
    Cplx ba1, ba2;
    double d1 = 0.0, d2 = 0.0;
    for (int i = 0; i < kFine; ++i)
        for (int j = 0; j < kFine; ++j) {
            const double d1i = lo1 + i * fine, d2j = lo2 + j * fine;
            if (d2j - d1i < kMinSeparation * kGridStepM - 1e-9) continue;
            Cplx a1, a2;
            const double e = pairExplained(nn, b1[i], b2[j], sf[j - i + kFine - 1], &a1, &a2);
            if (e > bestE && physical(a1, a2)) {
                bestE = e;
                ba1 = a1;
                ba2 = a2;
                d1 = lo1 + i * fine;
                d2 = lo2 + j * fine;
            }
        }
    if (!(bestE > 0.0) || !(d2 > d1)) return out;
    out.found = true;
    out.earlyM = d1;
    out.lateM = d2;
    out.earlyAmp = std::abs(ba1);
    out.lateAmp = std::abs(ba2);
    out.residual1 = std::fmax(0.0, 1.0 - best1 / energy);
    out.residual2 = std::fmax(0.0, 1.0 - bestE / energy);
    return out;
}

double subeventJumpDeg(const Cplx *p, const uint8_t *use, const int *group, double *sameDeg) {
    // Neighbouring measured channels up to 4 MHz apart, by spacing: the turn
    // between them is the distance's slope times the spacing, the same for
    // every pair of a spacing unless a subevent's phase jumped.
    constexpr int kMaxSpacing = 4;
    Cplx sameSum[kMaxSpacing + 1] = {};
    int sameCount[kMaxSpacing + 1] = {};
    Cplx cross[kChannels];
    int crossSpacing[kChannels];
    int nCross = 0;
    int prev = -1;
    for (int k = 0; k < kChannels; ++k) {
        if (use[k] == 0 || group[k] < 0 || std::norm(p[k]) == 0.0) continue;
        if (prev >= 0 && k - prev <= kMaxSpacing) {
            const double ur = p[k].real() * p[prev].real() + p[k].imag() * p[prev].imag();
            const double ui = p[k].imag() * p[prev].real() - p[k].real() * p[prev].imag();
            const double mag = std::sqrt(ur * ur + ui * ui);
            const Cplx u(ur / mag, ui / mag);
            if (group[k] == group[prev]) {
                sameSum[k - prev] += u;
                ++sameCount[k - prev];
            } else {
                cross[nCross] = u;
                crossSpacing[nCross++] = k - prev;
            }
        }
        prev = k;
    }
    double crossRe = 0.0;
    int crossUsed = 0;
    for (int i = 0; i < nCross; ++i) {
        const int sp = crossSpacing[i];
        if (sameCount[sp] < 2 || std::abs(sameSum[sp]) == 0.0) continue;
        const Cplx ref = sameSum[sp] / std::abs(sameSum[sp]);
        crossRe += cross[i].real() * ref.real() + cross[i].imag() * ref.imag();
        ++crossUsed;
    }
    double sameAbs = 0.0;
    int sameUsed = 0;
    for (int sp = 1; sp <= kMaxSpacing; ++sp)
        if (sameCount[sp] >= 2) {
            sameAbs += std::abs(sameSum[sp]);
            sameUsed += sameCount[sp];
        }
    if (crossUsed < 3 || sameUsed < 3) return -1.0;
    auto deg = [](double c) { return std::acos(c < -1.0 ? -1.0 : (c > 1.0 ? 1.0 : c)) * 180.0 / kPi; };
    if (sameDeg != nullptr) *sameDeg = deg(sameAbs / sameUsed);
    return deg(crossRe / crossUsed);
}

PhaseIntegrity assessPhase(const PhaseWork &w, const CsMeasurement &meas, const ConfigOpts &opts,
                           int nap) {
    PhaseIntegrity out;
    if (w.cirPaths <= 0 || nap < 1 || nap > kPaths) return out;
    const double sf = tarn_est::recordScale(opts);

    // Spread across MUSIC orders (per path: the variance of its mean) and
    // across antenna paths (of the paths' medians), and the phase slope's
    // residual turned into the slope's distance error.
    double orderVar = 0.0, fitVar = 0.0;
    double pathMed[kPaths];
    int paths = 0;
    int measured[kPaths] = {};  // channels each antenna path measured
    for (int j = 0; j < nap; ++j) {
        double d[TARN_MUSIC_SLOTS];
        int n = 0;
        for (int o = 0; o < TARN_MUSIC_SLOTS; ++o) {
            const double v = w.music.dest[o][j];
            if (w.music.valid[o][j] == 1 && tarn_est::isRecordDistance(v))
                d[n++] = v / sf;
        }
        int ch = 0;
        double mean = 0.0, m2 = 0.0;
        for (int k = 0; k < kChannels; ++k)
            if (w.measuredMap[k][j] != 0) {
                ++ch;
                const double dk = k - mean;
                mean += dk / ch;
                m2 += dk * (k - mean);
            }
        measured[j] = ch;
        if (ch >= kMinFillChannels && m2 > 0.0 && w.phase.phFit[j] > 0.0) {
            const double sdHz = std::sqrt(m2 / ch) * 1e6;
            const double rad = w.phase.phFit[j] * kPi / 180.0;
            fitVar += sq(opts.sol / (2.0 * kPi) * rad / (std::sqrt(static_cast<double>(ch)) * sdHz));
        }
        if (n == 0) continue;
        double mu = 0.0;
        for (int i = 0; i < n; ++i) mu += d[i];
        mu /= n;
        if (n >= 2) {
            double v = 0.0;
            for (int i = 0; i < n; ++i) v += sq(d[i] - mu);
            orderVar += v / (n - 1) / n;
        }
        pathMed[paths++] = aaMathCalcMedianDouble(d, n);
    }
    double slopes[kPaths];
    int nSlopes = 0;
    for (int j = 0; j < nap; ++j)
        if (w.phase.pconf[j] > 0.0 && std::isfinite(w.phase.pdest[j]))
            slopes[nSlopes++] = w.phase.pdest[j] / sf;
    if (nSlopes > 0) out.slopeM = aaMathCalcMedianDouble(slopes, nSlopes);
    if (paths > 0) {
        double pathVar = 0.0;
        if (paths >= 2) {
            double mu = 0.0;
            for (int i = 0; i < paths; ++i) mu += pathMed[i];
            mu /= paths;
            for (int i = 0; i < paths; ++i) pathVar += sq(pathMed[i] - mu);
            pathVar /= (paths - 1) * paths;
        }
        out.sigmaM = kSpreadScale * std::sqrt(orderVar / paths + pathVar + fitVar / (nap * nap));
    }

    // The response of the best-covered antenna path, two paths fitted around
    // its phase slope's distance.
    int best = -1, bestCount = 0;
    uint8_t use[kChannels];
    for (int j = 0; j < nap; ++j) {
        if (measured[j] > bestCount) {
            bestCount = measured[j];
            best = j;
        }
    }
    if (best >= 0) {
        Cplx h[kChannels];
        for (int k = 0; k < kChannels; ++k) {
            use[k] = w.measuredMap[k][best] != 0 ? 1 : 0;
            h[k] = w.procMeas.pct[k][best];
        }
        // The tones were turned by the prior: distances of the response are
        // relative to it (and to the slope's calibration offset).
        const double base = opts.calDistOffset + w.rawMeas.prior;
        const double slopeM = w.phase.pdest[best] / sf - base;
        const PathPair pp = fitTwoPaths(h, use, slopeM - 5.0, opts.sol);
        if (pp.found) {
            const double strong = std::fmax(pp.earlyAmp, pp.lateAmp);
            const double weak = std::fmin(pp.earlyAmp, pp.lateAmp);
            out.multipath = weak >= kSignificantShare * strong &&
                            pp.residual2 <= kResidualGain * pp.residual1;
            if (out.multipath) {
                out.blocked = pp.earlyAmp < kWeakerShare * pp.lateAmp;
                out.firstPathM = base + pp.earlyM;
                out.rttPullM = (pp.lateM - pp.earlyM) * pp.lateAmp / (pp.earlyAmp + pp.lateAmp);
            }
            DEBUG_LOG(2, "integrity: paths %lf (%lf) %lf (%lf) m, residual %lf -> %lf\n",
                      base + pp.earlyM, pp.earlyAmp, base + pp.lateM, pp.lateAmp, pp.residual1,
                      pp.residual2);
        }
    }

    // Phase jumps between subevents, on the two-way products of every path.
    int group[kChannels];
    subeventGroups(meas, group);
    double jumpSum = 0.0, sameSum = 0.0;
    int judged = 0;
    for (int j = 0; j < nap; ++j) {
        Cplx p[kChannels];
        for (int k = 0; k < kChannels; ++k) {
            const TarnCplxF a = w.rawMeas.initPct[k][j];
            const TarnCplxF b = w.rawMeas.reflPct[k][j];
            p[k] = Cplx(static_cast<double>(a.real()) * b.real() - static_cast<double>(a.imag()) * b.imag(),
                        static_cast<double>(a.real()) * b.imag() + static_cast<double>(a.imag()) * b.real());
            use[k] = w.rawMeas.gmap[k][j];
        }
        double same = 0.0;
        const double jump = subeventJumpDeg(p, use, group, &same);
        if (jump < 0.0) continue;
        jumpSum += jump;
        sameSum += same;
        ++judged;
    }
    if (judged > 0) {
        out.jumpDeg = jumpSum / judged;
        const double same = sameSum / judged;
        out.phaseJumps = out.jumpDeg > kJumpDeg && out.jumpDeg - same > kJumpExcessDeg;
        DEBUG_LOG(2, "integrity: subevent turn %lf deg (same subevent %lf)\n", out.jumpDeg, same);
    }
    DEBUG_LOG(2, "integrity: phase sigma %lf m, multipath %d, blocked %d, jumps %d\n",
              out.sigmaM.value_or(tarn_common::kNoFigure),
              out.multipath ? 1 : 0, out.blocked ? 1 : 0, out.phaseJumps ? 1 : 0);
    return out;
}

}  // namespace tarn_rtp
