// Damaged captures: what is whole is imported, the rest is reported by
// reason with where it showed; nothing crashes or hangs.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>

#include "bytes.h"
#include "capture_test_util.h"
#include "import.h"
#include "writer.h"

using namespace tarn_capture;

namespace {

constexpr int kProcedures = 10;

// A capture cut into its records (each with its 24-octet header).
struct Records {
    std::vector<uint8_t> header;
    std::vector<std::vector<uint8_t>> recs;

    explicit Records(const std::vector<uint8_t> &f) : header(f.begin(), f.begin() + 16) {
        size_t at = 16;
        while (at + 24 <= f.size()) {
            const size_t n = 24 + be32(&f[at + 4]);
            recs.emplace_back(f.begin() + at, f.begin() + at + n);
            at += n;
        }
    }
    std::vector<uint8_t> join() const {
        std::vector<uint8_t> f = header;
        for (const auto &r : recs) f.insert(f.end(), r.begin(), r.end());
        return f;
    }
    // Real-time RAS notifications (one ACL fragment each at MTU 23).
    static bool isRas(const std::vector<uint8_t> &r) {
        return r.size() > 37 && r[24] == 2 && r[33] == 0x1B && le16(&r[34]) == 0x0024;
    }
    static bool isResult(const std::vector<uint8_t> &r) {
        return r.size() > 28 && r[24] == 4 && r[25] == 0x3E && r[27] == 0x31;
    }
};

std::vector<uint8_t> capture(CaptureWriterOptions o = {}, int n = kProcedures, uint64_t seed = 3) {
    tarn_sim::SimConfig s;
    s.trajectory = tarn_sim::Trajectory::still(2.0);
    s.nap = 2;
    s.subevents = 2;
    s.seed = seed;
    tarn_sim::Simulator sim(s);
    o.attMtu = 23;
    o.aclDataLength = 27;
    CaptureWriter w(o);
    std::string why;
    for (int i = 0; i < n; ++i) EXPECT_TRUE(w.write(sim.next(), &why)) << why;
    return w.data();
}

std::vector<uint8_t> disconnection(uint16_t handle) {
    std::vector<uint8_t> r;
    putBe32(&r, 7);
    putBe32(&r, 7);
    putBe32(&r, 3);
    putBe32(&r, 0);
    putBe64(&r, static_cast<uint64_t>(kUnixOffsetUs + 1748779300000000LL));
    for (uint8_t b : {4, 0x05, 4, 0, static_cast<int>(handle & 0xFF), handle >> 8, 0x13}) put8(&r, b);
    return r;
}

struct Expect {
    size_t procedures;
    std::map<Issue, uint64_t> issues;  // every other issue must be 0
    bool stopped = false;
    uint64_t connections = 1;
};

struct Case {
    const char *name;
    std::function<std::vector<uint8_t>()> build;
    Expect expect;
    ImportOptions opts = {};
};

}  // namespace

