// HCI Channel Sounding events and step data: decoding from and encoding to
// the octets a controller reports. The same step-data codec serves the
// Ranging Service body, which carries the reflector's steps in HCI layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarn_capture {

constexpr uint8_t kEvDisconnectionComplete = 0x05;
constexpr uint8_t kEvLeMeta = 0x3E;
constexpr uint8_t kLeConnectionComplete = 0x01;
constexpr uint8_t kLeEnhancedConnectionComplete = 0x0A;
constexpr uint8_t kLeEnhancedConnectionCompleteV2 = 0x29;
constexpr uint8_t kLeCsRemoteCaps = 0x2C;
constexpr uint8_t kLeCsConfigComplete = 0x2F;
constexpr uint8_t kLeCsProcedureEnable = 0x30;
constexpr uint8_t kLeCsSubeventResult = 0x31;
constexpr uint8_t kLeCsSubeventResultContinue = 0x32;

constexpr uint16_t kFreqCompUnavailable = 0xC000;
constexpr uint8_t kStatusComplete = 0x0, kStatusPartial = 0x1, kStatusAborted = 0xF;

enum class Role : uint8_t { Initiator = 0, Reflector = 1 };

struct ConfigComplete {
    uint8_t status = 0;
    uint16_t handle = 0;
    uint8_t configId = 0;
    uint8_t action = 0;  // 0 removed, 1 created
    uint8_t mainMode = 0, subMode = 0xFF;
    uint8_t minMainSteps = 0, maxMainSteps = 0, mainRepetition = 0, mode0Steps = 0;
    uint8_t role = 0;      // of the local controller
    uint8_t rttType = 0;   // 1 and 2 carry PCT1/PCT2 in mode-1 data
    uint8_t syncPhy = 0;
    uint8_t channelMap[10] = {};
    uint8_t channelMapRepetition = 0, channelSelection = 0, ch3cShape = 0, ch3cJump = 0;
    uint8_t tIp1 = 0, tIp2 = 0, tFcs = 0, tPm = 0;

    int channelCount() const;
    bool rttHasPct() const { return rttType == 1 || rttType == 2; }
};
constexpr size_t kConfigCompleteSize = 33;

struct ProcedureEnable {
    uint8_t status = 0;
    uint16_t handle = 0;
    uint8_t configId = 0;
    uint8_t state = 0;
    uint8_t antennaConfig = 0;
    int8_t txPower = 0;
    uint32_t subeventLengthUs = 0;
    uint8_t subeventsPerEvent = 0;
    uint16_t subeventInterval = 0, eventInterval = 0, procedureInterval = 0;
    uint16_t procedureCount = 0, maxProcedureLength = 0;
};
constexpr size_t kProcedureEnableSize = 21;

struct RemoteCaps {
    uint8_t status = 0;
    uint16_t handle = 0;
    uint8_t configs = 0;
    uint16_t maxConsecutiveProcedures = 0;
    uint8_t antennas = 0, maxAntennaPaths = 0, roles = 0, optionalModes = 0;
    uint8_t rttCapability = 0, rttAaOnlyN = 0, rttSoundingN = 0, rttRandomN = 0;
    uint16_t nadmSounding = 0, nadmRandom = 0;
    uint8_t syncPhys = 0;
    uint16_t subfeatures = 0, tIp1 = 0, tIp2 = 0, tFcs = 0, tPm = 0;
    uint8_t tSw = 0, txSnr = 0;
};
constexpr size_t kRemoteCapsSize = 31;

// Fixed part of a Subevent Result (15 octets) or Continue (8 octets) event.
struct ResultHeader {
    bool isContinue = false;
    uint16_t handle = 0;
    uint8_t configId = 0;
    uint16_t startEvent = 0;        // Result only
    uint16_t procedureCounter = 0;  // Result only
    uint16_t freqCompRaw = kFreqCompUnavailable;
    int8_t refPower = 0x7F;
    uint8_t procedureDone = 0, subeventDone = 0, abortReasons = 0;
    uint8_t nap = 0, stepCount = 0;
};
constexpr size_t kResultFixedSize = 15, kContinueFixedSize = 8;

