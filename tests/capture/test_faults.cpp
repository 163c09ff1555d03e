// Captures built to show one fault each: aborted steps, bodies of more than
// 64 segments with lost segments re-sent, initiator-only procedures among
// joined ones, a clock stepping back, links without CS data, and the step
// timing of the CS configuration. Then the tool's exit rule over its
// capture commands.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "bytes.h"
#include "capture_test_util.h"
#include "cli.h"
#include "import.h"
#include "record.h"
#include "writer.h"

using namespace tarn_capture;
using tarn_capture_test::importBytes;
using tarn_capture_test::issues;

namespace {

std::vector<tarn_sim::Procedure> simulate(int n, int nap, int toneMode, int subevents,
                                          uint64_t seed = 5) {
    tarn_sim::SimConfig s;
    s.trajectory = tarn_sim::Trajectory::still(3.0);
    s.nap = nap;
    s.toneMode = toneMode;
    s.subevents = subevents;
    s.seed = seed;
    tarn_sim::Simulator sim(s);
    std::vector<tarn_sim::Procedure> out;
    for (int i = 0; i < n; ++i) out.push_back(sim.next());
    return out;
}

std::vector<uint8_t> write(const std::vector<tarn_sim::Procedure> &ps,
                           const CaptureWriterOptions &o) {
    CaptureWriter w(o);
    std::string why;
    for (const tarn_sim::Procedure &p : ps) EXPECT_TRUE(w.write(p, &why)) << why;
    return w.data();
}

tarn_sim::Procedure expected(const tarn_sim::Procedure &p, const tarn_sim::Procedure &first,
                             const CaptureWriterOptions &o) {
    tarn_sim::Procedure v = captureView(p);
    v.trueDistance = NAN;
    v.timing = captureTiming(first, o, first.initiator[0].nap);
    return v;
}

// One btsnoop record appended to a capture (H4 datalink).
void append(std::vector<uint8_t> *f, uint8_t h4, const std::vector<uint8_t> &pkt, bool received,
            int64_t unixUs) {
    const uint32_t n = static_cast<uint32_t>(pkt.size() + 1);
    putBe32(f, n);
    putBe32(f, n);
    putBe32(f, (received ? 1 : 0) | (h4 == 4 ? 2 : 0));
    putBe32(f, 0);
    putBe64(f, static_cast<uint64_t>(kUnixOffsetUs + unixUs));
    f->push_back(h4);
    f->insert(f->end(), pkt.begin(), pkt.end());
}

// A notification of `value` on attribute `att` of link `handle`.
std::vector<uint8_t> notification(uint16_t handle, uint16_t att, std::vector<uint8_t> value) {
    std::vector<uint8_t> p;
    putLe16(&p, handle | 0x2000);
    putLe16(&p, static_cast<uint16_t>(value.size() + 7));
    putLe16(&p, static_cast<uint16_t>(value.size() + 3));
    putLe16(&p, 4);
    put8(&p, 0x1B);
    putLe16(&p, att);
    p.insert(p.end(), value.begin(), value.end());
    return p;
}

constexpr int64_t kEpoch = 1748779200000000LL;

// ATT PDUs with this opcode and attribute handle, one per ACL packet.
uint64_t attValues(const std::vector<uint8_t> &capture, uint8_t op, uint16_t att) {
    SnoopReader reader;
    std::string why;
    EXPECT_TRUE(reader.openMemory(capture.data(), capture.size(), &why)) << why;
    SnoopRecord r;
    uint64_t n = 0;
    while (reader.next(&r) == SnoopReader::Status::Record)
        n += r.kind == PacketKind::Acl && r.packetLength >= 11 && r.packet[8] == op &&
             le16(r.packet + 9) == att;
    return n;
}

}  // namespace

