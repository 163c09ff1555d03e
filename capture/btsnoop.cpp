// Reading and writing the btsnoop container. The reader never trusts a
// length: it advances by the included length only, stops at a record that
// cannot be whole, and keeps one buffer whatever the file's size.
#include "btsnoop.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bytes.h"

namespace tarn_capture {

namespace {
constexpr size_t kBufferSize = 1 << 20;
const uint8_t kMagic[8] = {'b', 't', 's', 'n', 'o', 'o', 'p', 0};
}  // namespace

SnoopReader::~SnoopReader() {
    if (ownFd_ && fd_ >= 0) ::close(fd_);
}

bool SnoopReader::openFile(const std::string &path, std::string *why) {
    if (path == "-") {
        fd_ = 0;
    } else {
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) {
            *why = "cannot read " + path + ": " + std::strerror(errno);
            return false;
        }
        ownFd_ = true;
    }
    buf_.resize(kBufferSize + kMaxPacketSize + kRecordHeaderSize);
    return header(why);
}

bool SnoopReader::openMemory(const uint8_t *data, size_t size, std::string *why) {
    mem_ = data;
    pos_ = 0;
    end_ = size;
    eof_ = true;
    return header(why);
}

bool SnoopReader::fill(size_t n) {
    if (available() >= n) return true;
    if (mem_ != nullptr || eof_) return false;
    // Move what is left to the front and read more behind it.
    if (pos_ > 0) {
        std::memmove(buf_.data(), buf_.data() + pos_, available());
        end_ -= pos_;
        pos_ = 0;
    }
    while (end_ < n || end_ < kBufferSize) {
        const ssize_t got = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            eof_ = true;
            break;
        }
        end_ += static_cast<size_t>(got);
        if (end_ >= n && end_ >= kBufferSize / 2) break;
    }
    return available() >= n;
}

const char *SnoopReader::datalinkName(uint32_t datalink) {
    switch (datalink) {
        case kDatalinkH1:
            return "HCI unframed (H1)";
        case kDatalinkH4:
            return "HCI UART (H4)";
        case kDatalinkBcsp:
            return "BCSP";
        case kDatalinkH5:
            return "three-wire UART (H5)";
        case kDatalinkMonitor:
            return "Linux monitor";
        case kDatalinkSimulator:
            return "simulator";
        default:
            return "unknown";
    }
}

bool SnoopReader::header(std::string *why) {
    const uint8_t *base = mem_ != nullptr ? mem_ : buf_.data();
    if (!fill(kFileHeaderSize)) {
        *why = "not a btsnoop file: shorter than its 16-octet header";
        return false;
    }
    const uint8_t *h = base + pos_;
    if (std::memcmp(h, kMagic, 8) != 0) {
        *why = "not a btsnoop file: it does not start with \"btsnoop\"";
        return false;
    }
    if (be32(h + 8) != 1) {
        *why = "unsupported btsnoop version " + std::to_string(be32(h + 8)) + " (only 1 is known)";
        return false;
    }
    datalink_ = be32(h + 12);
    pos_ += kFileHeaderSize;
    consumed_ = kFileHeaderSize;
    switch (datalink_) {
        case kDatalinkH1:
        case kDatalinkH4:
        case kDatalinkMonitor:
            return true;
        case kDatalinkBcsp:
        case kDatalinkH5:
            *why = "datalink " + std::to_string(datalink_) + " (" + datalinkName(datalink_) +
                   ") is a serial framing; capture with HCI UART (H4, datalink 1002) framing";
            return false;
        default:
            *why = "datalink " + std::to_string(datalink_) + " (" + datalinkName(datalink_) +
                   ") is not an HCI capture this importer reads (1001, 1002 or 2001)";
            return false;
    }
}

bool SnoopReader::classify(SnoopRecord *rec, const uint8_t *body) {
    rec->packet = body;
    rec->packetLength = rec->includedLength;
    rec->received = (rec->flags & 1) != 0;
    rec->kind = PacketKind::Other;
    if (datalink_ == kDatalinkH4) {
        if (rec->includedLength == 0) return false;
        rec->h4Type = body[0];
        rec->packet = body + 1;
        rec->packetLength = rec->includedLength - 1;
        switch (body[0]) {
            case 1: rec->kind = PacketKind::Command; break;
            case 2: rec->kind = PacketKind::Acl; break;
            case 3: rec->kind = PacketKind::Sco; break;
            case 4: rec->kind = PacketKind::Event; break;
            case 5: rec->kind = PacketKind::Iso; break;
            default: return false;
        }
        return true;
    }
    if (datalink_ == kDatalinkH1) {
        if (rec->flags & 2)
            rec->kind = (rec->flags & 1) ? PacketKind::Event : PacketKind::Command;
        else
            rec->kind = PacketKind::Acl;
        return true;
    }
    // Linux monitor: opcode in the low half, controller index in the high half.
    rec->controller = static_cast<uint16_t>(rec->flags >> 16);
    switch (rec->flags & 0xFFFF) {
        case 2: rec->kind = PacketKind::Command; rec->received = false; break;
        case 3: rec->kind = PacketKind::Event; rec->received = true; break;
        case 4: rec->kind = PacketKind::Acl; rec->received = false; break;
        case 5: rec->kind = PacketKind::Acl; rec->received = true; break;
        case 6: rec->kind = PacketKind::Sco; rec->received = false; break;
        case 7: rec->kind = PacketKind::Sco; rec->received = true; break;
        case 18: rec->kind = PacketKind::Iso; rec->received = false; break;
        case 19: rec->kind = PacketKind::Iso; rec->received = true; break;
        default: rec->kind = PacketKind::Other; break;  // bookkeeping records
    }
    return true;
}

