#include "unitResFile.h"

#include "StringTable.h"
#include "platform/Files.h"
#include "support/Align.h"
#include "support/LittleEndian.h"

namespace tolvane {

// ---- TResourceList ----

void TResourceList::DeleteResource(int idx) {
  TResourceDetails* details = fResourceList[idx];
  TResourceModule::DeleteResource(idx);
  int stillAt = IndexOfResource(details);
  if (stillAt >= 0) fResourceList.Delete(stillAt);
}

void TResourceList::InsertResource(int idx, std::unique_ptr<TResourceDetails> details) {
  fResourceList.Insert(idx, std::move(details));
}

int TResourceList::AddResource(std::unique_ptr<TResourceDetails> details) {
  return fResourceList.Add(std::move(details));
}

int TResourceList::IndexOfResource(const TResourceDetails* details) const { return fResourceList.IndexOf(details); }

void TResourceList::SortResources() { SortDetailsList(fResourceList); }

void TResourceList::Assign(const TResourceModule& src) {
  // The copies are made before the old content goes: src may be this list, and a
  // copy that fails leaves the list as it was.
  std::vector<std::unique_ptr<TResourceDetails>> copies;
  copies.reserve(static_cast<size_t>(src.ResourceCount()));
  for (int i = 0; i < src.ResourceCount(); ++i) {
    TResourceDetails* s = src.ResourceDetails(i);
    const TMemoryStream& shown = s->data();
    // Bytes still viewing a loaded file are shared, not copied: the copy is made
    // only if one side is written to.
    copies.push_back(TResourceDetails::CreateResourceDetails(this, s->ResourceLanguage(), s->ResourceName(),
                                                             s->ResourceType(), shown, 0, shown.ByteSize()));
  }
  fResourceList.Clear();
  for (auto& copy : copies) AddResource(std::move(copy));
}

// ---- TResModule: reading ----

namespace {

constexpr uint16_t kOrdinalMarker = 0xFFFF;
constexpr uint32_t kFixedFieldsSize = 16;  // DataVersion .. Characteristics

uint64_t AlignUp4(uint64_t v) { return alignUp(v, 4); }

// Reads TYPE or NAME at offset inside the record header; advances offset.
std::u16string ReadIdentifier(ByteView header, uint64_t& offset) {
  if (header.u16(offset) == kOrdinalMarker) {
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

}  // namespace

void TResModule::LoadFromFile(const std::u16string& FileName) {
  platform::TFileBytes file = platform::MapWholeFile(FileName);
  LoadFromSharedBytes(std::move(file.owner), file.View());
}

void TResModule::LoadFromStream(TStream& stream) {
  stream.SetPosition(0);
  int64_t size = stream.Size();
  auto file = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(size));
  stream.ReadBuffer(file->data(), size);
  ByteView bytes(file->data(), file->size());
  LoadFromSharedBytes(std::move(file), bytes);
}

void TResModule::LoadFromSharedBytes(TBytesOwner owner, ByteView bytes) {
  TMemoryStream whole;
  whole.AssignView(std::move(owner), bytes.data(), bytes.size());
  struct TDecoding {
    const TMemoryStream*& shared;
    ~TDecoding() { shared = nullptr; }
  } decoding{fSharedFile};
  fSharedFile = &whole;
  LoadFromBytes(bytes);
}

void TResModule::LoadFromBytes(ByteView file) {
  f16Bit = true;
  uint64_t offset = 0;
  while (offset + 8 < file.size()) {
    uint32_t DataSize = file.u32(offset);
    uint32_t HeaderSize = file.u32(offset + 4);
    try {
      bool emptyRecord = false;
      if (auto details = DecodeRecord(file, offset, DataSize, HeaderSize, emptyRecord))
        AddResource(std::move(details));
      if (emptyRecord) f16Bit = false;
    } catch (...) {
      // Every record that cannot be decoded is reported alike; earlier ones stay.
      throw Exception(LoadResString(StrId::ResFileCorrupt));
    }
    offset += AlignUp4(uint64_t(DataSize) + HeaderSize);
  }
  SortResources();
}

// A record that does not fit the file, or would not advance the reader, is corrupt.
std::unique_ptr<TResourceDetails> TResModule::DecodeRecord(ByteView file, uint64_t offset, uint32_t DataSize,
                                                           uint32_t HeaderSize, bool& sawEmptyRecord) {
  if (AlignUp4(uint64_t(DataSize) + HeaderSize) == 0) throw Exception(u"empty record");
  ByteView record = file.sub(offset, uint64_t(HeaderSize) + DataSize);
  ByteView header = record.sub(0, HeaderSize);
  uint64_t cursor = 8;
  std::u16string type = ReadIdentifier(header, cursor);
  std::u16string name = ReadIdentifier(header, cursor);
  cursor = AlignUp4(cursor);
  ByteView fields = header.sub(cursor, kFixedFieldsSize);
  uint32_t dataVersion = fields.u32(0);
  uint16_t memoryFlags = fields.u16(4);
  uint16_t languageId = fields.u16(6);
  uint32_t version = fields.u32(8);
  uint32_t characteristics = fields.u32(12);

  if (DataSize == 0 && name == u"0") {  // the leading empty record of a 32-bit file
    sawEmptyRecord = true;
    return nullptr;
  }
  const uint8_t* bytes = record.ptr(HeaderSize, DataSize);
  auto details = fSharedFile != nullptr
                     ? TResourceDetails::CreateResourceDetails(this, languageId, name, type, *fSharedFile,
                                                               offset + HeaderSize, DataSize)
                     : TResourceDetails::CreateResourceDetails(this, languageId, name, type, DataSize, bytes);
  details->SetCharacteristics(characteristics);
  details->SetVersion(version);
  details->SetMemoryFlags(memoryFlags);
  details->SetDataVersion(dataVersion);
  return details;
}

// ---- TResModule: writing ----

namespace {

// Numeric identifiers up to 65535 fit the ordinal form; larger ones are written as
// their decimal text so nothing is truncated. Any digits-only name is numeric here,
// so "0123" is written as the ordinal 123 and reads back as "123".
bool WrittenAsOrdinal(int32_t value) { return value >= 0 && value <= 0xFFFF; }

// Text that a reader would take for an ordinal: its first unit is the marker.
bool WrittenAsTextFromOrdinalMarker(const std::u16string& id) {
  return !id.empty() && id[0] == kOrdinalMarker && !WrittenAsOrdinal(ResourceNameToInt(id));
}

void WriteIdentifier(ByteWriter& out, const std::u16string& id) {
  int32_t value = ResourceNameToInt(id);
  if (WrittenAsOrdinal(value)) {
    out.u16(kOrdinalMarker);
    out.u16(static_cast<uint16_t>(value));
    return;
  }
  for (char16_t unit : id) out.u16(unit);
  out.u16(0);
}

}  // namespace

void TResModule::WriteRecord(TStream& stream, TResourceDetails& details) {
  const TMemoryStream& data = details.data();
  std::vector<uint8_t> header;
  ByteWriter out(header);
  out.zeros(8);  // DataSize and HeaderSize, filled below
  WriteIdentifier(out, details.ResourceType());
  WriteIdentifier(out, details.ResourceName());
  out.zeros(AlignUp4(header.size()) - header.size());
  out.u32(details.DataVersion());
  out.u16(details.MemoryFlags());
  out.u16(static_cast<uint16_t>(details.ResourceLanguage()));
  out.u32(details.Version());
  out.u32(details.Characteristics());
  uint32_t dataSize = static_cast<uint32_t>(data.ByteSize());
  putU32LE(header.data(), dataSize);
  putU32LE(header.data() + 4, static_cast<uint32_t>(header.size()));

  stream.WriteBuffer(header);
  stream.WriteBuffer(data.Memory(), static_cast<int64_t>(data.ByteSize()));
  uint64_t total = header.size() + uint64_t(dataSize);
  stream.WriteZeros(static_cast<int64_t>(AlignUp4(total) - total));
}

void TResModule::SaveToStream(TStream& stream) {
  // What a record cannot hold would read back as another resource: a language beyond
  // 16 bits (an image's directory has 32), a zero inside a type or name (an image
  // counts its names' characters; a record ends them with a zero), or a type or name
  // written as text whose first character is U+FFFF, the mark of a number in a
  // record. Nothing is written when one is found.
  for (int i = 0; i < ResourceCount(); ++i) {
    const TResourceDetails& d = *ResourceDetails(i);
    if (d.ResourceLanguage() > 0xFFFF)
      throw Exception(Format(LoadResString(StrId::ResLanguageTooWide), {ToU16(std::to_string(d.ResourceLanguage()))}));
    if (d.ResourceType().find(u'\0') != std::u16string::npos || d.ResourceName().find(u'\0') != std::u16string::npos)
      throw Exception(LoadResString(StrId::ResNameWithZero));
    if (WrittenAsTextFromOrdinalMarker(d.ResourceType()) || WrittenAsTextFromOrdinalMarker(d.ResourceName()))
      throw Exception(LoadResString(StrId::ResNameStartingWithOrdinalMarker));
  }
  if (!f16Bit) {
    auto empty = TResourceDetails::ClassInfo.CreateNewDetached(0, u"0");
    // cppcheck-suppress nullPointer ; CreateNewDetached makes the details, it never gives null
    WriteRecord(stream, *empty);
  }
  for (int i = 0; i < ResourceCount(); ++i) WriteRecord(stream, *ResourceDetails(i));
}

}  // namespace tolvane
