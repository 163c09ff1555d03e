#include "baselines.h"

#include <algorithm>
#include <cmath>

namespace tarn_tool {

namespace {

constexpr int kFftSize = 4096;
constexpr double kMinDistanceM = -15.0;

// Summed power of the antenna paths' transforms at round-trip delay tau (s).
double profileAt(const ToneProducts &tp, double tau) {
    double power = 0.0;
    for (int p = 0; p < tp.nap; ++p) {
        std::complex<double> acc = 0.0;
        for (int k = 0; k < kChannelSlots; ++k)
            if (tp.present[k][p])
                acc += tp.value[k][p] * std::polar(1.0, 2.0 * M_PI * k * kChannelSpacingHz * tau);
        power += std::norm(acc);
    }
    return power;
}

}  // namespace

int ToneProducts::count(int path) const {
    int n = 0;
    for (int k = 0; k < kChannelSlots; ++k) n += present[k][path] ? 1 : 0;
    return n;
}

ToneProducts toneProducts(const Procedure &p) {
    ToneProducts tp;
    tp.nap = p.initiator.empty() ? 0 : std::clamp<int>(p.initiator[0].nap, 0, 4);
    int hits[kChannelSlots][4] = {};
    const size_t n = std::min({p.initiator.size(), p.reflector.size(), size_t(kMaxSubevents)});
    for (size_t s = 0; s < n; ++s) {
        const Subevent &a = p.initiator[s], &b = p.reflector[s];
        if (a.aborted != 0 || b.aborted != 0 || a.steps.size() != b.steps.size()) continue;
        for (size_t j = 0; j < a.steps.size(); ++j) {
            const Step &si = a.steps[j], &sr = b.steps[j];
            if ((si.mode != 2 && si.mode != 3) || si.channel >= kChannelSlots) continue;
            if (si.aborted != 0 || sr.aborted != 0) continue;
            if (si.antPerm >= 24) continue;
            const size_t used =
                std::min({si.tones.size() > 0 ? si.tones.size() - 1 : size_t(0),
                          sr.tones.size() > 0 ? sr.tones.size() - 1 : size_t(0), size_t(tp.nap)});
            for (size_t t = 0; t < used; ++t) {
                const int path = kAntPattern[si.antPerm][t];
                // The reflector reports in its own permutation order.
                size_t u = 0;
                while (u < used && kAntPattern[sr.antPerm < 24 ? sr.antPerm : 0][u] != path) ++u;
                if (u == used) continue;
                const Tone &x = si.tones[t], &y = sr.tones[u];
                if (x.qual >= kQualUnavailable || y.qual >= kQualUnavailable) continue;
                tp.value[si.channel][path] +=
                    std::complex<double>(x.i, x.q) * std::complex<double>(y.i, y.q);
                ++hits[si.channel][path];
            }
        }
    }
    for (int k = 0; k < kChannelSlots; ++k)
        for (int path = 0; path < 4; ++path)
            if (hits[k][path] > 0) {
                tp.value[k][path] /= hits[k][path];
                tp.present[k][path] = true;
            }
    return tp;
}

void fftInPlace(std::vector<std::complex<double>> *xs, bool inverse) {
    std::vector<std::complex<double>> &x = *xs;
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double ang = 2.0 * M_PI / static_cast<double>(len) * (inverse ? 1.0 : -1.0);
        const std::complex<double> wl = std::polar(1.0, ang);
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (size_t j = 0; j < len / 2; ++j) {
                const std::complex<double> u = x[i + j], v = x[i + j + len / 2] * w;
                x[i + j] = u + v;
                x[i + j + len / 2] = u - v;
                w *= wl;
            }
        }
    }
}

