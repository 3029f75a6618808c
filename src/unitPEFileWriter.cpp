// The image writer: lays every section out anew, fixes the header totals and the
// positions that depend on the layout, and writes the image in one forward pass
// with its checksum.
#include <algorithm>
#include <limits>

#include "StringTable.h"
#include "platform/Checksum.h"
#include "platform/Files.h"
#include "support/Align.h"
#include "support/RangeIndex.h"
#include "unitPEFile.h"

namespace tolvane {
namespace {

constexpr uint32_t kNoDirectory = 0xFFFFFFFF;
constexpr uint32_t kMaxFileAlignment = 0x10000;

bool IsPowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

[[noreturn]] void RaiseLayout(StrId id, const std::u16string& arg = u"") {
  throw EPEException(Format(LoadResString(id), {arg}));
}

uint32_t Checked32(uint64_t v) {
  if (v > std::numeric_limits<uint32_t>::max()) RaiseLayout(StrId::LayoutOverflow);
  return static_cast<uint32_t>(v);
}

uint32_t Shifted(uint32_t value, int64_t shift) { return static_cast<uint32_t>(int64_t(value) + shift); }

}  // namespace

struct TPEModule::TSectionPlacement {
  bool hadAddress = false;  // loaded from the image (not made with CreateEmpty)
  uint32_t oldVirtualAddress = 0, oldVirtualSize = 0, oldPointer = 0, oldRawSize = 0;
  uint64_t oldVirtualEnd = 0;  // up to SectionAlignment: the loader maps the slack too
  uint32_t virtualAddress = 0, virtualSize = 0, pointer = 0, rawSize = 0;
  uint64_t virtualEnd = 0;

  int64_t VirtualShift() const { return int64_t(virtualAddress) - oldVirtualAddress; }
  int64_t FileShift() const { return int64_t(pointer) - oldPointer; }
};

// Where every section goes, decided before anything in the model changes.
struct TPEModule::TLayoutPlan {
  uint32_t fileAlignment = 0, sectionAlignment = 0;
  uint64_t e_lfanew = 0;
  uint64_t headersSize = 0;     // up to the end of the section table
  uint64_t sectionsEnd = 0;     // the file offset after the last section's data
  uint64_t oldSectionsEnd = 0;  // where the bytes after the sections started
  uint64_t oldFirstData = 0;    // where the first section's data started (0: none had any)
  uint64_t imageSize = 0;
  std::vector<TSectionPlacement> sections;
  // Which section, the first in table order, held an address or a file offset
  // before the layout, and which holds an address after it.
  TRangeIndex heldVirtual, heldInFile, holdsVirtual;

  void IndexSections() {
    for (size_t i = 0; i < sections.size(); ++i) {
      const TSectionPlacement& p = sections[i];
      if (p.hadAddress) {
        heldVirtual.Add(p.oldVirtualAddress, p.oldVirtualEnd, static_cast<int>(i));
        heldInFile.Add(p.oldPointer, uint64_t(p.oldPointer) + p.oldRawSize, static_cast<int>(i));
      }
      holdsVirtual.Add(p.virtualAddress, p.virtualEnd, static_cast<int>(i));
    }
    heldVirtual.Build();
    heldInFile.Build();
    holdsVirtual.Build();
  }

  int64_t AppendedShift() const { return int64_t(sectionsEnd) - int64_t(oldSectionsEnd); }

