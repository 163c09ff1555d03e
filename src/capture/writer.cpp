// Writing simulated procedures as an initiator's snoop log.
#include "writer.h"

#include <algorithm>

#include "bytes.h"
#include "importer.h"
#include "ras.h"

namespace tarn_capture {

namespace {

// Attribute layout of the simulated reflector's Ranging Service.
constexpr uint16_t kServiceStart = 0x0020, kServiceEnd = 0x0031;
struct Decl {
    uint16_t decl;
    uint8_t props;
    uint16_t value;
    uint16_t uuid;
};
const Decl kDecls[] = {
    {0x0021, 0x02, 0x0022, kUuidRasFeatures},  {0x0023, 0x30, 0x0024, kUuidRealTimeData},
    {0x0026, 0x30, 0x0027, kUuidOnDemandData}, {0x0029, 0x28, 0x002A, kUuidControlPoint},
    {0x002C, 0x32, 0x002D, kUuidDataReady},    {0x002F, 0x32, 0x0030, kUuidDataOverwritten},
};
constexpr uint16_t kRealTime = 0x0024, kOnDemand = 0x0027, kControlPoint = 0x002A,
                   kDataReady = 0x002D;

template <typename T>
T saturate(int64_t v, int64_t lo, int64_t hi, long *count) {
    if (v < lo || v > hi) {
        ++*count;
        v = std::clamp(v, lo, hi);
    }
    return static_cast<T>(v);
}

std::vector<uint8_t> attPdu(uint8_t op, std::initializer_list<uint16_t> u16s,
                            const std::vector<uint8_t> &tail = {}) {
    std::vector<uint8_t> p{op};
    for (uint16_t v : u16s) putLe16(&p, v);
    p.insert(p.end(), tail.begin(), tail.end());
    return p;
}

}  // namespace

tarn_sim::Procedure captureView(const tarn_sim::Procedure &p) {
    tarn_sim::Procedure v = p;
    for (tarn_sim::Subevent &se : v.reflector)
        for (tarn_sim::Step &s : se.steps)
            if (s.mode == 0) s.freqOff = 0;
    for (size_t k = 0; k < v.initiator.size(); ++k) {
        tarn_sim::Subevent &a = v.initiator[k];
        tarn_sim::Subevent *b = k < v.reflector.size() ? &v.reflector[k] : nullptr;
        // Sides paired step by step: an abort on one makes both aborted.
        const bool paired = b != nullptr && !a.aborted && !b->aborted;
        for (size_t j = 0; j < a.steps.size(); ++j) {
            tarn_sim::Step *sb = b != nullptr && j < b->steps.size() ? &b->steps[j] : nullptr;
            const bool both = paired && sb != nullptr && (a.steps[j].aborted || sb->aborted);
            if (a.steps[j].aborted || both)
                a.steps[j] = abortedStep(a.steps[j].mode, a.steps[j].channel);
            if (sb != nullptr && (sb->aborted || both))
                *sb = abortedStep(sb->mode, a.steps[j].channel);
        }
    }
    return v;
}

tarn_sim::StepTiming captureTiming(const tarn_sim::Procedure &first, const CaptureWriterOptions &o,
                                   int nap) {
    tarn_sim::StepTiming t = first.timing;
    if (!t.known()) {
        t.tIp1Us = t.tIp2Us = 10;
        t.tFcsUs = 60;
        t.tPmUs = 10;
        t.phy = 1;
        t.tSwUs = o.tSwUs;
    }
    t.tIp1Us = std::min<uint16_t>(t.tIp1Us, 255);
    t.tIp2Us = std::min<uint16_t>(t.tIp2Us, 255);
    t.tFcsUs = std::min<uint16_t>(t.tFcsUs, 255);
    t.tPmUs = std::min<uint16_t>(t.tPmUs, 255);
    t.rttType = o.rttType;
    if (nap <= 1) t.tSwUs = 0;
    return t;
}

CaptureWriter::CaptureWriter(const CaptureWriterOptions &opts)
    : o_(opts), snoop_(opts.datalink) {
    o_.attMtu = std::clamp(o_.attMtu, 23, 517);
    o_.aclDataLength = std::clamp(o_.aclDataLength, 27, 251);
    o_.rasPctSize = o_.rasPctSize == 3 ? 3 : 4;
}

bool CaptureWriter::openFile(const std::string &path, std::string *why) {
    return snoop_.openFile(path, why);
}

bool CaptureWriter::close(std::string *why) {
    return snoop_.close(why);
}

int64_t CaptureWriter::clampUs(int64_t us) {
    lastUs_ = std::max(lastUs_, us - shiftUs_);
    return lastUs_;
}

void CaptureWriter::event(const std::vector<uint8_t> &e, int64_t us) {
    snoop_.packet(4, true, clampUs(us), e);
}

void CaptureWriter::att(bool received, const std::vector<uint8_t> &pdu, int64_t us) {
    std::vector<uint8_t> l2;
    putLe16(&l2, static_cast<uint16_t>(pdu.size()));
    putLe16(&l2, 0x0004);
    l2.insert(l2.end(), pdu.begin(), pdu.end());
    const size_t room = static_cast<size_t>(o_.aclDataLength);
    for (size_t at = 0; at < l2.size(); at += room) {
        const size_t take = std::min(room, l2.size() - at);
        const unsigned pb = at > 0 ? 1 : received ? 2 : 0;
        std::vector<uint8_t> acl;
        putLe16(&acl, (o_.handle & 0x0FFF) | pb << 12);
        putLe16(&acl, static_cast<uint16_t>(take));
        acl.insert(acl.end(), l2.begin() + at, l2.begin() + at + take);
        snoop_.packet(2, received, clampUs(us), acl);
    }
}

void CaptureWriter::setup(const tarn_sim::Procedure &p) {
    const int64_t t = o_.epochUnixUs;
    // LE Connection Complete: central, random peer address.
    std::vector<uint8_t> cc{kEvLeMeta, 19, kLeConnectionComplete, 0};
    putLe16(&cc, o_.handle);
    for (uint8_t b : {0x00, 0x01, 0x66, 0x55, 0x44, 0x33, 0x22, 0xC1}) put8(&cc, b);
    for (uint16_t v : {0x0018, 0x0000, 0x01F4}) putLe16(&cc, v);
    put8(&cc, 0);
    event(cc, t);
    const bool ras = o_.ras && o_.side == Role::Initiator;
    if (ras) {
        att(false, attPdu(0x02, {static_cast<uint16_t>(o_.attMtu)}), t);
        att(true, attPdu(0x03, {static_cast<uint16_t>(o_.attMtu)}), t);
    }
    const uint16_t data = o_.onDemand ? kOnDemand : kRealTime;
    if (o_.discovery && ras) {
        att(false, attPdu(0x10, {0x0001, 0xFFFF, kUuidPrimaryService}), t);
        att(true, attPdu(0x11, {}, {6, 0x20, 0x00, 0x31, 0x00, 0x5B, 0x18}), t);
        // Characteristic declarations, as many per response as the MTU holds.
        const size_t per = static_cast<size_t>((o_.attMtu - 2) / 7);
        size_t k = 0;
        uint16_t from = kServiceStart;
        while (k < std::size(kDecls)) {
            att(false, attPdu(0x08, {from, kServiceEnd, kUuidCharacteristic}), t);
            std::vector<uint8_t> rsp{0x09, 7};
            for (size_t n = 0; n < per && k < std::size(kDecls); ++n, ++k) {
                putLe16(&rsp, kDecls[k].decl);
                put8(&rsp, kDecls[k].props);
                putLe16(&rsp, kDecls[k].value);
                putLe16(&rsp, kDecls[k].uuid);
            }
            att(true, rsp, t);
            from = static_cast<uint16_t>(kDecls[k - 1].decl + 1);
        }
        att(false, attPdu(0x08, {from, kServiceEnd, kUuidCharacteristic}), t);
        att(true, {0x01, 0x08, static_cast<uint8_t>(from), static_cast<uint8_t>(from >> 8), 0x0A},
            t);
        // The client configuration descriptors it subscribes to.
        std::vector<uint16_t> subs{static_cast<uint16_t>(data + 1)};
        if (o_.onDemand) {
            subs.push_back(kControlPoint + 1);
            subs.push_back(kDataReady + 1);
        }
        for (uint16_t cccd : subs) {
            att(false, attPdu(0x04, {cccd, cccd}), t);
            att(true, attPdu(0x05, {}, {1, static_cast<uint8_t>(cccd), 0, 0x02, 0x29}), t);
            const uint8_t mode = cccd == data + 1 && !o_.onDemand ? 1 : 2;
            att(false, attPdu(0x12, {cccd}, {mode, 0}), t);
            att(true, {0x13}, t);
        }
    }
    // The CS configuration: main mode of the tone steps, mode-1 sub mode.
    bool mode3 = false;
    for (const tarn_sim::Subevent &se : p.initiator)
        for (const tarn_sim::Step &s : se.steps) mode3 |= s.mode == 3;
    ConfigComplete c;
    c.handle = o_.handle;
    c.configId = o_.configId;
    c.action = 1;
    c.mainMode = mode3 ? 3 : 2;
    c.subMode = 1;
    c.minMainSteps = 2;
    c.maxMainSteps = 3;
    c.mode0Steps = 3;
    c.role = o_.side == Role::Reflector ? 1 : 0;
    c.rttType = o_.rttType;
    c.syncPhy = 1;
    for (int k = 0; k <= 78; ++k)
        if ((k >= 2 && k <= 22) || (k >= 26 && k <= 76)) c.channelMap[k / 8] |= 1 << (k % 8);
    c.channelMapRepetition = 1;
    const tarn_sim::StepTiming timing = captureTiming(p, o_, 4);
    c.tIp1 = static_cast<uint8_t>(timing.tIp1Us);
    c.tIp2 = static_cast<uint8_t>(timing.tIp2Us);
    c.tFcs = static_cast<uint8_t>(timing.tFcsUs);
    c.tPm = static_cast<uint8_t>(timing.tPmUs);
    c.syncPhy = timing.phy;
    // The peer's capabilities, read before the configuration.
    RemoteCaps caps;
    caps.handle = o_.handle;
    caps.configs = 4;
    caps.antennas = caps.maxAntennaPaths = 4;
    caps.roles = 3;
    caps.tSw = timing.tSwUs;
    event(encodeRemoteCaps(caps), t);
    event(encodeConfigComplete(c), t);
    ProcedureEnable e;
    e.handle = o_.handle;
    e.configId = o_.configId;
    e.state = 1;
    const int nap = p.initiator.empty() ? 1 : p.initiator[0].nap;
    e.antennaConfig = static_cast<uint8_t>(std::clamp(nap, 1, 4) - 1);
    e.subeventLengthUs = 5000;
    e.subeventsPerEvent = 1;
    e.eventInterval = 1;
    e.procedureInterval = static_cast<uint16_t>(std::max<size_t>(p.initiator.size(), 1) + 6);
    e.maxProcedureLength = 160;
    event(encodeProcedureEnable(e), t);
}

WireStep CaptureWriter::wireStep(const tarn_sim::Step &s, Role role) {
    WireStep w;
    w.mode = s.mode & 3;
    w.channel = s.channel;
    w.noData = s.aborted != 0;
    w.quality = s.aaQual;
    w.rssi = s.rssi;
    if (w.mode == 0) {
        w.antenna = 1;
        w.hasFreqOffset = role == Role::Initiator;
        w.freqOffset = saturate<int16_t>(s.freqOff, -16384, 16383, &saturated_);
    }
    if (w.mode == 1 || w.mode == 3) {
        w.nadm = s.security;
        w.antenna = s.antenna;
        w.toaTod = saturate<int16_t>(s.timeEst, -32768, 32767, &saturated_);
        w.hasPct = o_.rttType == 1 || o_.rttType == 2;
        w.pct1 = w.pct2 = 0xFFFFFFFF;
    }
    if (w.mode >= 2) {
        w.antPerm = s.antPerm;
        w.toneCount = static_cast<uint8_t>(std::min<size_t>(s.tones.size(), 5));
        for (int k = 0; k < w.toneCount; ++k) {
            w.tones[k].i = saturate<int16_t>(s.tones[k].i, -2048, 2047, &saturated_);
            w.tones[k].q = saturate<int16_t>(s.tones[k].q, -2048, 2047, &saturated_);
            w.tones[k].quality = s.tones[k].qual;
        }
    }
    return w;
}

bool CaptureWriter::check(const tarn_sim::Procedure &p, std::string *why) {
    if (p.initiator.size() != p.reflector.size() || p.initiator.empty()) {
        *why = "the sides report different numbers of subevents (or none)";
        return false;
    }
    for (const auto *side : {&p.initiator, &p.reflector})
        for (const tarn_sim::Subevent &se : *side) {
            if (se.nap < 1 || se.nap > 4) {
                *why = "antenna paths outside 1..4";
                return false;
            }
            if (se.steps.size() > 255) {
                *why = "a subevent with more than 255 steps";
                return false;
            }
            for (const tarn_sim::Step &s : se.steps)
                if (s.mode > 3 ||
                    (s.mode >= 2 && !s.aborted && s.tones.size() != size_t(se.nap) + 1)) {
                    *why = "a step whose mode or tone count a controller cannot report";
                    return false;
                }
        }
    return true;
}

int64_t CaptureWriter::results(const std::vector<tarn_sim::Subevent> &side, Role role,
                               uint16_t counter, uint16_t event0) {
    // A Result event per subevent, Continue events when long.
    StepLayout il;
    il.role = role;
    il.pct = o_.rttType == 1 || o_.rttType == 2;
    int64_t lastUs = 0;
    for (size_t s = 0; s < side.size(); ++s) {
        const tarn_sim::Subevent &se = side[s];
        il.nap = se.nap;
        std::vector<WireStep> steps;
        for (const tarn_sim::Step &st : se.steps) steps.push_back(wireStep(st, role));
        const bool lastSub = s + 1 == side.size();
        size_t at = 0;
        bool first = true;
        do {
            size_t room = 255 - 1 - (first ? kResultFixedSize : kContinueFixedSize);
            size_t n = 0;
            while (at + n < steps.size() && hciStepRecordSize(steps[at + n], il) <= room) {
                room -= hciStepRecordSize(steps[at + n], il);
                ++n;
            }
            const bool lastEvent = at + n == steps.size();
            ResultHeader h;
            h.isContinue = !first;
            h.freqCompRaw = role == Role::Reflector ? kFreqCompUnavailable : 0;
            h.handle = o_.handle;
            h.configId = o_.configId;
            h.startEvent = static_cast<uint16_t>(event0 + s);
            h.procedureCounter = counter;
            h.refPower = static_cast<int8_t>(se.rpl);
            h.procedureDone = lastSub && lastEvent ? kStatusComplete : kStatusPartial;
            h.subeventDone = !lastEvent ? kStatusPartial
                             : se.aborted ? kStatusAborted
                                          : kStatusComplete;
            h.abortReasons = lastEvent && se.aborted ? 0x10 : 0;
            h.nap = static_cast<uint8_t>(se.nap);
            lastUs = o_.epochUnixUs + se.timestampNs / 1000;
            event(encodeResultEvent(h, steps, at, n, il), lastUs);
            at += n;
            first = false;
        } while (at < steps.size());
    }
    return lastUs;
}

bool CaptureWriter::write(const tarn_sim::Procedure &p, std::string *why) {
    if (!check(p, why)) return false;
    if (!started_) {
        setup(p);
        started_ = true;
    }
    if (written_ == o_.clockBackAt) {
        shiftUs_ += o_.clockBackUs;
        lastUs_ -= o_.clockBackUs;
    }
    const uint16_t counter = static_cast<uint16_t>(o_.firstProcedureCounter + written_);
    const uint16_t interval = static_cast<uint16_t>(p.initiator.size() + 6);
    const uint16_t event0 = static_cast<uint16_t>(o_.firstEventCounter + written_ * interval);
    if (o_.side == Role::Reflector) {
        // The reflector's events carry the initiator's time stamps: the
        // devices' clocks are unrelated anyway.
        std::vector<tarn_sim::Subevent> refl = p.reflector;
        for (size_t s = 0; s < refl.size(); ++s) refl[s].timestampNs = p.initiator[s].timestampNs;
        results(refl, Role::Reflector, counter, event0);
        ++written_;
        return true;
    }
    const int64_t lastUs = results(p.initiator, Role::Initiator, counter, event0);
    if (!o_.ras || std::count(o_.withoutRas.begin(), o_.withoutRas.end(), written_) > 0) {
        ++written_;
        return true;
    }
    const bool pct = o_.rttType == 1 || o_.rttType == 2;

    // Reflector: one ranging data body.
    RasBody body;
    body.header.counter = counter & 0x0FFF;
    body.header.configId = o_.configId;
    body.header.antennaMask = static_cast<uint8_t>((1u << p.reflector[0].nap) - 1);
    for (size_t s = 0; s < p.reflector.size(); ++s) {
        const tarn_sim::Subevent &se = p.reflector[s];
        RasSubevent rs;
        rs.startEvent = static_cast<uint16_t>(event0 + s);
        rs.rangingDone = s + 1 == p.reflector.size() ? kStatusComplete : kStatusPartial;
        rs.subeventDone = se.aborted ? kStatusAborted : kStatusComplete;
        rs.subeventAbort = se.aborted ? 1 : 0;
        rs.refPower = static_cast<int8_t>(se.rpl);
        for (const tarn_sim::Step &st : se.steps) rs.steps.push_back(wireStep(st, Role::Reflector));
        body.subevents.push_back(std::move(rs));
    }
    StepLayout rl;
    rl.role = Role::Reflector;
    rl.pct = pct;
    rl.pctSize = o_.rasPctSize;
    std::vector<uint8_t> bytes;
    encodeRasBody(body, rl, &bytes);
    const std::vector<uint8_t> ctr{static_cast<uint8_t>(body.header.counter),
                                   static_cast<uint8_t>(body.header.counter >> 8)};
    if (o_.onDemand) {
        att(true, attPdu(0x1B, {kDataReady}, ctr), lastUs);
        att(false, attPdu(0x12, {kControlPoint}, {0x00, ctr[0], ctr[1]}), lastUs);
        att(true, {0x13}, lastUs);
    }
    const std::vector<std::vector<uint8_t>> segs = segmentRasBody(bytes, o_.attMtu);
    std::vector<int> lose;
    if (o_.onDemand)
        for (int k : o_.loseSegments)
            if (k >= 0 && k < 255 && k < static_cast<int>(segs.size())) lose.push_back(k);
    for (size_t k = 0; k < segs.size(); ++k) {
        if (std::count(lose.begin(), lose.end(), static_cast<int>(k)) > 0) continue;
        if (o_.onDemand) {
            att(true, attPdu(0x1D, {kOnDemand}, segs[k]), lastUs);
            att(false, {0x1E}, lastUs);
        } else {
            att(true, attPdu(0x1B, {kRealTime}, segs[k]), lastUs);
        }
    }
    if (o_.onDemand) {
        att(true, attPdu(0x1D, {kControlPoint}, {0x00, ctr[0], ctr[1]}), lastUs);
        att(false, {0x1E}, lastUs);
        for (int lost : lose) {
            if (!o_.resendLost) break;
            const uint8_t k = static_cast<uint8_t>(lost);
            att(false, attPdu(0x12, {kControlPoint}, {0x02, ctr[0], ctr[1], k, k}), lastUs);
            att(true, {0x13}, lastUs);
            att(true, attPdu(0x1D, {kOnDemand}, segs[k]), lastUs);
            att(false, {0x1E}, lastUs);
            att(true, attPdu(0x1D, {kControlPoint}, {0x01, ctr[0], ctr[1], k, k}), lastUs);
            att(false, {0x1E}, lastUs);
        }
        att(false, attPdu(0x12, {kControlPoint}, {0x01, ctr[0], ctr[1]}), lastUs);
        att(true, {0x13}, lastUs);
    }
    ++written_;
    return true;
}

}  // namespace tarn_capture