BaselineEstimate ifftPeakDistance(const ToneProducts &tp, double c, ImpulseResponse *ir,
                                  double irMaxM) {
    BaselineEstimate est;
    std::vector<double> power(kFftSize, 0.0);
    bool any = false;
    for (int p = 0; p < tp.nap; ++p) {
        std::vector<std::complex<double>> x(kFftSize, 0.0);
        for (int k = 0; k < kChannelSlots; ++k)
            if (tp.present[k][p]) {
                x[static_cast<size_t>(k)] = tp.value[k][p];
                any = true;
            }
        // The product falls by 2 pi f tau over frequency; the inverse
        // transform gathers it at bin tau x N x spacing.
        fftInPlace(&x, true);
        for (int n = 0; n < kFftSize; ++n) power[static_cast<size_t>(n)] += std::norm(x[n]);
    }
    if (!any) return est;
    // Bin n stands for a one-way distance c n / (2 N spacing), wrapped into
    // [kMinDistanceM, kMinDistanceM + c / (2 spacing)).
    const double binM = c / (2.0 * kFftSize * kChannelSpacingHz);
    const double spanM = binM * kFftSize;
    auto binDistance = [&](int n) {
        double d = n * binM;
        if (d >= spanM + kMinDistanceM) d -= spanM;
        return d;
    };
    int best = 0;
    for (int n = 1; n < kFftSize; ++n)
        if (power[static_cast<size_t>(n)] > power[static_cast<size_t>(best)]) best = n;
    if (!(power[static_cast<size_t>(best)] > 0.0)) return est;

    // Golden-section search of the continuous profile between the neighbours.
    const double tauOf = 2.0 / c;
    double lo = (binDistance(best) - binM) * tauOf, hi = (binDistance(best) + binM) * tauOf;
    const double g = (std::sqrt(5.0) - 1.0) / 2.0;
    double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
    double fa = profileAt(tp, a), fb = profileAt(tp, b);
    for (int it = 0; it < 60; ++it) {
        if (fa > fb) {
            hi = b, b = a, fb = fa;
            a = hi - g * (hi - lo);
            fa = profileAt(tp, a);
        } else {
            lo = a, a = b, fa = fb;
            b = lo + g * (hi - lo);
            fb = profileAt(tp, b);
        }
    }
    est.valid = true;
    est.distanceM = (lo + hi) / 2.0 / tauOf;

    if (ir != nullptr) {
        ir->distanceM.clear();
        ir->magnitude.clear();
        ir->peakM = est.distanceM;
        const double top = std::sqrt(power[static_cast<size_t>(best)]);
        std::vector<std::pair<double, double>> pts;
        for (int n = 0; n < kFftSize; ++n) {
            const double d = binDistance(n);
            if (d >= -5.0 && d <= irMaxM)
                pts.emplace_back(d, std::sqrt(power[static_cast<size_t>(n)]) / top);
        }
        std::sort(pts.begin(), pts.end());
        for (const auto &pt : pts) {
            ir->distanceM.push_back(pt.first);
            ir->magnitude.push_back(pt.second);
        }
    }
    return est;
}

BaselineEstimate phaseSlopeDistance(const ToneProducts &tp, double c) {
    BaselineEstimate est;
    double sum = 0.0;
    int fitted = 0;
    for (int p = 0; p < tp.nap; ++p) {
        double sk = 0, sp = 0, skk = 0, skp = 0;
        int n = 0, prevK = -1;
        double prevPhase = 0.0;
        for (int k = 0; k < kChannelSlots; ++k) {
            if (!tp.present[k][p]) continue;
            const double raw = std::arg(tp.value[k][p]);
            double phase = raw;
            if (n > 0) {
                // Expected advance over the gap from the line fitted so far
                // (no slope yet: none), then the nearest turn to it.
                double slope = 0.0;
                const double den = n * skk - sk * sk;
                if (n >= 2 && den > 0.0) slope = (n * skp - sk * sp) / den;
                const double predicted = prevPhase + slope * (k - prevK);
                phase = predicted + std::remainder(raw - predicted, 2.0 * M_PI);
            }
            sk += k, sp += phase, skk += double(k) * k, skp += k * phase;
            ++n;
            prevK = k;
            prevPhase = phase;
        }
        const double den = n * skk - sk * sk;
        if (n < 3 || !(den > 0.0)) continue;
        const double slope = (n * skp - sk * sp) / den;  // radians per channel
        sum += -slope * c / (4.0 * M_PI * kChannelSpacingHz);
        ++fitted;
    }
    if (fitted == 0) return est;
    est.valid = true;
    est.distanceM = sum / fitted;
    return est;
}

// Derivation. Each side reports z = A e^{j alpha} + n with complex Gaussian
// noise of power s2 = A^2 / SNR. For a phase in such noise the Fisher
// information is 2 A^2 / s2 = 2 SNR, so each side's phase is known to a
// variance of at best 1 / (2 SNR). The initiator sees alpha_k = theta_k -
// 2 pi f_k d / c + phi0/2, the reflector beta_k = -theta_k - 2 pi f_k d / c +
// phi0/2, with an unknown oscillator phase theta_k per tone. The difference
// alpha_k - beta_k = 2 theta_k only measures the nuisance, so all information
// on d sits in the sum s_k = phi0 - 4 pi f_k d / c, observed with variance
// sigma^2 = 2 / (2 SNR) = 1 / SNR. For the line s_k = phi0 - (4 pi / c) f_k d
// with unknown offset phi0, the Fisher matrix for (phi0, d) inverts to
//     var(d) >= sigma^2 / ((4 pi / c)^2 sum_k (f_k - mean f)^2),
// i.e.  sd(d) >= c / (4 pi sqrt(SNR sum_k (f_k - mean f)^2)).
// The amplitude decouples from the phases. P antenna paths with the same
// distance and independent noise add their information: divide by sqrt(P).
double cramerRaoBoundM(const std::vector<uint8_t> &channels, double snrDb, int paths, double c) {
    if (channels.size() < 2 || paths < 1) return NAN;
    double mean = 0.0;
    for (uint8_t k : channels) mean += channelFrequencyHz(k);
    mean /= static_cast<double>(channels.size());
    double spread = 0.0;
    for (uint8_t k : channels) spread += std::pow(channelFrequencyHz(k) - mean, 2);
    const double snr = std::pow(10.0, snrDb / 10.0);
    return c / (4.0 * M_PI * std::sqrt(snr * spread * paths));
}

}  // namespace tarn_tool
