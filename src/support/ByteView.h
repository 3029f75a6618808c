// A non-owning, bounds-checked window on bytes. Every reader of file bytes goes
// through it: a read outside the window raises EPEException naming what was read,
// so no parser ever indexes a raw pointer. (The .RES reader replaces every error it
// meets with its own message, so the class of the refusal only matters for images.)
#pragma once

#include <cstdint>
#include <string>

#include "support/Exceptions.h"
#include "support/LittleEndian.h"

namespace tolvane {

class ByteView {
public:
  ByteView() = default;
  ByteView(const uint8_t* data, uint64_t size) : fData(data), fSize(size) {}

  const uint8_t* data() const noexcept { return fData; }
  uint64_t size() const noexcept { return fSize; }
  bool empty() const noexcept { return fSize == 0; }

  // Subtract, never add: offset + count could wrap.
  bool has(uint64_t offset, uint64_t count) const noexcept { return offset <= fSize && count <= fSize - offset; }

  uint8_t u8(uint64_t offset, const char* what = "data") const {
    require(offset, 1, what);
    return fData[offset];
  }
  uint16_t u16(uint64_t offset, const char* what = "data") const {
    require(offset, 2, what);
    return getU16LE(fData + offset);
  }
  uint32_t u32(uint64_t offset, const char* what = "data") const {
    require(offset, 4, what);
    return getU32LE(fData + offset);
  }
  uint64_t u64(uint64_t offset, const char* what = "data") const {
    require(offset, 8, what);
    return getU64LE(fData + offset);
  }

  // The sub-window [offset, offset + count), refused unless it lies inside this one.
  ByteView sub(uint64_t offset, uint64_t count, const char* what = "data") const {
    require(offset, count, what);
    return ByteView(fData + offset, count);
  }
  // Everything from offset to the end.
  ByteView from(uint64_t offset, const char* what = "data") const {
    require(offset, 0, what);
    return ByteView(fData + offset, fSize - offset);
  }
  const uint8_t* ptr(uint64_t offset, uint64_t count, const char* what = "data") const {
    require(offset, count, what);
    return fData + offset;
  }

  void require(uint64_t offset, uint64_t count, const char* what) const {
    if (!has(offset, count)) RaiseOutside(what);
  }

private:
  [[noreturn]] static void RaiseOutside(const char* what);

  const uint8_t* fData = nullptr;
  uint64_t fSize = 0;
};

}  // namespace tolvane
