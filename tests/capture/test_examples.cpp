// The capture format notes' constructed examples, decoded octet for octet, encoded
// back to the same octets, and imported as one capture.
#include <gtest/gtest.h>

#include "bytes.h"
#include "capture_test_util.h"
#include "hci.h"
#include "ras.h"
#include "writer.h"

using namespace tarn_capture;
using tarn_capture_test::hex;

namespace {

const char *kConfigRecord =
    "00 00 00 25 00 00 00 25 00 00 00 03 00 00 00 00 00 E3 14 34 72 31 30 00 04 3E 22 2F 00 40 "
    "00 01 01 02 01 02 03 00 01 00 00 01 FC FF 7F FC FF FF FF FF FF 1F 01 00 00 00 00 0A 0A 3C 0A";
const char *kConfigEvent =
    "04 3E 22 2F 00 40 00 01 01 02 01 02 03 00 01 00 00 01 FC FF 7F FC FF FF FF FF FF 1F 01 00 00 "
    "00 00 0A 0A 3C 0A";
const char *kEnableEvent = "04 3E 16 30 00 40 00 01 01 00 04 88 13 00 01 00 00 01 00 0A 00 00 00 A0 00";
const char *kCapsEvent =
    "04 3E 20 2C 00 40 00 04 0A 00 02 02 03 01 00 0A 00 00 00 00 00 00 02 06 00 7F 00 7F 00 FF 01 "
    "03 00 0A 1F";
const char *kResultEvent =
    "04 3E 39 31 40 00 01 56 04 23 01 06 7F F6 01 01 00 01 04 00 0A 05 00 C9 01 85 7F 02 14 09 00 "
    "64 80 F3 00 03 E0 FF 13 02 40 09 00 25 CD 19 00 01 00 00 13 01 30 06 00 FF C4 D2 04 01";
const char *kContinueEvent =
    "04 3E 21 32 40 00 01 00 00 00 01 02 02 1C 09 00 05 02 06 01 00 F0 FF 13 02 3A 09 00 D8 6F D7 "
    "00 02 20 00 13";
const char *kReflectorResult =
    "04 3E 46 31 01 00 01 56 04 23 01 00 C0 F6 00 00 00 01 06 00 0A 03 00 CB 01 02 14 09 00 6A AF "
    "05 00 00 10 00 13 02 40 09 00 2C 41 28 00 FF 0F 00 13 01 30 06 00 FF C6 B0 04 01 02 1C 09 00 "
    "0C F0 CD 01 01 10 00 13 02 3A 00";
const char *kReadByTypeRsp =
    "02 40 20 22 00 1E 00 04 00 09 07 21 00 02 22 00 14 2C 23 00 30 24 00 15 2C 26 00 30 27 00 16 "
    "2C 29 00 28 2A 00 17 2C";
const char *kFindInfoRsp = "02 40 20 0A 00 06 00 04 00 05 01 25 00 02 29";
const char *kCccdWrite = "02 40 00 09 00 05 00 04 00 12 25 00 01 00";
const char *kRasBody =
    "23 11 04 01 56 04 00 C0 00 00 F6 06 00 00 CB 01 02 00 6A AF 05 00 00 10 00 13 02 00 2C 41 28 "
    "00 FF 0F 00 13 01 00 FF C6 B0 04 01 02 00 0C F0 CD 01 01 10 00 13 82";
const char *kSegment0 =
    "02 40 20 28 00 24 00 04 00 1B 24 00 01 23 11 04 01 56 04 00 C0 00 00 F6 06 00 00 CB 01 02 00 "
    "6A AF 05 00 00 10 00 13 02 00 2C 41 28 00";
const char *kSegment1 =
    "02 40 20 1E 00 1A 00 04 00 1B 24 00 06 FF 0F 00 13 01 00 FF C6 B0 04 01 02 00 0C F0 CD 01 01 "
    "10 00 13 82";
const char *kNotificationFull =
    "00 00 00 2D 00 00 00 2D 00 00 00 01 00 00 00 00 00 E3 14 34 72 35 31 64 02 40 20 28 00 24 00 "
    "04 00 1B 24 00 01 23 11 04 01 56 04 00 C0 00 00 F6 06 00 00 CB 01 02 00 6A AF 05 00 00 10 00 "
    "13 02 00 2C 41 28 00";
const char *kNotificationCut =
    "00 00 00 2D 00 00 00 0E 00 00 00 01 00 00 00 00 00 E3 14 34 72 35 31 64 02 40 20 28 00 24 00 "
    "04 00 1B 24 00 01 23";

// The octets of a hex example from octet `from` on.
std::vector<uint8_t> tail(const char *h, size_t from) {
    const std::vector<uint8_t> all = hex(h);
    return std::vector<uint8_t>(all.begin() + static_cast<long>(from), all.end());
}

// Event parameters after the subevent code of an H4 event packet.
std::vector<uint8_t> params(const char *h4Event) {
    std::vector<uint8_t> e = hex(h4Event);
    return std::vector<uint8_t>(e.begin() + 4, e.end());
}

std::vector<WireStep> stepsOf(const char *h4Event, bool isContinue, ResultHeader *h,
                              Role role = Role::Initiator) {
    const std::vector<uint8_t> p = params(h4Event);
    EXPECT_TRUE(decodeResultHeader(isContinue, p.data(), p.size(), h));
    StepLayout l;
    l.role = role;
    l.nap = h->nap;
    std::vector<WireStep> steps;
    StepDecodeStats st;
    const size_t fixed = isContinue ? kContinueFixedSize : kResultFixedSize;
    EXPECT_TRUE(decodeHciSteps(p.data() + fixed, p.size() - fixed, h->stepCount, l, &steps, &st));
    EXPECT_EQ(st.lengthDisagreements, 0);
    return steps;
}

void expectTone(const WireTone &t, int i, int q, int quality) {
    EXPECT_EQ(t.i, i);
    EXPECT_EQ(t.q, q);
    EXPECT_EQ(t.quality, quality);
}

// Appends one btsnoop record (timestamp as in the format notes, plus `us`).
void record(std::vector<uint8_t> *f, const std::vector<uint8_t> &h4, bool received, bool cmdEvt,
            int64_t us = 0) {
    const uint32_t n = static_cast<uint32_t>(h4.size());
    putBe32(f, n);
    putBe32(f, n);
    putBe32(f, (received ? 1 : 0) | (cmdEvt ? 2 : 0));
    putBe32(f, 0);
    putBe64(f, 0x00E3143472313000ULL + static_cast<uint64_t>(us));
    f->insert(f->end(), h4.begin(), h4.end());
}

std::vector<uint8_t> fileHeader() {
    return hex("62 74 73 6E 6F 6F 70 00 00 00 00 01 00 00 03 EA");
}

}  // namespace