  const TSectionPlacement* SectionThatHeld(uint32_t rva) const {
    const int i = heldVirtual.Find(rva);
    return i < 0 ? nullptr : &sections[static_cast<size_t>(i)];
  }
  // An address no section held named no bytes; it must not name a section's bytes
  // because a section was emptied or placed there.
  bool PlacedOverNothing(uint32_t rva) const { return heldVirtual.Find(rva) < 0 && holdsVirtual.Find(rva) >= 0; }
  // Bytes between the sections' data belong to nothing, and the packed layout
  // leaves them out: an offset into them would name whatever lands there.
  bool DropsBytesAt(uint32_t offset) const {
    return oldFirstData != 0 && offset >= oldFirstData && offset < oldSectionsEnd && heldInFile.Find(offset) < 0;
  }
  // 64 bits: appended bytes that move up may take an offset past what its field holds.
  uint64_t MovedFileOffset(uint32_t offset) const {
    const int i = heldInFile.Find(offset);
    if (i >= 0) return Shifted(offset, sections[static_cast<size_t>(i)].FileShift());
    if (offset >= oldSectionsEnd) return static_cast<uint64_t>(int64_t(offset) + AppendedShift());
    return offset;
  }
};

// ---- layout ----

void TPEModule::LayoutImage() {
  const TLayoutPlan plan = PlanLayout();
  RefuseUnsafeMoves(plan);
  RefuseFileOffsetsThatCannotMove(plan);
  ApplyPlacements(plan);
  MoveLayoutDependentPositions(plan);
  fEndCommentOffset = plan.sectionsEnd;
  FixupImage();
  SetHeaderTotals(plan);
}

// Sections packed one after another from SectionAlignment and from the first
// aligned file offset after the headers and the comment block, in table order.
TPEModule::TLayoutPlan TPEModule::PlanLayout() const {
  const IMAGE_OPTIONAL_HEADER32 oh = OptionalHeader();
  TLayoutPlan plan;
  plan.fileAlignment = oh.FileAlignment;
  plan.sectionAlignment = oh.SectionAlignment;
  const uint32_t FA = plan.fileAlignment, SA = plan.sectionAlignment;
  if (!IsPowerOfTwo(FA)) RaiseLayout(StrId::BadAlignment, u"FileAlignment");
  if (!IsPowerOfTwo(SA)) RaiseLayout(StrId::BadAlignment, u"SectionAlignment");
  // Every section's data is padded to FileAlignment: a larger one than the format's
  // 64 KiB made gigabytes of padding out of a few hundred bytes of image.
  if (FA > kMaxFileAlignment) RaiseLayout(StrId::FileAlignmentTooLarge);

  const int sectionCount = fSectionList.Count();
  plan.e_lfanew = kDosHeaderSize + uint64_t(fDOSStub.ByteSize());
  plan.headersSize = plan.e_lfanew + 4 + kFileHeaderSize + fCOFFHeader.SizeOfOptionalHeader +
                     uint64_t(kSectionHeaderSize) * sectionCount;
  if (plan.headersSize > SA) RaiseLayout(StrId::HeadersTooLong);
  const uint64_t commentSize = fCommentBlock.ByteSize();
  // The bytes after the last section's data start where loading (or the last save) found them.
  plan.oldSectionsEnd = fEndCommentOffset;

  uint64_t R = alignUp(plan.headersSize + commentSize, FA);
  uint64_t V = SA;
  plan.imageSize = alignUp(plan.headersSize, SA);
  plan.sections.resize(static_cast<size_t>(sectionCount));
  for (int i = 0; i < sectionCount; ++i) {
    const TImageSection* s = fSectionList[i];
    const IMAGE_SECTION_HEADER& h = s->SectionHeader();
    TSectionPlacement& p = plan.sections[static_cast<size_t>(i)];
    p.hadAddress = h.VirtualAddress != 0;
    p.oldVirtualAddress = h.VirtualAddress;
    p.oldVirtualSize = h.VirtualSize;
    p.oldVirtualEnd = uint64_t(h.VirtualAddress) + alignUp(h.VirtualSize, SA);
    p.oldPointer = h.PointerToRawData;
    if (p.oldPointer != 0 && (plan.oldFirstData == 0 || p.oldPointer < plan.oldFirstData))
      plan.oldFirstData = p.oldPointer;
    p.oldRawSize = h.SizeOfRawData;
    const uint64_t dataSize = uint64_t(s->RawData().ByteSize());
    // The uninitialized part is VirtualSize - SizeOfRawData of an unsigned header, so
    // from 2 GiB on its signed field reads negative: taken as 0 it dropped the section.
    const uint64_t vs = dataSize + static_cast<uint32_t>(s->UninitializedDataSize());
    p.pointer = Checked32(R);
    p.virtualAddress = Checked32(V);
    p.virtualSize = Checked32(vs);
    p.virtualEnd = V + alignUp(vs, SA);
    p.rawSize = Checked32(alignUp(dataSize, FA));
    plan.imageSize += alignUp(vs, SA);
    R += p.rawSize;
    V += alignUp(vs, SA);
  }
  Checked32(plan.imageSize);
  plan.sectionsEnd = Checked32(R);
  // With no section's data in the file, a reader finds the appended bytes right
  // after the headers and the comment block: padding put there would join them,
  // and grow with every save.
  if (std::all_of(plan.sections.begin(), plan.sections.end(),
                  [](const TSectionPlacement& p) { return p.rawSize == 0; })) {
    plan.sectionsEnd = plan.headersSize + commentSize;
    for (TSectionPlacement& p : plan.sections) p.pointer = static_cast<uint32_t>(plan.sectionsEnd);
  }
  plan.IndexSections();
  return plan;
}

// Code refers to data by absolute address: a section that holds such things must
// keep its address, or the image would break at run time.
void TPEModule::RefuseUnsafeMoves(const TLayoutPlan& plan) const {
  const std::vector<bool> mayMove = SectionsThatMayMove();
  for (int i = 0; i < fSectionList.Count(); ++i) {
    const TSectionPlacement& p = plan.sections[static_cast<size_t>(i)];
    if (p.hadAddress && p.VirtualShift() != 0 && !mayMove[static_cast<size_t>(i)])
      RaiseLayout(
          IsDiscardable(fSectionList[i]->SectionHeader()) ? StrId::DiscardableCodeWouldMove : StrId::SectionWouldMove,
          ToU16(fSectionList[i]->SectionName()));
  }
  for (int i = 0; i < fSectionList.Count(); ++i) {
    uint32_t entry = fSectionList[i]->DirectoryEntry();
    if (entry != kNoDirectory && entry >= uint32_t(DataDirectoryCount())) RaiseLayout(StrId::TooFewDataDirectories);
  }
}

// An offset into bytes the packed layout drops would name whatever lands there; one
// into the appended bytes moves with them and must still fit its 32 bits (the
// appended bytes themselves may reach past 4 GiB: nothing in them is an offset).
// Checked before anything changes, so that a refused image is left as it was.
void TPEModule::RefuseFileOffsetsThatCannotMove(const TLayoutPlan& plan) {
  auto refuseIfUnmovable = [&](uint32_t offset, const std::string& what) {
    if (offset == 0) return;
    if (plan.DropsBytesAt(offset)) RaiseLayout(StrId::OffsetIntoDroppedBytes, ToU16(what));
    if (plan.MovedFileOffset(offset) > UINT32_MAX) RaiseLayout(StrId::OffsetBeyond4GiB, ToU16(what));
  };
  for (const THeaderFileOffset& offset : HeaderFileOffsets()) refuseIfUnmovable(*offset.field, offset.what);
  if (DataDirectoryCount() > int(IMAGE_DIRECTORY_ENTRY_SECURITY))
    refuseIfUnmovable(DataDirectory(IMAGE_DIRECTORY_ENTRY_SECURITY).VirtualAddress(), "The certificate table");
  for (const TDebugRecordPlace& place : DebugRecords(plan))
    refuseIfUnmovable(place.Decode().PointerToRawData, "A debug record's PointerToRawData");
}

// The symbol table lies after the sections (MinGW) or inside the last one (Go's
// .symtab); relocations and line numbers of object files may linger in an image too.
std::vector<TPEModule::THeaderFileOffset> TPEModule::HeaderFileOffsets() {
  std::vector<THeaderFileOffset> offsets{{&fCOFFHeader.PointerToSymbolTable, "PointerToSymbolTable"}};
  for (int i = 0; i < fSectionList.Count(); ++i) {
    IMAGE_SECTION_HEADER& h = fSectionList[i]->MutableSectionHeader();
    const std::string name = fSectionList[i]->SectionName();
    offsets.push_back({&h.PointerToRelocations, "The PointerToRelocations of section " + name});
    offsets.push_back({&h.PointerToLinenumbers, "The PointerToLinenumbers of section " + name});
  }
  return offsets;
}

bool TPEModule::SectionHoldsAddress(const IMAGE_SECTION_HEADER& h, uint32_t rva) {
  return rva >= h.VirtualAddress && uint64_t(rva) < uint64_t(h.VirtualAddress) + h.VirtualSize;
}

bool TPEModule::SectionSpansAddress(const IMAGE_SECTION_HEADER& h, uint32_t rva) const {
  const uint32_t SA = OptionalHeader().SectionAlignment;
  uint64_t end = uint64_t(h.VirtualAddress) + h.VirtualSize;
  if (IsPowerOfTwo(SA)) end = uint64_t(h.VirtualAddress) + alignUp(h.VirtualSize, SA);
  return rva >= h.VirtualAddress && uint64_t(rva) < end;
}

// Only what no code addresses absolutely may move: discardable data, the base
// relocations (the section entry 5 points into, or named .reloc), and a section
// that a directory entry describes whole (the rebuilt resource section). Asked for
// every section at once: the relocated pages, read once, may number millions.
std::vector<bool> TPEModule::SectionsThatMayMove() const {
  const int relocationSection = RelocationSectionIndex();
  std::vector<uint32_t> pages = RelocatedPages(relocationSection);
  std::sort(pages.begin(), pages.end());
  std::vector<bool> mayMove(static_cast<size_t>(fSectionList.Count()));
  for (int i = 0; i < fSectionList.Count(); ++i) {
    const TImageSection* s = fSectionList[i];
    mayMove[static_cast<size_t>(i)] = IsDiscardableData(s->SectionHeader(), pages) || s->SectionName() == ".reloc" ||
                                      s->DirectoryEntry() != kNoDirectory || i == relocationSection;
  }
  return mayMove;
}

// Discardable code, a driver's INIT section say, runs before it is discarded: its
// absolute addresses, base relocations and the entry point in it must stay true.
// So must data that base relocations patch, which code addresses absolutely.
bool TPEModule::IsDiscardableData(const IMAGE_SECTION_HEADER& h, const std::vector<uint32_t>& sortedPages) const {
  const uint32_t entryPoint = OptionalHeader().AddressOfEntryPoint;
  if (!IsDiscardable(h) || (h.Characteristics & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE)) != 0 ||
      (entryPoint != 0 && SectionHoldsAddress(h, entryPoint)))
    return false;
  const auto firstPageFromSection = std::lower_bound(sortedPages.begin(), sortedPages.end(), h.VirtualAddress);
  return firstPageFromSection == sortedPages.end() || !SectionHoldsAddress(h, *firstPageFromSection);
}