SnoopReader::Status SnoopReader::next(SnoopRecord *rec) {
    if (!problem_.empty()) return Status::Error;
    const uint64_t offset = consumed_;
    if (!fill(kRecordHeaderSize)) {
        if (available() == 0) return Status::End;
        problem_ = "the last record is cut off inside its header (" + std::to_string(available()) +
                   " of 24 octets): the capture stopped while writing";
        problemRecord_ = number_ + 1;
        problemOffset_ = offset;
        return Status::Error;
    }
    const uint8_t *base = mem_ != nullptr ? mem_ : buf_.data();
    const uint8_t *h = base + pos_;
    SnoopRecord r;
    r.number = number_ + 1;
    r.offset = offset;
    r.originalLength = be32(h);
    r.includedLength = be32(h + 4);
    r.flags = be32(h + 8);
    r.drops = be32(h + 12);
    r.timestampUs = static_cast<int64_t>(be64(h + 16));
    if (r.includedLength > kMaxPacketSize) {
        problem_ = "record claims " + std::to_string(r.includedLength) +
                   " included octets, more than any HCI packet: the rest of the file cannot be "
                   "followed";
        problemRecord_ = r.number;
        problemOffset_ = offset;
        return Status::Error;
    }
    if (!fill(kRecordHeaderSize + r.includedLength)) {
        problem_ = "the last record is cut off (" +
                   std::to_string(available() - kRecordHeaderSize) + " of " +
                   std::to_string(r.includedLength) +
                   " packet octets present): the capture stopped while writing";
        problemRecord_ = r.number;
        problemOffset_ = offset;
        return Status::Error;
    }
    base = mem_ != nullptr ? mem_ : buf_.data();
    const uint8_t *body = base + pos_ + kRecordHeaderSize;
    pos_ += kRecordHeaderSize + r.includedLength;
    consumed_ += kRecordHeaderSize + r.includedLength;
    number_ = r.number;
    if (!classify(&r, body)) r.kind = PacketKind::Other;
    *rec = r;
    return Status::Record;
}

// ---- Writer ------------------------------------------------------------------------

SnoopWriter::SnoopWriter(uint32_t datalink) : datalink_(datalink) {
    out_.insert(out_.end(), kMagic, kMagic + 8);
    putBe32(&out_, 1);
    putBe32(&out_, datalink_);
}

SnoopWriter::~SnoopWriter() {
    if (fd_ >= 0) ::close(fd_);
}

bool SnoopWriter::openFile(const std::string &path, std::string *why) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        *why = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    path_ = path;
    return true;
}

void SnoopWriter::packet(uint8_t h4Type, bool received, int64_t unixUs, const uint8_t *p,
                         size_t n) {
    const bool h4 = datalink_ == kDatalinkH4;
    const uint32_t len = static_cast<uint32_t>(n + (h4 ? 1 : 0));
    uint32_t flags = received ? 1 : 0;
    if (datalink_ == kDatalinkMonitor) {
        if (h4Type == 1) flags = 2;
        else if (h4Type == 4) flags = 3;
        else flags = received ? 5 : 4;
    } else if (h4Type == 1 || h4Type == 4) {
        flags |= 2;
    }
    putBe32(&out_, len);
    putBe32(&out_, len);
    putBe32(&out_, flags);
    putBe32(&out_, 0);
    putBe64(&out_, static_cast<uint64_t>(unixUs + kUnixOffsetUs));
    if (h4) put8(&out_, h4Type);
    out_.insert(out_.end(), p, p + n);
    if (fd_ >= 0 && out_.size() >= (1u << 20)) flush();
}

void SnoopWriter::flush() {
    size_t done = 0;
    while (done < out_.size() && !failed_) {
        const ssize_t w = ::write(fd_, out_.data() + done, out_.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) failed_ = true;
        else done += static_cast<size_t>(w);
    }
    out_.clear();
}

bool SnoopWriter::close(std::string *why) {
    if (fd_ < 0) return true;
    flush();
    if (::close(fd_) != 0) failed_ = true;
    fd_ = -1;
    if (failed_) *why = "error writing " + path_;
    return !failed_;
}

}  // namespace tarn_capture
