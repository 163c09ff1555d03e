#include "wire.h"

#include <algorithm>
#include <cstring>

namespace tarn_sim {

namespace {

// An aborted step goes to the library in the form it skips like any unusable
// step: a failed access-address exchange (no round-trip time taken from it)
// and tones of zero phase correction with quality "not available" (no tone
// taken from it). Mode and channel stay, so every later step keeps its index.
constexpr uint8_t kAaNotFound = 0x02;
constexpr int8_t kRssiUnavailable = 127;

int abortedToneCount(int nap) {
    return std::clamp(nap, 1, int(TARN_MAX_ANT_PATHS)) + 1;
}

}  // namespace

WireProcedure::WireProcedure(const Procedure &p) {
    // The library reads the antenna path count of the initiator's first subevent.
    const int nap = p.initiator.empty() ? 1 : p.initiator[0].nap;
    fill(p.initiator, p.reflector, nap, &init_);
    fill(p.reflector, p.initiator, nap, &refl_);
    proc_.numInitSubevents = static_cast<int32_t>(init_.size());
    proc_.initSubevents = init_.data();
    proc_.numReflSubevents = static_cast<int32_t>(refl_.size());
    proc_.reflSubevents = refl_.data();
}

void WireProcedure::fill(const std::vector<Subevent> &src, const std::vector<Subevent> &other,
                         int nap, std::vector<CsSubevent> *dst) {
    dst->resize(src.size());
    for (size_t k = 0; k < src.size(); ++k) {
        const Subevent &se = src[k];
        CsSubevent &w = (*dst)[k];
        std::memset(&w, 0, sizeof w);
        w.rpl = se.rpl;
        w.NAP = se.nap;
        w.aborted = se.aborted;
        w.numSteps = static_cast<int64_t>(se.steps.size());
        w.timestampNs = se.timestampNs;
        steps_.emplace_back(new CsStep[se.steps.size() + 1]());
        w.steps = steps_.back().get();
        for (size_t j = 0; j < se.steps.size(); ++j) {
            const Step &st = se.steps[j];
            CsStep &ws = w.steps[j];
            ws.channel = st.channel;
            ws.mode = st.mode;
            // The library pairs the sides' steps by position: a step aborted
            // on either side is unusable on both.
            const bool otherAborted =
                k < other.size() && j < other[k].steps.size() && other[k].steps[j].aborted != 0;
            if (st.aborted != 0 || otherAborted) {
                fillAborted(&ws, nap);
                continue;
            }
            if (st.mode == 0) {
                ws.data.mode0.aaQual = st.aaQual;
                ws.data.mode0.rssi = st.rssi;
                ws.data.mode0.freqOff = st.freqOff;
            } else if (st.mode == 1 || st.mode == 3) {
                ws.data.mode1.aaQual = st.aaQual;
                ws.data.mode1.security = st.security;
                ws.data.mode1.rssi = st.rssi;
                ws.data.mode1.timeEst = st.timeEst;
                ws.data.mode1.antenna = st.antenna;
            }
            if (st.mode == 2 || st.mode == 3) {
                CsToneData &td = st.mode == 2 ? ws.data.tone : ws.mode3Tone;
                const size_t n = st.tones.size();
                tones_.emplace_back(new int32_t[2 * n + 2]());
                quals_.emplace_back(new uint8_t[n + 1]());
                for (size_t t = 0; t < n; ++t) {
                    tones_.back()[2 * t] = st.tones[t].i;
                    tones_.back()[2 * t + 1] = st.tones[t].q;
                    quals_.back()[t] = st.tones[t].qual;
                }
                td.antPerm = st.antPerm;
                td.toneCount = static_cast<int32_t>(n);
                td.tones = tones_.back().get();
                td.toneQual = quals_.back().get();
            }
        }
    }
}

void WireProcedure::fillAborted(CsStep *ws, int nap) {
    if (ws->mode == 0) {
        ws->data.mode0.aaQual = kAaNotFound;
        ws->data.mode0.rssi = kRssiUnavailable;
    } else if (ws->mode == 1 || ws->mode == 3) {
        ws->data.mode1.aaQual = kAaNotFound;
        ws->data.mode1.rssi = kRssiUnavailable;
    }
    if (ws->mode == 2 || ws->mode == 3) {
        CsToneData &td = ws->mode == 2 ? ws->data.tone : ws->mode3Tone;
        const int n = abortedToneCount(nap);
        tones_.emplace_back(new int32_t[2 * n]());
        quals_.emplace_back(new uint8_t[n]);
        std::fill(quals_.back().get(), quals_.back().get() + n, kQualUnavailable);
        td.antPerm = 0;
        td.toneCount = n;
        td.tones = tones_.back().get();
        td.toneQual = quals_.back().get();
    }
}

WireMeasurement::WireMeasurement(const Procedure &p) {
    // Subevents both sides completed with the same number of steps.
    std::vector<const Subevent *> ini, ref;
    const size_t n = std::min({p.initiator.size(), p.reflector.size(), size_t(kMaxSubevents)});
    for (size_t k = 0; k < n; ++k) {
        const Subevent &a = p.initiator[k], &b = p.reflector[k];
        if (a.aborted == 0 && b.aborted == 0 && a.steps.size() == b.steps.size()) {
            ini.push_back(&a);
            ref.push_back(&b);
        }
    }
    const int nap = p.initiator.empty() ? 0 : p.initiator[0].nap;
    size_t total = 0;
    for (const Subevent *se : ini) total += se->steps.size();
    total = std::min(total, size_t(kMaxSteps));

    // At least one element each, so that an empty procedure still has valid pointers.
    const size_t room = std::max<size_t>(total, 1);
    channels_.assign(room, 0);
    modes_.assign(room, 0);
    init_.assign(room, CsStepResult{});
    refl_.assign(room, CsStepResult{});
    pct_.assign(2 * room * (2 * TARN_MAX_ANT_PATHS), 0);
    qual_.assign(2 * room * TARN_MAX_ANT_PATHS, 0);

    size_t i = 0;
    for (size_t k = 0; k < ini.size() && i < total; ++k) {
        for (size_t j = 0; j < ini[k]->steps.size() && i < total; ++j, ++i) {
            const Step *side[2] = {&ini[k]->steps[j], &ref[k]->steps[j]};
            CsStepResult *out[2] = {&init_[i], &refl_[i]};
            channels_[i] = side[0]->channel;
            modes_[i] = side[0]->mode;
            const bool aborted = side[0]->aborted != 0 || side[1]->aborted != 0;
            for (int s = 0; s < 2; ++s) {
                const Step &st = *side[s];
                CsStepResult &r = *out[s];
                if (aborted) {
                    // Zero tones with quality "not available" on every path.
                    const size_t slot = 2 * i + s;
                    uint8_t *q = &qual_[slot * TARN_MAX_ANT_PATHS];
                    std::fill(q, q + TARN_MAX_ANT_PATHS, kQualUnavailable);
                    if (modes_[i] == 0) {
                        r.mode0.aaQual = kAaNotFound;
                        r.mode0.rssi = kRssiUnavailable;
                    } else if (modes_[i] == 1) {
                        r.mode1.aaQual = kAaNotFound;
                        r.mode1.rssi = kRssiUnavailable;
                    } else if (modes_[i] == 2 || modes_[i] == 3) {
                        r.tone.pct = &pct_[slot * 2 * TARN_MAX_ANT_PATHS];
                        r.tone.pctQual = q;
                        r.tone.rpl = (s == 0 ? ini[k] : ref[k])->rpl;
                        if (modes_[i] == 3) {
                            r.tone.aaQual = kAaNotFound;
                            r.tone.rssi = kRssiUnavailable;
                        }
                    }
                    continue;
                }
                switch (modes_[i]) {
                    case 0:
                        r.mode0.aaQual = st.aaQual;
                        r.mode0.rssi = st.rssi;
                        r.mode0.freqOff = static_cast<int16_t>(st.freqOff);
                        break;
                    case 1:
                        r.mode1.aaQual = st.aaQual;
                        r.mode1.security = st.security;
                        r.mode1.antenna = st.antenna;
                        r.mode1.rssi = st.rssi;
                        r.mode1.timeEst = static_cast<int16_t>(st.timeEst);
                        break;
                    case 2:
                    case 3: {
                        const size_t slot = 2 * i + s;
                        int16_t *pct = &pct_[slot * 2 * TARN_MAX_ANT_PATHS];
                        uint8_t *q = &qual_[slot * TARN_MAX_ANT_PATHS];
                        // Tones in reporting order go to their antenna paths; the
                        // tone extension (last slot) is not a path of its own.
                        const size_t used = std::min<size_t>(
                            {st.tones.size() > 0 ? st.tones.size() - 1 : 0,
                             size_t(TARN_MAX_ANT_PATHS), size_t(nap > 0 ? nap : 0)});
                        for (size_t t = 0; t < used && st.antPerm < 24; ++t) {
                            const int path = kAntPattern[st.antPerm][t];
                            pct[2 * path] = static_cast<int16_t>(st.tones[t].i);
                            pct[2 * path + 1] = static_cast<int16_t>(st.tones[t].q);
                            q[path] = st.tones[t].qual;
                        }
                        r.tone.pct = pct;
                        r.tone.pctQual = q;
                        r.tone.antPerm = st.antPerm;
                        r.tone.rpl = (s == 0 ? ini[k] : ref[k])->rpl;
                        if (modes_[i] == 3) {
                            r.tone.aaQual = st.aaQual;
                            r.tone.security = st.security;
                            r.tone.antenna = st.antenna;
                            r.tone.rssi = st.rssi;
                            r.tone.timeEst = static_cast<int16_t>(st.timeEst);
                        }
                        break;
                    }
                    default:
                        break;
                }
            }
        }
    }
    meas_.channels = channels_.data();
    meas_.modes = modes_.data();
    meas_.NAP = static_cast<uint8_t>(nap);
    meas_.initSteps = init_.data();
    meas_.reflSteps = refl_.data();
    meas_.N = static_cast<uint16_t>(total);
    meas_.timeUs =
        p.initiator.empty() ? 0u : static_cast<uint32_t>(p.initiator[0].timestampNs / 1000);
}

}  // namespace tarn_sim
