// The import pipeline, per record:
//   1. the container yields a record (btsnoop.cpp); its kind and direction;
//   2. events: connection life, CS configuration and enable, and the
//      initiator's Result/Continue events assembled into subevents and
//      procedures per (link, configuration);
//   3. ACL data: L2CAP reassembled per (link, direction); ATT on channel 4
//      builds the RAS handle map from discovery, follows the control point and
//      reassembles the ranging data segments into bodies;
//   4. a completed side waits (bounded) for the other side of the same link,
//      configuration and counter; the pair is aligned subevent by subevent
//      and step by step and converted into the procedure record.
// Everything unusable is counted by reason; nothing here trusts a length.
#include "importer.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <deque>
#include <unordered_map>

#include "bytes.h"

namespace tarn_capture {

namespace {

// Bounds that keep a hostile capture from growing the state.
constexpr size_t kMaxSubeventsPerProcedure = 256;
constexpr size_t kMaxStepsPerProcedure = 4096;
constexpr size_t kMaxRasBody = 256 * 1024;
constexpr size_t kRecentJoined = 32;

struct IssueInfo {
    const char *text;
    bool dropsProcedure;
};
const IssueInfo kIssues[kIssueCount] = {
    {"packets cut short by the logger (filtered snoop log? switch it to full)", false},
    {"records whose included length exceeds the original length", false},
    {"packets the logger reports as dropped", false},
    {"records of an unknown packet type, skipped", false},
    {"malformed or short HCI events", false},
    {"steps whose data length fits no layout of their mode", false},
    {"Continue events without an open subevent", false},
    {"subevents left unfinished by a new Result event (dropped)", false},
    {"procedures unfinished (no final status before the next one, a disconnection or the end)",
     true},
    {"procedures aborted by the controller", true},
    {"procedures too large to follow", true},
    {"procedures measured with the local controller as reflector (initiator side not in this "
     "capture)",
     true},
    {"L2CAP PDUs unfinished when a new one started (lost)", false},
    {"ACL continuation fragments without a start", false},
    {"ACL fragments longer than their L2CAP PDU", false},
    {"ACL packets whose length field disagrees with the packet", false},
    {"L2CAP PDUs on dynamic channels (EATT?) not decoded", false},
    {"notifications on attribute handles not known as RAS, on links whose procedures lack "
     "reflector data (give --ras-handle?)",
     false},
    {"packets of links beyond the number followed", false},
    {"RAS segments without a first segment", false},
    {"RAS bodies missing their last segment", false},
    {"RAS bodies with a gap in the rolling segment counter", false},
    {"RAS bodies of more than 64 segments whose re-sent segments the rolling counter cannot "
     "place (dropped)",
     false},
    {"RAS bodies that do not parse", false},
    {"RAS bodies with a PCT format other than I/Q", false},
    {"RAS data under a Set Filter (not decoded)", false},
    {"reflector data overwritten before it was read", true},
    {"RAS bodies delivered again (later copy kept)", false},
    {"RAS bodies too long", false},
    {"lost-segment retrievals (re-sent segments slotted back by rolling counter)", false},
    {"procedures without reflector data", true},
    {"reflector data without the initiator's procedure", false},
    {"subevents present on one side only (dropped)", false},
    {"subevents whose step modes differ between the sides (dropped)", false},
    {"subevents with different step counts (common prefix kept)", false},
    {"aborted steps (kept in their place, marked aborted on both sides)", false},
    {"subevents aborted by a side (kept, marked aborted)", false},
    {"procedures with no subevent both sides reported", true},
    {"times where the clock went back (later times moved on from the last one, keeping "
     "their spacing)",
     false},
};

const char *const kReadings[kReadingCount] = {
    "PCT1/PCT2 inside RAS read as 4 octets (as in HCI)",
    "PCT1/PCT2 inside RAS read as 3 octets (4 did not fit the body)",
    "ranging header: antenna paths from mask bits 0-3, a non-zero PCT format (bits 6-7) refused",
    "a step reported with no data (or with mode bit 7) taken as aborted, its position kept",
    "tone entries read as the N_AP paths first and the tone extension slot last",
    "control point response opcodes (0 complete, 1 lost segments, 2 response code)",
    "the RAS server taken as the reflector",
};

uint32_t connKey(uint16_t controller, uint16_t handle) {
    return uint32_t(controller) << 16 | (handle & 0x0FFF);
}

struct HciSub {
    uint16_t startEvent = 0;
    int64_t timeNs = 0;
    uint8_t nap = 0;
    int8_t refPower = 0x7F;
    uint8_t done = kStatusPartial;
    std::vector<WireStep> steps;
};

struct HciProc {
    bool open = false;
    uint16_t counter = 0;
    uint8_t config = 0;
    uint64_t record = 0, offset = 0;
    int64_t timeNs = 0;
    uint8_t procDone = kStatusPartial;
    Role role = Role::Initiator;
    size_t steps = 0;
    std::vector<HciSub> subs;
    tarn_sim::StepTiming timing;  // of the configuration when the procedure began
};

struct RasPending {
    uint8_t config = 0;
    uint16_t counter = 0;
    std::vector<uint8_t> body;
    int64_t timeNs = 0;
    uint64_t record = 0, offset = 0;
};

struct L2cap {
    bool active = false;
    std::vector<uint8_t> buf;
    uint64_t record = 0, offset = 0;
};

struct RasStream {
    bool active = false;
    bool skipping = false;  // the rest of a body already reported lost
    uint8_t expect = 0;
    std::vector<uint8_t> body;
    uint64_t record = 0, offset = 0;
    int segments = 0;  // in the prefix so far
    // On-demand bodies with a gap wait for the lost segments to be re-sent:
    // `body` holds the whole prefix of `prefix` segments, later segments sit
    // in slots by their position in the body (slot k = position prefix + k).
    // The rolling counter gives a position only modulo 64: a segment of the
    // first transmission is taken as the next position with its counter; a
    // re-sent one must match exactly one missing position.
    bool slotted = false;
    bool retrieving = false;  // a Retrieve Lost Segments is outstanding
    int prefix = 0;
    int maxPos = -1;   // highest position placed
    int lastPos = -1;  // position of the last segment, once seen
    size_t slotBytes = 0;
    std::vector<std::vector<uint8_t>> slots;
    std::vector<bool> present;
    std::string gap;
};

struct Server {
    std::vector<std::pair<uint16_t, RasChar>> chars;
    bool filter = false;
    RasChar find(uint16_t h) const {
        for (const auto &c : chars)
            if (c.first == h) return c.second;
        return RasChar::None;
    }
};

struct Conn {
    int number = 0;
    uint32_t key = 0;
    uint16_t handle = 0;
    size_t info = SIZE_MAX;  // index into the report's list
    ConfigComplete cfg[4];
    bool hasCfg[4] = {};
    HciProc proc[4];
    L2cap l2[2];          // by direction: 0 sent, 1 received
    RasStream ras[2][2];  // by the server's direction, real-time / on-demand
    Server server[2];     // the database of whoever sends in that direction
    uint16_t pendingReadType[2] = {};
    uint16_t mtu[2] = {};
    std::deque<HciProc> waitHci;
    std::deque<RasPending> waitRas;
    std::deque<uint32_t> joined;  // (config << 12 | counter) recently joined
    // Ranging data lost for a reason the procedure's report should name:
    // (config << 12 | counter, reason), the latest few.
    std::deque<std::pair<uint32_t, std::string>> lostRas;
    // Procedures ready for delivery, held until no earlier procedure of the
    // link can still come (in time order).
    std::deque<std::pair<int64_t, ImportedProcedure>> held;  // by the procedure's time
    bool hasCaps = false;
    uint8_t remoteTSw = 0;
    // Notifications on handles not known as RAS: reported when the link ends
    // only if it lacked reflector data.
    uint64_t unknownNotes = 0;
    IssueExample unknownExample;
    bool lackedReflector = false;  // a procedure went without reflector data
};

uint64_t gap(int64_t a, int64_t b) {
    return a > b ? uint64_t(a) - uint64_t(b) : uint64_t(b) - uint64_t(a);
}

// A RAS server has six characteristics; more is noise.
constexpr size_t kMaxAttributesPerServer = 16;
constexpr size_t kMaxLostRasNotes = 32;
// Positions a body waiting for re-sent segments may span.
constexpr int kMaxSlottedSegments = 16384;

// A procedure's ranging id as the ranging data names it: configuration and
// the counter's low 12 bits.
uint32_t rasId(uint8_t config, uint16_t counter) {
    return uint32_t(config) << 12 | (counter & 0x0FFF);
}

bool sameRas(uint8_t config, uint16_t counter, uint8_t c2, uint16_t k2) {
    return rasId(config, counter) == rasId(c2, k2);
}

// The waiting side (HciProc or RasPending) of the same ranging id nearest in
// time, or end().
template <typename Waiting>
auto nearestWaiting(std::deque<Waiting> &waiting, uint8_t config, uint16_t counter,
                    int64_t timeNs) {
    auto best = waiting.end();
    for (auto it = waiting.begin(); it != waiting.end(); ++it)
        if (sameRas(it->config, it->counter, config, counter) &&
            (best == waiting.end() || gap(it->timeNs, timeNs) < gap(best->timeNs, timeNs)))
            best = it;
    return best;
}

// Keeps the latest of a configuration's records in a link's report.
template <typename Record>
void keepByConfig(std::vector<Record> *list, const Record &r) {
    auto it = std::find_if(list->begin(), list->end(),
                           [&](const Record &x) { return x.configId == r.configId; });
    if (it != list->end()) *it = r;
    else list->push_back(r);
}

}  // namespace

const char *issueText(Issue i) {
    return kIssues[static_cast<int>(i)].text;
}
bool issueDropsProcedure(Issue i) {
    return kIssues[static_cast<int>(i)].dropsProcedure;
}
const char *readingText(Reading r) {
    return kReadings[static_cast<int>(r)];
}

tarn_sim::Step recordStep(const WireStep &s, uint8_t channel) {
    tarn_sim::Step r;
    r.channel = channel;
    r.mode = s.mode & 3;
    if (s.noData || s.malformed) return abortedStep(s.mode, channel);
    if (r.mode == 0) {
        r.aaQual = s.quality;
        r.rssi = s.rssi;
        r.freqOff = s.hasFreqOffset ? s.freqOffset : 0;
    }
    if (r.mode == 1 || r.mode == 3) {
        r.aaQual = s.quality;
        r.security = s.nadm;
        r.rssi = s.rssi;
        r.timeEst = s.toaTod;
        r.antenna = s.antenna;
    }
    if (r.mode == 2 || r.mode == 3) {
        r.antPerm = s.antPerm;
        r.tones.resize(s.toneCount);
        for (int k = 0; k < s.toneCount; ++k)
            r.tones[k] = tarn_sim::Tone{s.tones[k].i, s.tones[k].q, s.tones[k].quality};
    }
    return r;
}

tarn_sim::Step abortedStep(uint8_t mode, uint8_t channel) {
    tarn_sim::Step r;
    r.channel = channel;
    r.mode = mode & 3;
    r.aborted = 1;
    return r;
}

bool parseRasHandles(const std::string &text, std::vector<RasHandleHint> *out, std::string *why) {
    auto number = [](const std::string &s, uint16_t *v) {
        if (s.empty()) return false;
        char *end = nullptr;
        const unsigned long n = std::strtoul(s.c_str(), &end, 0);
        if (*end != '\0' || n > 0xFFFF) return false;
        *v = static_cast<uint16_t>(n);
        return true;
    };
    const size_t colon = text.find(':');
    RasHandleHint h;
    if (colon == std::string::npos || !number(text.substr(0, colon), &h.aclHandle)) {
        *why = "expected ACL_HANDLE:ATT_HANDLE=KIND,... in '" + text + "'";
        return false;
    }
    size_t at = colon + 1;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(at, comma - at);
        const size_t eq = item.find('=');
        if (eq == std::string::npos || !number(item.substr(0, eq), &h.attHandle) ||
            !parseRasCharName(item.substr(eq + 1), &h.kind)) {
            *why = "bad attribute '" + item +
                   "' (expected HANDLE=realtime|ondemand|cp|ready|overwritten|features)";
            return false;
        }
        out->push_back(h);
        at = comma + 1;
    }
    return true;
}