// The page of every block of base relocations in the section at index, as far as
// the blocks read.
std::vector<uint32_t> TPEModule::RelocatedPages(int index) const {
  std::vector<uint32_t> pages;
  if (index < 0) return pages;
  const IMAGE_SECTION_HEADER& h = fSectionList[index]->SectionHeader();
  const TDataDirectoryEntry entry = const_cast<TPEModule*>(this)->DataDirectory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
  const ByteView data = fSectionList[index]->RawData().View();
  const uint64_t start = entry.VirtualAddress() - h.VirtualAddress;
  if (start >= data.size()) return pages;
  const ByteView blocks = data.sub(start, std::min<uint64_t>(entry.Size(), data.size() - start));
  constexpr uint32_t kBlockHeaderSize = 8;
  for (uint64_t at = 0; blocks.has(at, kBlockHeaderSize);) {
    pages.push_back(blocks.u32(at));
    const uint32_t blockSize = blocks.u32(at + 4);
    if (blockSize < kBlockHeaderSize) break;
    at += blockSize;
  }
  return pages;
}

// The last section, in table order, whose bytes hold the address of data directory
// entry 5. Only its bytes count: an entry in the slack after .idata, say, must not
// let .idata move.
int TPEModule::RelocationSectionIndex() const {
  if (DataDirectoryCount() <= int(IMAGE_DIRECTORY_ENTRY_BASERELOC)) return -1;
  const uint32_t rva = const_cast<TPEModule*>(this)->DataDirectory(IMAGE_DIRECTORY_ENTRY_BASERELOC).VirtualAddress();
  int found = -1;
  for (int i = 0; i < fSectionList.Count() && rva != 0; ++i) {
    const IMAGE_SECTION_HEADER& h = fSectionList[i]->SectionHeader();
    if (h.VirtualAddress != 0 && SectionHoldsAddress(h, rva)) found = i;
  }
  return found;
}