// An aborted step keeps its place in the record (and in JSON Lines): the
// steps after it keep their positions and so their times.
TEST(Faults, AbortedStepsKeepTheirPlace) {
    std::vector<tarn_sim::Procedure> sim = simulate(6, 2, 3, 3);
    int marked = 0;
    for (size_t i = 0; i < sim.size(); ++i)
        for (size_t k = 0; k < sim[i].initiator.size(); ++k)
            for (size_t j = 3 + i; j < sim[i].initiator[k].steps.size(); j += 7) {
                // Alternately the initiator, the reflector or both report it aborted.
                tarn_sim::Step &a = sim[i].initiator[k].steps[j], &b = sim[i].reflector[k].steps[j];
                if (marked % 3 != 1) a = abortedStep(a.mode, a.channel);
                if (marked % 3 != 0) b = abortedStep(b.mode, b.channel);
                ++marked;
            }
    ASSERT_GT(marked, 20);
    CaptureWriterOptions o;
    o.attMtu = 64;
    const auto r = importBytes(write(sim, o));
    ASSERT_EQ(r.procedures.size(), sim.size());
    EXPECT_EQ(issues(r, Issue::AbortedSteps), static_cast<uint64_t>(marked));
    for (size_t i = 0; i < sim.size(); ++i) {
        const tarn_sim::Procedure want = expected(sim[i], sim[0], o);
        const tarn_sim::Procedure &got = r.procedures[i].procedure;
        EXPECT_TRUE(got == want) << "procedure " << i;
        for (size_t k = 0; k < want.initiator.size(); ++k)
            ASSERT_EQ(got.initiator[k].steps.size(), sim[i].initiator[k].steps.size());
        tarn_sim::Procedure back;
        std::string why;
        ASSERT_TRUE(tarn_sim::procedureFromJson(tarn_sim::procedureToJson(got, 0), &back, &why))
            << why;
        EXPECT_TRUE(back == got);
    }
}

// A body of more than 64 segments (MTU 23, two subevents, one path, mode 3)
// with segments lost and re-sent: each goes where its counter fits the one
// missing position; two missing positions 64 apart cannot be told apart.
TEST(Faults, LostSegmentsBeyondSixtyFour) {
    const std::vector<tarn_sim::Procedure> sim = simulate(4, 1, 3, 2);
    CaptureWriterOptions o;
    o.attMtu = 23;
    o.aclDataLength = 27;
    o.onDemand = true;
    // Each body takes more than 64 segments (and at most 128).
    const uint64_t segments = attValues(write({sim[0]}, o), 0x1D, 0x0027);
    ASSERT_GT(segments, 70u);
    ASSERT_LT(segments, 128u);
    struct Case {
        std::vector<int> lose;
        bool whole;
    };
    const Case cases[] = {
        {{1}, true}, {{65}, true}, {{3, 70}, true}, {{63, 64}, true}, {{1, 65}, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.lose));
        CaptureWriterOptions lo = o;
        lo.loseSegments = c.lose;
        const auto r = importBytes(write(sim, lo));
        const uint64_t n = sim.size();
        EXPECT_EQ(issues(r, Issue::RetrieveLost), n * c.lose.size());
        EXPECT_EQ(issues(r, Issue::RasCounterAmbiguous), c.whole ? 0u : n);
        EXPECT_EQ(issues(r, Issue::ReflectorMissing), c.whole ? 0u : n);
        EXPECT_EQ(issues(r, Issue::RasBodyUnparsable), 0u);
        EXPECT_EQ(issues(r, Issue::SubeventUnpaired), 0u);
        ASSERT_EQ(r.procedures.size(), c.whole ? n : 0u);
        for (size_t i = 0; i < r.procedures.size(); ++i)
            EXPECT_TRUE(r.procedures[i].procedure == expected(sim[i], sim[0], lo)) << i;
        if (!c.whole) {
            const auto &ex = r.report.examples[static_cast<int>(Issue::ReflectorMissing)];
            ASSERT_FALSE(ex.empty());
            EXPECT_NE(ex[0].detail.find("fits several missing positions"), std::string::npos)
                << ex[0].detail;
        }
    }
}

// Initiator-only procedures wait for reflector data that never comes while
// later ones are joined; they are still delivered in time order.
TEST(Faults, OneSidedInTimeOrder) {
    const std::vector<tarn_sim::Procedure> sim = simulate(30, 2, 2, 2);
    CaptureWriterOptions o;
    o.withoutRas = {0, 3, 4, 20};
    ImportOptions io;
    io.oneSided = true;
    const auto r = importBytes(write(sim, o), io);
    ASSERT_EQ(r.procedures.size(), sim.size());
    for (size_t i = 0; i < sim.size(); ++i) {
        EXPECT_EQ(r.procedures[i].procedureCounter, i);
        const bool lacking = i == 0 || i == 3 || i == 4 || i == 20;
        EXPECT_EQ(r.procedures[i].oneSided, lacking);
        EXPECT_EQ(r.procedures[i].procedure.reflector.empty(), lacking);
    }
}

