// Byte-order helpers for the capture formats: the btsnoop container is
// big-endian, everything inside an HCI packet little-endian.
#pragma once

#include <cstdint>
#include <vector>

namespace tarn_capture {

inline uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t le24(const uint8_t *p) { return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16; }
inline uint32_t le32(const uint8_t *p) { return le24(p) | uint32_t(p[3]) << 24; }
inline uint32_t be32(const uint8_t *p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
inline uint64_t be64(const uint8_t *p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }

// Signed values packed into bit fields.
inline int16_t sx12(uint32_t v) {
    v &= 0xFFF;
    return static_cast<int16_t>(v >= 0x800 ? int(v) - 0x1000 : int(v));
}
inline int16_t sx15(uint32_t v) {
    v &= 0x7FFF;
    return static_cast<int16_t>(v >= 0x4000 ? int(v) - 0x8000 : int(v));
}

inline void put8(std::vector<uint8_t> *o, unsigned v) { o->push_back(static_cast<uint8_t>(v)); }
inline void putLe16(std::vector<uint8_t> *o, unsigned v) {
    put8(o, v & 0xFF);
    put8(o, (v >> 8) & 0xFF);
}
inline void putLe24(std::vector<uint8_t> *o, uint32_t v) {
    putLe16(o, v & 0xFFFF);
    put8(o, (v >> 16) & 0xFF);
}
inline void putLe32(std::vector<uint8_t> *o, uint32_t v) {
    putLe16(o, v & 0xFFFF);
    putLe16(o, v >> 16);
}
inline void putBe32(std::vector<uint8_t> *o, uint32_t v) {
    put8(o, v >> 24);
    put8(o, (v >> 16) & 0xFF);
    put8(o, (v >> 8) & 0xFF);
    put8(o, v & 0xFF);
}
inline void putBe64(std::vector<uint8_t> *o, uint64_t v) {
    putBe32(o, static_cast<uint32_t>(v >> 32));
    putBe32(o, static_cast<uint32_t>(v));
}

}  // namespace tarn_capture