void TPEModule::ApplyPlacements(const TLayoutPlan& plan) {
  fDOSHeader.e_lfanew = static_cast<uint32_t>(plan.e_lfanew);
  uint16_t numberOfSections = 0;
  for (int i = 0; i < fSectionList.Count(); ++i) {
    TImageSection* s = fSectionList[i];
    const TSectionPlacement& p = plan.sections[static_cast<size_t>(i)];
    IMAGE_SECTION_HEADER& h = s->MutableSectionHeader();
    h.PointerToRawData = p.pointer;
    h.VirtualAddress = p.virtualAddress;
    s->Fixup();
    h.VirtualSize = p.virtualSize;
    h.SizeOfRawData = p.rawSize;
    if (p.virtualSize == 0) continue;
    ++numberOfSections;
    if (s->DirectoryEntry() != kNoDirectory) {
      TDataDirectoryEntry dir = DataDirectory(static_cast<int>(s->DirectoryEntry()));
      dir.SetVirtualAddress(p.virtualAddress);
      dir.SetSize(p.virtualSize);
    }
  }
  fCOFFHeader.NumberOfSections = numberOfSections;
}

// SizeOfHeaders, the size totals by kind, the bases, SizeOfImage and the entry point.
void TPEModule::SetHeaderTotals(const TLayoutPlan& plan) {
  IMAGE_OPTIONAL_HEADER32 oh = OptionalHeader();
  uint32_t codeTotal = 0, initializedTotal = 0, uninitializedTotal = 0, baseOfCode = 0xFFFFFFFF;
  for (int i = 0; i < fSectionList.Count(); ++i) {
    const IMAGE_SECTION_HEADER& h = fSectionList[i]->SectionHeader();
    if (h.VirtualSize == 0) continue;
    const uint32_t aligned = static_cast<uint32_t>(alignUp(h.VirtualSize, plan.fileAlignment));
    if (h.Characteristics & IMAGE_SCN_MEM_EXECUTE) {
      codeTotal += aligned;
      baseOfCode = std::min(baseOfCode, h.VirtualAddress);
    } else if (h.Characteristics & IMAGE_SCN_CNT_INITIALIZED_DATA) {
      initializedTotal += aligned;
    } else if (h.Characteristics & IMAGE_SCN_CNT_UNINITIALIZED_DATA) {
      uninitializedTotal += aligned;
    }
  }
  oh.SizeOfHeaders = static_cast<uint32_t>(alignUp(plan.headersSize, plan.fileAlignment));
  oh.CheckSum = 0;
  oh.SizeOfCode = codeTotal;
  oh.SizeOfInitializedData = initializedTotal;
  oh.SizeOfUninitializedData = uninitializedTotal;
  oh.BaseOfCode = baseOfCode;
  oh.BaseOfData =
      static_cast<uint32_t>(uint64_t(baseOfCode) + alignUp(uint64_t(fCOFFHeader.SizeOfOptionalHeader) + 24 + codeTotal,
                                                           plan.sectionAlignment));
  oh.SizeOfImage = static_cast<uint32_t>(plan.imageSize);
  // A DLL without an entry point has none on purpose: the loader would call
  // whatever code stands at the address we gave it.
  const bool isDll = (fCOFFHeader.Characteristics & IMAGE_FILE_DLL) != 0;
  if (oh.AddressOfEntryPoint == 0 && !isDll) {
    if (TImageSection* code = FindFirstSectionWithFlags(IMAGE_SCN_CNT_CODE))
      oh.AddressOfEntryPoint = code->SectionHeader().VirtualAddress;
  }
  SetOptionalHeaderFields(oh);
}

