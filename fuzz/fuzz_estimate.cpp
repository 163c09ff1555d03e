// Fuzzes the whole estimate of a link: an option record (defaults with
// bytes overwritten, or entirely arbitrary) and seeded ranging state
// installed through csIfSetParam as they come, then a procedure in either
// input format (arbitrary tones, or tones of a real propagation path at a
// fuzzed distance so that the deep stages see meaningful data), then the
// worker's computation of the link. Aborts when the result it would deliver
// is not a finite distance within 1e9 (a million kilometres in the default
// millimetres).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "interface/interface_internal.h"
#include "support/fuzz_support.h"
#include "tarn_diag.h"
#include "tarn_interface.h"
#include "tarn_rtp.h"
#include "tarn_rtt.h"

namespace {

constexpr CsLinkRef kLink = 0x3c3c;

CsContext *linkContext() {
    static CsContext *ctx = tarn_fuzz::linkContext(kLink);
    return ctx;
}

void installOptions(FuzzedDataProvider &fdp) {
    ConfigOpts opts = constOpts;
    if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) {
        std::vector<uint8_t> raw = fdp.ConsumeBytes<uint8_t>(sizeof opts);
        if (!raw.empty()) std::memcpy(&opts, raw.data(), raw.size());
    } else {
        uint8_t *bytes = reinterpret_cast<uint8_t *>(&opts);
        const int edits = fdp.ConsumeIntegralInRange<int>(0, 12);
        for (int e = 0; e < edits; ++e) {
            // Most edits land among the scalar options ahead of the calibration table.
            const size_t at = fdp.ConsumeBool() ? fdp.ConsumeIntegralInRange<size_t>(0, 399)
                                                : fdp.ConsumeIntegralInRange<size_t>(0, sizeof opts - 1);
            bytes[at] = fdp.ConsumeIntegral<uint8_t>();
        }
    }
    csIfSetParam(kLink, 0, &opts);
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) {
        const double t = fdp.ConsumeFloatingPoint<double>();
        csIfSetParam(kLink, 1, &t);
    }
    if (fdp.ConsumeIntegralInRange<int>(0, 7) == 0) {
        const double d = fdp.ConsumeBool() ? 2147483647.0 : fdp.ConsumeFloatingPoint<double>();
        csIfSetParam(kLink, 2, &d);
    }
}

// Tone source: arbitrary values, or a line-of-sight path (plus an optional
// reflection) at a fuzzed distance with a fuzzed per-step phase offset.
struct ToneSource {
    bool real = false;
    double distM = 0.0;
    double reflM = 0.0;
    double reflAmp = 0.0;
    double amp = 1000.0;

    void pick(FuzzedDataProvider &fdp) {
        real = fdp.ConsumeBool();
        distM = fdp.ConsumeIntegralInRange<int>(0, 100000) / 1000.0;
        reflM = fdp.ConsumeIntegralInRange<int>(0, 20000) / 1000.0;
        reflAmp = fdp.ConsumeIntegralInRange<int>(0, 100) / 100.0;
        amp = fdp.ConsumeIntegralInRange<int>(0, 2047);
    }
    // (I, Q) of one side's tone on channel ch, path j.
    void tone(FuzzedDataProvider &fdp, int ch, int j, bool initiator, int32_t *i, int32_t *q) {
        if (!real) {
            *i = fdp.ConsumeIntegral<int16_t>();
            *q = fdp.ConsumeIntegral<int16_t>();
            return;
        }
        const double f = 2402e6 + 1e6 * ch;
        const double d = distM + 0.01 * j;
        std::complex<double> h = std::polar(1.0, -2.0 * M_PI * f * d / 299700000.0);
        h += std::polar(reflAmp, -2.0 * M_PI * f * (d + reflM) / 299700000.0);
        const double th = fdp.ConsumeIntegral<uint8_t>() / 256.0 * 2.0 * M_PI;
        const std::complex<double> v = amp * h * std::polar(1.0, initiator ? th : -th);
        *i = static_cast<int32_t>(std::lround(v.real()));
        *q = static_cast<int32_t>(std::lround(v.imag()));
    }
};

uint8_t pickMode(FuzzedDataProvider &fdp) {
    const int r = fdp.ConsumeIntegralInRange<int>(0, 15);
    if (r == 0) return fdp.ConsumeIntegral<uint8_t>();
    if (r < 3) return static_cast<uint8_t>(r - 1);  // modes 0 and 1
    return fdp.ConsumeBool() ? 2 : 3;
}

uint8_t pickChannel(FuzzedDataProvider &fdp, int step) {
    if (fdp.ConsumeIntegralInRange<int>(0, 15) == 0) return fdp.ConsumeIntegral<uint8_t>();
    return static_cast<uint8_t>(2 + (step * 7) % 75);
}

