// The record header of compiled resource (.RES) files, with one decode and one encode,
// fields in file order, little-endian on disk whatever the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/ByteView.h"

namespace tolvane {

// DataSize and HeaderSize, the type and the name (each an ordinal, or UTF-16 text
// ended by a zero), then the fixed fields from the next multiple of 4. The record's
// data follows the header; the next record starts at the next multiple of 4.
struct TResRecordHeader {
  uint32_t DataSize = 0;
  uint32_t HeaderSize = 0;
  std::u16string Type;  // an ordinal as its decimal text, as the resource model names it
  std::u16string Name;
  uint32_t DataVersion = 0;
  uint16_t MemoryFlags = 0;
  uint16_t LanguageId = 0;
  uint32_t Version = 0;
  uint32_t Characteristics = 0;

  static constexpr uint16_t kOrdinalMarker = 0xFFFF;
  static constexpr uint32_t kSizesSize = 8;         // DataSize and HeaderSize
  static constexpr uint32_t kFixedFieldsSize = 16;  // DataVersion .. Characteristics

  // Numeric identifiers up to 65535 fit the ordinal form; larger ones are written as
  // their decimal text so nothing is truncated. Any digits-only name is numeric here,
  // so "0123" is written as the ordinal 123 and reads back as "123".
  static bool WrittenAsOrdinal(const std::u16string& id);

  // Decodes the header at the start of a record, which must hold HeaderSize bytes.
  static TResRecordHeader Decode(ByteView record);
  // The size of the encoded header, which HeaderSize is to hold.
  uint32_t EncodedSize() const;
  // Writes exactly EncodedSize() bytes.
  void Encode(std::vector<uint8_t>& out) const;
};

}  // namespace tolvane