TEST(Examples, RecordHeaderAndTimestamp) {
    std::vector<uint8_t> f = fileHeader();
    const std::vector<uint8_t> r = hex(kConfigRecord);
    f.insert(f.end(), r.begin(), r.end());
    SnoopReader reader;
    std::string why;
    ASSERT_TRUE(reader.openMemory(f.data(), f.size(), &why)) << why;
    EXPECT_EQ(reader.datalink(), kDatalinkH4);
    SnoopRecord rec;
    ASSERT_EQ(reader.next(&rec), SnoopReader::Status::Record);
    EXPECT_EQ(rec.originalLength, 37u);
    EXPECT_EQ(rec.includedLength, 37u);
    EXPECT_EQ(rec.flags, 3u);
    EXPECT_EQ(rec.kind, PacketKind::Event);
    EXPECT_TRUE(rec.received);
    EXPECT_EQ(rec.offset, 16u);
    EXPECT_EQ(rec.timestampUs - kUnixOffsetUs, 1748779200000000LL);
    EXPECT_EQ(rec.packetLength, 36u);
    EXPECT_EQ(reader.next(&rec), SnoopReader::Status::End);
}

TEST(Examples, ConfigEnableAndCapabilities) {
    std::vector<uint8_t> p = params(kConfigEvent);
    ConfigComplete c;
    ASSERT_TRUE(decodeConfigComplete(p.data(), p.size(), &c));
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.handle, 0x0040);
    EXPECT_EQ(c.configId, 1);
    EXPECT_EQ(c.action, 1);
    EXPECT_EQ(c.mainMode, 2);
    EXPECT_EQ(c.subMode, 1);
    EXPECT_EQ(c.minMainSteps, 2);
    EXPECT_EQ(c.maxMainSteps, 3);
    EXPECT_EQ(c.mainRepetition, 0);
    EXPECT_EQ(c.mode0Steps, 1);
    EXPECT_EQ(c.role, 0);
    EXPECT_EQ(c.rttType, 0);
    EXPECT_EQ(c.syncPhy, 1);
    EXPECT_EQ(c.channelCount(), 72);
    for (int k : {0, 1, 23, 24, 25, 77, 78}) EXPECT_FALSE((c.channelMap[k / 8] >> (k % 8)) & 1);
    EXPECT_EQ(c.channelMapRepetition, 1);
    EXPECT_EQ(c.tIp1, 10);
    EXPECT_EQ(c.tIp2, 10);
    EXPECT_EQ(c.tFcs, 60);
    EXPECT_EQ(c.tPm, 10);
    EXPECT_EQ(encodeConfigComplete(c), tail(kConfigEvent, 1));

    p = params(kEnableEvent);
    ProcedureEnable e;
    ASSERT_TRUE(decodeProcedureEnable(p.data(), p.size(), &e));
    EXPECT_EQ(e.configId, 1);
    EXPECT_EQ(e.state, 1);
    EXPECT_EQ(e.antennaConfig, 0);
    EXPECT_EQ(e.txPower, 4);
    EXPECT_EQ(e.subeventLengthUs, 5000u);
    EXPECT_EQ(e.subeventsPerEvent, 1);
    EXPECT_EQ(e.subeventInterval, 0);
    EXPECT_EQ(e.eventInterval, 1);
    EXPECT_EQ(e.procedureInterval, 10);
    EXPECT_EQ(e.procedureCount, 0);
    EXPECT_EQ(e.maxProcedureLength, 160);
    EXPECT_EQ(encodeProcedureEnable(e), tail(kEnableEvent, 1));

    p = params(kCapsEvent);
    RemoteCaps r;
    ASSERT_TRUE(decodeRemoteCaps(p.data(), p.size(), &r));
    EXPECT_EQ(r.configs, 4);
    EXPECT_EQ(r.maxConsecutiveProcedures, 10);
    EXPECT_EQ(r.antennas, 2);
    EXPECT_EQ(r.maxAntennaPaths, 2);
    EXPECT_EQ(r.roles, 3);
    EXPECT_EQ(r.optionalModes, 1);
    EXPECT_EQ(r.rttAaOnlyN, 0x0A);
    EXPECT_EQ(r.syncPhys, 2);
    EXPECT_EQ(r.subfeatures, 6);
    EXPECT_EQ(r.tIp1, 0x7F);
    EXPECT_EQ(r.tFcs, 0x1FF);
    EXPECT_EQ(r.tPm, 3);
    EXPECT_EQ(r.tSw, 0x0A);
    EXPECT_EQ(r.txSnr, 0x1F);
    EXPECT_FALSE(decodeRemoteCaps(p.data(), p.size() - 1, &r));
}