// Directory entries, debug records and file offsets that point into a section that
// moved, or into the bytes after the last section, move with what they point at.
void TPEModule::MoveLayoutDependentPositions(const TLayoutPlan& plan) {
  MoveDataDirectories(plan);
  for (const THeaderFileOffset& offset : HeaderFileOffsets())
    if (*offset.field != 0) *offset.field = static_cast<uint32_t>(plan.MovedFileOffset(*offset.field));
}

void TPEModule::MoveDataDirectories(const TLayoutPlan& plan) {
  std::vector<bool> tied(static_cast<size_t>(DataDirectoryCount()), false);
  for (int i = 0; i < fSectionList.Count(); ++i) {
    uint32_t entry = fSectionList[i]->DirectoryEntry();
    if (entry != kNoDirectory && entry < tied.size()) tied[entry] = true;
  }
  for (int k = 0; k < DataDirectoryCount(); ++k) {
    if (tied[static_cast<size_t>(k)]) continue;
    TDataDirectoryEntry dir = DataDirectory(k);
    const uint32_t rva = dir.VirtualAddress();
    if (rva == 0) continue;
    if (k == int(IMAGE_DIRECTORY_ENTRY_SECURITY)) {  // a file offset, not an address
      dir.SetVirtualAddress(static_cast<uint32_t>(plan.MovedFileOffset(rva)));
      continue;
    }
    // The debug records lie in some section's data; patch them where they stand,
    // before the entry that finds them moves.
    if (k == int(IMAGE_DIRECTORY_ENTRY_DEBUG))
      for (const TDebugRecordPlace& place : DebugRecords(plan)) MoveDebugRecord(plan, place);
    if (const TSectionPlacement* p = plan.SectionThatHeld(rva)) {
      dir.SetVirtualAddress(Shifted(rva, p->VirtualShift()));
    } else if (plan.PlacedOverNothing(rva)) {
      dir.SetVirtualAddress(0);
      dir.SetSize(0);
    }
  }
}

