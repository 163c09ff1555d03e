// Capture importer: Channel Sounding procedures out of an HCI snoop log.
// It streams the btsnoop records (memory bounded whatever the file's size),
// follows each connection's CS configuration, assembles the initiator's
// subevent results, reassembles ACL/L2CAP/ATT and the Ranging Service
// segments carrying the reflector's steps, joins both sides of each procedure
// and converts it into the tool's procedure record. What cannot be used is
// counted by reason with the record number and file offset where it showed.
//
// Single-threaded; an importer reads one capture once.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "btsnoop.h"
#include "hci.h"
#include "ras.h"
#include "simulator.h"

namespace tarn_capture {

// An attribute handle of a RAS characteristic, given by the user for a link
// whose capture holds no GATT discovery (cached database).
struct RasHandleHint {
    uint16_t aclHandle = 0;
    uint16_t attHandle = 0;
    RasChar kind = RasChar::None;
};
// "0x0040:0x0024=realtime,0x0027=ondemand,0x002A=cp" (ACL handle, then the
// attribute handles with realtime, ondemand, cp, ready, overwritten or features).
bool parseRasHandles(const std::string &text, std::vector<RasHandleHint> *out, std::string *why);

// Procedure times follow the logging host's clock with its steps back
// undone: after a step back, times go on from the last time before it with
// the records' own spacing, so they never decrease (the step is reported).
enum class TimeBase {
    FirstRecord,  // nanoseconds since the capture's first record
    Unix,         // nanoseconds since 1970-01-01 UTC on the logging host's clock
};

struct ImportOptions {
    TimeBase timeBase = TimeBase::FirstRecord;
    std::vector<RasHandleHint> rasHandles;
    // Take notifications on unknown handles as real-time ranging data when
    // they start with a ranging header matching an open procedure.
    bool guessRas = false;
    // Deliver procedures whose reflector side is missing with an empty
    // reflector list instead of dropping them.
    bool oneSided = false;
    // Completed procedures of one side wait this many newer ones of the same
    // link for the other side before they are given up.
    int joinWindow = 16;
    // Links followed at the same time; packets of further links are ignored.
    int maxConnections = 64;
};

struct ImportedProcedure {
    int connection = 0;  // 1-based, in order of the first CS data on the link
    uint16_t handle = 0;
    uint8_t configId = 0;
    uint16_t procedureCounter = 0;
    bool partial = false;    // the sides' step counts differed: common prefix kept
    bool oneSided = false;   // no reflector side (ImportOptions::oneSided)
    uint64_t record = 0;     // record of the procedure's first Result event
    uint64_t offset = 0;
    tarn_sim::Procedure procedure;
};

enum class Issue : uint8_t {
    LoggerCut,
    LengthExceedsOriginal,
    LoggerDrops,
    UnknownPacketType,
    MalformedEvent,
    StepLengthMismatch,
    ContinueWithoutResult,
    SubeventUnfinished,
    ProcedureUnfinished,
    ProcedureAborted,
    ProcedureTooLarge,
    LocalReflector,
    AclUnfinished,
    AclOrphanContinuation,
    AclOverlong,
    AclLengthMismatch,
    DynamicChannel,
    UnknownHandleNotification,
    TooManyConnections,
    RasMissingFirst,
    RasMissingLast,
    RasCounterGap,
    RasCounterAmbiguous,
    RasBodyUnparsable,
    RasPctFormat,
    RasFilter,
    RasOverwritten,
    RasDuplicate,
    RasBodyTooLong,
    RetrieveLost,
    ReflectorMissing,
    InitiatorMissing,
    SubeventUnpaired,
    SubeventModeMismatch,
    StepCountMismatch,
    AbortedSteps,
    SubeventAborted,
    NoPairedSubevents,
    ClockBack,
    Count
};
constexpr int kIssueCount = static_cast<int>(Issue::Count);
const char *issueText(Issue i);
// Issues that cost a whole procedure (the rest cost parts or are notes).
bool issueDropsProcedure(Issue i);

// Readings of facts that public sources do not settle, as the importer used them.
enum class Reading : uint8_t {
    RasPct4,            // PCT1/PCT2 inside RAS as 4 octets
    RasPct3,            // ... as 3 octets (after 4 did not fit)
    AntennaMaskLowBits, // ranging header: mask bits 0-3, PCT format bits 6-7 must be 0
    NoDataIsAborted,    // HCI step with no data (or mode bit 7): invalid, position kept
    ToneOrder,          // N_AP path tones first, the extension slot last
    ControlPointCodes,  // control point response opcodes
    ServerIsReflector,  // the RAS server is the reflector
    Count
};
constexpr int kReadingCount = static_cast<int>(Reading::Count);
const char *readingText(Reading r);

struct IssueExample {
    uint64_t record = 0, offset = 0;
    int connection = 0;  // 0: a link without CS data (or none)
    uint16_t handle = 0;
    bool hasHandle = false;
    std::string detail;
};

// A link as the capture showed it. Only links that carried CS data (CS
// configuration, procedure enable, Result events or ranging data) get a
// number; the others are listed as a count.
struct ConnectionInfo {
    int number = 0;  // 0: no CS data on this link
    uint16_t handle = 0;
    uint16_t controller = 0;
    uint64_t firstRecord = 0, lastRecord = 0;
    bool ended = false;
    uint8_t endReason = 0;
    bool hasPeer = false;
    uint8_t peerType = 0, linkRole = 0;
    uint8_t peer[6] = {};
    std::vector<ConfigComplete> configs;  // the latest created per configuration ID
    std::vector<ProcedureEnable> enables;  // the latest enabled per configuration ID
    uint16_t attMtu = 0;
    struct Attr {
        uint16_t handle;
        RasChar kind;
        const char *source;
    };
    std::vector<Attr> rasAttributes;
    bool hasRemoteCaps = false;
    uint8_t remoteTSwUs = 0;  // antenna switch time in the peer's CS capabilities
    uint64_t resultEvents = 0, rasBodies = 0;
    uint64_t whole = 0, partial = 0, oneSided = 0;
    uint64_t issues[kIssueCount] = {};
};

struct ImportReport {
    uint32_t datalink = 0;
    uint64_t records = 0, bytes = 0;
    int64_t firstUs = 0, lastUs = 0;  // container time of the first and last record
    // Time the records span, counting only forward steps of the clock (never
    // negative), and the steps back: how many, how far in all, the largest.
    int64_t spanUs = 0;
    uint64_t clockBacks = 0;
    int64_t clockBackUs = 0, largestClockBackUs = 0;
    uint64_t events = 0, aclPackets = 0, commands = 0, otherPackets = 0;
    uint64_t procedures = 0, partial = 0, oneSided = 0;
    uint64_t issues[kIssueCount] = {};
    std::vector<IssueExample> examples[kIssueCount];  // the first few of each
    uint64_t readings[kReadingCount] = {};
    std::vector<ConnectionInfo> connections;  // the first kMaxListedConnections
    uint64_t connectionsSeen = 0;             // every link, with CS data or not
    uint64_t csConnections = 0;               // links numbered for their CS data
    bool hasPeer = false;  // a reflector-side capture was given
    uint64_t peerRecords = 0;
    std::string peerStopReason;
    bool stopped = false;  // the container could not be read to its end
    std::string stopReason;
    uint64_t stopRecord = 0, stopOffset = 0;

