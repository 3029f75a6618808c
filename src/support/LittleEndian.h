// Little-endian encoding of integers into byte buffers, independent of the host.
#pragma once

#include <cstdint>
#include <vector>

#include "support/Exceptions.h"

namespace tolvane {

inline uint16_t getU16LE(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t getU32LE(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
inline uint64_t getU64LE(const uint8_t* p) { return getU32LE(p) | uint64_t(getU32LE(p + 4)) << 32; }
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
inline void putU64LE(uint8_t* p, uint64_t v) {
  putU32LE(p, static_cast<uint32_t>(v));
  putU32LE(p + 4, static_cast<uint32_t>(v >> 32));
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
  void u64(uint64_t v) {
    u32(static_cast<uint32_t>(v));
    u32(static_cast<uint32_t>(v >> 32));
  }
  void bytes(const uint8_t* p, size_t n) { fOut.insert(fOut.end(), p, p + n); }
  void zeros(size_t n) { fOut.insert(fOut.end(), n, 0); }
  size_t size() const { return fOut.size(); }

private:
  std::vector<uint8_t>& fOut;
};

// A buffer of a size planned before it is filled, written at offsets. A put outside
// it, or a plan the filling did not meet (Finish), is our own mistake: it raises an
// internal error instead of writing past the buffer or handing out a wrong image.
class FixedByteWriter {
public:
  explicit FixedByteWriter(size_t plannedSize) : fOwned(plannedSize, 0), fData(fOwned.data()), fSize(plannedSize) {}
  // Writes over size bytes held elsewhere (a record patched where it stands), which
  // outlive the writer; Bytes() is then empty.
  FixedByteWriter(uint8_t* data, size_t size) : fData(data), fSize(size) {}
  FixedByteWriter(const FixedByteWriter&) = delete;
  FixedByteWriter& operator=(const FixedByteWriter&) = delete;

  void u16(uint64_t at, uint16_t v) { putU16LE(Place(at, 2), v); }
  void u32(uint64_t at, uint32_t v) { putU32LE(Place(at, 4), v); }
  // Checks that the parts filled end where the plan said they would.
  void Finish(bool metThePlan) const {
    if (!metThePlan) RaiseInternal();
  }
  // The planned buffer, to be taken once it is filled.
  std::vector<uint8_t>& Bytes() { return fOwned; }

private:
  uint8_t* Place(uint64_t at, uint64_t n) {
    if (at > fSize || n > fSize - at) RaiseInternal();
    return fData + at;
  }
  [[noreturn]] static void RaiseInternal() {
    throw Exception(u"Internal error: a buffer was not filled as its size was planned");
  }
  std::vector<uint8_t> fOwned;
  uint8_t* fData;
  size_t fSize;
};

}  // namespace tolvane