TEST(Damaged, TableOfCaptures) {
    const std::vector<uint8_t> good = capture();
    const Records base(good);
    size_t rasRecords = 0;
    for (const auto &r : base.recs) rasRecords += Records::isRas(r);
    ASSERT_GT(rasRecords, size_t(4 * kProcedures));

    ImportOptions oneSided;
    oneSided.oneSided = true;
    ImportOptions guess;
    guess.guessRas = true;
    CaptureWriterOptions cached;
    cached.discovery = false;
    const std::vector<Case> cases = {
        {"whole", [&] { return good; }, {kProcedures, {}}},
        {"cut inside the last record",
         [&] { return std::vector<uint8_t>(good.begin(), good.end() - 10); },
         {kProcedures - 1, {{Issue::RasMissingLast, 1}, {Issue::ReflectorMissing, 1}}, true}},
        {"cut inside a record header",
         [&] {
             std::vector<uint8_t> f = good;
             f.resize(f.size() - base.recs.back().size() + 7);
             return f;
         },
         {kProcedures - 1, {{Issue::RasMissingLast, 1}, {Issue::ReflectorMissing, 1}}, true}},
        {"a record claims 2 GB",
         [&] {
             Records r(good);
             size_t k = r.recs.size() / 2;
             // The second subevent's Result: its procedure stays open.
             while (!Records::isResult(r.recs[k])) ++k;
             ++k;
             while (!Records::isResult(r.recs[k])) ++k;
             r.recs[k][4] = 0x7F;
             return r.join();
         },
         // Reading stops there; the procedure then open is unfinished.
         {kProcedures / 2, {{Issue::ProcedureUnfinished, 1}}, true}},
        {"ACL length field larger than the packet",
         [&] {
             Records r(good);
             for (auto &rec : r.recs)
                 if (Records::isRas(rec)) {
                     rec[27] += 5;
                     break;
                 }
             return r.join();
         },
         {kProcedures - 1,
          {{Issue::AclLengthMismatch, 1}, {Issue::RasMissingFirst, 1}, {Issue::ReflectorMissing, 1}}}},
        {"one RAS segment lost",
         [&] {
             Records r(good);
             int seen = 0;
             for (size_t k = 0; k < r.recs.size(); ++k)
                 if (Records::isRas(r.recs[k]) && ++seen == 3) {
                     r.recs.erase(r.recs.begin() + static_cast<long>(k));
                     break;
                 }
             return r.join();
         },
         {kProcedures - 1, {{Issue::RasCounterGap, 1}, {Issue::ReflectorMissing, 1}}}},
        {"reflector side missing",
         [&] {
             Records r(good);
             std::vector<std::vector<uint8_t>> keep;
             for (auto &rec : r.recs)
                 if (!Records::isRas(rec)) keep.push_back(rec);
             r.recs = keep;
             return r.join();
         },
         {0, {{Issue::ReflectorMissing, kProcedures}}}},
        {"reflector side missing, one-sided kept",
         [&] {
             Records r(good);
             std::vector<std::vector<uint8_t>> keep;
             for (auto &rec : r.recs)
                 if (!Records::isRas(rec)) keep.push_back(rec);
             r.recs = keep;
             return r.join();
         },
         {kProcedures, {}},
         oneSided},
        {"initiator side missing",
         [&] {
             Records r(good);
             std::vector<std::vector<uint8_t>> keep;
             for (auto &rec : r.recs)
                 if (!Records::isResult(rec) && !(rec[24] == 4 && rec[27] == 0x32))
                     keep.push_back(rec);
             r.recs = keep;
             return r.join();
         },
         {0, {{Issue::InitiatorMissing, kProcedures}}}},
        {"filtered log (ACL first fragments cut to 14 octets)",
         [&] {
             Records r(good);
             size_t cut = 0;
             for (auto &rec : r.recs)
                 if (rec[24] == 2 && rec.size() > 24 + 14) {
                     rec.resize(24 + 14);
                     rec[4] = rec[5] = rec[6] = 0;
                     rec[7] = 14;
                     ++cut;
                 }
             return r.join();
         },
         {0, {{Issue::LoggerCut, 0}, {Issue::ReflectorMissing, kProcedures}}}},
        {"no GATT discovery (cached database)", [&] { return capture(cached); },
         {0, {{Issue::UnknownHandleNotification, 0}, {Issue::ReflectorMissing, kProcedures}}}},
        {"no GATT discovery, RAS guessed", [&] { return capture(cached); }, {kProcedures, {}}, guess},
        {"vendor packet type and logger drops",
         [&] {
             Records r(good);
             std::vector<uint8_t> v = r.recs[3];
             v.resize(24 + 4);
             v[3] = v[7] = 4;
             v[24] = 0xFF;
             r.recs.insert(r.recs.begin() + 4, v);
             for (size_t k = 10; k < r.recs.size(); ++k) r.recs[k][15] = 2;
             return r.join();
         },
         {kProcedures, {{Issue::UnknownPacketType, 1}, {Issue::LoggerDrops, 2}}}},
        {"counters wrap (ranging 12 bits, procedure 16 bits)",
         [&] {
             CaptureWriterOptions o;
             o.firstProcedureCounter = 65530;
             o.firstEventCounter = 65500;
             return capture(o, 12);
         },
         {12, {}}},
        {"handle reused after a disconnection",
         [&] {
             std::vector<uint8_t> f = good;
             const std::vector<uint8_t> d = disconnection(0x0040);
             f.insert(f.end(), d.begin(), d.end());
             CaptureWriterOptions o;
             o.epochUnixUs += 200000000;
             const std::vector<uint8_t> second = capture(o, kProcedures, 9);
             f.insert(f.end(), second.begin() + 16, second.end());
             return f;
         },
         {2 * kProcedures, {}, false, 2}},
        {"two connections interleaved",
         [&] {
             CaptureWriterOptions o;
             o.handle = 0x0041;
             o.configId = 2;
             const Records a(good), b(capture(o, kProcedures, 11));
             Records m(good);
             m.recs.clear();
             for (size_t k = 0; k < std::max(a.recs.size(), b.recs.size()); ++k) {
                 if (k < a.recs.size()) m.recs.push_back(a.recs[k]);
                 if (k < b.recs.size()) m.recs.push_back(b.recs[k]);
             }
             return m.join();
         },
         {2 * kProcedures, {}, false, 2}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> f = c.build();
        const auto r = tarn_capture_test::importBytes(f, c.opts);
        ASSERT_TRUE(r.opened) << r.why;
        EXPECT_EQ(r.procedures.size(), c.expect.procedures);
        EXPECT_EQ(r.report.stopped, c.expect.stopped) << r.report.stopReason;
        EXPECT_EQ(r.report.connectionsSeen, c.expect.connections);
        for (int k = 0; k < kIssueCount; ++k) {
            const Issue i = static_cast<Issue>(k);
            auto it = c.expect.issues.find(i);
            if (it == c.expect.issues.end())
                EXPECT_EQ(r.report.issues[k], 0u) << issueText(i);
            else if (it->second > 0)
                EXPECT_EQ(r.report.issues[k], it->second) << issueText(i);
            else
                EXPECT_GT(r.report.issues[k], 0u) << issueText(i);
            if (r.report.issues[k] > 0) {
                EXPECT_FALSE(r.report.examples[k].empty());
            }
        }
        // Every example names a record inside the file.
        for (const auto &ex : r.report.examples)
            for (const IssueExample &e : ex) {
                EXPECT_GE(e.record, 1u);
                EXPECT_LT(e.offset, f.size());
            }
        std::ostringstream text;
        r.report.print(text);
        EXPECT_NE(text.str().find("procedures delivered: " + std::to_string(c.expect.procedures)),
                  std::string::npos)
            << text.str();
    }
}

TEST(Damaged, WhereItStopped) {
    const std::vector<uint8_t> good = capture();
    Records r(good);
    size_t k = 20;
    r.recs[k][4] = 0x40;  // 1 GB claimed
    size_t offset = 16;
    for (size_t j = 0; j < k; ++j) offset += r.recs[j].size();
    const auto got = tarn_capture_test::importBytes(r.join());
    EXPECT_TRUE(got.report.stopped);
    EXPECT_EQ(got.report.stopRecord, k + 1);
    EXPECT_EQ(got.report.stopOffset, offset);
    EXPECT_EQ(got.report.records, k);
}

TEST(Damaged, HeadersRefused) {
    struct H {
        const char *hex;
        const char *says;
    };
    const H headers[] = {
        {"62 74 73 6E 6F 6F 70 00 00 00 00 01 00 00 03 EB", "serial framing"},
        {"62 74 73 6E 6F 6F 70 00 00 00 00 01 00 00 03 EC", "serial framing"},
        {"62 74 73 6E 6F 6F 70 00 00 00 00 01 00 00 07 D2", "not an HCI capture"},
        {"62 74 73 6E 6F 6F 70 00 00 00 00 02 00 00 03 EA", "version"},
        {"62 74 73 6E 6F 6F 71 00 00 00 00 01 00 00 03 EA", "not a btsnoop file"},
        {"62 74 73 6E 6F 6F 70 00 00 00", "not a btsnoop file"},
    };
    for (const H &h : headers) {
        const auto r = tarn_capture_test::importBytes(tarn_capture_test::hex(h.hex));
        EXPECT_FALSE(r.opened);
        EXPECT_NE(r.why.find(h.says), std::string::npos) << r.why;
    }
    // An H4 capture relabelled as unframed: every field shifts by one octet.
    std::vector<uint8_t> f = capture();
    f[15] = 0xE9;
    const auto r = tarn_capture_test::importBytes(f);
    ASSERT_TRUE(r.opened);
    EXPECT_EQ(r.procedures.size(), 0u);
}

// Replay of a capture with several links needs the connection chosen.
TEST(Damaged, ReplayChoosesAConnection) {
    std::vector<uint8_t> f = capture();
    CaptureWriterOptions o;
    o.handle = 0x0041;
    o.epochUnixUs += 100000000;
    const std::vector<uint8_t> second = capture(o, 4, 5);
    f.insert(f.end(), second.begin() + 16, second.end());
    const std::string path = ::testing::TempDir() + "two_links.btsnoop";
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char *>(f.data()), static_cast<std::streamsize>(f.size()));
    }
    tarn_tool::CaptureReplayArgs a;
    a.path = path;
    std::string why;
    {
        tarn_tool::CaptureSource src;
        EXPECT_FALSE(src.open(a, &why));
        EXPECT_NE(why.find("connection 1: handle 0x040, 10 procedures"), std::string::npos) << why;
        EXPECT_NE(why.find("connection 2: handle 0x041, 4 procedures"), std::string::npos) << why;
    }
    for (int conn : {1, 2}) {
        a.opts.connection = std::to_string(conn);
        tarn_tool::CaptureSource src;
        ASSERT_TRUE(src.open(a, &why)) << why;
        tarn_sim::Procedure p;
        int n = 0;
        while (src.next(&p)) ++n;
        EXPECT_EQ(n, conn == 1 ? kProcedures : 4);
    }
}
