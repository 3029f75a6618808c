// A tiny in-memory builder of .RES bytes, written independently of the reader and
// writer under test so that each can be checked against it. Raw overrides of
// HeaderSize and DataSize (and raw bytes) make the corrupt records the reader must
// refuse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/LittleEndian.h"

namespace tolvane::test {

// A TYPE or NAME field: an ordinal (FF FF nn nn) or a zero-terminated UTF-16 string.
struct ResId {
  bool ordinal = true;
  uint16_t value = 0;
  std::u16string text;
  // The string form, written without its terminating zero (for corrupt headers).
  bool unterminated = false;

  static ResId Ord(uint16_t v) { return ResId{true, v, u"", false}; }
  static ResId Str(std::u16string s) { return ResId{false, 0, std::move(s), false}; }
};

struct ResRecord {
  ResId type = ResId::Ord(10);
  ResId name = ResId::Ord(1);
  uint32_t dataVersion = 0;
  uint16_t memoryFlags = 0;
  uint16_t language = 0;
  uint32_t version = 0;
  uint32_t characteristics = 0;
  std::vector<uint8_t> data;

  // Zero bytes appended to the header after the fixed fields (a HeaderSize larger
  // than the fields need).
  uint32_t extraHeader = 0;
  // Leave out the fixed fields (DataVersion .. Characteristics) entirely.
  bool omitFields = false;
  // Values written instead of the true ones.
  std::optional<uint32_t> headerSize;
  std::optional<uint32_t> dataSize;
  // Pad the record to a multiple of 4 bytes, as files do.
  bool pad = true;
};

class ResBuilder {
public:
  // The 32-byte record a 32-bit .RES file starts with.
  ResBuilder& EmptyRecord() {
    ResRecord r;
    r.type = ResId::Ord(0);
    r.name = ResId::Ord(0);
    return Add(r);
  }

  ResBuilder& Add(const ResRecord& r) {
    std::vector<uint8_t> header;
    ByteWriter w(header);
    w.u32(0);  // DataSize and HeaderSize, set below
    w.u32(0);
    PutId(w, r.type);
    PutId(w, r.name);
    while (header.size() % 4 != 0) w.u8(0);
    if (!r.omitFields) {
      w.u32(r.dataVersion);
      w.u16(r.memoryFlags);
      w.u16(r.language);
      w.u32(r.version);
      w.u32(r.characteristics);
    }
    w.zeros(r.extraHeader);
    putU32LE(&header[0], r.dataSize.value_or(static_cast<uint32_t>(r.data.size())));
    putU32LE(&header[4], r.headerSize.value_or(static_cast<uint32_t>(header.size())));

    fBytes.insert(fBytes.end(), header.begin(), header.end());
    fBytes.insert(fBytes.end(), r.data.begin(), r.data.end());
    if (r.pad)
      while (fBytes.size() % 4 != 0) fBytes.push_back(0);
    return *this;
  }

  ResBuilder& Raw(const std::vector<uint8_t>& bytes) {
    fBytes.insert(fBytes.end(), bytes.begin(), bytes.end());
    return *this;
  }

  const std::vector<uint8_t>& Bytes() const { return fBytes; }

private:
  static void PutId(ByteWriter& w, const ResId& id) {
    if (id.ordinal) {
      w.u16(0xFFFF);
      w.u16(id.value);
      return;
    }
    for (char16_t c : id.text) w.u16(c);
    if (!id.unterminated) w.u16(0);
  }

  std::vector<uint8_t> fBytes;
};

}  // namespace tolvane::test