    uint64_t droppedProcedures() const;
    // The numbered link with this number, or null.
    const ConnectionInfo *connection(int number) const;
    // A summary a person can read.
    void print(std::ostream &os) const;
};
constexpr size_t kMaxListedConnections = 1000;
constexpr size_t kMaxExamplesPerIssue = 3;

class CaptureImporter {
  public:
    explicit CaptureImporter(const ImportOptions &opts = ImportOptions());
    ~CaptureImporter();
    CaptureImporter(const CaptureImporter &) = delete;
    CaptureImporter &operator=(const CaptureImporter &) = delete;

    // Opens the capture and checks its header; false with the reason.
    bool openFile(const std::string &path, std::string *why);
    // The buffer must outlive the importer.
    bool openMemory(const uint8_t *data, size_t size, std::string *why);

    // A second capture, taken on the reflector, whose own Result events give
    // the reflector's steps (matched on configuration, procedure counter and
    // the first subevent's start event); RAS data is then not used. Call
    // after open*, before next().
    bool openPeerFile(const std::string &path, std::string *why);
    bool openPeerMemory(const uint8_t *data, size_t size, std::string *why);

    // The next whole procedure, each link's in time order; false when the
    // capture is exhausted (the report is then final).
    bool next(ImportedProcedure *out);
    const ImportReport &report() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

// Converts one side's wire step into the record's step (the reflector's
// steps take the initiator's channel); a step without usable data becomes
// an aborted step.
tarn_sim::Step recordStep(const WireStep &s, uint8_t channel);
// A step reported aborted: mode and channel, no data.
tarn_sim::Step abortedStep(uint8_t mode, uint8_t channel);

}  // namespace tarn_capture