// ---- Engine ------------------------------------------------------------------------

struct CaptureImporter::Impl {
    ImportOptions opts;
    SnoopReader reader;
    ImportReport rep;
    std::unordered_map<uint32_t, Conn> conns;
    int nextNumber = 0;
    std::deque<ImportedProcedure> ready;
    bool finished = false;
    bool haveBase = false;
    int64_t baseUs = 0;
    int64_t prevUs = 0;   // container time of the previous record
    int64_t shiftUs = 0;  // the clock's steps back so far, undone
    uint32_t lastDrops = 0;
    const SnoopRecord *rec = nullptr;  // the record being handled
    Conn *touched = nullptr;           // the link the record belongs to

    // A second capture taken on the reflector: its own Result events give
    // the reflector's side in place of the RAS data.
    std::unique_ptr<Impl> peer;
    bool isPeer = false;
    std::deque<HciProc> peerReady;  // completed reflector procedures
    uint16_t peerLatest = 0;
    bool peerAny = false;
    uint64_t peerUnused = 0;

    // ---- reporting ----

    void issue(Issue i, Conn *c, uint64_t record, uint64_t offset, const std::string &detail = {},
               uint64_t count = 1) {
        const int k = static_cast<int>(i);
        rep.issues[k] += count;
        if (c != nullptr && c->info != SIZE_MAX) rep.connections[c->info].issues[k] += count;
        if (rep.examples[k].size() < kMaxExamplesPerIssue)
            rep.examples[k].push_back(example(c, record, offset, detail));
    }
    static IssueExample example(const Conn *c, uint64_t record, uint64_t offset,
                                const std::string &detail) {
        IssueExample e;
        e.record = record;
        e.offset = offset;
        e.detail = detail;
        if (c != nullptr) {
            e.connection = c->number;
            e.handle = c->handle;
            e.hasHandle = true;
        }
        return e;
    }
    void issueHere(Issue i, Conn *c, const std::string &detail = {}) {
        issue(i, c, rec->number, rec->offset, detail);
    }
    void reading(Reading r, uint64_t n = 1) { rep.readings[static_cast<int>(r)] += n; }
    ConnectionInfo *info(Conn &c) {
        return c.info == SIZE_MAX ? nullptr : &rep.connections[c.info];
    }

    // The record's time on the base, in ns, with every step back of the
    // logging host's clock undone (later records keep their spacing from the
    // last time before the step). Saturates: a hostile time stamp must not
    // overflow.
    int64_t nsOf(const SnoopRecord &r) const {
        int64_t t, us, ns;
        if (__builtin_add_overflow(r.timestampUs, shiftUs, &t) ||
            __builtin_sub_overflow(t, baseUs, &us) ||
            __builtin_mul_overflow(us, int64_t(1000), &ns))
            return r.timestampUs < baseUs ? INT64_MIN : INT64_MAX;
        return ns;
    }

