// Capture writer: simulated procedures as the HCI snoop log an initiator
// would record. Connection, ATT MTU exchange and RAS discovery first, the CS
// configuration and enable events, then per procedure the initiator's
// Subevent Result events (split into Continue events where long) and the
// reflector's steps as a RAS body in segments at the chosen ATT MTU, carried
// in ACL fragments of the chosen data length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "btsnoop.h"
#include "hci.h"
#include "simulator.h"

namespace tarn_capture {

struct CaptureWriterOptions {
    uint16_t handle = 0x0040;
    uint8_t configId = 1;
    int attMtu = 247;           // 23..517
    int aclDataLength = 251;    // octets of L2CAP data per ACL fragment, 27..251
    bool onDemand = false;      // on-demand delivery through the control point
    bool discovery = true;      // write the GATT discovery of the service
    uint16_t firstProcedureCounter = 0;
    uint16_t firstEventCounter = 0x0100;
    // Wall-clock time of simulated time 0 (Unix microseconds): 2025-06-01 12:00 UTC.
    int64_t epochUnixUs = 1748779200000000LL;
    // 1 or 2: mode-1 data carries PCT1/PCT2 (written as not available).
    uint8_t rttType = 0;
    int rasPctSize = 4;  // octets of each PCT inside the RAS body
    uint32_t datalink = kDatalinkH4;
    // Reflector: the capture the reflector itself records (its own Result
    // events, local role reflector, no RAS data); for two-capture imports.
    Role side = Role::Initiator;
    bool ras = true;  // initiator side: carry the reflector's steps as RAS data
    // On-demand delivery: leave out these segments (by position in the body)
    // of every body and, with resendLost, have the client retrieve each of
    // them (positions up to 254).
    std::vector<int> loseSegments;
    bool resendLost = true;
    // Procedures (0-based, in writing order) whose reflector data is never sent.
    std::vector<long> withoutRas;
    // The logging host's clock steps back by clockBackUs before procedure
    // clockBackAt is written (-1: never).
    long clockBackAt = -1;
    int64_t clockBackUs = 0;
    // Written as the peer's antenna switch time (remote capabilities) when the
    // first procedure's timing is unknown; with a known timing its tSwUs.
    uint8_t tSwUs = 10;
};

class CaptureWriter {
  public:
    explicit CaptureWriter(const CaptureWriterOptions &opts = CaptureWriterOptions());
    // Without a file the capture collects in data().
    bool openFile(const std::string &path, std::string *why);
    // False (nothing written) when the procedure cannot be put on the wire:
    // the sides' subevent counts differ, an antenna path count is outside
    // 1..4, a tone step does not carry N_AP + 1 tones, or a subevent has more
    // than 255 steps. Values beyond their field are saturated and counted.
    bool write(const tarn_sim::Procedure &p, std::string *why);
    // Counts a procedure as written without writing it (a lost one).
    void skip() { ++written_; }
    bool close(std::string *why);
    const std::vector<uint8_t> &data() const { return snoop_.data(); }
    long written() const { return written_; }
    long saturated() const { return saturated_; }

  private:
    void setup(const tarn_sim::Procedure &p);
    void event(const std::vector<uint8_t> &e, int64_t us);
    void att(bool received, const std::vector<uint8_t> &pdu, int64_t us);
    WireStep wireStep(const tarn_sim::Step &s, Role role);
    bool check(const tarn_sim::Procedure &p, std::string *why);
    int64_t results(const std::vector<tarn_sim::Subevent> &side, Role role, uint16_t counter,
                    uint16_t event0);
    int64_t clampUs(int64_t us);

    CaptureWriterOptions o_;
    SnoopWriter snoop_;
    bool started_ = false;
    long written_ = 0;
    long saturated_ = 0;
    int64_t lastUs_ = 0;
    int64_t shiftUs_ = 0;  // the clock's steps back so far
};

// The record of a procedure as a capture can carry it: a reflector never
// reports its own frequency offset in mode-0 steps, and an aborted step has
// no data on either side.
tarn_sim::Procedure captureView(const tarn_sim::Procedure &p);
// The step timing a capture of these procedures carries (from the first
// procedure's timing, or the writer's defaults when it has none), as the
// importer reads it back for a procedure with `nap` antenna paths.
tarn_sim::StepTiming captureTiming(const tarn_sim::Procedure &first, const CaptureWriterOptions &o,
                                   int nap);

}  // namespace tarn_capture
