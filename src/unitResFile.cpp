#include "unitResFile.h"

#include "ResRecords.h"
#include "StringTable.h"
#include "platform/Files.h"
#include "support/Align.h"

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

uint64_t AlignUp4(uint64_t v) { return alignUp(v, 4); }

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
  DecodeFile(TSharedBytes{bytes, std::move(owner)});
}

void TResModule::LoadFromBytes(ByteView bytes) { DecodeFile(TSharedBytes{bytes, nullptr}); }

void TResModule::DecodeFile(const TSharedBytes& file) {
  f16Bit = true;
  uint64_t offset = 0;
  while (offset + TResRecordHeader::kSizesSize < file.bytes.size()) {
    try {
      bool emptyRecord = false;
      if (auto details = DecodeRecord(file, offset, emptyRecord)) AddResource(std::move(details));
      if (emptyRecord) f16Bit = false;
    } catch (...) {
      // Every record that cannot be decoded is reported alike; earlier ones stay.
      throw Exception(LoadResString(StrId::ResFileCorrupt));
    }
  }
  SortResources();
}

// A record that does not fit the file, or would not advance the reader, is corrupt.
// Gives the resource of the record at offset, or null for the leading empty record;
// offset moves to the next record.
std::unique_ptr<TResourceDetails> TResModule::DecodeRecord(const TSharedBytes& file, uint64_t& offset,
                                                           bool& sawEmptyRecord) {
  const TResRecordHeader h = TResRecordHeader::Decode(file.bytes.from(offset));
  const uint64_t recordSize = uint64_t(h.HeaderSize) + h.DataSize;
  if (AlignUp4(recordSize) == 0) throw Exception(u"empty record");
  ByteView data = file.bytes.sub(offset, recordSize).sub(h.HeaderSize, h.DataSize);
  offset += AlignUp4(recordSize);

  if (h.DataSize == 0 && h.Name == u"0") {  // the leading empty record of a 32-bit file
    sawEmptyRecord = true;
    return nullptr;
  }
  auto details =
      file.owner
          ? TResourceDetails::CreateResourceDetails(this, h.LanguageId, h.Name, h.Type, {data, file.owner})
          : TResourceDetails::CreateResourceDetails(this, h.LanguageId, h.Name, h.Type, data.size(), data.data());
  details->SetCharacteristics(h.Characteristics);
  details->SetVersion(h.Version);
  details->SetMemoryFlags(h.MemoryFlags);
  details->SetDataVersion(h.DataVersion);
  return details;
}

// ---- TResModule: writing ----

namespace {

// Text that a reader would take for an ordinal: its first unit is the marker.
bool WrittenAsTextFromOrdinalMarker(const std::u16string& id) {
  return !id.empty() && id[0] == TResRecordHeader::kOrdinalMarker && !TResRecordHeader::WrittenAsOrdinal(id);
}

}  // namespace

void TResModule::WriteRecord(TStream& stream, TResourceDetails& details) {
  const TMemoryStream& data = details.data();
  TResRecordHeader h;
  h.DataSize = static_cast<uint32_t>(data.ByteSize());
  h.Type = details.ResourceType();
  h.Name = details.ResourceName();
  h.DataVersion = details.DataVersion();
  h.MemoryFlags = details.MemoryFlags();
  h.LanguageId = static_cast<uint16_t>(details.ResourceLanguage());
  h.Version = details.Version();
  h.Characteristics = details.Characteristics();
  h.HeaderSize = h.EncodedSize();
  std::vector<uint8_t> header;
  h.Encode(header);

  stream.WriteBuffer(header);
  stream.WriteBuffer(data.Memory(), static_cast<int64_t>(data.ByteSize()));
  uint64_t total = header.size() + uint64_t(h.DataSize);
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