    // Follows the container clock: a step back shifts this and every later
    // record forward by its size.
    void clock(const SnoopRecord &r) {
        if (!haveBase) {
            haveBase = true;
            baseUs = opts.timeBase == TimeBase::Unix ? kUnixOffsetUs : r.timestampUs;
            rep.firstUs = r.timestampUs;
            prevUs = r.timestampUs;
        }
        rep.lastUs = r.timestampUs;
        int64_t step;
        if (__builtin_sub_overflow(r.timestampUs, prevUs, &step))
            step = r.timestampUs < prevUs ? INT64_MIN : INT64_MAX;
        prevUs = r.timestampUs;
        if (step >= 0) {
            if (__builtin_add_overflow(rep.spanUs, step, &rep.spanUs)) rep.spanUs = INT64_MAX;
            return;
        }
        const int64_t back = step == INT64_MIN ? INT64_MAX : -step;
        ++rep.clockBacks;
        if (__builtin_add_overflow(rep.clockBackUs, back, &rep.clockBackUs))
            rep.clockBackUs = INT64_MAX;
        rep.largestClockBackUs = std::max(rep.largestClockBackUs, back);
        if (__builtin_add_overflow(shiftUs, back, &shiftUs)) shiftUs = INT64_MAX;
        char text[96];
        std::snprintf(text, sizeof text, "the clock went back %.6f s",
                      static_cast<double>(back) * 1e-6);
        issueHere(Issue::ClockBack, nullptr, text);
    }

    // ---- connections ----

    Conn *conn(uint16_t handle, bool create = true) {
        const uint32_t key = connKey(rec->controller, handle);
        auto it = conns.find(key);
        if (it != conns.end()) {
            if (ConnectionInfo *ci = info(it->second)) ci->lastRecord = rec->number;
            touched = &it->second;
            return &it->second;
        }
        if (!create) return nullptr;
        if (conns.size() >= static_cast<size_t>(opts.maxConnections)) {
            issueHere(Issue::TooManyConnections, nullptr, "handle " + hex(handle));
            return nullptr;
        }
        Conn &c = conns[key];
        c.key = key;
        c.handle = handle & 0x0FFF;
        ++rep.connectionsSeen;
        if (rep.connections.size() < kMaxListedConnections) {
            ConnectionInfo ci;
            ci.handle = c.handle;
            ci.controller = rec->controller;
            ci.firstRecord = ci.lastRecord = rec->number;
            c.info = rep.connections.size();
            rep.connections.push_back(ci);
        }
        for (const RasHandleHint &h : opts.rasHandles)
            if (h.aclHandle == c.handle) setChar(c, 1, h.attHandle, h.kind, "given");
        touched = &c;
        return &c;
    }

    // The link carried CS data: it gets its number (once).
    void csData(Conn &c) {
        if (c.number != 0) return;
        c.number = ++nextNumber;
        ++rep.csConnections;
        if (ConnectionInfo *ci = info(c)) ci->number = c.number;
    }

    static std::string hex(unsigned v) {
        char b[16];
        std::snprintf(b, sizeof b, "0x%04X", v);
        return b;
    }

    void setChar(Conn &c, int dir, uint16_t h, RasChar kind, const char *source) {
        Server &s = c.server[dir];
        for (auto &e : s.chars)
            if (e.first == h) {
                // Handles the user gave win over what the capture says.
                if (ConnectionInfo *ci = info(c))
                    for (auto &a : ci->rasAttributes)
                        if (a.handle == h && std::string(a.source) == "given") return;
                e.second = kind;
                return;
            }
        if (s.chars.size() >= kMaxAttributesPerServer) return;
        s.chars.emplace_back(h, kind);
        if (ConnectionInfo *ci = info(c)) ci->rasAttributes.push_back({h, kind, source});
    }

    // Ends a link: whatever is unfinished is reported, then its state goes.
    void endConn(Conn &c, bool disconnected, uint8_t reason) {
        for (HciProc &p : c.proc)
            if (p.open)
                issue(Issue::ProcedureUnfinished, &c, p.record, p.offset,
                      "counter " + std::to_string(p.counter));
        for (HciProc &p : c.waitHci) giveUpHci(c, p);
        for (RasPending &r : c.waitRas)
            issue(Issue::InitiatorMissing, &c, r.record, r.offset,
                  "ranging counter " + std::to_string(r.counter));
        for (auto &dirs : c.ras)
            for (RasStream &s : dirs) {
                if (s.slotted) dropSlotted(c, s);
                else if (s.active) issue(Issue::RasMissingLast, &c, s.record, s.offset);
            }
        for (L2cap &l : c.l2)
            if (l.active) issue(Issue::AclUnfinished, &c, l.record, l.offset);
        noteUnknownHandles(c);
        if (ConnectionInfo *ci = info(c)) {
            ci->ended = disconnected;
            ci->endReason = reason;
        }
        release(c, true);
        if (touched == &c) touched = nullptr;
        conns.erase(c.key);
    }

    // ---- events ----

    void onEvent() {
        ++rep.events;
        const uint8_t *p = rec->packet;
        const size_t n = rec->packetLength;
        if (n < 2 || n - 2 < p[1]) {
            issueHere(rec->cut() ? Issue::LoggerCut : Issue::MalformedEvent, nullptr,
                      "event shorter than its parameter length");
            return;
        }
        const uint8_t *q = p + 2;
        const size_t qn = p[1];
        if (p[0] == kEvDisconnectionComplete) {
            if (qn >= 4 && q[0] == 0) {
                if (Conn *c = conn(le16(q + 1) & 0x0FFF, false)) endConn(*c, true, q[3]);
            }
            return;
        }
        if (p[0] != kEvLeMeta || qn < 1) return;
        const uint8_t sub = q[0];
        ++q;
        const size_t pn = qn - 1;
        switch (sub) {
            case kLeConnectionComplete:
            case kLeEnhancedConnectionComplete:
            case kLeEnhancedConnectionCompleteV2: {
                if (pn < 11 || q[0] != 0) return;
                const uint16_t handle = le16(q + 1) & 0x0FFF;
                // A handle seen again without a disconnection in the capture.
                if (Conn *old = conn(handle, false)) endConn(*old, false, 0);
                Conn *c = conn(handle);
                if (c == nullptr) return;
                if (ConnectionInfo *ci = info(*c)) {
                    ci->hasPeer = true;
                    ci->linkRole = q[3];
                    ci->peerType = q[4];
                    for (int k = 0; k < 6; ++k) ci->peer[k] = q[5 + k];
                }
                return;
            }
            case kLeCsConfigComplete: {
                ConfigComplete cc;
                if (!decodeConfigComplete(q, pn, &cc)) {
                    issueHere(Issue::MalformedEvent, nullptr, "short Config Complete");
                    return;
                }
                if (cc.status != 0 || cc.configId > 3) return;
                Conn *c = conn(cc.handle);
                if (c == nullptr) return;
                csData(*c);
                c->hasCfg[cc.configId] = cc.action == 1;
                c->cfg[cc.configId] = cc;
                if (cc.action == 1)
                    if (ConnectionInfo *ci = info(*c)) keepByConfig(&ci->configs, cc);
                return;
            }
            case kLeCsProcedureEnable: {
                ProcedureEnable pe;
                if (!decodeProcedureEnable(q, pn, &pe)) {
                    issueHere(Issue::MalformedEvent, nullptr, "short Procedure Enable Complete");
                    return;
                }
                if (pe.status != 0) return;
                Conn *c = conn(pe.handle);
                if (c != nullptr) csData(*c);
                if (c != nullptr && pe.state == 1)
                    if (ConnectionInfo *ci = info(*c)) keepByConfig(&ci->enables, pe);
                return;
            }
            case kLeCsRemoteCaps: {
                RemoteCaps rc;
                if (!decodeRemoteCaps(q, pn, &rc)) {
                    issueHere(Issue::MalformedEvent, nullptr, "short Remote Capabilities");
                    return;
                }
                if (rc.status != 0) return;
                Conn *c = conn(rc.handle & 0x0FFF);
                if (c == nullptr) return;
                c->hasCaps = true;
                c->remoteTSw = rc.tSw;
                if (ConnectionInfo *ci = info(*c)) {
                    ci->hasRemoteCaps = true;
                    ci->remoteTSwUs = rc.tSw;
                }
                return;
            }
            case kLeCsSubeventResult:
            case kLeCsSubeventResultContinue:
                onResult(sub == kLeCsSubeventResultContinue, q, pn);
                return;
            default:
                return;
        }
    }