// A Result event that never gets its final status (another configuration)
// holds the link's deliveries back only for a bounded while.
TEST(Faults, AStrayOpenProcedureHoldsBackBoundedly) {
    const std::vector<tarn_sim::Procedure> sim = simulate(300, 1, 2, 1);
    CaptureWriter w;
    std::string why;
    ASSERT_TRUE(w.write(sim[0], &why)) << why;
    const size_t at = w.data().size();
    for (size_t i = 1; i < sim.size(); ++i) ASSERT_TRUE(w.write(sim[i], &why)) << why;
    std::vector<uint8_t> f(w.data().begin(), w.data().begin() + at);
    ResultHeader h;
    h.handle = 0x0040;
    h.configId = 3;
    h.procedureDone = h.subeventDone = kStatusPartial;
    h.nap = 1;
    append(&f, 4, encodeResultEvent(h, {}, 0, 0, StepLayout()), true, kEpoch + 1);
    f.insert(f.end(), w.data().begin() + at, w.data().end());
    CaptureImporter imp;
    ASSERT_TRUE(imp.openMemory(f.data(), f.size(), &why)) << why;
    // The first procedure came before the stray event; the second must not
    // wait for the end of the capture.
    ImportedProcedure ip;
    ASSERT_TRUE(imp.next(&ip));
    ASSERT_TRUE(imp.next(&ip));
    const uint64_t before = imp.report().records;
    size_t n = 2;
    while (imp.next(&ip)) ++n;
    EXPECT_EQ(n, sim.size());
    EXPECT_LT(before, imp.report().records / 2);
}

// The logging host's clock steps back (an hour, or half a second): the step
// is reported, procedure times stay increasing with their spacing kept, and
// the capture's span stays what was recorded.
TEST(Faults, ClockSteppingBack) {
    const std::vector<tarn_sim::Procedure> sim = simulate(12, 1, 2, 2);
    const auto plain = importBytes(write(sim, CaptureWriterOptions()));
    ASSERT_EQ(plain.procedures.size(), sim.size());
    for (int64_t backUs : {3600000000LL, 500000LL}) {
        SCOPED_TRACE(backUs);
        CaptureWriterOptions o;
        o.clockBackAt = 6;
        o.clockBackUs = backUs;
        const auto r = importBytes(write(sim, o));
        ASSERT_EQ(r.procedures.size(), sim.size());
        EXPECT_EQ(issues(r, Issue::ClockBack), 1u);
        EXPECT_EQ(r.report.clockBacks, 1u);
        auto t = [](const tarn_capture_test::Imported &x, size_t i) {
            return x.procedures[i].procedure.initiator[0].timestampNs;
        };
        for (size_t i = 1; i < sim.size(); ++i) {
            EXPECT_GT(t(r, i), t(r, i - 1)) << i;
            if (i != 6) {
                EXPECT_EQ(t(r, i) - t(r, i - 1), t(plain, i) - t(plain, i - 1)) << i;
            }
        }
        // The step back costs the one gap it hides, not more.
        const int64_t lost = (t(plain, 6) - t(plain, 5)) - (t(r, 6) - t(r, 5));
        EXPECT_GE(lost, 0);
        EXPECT_GT(r.report.spanUs, 0);
        EXPECT_EQ(r.report.spanUs, plain.report.spanUs - lost / 1000);
        EXPECT_EQ(r.report.largestClockBackUs, backUs - lost / 1000);
        std::ostringstream text;
        r.report.print(text);
        EXPECT_NE(text.str().find("the clock went back 1 time(s)"), std::string::npos);
        EXPECT_EQ(text.str().find("(-"), std::string::npos) << text.str();
    }
}

// Another link (no CS data) and unrelated notifications: not numbered, and
// no warning about unknown handles unless reflector data went missing.
TEST(Faults, LinksWithoutCsDataAndUnknownHandles) {
    const std::vector<tarn_sim::Procedure> sim = simulate(5, 1, 2, 2);
    for (bool discovery : {true, false}) {
        SCOPED_TRACE(discovery);
        CaptureWriterOptions o;
        o.discovery = discovery;
        const std::vector<uint8_t> cs = write(sim, o);
        // A heart-rate sensor on handle 0x0041 first, then the CS link; its
        // notifications, and a stray value on the CS link itself.
        std::vector<uint8_t> f(cs.begin(), cs.begin() + 16);
        std::vector<uint8_t> conn{0x3E, 19, 0x01, 0x00, 0x41, 0x00, 0x00, 0x01};
        conn.resize(21, 0);
        append(&f, 4, conn, true, kEpoch - 1000);
        for (int k = 0; k < 3; ++k)
            append(&f, 2, notification(0x0041, 0x0012, {0x00, 72}), true, kEpoch - 900 + k);
        f.insert(f.end(), cs.begin() + 16, cs.end());
        append(&f, 2, notification(0x0040, 0x0050, {1, 2, 3}), true, kEpoch + 10000000);
        const auto r = importBytes(f);
        EXPECT_EQ(r.procedures.size(), discovery ? sim.size() : 0u);
        EXPECT_EQ(r.report.connectionsSeen, 2u);
        EXPECT_EQ(r.report.csConnections, 1u);
        for (const ImportedProcedure &p : r.procedures) EXPECT_EQ(p.connection, 1);
        ASSERT_NE(r.report.connection(1), nullptr);
        EXPECT_EQ(r.report.connection(1)->handle, 0x0040);
        EXPECT_EQ(r.report.connection(2), nullptr);
        // Without discovery the CS link's RAS notifications are unknown and
        // its procedures lack reflector data: now the warning counts them
        // and the stray value (the sensor's link lacked nothing).
        EXPECT_EQ(issues(r, Issue::UnknownHandleNotification),
                  discovery ? 0u : attValues(cs, 0x1B, 0x0024) + 1);
        EXPECT_EQ(issues(r, Issue::ReflectorMissing), discovery ? 0u : sim.size());
    }
}