TEST(Examples, InitiatorResultAndContinue) {
    ResultHeader h;
    std::vector<WireStep> s = stepsOf(kResultEvent, false, &h);
    EXPECT_EQ(h.handle, 0x0040);
    EXPECT_EQ(h.configId, 1);
    EXPECT_EQ(h.startEvent, 0x0456);
    EXPECT_EQ(h.procedureCounter, 0x0123);
    EXPECT_EQ(sx15(h.freqCompRaw), -250);
    EXPECT_EQ(h.refPower, -10);
    EXPECT_EQ(h.procedureDone, 1);
    EXPECT_EQ(h.subeventDone, 1);
    EXPECT_EQ(h.nap, 1);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].mode, 0);
    EXPECT_EQ(s[0].channel, 10);
    EXPECT_EQ(s[0].quality, 0);
    EXPECT_EQ(s[0].rssi, -55);
    EXPECT_EQ(s[0].antenna, 1);
    EXPECT_EQ(s[0].freqOffset, -123);
    EXPECT_EQ(s[1].channel, 20);
    EXPECT_EQ(s[1].antPerm, 0);
    ASSERT_EQ(s[1].toneCount, 2);
    expectTone(s[1].tones[0], 100, -200, 0);
    expectTone(s[1].tones[1], 3, -2, 0x13);
    EXPECT_EQ(s[2].channel, 64);
    expectTone(s[2].tones[0], -731, 412, 0);
    expectTone(s[2].tones[1], 1, 0, 0x13);
    EXPECT_EQ(s[3].mode, 1);
    EXPECT_EQ(s[3].channel, 48);
    EXPECT_EQ(s[3].nadm, 0xFF);
    EXPECT_EQ(s[3].rssi, -60);
    EXPECT_EQ(s[3].toaTod, 1234);
    EXPECT_EQ(s[3].antenna, 1);
    StepLayout l;
    l.nap = 1;
    EXPECT_EQ(encodeResultEvent(h, s, 0, s.size(), l),
              tail(kResultEvent, 1));

    s = stepsOf(kContinueEvent, true, &h);
    EXPECT_EQ(h.procedureDone, 0);
    EXPECT_EQ(h.subeventDone, 0);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].channel, 28);
    expectTone(s[0].tones[0], 517, 96, 1);
    expectTone(s[0].tones[1], 0, -1, 0x13);
    EXPECT_EQ(s[1].channel, 58);
    expectTone(s[1].tones[0], -40, -650, 0);
    expectTone(s[1].tones[1], 2, 2, 0x13);
    EXPECT_EQ(encodeResultEvent(h, s, 0, s.size(), l),
              tail(kContinueEvent, 1));
}