    void onResult(bool isContinue, const uint8_t *q, size_t n) {
        ResultHeader h;
        if (!decodeResultHeader(isContinue, q, n, &h) || h.configId > 3) {
            issueHere(Issue::MalformedEvent, nullptr,
                      isContinue ? "short Result Continue" : "short Subevent Result");
            return;
        }
        if (h.handle == 0x0FFF) return;  // CS test mode: no link
        Conn *c = conn(h.handle);
        if (c == nullptr) return;
        csData(*c);
        if (ConnectionInfo *ci = info(*c)) ++ci->resultEvents;
        HciProc &pr = c->proc[h.configId];
        const int64_t now = nsOf(*rec);
        if (!isContinue) {
            if (pr.open && pr.counter != h.procedureCounter) {
                issue(Issue::ProcedureUnfinished, c, pr.record, pr.offset,
                      "counter " + std::to_string(pr.counter) + " followed by " +
                          std::to_string(h.procedureCounter));
                pr.open = false;
            }
            if (pr.open && !pr.subs.empty() && pr.subs.back().done == kStatusPartial) {
                issueHere(Issue::SubeventUnfinished, c);
                pr.steps -= pr.subs.back().steps.size();
                pr.subs.pop_back();
            }
            if (!pr.open) {
                pr = HciProc();
                pr.open = true;
                pr.counter = h.procedureCounter;
                pr.config = h.configId;
                pr.record = rec->number;
                pr.offset = rec->offset;
                pr.timeNs = now;
                pr.role = c->hasCfg[h.configId] && c->cfg[h.configId].role == 1 ? Role::Reflector
                                                                                 : Role::Initiator;
                if (c->hasCfg[h.configId]) pr.timing = timingOf(*c, c->cfg[h.configId]);
            }
            if (pr.subs.size() >= kMaxSubeventsPerProcedure) {
                issue(Issue::ProcedureTooLarge, c, pr.record, pr.offset);
                pr.open = false;
                return;
            }
            HciSub s;
            s.startEvent = h.startEvent;
            s.timeNs = now;
            s.nap = h.nap;
            s.refPower = h.refPower;
            pr.subs.push_back(std::move(s));
        } else if (!pr.open || pr.subs.empty() || pr.subs.back().done != kStatusPartial) {
            issueHere(Issue::ContinueWithoutResult, c);
            return;
        }
        HciSub &s = pr.subs.back();
        StepLayout expect;
        expect.role = pr.role;
        expect.pct = c->hasCfg[h.configId] && c->cfg[h.configId].rttHasPct();
        expect.nap = std::clamp<int>(h.nap, 1, 4);
        StepDecodeStats st;
        const size_t fixed = isContinue ? kContinueFixedSize : kResultFixedSize;
        const size_t before = s.steps.size();
        const bool whole = decodeHciSteps(q + fixed, n - fixed, h.stepCount, expect, &s.steps, &st);
        pr.steps += s.steps.size() - before;
        if (st.noData + st.modeBit7 > 0) reading(Reading::NoDataIsAborted, st.noData + st.modeBit7);
        if (st.lengthDisagreements > 0)
            issue(Issue::StepLengthMismatch, c, rec->number, rec->offset, {},
                  st.lengthDisagreements);
        if (!whole) {
            issueHere(Issue::MalformedEvent, c, "step records run past the event");
            s.done = kStatusAborted;
        }
        if (pr.steps > kMaxStepsPerProcedure) {
            issue(Issue::ProcedureTooLarge, c, pr.record, pr.offset);
            pr.open = false;
            return;
        }
        if (whole) s.done = h.subeventDone;
        pr.procDone = h.procedureDone;
        if (pr.procDone != kStatusPartial) {
            if (s.done == kStatusPartial) s.done = kStatusComplete;
            pr.open = false;
            finishHci(*c, std::move(pr));
            pr = HciProc();
        }
    }

    // The step timing a configuration sets; the antenna switch time from
    // the peer's capabilities when the capture holds them.
    static tarn_sim::StepTiming timingOf(const Conn &c, const ConfigComplete &cc) {
        tarn_sim::StepTiming t;
        t.tFcsUs = cc.tFcs;
        t.tIp1Us = cc.tIp1;
        t.tIp2Us = cc.tIp2;
        t.tPmUs = cc.tPm;
        t.tSwUs = c.hasCaps ? c.remoteTSw : 0;
        t.phy = cc.syncPhy;
        t.rttType = cc.rttType;
        return t;
    }

    // ---- joining ----

    void finishHci(Conn &c, HciProc &&p) {
        if (p.procDone != kStatusComplete) {
            issue(Issue::ProcedureAborted, &c, p.record, p.offset,
                  "counter " + std::to_string(p.counter));
            return;
        }
        if (isPeer) {
            if (p.role != Role::Reflector || p.subs.empty()) return;
            peerLatest = p.counter;
            peerAny = true;
            peerReady.push_back(std::move(p));
            return;
        }
        if (peer && p.role == Role::Initiator) {
            HciProc q;
            if (p.subs.empty() || !peer->take(p.config, p.counter, p.subs[0].startEvent, &q)) {
                giveUpHci(c, p);
                return;
            }
            RasBody b = bodyFromHci(q);
            joinBody(c, p, &b, q.record, q.offset);
            return;
        }
        if (p.role == Role::Reflector) {
            issue(Issue::LocalReflector, &c, p.record, p.offset);
            return;
        }
        // Reflector data that came first.
        const auto best = nearestWaiting(c.waitRas, p.config, p.counter, p.timeNs);
        if (best != c.waitRas.end()) {
            RasPending r = std::move(*best);
            c.waitRas.erase(best);
            join(c, p, &r);
            return;
        }
        c.waitHci.push_back(std::move(p));
        if (c.waitHci.size() > static_cast<size_t>(opts.joinWindow)) {
            giveUpHci(c, c.waitHci.front());
            c.waitHci.pop_front();
        }
    }

    // Reads the peer capture until the reflector procedure with this
    // configuration, counter and first start event shows, or its procedures
    // have run past it.
    bool take(uint8_t config, uint16_t counter, uint16_t start, HciProc *out) {
        for (;;) {
            for (auto it = peerReady.begin(); it != peerReady.end(); ++it)
                if (it->config == config && it->counter == counter &&
                    it->subs[0].startEvent == start) {
                    *out = std::move(*it);
                    peerReady.erase(it);
                    return true;
                }
            if (finished) return false;
            if (peerAny && int16_t(uint16_t(peerLatest - counter)) > opts.joinWindow) return false;
            SnoopRecord r;
            if (reader.next(&r) == SnoopReader::Status::Record) onRecord(r);
            else finish();
            while (peerReady.size() > 4 * static_cast<size_t>(opts.joinWindow)) {
                peerReady.pop_front();
                ++peerUnused;
            }
        }
    }

