// Antenna-path selection.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "tarn_rtp.h"

namespace {

constexpr double kNone = 2147483647.0;

// Four healthy paths: coverage 95, rows 0..2 valid near the phase distance,
// impulse-response figures inside every default limit, spreads 0.3..1.0 m.
struct State {
    uint8_t gconf[4] = {95, 95, 95, 95};
    MusicResult mu;
    PhaseResult ph;
    CirEstimate cir;
    ConfigOpts o = constOpts;
    int nap = 4;

    State() {
        std::memset(&mu, 0, sizeof mu);
        std::memset(&ph, 0, sizeof ph);
        std::memset(&cir, 0, sizeof cir);
        const double spread[4] = {300, 500, 800, 1000};
        for (int j = 0; j < 4; ++j) {
            ph.pdest[j] = 5000.0;
            ph.pconf[j] = 50.0;
            ph.phFit[j] = 10.0;
            for (int o = 0; o < 3; ++o) {
                mu.valid[o][j] = 1;
                mu.dest[o][j] = 5000.0 + 100.0 * o;
                mu.conf[o][j] = 80.0 - o;
            }
            mu.musicStd[j] = spread[j];
            cir.energy[j] = 1.0;
            cir.maxToMeanCirDB[j] = 15.0;
            cir.maxToMedianCirDB[j] = 20.0;
            cir.delaySpread[j] = 30.0;
            cir.numPeaks[j] = 3;
            cir.numPeaksBeforeMaxPeak[j] = 1;
        }
    }
};

struct Row {
    const char *name;
    std::function<void(State &)> set;
    uint8_t pathValid[4];
};

// Every rule of the selection, each against the healthy baseline. A path
// that ends invalid below NAP has all seven rows dropped; a kept path keeps
// its rows (the phase-window rows are checked separately).
TEST(AntennaFilter, RuleTable) {
    const Row rows[] = {
        {"healthy", [](State &) {}, {1, 1, 1, 1}},
        {"coverage", [](State &s) { s.gconf[0] = 59; s.gconf[1] = 60; s.gconf[2] = 61; s.gconf[3] = 100; },
         {0, 1, 1, 1}},
        {"phase fit off", [](State &s) { s.ph.phFit[2] = 61.0; }, {1, 1, 1, 1}},
        {"phase fit on", [](State &s) { s.o.filterBasedOnPhFit = 1; s.ph.phFit[2] = 61.0; s.ph.phFit[3] = 60.0; },
         {1, 1, 0, 1}},
        {"cir mean", [](State &s) { s.cir.maxToMeanCirDB[1] = 8.9; s.cir.maxToMeanCirDB[2] = 9.0; },
         {1, 0, 1, 1}},
        {"cir median", [](State &s) { s.cir.maxToMedianCirDB[3] = 9.9; }, {1, 1, 1, 0}},
        {"cir spread", [](State &s) { s.cir.delaySpread[0] = 85.1; s.cir.delaySpread[1] = 85.0; },
         {0, 1, 1, 1}},
        {"cir peaks", [](State &s) { s.cir.numPeaks[2] = 26; s.cir.numPeaks[3] = 25; }, {1, 1, 0, 1}},
        {"cir peaks before",
         [](State &s) {
             s.o.cirMaxAllowedTapsAbovePeakRatio = 100.0;
             s.cir.numPeaks[0] = 30; s.cir.numPeaksBeforeMaxPeak[0] = 11;
             s.cir.numPeaks[1] = 30; s.cir.numPeaksBeforeMaxPeak[1] = 10;
         },
         {0, 1, 1, 1}},
        {"cir half before", [](State &s) {
             s.cir.numPeaks[1] = 6; s.cir.numPeaksBeforeMaxPeak[1] = 4;
             s.cir.numPeaks[2] = 6; s.cir.numPeaksBeforeMaxPeak[2] = 3;
         },
         {1, 0, 1, 1}},
        {"cir filter off", [](State &s) { s.o.filterBasedOnCIR = 0; s.cir.maxToMeanCirDB[1] = 1.0; },
         {1, 1, 1, 1}},
        {"empty response", [](State &s) { s.o.filterBasedOnCIR = 0; s.cir.energy[2] = 0.0; }, {1, 1, 0, 1}},
        {"NaN figures", [](State &s) { s.cir.energy[3] = NAN; s.cir.maxToMeanCirDB[3] = NAN; }, {1, 1, 1, 0}},
        {"spread vs best", [](State &s) { s.nap = 3; s.mu.musicStd[0] = 500; s.mu.musicStd[1] = 900; s.mu.musicStd[2] = 3200; },
         {1, 1, 0, 0}},
        {"spread limit on best", [](State &s) { s.nap = 1; s.mu.musicStd[0] = 6500; }, {0, 0, 0, 0}},
        {"dropped path never sets lowest",
         [](State &s) { s.gconf[0] = 0; s.mu.musicStd[0] = 0.0; s.mu.musicStd[1] = 2900; s.mu.musicStd[2] = 3000; },
         {0, 1, 1, 1}},
        {"widest spreads cleared",
         [](State &s) {
             s.o.numFilterAntennaMusicStdDev = 1;
             s.gconf[0] = 0; s.gconf[2] = 0;
             s.mu.musicStd[1] = 700; s.mu.musicStd[3] = 400;
         },
         {0, 0, 0, 1}},
        {"more cleared than listed", [](State &s) { s.o.numFilterAntennaMusicStdDev = 9; s.nap = 2; }, {0, 0, 0, 0}},
        {"no valid order", [](State &s) { for (int o = 0; o < 7; ++o) s.mu.valid[o][2] = 0; }, {1, 1, 0, 1}},
        {"NAP 1", [](State &s) { s.nap = 1; }, {1, 0, 0, 0}},
        {"NAP 2", [](State &s) { s.nap = 2; }, {1, 1, 0, 0}},
        {"NAP 0", [](State &s) { s.nap = 0; }, {0, 0, 0, 0}},
        {"NAP 9", [](State &s) { s.nap = 9; }, {1, 1, 1, 1}},
        {"NAP -3", [](State &s) { s.nap = -3; }, {0, 0, 0, 0}},
    };
    for (const Row &r : rows) {
        State s;
        r.set(s);
        const MusicResult before = s.mu;
        algMultiAntennaFiltering(s.gconf, &s.mu, &s.ph, &s.cir, &s.o, static_cast<int8_t>(s.nap));
        const int nap = s.nap < 0 ? 0 : (s.nap > 4 ? 4 : s.nap);
        for (int j = 0; j < 4; ++j) {
            EXPECT_EQ(s.mu.pathValid[j], r.pathValid[j]) << r.name << " path " << j;
            for (int o = 0; o < 7; ++o) {
                if (j < nap && r.pathValid[j] == 0) {
                    EXPECT_EQ(s.mu.dest[o][j], kNone) << r.name << " path " << j << " row " << o;
                    EXPECT_EQ(s.mu.conf[o][j], 0.0) << r.name;
                    EXPECT_EQ(s.mu.valid[o][j], 0) << r.name;
                } else {
                    // Kept and absent paths keep their rows.
                    EXPECT_EQ(s.mu.dest[o][j], before.dest[o][j]) << r.name << " path " << j;
                    EXPECT_EQ(s.mu.valid[o][j], before.valid[o][j]) << r.name << " path " << j;
                    EXPECT_EQ(s.mu.conf[o][j], before.conf[o][j]) << r.name << " path " << j;
                }
            }
        }
    }
}

// Slots far from a confident phase-slope distance lose their distance (and
// validity, not their confidence); the confidence must be strictly above the
// threshold, and a zero threshold turns the rule off.
TEST(AntennaFilter, PhaseWindow) {
    struct Case {
        double thresh, pconf;
        bool applied;
    };
    const Case cases[] = {{65.0, 80.0, true}, {65.0, 65.0, false}, {0.0, 80.0, false}, {50.0, 50.5, true}};
    for (const Case &c : cases) {
        State s;
        s.o.phaseConfidenceThresh = c.thresh;
        s.ph.pconf[0] = c.pconf;
        s.mu.dest[0][0] = 5900.0;  // within 1 m of 5000
        s.mu.dest[1][0] = 6100.0;  // beyond
        s.mu.dest[2][0] = 3999.0;  // beyond, below
        s.mu.valid[6][0] = 1;
        s.mu.dest[6][0] = 9000.0;  // the last row counts too
        algMultiAntennaFiltering(s.gconf, &s.mu, &s.ph, &s.cir, &s.o, 4);
        EXPECT_EQ(s.mu.dest[0][0], 5900.0);
        EXPECT_EQ(s.mu.valid[0][0], 1);
        for (int o : {1, 2, 6}) {
            EXPECT_EQ(s.mu.dest[o][0] == kNone, c.applied) << c.pconf << " row " << o;
            EXPECT_EQ(s.mu.valid[o][0], c.applied ? 0 : 1);
        }
        EXPECT_EQ(s.mu.conf[1][0], 79.0);
        EXPECT_EQ(s.mu.pathValid[0], 1);
        EXPECT_EQ(s.mu.dest[1][1], 5100.0);  // other paths untouched
    }
}

}  // namespace
