// The btsnoop container: file header and records, read as a stream with a
// fixed buffer (memory does not grow with the file), and written back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tarn_capture {

constexpr uint32_t kDatalinkH1 = 1001;       // HCI unframed: kind from the flags
constexpr uint32_t kDatalinkH4 = 1002;       // HCI UART: an H4 type octet first
constexpr uint32_t kDatalinkBcsp = 1003;     // serial framings: not read
constexpr uint32_t kDatalinkH5 = 1004;
constexpr uint32_t kDatalinkMonitor = 2001;  // Linux monitor: kind in the flags
constexpr uint32_t kDatalinkSimulator = 2002;

// btsnoop time counts microseconds from year 0; this is 1970-01-01 in it.
constexpr int64_t kUnixOffsetUs = 0x00DCDDB30F2F8000LL;

constexpr size_t kFileHeaderSize = 16;
constexpr size_t kRecordHeaderSize = 24;
// No HCI packet is longer (H4 octet, ACL header, 65535 octets of data); a
// record claiming more is corrupt and ends the reading.
constexpr uint32_t kMaxPacketSize = 1 + 4 + 65535;

enum class PacketKind : uint8_t { Command, Acl, Sco, Event, Iso, Other };

struct SnoopRecord {
    uint64_t number = 0;  // 1-based
    uint64_t offset = 0;  // file offset of the record header
    uint32_t originalLength = 0;
    uint32_t includedLength = 0;
    uint32_t flags = 0;
    uint32_t drops = 0;
    int64_t timestampUs = 0;  // raw container time (from year 0)
    PacketKind kind = PacketKind::Other;
    uint8_t h4Type = 0;       // datalink 1002: the type octet as found
    bool received = false;    // controller -> host
    uint16_t controller = 0;  // datalink 2001: controller index
    const uint8_t *packet = nullptr;  // the HCI packet (after any H4 octet)
    size_t packetLength = 0;
    // The logger stored less than was on the wire.
    bool cut() const { return includedLength < originalLength; }
};

class SnoopReader {
  public:
    enum class Status { Record, End, Error };

    SnoopReader() = default;
    ~SnoopReader();
    SnoopReader(const SnoopReader &) = delete;
    SnoopReader &operator=(const SnoopReader &) = delete;

    // Opens a file ("-": standard input) or a buffer the caller keeps alive,
    // and checks the file header. False with a reason a person can read.
    bool openFile(const std::string &path, std::string *why);
    bool openMemory(const uint8_t *data, size_t size, std::string *why);

    uint32_t datalink() const { return datalink_; }
    static const char *datalinkName(uint32_t datalink);

    // The next record. The packet pointer stays valid until the next call.
    // End: clean end of file. Error: the rest cannot be read (see problem()).
    Status next(SnoopRecord *rec);
    const std::string &problem() const { return problem_; }
    // Record number and offset where reading stopped with an error.
    uint64_t problemRecord() const { return problemRecord_; }
    uint64_t problemOffset() const { return problemOffset_; }
    uint64_t bytesRead() const { return consumed_; }

  private:
    bool header(std::string *why);
    // Makes `n` bytes available at pos_; false at end of input (with
    // available() telling how many there are).
    bool fill(size_t n);
    size_t available() const { return end_ - pos_; }
    bool classify(SnoopRecord *rec, const uint8_t *body);

    int fd_ = -1;
    bool ownFd_ = false;
    const uint8_t *mem_ = nullptr;  // memory input
    std::vector<uint8_t> buf_;
    size_t pos_ = 0, end_ = 0;
    bool eof_ = false;
    uint32_t datalink_ = 0;
    uint64_t consumed_ = 0;  // file offset of pos_
    uint64_t number_ = 0;
    std::string problem_;
    uint64_t problemRecord_ = 0, problemOffset_ = 0;
};

// Writes a btsnoop file into a byte vector (the caller saves it) or appends
// to a file as it goes.
class SnoopWriter {
  public:
    explicit SnoopWriter(uint32_t datalink = kDatalinkH4);
    ~SnoopWriter();
    bool openFile(const std::string &path, std::string *why);
    // Without a file the bytes collect in data().
    const std::vector<uint8_t> &data() const { return out_; }
    // `h4Type` is the H4 packet type (1 command, 2 ACL, 4 event); `received`
    // is the direction bit.
    void packet(uint8_t h4Type, bool received, int64_t unixUs, const uint8_t *p, size_t n);
    void packet(uint8_t h4Type, bool received, int64_t unixUs, const std::vector<uint8_t> &p) {
        packet(h4Type, received, unixUs, p.data(), p.size());
    }
    bool close(std::string *why);

  private:
    void flush();
    uint32_t datalink_;
    std::vector<uint8_t> out_;
    int fd_ = -1;
    bool failed_ = false;
    std::string path_;
};

}  // namespace tarn_capture