    static RasBody bodyFromHci(const HciProc &q) {
        RasBody b;
        b.header.counter = q.counter & 0x0FFF;
        b.header.configId = q.config;
        const int nap = std::clamp<int>(q.subs.empty() ? 1 : q.subs[0].nap, 1, 4);
        b.header.antennaMask = static_cast<uint8_t>((1u << nap) - 1);
        for (size_t k = 0; k < q.subs.size(); ++k) {
            RasSubevent rs;
            rs.startEvent = q.subs[k].startEvent;
            rs.rangingDone = k + 1 == q.subs.size() ? q.procDone : kStatusPartial;
            rs.subeventDone = q.subs[k].done;
            rs.refPower = q.subs[k].refPower;
            rs.steps = q.subs[k].steps;
            b.subevents.push_back(std::move(rs));
        }
        return b;
    }

    void giveUpHci(Conn &c, const HciProc &p, Issue why = Issue::ReflectorMissing) {
        c.lackedReflector = true;
        if (opts.oneSided) {
            join(c, p, nullptr);
            return;
        }
        std::string detail = "counter " + std::to_string(p.counter);
        const uint32_t id = rasId(p.config, p.counter);
        for (const auto &l : c.lostRas)
            if (l.first == id) detail += ": " + l.second;
        issue(why, &c, p.record, p.offset, detail);
    }

    // Remembers why a body's ranging data was lost, for the procedure's report.
    void lostBody(Conn &c, const std::vector<uint8_t> &prefix, const std::string &why) {
        if (prefix.size() < 2) return;
        c.lostRas.emplace_back(le16(prefix.data()), why);  // configuration << 12 | counter
        if (c.lostRas.size() > kMaxLostRasNotes) c.lostRas.pop_front();
    }

    void onRasBody(Conn &c, std::vector<uint8_t> &&body, uint64_t record, uint64_t offset) {
        if (ConnectionInfo *ci = info(c)) ++ci->rasBodies;
        RangingHeader h;
        if (!decodeRangingHeader(body.data(), body.size(), &h)) {
            issue(Issue::RasBodyUnparsable, &c, record, offset, "shorter than its header");
            return;
        }
        if (peer) return;  // the reflector's own capture gives its side
        reading(Reading::ServerIsReflector);
        reading(Reading::AntennaMaskLowBits);
        if (h.pctFormat() != 0) {
            issue(Issue::RasPctFormat, &c, record, offset);
            return;
        }
        const uint32_t id = rasId(h.configId, h.counter);
        if (std::find(c.joined.begin(), c.joined.end(), id) != c.joined.end()) {
            issue(Issue::RasDuplicate, &c, record, offset,
                  "ranging counter " + std::to_string(h.counter) + " already joined");
            return;
        }
        RasPending r;
        r.config = h.configId;
        r.counter = h.counter;
        r.body = std::move(body);
        r.timeNs = nsOf(*rec);
        r.record = record;
        r.offset = offset;
        const auto best = nearestWaiting(c.waitHci, r.config, r.counter, r.timeNs);
        if (best != c.waitHci.end()) {
            HciProc p = std::move(*best);
            c.waitHci.erase(best);
            join(c, p, &r);
            return;
        }
        for (RasPending &w : c.waitRas)
            if (sameRas(w.config, w.counter, r.config, r.counter)) {
                issue(Issue::RasDuplicate, &c, w.record, w.offset,
                      "ranging counter " + std::to_string(r.counter));
                w = std::move(r);
                return;
            }
        c.waitRas.push_back(std::move(r));
        if (c.waitRas.size() > static_cast<size_t>(opts.joinWindow)) {
            const RasPending &old = c.waitRas.front();
            issue(Issue::InitiatorMissing, &c, old.record, old.offset,
                  "ranging counter " + std::to_string(old.counter));
            c.waitRas.pop_front();
        }
    }

    // Parses the reflector's body with the configuration's layout; when the
    // PCT size is not settled, 4 octets first and 3 when 4 does not fit.
    bool parseReflector(Conn &c, const HciProc &p, const RasPending &r, RasBody *body,
                        std::string *why) {
        bool pctKnown = c.hasCfg[p.config], pct = pctKnown && c.cfg[p.config].rttHasPct();
        if (!pctKnown)
            for (const HciSub &s : p.subs)
                for (const WireStep &st : s.steps)
                    if ((st.mode == 1 || st.mode == 3) && !st.noData && !st.malformed) {
                        pctKnown = true;
                        pct = st.hasPct;
                    }
        struct Try {
            bool pct;
            int size;
        };
        std::vector<Try> tries;
        if (!pctKnown) tries.push_back({false, 4});
        if (pct || !pctKnown) {
            tries.push_back({true, 4});
            tries.push_back({true, 3});
        } else {
            tries.push_back({false, 4});
        }
        RasParseStatus last = RasParseStatus::Ok;
        for (const Try &t : tries) {
            StepLayout l;
            l.role = Role::Reflector;
            l.pct = t.pct;
            l.pctSize = t.size;
            last = parseRasBody(r.body.data(), r.body.size(), l, body);
            if (last == RasParseStatus::Ok) {
                if (t.pct) reading(t.size == 4 ? Reading::RasPct4 : Reading::RasPct3);
                return true;
            }
            if (last == RasParseStatus::PctFormat) break;
        }
        *why = last == RasParseStatus::TooShort   ? "a step runs past the end of the body"
               : last == RasParseStatus::Trailing ? "octets left after the last subevent"
                                                  : "PCT format";
        return false;
    }

    void join(Conn &c, const HciProc &p, const RasPending *r) {
        RasBody body;
        if (r != nullptr) {
            c.joined.push_back(rasId(r->config, r->counter));
            if (c.joined.size() > kRecentJoined) c.joined.pop_front();
            std::string why;
            if (!parseReflector(c, p, *r, &body, &why)) {
                issue(Issue::RasBodyUnparsable, &c, r->record, r->offset, why);
                if (!opts.oneSided) {
                    issue(Issue::ReflectorMissing, &c, p.record, p.offset,
                          "counter " + std::to_string(p.counter) + ": reflector body unusable");
                    return;
                }
                r = nullptr;
            }
        }
        joinBody(c, p, r ? &body : nullptr, r ? r->record : 0, r ? r->offset : 0);
    }

