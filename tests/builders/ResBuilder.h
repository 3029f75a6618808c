// A tiny in-memory builder of .RES bytes, written independently of the reader and
// writer under test so that each can be checked against it. Raw overrides of
// HeaderSize and DataSize (and raw bytes) make the corrupt records the reader must
// refuse.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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
    Put32(header, 0);  // DataSize and HeaderSize, set below
    Put32(header, 0);
    PutId(header, r.type);
    PutId(header, r.name);
    while (header.size() % 4 != 0) header.push_back(0);
    if (!r.omitFields) {
      Put32(header, r.dataVersion);
      Put16(header, r.memoryFlags);
      Put16(header, r.language);
      Put32(header, r.version);
      Put32(header, r.characteristics);
    }
    header.insert(header.end(), r.extraHeader, 0);
    Set32(header, 0, r.dataSize.value_or(static_cast<uint32_t>(r.data.size())));
    Set32(header, 4, r.headerSize.value_or(static_cast<uint32_t>(header.size())));

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

  // Little-endian helpers, also handy for building expectations.
  static void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  }
  static void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
  }
  static void Set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  static uint32_t Get32(const std::vector<uint8_t>& in, size_t at) {
    return uint32_t(in[at]) | uint32_t(in[at + 1]) << 8 | uint32_t(in[at + 2]) << 16 | uint32_t(in[at + 3]) << 24;
  }
  static uint16_t Get16(const std::vector<uint8_t>& in, size_t at) {
    return static_cast<uint16_t>(in[at] | in[at + 1] << 8);
  }

private:
  static void PutId(std::vector<uint8_t>& out, const ResId& id) {
    if (id.ordinal) {
      Put16(out, 0xFFFF);
      Put16(out, id.value);
      return;
    }
    for (char16_t c : id.text) Put16(out, c);
    if (!id.unterminated) Put16(out, 0);
  }

  std::vector<uint8_t> fBytes;
};

}  // namespace tolvane::test
