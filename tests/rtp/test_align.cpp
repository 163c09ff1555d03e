// Event phase alignment across subevents.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <complex>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "log_capture.h"
#include "rtp/rtp_align.h"
#include "tarn_rtp.h"

namespace {

constexpr int kAp = TARN_MAX_ANT_PATHS;
constexpr int kRows = TARN_MAX_TONES;
constexpr double kPi = 3.14159265358979323846;
constexpr double kTurn = 65536.0;
const TarnCplxD kSentinel(-7.0, -7.0);

struct Step {
    uint8_t mode;
    uint8_t channel;
};
Step Z(int ch = 0) { return {0, static_cast<uint8_t>(ch)}; }
Step T(int ch) { return {2, static_cast<uint8_t>(ch)}; }
Step O(int ch) { return {1, static_cast<uint8_t>(ch)}; }

struct Tones {
    TarnCplxI4 init[kRows][kAp] = {};
    TarnCplxI4 refl[kRows][kAp] = {};
    double phase[kRows][kAp] = {};
    uint8_t gmap[kRows][kAp] = {};
    TarnCplxD initC[kRows][kAp];
    TarnCplxD reflC[kRows][kAp];
    std::vector<int> event;  // event index of each tone
    std::vector<int> chan;   // channel of each tone
};

// Event offset (radians, each direction) of event e on path j.
double offsetOf(int e, int j) { return 0.6 * e + 0.25 * j - 0.4; }
// One-way phase of a channel for a fixed distance.
double chanPhase(int ch) { return -0.37 * ch; }

// Tones of `steps` carrying offsetOf(event, path); the two-way phase is
// derived from the rounded (I, Q) the way the driver derives it.
std::unique_ptr<Tones> build(const std::vector<Step> &steps) {
    auto t = std::make_unique<Tones>();
    int k = 0, ev = -1;
    bool open = false;
    for (const Step &s : steps) {
        if (s.mode != 0 && !open) ++ev;
        open = s.mode != 0;
        if (s.mode < 2 || s.mode > 3) continue;
        for (int j = 0; j < kAp; ++j) {
            const double a = chanPhase(s.channel) + offsetOf(ev, j);
            const TarnCplxI4 iq{static_cast<int32_t>(std::lround(2000 * std::cos(a))),
                                static_cast<int32_t>(std::lround(2000 * std::sin(a)))};
            t->init[k][j] = iq;
            t->refl[k][j] = iq;
            const double h = kTurn / 2;
            const double ph = std::atan2(iq.im, iq.re) / kPi * h * 2 + h;
            t->phase[k][j] = std::fmod(std::fmod(ph, kTurn) + kTurn, kTurn);
            t->gmap[k][j] = 1;
        }
        t->event.push_back(ev);
        t->chan.push_back(s.channel);
        ++k;
    }
    return t;
}

int run(Tones &t, const std::vector<Step> &steps, int nap, int numTones = -1, int n = -1,
        uint8_t quant = 0) {
    std::vector<uint8_t> modes, channels;
    for (const Step &s : steps) {
        modes.push_back(s.mode);
        channels.push_back(s.channel);
    }
    for (auto &row : t.initC)
        for (auto &c : row) c = kSentinel;
    for (auto &row : t.reflC)
        for (auto &c : row) c = kSentinel;
    ConfigOpts opts = constOpts;
    opts.quant = quant;
    if (numTones < 0) numTones = static_cast<int>(t.event.size());
    if (n < 0) n = static_cast<int>(steps.size());
    return alignEventPhases(t.init, t.refl, t.phase, t.gmap, modes.data(), channels.data(), &opts,
                            static_cast<uint16_t>(n), static_cast<int8_t>(nap),
                            static_cast<uint16_t>(numTones), t.initC, t.reflC);
}

bool converted(const Tones &t, int k, int j) {
    return t.initC[k][j] == TarnCplxD(t.init[k][j].re, t.init[k][j].im) &&
           t.reflC[k][j] == TarnCplxD(t.refl[k][j].re, t.refl[k][j].im);
}

// Distance of two angles, modulo a full turn.
double angleGap(double a, double b) {
    return std::abs(std::remainder(a - b, 2 * kPi));
}

// After alignment the two-way product of tone k must carry the offset of
// event `carrier`; a tone that keeps its own event's offset is unrotated.
void expectCarries(const Tones &t, int k, int j, int carrier, const std::string &what) {
    const TarnCplxD prod = t.initC[k][j] * t.reflC[k][j];
    const double own = 2 * std::atan2(t.init[k][j].im, t.init[k][j].re);
    const double want = own + 2 * (offsetOf(carrier, j) - offsetOf(t.event[k], j));
    EXPECT_LT(angleGap(std::arg(prod), want), 0.01) << what << " tone " << k << " path " << j;
    if (carrier == t.event[k]) {
        EXPECT_TRUE(converted(t, k, j)) << what << " tone " << k;
    }
}

TEST(AlignEventPhases, RemovesEventOffsetsOnEveryPath) {
    // Four events, each opening with mode-0 steps and repeating the last two
    // channels of the one before.
    std::vector<Step> steps;
    int ch = 2;
    for (int e = 0; e < 4; ++e) {
        steps.push_back(Z());
        steps.push_back(Z());
        if (e > 0) ch -= 2;
        for (int i = 0; i < 12; ++i) steps.push_back(T(ch++));
    }
    for (uint8_t quant : {0, 1}) {
        auto t = build(steps);
        ASSERT_EQ(t->event.size(), 48u);
        EXPECT_EQ(run(*t, steps, 4, -1, -1, quant), 0);
        for (int k = 0; k < 48; ++k) {
            for (int j = 0; j < 4; ++j) {
                if (k < 12) {
                    EXPECT_TRUE(converted(*t, k, j));
                }
                const TarnCplxD prod = t->initC[k][j] * t->reflC[k][j];
                const double want = 2 * (chanPhase(t->chan[k]) + offsetOf(0, j));
                EXPECT_LT(angleGap(std::arg(prod), want), 0.01) << "tone " << k << " path " << j;
                if (quant) {
                    EXPECT_EQ(t->initC[k][j].real(), std::round(t->initC[k][j].real()));
                }
            }
        }
    }
}

// Two events on explicit two-way phases (qWrap 65536, one path).
struct Worked {
    const char *name;
    std::vector<Step> steps;
    std::vector<double> phase;
    std::vector<uint8_t> gmap;
    int errors;
    double rotation;  // phase units applied to the second event (two-way)
};

TEST(AlignEventPhases, WorkedOffsets) {
    const std::vector<Worked> cases = {
        {"single event", {T(3), T(4), T(5)}, {10, 20, 30}, {1, 1, 1}, 0, 0.0},
        {"one repeat", {Z(), T(3), T(4), Z(), T(4), T(5)}, {7, 1000, 3000, 9}, {1, 1, 1, 1}, 0,
         63536.0},
        {"three repeats",
         {T(1), T(2), T(3), T(4), Z(), T(2), T(3), T(4), T(5)},
         {0, 500, 600, 700, 400, 400, 400, 50},
         {1, 1, 1, 1, 1, 1, 1, 1},
         0,
         200.0},
        {"repeat unusable", {T(3), T(4), Z(), T(4), T(5)}, {0, 1000, 3000, 0}, {1, 1, 0, 1}, 1, 0},
    };
    for (const Worked &c : cases) {
        auto t = build(c.steps);
        for (size_t k = 0; k < c.phase.size(); ++k) {
            t->phase[k][0] = c.phase[k];
            t->gmap[k][0] = c.gmap[k];
        }
        EXPECT_EQ(run(*t, c.steps, 1), c.errors) << c.name;
        const TarnCplxD rot = std::polar(1.0, c.rotation * 0.5 / 32768 * kPi);
        for (size_t k = 0; k < c.phase.size(); ++k) {
            const TarnCplxD in(t->init[k][0].re, t->init[k][0].im);
            const TarnCplxD want = t->event[k] == 0 ? in : in * rot;
            EXPECT_NEAR(std::abs(t->initC[k][0] - want), 0.0, 1e-9) << c.name << " tone " << k;
            EXPECT_NEAR(std::abs(t->reflC[k][0] - want), 0.0, 1e-9) << c.name << " tone " << k;
        }
        EXPECT_EQ(t->initC[c.phase.size()][0], kSentinel) << c.name;
    }
}

// Layouts an aligner can trip over. `carrier` gives, per tone, the event
// whose offset the tone must carry afterwards ('-' = row not written).
struct Layout {
    const char *name;
    std::vector<Step> steps;
    std::string carrier;
    int errorsPerPath;
    int numTones = -1;
    int n = -1;
};

std::vector<Step> longProcedure(int tonesPerEvent, bool split) {
    std::vector<Step> s;
    if (split) s.push_back(Z());
    for (int i = 0; i < tonesPerEvent; ++i) s.push_back(T(2 + i % 70));
    if (split) {
        s.push_back(Z());
        for (int i = tonesPerEvent - 2; i < 2 * tonesPerEvent - 2; ++i) s.push_back(T(2 + i % 70));
    }
    return s;
}

TEST(AlignEventPhases, HostileLayoutsStayInBoundsAndKeepUnalignableTones) {
    const std::vector<Layout> cases = {
        {"start at step 0, no repeat", {T(5), Z(), T(9), T(10)}, "011", 0},
        {"start at step 1", {Z(), T(5), T(6), Z(), T(6), T(7)}, "0000", 0},
        {"start at step 2", {Z(), Z(), T(5), T(6), Z(), T(5), T(6), T(7)}, "00000", 0},
        {"start at step 3", {Z(), Z(), Z(), T(6), Z(), T(6), T(7)}, "000", 0},
        {"opens with non-tone step",
         {T(1), T(2), T(3), Z(), O(9), T(3), T(4), T(5)},
         "000000",
         0},
        {"unknown mode inside event", {T(1), T(2), Z(), {7, 9}, T(2), T(3)}, "0000", 0},
        {"event without tones",
         {T(1), T(2), T(3), Z(), O(3), O(4), Z(), T(3), T(4), T(5), Z(), T(5), T(6)},
         "00022222",
         1},
        {"repeat search stays in the previous event",
         {T(1), T(2), Z(), O(5), Z(), T(7), Z(), T(2), T(8)},
         "00233",
         1},
        {"leading event without tones", {O(1), Z(), T(1), T(2), Z(), T(2), T(3)}, "1111", 0},
        {"single-tone events beyond reach",
         {T(1), T(2), T(3), T(4), T(5), Z(), T(3), T(4), Z(), T(3), Z(), T(1), T(2), T(3)},
         "00000002222",
         1},
        {"numTones cuts an event", {T(5), T(6), Z(), T(6), T(7)}, "00--", 0, 2},
        {"last event cut to one tone", {T(5), T(6), T(7), Z(), T(6), T(7)}, "0000-", 0, 4},
        {"256 steps, two events", longProcedure(127, true), std::string(254, '0'), 0},
        {"256 tones, N past the arrays", longProcedure(256, false), std::string(256, '0'), 0, -1,
         300},
    };
    tarn_test::LogCapture logs(4);  // every trace line formatted too
    for (const Layout &c : cases) {
        auto t = build(c.steps);
        ASSERT_EQ(t->event.size(), c.carrier.size()) << c.name;
        EXPECT_EQ(run(*t, c.steps, 2, c.numTones, c.n), 2 * c.errorsPerPath) << c.name;
        for (size_t k = 0; k < c.carrier.size(); ++k) {
            for (int j = 0; j < 2; ++j) {
                if (c.carrier[k] == '-') {
                    EXPECT_EQ(t->initC[k][j], kSentinel) << c.name << " tone " << k;
                    EXPECT_EQ(t->reflC[k][j], kSentinel) << c.name << " tone " << k;
                } else {
                    expectCarries(*t, static_cast<int>(k), j, c.carrier[k] - '0', c.name);
                }
            }
            EXPECT_EQ(t->initC[k][2], kSentinel) << c.name;  // paths beyond NAP
        }
    }
}

TEST(CalcPhaseDifferencesD, PairsWithinBothEvents) {
    const double p[8] = {100, 200, 300, 400, 50, 70, 90, 450};
    struct Case {
        int prevFirst, prevLast, curFirst, curLast, nReps, numTones, unusable;
        int ret;
        std::vector<double> diff;
    };
    const std::vector<Case> cases = {
        {0, 3, 4, 7, 3, 8, -1, 3, {400 - 90.0, 300 - 70.0, 200 - 50.0}},
        {0, 3, 4, 7, 3, 8, 2, 2, {400 - 90.0, 200 - 50.0}},  // unusable tone drops out
        {0, 3, 4, 7, 0, 8, -1, 0, {}},
        {0, 3, 4, 7, 9, 8, -1, 3, {65536 - 150.0, 200 - 90.0, 100 - 70.0}},  // 5 repeats at most
        {0, 3, 4, 5, 4, 8, -1, 2, {200 - 70.0, 100 - 50.0}},  // current holds 2
        {3, 3, 4, 4, 3, 8, -1, -1, {}},                       // 1 + 1 tones, 3 repeats
        {0, 3, 4, 7, 2, 5, -1, 1, {300 - 50.0}},              // numTones bounds the current
        {0, 3, 7, 7, 1, 8, -1, 1, {65536 - 50.0}},            // negative folds up
        {INT_MIN, -1, INT_MAX - 1, INT_MAX, 5, 8, -1, -1, {}},
        {0, 3, 5, 4, 2, 8, -1, -1, {}},  // empty current event
    };
    for (const Case &c : cases) {
        uint8_t g[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        if (c.unusable >= 0) g[c.unusable] = 0;
        double diff[TARN_MAX_EVENT_REPS] = {};
        EXPECT_EQ(calcPhaseDifferencesD(p, g, static_cast<uint16_t>(c.numTones), c.prevFirst,
                                        c.prevLast, c.curFirst, c.curLast, c.nReps, 99, 65536,
                                        diff),
                  c.ret);
        for (size_t i = 0; i < c.diff.size(); ++i) EXPECT_DOUBLE_EQ(diff[i], c.diff[i]);
    }
}

TEST(EventPhaseOffset, LargestGapUnfoldsAcrossZero) {
    struct Case {
        std::vector<double> diff;
        bool round;
        double offset;
    };
    const std::vector<Case> cases = {
        {{500, 65000, 65300}, false, (500 - 536 - 236) / 3.0},
        {{500, 65000, 65300}, true, -91.0},
        {{63536}, false, 63536.0},
        {{0, 40000}, false, (0 - 25536) / 2.0},  // a whole turn comes off, not half
        {{300, 100, 200}, false, 200.0},
        {{30000, 35000}, false, 32500.0},  // gap below half a turn: no unfolding
        {{65535, 1, 65534, 2}, false, 0.0},
    };
    for (const Case &c : cases)
        EXPECT_DOUBLE_EQ(tarn_rtp::eventPhaseOffset(c.diff.data(), static_cast<int>(c.diff.size()),
                                                    65536, c.round),
                         c.offset);
}

TEST(FoldHalfTurn, AnyDifferenceLandsWithinHalfATurnOfZero) {
    EXPECT_DOUBLE_EQ(tarn_rtp::foldHalfTurn(1.25 * kTurn, kTurn), 0.25 * kTurn);
    EXPECT_DOUBLE_EQ(tarn_rtp::foldHalfTurn(-1.25 * kTurn, kTurn), -0.25 * kTurn);
    EXPECT_DOUBLE_EQ(tarn_rtp::foldHalfTurn(0.625 * kTurn, kTurn), -0.375 * kTurn);
    std::mt19937_64 rng(14);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double turns[] = {65536.0, 360.0, 2 * kPi, 1000.5, 3.0};
    for (int i = 0; i < 200000; ++i) {
        const double turn = turns[i % 5];
        const double scale = std::pow(10.0, (i / 5) % 10);  // up to 1e9 turns
        const double v = unit(rng) * scale * turn;
        const double r = tarn_rtp::foldHalfTurn(v, turn);
        ASSERT_LE(std::abs(r), turn / 2) << v << " turn " << turn;
        const double whole = (v - r) / turn;
        ASSERT_NEAR(whole, std::round(whole), 1e-6 * std::max(1.0, std::abs(whole)))
            << v << " turn " << turn;
    }
}

}  // namespace