IMAGE_DEBUG_DIRECTORY TPEModule::TDebugRecordPlace::Decode() const {
  return IMAGE_DEBUG_DIRECTORY::Decode(data->View().from(at));
}

// Written over the record where it stands; the section's bytes become its own first.
void TPEModule::TDebugRecordPlace::Encode(const IMAGE_DEBUG_DIRECTORY& record) const {
  FixedByteWriter out(data->Memory(), data->ByteSize());
  record.Encode(out, at);
}

// The debug records as they stand in the data of the section that held them.
std::vector<TPEModule::TDebugRecordPlace> TPEModule::DebugRecords(const TLayoutPlan& plan) {
  constexpr uint32_t kRecordSize = IMAGE_DEBUG_DIRECTORY::kSize;
  std::vector<TDebugRecordPlace> records;
  if (DataDirectoryCount() <= int(IMAGE_DIRECTORY_ENTRY_DEBUG)) return records;
  TDataDirectoryEntry dir = DataDirectory(IMAGE_DIRECTORY_ENTRY_DEBUG);
  const uint32_t debugRva = dir.VirtualAddress(), debugSize = dir.Size();
  if (debugRva == 0 || debugSize < kRecordSize) return records;
  const TSectionPlacement* p = plan.SectionThatHeld(debugRva);
  if (p == nullptr) return records;
  TMemoryStream& data = fSectionList[static_cast<int>(p - plan.sections.data())]->RawData();
  const uint64_t start = debugRva - p->oldVirtualAddress;
  for (uint64_t at = start; at + kRecordSize <= start + debugSize; at += kRecordSize) {
    if (at + kRecordSize > data.ByteSize()) break;
    records.push_back({&data, at});
  }
  return records;
}

void TPEModule::MoveDebugRecord(const TLayoutPlan& plan, const TDebugRecordPlace& place) {
  IMAGE_DEBUG_DIRECTORY record = place.Decode();
  const uint32_t address = record.AddressOfRawData;
  if (address != 0) {
    if (const TSectionPlacement* q = plan.SectionThatHeld(address))
      record.AddressOfRawData = Shifted(address, q->VirtualShift());
    else if (plan.PlacedOverNothing(address))
      record.AddressOfRawData = 0;  // not mapped, as it never was
  }
  if (record.PointerToRawData != 0)
    record.PointerToRawData = static_cast<uint32_t>(plan.MovedFileOffset(record.PointerToRawData));
  place.Encode(record);
}

// ---- writing ----

namespace {

// Feeds every byte written to the image checksum, so the image is summed as it is
// produced instead of being read back.
class TChecksummingWriter {
public:
  TChecksummingWriter(TStream& stream, uint64_t checksumOffset) : fStream(stream), fChecksum(checksumOffset) {}