TEST(Examples, ReflectorResultAndStandaloneSteps) {
    ResultHeader h;
    const std::vector<WireStep> s = stepsOf(kReflectorResult, false, &h, Role::Reflector);
    EXPECT_EQ(h.handle, 0x0001);
    EXPECT_EQ(h.freqCompRaw, kFreqCompUnavailable);
    EXPECT_EQ(h.procedureDone, 0);
    ASSERT_EQ(s.size(), 6u);
    EXPECT_FALSE(s[0].hasFreqOffset);
    EXPECT_EQ(s[0].rssi, -53);
    EXPECT_EQ(s[0].antenna, 1);
    expectTone(s[1].tones[0], -150, 90, 0);
    expectTone(s[2].tones[0], 300, 644, 0);
    expectTone(s[2].tones[1], -1, 0, 0x13);
    EXPECT_EQ(s[3].toaTod, 1200);
    EXPECT_EQ(s[3].rssi, -58);
    expectTone(s[4].tones[0], 12, -801, 1);
    EXPECT_TRUE(s[5].noData);
    EXPECT_EQ(s[5].mode, 2);
    EXPECT_EQ(s[5].channel, 58);

    // Stand-alone step records.
    struct Case {
        const char *hex;
        StepLayout layout;
    };
    StepLayout withPct;
    withPct.pct = true;
    StepLayout nap2;
    nap2.nap = 2;
    StepLayout refl;
    refl.role = Role::Reflector;
    std::vector<WireStep> out;
    StepDecodeStats st;
    std::vector<uint8_t> b = hex("01 1E 0E 10 01 C2 DB FF 02 FA 80 C1 00 FD 7F 00 00");
    ASSERT_TRUE(decodeHciSteps(b.data(), b.size(), 1, withPct, &out, &st));
    const WireStep &m1 = out.back();
    EXPECT_EQ(m1.channel, 30);
    EXPECT_EQ(m1.quality, 0x10);
    EXPECT_EQ(m1.nadm, 1);
    EXPECT_EQ(m1.rssi, -62);
    EXPECT_EQ(m1.toaTod, -37);
    EXPECT_EQ(m1.antenna, 2);
    EXPECT_EQ(sx12(m1.pct1), 250);
    EXPECT_EQ(sx12(m1.pct1 >> 12), -1000);
    EXPECT_EQ(sx12(m1.pct2), -3);
    EXPECT_EQ(sx12(m1.pct2 >> 12), 7);
    b = hex("03 28 13 00 FF C6 D4 03 01 05 78 F0 FD 00 A8 AF 19 01 40 00 04 21");
    ASSERT_TRUE(decodeHciSteps(b.data(), b.size(), 1, nap2, &out, &st));
    const WireStep &m3 = out.back();
    EXPECT_EQ(m3.channel, 40);
    EXPECT_EQ(m3.toaTod, 980);
    EXPECT_EQ(m3.rssi, -58);
    EXPECT_EQ(m3.antPerm, 5);
    ASSERT_EQ(m3.toneCount, 3);
    expectTone(m3.tones[0], 120, -33, 0);
    expectTone(m3.tones[1], -88, 410, 1);
    expectTone(m3.tones[2], 64, 64, 0x21);
    b = hex("00 02 03 21 BA 02");
    ASSERT_TRUE(decodeHciSteps(b.data(), b.size(), 1, refl, &out, &st));
    EXPECT_EQ(out.back().quality, 0x21);
    EXPECT_EQ(out.back().rssi, -70);
    EXPECT_EQ(out.back().antenna, 2);
    EXPECT_EQ(st.lengthDisagreements, 0);
}