    // Aligns the initiator's procedure with the reflector's (a parsed RAS
    // body or the reflector's own events) and delivers the record.
    void joinBody(Conn &c, const HciProc &p, const RasBody *rb, uint64_t rRecord,
                  uint64_t rOffset) {
        ImportedProcedure out;
        out.connection = c.number;
        out.handle = c.handle;
        out.configId = p.config;
        out.procedureCounter = p.counter;
        out.record = p.record;
        out.offset = p.offset;
        static const RasBody kNone;
        const RasBody &body = rb ? *rb : kNone;
        const bool r = rb != nullptr;
        if (r)
            for (const RasSubevent &s : body.subevents)
                if (s.rangingDone == kStatusAborted) {
                    issue(Issue::ProcedureAborted, &c, rRecord, rOffset,
                          "reflector: counter " + std::to_string(body.header.counter));
                    return;
                }
        tarn_sim::Procedure &proc = out.procedure;
        std::vector<bool> used(body.subevents.size(), false);
        for (const HciSub &hs : p.subs) {
            const bool iAborted = hs.done != kStatusComplete;
            tarn_sim::Subevent si;
            si.rpl = static_cast<uint8_t>(hs.refPower);
            si.nap = static_cast<int8_t>(hs.nap);
            si.aborted = iAborted ? 1 : 0;
            si.timestampNs = hs.timeNs;
            if (!r) {
                for (const WireStep &s : hs.steps) {
                    si.steps.push_back(recordStep(s, s.channel));
                    if (si.steps.back().aborted && !iAborted)
                        issue(Issue::AbortedSteps, &c, p.record, p.offset,
                              "step " + std::to_string(si.steps.size() - 1) + " on channel " +
                                  std::to_string(s.channel));
                }
                proc.initiator.push_back(std::move(si));
                continue;
            }
            size_t k = 0;
            while (k < body.subevents.size() &&
                   (used[k] || body.subevents[k].startEvent != hs.startEvent))
                ++k;
            if (k == body.subevents.size()) {
                issue(Issue::SubeventUnpaired, &c, p.record, p.offset,
                      "start event " + std::to_string(hs.startEvent) + " (initiator only)");
                continue;
            }
            used[k] = true;
            const RasSubevent &rs = body.subevents[k];
            tarn_sim::Subevent sr;
            sr.rpl = static_cast<uint8_t>(rs.refPower);
            sr.nap = static_cast<int8_t>(body.header.nap());
            sr.aborted = rs.subeventDone != kStatusComplete ? 1 : 0;
            sr.timestampNs = hs.timeNs;
            const size_t ni = hs.steps.size(), nr = rs.steps.size();
            if (iAborted || sr.aborted) {
                // The library leaves aborted subevents out; kept as reported.
                issue(Issue::SubeventAborted, &c, p.record, p.offset);
                for (const WireStep &s : hs.steps) si.steps.push_back(recordStep(s, s.channel));
                for (size_t j = 0; j < nr; ++j)
                    sr.steps.push_back(recordStep(rs.steps[j], j < ni ? hs.steps[j].channel : 0));
            } else {
                const size_t n = std::min(ni, nr);
                size_t j = 0;
                while (j < n && hs.steps[j].mode == rs.steps[j].mode) ++j;
                if (j < n) {
                    issue(Issue::SubeventModeMismatch, &c, p.record, p.offset,
                          "step " + std::to_string(j) + ": mode " +
                              std::to_string(hs.steps[j].mode) + " against " +
                              std::to_string(rs.steps[j].mode));
                    continue;
                }
                if (ni != nr) {
                    issue(Issue::StepCountMismatch, &c, p.record, p.offset,
                          std::to_string(ni) + " against " + std::to_string(nr) + " steps");
                    out.partial = true;
                }
                for (j = 0; j < n; ++j) {
                    const WireStep &a = hs.steps[j], &b = rs.steps[j];
                    tarn_sim::Step ra = recordStep(a, a.channel), rb = recordStep(b, a.channel);
                    if (ra.aborted || rb.aborted) {
                        // Kept in its place (later steps keep their times),
                        // with no data on either side.
                        issue(Issue::AbortedSteps, &c, p.record, p.offset,
                              "step " + std::to_string(j) + " on channel " +
                                  std::to_string(a.channel));
                        ra = rb = abortedStep(a.mode, a.channel);
                    } else if (a.mode >= 2) {
                        reading(Reading::ToneOrder);
                    }
                    si.steps.push_back(std::move(ra));
                    sr.steps.push_back(std::move(rb));
                }
            }
            proc.initiator.push_back(std::move(si));
            proc.reflector.push_back(std::move(sr));
        }
        for (size_t k = 0; k < used.size(); ++k)
            if (!used[k])
                issue(Issue::SubeventUnpaired, &c, rRecord, rOffset,
                      "start event " + std::to_string(body.subevents[k].startEvent) +
                          " (reflector only)");
        if (proc.initiator.empty()) {
            issue(Issue::NoPairedSubevents, &c, p.record, p.offset,
                  "counter " + std::to_string(p.counter));
            return;
        }
        out.oneSided = !r;
        proc.timing = p.timing;
        // No antenna switching with a single path.
        if (!p.subs.empty() && p.subs[0].nap <= 1) proc.timing.tSwUs = 0;
        ConnectionInfo *ci = info(c);
        ++rep.procedures;
        if (ci) ++ci->whole;
        if (out.partial) {
            ++rep.partial;
            if (ci) ++ci->partial;
        }
        if (out.oneSided) {
            ++rep.oneSided;
            if (ci) ++ci->oneSided;
        }
        // In time order among the link's held procedures.
        auto at = c.held.end();
        while (at != c.held.begin() && std::prev(at)->first > p.timeNs) --at;
        c.held.emplace(at, p.timeNs, std::move(out));
    }

    // Hands over the link's held procedures that no earlier procedure can
    // still precede: none open, none waiting for its other side.
    void release(Conn &c, bool all = false) {
        int64_t bound = INT64_MAX;
        if (!all) {
            for (const HciProc &p : c.proc)
                if (p.open) bound = std::min(bound, p.timeNs);
            for (const HciProc &p : c.waitHci) bound = std::min(bound, p.timeNs);
        }
        // A procedure left open for good (no final status, no later Result
        // of its configuration) must not hold the link back without bound.
        const size_t most = 4 * static_cast<size_t>(opts.joinWindow) + 16;
        while (!c.held.empty() && (c.held.front().first <= bound || c.held.size() > most)) {
            ready.push_back(std::move(c.held.front().second));
            c.held.pop_front();
        }
    }

    // ---- ACL, L2CAP, ATT ----

    void onAcl() {
        ++rep.aclPackets;
        const uint8_t *p = rec->packet;
        const size_t n = rec->packetLength;
        if (n < 4) {
            issueHere(rec->cut() ? Issue::LoggerCut : Issue::AclLengthMismatch, nullptr);
            return;
        }
        const uint16_t hw = le16(p);
        const uint16_t handle = hw & 0x0FFF;
        const int pb = (hw >> 12) & 3;
        const size_t dlen = le16(p + 2);
        Conn *c = conn(handle);
        if (c == nullptr) return;
        const int dir = rec->received ? 1 : 0;
        L2cap &l = c->l2[dir];
        if (pb != 1) {
            if (l.active) issue(Issue::AclUnfinished, c, l.record, l.offset);
            l.active = true;
            l.buf.clear();
            l.record = rec->number;
            l.offset = rec->offset;
        } else if (!l.active) {
            issueHere(rec->cut() ? Issue::LoggerCut : Issue::AclOrphanContinuation, c);
            return;
        }
        if (rec->cut()) {
            // What the logger left out is gone; so is the PDU.
            issueHere(Issue::LoggerCut, c);
            l.active = false;
            return;
        }
        if (dlen != n - 4) {
            issueHere(Issue::AclLengthMismatch, c,
                      "length field " + std::to_string(dlen) + ", " + std::to_string(n - 4) +
                          " octets present");
            if (dlen > n - 4) {
                l.active = false;
                return;
            }
        }
        l.buf.insert(l.buf.end(), p + 4, p + 4 + dlen);
        if (l.buf.size() < 4) return;
        const size_t want = 4 + size_t(le16(l.buf.data()));
        if (l.buf.size() > want) {
            issueHere(Issue::AclOverlong, c);
            l.active = false;
            return;
        }
        if (l.buf.size() < want) return;
        l.active = false;
        const uint16_t cid = le16(l.buf.data() + 2);
        if (cid == 0x0004)
            onAtt(*c, dir, l.buf.data() + 4, want - 4, l.record, l.offset);
        else if (cid >= 0x0040)
            issue(Issue::DynamicChannel, c, l.record, l.offset);
    }

