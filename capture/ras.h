// Ranging Service data: the ranging data body (header, subevents, steps in
// the server's HCI layout) and its segmentation into notification values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "hci.h"

namespace tarn_capture {

// Characteristics of the service, by their 16-bit UUIDs.
constexpr uint16_t kUuidRasService = 0x185B;
constexpr uint16_t kUuidRasFeatures = 0x2C14;
constexpr uint16_t kUuidRealTimeData = 0x2C15;
constexpr uint16_t kUuidOnDemandData = 0x2C16;
constexpr uint16_t kUuidControlPoint = 0x2C17;
constexpr uint16_t kUuidDataReady = 0x2C18;
constexpr uint16_t kUuidDataOverwritten = 0x2C19;
constexpr uint16_t kUuidCccd = 0x2902;
constexpr uint16_t kUuidCharacteristic = 0x2803;
constexpr uint16_t kUuidPrimaryService = 0x2800;

enum class RasChar : uint8_t {
    None,
    Features,
    RealTime,
    OnDemand,
    ControlPoint,
    DataReady,
    Overwritten,
};
RasChar rasCharFromUuid(uint16_t uuid);
const char *rasCharName(RasChar c);
// "realtime", "ondemand", "cp", "ready", "overwritten", "features".
bool parseRasCharName(const std::string &s, RasChar *out);

struct RangingHeader {
    uint16_t counter = 0;  // 12 bits
    uint8_t configId = 0;  // 4 bits
    int8_t txPower = 0;
    uint8_t antennaMask = 0;
    int nap() const;
    uint8_t pctFormat() const { return antennaMask >> 6; }
};
constexpr size_t kRangingHeaderSize = 4, kRasSubeventHeaderSize = 8;
bool decodeRangingHeader(const uint8_t *p, size_t n, RangingHeader *out);

struct RasSubevent {
    uint16_t startEvent = 0;
    uint16_t freqCompRaw = kFreqCompUnavailable;
    uint8_t rangingDone = 0, subeventDone = 0;
    uint8_t rangingAbort = 0, subeventAbort = 0;
    int8_t refPower = 0x7F;
    std::vector<WireStep> steps;
};

struct RasBody {
    RangingHeader header;
    std::vector<RasSubevent> subevents;
};

enum class RasParseStatus {
    Ok,
    TooShort,   // a header or a step runs past the end
    Trailing,   // octets left after the last subevent that fit no subevent
    PctFormat,  // the header announces a PCT format other than I/Q
};
// Parses a whole body with the server's layout (role, PCT presence and size;
// N_AP comes from the header).
RasParseStatus parseRasBody(const uint8_t *p, size_t n, StepLayout layout, RasBody *out);
// Aborted steps are written as a mode octet with bit 7 and no data.
void encodeRasBody(const RasBody &b, StepLayout layout, std::vector<uint8_t> *out);
// Splits a body into segment values (header octet + data) for an ATT MTU.
std::vector<std::vector<uint8_t>> segmentRasBody(const std::vector<uint8_t> &body, int attMtu);

}  // namespace tarn_capture