TEST(Examples, RasBodyAndSegments) {
    const std::vector<uint8_t> body = hex(kRasBody);
    ASSERT_EQ(body.size(), 54u);
    StepLayout l;
    l.role = Role::Reflector;
    RasBody b;
    ASSERT_EQ(parseRasBody(body.data(), body.size(), l, &b), RasParseStatus::Ok);
    EXPECT_EQ(b.header.counter, 0x123);
    EXPECT_EQ(b.header.configId, 1);
    EXPECT_EQ(b.header.txPower, 4);
    EXPECT_EQ(b.header.nap(), 1);
    ASSERT_EQ(b.subevents.size(), 1u);
    const RasSubevent &se = b.subevents[0];
    EXPECT_EQ(se.startEvent, 0x0456);
    EXPECT_EQ(se.freqCompRaw, kFreqCompUnavailable);
    EXPECT_EQ(se.rangingDone, 0);
    EXPECT_EQ(se.subeventDone, 0);
    EXPECT_EQ(se.refPower, -10);
    ASSERT_EQ(se.steps.size(), 6u);
    EXPECT_EQ(se.steps[0].rssi, -53);
    expectTone(se.steps[1].tones[0], -150, 90, 0);
    expectTone(se.steps[1].tones[1], 0, 1, 0x13);
    expectTone(se.steps[2].tones[0], 300, 644, 0);
    EXPECT_EQ(se.steps[3].toaTod, 1200);
    EXPECT_EQ(se.steps[3].nadm, 0xFF);
    expectTone(se.steps[4].tones[0], 12, -801, 1);
    EXPECT_TRUE(se.steps[5].noData);
    EXPECT_EQ(se.steps[5].mode, 2);
    std::vector<uint8_t> again;
    encodeRasBody(b, l, &again);
    EXPECT_EQ(again, body);

    // A wrong role desynchronises the body: it no longer ends where it should.
    l.role = Role::Initiator;
    EXPECT_NE(parseRasBody(body.data(), body.size(), l, &b), RasParseStatus::Ok);

    // Two segments at ATT MTU 36, as the format notes split them.
    const std::vector<std::vector<uint8_t>> segs = segmentRasBody(body, 36);
    ASSERT_EQ(segs.size(), 2u);
    EXPECT_EQ(tail(kSegment0, 12), segs[0]);
    EXPECT_EQ(tail(kSegment1, 12), segs[1]);
}