  // An overlay of gigabytes goes out in pieces, each summed while it is still in the cache.
  static constexpr size_t kPiece = size_t(1) << 20;

  void Write(const uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
      const size_t n = std::min(size - done, kPiece);
      fStream.WriteBuffer(data + done, static_cast<int64_t>(n));
      fChecksum.Add(data + done, n);
      done += n;
    }
    fWritten += size;
  }
  void Write(const std::vector<uint8_t>& bytes) { Write(bytes.data(), bytes.size()); }
  void Write(ByteView bytes) { Write(bytes.data(), static_cast<size_t>(bytes.size())); }
  // Bytes read once, from a mapped input say, given back piece by piece as they go out.
  void WriteOnce(const TMemoryStream& bytes) {
    const ByteView view = bytes.View();
    for (uint64_t done = 0; done < view.size(); done += kPiece) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(view.size() - done, kPiece));
      Write(view.data() + done, n);
      platform::ReleaseMappedPages(bytes.Owner(), view.data() + done, n);
    }
  }
  void Zeros(uint64_t count) {
    static const uint8_t kZeros[65536] = {};
    while (count > 0) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof kZeros));
      Write(kZeros, n);
      count -= n;
    }
  }
  uint64_t Written() const { return fWritten; }
  uint32_t Checksum() const { return fChecksum.Finish(); }

private:
  TStream& fStream;
  platform::TImageChecksum fChecksum;
  uint64_t fWritten = 0;
};

}  // namespace

bool TPEModule::WriteDeferredSectionData(const TImageSection*, const std::function<void(const uint8_t*, size_t)>&) {
  return false;
}

void TPEModule::FinishDeferredSections(TStream*, int64_t) {}

void TPEModule::SaveToStream(TStream& s) {
  LayoutImage();
  int64_t start = 0;
  try {
    start = s.Position();
    WriteImage(s, start);
  } catch (...) {
    FinishDeferredSections(nullptr, start);
    throw;
  }
  FinishDeferredSections(&s, start);
}

void TPEModule::WriteImage(TStream& s, int64_t start) {
  const uint64_t checksumOffset = uint64_t(fDOSHeader.e_lfanew) + 4 + kFileHeaderSize + kCheckSumFieldOffset;
  TChecksummingWriter out(s, checksumOffset);

  std::vector<uint8_t> headers;
  fDOSHeader.Encode(headers);
  out.Write(headers);
  out.Write(fDOSStub.View().data(), fDOSStub.ByteSize());
  headers.clear();
  ByteWriter(headers).u32(kPeSignature);
  fCOFFHeader.Encode(headers);
  out.Write(headers);
  out.Write(fOptionalHeader);
  headers.clear();
  for (int i = 0; i < fSectionList.Count(); ++i) {
    const IMAGE_SECTION_HEADER& h = fSectionList[i]->SectionHeader();
    if (h.VirtualSize != 0) h.Encode(headers);
  }
  out.Write(headers);
  out.Write(fCommentBlock.View());

  for (int i = 0; i < fSectionList.Count(); ++i) {
    TImageSection* section = fSectionList[i];
    const IMAGE_SECTION_HEADER& h = section->SectionHeader();
    if (h.VirtualSize == 0) continue;
    if (h.PointerToRawData > out.Written()) out.Zeros(h.PointerToRawData - out.Written());
    // Read in place: a section still viewing the input is written without a copy.
    ByteView data = section->RawData().View();
    if (!WriteDeferredSectionData(section, [&](const uint8_t* p, size_t n) { out.Write(p, n); }))
      out.Write(data.data(), data.size());
    if (h.SizeOfRawData > data.size()) out.Zeros(h.SizeOfRawData - data.size());
  }
  // Where the layout put them, which offsets into them count on: with no section's
  // data before them, the headers of sections left out still take their room.
  if (fEndCommentOffset > out.Written()) out.Zeros(fEndCommentOffset - out.Written());
  out.WriteOnce(fEndComment);

  uint8_t checksum[4];
  putU32LE(checksum, out.Checksum());
  s.SetPosition(start + static_cast<int64_t>(checksumOffset));
  s.WriteBuffer(checksum, 4);
  s.Seek(0, TSeekOrigin::soEnd);
}

}  // namespace tolvane