    void onAtt(Conn &c, int dir, const uint8_t *p, size_t n, uint64_t record, uint64_t offset) {
        if (n < 1) return;
        switch (p[0]) {
            case 0x1B:
            case 0x1D:
                if (n >= 3) onValue(c, dir, le16(p + 1), p + 3, n - 3, record, offset);
                return;
            case 0x23: {
                size_t at = 1;
                while (n - at >= 4) {
                    const uint16_t h = le16(p + at), len = le16(p + at + 2);
                    at += 4;
                    if (n - at < len) break;
                    onValue(c, dir, h, p + at, len, record, offset);
                    at += len;
                }
                return;
            }
            case 0x12:
            case 0x52:
                if (n >= 3) onWrite(c, dir, le16(p + 1), p + 3, n - 3);
                return;
            case 0x02:
            case 0x03:
                if (n >= 3) {
                    c.mtu[p[0] - 2] = le16(p + 1);
                    if (c.mtu[0] && c.mtu[1])
                        if (ConnectionInfo *ci = info(c))
                            ci->attMtu = std::min(c.mtu[0], c.mtu[1]);
                }
                return;
            case 0x08:
                c.pendingReadType[dir] = n == 7 ? le16(p + 5) : 0;
                return;
            case 0x09:
                onReadByTypeResponse(c, dir, p, n);
                return;
            default:
                return;
        }
    }

    void onReadByTypeResponse(Conn &c, int dir, const uint8_t *p, size_t n) {
        if (c.pendingReadType[1 - dir] != kUuidCharacteristic || n < 2) return;
        static const uint8_t kBase[12] = {0xFB, 0x34, 0x9B, 0x5F, 0x80, 0x00,
                                          0x00, 0x80, 0x00, 0x10, 0x00, 0x00};
        const size_t len = p[1];
        if (len != 7 && len != 21) return;
        for (size_t at = 2; n - at >= len; at += len) {
            const uint8_t *e = p + at;
            uint16_t uuid = 0;
            if (len == 7) {
                uuid = le16(e + 5);
            } else {
                if (std::memcmp(e + 5, kBase, 12) != 0 || le16(e + 19) != 0) continue;
                uuid = le16(e + 17);
            }
            const RasChar kind = rasCharFromUuid(uuid);
            if (kind != RasChar::None) setChar(c, dir, le16(e + 3), kind, "discovery");
        }
    }

    void onWrite(Conn &c, int dir, uint16_t h, const uint8_t *v, size_t n) {
        Server &s = c.server[1 - dir];
        if (s.find(h) != RasChar::ControlPoint || n < 1) return;
        RasStream &st = c.ras[1 - dir][1];
        if (v[0] == 0x02) {
            issueHere(Issue::RetrieveLost, &c);
            st.retrieving = true;
        }
        // A new Get or the ACK ends any wait for re-sent segments.
        if (v[0] == 0x00 || v[0] == 0x01) dropSlotted(c, st);
        if (v[0] == 0x04 && !s.filter) {
            s.filter = true;
            issueHere(Issue::RasFilter, &c);
        }
    }

    void onValue(Conn &c, int dir, uint16_t h, const uint8_t *v, size_t n, uint64_t record,
                 uint64_t offset) {
        Server &s = c.server[dir];
        RasChar kind = s.find(h);
        if (kind == RasChar::None && opts.guessRas && n >= 1 + kRangingHeaderSize && (v[0] & 1)) {
            RangingHeader rh;
            decodeRangingHeader(v + 1, n - 1, &rh);
            bool match = false;
            if (rh.configId < 4 && c.proc[rh.configId].open)
                match = (c.proc[rh.configId].counter & 0x0FFF) == rh.counter;
            for (const HciProc &p : c.waitHci) match |= sameRas(p.config, p.counter, rh.configId, rh.counter);
            if (match) {
                setChar(c, dir, h, RasChar::RealTime, "guessed");
                kind = RasChar::RealTime;
            }
        }
        switch (kind) {
            case RasChar::None:
                // Most are other services' values; they matter only if the
                // link turns out to lack reflector data.
                if (c.unknownNotes++ == 0)
                    c.unknownExample = example(&c, record, offset, "handle " + hex(h));
                return;
            case RasChar::RealTime:
            case RasChar::OnDemand:
                if (s.filter) return;
                onSegment(c, c.ras[dir][kind == RasChar::OnDemand], v, n, record, offset,
                          kind == RasChar::OnDemand);
                return;
            case RasChar::ControlPoint: {
                reading(Reading::ControlPointCodes);
                // Complete Lost Ranging Data Segment Response: the re-sent
                // segments of this request are in. Another request may
                // follow; the client's ACK or next Get ends the wait.
                RasStream &st = c.ras[dir][1];
                if (n >= 1 && v[0] == 0x01) st.retrieving = false;
                return;
            }
            case RasChar::Overwritten:
                if (n >= 2) {
                    const uint16_t k = le16(v) & 0x0FFF;
                    for (auto it = c.waitHci.begin(); it != c.waitHci.end(); ++it)
                        if ((it->counter & 0x0FFF) == k) {
                            giveUpHci(c, *it, Issue::RasOverwritten);
                            c.waitHci.erase(it);
                            break;
                        }
                }
                return;
            default:
                return;
        }
    }

    // Notifications on unknown handles are worth a warning only where
    // reflector data was missed: procedures without it, or ranging data
    // the user did not point the importer at.
    void noteUnknownHandles(Conn &c) {
        if (c.unknownNotes == 0) return;
        if (c.lackedReflector)
            issue(Issue::UnknownHandleNotification, &c, c.unknownExample.record,
                  c.unknownExample.offset, c.unknownExample.detail, c.unknownNotes);
        c.unknownNotes = 0;
    }

    // Gives up a body waiting for re-sent segments.
    void dropSlotted(Conn &c, RasStream &st) {
        if (!st.slotted) return;
        issue(Issue::RasCounterGap, &c, st.record, st.offset, st.gap);
        clearSlots(st);
    }
    static void clearSlots(RasStream &st) {
        st.slotted = false;
        st.active = false;
        st.slots = {};
        st.present = {};
        st.slotBytes = 0;
    }

    // Position of a segment in a body with a gap, or -1 when its counter
    // matches more than one missing position (a body beyond 64 segments).
    static int placeSegment(const RasStream &st, uint8_t counter) {
        // The next position after the highest one with this counter.
        const int next = st.maxPos + 1 + ((counter - (st.maxPos + 1)) & 63);
        if (!st.retrieving) return next;
        // Re-sent: one of the missing positions with this counter.
        int found = -1;
        for (int pos = st.prefix + ((counter - st.prefix) & 63); pos <= st.maxPos; pos += 64) {
            if (st.present[pos - st.prefix]) continue;
            if (found >= 0) return -1;
            found = pos;
        }
        if (found >= 0) return found;
        // None missing: a segment after the highest received, if the last
        // is still to come.
        return st.lastPos < 0 ? next : -2;
    }