// The examples as one capture: configuration, enable, discovery, the
// initiator's Result and Continue, the body in two notifications.
TEST(Examples, ImportedAsOneCapture) {
    std::vector<uint8_t> f = fileHeader();
    record(&f, hex(kConfigEvent), true, true);
    record(&f, hex(kEnableEvent), true, true);
    record(&f, hex("02 40 00 0B 00 07 00 04 00 08 20 00 31 00 03 28"), false, false);
    record(&f, hex(kReadByTypeRsp), true, false);
    record(&f, hex(kFindInfoRsp), true, false);
    record(&f, hex(kCccdWrite), false, false);
    record(&f, hex(kResultEvent), true, true, 1000);
    record(&f, hex(kContinueEvent), true, true, 2000);
    record(&f, hex(kSegment0), true, false, 3000);
    record(&f, hex(kSegment1), true, false, 3000);
    const auto r = tarn_capture_test::importBytes(f);
    ASSERT_TRUE(r.opened) << r.why;
    ASSERT_EQ(r.procedures.size(), 1u);
    const ImportedProcedure &ip = r.procedures[0];
    EXPECT_EQ(ip.connection, 1);
    EXPECT_EQ(ip.handle, 0x40);
    EXPECT_EQ(ip.configId, 1);
    EXPECT_EQ(ip.procedureCounter, 0x0123);
    EXPECT_EQ(ip.record, 7u);
    EXPECT_FALSE(ip.partial);
    const tarn_sim::Procedure &p = ip.procedure;
    ASSERT_EQ(p.initiator.size(), 1u);
    ASSERT_EQ(p.reflector.size(), 1u);
    const tarn_sim::Subevent &si = p.initiator[0], &sr = p.reflector[0];
    EXPECT_EQ(si.timestampNs, 1000000);  // from the first record of the capture
    EXPECT_EQ(sr.timestampNs, 1000000);
    EXPECT_EQ(si.rpl, static_cast<uint8_t>(-10));
    EXPECT_EQ(si.nap, 1);
    EXPECT_EQ(sr.nap, 1);
    EXPECT_EQ(si.aborted, 0);
    EXPECT_EQ(sr.aborted, 0);
    // Six steps; the reflector aborted the last: it keeps its place, with
    // no data on either side.
    ASSERT_EQ(si.steps.size(), 6u);
    ASSERT_EQ(sr.steps.size(), 6u);
    const uint8_t channels[] = {10, 20, 64, 48, 28, 58};
    for (size_t j = 0; j < 6; ++j) {
        EXPECT_EQ(si.steps[j].channel, channels[j]);
        EXPECT_EQ(sr.steps[j].channel, channels[j]);
        EXPECT_EQ(si.steps[j].mode, sr.steps[j].mode);
        EXPECT_EQ(si.steps[j].aborted, j == 5 ? 1 : 0);
        EXPECT_EQ(sr.steps[j].aborted, j == 5 ? 1 : 0);
    }
    EXPECT_TRUE(si.steps[5].tones.empty());
    EXPECT_TRUE(sr.steps[5].tones.empty());
    // The configuration's step timing; one path, so no antenna switching.
    tarn_sim::StepTiming timing;
    timing.tIp1Us = timing.tIp2Us = timing.tPmUs = 10;
    timing.tFcsUs = 60;
    timing.phy = 1;
    EXPECT_EQ(p.timing, timing);
    EXPECT_EQ(si.steps[0].freqOff, -123);
    EXPECT_EQ(si.steps[0].rssi, -55);
    EXPECT_EQ(sr.steps[0].rssi, -53);
    EXPECT_EQ(sr.steps[0].freqOff, 0);
    ASSERT_EQ(si.steps[1].tones.size(), 2u);
    EXPECT_EQ(si.steps[1].tones[0].i, 100);
    EXPECT_EQ(si.steps[1].tones[0].q, -200);
    EXPECT_EQ(si.steps[1].tones[1].qual, 0x13);
    EXPECT_EQ(sr.steps[1].tones[0].i, -150);
    EXPECT_EQ(sr.steps[1].tones[0].q, 90);
    EXPECT_EQ(si.steps[3].timeEst, 1234);
    EXPECT_EQ(si.steps[3].security, 0xFF);
    EXPECT_EQ(sr.steps[3].timeEst, 1200);
    EXPECT_EQ(sr.steps[3].rssi, -58);
    EXPECT_EQ(si.steps[4].tones[0].i, 517);
    EXPECT_EQ(sr.steps[4].tones[0].q, -801);
    EXPECT_EQ(tarn_capture_test::issues(r, Issue::AbortedSteps), 1u);
    EXPECT_EQ(r.report.issues[static_cast<int>(Issue::ReflectorMissing)], 0u);
    EXPECT_EQ(r.report.droppedProcedures(), 0u);
    EXPECT_EQ(r.report.readings[static_cast<int>(Reading::ServerIsReflector)], 1u);
    ASSERT_EQ(r.report.connections.size(), 1u);
    ASSERT_EQ(r.report.connections[0].rasAttributes.size(), 4u);
    EXPECT_EQ(r.report.connections[0].rasAttributes[1].handle, 0x0024);
    EXPECT_EQ(r.report.connections[0].rasAttributes[1].kind, RasChar::RealTime);
}