struct WireTone {
    int16_t i = 0, q = 0;
    uint8_t quality = 0;
};

// One side's step as reported, whatever its source.
struct WireStep {
    uint8_t mode = 0;
    uint8_t channel = 0;     // HCI only; RAS steps take the initiator's
    bool noData = false;     // reported without data (aborted)
    bool malformed = false;  // the data did not fit the layout of its mode
    uint8_t quality = 0;     // packet quality, modes 0, 1, 3
    uint8_t nadm = 0xFF;     // modes 1, 3
    int8_t rssi = 0x7F;      // modes 0, 1, 3
    uint8_t antenna = 0;     // modes 0, 1, 3
    bool hasFreqOffset = false;
    int16_t freqOffset = 0;  // mode 0, initiator: s15, 0.01 ppm
    int16_t toaTod = 0;      // modes 1, 3: 0.5 ns
    bool hasPct = false;
    uint32_t pct1 = 0, pct2 = 0;  // modes 1, 3 with sounding sequence
    uint8_t antPerm = 0;     // modes 2, 3
    uint8_t toneCount = 0;   // N_AP + 1
    WireTone tones[5];
};

// How a side lays out step data: mode 0 is 5 octets on an initiator and 3 on
// a reflector; mode 1 has PCT1/PCT2 (of pctSize octets each) only with a
// sounding-sequence RTT type.
struct StepLayout {
    Role role = Role::Initiator;
    bool pct = false;
    int pctSize = 4;
    int nap = 1;
};
size_t stepDataSize(uint8_t mode, const StepLayout &l);
// `d` holds at least stepDataSize(mode, l) octets.
void decodeStepData(uint8_t mode, const StepLayout &l, const uint8_t *d, WireStep *out);
void encodeStepData(const WireStep &s, const StepLayout &l, std::vector<uint8_t> *out);

// Event parameters start after the subevent code; false when too short.
bool decodeConfigComplete(const uint8_t *p, size_t n, ConfigComplete *out);
bool decodeProcedureEnable(const uint8_t *p, size_t n, ProcedureEnable *out);
bool decodeRemoteCaps(const uint8_t *p, size_t n, RemoteCaps *out);
bool decodeResultHeader(bool isContinue, const uint8_t *p, size_t n, ResultHeader *out);

// Steps of a Result/Continue event. The step data length decides the layout
// (role and PCT presence) where it can; `expect` supplies what it cannot
// (the configured role and RTT type). Steps with no data are kept with
// noData set. Returns false when the step records run past the event; the
// steps decoded so far stay in `out`. `lengthDisagreements` counts steps
// whose data length fits no layout of their mode.
struct StepDecodeStats {
    int noData = 0;
    int modeBit7 = 0;
    int lengthDisagreements = 0;
};
bool decodeHciSteps(const uint8_t *p, size_t n, int count, const StepLayout &expect,
                    std::vector<WireStep> *out, StepDecodeStats *stats);

// Builders used by the capture writer and the tests: whole HCI event packets
// (event code, parameter length, subevent code, parameters).
std::vector<uint8_t> encodeConfigComplete(const ConfigComplete &c);
std::vector<uint8_t> encodeProcedureEnable(const ProcedureEnable &e);
std::vector<uint8_t> encodeRemoteCaps(const RemoteCaps &r);
// One Result (first) or Continue event carrying `steps`; data laid out for `l`.
std::vector<uint8_t> encodeResultEvent(const ResultHeader &h, const std::vector<WireStep> &steps,
                                       size_t from, size_t count, const StepLayout &l);
// Octets one step record (3 + data) takes in an HCI event.
size_t hciStepRecordSize(const WireStep &s, const StepLayout &l);

}  // namespace tarn_capture