    // Places a segment of a body with a gap; delivers the body once every
    // segment up to the last is there.
    void slotSegment(Conn &c, RasStream &st, const uint8_t *v, size_t n) {
        const int pos = placeSegment(st, v[0] >> 2);
        if (pos == -2) return;  // a copy of one already placed
        if (pos < 0) {
            const std::string why =
                "re-sent segment with counter " + std::to_string(v[0] >> 2) +
                " fits several missing positions of a body of more than 64 segments";
            issue(Issue::RasCounterAmbiguous, &c, st.record, st.offset, why);
            lostBody(c, st.body, "reflector body dropped, " + why);
            clearSlots(st);
            st.skipping = true;  // its other re-sent segments say nothing new
            return;
        }
        // Each position held costs its slot as well as its octets.
        const size_t k = static_cast<size_t>(pos - st.prefix);
        const size_t grow = k >= st.slots.size() ? k + 1 - st.slots.size() : 0;
        const size_t cost = grow * sizeof(std::vector<uint8_t>) + (n - 1);
        if (pos - st.prefix >= kMaxSlottedSegments ||
            st.slotBytes + cost + st.body.size() > kMaxRasBody) {
            issue(Issue::RasBodyTooLong, &c, st.record, st.offset);
            clearSlots(st);
            return;
        }
        if (grow > 0) {
            st.slots.resize(k + 1);
            st.present.resize(k + 1, false);
            st.slotBytes += grow * sizeof(std::vector<uint8_t>);
        }
        if (!st.present[k]) {
            st.slots[k].assign(v + 1, v + n);
            st.present[k] = true;
            st.slotBytes += n - 1;
        }
        st.maxPos = std::max(st.maxPos, pos);
        if (v[0] & 2) st.lastPos = pos;
        if (st.lastPos < 0) return;
        for (int p = st.prefix; p <= st.lastPos; ++p)
            if (!st.present[p - st.prefix]) return;
        for (int p = st.prefix; p <= st.lastPos; ++p) {
            const std::vector<uint8_t> &seg = st.slots[p - st.prefix];
            st.body.insert(st.body.end(), seg.begin(), seg.end());
        }
        clearSlots(st);
        onRasBody(c, std::move(st.body), st.record, st.offset);
        st.body = std::vector<uint8_t>();
    }

    void onSegment(Conn &c, RasStream &st, const uint8_t *v, size_t n, uint64_t record,
                   uint64_t offset, bool onDemand) {
        if (n < 1) return;
        const bool first = v[0] & 1, last = v[0] & 2;
        const uint8_t counter = v[0] >> 2;
        if (st.slotted) {
            if (!first || st.retrieving) {
                slotSegment(c, st, v, n);
                return;
            }
            dropSlotted(c, st);
        }
        if (first) {
            if (st.active) issue(Issue::RasMissingLast, &c, st.record, st.offset);
            st.active = true;
            st.skipping = false;
            st.body.clear();
            st.record = record;
            st.offset = offset;
            st.segments = 0;
        } else if (!st.active) {
            if (!st.skipping) issue(Issue::RasMissingFirst, &c, record, offset);
            st.skipping = !last;
            return;
        } else if (counter != st.expect) {
            const std::string gap = "segment " + std::to_string(st.expect) + " expected, " +
                                    std::to_string(counter) + " received at record " +
                                    std::to_string(record);
            if (onDemand) {
                // The client may ask for the lost segments again.
                st.slotted = true;
                st.retrieving = false;
                st.prefix = st.segments;
                st.maxPos = st.segments - 1;
                st.lastPos = -1;
                st.slots.clear();
                st.present.clear();
                st.slotBytes = 0;
                st.gap = gap;
                slotSegment(c, st, v, n);
                return;
            }
            issue(Issue::RasCounterGap, &c, st.record, st.offset, gap);
            st.active = false;
            st.skipping = !last;
            return;
        }
        st.expect = (counter + 1) & 63;
        ++st.segments;
        if (st.body.size() + n - 1 > kMaxRasBody) {
            issue(Issue::RasBodyTooLong, &c, st.record, st.offset);
            st.active = false;
            return;
        }
        st.body.insert(st.body.end(), v + 1, v + n);
        if (!last) return;
        st.active = false;
        onRasBody(c, std::move(st.body), st.record, st.offset);
        st.body = std::vector<uint8_t>();
    }

    // ---- driving ----

    void onRecord(const SnoopRecord &r) {
        rec = &r;
        clock(r);
        ++rep.records;
        if (r.includedLength > r.originalLength) issueHere(Issue::LengthExceedsOriginal, nullptr);
        if (r.drops > lastDrops) {
            issueHere(Issue::LoggerDrops, nullptr,
                      std::to_string(r.drops - lastDrops) + " packets before this record");
            rep.issues[static_cast<int>(Issue::LoggerDrops)] += r.drops - lastDrops - 1;
            lastDrops = r.drops;
        }
        switch (r.kind) {
            case PacketKind::Event:
                onEvent();
                break;
            case PacketKind::Acl:
                onAcl();
                break;
            case PacketKind::Command:
                ++rep.commands;
                break;
            case PacketKind::Other:
                ++rep.otherPackets;
                if (reader.datalink() == kDatalinkH4) issueHere(Issue::UnknownPacketType, nullptr,
                                                                "type " + hex(r.h4Type));
                break;
            default:
                ++rep.otherPackets;
                break;
        }
        if (touched != nullptr) release(*touched);
        touched = nullptr;
        rec = nullptr;
    }

    void finish() {
        finished = true;
        rep.bytes = reader.bytesRead();
        static const SnoopRecord kEnd{};
        rec = &kEnd;
        std::vector<uint32_t> keys;
        for (const auto &kv : conns) keys.push_back(kv.first);
        std::sort(keys.begin(), keys.end(), [&](uint32_t a, uint32_t b) {
            return conns[a].number < conns[b].number;
        });
        for (uint32_t k : keys) endConn(conns[k], false, 0);
        rec = nullptr;
        if (peer) {
            // Whatever the peer still holds found no initiator procedure.
            while (!peer->finished) {
                SnoopRecord r;
                if (peer->reader.next(&r) == SnoopReader::Status::Record) peer->onRecord(r);
                else peer->finish();
            }
            const uint64_t left = peer->peerReady.size() + peer->peerUnused;
            if (left > 0)
                issue(Issue::InitiatorMissing, nullptr, 0, 0,
                      std::to_string(left) + " in the reflector's capture", left);
            rep.peerRecords = peer->rep.records;
            if (peer->rep.stopped) rep.peerStopReason = peer->rep.stopReason;
        }
    }

    // The reflector's capture, read with this one's options.
    Impl &newPeer() {
        peer.reset(new Impl);
        peer->opts = opts;
        peer->isPeer = true;
        rep.hasPeer = true;
        return *peer;
    }

    bool next(ImportedProcedure *out) {
        while (ready.empty() && !finished) {
            SnoopRecord r;
            const SnoopReader::Status st = reader.next(&r);
            if (st == SnoopReader::Status::Record) {
                onRecord(r);
                continue;
            }
            if (st == SnoopReader::Status::Error) {
                rep.stopped = true;
                rep.stopReason = reader.problem();
                rep.stopRecord = reader.problemRecord();
                rep.stopOffset = reader.problemOffset();
            }
            finish();
        }
        if (ready.empty()) return false;
        *out = std::move(ready.front());
        ready.pop_front();
        return true;
    }
};

CaptureImporter::CaptureImporter(const ImportOptions &opts) : d_(new Impl) {
    d_->opts = opts;
    d_->opts.joinWindow = std::max(1, opts.joinWindow);
    d_->opts.maxConnections = std::max(1, opts.maxConnections);
}

CaptureImporter::~CaptureImporter() = default;

bool CaptureImporter::openFile(const std::string &path, std::string *why) {
    const bool ok = d_->reader.openFile(path, why);
    d_->rep.datalink = d_->reader.datalink();
    return ok;
}

bool CaptureImporter::openMemory(const uint8_t *data, size_t size, std::string *why) {
    const bool ok = d_->reader.openMemory(data, size, why);
    d_->rep.datalink = d_->reader.datalink();
    return ok;
}

bool CaptureImporter::openPeerFile(const std::string &path, std::string *why) {
    return d_->newPeer().reader.openFile(path, why);
}

bool CaptureImporter::openPeerMemory(const uint8_t *data, size_t size, std::string *why) {
    return d_->newPeer().reader.openMemory(data, size, why);
}

bool CaptureImporter::next(ImportedProcedure *out) {
    return d_->next(out);
}

const ImportReport &CaptureImporter::report() const {
    return d_->rep;
}

}  // namespace tarn_capture