// The filtered-log form of the first notification loses the body; the
// importer says so and the procedure goes without reflector data.
TEST(Examples, FilteredLogRecord) {
    for (const char *notification : {kNotificationFull, kNotificationCut}) {
        std::vector<uint8_t> f = fileHeader();
        record(&f, hex(kConfigEvent), true, true);
        record(&f, hex(kResultEvent), true, true);
        record(&f, hex(kContinueEvent), true, true);
        const std::vector<uint8_t> n = hex(notification);
        f.insert(f.end(), n.begin(), n.end());
        record(&f, hex(kSegment1), true, false);
        ImportOptions o;
        o.rasHandles.push_back({0x0040, 0x0024, RasChar::RealTime});
        const auto r = tarn_capture_test::importBytes(f, o);
        const bool cut = notification == kNotificationCut;
        EXPECT_EQ(r.procedures.size(), cut ? 0u : 1u);
        EXPECT_EQ(tarn_capture_test::issues(r, Issue::LoggerCut), cut ? 1u : 0u);
        EXPECT_EQ(tarn_capture_test::issues(r, Issue::ReflectorMissing), cut ? 1u : 0u);
        EXPECT_EQ(tarn_capture_test::issues(r, Issue::RasMissingFirst), cut ? 1u : 0u);
    }
}

// The on-demand exchange of the format notes around the same two segments.
TEST(Examples, OnDemandExchange) {
    std::vector<uint8_t> f = fileHeader();
    record(&f, hex(kConfigEvent), true, true);
    record(&f, hex(kResultEvent), true, true);
    record(&f, hex(kContinueEvent), true, true);
    record(&f, hex("02 40 20 09 00 05 00 04 00 1B 2D 00 23 01"), true, false);
    record(&f, hex("02 40 00 0A 00 06 00 04 00 12 2A 00 00 23 01"), false, false);
    for (const char *seg : {kSegment0, kSegment1}) {
        std::vector<uint8_t> s = hex(seg);
        s[10] = 0x27;  // on the on-demand characteristic
        record(&f, s, true, false);
    }
    record(&f, hex("02 40 20 0A 00 06 00 04 00 1D 2A 00 00 23 01"), true, false);
    record(&f, hex("02 40 00 0A 00 06 00 04 00 12 2A 00 01 23 01"), false, false);
    record(&f, hex("02 40 20 09 00 05 00 04 00 1B 30 00 22 01"), true, false);
    ImportOptions o;
    std::string why;
    ASSERT_TRUE(parseRasHandles("0x0040:0x0027=ondemand,0x002A=cp,0x002D=ready,0x0030=overwritten",
                                &o.rasHandles, &why))
        << why;
    const auto r = tarn_capture_test::importBytes(f, o);
    ASSERT_EQ(r.procedures.size(), 1u);
    EXPECT_EQ(r.procedures[0].procedure.reflector[0].steps.size(), 6u);
    EXPECT_GT(r.report.readings[static_cast<int>(Reading::ControlPointCodes)], 0u);
    EXPECT_FALSE(parseRasHandles("0x40:0x27=bogus", &o.rasHandles, &why));
    EXPECT_FALSE(parseRasHandles("0x27=ondemand", &o.rasHandles, &why));
}
