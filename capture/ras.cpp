// Ranging data bodies. There is no length field below the ranging header:
// every step's size follows from its mode and the server's layout, so one
// wrong assumption desynchronises the rest, which the caller detects from
// a body that does not end where its last subevent does.
#include "ras.h"

#include <algorithm>

#include "bytes.h"

namespace tarn_capture {

RasChar rasCharFromUuid(uint16_t uuid) {
    switch (uuid) {
        case kUuidRasFeatures: return RasChar::Features;
        case kUuidRealTimeData: return RasChar::RealTime;
        case kUuidOnDemandData: return RasChar::OnDemand;
        case kUuidControlPoint: return RasChar::ControlPoint;
        case kUuidDataReady: return RasChar::DataReady;
        case kUuidDataOverwritten: return RasChar::Overwritten;
        default: return RasChar::None;
    }
}

namespace {
struct CharName {
    RasChar c;
    const char *shortName;
    const char *longName;
};
const CharName kCharNames[] = {
    {RasChar::Features, "features", "RAS features"},
    {RasChar::RealTime, "realtime", "real-time ranging data"},
    {RasChar::OnDemand, "ondemand", "on-demand ranging data"},
    {RasChar::ControlPoint, "cp", "RAS control point"},
    {RasChar::DataReady, "ready", "ranging data ready"},
    {RasChar::Overwritten, "overwritten", "ranging data overwritten"},
};
}  // namespace

const char *rasCharName(RasChar c) {
    for (const CharName &n : kCharNames)
        if (n.c == c) return n.longName;
    return "not RAS";
}

bool parseRasCharName(const std::string &s, RasChar *out) {
    for (const CharName &n : kCharNames)
        if (s == n.shortName) {
            *out = n.c;
            return true;
        }
    return false;
}

int RangingHeader::nap() const {
    int n = 0;
    for (int k = 0; k < 4; ++k) n += (antennaMask >> k) & 1;
    return n;
}

bool decodeRangingHeader(const uint8_t *p, size_t n, RangingHeader *h) {
    if (n < kRangingHeaderSize) return false;
    const uint16_t w = le16(p);
    h->counter = w & 0x0FFF;
    h->configId = static_cast<uint8_t>(w >> 12);
    h->txPower = static_cast<int8_t>(p[2]);
    h->antennaMask = p[3];
    return true;
}

RasParseStatus parseRasBody(const uint8_t *p, size_t n, StepLayout layout, RasBody *out) {
    out->subevents.clear();
    if (!decodeRangingHeader(p, n, &out->header)) return RasParseStatus::TooShort;
    if (out->header.pctFormat() != 0) return RasParseStatus::PctFormat;
    layout.nap = out->header.nap();
    size_t at = kRangingHeaderSize;
    while (at < n) {
        if (n - at < kRasSubeventHeaderSize) return RasParseStatus::Trailing;
        const uint8_t *h = p + at;
        RasSubevent se;
        se.startEvent = le16(h);
        se.freqCompRaw = le16(h + 2);
        se.rangingDone = h[4] & 0x0F;
        se.subeventDone = h[4] >> 4;
        se.rangingAbort = h[5] & 0x0F;
        se.subeventAbort = h[5] >> 4;
        se.refPower = static_cast<int8_t>(h[6]);
        const int steps = h[7];
        at += kRasSubeventHeaderSize;
        se.steps.reserve(steps);
        for (int j = 0; j < steps; ++j) {
            if (at >= n) return RasParseStatus::TooShort;
            const uint8_t modeByte = p[at++];
            WireStep s;
            s.mode = modeByte & 3;
            if (modeByte & 0x80) {
                s.noData = true;
            } else {
                const size_t size = stepDataSize(s.mode, layout);
                if (n - at < size) return RasParseStatus::TooShort;
                decodeStepData(s.mode, layout, p + at, &s);
                at += size;
            }
            se.steps.push_back(s);
        }
        out->subevents.push_back(std::move(se));
    }
    return RasParseStatus::Ok;
}

void encodeRasBody(const RasBody &b, StepLayout layout, std::vector<uint8_t> *o) {
    putLe16(o, (b.header.counter & 0x0FFF) | (b.header.configId & 0x0F) << 12);
    put8(o, static_cast<uint8_t>(b.header.txPower));
    put8(o, b.header.antennaMask);
    layout.nap = b.header.nap();
    for (const RasSubevent &se : b.subevents) {
        putLe16(o, se.startEvent);
        putLe16(o, se.freqCompRaw);
        put8(o, (se.rangingDone & 0x0F) | (se.subeventDone & 0x0F) << 4);
        put8(o, (se.rangingAbort & 0x0F) | (se.subeventAbort & 0x0F) << 4);
        put8(o, static_cast<uint8_t>(se.refPower));
        put8(o, static_cast<uint8_t>(se.steps.size()));
        for (const WireStep &s : se.steps) {
            put8(o, (s.mode & 3) | (s.noData ? 0x80 : 0));
            if (!s.noData) encodeStepData(s, layout, o);
        }
    }
}

std::vector<std::vector<uint8_t>> segmentRasBody(const std::vector<uint8_t> &body, int attMtu) {
    // A notification value holds MTU - 3 octets; one is the segment header.
    const size_t room = static_cast<size_t>(std::max(attMtu - 4, 1));
    std::vector<std::vector<uint8_t>> segs;
    size_t at = 0;
    unsigned counter = 0;
    do {
        const size_t take = std::min(room, body.size() - at);
        std::vector<uint8_t> v;
        const bool first = at == 0, last = at + take == body.size();
        v.push_back(static_cast<uint8_t>((first ? 1 : 0) | (last ? 2 : 0) | (counter & 63) << 2));
        v.insert(v.end(), body.begin() + at, body.begin() + at + take);
        segs.push_back(std::move(v));
        at += take;
        ++counter;
    } while (at < body.size());
    return segs;
}

}  // namespace tarn_capture
