#include "ResRecords.h"

#include "StringTable.h"
#include "support/Align.h"
#include "unitResourceDetails.h"

namespace tolvane {

namespace {

uint64_t AlignUp4(uint64_t v) { return alignUp(v, 4); }

bool IsOrdinalValue(int32_t value) { return value >= 0 && value <= 0xFFFF; }

// Reads TYPE or NAME at offset inside the header; advances offset.
std::u16string DecodeIdentifier(ByteView header, uint64_t& offset) {
  if (header.u16(offset) == TResRecordHeader::kOrdinalMarker) {
    uint16_t ordinal = header.u16(offset + 2);
    offset += 4;
    return ToU16(std::to_string(ordinal));
  }
  std::u16string text;
  for (;;) {
    uint16_t unit = header.u16(offset);  // refuses a string without its zero
    offset += 2;
    if (unit == 0) return text;
    text += static_cast<char16_t>(unit);
  }
}

uint64_t IdentifierSize(const std::u16string& id) {
  return TResRecordHeader::WrittenAsOrdinal(id) ? 4 : 2 * (uint64_t(id.size()) + 1);
}

// Writes TYPE or NAME at offset; gives the offset after it.
uint64_t EncodeIdentifier(FixedByteWriter& out, uint64_t offset, const std::u16string& id) {
  int32_t value = ResourceNameToInt(id);
  if (IsOrdinalValue(value)) {
    out.u16(offset, TResRecordHeader::kOrdinalMarker);
    out.u16(offset + 2, static_cast<uint16_t>(value));
    return offset + 4;
  }
  for (char16_t unit : id) {
    out.u16(offset, unit);
    offset += 2;
  }
  out.u16(offset, 0);
  return offset + 2;
}

}  // namespace

bool TResRecordHeader::WrittenAsOrdinal(const std::u16string& id) { return IsOrdinalValue(ResourceNameToInt(id)); }

TResRecordHeader TResRecordHeader::Decode(ByteView record) {
  TResRecordHeader h;
  h.DataSize = record.u32(0);
  h.HeaderSize = record.u32(4);
  ByteView header = record.sub(0, h.HeaderSize);
  uint64_t cursor = kSizesSize;
  h.Type = DecodeIdentifier(header, cursor);
  h.Name = DecodeIdentifier(header, cursor);
  ByteView fields = header.sub(AlignUp4(cursor), kFixedFieldsSize);
  h.DataVersion = fields.u32(0);
  h.MemoryFlags = fields.u16(4);
  h.LanguageId = fields.u16(6);
  h.Version = fields.u32(8);
  h.Characteristics = fields.u32(12);
  return h;
}

uint32_t TResRecordHeader::EncodedSize() const {
  return static_cast<uint32_t>(AlignUp4(kSizesSize + IdentifierSize(Type) + IdentifierSize(Name)) + kFixedFieldsSize);
}

void TResRecordHeader::Encode(std::vector<uint8_t>& out) const {
  FixedByteWriter w(EncodedSize());
  w.u32(0, DataSize);
  w.u32(4, HeaderSize);
  uint64_t at = EncodeIdentifier(w, kSizesSize, Type);
  at = AlignUp4(EncodeIdentifier(w, at, Name));  // the padding stays zero
  w.u32(at, DataVersion);
  w.u16(at + 4, MemoryFlags);
  w.u16(at + 6, LanguageId);
  w.u32(at + 8, Version);
  w.u32(at + 12, Characteristics);
  w.Finish(at + kFixedFieldsSize == w.Bytes().size());
  out.insert(out.end(), w.Bytes().begin(), w.Bytes().end());
}

}  // namespace tolvane
