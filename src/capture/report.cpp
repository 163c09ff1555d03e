// The import report as a person reads it: the capture, each link with its
// configurations and outcome, the problems with where they first showed, and
// the uncertain readings the import relied on.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "importer.h"

namespace tarn_capture {

namespace {

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, f);
    std::vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string utc(int64_t containerUs) {
    int64_t unixUs;
    if (__builtin_sub_overflow(containerUs, kUnixOffsetUs, &unixUs)) return "?";
    const time_t s = static_cast<time_t>(unixUs / 1000000);
    struct tm tm;
    if (gmtime_r(&s, &tm) == nullptr) return "?";
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

const char *rttTypeName(uint8_t t) {
    static const char *const names[] = {"AA only",        "32-bit sounding", "96-bit sounding",
                                        "32-bit random",  "64-bit random",   "96-bit random",
                                        "128-bit random"};
    return t < 7 ? names[t] : "unknown";
}

const char *phyName(uint8_t phy) {
    static const char *const names[] = {"PHY unknown", "LE 1M", "LE 2M", "LE 2M 2BT"};
    return phy < 4 ? names[phy] : "PHY unknown";
}

}  // namespace

const ConnectionInfo *ImportReport::connection(int number) const {
    if (number <= 0) return nullptr;
    for (const ConnectionInfo &c : connections)
        if (c.number == number) return &c;
    return nullptr;
}

uint64_t ImportReport::droppedProcedures() const {
    uint64_t n = 0;
    for (int k = 0; k < kIssueCount; ++k)
        if (issueDropsProcedure(static_cast<Issue>(k))) n += issues[k];
    return n;
}

void ImportReport::print(std::ostream &os) const {
    os << fmt("capture: btsnoop, datalink %u (%s), %" PRIu64 " records, %" PRIu64 " octets",
              datalink, SnoopReader::datalinkName(datalink), records, bytes);
    if (records > 0)
        os << fmt(", %s to %s (%.3f s)", utc(firstUs).c_str(), utc(lastUs).c_str(),
                  static_cast<double>(spanUs) * 1e-6);
    os << "\n";
    if (clockBacks > 0)
        os << fmt("  the clock went back %" PRIu64
                  " time(s), by %.6f s in all (largest %.6f s); "
                  "procedure times go on from the last time before each step\n",
                  clockBacks, static_cast<double>(clockBackUs) * 1e-6,
                  static_cast<double>(largestClockBackUs) * 1e-6);
    os << fmt("  %" PRIu64 " events, %" PRIu64 " ACL packets, %" PRIu64 " commands, %" PRIu64
              " other\n",
              events, aclPackets, commands, otherPackets);
    if (stopped)
        os << fmt("  reading stopped at record %" PRIu64 " (offset %" PRIu64 "): %s\n", stopRecord,
                  stopOffset, stopReason.c_str());

    if (hasPeer) {
        os << fmt("  reflector's capture: %" PRIu64 " records, its Result events replace the RAS "
                  "data\n",
                  peerRecords);
        if (!peerStopReason.empty())
            os << "  reflector's capture stopped early: " << peerStopReason << "\n";
    }
    os << fmt("connections with CS data: %" PRIu64, csConnections);
    if (connectionsSeen > csConnections)
        os << fmt(" (and %" PRIu64 " other link(s) without CS data)",
                  connectionsSeen - csConnections);
    os << "\n";
    for (const ConnectionInfo &c : connections) {
        if (c.number == 0) continue;
        os << fmt("connection %d: handle 0x%03X", c.number, c.handle);
        if (c.controller != 0) os << fmt(" on controller %u", c.controller);
        if (c.hasPeer)
            os << fmt(", peer %02X:%02X:%02X:%02X:%02X:%02X (%s), local %s", c.peer[5], c.peer[4],
                      c.peer[3], c.peer[2], c.peer[1], c.peer[0],
                      c.peerType & 1 ? "random" : "public",
                      c.linkRole == 0 ? "central" : "peripheral");
        os << fmt(", records %" PRIu64 "-%" PRIu64, c.firstRecord, c.lastRecord);
        if (c.ended) os << fmt(", disconnected (reason 0x%02X)", c.endReason);
        os << "\n";
        for (const ConfigComplete &cc : c.configs)
            os << fmt("  CS configuration %u: local role %s, main mode %u, sub mode %s, RTT %s, "
                      "%d channels, %u mode-0 step(s)\n",
                      cc.configId, cc.role == 0 ? "initiator" : "reflector", cc.mainMode,
                      cc.subMode == 0xFF ? "none" : std::to_string(cc.subMode).c_str(),
                      rttTypeName(cc.rttType), cc.channelCount(), cc.mode0Steps)
               << fmt("    step timing: T_IP1 %u, T_IP2 %u, T_FCS %u, T_PM %u us, CS_SYNC %s%s\n",
                      cc.tIp1, cc.tIp2, cc.tFcs, cc.tPm, phyName(cc.syncPhy),
                      c.hasRemoteCaps
                          ? fmt(", peer's antenna switch time %u us", c.remoteTSwUs).c_str()
                          : ", antenna switch time unknown (no remote capabilities)");
        for (const ProcedureEnable &pe : c.enables)
            os << fmt("  procedures enabled on configuration %u: antenna configuration %u, TX "
                      "power %d dBm, interval %u connection events, %s\n",
                      pe.configId, pe.antennaConfig, pe.txPower, pe.procedureInterval,
                      pe.procedureCount == 0 ? "until disabled"
                                             : (std::to_string(pe.procedureCount) + " procedures")
                                                   .c_str());
        if (!c.rasAttributes.empty()) {
            os << "  RAS:";
            for (const auto &a : c.rasAttributes)
                os << fmt(" %s 0x%04X (%s);", rasCharName(a.kind), a.handle, a.source);
            if (c.attMtu) os << fmt(" ATT MTU %u", c.attMtu);
            os << "\n";
        }
        uint64_t dropped = 0;
        for (int k = 0; k < kIssueCount; ++k)
            if (issueDropsProcedure(static_cast<Issue>(k))) dropped += c.issues[k];
        os << fmt("  %" PRIu64 " Result events, %" PRIu64 " RAS bodies; procedures: %" PRIu64
                  " whole",
                  c.resultEvents, c.rasBodies, c.whole - c.partial - c.oneSided);
        if (c.partial) os << fmt(", %" PRIu64 " partial (kept)", c.partial);
        if (c.oneSided) os << fmt(", %" PRIu64 " initiator only", c.oneSided);
        os << fmt(", %" PRIu64 " not delivered\n", dropped);
        for (int k = 0; k < kIssueCount; ++k)
            if (issueDropsProcedure(static_cast<Issue>(k)) && c.issues[k])
                os << fmt("    %" PRIu64 " %s\n", c.issues[k], issueText(static_cast<Issue>(k)));
        const uint64_t aborted = c.issues[static_cast<int>(Issue::AbortedSteps)];
        if (aborted)
            os << fmt("    %" PRIu64 " aborted steps kept in their place, marked aborted\n",
                      aborted);
    }
    if (connectionsSeen > connections.size())
        os << fmt("  (%" PRIu64 " further links not listed)\n",
                  connectionsSeen - connections.size());

    os << fmt("procedures delivered: %" PRIu64, procedures);
    if (partial) os << fmt(" (%" PRIu64 " partial)", partial);
    if (oneSided) os << fmt(" (%" PRIu64 " initiator only)", oneSided);
    os << fmt(", not delivered: %" PRIu64 "\n", droppedProcedures());

    bool any = false;
    for (int k = 0; k < kIssueCount; ++k) {
        if (issues[k] == 0) continue;
        if (!any) os << "problems (first occurrences as record number @ file offset):\n";
        any = true;
        os << fmt("  %" PRIu64 " %s", issues[k], issueText(static_cast<Issue>(k)));
        const char *sep = ": ";
        for (const IssueExample &e : examples[k]) {
            os << sep << fmt("record %" PRIu64 " @ %" PRIu64, e.record, e.offset);
            std::string where;
            if (e.connection)
                where = fmt("connection %d", e.connection);
            else if (e.hasHandle)
                where = fmt("link 0x%03X", e.handle);
            if (!where.empty() && !e.detail.empty())
                os << " (" << where << ", " << e.detail << ")";
            else if (!where.empty())
                os << " (" << where << ")";
            else if (!e.detail.empty()) os << " (" << e.detail << ")";
            sep = "; ";
        }
        os << "\n";
    }
    if (!any) os << "problems: none\n";

    any = false;
    for (int k = 0; k < kReadingCount; ++k) {
        if (readings[k] == 0) continue;
        if (!any) os << "uncertain readings used:\n";
        any = true;
        os << fmt("  %s (%" PRIu64 " times)\n", readingText(static_cast<Reading>(k)), readings[k]);
    }
}

}  // namespace tarn_capture