// The step-level format.
void addSteps(FuzzedDataProvider &fdp, ToneSource &src, int nap, int n) {
    std::vector<uint8_t> channels(n), modes(n);
    std::vector<CsStepResult> init(n), refl(n);
    std::vector<int16_t> pct(static_cast<size_t>(n) * 16);
    std::vector<uint8_t> qual(static_cast<size_t>(n) * 8);
    const int held = nap < 1 ? 1 : (nap > 4 ? 4 : nap);
    for (int s = 0; s < n; ++s) {
        channels[s] = pickChannel(fdp, s);
        modes[s] = pickMode(fdp);
        for (int side = 0; side < 2; ++side) {
            CsStepResult &r = side == 0 ? init[s] : refl[s];
            int16_t *p = &pct[(static_cast<size_t>(s) * 2 + side) * 8];
            uint8_t *qu = &qual[(static_cast<size_t>(s) * 2 + side) * 4];
            for (int j = 0; j < held; ++j) {
                int32_t i, q;
                src.tone(fdp, channels[s], j, side == 0, &i, &q);
                p[2 * j] = static_cast<int16_t>(i);
                p[2 * j + 1] = static_cast<int16_t>(q);
                qu[j] = fdp.ConsumeIntegralInRange<int>(0, 7) == 0 ? fdp.ConsumeIntegral<uint8_t>() : 0;
            }
            if ((modes[s] & 0xFE) == 2) {
                r.tone.pct = p;
                r.tone.pctQual = qu;
                r.tone.timeEst = fdp.ConsumeIntegral<int16_t>();
            } else {
                r.mode1.aaQual = fdp.ConsumeIntegralInRange<uint8_t>(0, 2);
                r.mode1.timeEst = fdp.ConsumeIntegral<int16_t>();
            }
        }
    }
    CsMeasurement m{};
    m.channels = channels.data();
    m.modes = modes.data();
    m.NAP = static_cast<uint8_t>(nap);
    m.initSteps = init.data();
    m.reflSteps = refl.data();
    m.N = static_cast<uint16_t>(n);
    m.timeUs = fdp.ConsumeIntegral<uint32_t>();
    csIfAddMeasurement(kLink, &m);
}

// The procedure-level format: the same steps split into subevents.
void addProcedure(FuzzedDataProvider &fdp, ToneSource &src, int nap, int n) {
    const int subevents = fdp.ConsumeIntegralInRange<int>(1, 8);
    std::vector<CsStep> steps[2];
    steps[0].resize(n);
    steps[1].resize(n);
    std::vector<int32_t> tones(static_cast<size_t>(n) * 2 * 10);
    std::vector<uint8_t> quals(static_cast<size_t>(n) * 2 * 5);
    const int held = nap < 1 ? 1 : (nap > 4 ? 4 : nap);
    for (int s = 0; s < n; ++s) {
        const uint8_t ch = pickChannel(fdp, s);
        const uint8_t mode = pickMode(fdp);
        const uint8_t perm = fdp.ConsumeIntegralInRange<uint8_t>(0, 23);
        for (int side = 0; side < 2; ++side) {
            CsStep &st = steps[side][s];
            st.channel = ch;
            st.mode = mode;
            st.data.mode1.aaQual = fdp.ConsumeIntegralInRange<uint8_t>(0, 2);
            st.data.mode1.timeEst = fdp.ConsumeIntegral<int16_t>();
            CsToneData *td = mode == 2 ? &st.data.tone : (mode == 3 ? &st.mode3Tone : nullptr);
            if (td == nullptr) continue;
            int32_t *t = &tones[(static_cast<size_t>(s) * 2 + side) * 10];
            uint8_t *q = &quals[(static_cast<size_t>(s) * 2 + side) * 5];
            for (int j = 0; j <= held; ++j) {
                src.tone(fdp, ch, j < held ? j : 0, side == 0, &t[2 * j], &t[2 * j + 1]);
                q[j] = fdp.ConsumeIntegralInRange<int>(0, 7) == 0 ? fdp.ConsumeIntegral<uint8_t>() : 0;
            }
            td->antPerm = perm;
            td->toneCount = held + 1;
            td->tones = t;
            td->toneQual = q;
        }
    }
    std::vector<CsSubevent> se[2];
    const int64_t t0 = fdp.ConsumeIntegral<int64_t>();
    for (int side = 0; side < 2; ++side) {
        se[side].resize(subevents);
        int first = 0;
        for (int k = 0; k < subevents; ++k) {
            const int last = (k == subevents - 1) ? n : (n * (k + 1)) / subevents;
            CsSubevent &e = se[side][k];
            e.NAP = static_cast<int8_t>(nap);
            e.numSteps = last - first;
            e.steps = steps[side].data() + first;
            e.timestampNs = static_cast<int64_t>(static_cast<uint64_t>(t0) + static_cast<uint64_t>(k) * 1000000u);
            e.aborted = fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? 1 : 0;
            first = last;
        }
    }
    CsProcedure p{};
    p.numInitSubevents = subevents;
    p.initSubevents = se[0].data();
    p.numReflSubevents = subevents;
    p.reflSubevents = se[1].data();
    csIfAddMeasurementV2(kLink, &p);
}

// The worker's computation, as it runs for a request of the link.
void computeAndCheck() {
    csContextListlock();
    CsContextItem *item = csContextListGetItem(kLink);
    if (item == nullptr) std::abort();
    tarn_iface::LinkEstimate est;
    if (!tarn_iface::computeLinkEstimate(item, &est)) std::abort();
    const double dest = est.result->dest;
    csContextListunlock();
    if (!std::isfinite(dest) || std::fabs(dest) > 1e9) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    CsContext *ctx = linkContext();
    glog_level = -1;
    FuzzedDataProvider fdp(data, size);
    installOptions(fdp);
    glog_level = -1;

    ToneSource src;
    src.pick(fdp);
    const int nap = fdp.ConsumeIntegralInRange<int>(0, 15) == 0 ? fdp.ConsumeIntegral<int8_t>()
                                                                 : fdp.ConsumeIntegralInRange<int>(1, 4);
    const int n = fdp.ConsumeIntegralInRange<int>(0, TARN_MAX_STEPS);
    const int procedures = fdp.ConsumeIntegralInRange<int>(1, 3);
    for (int p = 0; p < procedures; ++p) {
        if (fdp.ConsumeBool()) {
            addSteps(fdp, src, nap, n);
        } else {
            addProcedure(fdp, src, nap, n);
        }
        ctx->timeUs += fdp.ConsumeIntegralInRange<int>(0, 6000000);
        computeAndCheck();
    }
    return 0;
}
