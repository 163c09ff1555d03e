// Step durations from the link's CS step timing, and the extension that
// gives a link its timing.
#include "interface/step_timing.h"

#include "interface/interface_internal.h"
#include "interface/link_state.h"
#include "tarn_diag.h"

namespace tarn_link {

namespace {

// Fixed parts of a step (us): the ramp-down after a packet, the guard
// before a tone and the frequency measurement tone of a mode-0 step.
constexpr double kRampDownUs = 5.0;
constexpr double kGuardUs = 10.0;
constexpr double kFreqMeasureUs = 80.0;

template <size_t N>
bool oneOf(unsigned v, const unsigned (&set)[N]) {
    for (unsigned s : set)
        if (v == s) return true;
    return false;
}

const unsigned kIpUs[] = {10, 20, 30, 40, 50, 60, 80, 145};
const unsigned kFcsUs[] = {15, 20, 30, 40, 50, 60, 80, 100, 120, 150};
const unsigned kPmUs[] = {10, 20, 40};
const unsigned kSwUs[] = {0, 1, 2, 4, 10};
// Bits the RTT type adds after the access address: none, a 32- or 96-bit
// sounding sequence, a 32-, 64-, 96- or 128-bit random sequence.
const unsigned kRttBits[] = {0, 32, 96, 32, 64, 96, 128};

}  // namespace

bool stepTimingGiven(const TarnStepTiming &t) {
    return t.tFcsUs != 0 || t.tIp1Us != 0 || t.tIp2Us != 0 || t.tPmUs != 0;
}

const char *stepTimingFault(const TarnStepTiming &t) {
    if (!oneOf(t.tFcsUs, kFcsUs)) return "T_FCS";
    if (!oneOf(t.tIp1Us, kIpUs)) return "T_IP1";
    if (!oneOf(t.tIp2Us, kIpUs)) return "T_IP2";
    if (!oneOf(t.tPmUs, kPmUs)) return "T_PM";
    if (!oneOf(t.tSwUs, kSwUs)) return "T_SW";
    if (t.phy < 1 || t.phy > 3) return "phy";
    if (t.rttType > 6) return "rttType";
    return "";
}

double syncDurationUs(const TarnStepTiming &t) {
    const double bits = t.rttType <= 6 ? kRttBits[t.rttType] : 0.0;
    // LE 1M: 8-bit preamble, 32-bit access address, 4-bit trailer at 1 us a
    // bit; the 2 Msym/s PHYs: 16-bit preamble and the rest at 0.5 us a bit.
    if (t.phy == 1) return 8.0 + 32.0 + 4.0 + bits;
    return 8.0 + 16.0 + 2.0 + bits / 2.0;
}

double stepDurationUs(const TarnStepTiming &t, int mode, int nap) {
    if (nap < 1 || nap > 4) return 0.0;
    const double sy = syncDurationUs(t);
    const double sw = nap > 1 ? t.tSwUs : 0.0;
    const double tones = (sw + t.tPmUs) * (nap + 1);
    switch (mode) {
        case 0:
            return t.tFcsUs + sy + kRampDownUs + t.tIp1Us + sy + kGuardUs + kFreqMeasureUs +
                   kRampDownUs;
        case 1:
            return t.tFcsUs + 2.0 * (sy + kRampDownUs) + t.tIp1Us;
        case 2:
            return t.tFcsUs + t.tIp2Us + 2.0 * tones;
        case 3:
            return t.tFcsUs + t.tIp2Us + 2.0 * (sy + kGuardUs + tones);
        default:
            return 0.0;
    }
}

}  // namespace tarn_link

// ---- Extension ------------------------------------------------------------------------

extern "C" int tarnSetStepTiming(CsLinkRef linkRef, const TarnStepTiming *timing) {
    const int link = static_cast<int>(linkRef);
    if (timing == nullptr) {
        DEBUG_LOG(1, "tarnSetStepTiming: no timing record for link %d.\n", link);
        return 0;
    }
    // The size first: a shorter record may end before the fields.
    const uint32_t size = timing->size;
    if (size < TARN_STEP_TIMING_V1_SIZE) {
        DEBUG_LOG(1, "tarnSetStepTiming: record size %u below %u for link %d.\n",
                  static_cast<unsigned>(size), TARN_STEP_TIMING_V1_SIZE, link);
        return 0;
    }
    // Then one copy: the host's record is read once.
    const TarnStepTiming t = *timing;
    if (t.reserved != 0) {
        DEBUG_LOG(1, "tarnSetStepTiming: reserved byte %u is not 0 for link %d.\n",
                  static_cast<unsigned>(t.reserved), link);
        return 0;
    }
    const bool given = tarn_link::stepTimingGiven(t);
    if (given) {
        const char *fault = tarn_link::stepTimingFault(t);
        if (fault[0] != '\0') {
            DEBUG_LOG(1,
                      "tarnSetStepTiming: %s not allowed (T_FCS %u, T_IP1 %u, T_IP2 %u, T_PM %u, "
                      "T_SW %u, phy %u, rttType %u) for link %d.\n",
                      fault, t.tFcsUs, t.tIp1Us, t.tIp2Us, t.tPmUs, t.tSwUs, t.phy, t.rttType,
                      link);
            return 0;
        }
    }
    bool unknown = false;
    const int done = tarn_iface::changeLinkState(linkRef, &unknown, [&](TarnLinkState &st) {
        st.stepTiming = given ? t : TarnStepTiming();
        if (given) st.stepTiming.size = TARN_STEP_TIMING_V1_SIZE;
    });
    if (unknown) DEBUG_LOG(3, "link refrence %d does not exist\n", link);
    if (done == 0) return 0;
    if (given)
        DEBUG_LOG(2, "Step timing of link %d: T_FCS %u, T_IP1 %u, T_IP2 %u, T_PM %u, T_SW %u, phy %u, "
                  "rttType %u\n", link, t.tFcsUs, t.tIp1Us, t.tIp2Us, t.tPmUs, t.tSwUs, t.phy,
                  t.rttType);
    else
        DEBUG_LOG(2, "Step timing of link %d: unknown\n", link);
    return 1;
}
