// Little-endian encoding of integers into byte buffers, independent of the host.
#pragma once

#include <cstdint>
#include <vector>

namespace tolvane {

inline uint16_t getU16LE(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t getU32LE(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}
inline void putU16LE(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void putU32LE(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Appends little-endian values to a byte vector; the encoders of on-disk records use it.
class ByteWriter {
public:
  explicit ByteWriter(std::vector<uint8_t>& out) : fOut(out) {}
  void u8(uint8_t v) { fOut.push_back(v); }
  void u16(uint16_t v) {
    fOut.push_back(static_cast<uint8_t>(v));
    fOut.push_back(static_cast<uint8_t>(v >> 8));
  }
  void u32(uint32_t v) {
    u16(static_cast<uint16_t>(v));
    u16(static_cast<uint16_t>(v >> 16));
  }
  void bytes(const uint8_t* p, size_t n) { fOut.insert(fOut.end(), p, p + n); }
  void zeros(size_t n) { fOut.insert(fOut.end(), n, 0); }
  size_t size() const { return fOut.size(); }

private:
  std::vector<uint8_t>& fOut;
};

}  // namespace tolvane