// The step timing of the CS configuration and the peer's antenna switch
// time reach each procedure and the JSON Lines file; one path switches no
// antenna.
TEST(Faults, StepTimingFromTheCapture) {
    for (int nap : {1, 3}) {
        SCOPED_TRACE(nap);
        std::vector<tarn_sim::Procedure> sim = simulate(3, nap, 2, 2);
        tarn_sim::StepTiming phone;
        phone.tFcsUs = 150;
        phone.tIp1Us = 145;
        phone.tIp2Us = 145;
        phone.tPmUs = 40;
        phone.tSwUs = 10;
        phone.phy = 2;
        sim[0].timing = phone;
        CaptureWriterOptions o;
        o.rttType = 1;
        const auto r = importBytes(write(sim, o));
        ASSERT_EQ(r.procedures.size(), sim.size());
        tarn_sim::StepTiming want = phone;
        want.rttType = 1;
        want.tSwUs = nap > 1 ? 10 : 0;
        for (const ImportedProcedure &p : r.procedures) {
            EXPECT_EQ(p.procedure.timing, want);
            tarn_sim::Procedure back;
            std::string why;
            ASSERT_TRUE(tarn_sim::procedureFromJson(tarn_sim::procedureToJson(p.procedure, 0),
                                                    &back, &why));
            EXPECT_EQ(back.timing, want);
        }
    }
}

// One exit rule for the capture commands: 0 with procedures, 1 with the
// reason when none came, 2 when the connection asked for is not there (with
// the list) or the choice cannot be read.
TEST(Faults, ExitRuleOfTheCaptureCommands) {
    const std::vector<tarn_sim::Procedure> sim = simulate(4, 1, 2, 2);
    const std::string good = ::testing::TempDir() + "faults_good.btsnoop";
    const std::string empty = ::testing::TempDir() + "faults_no_ras.btsnoop";
    for (const auto &[path, ras] : {std::pair{good, true}, std::pair{empty, false}}) {
        CaptureWriterOptions o;
        o.ras = ras;
        const std::vector<uint8_t> bytes = write(sim, o);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    struct Row {
        std::vector<std::string> args;
        int rc;
        const char *says;
    };
    const std::vector<Row> rows = {
        {{good}, 0, ""},
        {{good, "--connection", "1"}, 0, ""},
        {{good, "--connection", "0x0040"}, 0, ""},
        {{good, "--connection", "7"}, 2, "connection 1: handle 0x040, 4 procedures"},
        {{good, "--connection", "0x0041"}, 2, "connection 1: handle 0x040, 4 procedures"},
        {{good, "--connection", "first"}, 2, "e.g. 0x0040"},
        {{empty}, 1, "no whole procedure in"},
        {{empty, "--connection", "1"}, 1, "no whole procedure in"},
        {{empty, "--one-sided"}, 0, ""},
    };
    for (const char *command : {"import", "replay"}) {
        for (const Row &row : rows) {
            std::vector<std::string> argv{"tarn", command};
            if (std::string(command) == "replay") argv.push_back("--capture");
            argv.insert(argv.end(), row.args.begin(), row.args.end());
            std::vector<const char *> args;
            for (const std::string &a : argv) args.push_back(a.c_str());
            std::ostringstream out, err;
            const int rc = tarn_tool::runTool(static_cast<int>(args.size()), args.data(),
                                              tarn_tool::ToolIo{out, err});
            SCOPED_TRACE(::testing::PrintToString(argv));
            EXPECT_EQ(rc, row.rc) << err.str();
            EXPECT_NE(err.str().find(row.says), std::string::npos) << err.str();
        }
    }
}
