// HCI Channel Sounding events: fixed parts, step records and step data.
#include "hci.h"

#include <algorithm>

#include "bytes.h"

namespace tarn_capture {

int ConfigComplete::channelCount() const {
    int n = 0;
    for (int k = 0; k < 79; ++k) n += (channelMap[k / 8] >> (k % 8)) & 1;
    return n;
}

size_t stepDataSize(uint8_t mode, const StepLayout &l) {
    const size_t rtt = l.pct ? 6 + 2 * static_cast<size_t>(l.pctSize) : 6;
    const size_t tones = 1 + 4 * static_cast<size_t>(l.nap + 1);
    switch (mode & 3) {
        case 0: return l.role == Role::Initiator ? 5 : 3;
        case 1: return rtt;
        case 2: return tones;
        default: return rtt + tones;
    }
}

namespace {

size_t decodeRtt(const StepLayout &l, const uint8_t *d, WireStep *s) {
    s->quality = d[0];
    s->nadm = d[1];
    s->rssi = static_cast<int8_t>(d[2]);
    s->toaTod = static_cast<int16_t>(le16(d + 3));
    s->antenna = d[5];
    if (!l.pct) return 6;
    s->hasPct = true;
    const size_t k = static_cast<size_t>(l.pctSize);
    s->pct1 = k == 4 ? le32(d + 6) : le24(d + 6);
    s->pct2 = k == 4 ? le32(d + 6 + k) : le24(d + 6 + k);
    return 6 + 2 * k;
}

void decodeTones(const StepLayout &l, const uint8_t *d, WireStep *s) {
    s->antPerm = d[0];
    s->toneCount = static_cast<uint8_t>(l.nap + 1);
    for (int k = 0; k <= l.nap; ++k) {
        const uint8_t *t = d + 1 + 4 * k;
        const uint32_t w = le24(t);
        s->tones[k].i = sx12(w);
        s->tones[k].q = sx12(w >> 12);
        s->tones[k].quality = t[3];
    }
}

void encodeRtt(const WireStep &s, const StepLayout &l, std::vector<uint8_t> *o) {
    put8(o, s.quality);
    put8(o, s.nadm);
    put8(o, static_cast<uint8_t>(s.rssi));
    putLe16(o, static_cast<uint16_t>(s.toaTod));
    put8(o, s.antenna);
    if (!l.pct) return;
    if (l.pctSize == 4) {
        putLe32(o, s.pct1);
        putLe32(o, s.pct2);
    } else {
        putLe24(o, s.pct1 & 0xFFFFFF);
        putLe24(o, s.pct2 & 0xFFFFFF);
    }
}

void encodeTones(const WireStep &s, const StepLayout &l, std::vector<uint8_t> *o) {
    put8(o, s.antPerm);
    for (int k = 0; k <= l.nap; ++k) {
        const WireTone t = k < s.toneCount ? s.tones[k] : WireTone{};
        putLe24(o, (uint32_t(t.i) & 0xFFF) | (uint32_t(t.q) & 0xFFF) << 12);
        put8(o, t.quality);
    }
}

}  // namespace

void decodeStepData(uint8_t mode, const StepLayout &l, const uint8_t *d, WireStep *s) {
    s->mode = mode & 3;
    switch (s->mode) {
        case 0:
            s->quality = d[0];
            s->rssi = static_cast<int8_t>(d[1]);
            s->antenna = d[2];
            if (l.role == Role::Initiator) {
                s->hasFreqOffset = true;
                s->freqOffset = sx15(le16(d + 3));
            }
            break;
        case 1:
            decodeRtt(l, d, s);
            break;
        case 2:
            decodeTones(l, d, s);
            break;
        default:
            decodeTones(l, d + decodeRtt(l, d, s), s);
            break;
    }
}

void encodeStepData(const WireStep &s, const StepLayout &l, std::vector<uint8_t> *o) {
    switch (s.mode & 3) {
        case 0:
            put8(o, s.quality);
            put8(o, static_cast<uint8_t>(s.rssi));
            put8(o, s.antenna);
            if (l.role == Role::Initiator) putLe16(o, static_cast<uint16_t>(s.freqOffset) & 0x7FFF);
            break;
        case 1:
            encodeRtt(s, l, o);
            break;
        case 2:
            encodeTones(s, l, o);
            break;
        default:
            encodeRtt(s, l, o);
            encodeTones(s, l, o);
            break;
    }
}

bool decodeConfigComplete(const uint8_t *p, size_t n, ConfigComplete *c) {
    if (n < kConfigCompleteSize) return false;
    c->status = p[0];
    c->handle = le16(p + 1) & 0x0FFF;
    c->configId = p[3];
    c->action = p[4];
    c->mainMode = p[5];
    c->subMode = p[6];
    c->minMainSteps = p[7];
    c->maxMainSteps = p[8];
    c->mainRepetition = p[9];
    c->mode0Steps = p[10];
    c->role = p[11];
    c->rttType = p[12];
    c->syncPhy = p[13];
    for (int k = 0; k < 10; ++k) c->channelMap[k] = p[14 + k];
    c->channelMapRepetition = p[24];
    c->channelSelection = p[25];
    c->ch3cShape = p[26];
    c->ch3cJump = p[27];
    c->tIp1 = p[29];
    c->tIp2 = p[30];
    c->tFcs = p[31];
    c->tPm = p[32];
    return true;
}

bool decodeProcedureEnable(const uint8_t *p, size_t n, ProcedureEnable *e) {
    if (n < kProcedureEnableSize) return false;
    e->status = p[0];
    e->handle = le16(p + 1) & 0x0FFF;
    e->configId = p[3];
    e->state = p[4];
    e->antennaConfig = p[5];
    e->txPower = static_cast<int8_t>(p[6]);
    e->subeventLengthUs = le24(p + 7);
    e->subeventsPerEvent = p[10];
    e->subeventInterval = le16(p + 11);
    e->eventInterval = le16(p + 13);
    e->procedureInterval = le16(p + 15);
    e->procedureCount = le16(p + 17);
    e->maxProcedureLength = le16(p + 19);
    return true;
}

bool decodeRemoteCaps(const uint8_t *p, size_t n, RemoteCaps *r) {
    if (n < kRemoteCapsSize) return false;
    r->status = p[0];
    r->handle = le16(p + 1) & 0x0FFF;
    r->configs = p[3];
    r->maxConsecutiveProcedures = le16(p + 4);
    r->antennas = p[6];
    r->maxAntennaPaths = p[7];
    r->roles = p[8];
    r->optionalModes = p[9];
    r->rttCapability = p[10];
    r->rttAaOnlyN = p[11];
    r->rttSoundingN = p[12];
    r->rttRandomN = p[13];
    r->nadmSounding = le16(p + 14);
    r->nadmRandom = le16(p + 16);
    r->syncPhys = p[18];
    r->subfeatures = le16(p + 19);
    r->tIp1 = le16(p + 21);
    r->tIp2 = le16(p + 23);
    r->tFcs = le16(p + 25);
    r->tPm = le16(p + 27);
    r->tSw = p[29];
    r->txSnr = p[30];
    return true;
}

bool decodeResultHeader(bool isContinue, const uint8_t *p, size_t n, ResultHeader *h) {
    h->isContinue = isContinue;
    if (n < (isContinue ? kContinueFixedSize : kResultFixedSize)) return false;
    h->handle = le16(p) & 0x0FFF;
    h->configId = p[2];
    if (!isContinue) {
        h->startEvent = le16(p + 3);
        h->procedureCounter = le16(p + 5);
        h->freqCompRaw = le16(p + 7);
        h->refPower = static_cast<int8_t>(p[9]);
        p += 10;
    } else {
        p += 3;
    }
    h->procedureDone = p[0] & 0x0F;
    h->subeventDone = p[1] & 0x0F;
    h->abortReasons = p[2];
    h->nap = p[3];
    h->stepCount = p[4];
    return true;
}

bool decodeHciSteps(const uint8_t *p, size_t n, int count, const StepLayout &expect,
                    std::vector<WireStep> *out, StepDecodeStats *stats) {
    size_t at = 0;
    for (int j = 0; j < count; ++j) {
        if (n - at < 3) return false;
        const uint8_t modeByte = p[at], channel = p[at + 1], len = p[at + 2];
        at += 3;
        if (n - at < len) return false;
        const uint8_t *d = p + at;
        at += len;
        WireStep s;
        s.mode = modeByte & 3;
        s.channel = channel;
        if (modeByte & 0x80) {
            ++stats->modeBit7;
            s.noData = true;
        } else if (modeByte & 0x7C) {
            s.malformed = true;
        }
        if (len == 0) {
            ++stats->noData;
            s.noData = true;
        }
        if (s.noData || s.malformed) {
            out->push_back(s);
            continue;
        }
        // The data length tells the layout; the expectation only breaks ties.
        StepLayout l = expect;
        l.pctSize = 4;
        bool fits = true;
        switch (s.mode) {
            case 0:
                fits = len == 5 || len == 3;
                l.role = len == 5 ? Role::Initiator : Role::Reflector;
                break;
            case 1:
                fits = len == 6 || len == 14;
                l.pct = len == 14;
                break;
            case 2:
                fits = len >= 5 && (len - 1) % 4 == 0 && (len - 1) / 4 <= 5;
                l.nap = (len - 1) / 4 - 1;
                break;
            default: {
                const int plain = 7 + 4 * (expect.nap + 1), withPct = 15 + 4 * (expect.nap + 1);
                if (len == plain || len == withPct) {
                    l.pct = len == withPct;
                } else {
                    const int base = expect.pct ? 15 : 7;
                    fits = len >= base + 4 && (len - base) % 4 == 0 && (len - base) / 4 <= 5;
                    l.pct = expect.pct;
                    l.nap = (len - base) / 4 - 1;
                }
                break;
            }
        }
        if (!fits) {
            ++stats->lengthDisagreements;
            s.malformed = true;
            out->push_back(s);
            continue;
        }
        if ((s.mode >= 2 && l.nap != expect.nap) || (s.mode == 0 && l.role != expect.role))
            ++stats->lengthDisagreements;
        decodeStepData(s.mode, l, d, &s);
        out->push_back(s);
    }
    return true;
}

// ---- Encoding ---------------------------------------------------------------------

namespace {
std::vector<uint8_t> metaEvent(uint8_t sub, const std::vector<uint8_t> &params) {
    std::vector<uint8_t> e(params.size() + 3);
    e[0] = kEvLeMeta;
    e[1] = static_cast<uint8_t>(params.size() + 1);
    e[2] = sub;
    std::copy(params.begin(), params.end(), e.begin() + 3);
    return e;
}
}  // namespace

std::vector<uint8_t> encodeConfigComplete(const ConfigComplete &c) {
    std::vector<uint8_t> p;
    put8(&p, c.status);
    putLe16(&p, c.handle);
    for (uint8_t v : {c.configId, c.action, c.mainMode, c.subMode, c.minMainSteps, c.maxMainSteps,
                      c.mainRepetition, c.mode0Steps, c.role, c.rttType, c.syncPhy})
        put8(&p, v);
    p.insert(p.end(), c.channelMap, c.channelMap + 10);
    for (uint8_t v : {c.channelMapRepetition, c.channelSelection, c.ch3cShape, c.ch3cJump,
                      uint8_t(0), c.tIp1, c.tIp2, c.tFcs, c.tPm})
        put8(&p, v);
    return metaEvent(kLeCsConfigComplete, p);
}

std::vector<uint8_t> encodeRemoteCaps(const RemoteCaps &r) {
    std::vector<uint8_t> p;
    put8(&p, r.status);
    putLe16(&p, r.handle);
    put8(&p, r.configs);
    putLe16(&p, r.maxConsecutiveProcedures);
    for (uint8_t v : {r.antennas, r.maxAntennaPaths, r.roles, r.optionalModes, r.rttCapability,
                      r.rttAaOnlyN, r.rttSoundingN, r.rttRandomN})
        put8(&p, v);
    putLe16(&p, r.nadmSounding);
    putLe16(&p, r.nadmRandom);
    put8(&p, r.syncPhys);
    for (uint16_t v : {r.subfeatures, r.tIp1, r.tIp2, r.tFcs, r.tPm}) putLe16(&p, v);
    put8(&p, r.tSw);
    put8(&p, r.txSnr);
    return metaEvent(kLeCsRemoteCaps, p);
}

std::vector<uint8_t> encodeProcedureEnable(const ProcedureEnable &e) {
    std::vector<uint8_t> p;
    put8(&p, e.status);
    putLe16(&p, e.handle);
    put8(&p, e.configId);
    put8(&p, e.state);
    put8(&p, e.antennaConfig);
    put8(&p, static_cast<uint8_t>(e.txPower));
    putLe24(&p, e.subeventLengthUs);
    put8(&p, e.subeventsPerEvent);
    putLe16(&p, e.subeventInterval);
    putLe16(&p, e.eventInterval);
    putLe16(&p, e.procedureInterval);
    putLe16(&p, e.procedureCount);
    putLe16(&p, e.maxProcedureLength);
    return metaEvent(kLeCsProcedureEnable, p);
}

size_t hciStepRecordSize(const WireStep &s, const StepLayout &l) {
    return 3 + (s.noData ? 0 : stepDataSize(s.mode, l));
}

std::vector<uint8_t> encodeResultEvent(const ResultHeader &h, const std::vector<WireStep> &steps,
                                       size_t from, size_t count, const StepLayout &l) {
    std::vector<uint8_t> p;
    putLe16(&p, h.handle);
    put8(&p, h.configId);
    if (!h.isContinue) {
        putLe16(&p, h.startEvent);
        putLe16(&p, h.procedureCounter);
        putLe16(&p, h.freqCompRaw);
        put8(&p, static_cast<uint8_t>(h.refPower));
    }
    put8(&p, h.procedureDone);
    put8(&p, h.subeventDone);
    put8(&p, h.abortReasons);
    put8(&p, h.nap);
    put8(&p, static_cast<uint8_t>(count));
    for (size_t j = from; j < from + count; ++j) {
        const WireStep &s = steps[j];
        put8(&p, s.mode);
        put8(&p, s.channel);
        const size_t at = p.size();
        put8(&p, 0);
        if (!s.noData) encodeStepData(s, l, &p);
        p[at] = static_cast<uint8_t>(p.size() - at - 1);
    }
    return metaEvent(h.isContinue ? kLeCsSubeventResultContinue : kLeCsSubeventResult, p);
}

}  // namespace tarn_capture
