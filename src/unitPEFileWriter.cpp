// The image writer: lays every section out anew, fixes the header totals and the
// positions that depend on the layout, and writes the image in one forward pass
// with its checksum.
#include <algorithm>
#include <limits>
#include <type_traits>

#include "BaseRelocations.h"
#include "SectionMap.h"
#include "StringTable.h"
#include "platform/Checksum.h"
#include "platform/Files.h"
#include "support/Align.h"
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
  int source = -1;           // its index in the section list; -1: the pending section, not in it yet
  bool rebuilt = false;      // its bytes are written anew (the resource section)
  bool hadAddress = false;   // loaded from the image (not made with CreateEmpty)
  IMAGE_SECTION_HEADER old;  // as it stood
  uint32_t virtualAddress = 0, virtualSize = 0, pointer = 0, rawSize = 0;

  int64_t VirtualShift() const { return int64_t(virtualAddress) - old.VirtualAddress; }
  int64_t FileShift() const { return int64_t(pointer) - old.PointerToRawData; }
};

// Where every section goes, decided before anything in the model changes.
struct TPEModule::TLayoutPlan {
  using TExtent = TSectionMap::TExtent;
  uint32_t fileAlignment = 0, sectionAlignment = 0;
  uint64_t e_lfanew = 0;
  uint64_t headersSize = 0;     // up to the end of the section table
  uint64_t sectionsEnd = 0;     // the file offset after the last section's data
  uint64_t oldSectionsEnd = 0;  // where the bytes after the sections started
  uint64_t oldFirstData = 0;    // where the first section's data started (0: none had any)
  uint64_t imageSize = 0;
  std::vector<TSectionPlacement> sections;
  // Which section held an address or a file offset before the layout, and which
  // holds an address after it.
  TSectionMap before, after;

  void MapSections() {
    std::vector<IMAGE_SECTION_HEADER> old, placed(sections.size());
    for (size_t i = 0; i < sections.size(); ++i) {
      const TSectionPlacement& p = sections[i];
      old.push_back(p.hadAddress ? p.old : IMAGE_SECTION_HEADER{});
      placed[i].VirtualAddress = p.virtualAddress;
      placed[i].VirtualSize = p.virtualSize;
    }
    before = TSectionMap(old, sectionAlignment);
    after = TSectionMap(placed, sectionAlignment);
  }

  int64_t AppendedShift() const { return int64_t(sectionsEnd) - int64_t(oldSectionsEnd); }
  uint32_t MovedAddress(uint32_t rva) const;

  const TSectionPlacement* SectionThatHeld(uint32_t rva) const {
    const int i = before.SectionOf(TExtent::MappedSpan, rva);
    return i < 0 ? nullptr : &sections[static_cast<size_t>(i)];
  }
  // An address no section held named no bytes; it must not name a section's bytes
  // because a section was emptied or placed there.
  bool PlacedOverNothing(uint32_t rva) const {
    return before.SectionOf(TExtent::MappedSpan, rva) < 0 && after.SectionOf(TExtent::MappedSpan, rva) >= 0;
  }
  // Bytes between the sections' kept data belong to nothing, and the packed layout
  // leaves them out: an offset into them would name whatever lands there, or zeros
  // where a section's file padding was.
  bool DropsBytesAt(uint32_t offset) const {
    return oldFirstData != 0 && offset >= oldFirstData && offset < oldSectionsEnd &&
           before.SectionOf(TExtent::FileBytes, offset) < 0;
  }
  // 64 bits: appended bytes that move up may take an offset past what its field holds.
  // The bytes of a section written anew are not the bytes an offset named.
  bool RebuildsBytesAt(uint32_t offset) const {
    const int i = before.SectionOf(TExtent::FileBytes, offset);
    return i >= 0 && sections[static_cast<size_t>(i)].rebuilt;
  }
  uint64_t MovedFileOffset(uint32_t offset) const {
    const int i = before.SectionOf(TExtent::FileBytes, offset);
    if (i >= 0) return Shifted(offset, sections[static_cast<size_t>(i)].FileShift());
    if (offset >= oldSectionsEnd) return static_cast<uint64_t>(int64_t(offset) + AppendedShift());
    return offset;
  }
};

// ---- layout ----

void TPEModule::LayoutImage() {
  const TLayoutPlan plan = PlanLayout(nullptr);
  RefuseLayout(plan, nullptr);
  ApplyPlacements(plan);
  MoveLayoutDependentPositions(plan);
  fEndCommentOffset = plan.sectionsEnd;
  FixupImage();
  SetHeaderTotals(plan);
}

// Checked before anything changes, so that a refused image is left as it was.
void TPEModule::RefuseLayout(const TLayoutPlan& plan, const TPendingSection* pending) {
  RefuseUnsafeMoves(plan, pending);
  RefuseFileOffsetsThatCannotMove(plan);
}

IMAGE_SECTION_HEADER TPEModule::RefuseLayoutWith(const TPendingSection& pending,
                                                 std::vector<uint32_t>& movedAddresses) {
  const TLayoutPlan plan = PlanLayout(&pending);
  RefuseLayout(plan, &pending);
  movedAddresses.clear();
  for (int k = 0; k < DataDirectoryCount(); ++k)
    movedAddresses.push_back(plan.MovedAddress(DataDirectory(k).VirtualAddress()));
  const TSectionPlacement& p = plan.sections[static_cast<size_t>(pending.index)];
  IMAGE_SECTION_HEADER placed{};
  placed.VirtualAddress = p.virtualAddress;
  placed.VirtualSize = p.virtualSize;
  return placed;
}

// Sections packed one after another from SectionAlignment and from the first
// aligned file offset after the headers and the comment block, in table order;
// with pending, as if the resource writer had already given it its bytes.
TPEModule::TLayoutPlan TPEModule::PlanLayout(const TPendingSection* pending) const {
  const TOptionalHeader oh = OptionalHeader();
  TLayoutPlan plan;
  plan.fileAlignment = oh.FileAlignment();
  plan.sectionAlignment = oh.SectionAlignment();
  const uint32_t FA = plan.fileAlignment, SA = plan.sectionAlignment;
  if (!IsPowerOfTwo(FA)) RaiseLayout(StrId::BadAlignment, u"FileAlignment");
  if (!IsPowerOfTwo(SA)) RaiseLayout(StrId::BadAlignment, u"SectionAlignment");
  // Every section's data is padded to FileAlignment: a larger one than the format's
  // 64 KiB made gigabytes of padding out of a few hundred bytes of image.
  if (FA > kMaxFileAlignment) RaiseLayout(StrId::FileAlignmentTooLarge);

  const bool inserting = pending != nullptr && pending->inserted;
  const int sectionCount = fSectionList.Count() + (inserting ? 1 : 0);
  plan.e_lfanew = kDosHeaderSize + uint64_t(fDOSStub.ByteSize());
  plan.headersSize = plan.e_lfanew + 4 + kFileHeaderSize + fCOFFHeader.SizeOfOptionalHeader +
                     uint64_t(kSectionHeaderSize) * sectionCount;
  if (plan.headersSize > SA) RaiseLayout(StrId::HeadersTooLong);
  uint64_t commentSize = fCommentBlock.ByteSize();
  if (pending != nullptr && pending->takesCommentBytes) commentSize -= kSectionHeaderSize;
  // The bytes after the last section's data start where loading (or the last save) found them.
  plan.oldSectionsEnd = fEndCommentOffset;

  uint64_t R = alignUp(plan.headersSize + commentSize, FA);
  uint64_t V = SA;
  plan.imageSize = alignUp(plan.headersSize, SA);
  plan.sections.resize(static_cast<size_t>(sectionCount));
  for (int i = 0; i < sectionCount; ++i) {
    TSectionPlacement& p = plan.sections[static_cast<size_t>(i)];
    p.source = inserting && i >= pending->index ? (i == pending->index ? -1 : i - 1) : i;
    const bool isPending = pending != nullptr && i == pending->index;
    p.rebuilt = isPending || (p.source >= 0 && fSectionList[p.source]->DirectoryEntry() != kNoDirectory);
    uint64_t dataSize = pending != nullptr ? pending->size : 0, uninitialized = 0;
    if (p.source >= 0) {
      const TImageSection* s = fSectionList[p.source];
      const IMAGE_SECTION_HEADER& h = s->SectionHeader();
      p.hadAddress = h.VirtualAddress != 0;
      p.old = h;
      if (h.PointerToRawData != 0 && (plan.oldFirstData == 0 || h.PointerToRawData < plan.oldFirstData))
        plan.oldFirstData = h.PointerToRawData;
      // The uninitialized part is VirtualSize - SizeOfRawData of an unsigned header, so
      // from 2 GiB on its signed field reads negative: taken as 0 it dropped the section.
      if (!isPending) {
        dataSize = uint64_t(s->RawData().ByteSize());
        uninitialized = static_cast<uint32_t>(s->UninitializedDataSize());
      }
    }
    const uint64_t vs = dataSize + uninitialized;
    p.pointer = Checked32(R);
    p.virtualAddress = Checked32(V);
    p.virtualSize = Checked32(vs);
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
  plan.MapSections();
  return plan;
}

// A section that something at run time holds the address of must keep that
// address, or the image would break when it runs.
void TPEModule::RefuseUnsafeMoves(const TLayoutPlan& plan, const TPendingSection* pending) const {
  const std::vector<TPin> pins = SectionPins();
  for (size_t i = 0; i < plan.sections.size(); ++i) {
    const TSectionPlacement& p = plan.sections[i];
    // The pending section is tied to its directory entry, as the resource writer will tie it.
    if (p.source < 0 || (pending != nullptr && static_cast<int>(i) == pending->index)) continue;
    const TPin pin = pins[static_cast<size_t>(p.source)];
    if (p.hadAddress && p.VirtualShift() != 0 && pin != TPin::None)
      RaiseLayout(RefusalOf(pin), ToU16(fSectionList[p.source]->SectionName()));
  }
  std::vector<uint32_t> entries;
  for (int i = 0; i < fSectionList.Count(); ++i) entries.push_back(fSectionList[i]->DirectoryEntry());
  if (pending != nullptr) entries.push_back(pending->directoryEntry);
  for (uint32_t entry : entries)
    if (entry != kNoDirectory && entry >= uint32_t(DataDirectoryCount())) RaiseLayout(StrId::TooFewDataDirectories);
}

// Where an address that a directory entry or a debug record holds goes: with the
// section that held it, or to 0 where it named nothing and a section now lies there.
uint32_t TPEModule::TLayoutPlan::MovedAddress(uint32_t rva) const {
  if (const TSectionPlacement* p = SectionThatHeld(rva)) return Shifted(rva, p->VirtualShift());
  return PlacedOverNothing(rva) ? 0 : rva;
}

StrId TPEModule::RefusalOf(TPin pin) {
  switch (pin) {
    case TPin::NotDiscardable:
      return StrId::SectionWouldMove;
    case TPin::Code:
      return StrId::DiscardableCodeWouldMove;
    case TPin::EntryPoint:
      return StrId::EntryPointSectionWouldMove;
    case TPin::UnknownPointers:
      return StrId::UnknownPointersSectionWouldMove;
    case TPin::PatchedBytes:
      return StrId::PatchedSectionWouldMove;
    case TPin::PointedInto:
    case TPin::None:
      break;
  }
  return StrId::PointedToSectionWouldMove;
}

// An offset into bytes the packed layout drops would name whatever lands there; one
// into the appended bytes moves with them and must still fit its 32 bits (the
// appended bytes themselves may reach past 4 GiB: nothing in them is an offset).
void TPEModule::RefuseFileOffsetsThatCannotMove(const TLayoutPlan& plan) {
  auto refuseIfUnmovable = [&](uint32_t offset, const std::string& what) {
    if (offset == 0) return;
    if (plan.DropsBytesAt(offset)) RaiseLayout(StrId::OffsetIntoDroppedBytes, ToU16(what));
    if (plan.RebuildsBytesAt(offset)) RaiseLayout(StrId::OffsetIntoRebuiltBytes, ToU16(what));
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

TSectionMap TPEModule::CurrentSectionMap() const {
  std::vector<IMAGE_SECTION_HEADER> headers;
  headers.reserve(static_cast<size_t>(fSectionList.Count()));
  for (int i = 0; i < fSectionList.Count(); ++i) headers.push_back(fSectionList[i]->SectionHeader());
  return TSectionMap(headers, OptionalHeader().SectionAlignment());
}

namespace {

// DWARF's sections, Go's symbol table, and the section older Microsoft linkers
// gave the debug directory's data.
bool IsDebugDataName(const std::string& name) {
  return name.rfind(".debug_", 0) == 0 || name.rfind(".zdebug_", 0) == 0 || name == ".symtab" || name == ".debug";
}

}  // namespace

// What keeps each section at its address, in table order. Free to move are the
// base relocations when their section holds nothing else (their directory entry
// moves with them; a name alone says nothing of what else is there), the section a
// directory entry describes whole (the rebuilt resource section), and discardable
// data that nothing at run time holds the address of. Where base relocations
// name every absolute address the image holds of itself, those are read: the
// sections they patch and the sections they point into stay. Where code reaches
// data without them (64-bit code addresses relative to itself; an image without
// base relocations), nothing tells who points where: only debug data, which no
// running code reads, may move.
std::vector<TPEModule::TPin> TPEModule::SectionPins() const {
  using TExtent = TSectionMap::TExtent;
  const TSectionMap map = CurrentSectionMap();
  const int relocationSection = RelocationSectionIndex(map);
  const TRelocationPins relocated = RelocationPins(map, relocationSection);
  const uint32_t entryPoint = OptionalHeader().AddressOfEntryPoint();
  const int entrySection = entryPoint == 0 ? -1 : map.SectionOf(TExtent::Bytes, entryPoint);
  std::vector<TPin> pins(static_cast<size_t>(fSectionList.Count()), TPin::None);
  for (int i = 0; i < fSectionList.Count(); ++i) {
    const TImageSection* s = fSectionList[i];
    const IMAGE_SECTION_HEADER& h = s->SectionHeader();
    TPin& pin = pins[static_cast<size_t>(i)];
    if (s->DirectoryEntry() != kNoDirectory)
      pin = TPin::None;
    else if (i == relocationSection && HoldsOnlyRelocations(h))
      pin = relocated.pointedInto[static_cast<size_t>(i)] ? TPin::PointedInto : TPin::None;
    else if (!IsDiscardable(h))
      pin = TPin::NotDiscardable;
    else if ((h.Characteristics & (IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE)) != 0)
      pin = TPin::Code;
    else if (i == entrySection)
      pin = TPin::EntryPoint;
    else if (relocated.patched[static_cast<size_t>(i)])
      pin = TPin::PatchedBytes;
    else if (relocated.pointedInto[static_cast<size_t>(i)])
      pin = TPin::PointedInto;
    else if (!relocated.pointersKnown && !IsDebugDataName(s->FullName()))
      pin = TPin::UnknownPointers;
  }
  return pins;
}

// Every fixup read once: the millions of a large image are each one lookup.
TPEModule::TRelocationPins TPEModule::RelocationPins(const TSectionMap& map, int relocationSection) const {
  using TExtent = TSectionMap::TExtent;
  TRelocationPins pins;
  const size_t count = static_cast<size_t>(fSectionList.Count());
  pins.patched.assign(count, false);
  pins.pointedInto.assign(count, false);
  if (relocationSection < 0) return pins;
  // The fixups that can be read pin what they patch and point into even where
  // others cannot be read: they are addresses the running image holds.
  const TBaseRelocations relocations = DecodeBaseRelocations(RelocationBlocks(relocationSection));
  pins.pointersKnown = relocations.allUnderstood && AddressesAreAbsolute();
  const uint64_t imageBase = OptionalHeader().ImageBase();
  const auto fieldAt = [&](uint32_t rva, uint32_t size) {
    const int i = map.SectionOf(TExtent::Bytes, rva);
    if (i < 0) return ByteView();
    const ByteView data = fSectionList[i]->RawData().View();
    const uint64_t at = rva - fSectionList[i]->SectionHeader().VirtualAddress;
    return data.has(at, size) ? data.sub(at, size) : ByteView();
  };
  for (const TFixup& fixup : relocations.fixups) {
    const int patched = map.SectionOf(TExtent::MappedSpan, fixup.location);
    if (patched >= 0) pins.patched[static_cast<size_t>(patched)] = true;
    if (const std::optional<uint32_t> target = FixupTarget(fixup, imageBase, fieldAt)) {
      const int pointedInto = map.SectionOf(TExtent::MappedSpan, *target);
      if (pointedInto >= 0) pins.pointedInto[static_cast<size_t>(pointedInto)] = true;
    }
  }
  return pins;
}

// 32-bit x86 code holds the addresses of the image's own bytes absolutely, each
// one named by a base relocation. Other machines' code reaches data relative to
// itself, which no base relocation names.
bool TPEModule::AddressesAreAbsolute() const { return fCOFFHeader.Machine == IMAGE_FILE_MACHINE_I386; }

// Whether entry 5's blocks fill the section from its start: nothing else in it is
// left for code to address.
bool TPEModule::HoldsOnlyRelocations(const IMAGE_SECTION_HEADER& h) const {
  const TDataDirectoryEntry entry = const_cast<TPEModule*>(this)->DataDirectory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
  return entry.VirtualAddress() == h.VirtualAddress && entry.Size() >= h.VirtualSize;
}

// The blocks of base relocations that entry 5 gives, within the bytes of the
// section at index.
ByteView TPEModule::RelocationBlocks(int index) const {
  const IMAGE_SECTION_HEADER& h = fSectionList[index]->SectionHeader();
  const TDataDirectoryEntry entry = const_cast<TPEModule*>(this)->DataDirectory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
  const ByteView data = fSectionList[index]->RawData().View();
  const uint64_t start = entry.VirtualAddress() - h.VirtualAddress;
  if (start >= data.size()) return ByteView();
  return data.sub(start, std::min<uint64_t>(entry.Size(), data.size() - start));
}

// The section whose bytes hold the address of data directory entry 5. Only its
// bytes count: an entry in the slack after .idata, say, must not let .idata move.
int TPEModule::RelocationSectionIndex(const TSectionMap& map) const {
  if (DataDirectoryCount() <= int(IMAGE_DIRECTORY_ENTRY_BASERELOC)) return -1;
  const TDataDirectoryEntry entry = const_cast<TPEModule*>(this)->DataDirectory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
  if (entry.VirtualAddress() == 0 || entry.Size() == 0) return -1;
  return map.SectionOf(TSectionMap::TExtent::Bytes, entry.VirtualAddress());
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
  // A DLL without an entry point has none on purpose: the loader would call
  // whatever code stands at the address we gave it.
  const bool isDll = (fCOFFHeader.Characteristics & IMAGE_FILE_DLL) != 0;
  const TImageSection* firstCode = FindFirstSectionWithFlags(IMAGE_SCN_CNT_CODE);
  TOptionalHeader oh = OptionalHeader();
  oh.Visit([&](auto& h) {
    h.SizeOfHeaders = static_cast<uint32_t>(alignUp(plan.headersSize, plan.fileAlignment));
    h.CheckSum = 0;
    h.SizeOfCode = codeTotal;
    h.SizeOfInitializedData = initializedTotal;
    h.SizeOfUninitializedData = uninitializedTotal;
    h.BaseOfCode = baseOfCode;
    // Only PE32 has the field: in PE32+ these bytes are the upper half of ImageBase.
    if constexpr (std::is_same_v<std::decay_t<decltype(h)>, IMAGE_OPTIONAL_HEADER32>)
      h.BaseOfData = static_cast<uint32_t>(
          uint64_t(baseOfCode) +
          alignUp(uint64_t(fCOFFHeader.SizeOfOptionalHeader) + 24 + codeTotal, plan.sectionAlignment));
    h.SizeOfImage = static_cast<uint32_t>(plan.imageSize);
    if (h.AddressOfEntryPoint == 0 && !isDll && firstCode != nullptr)
      h.AddressOfEntryPoint = firstCode->SectionHeader().VirtualAddress;
  });
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
    const uint32_t moved = plan.MovedAddress(rva);
    dir.SetVirtualAddress(moved);
    if (moved == 0) dir.SetSize(0);
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
  TMemoryStream& data = fSectionList[p->source]->RawData();
  const uint64_t start = debugRva - p->old.VirtualAddress;
  for (uint64_t at = start; at + kRecordSize <= start + debugSize; at += kRecordSize) {
    if (at + kRecordSize > data.ByteSize()) break;
    records.push_back({&data, at});
  }
  return records;
}

void TPEModule::MoveDebugRecord(const TLayoutPlan& plan, const TDebugRecordPlace& place) {
  IMAGE_DEBUG_DIRECTORY record = place.Decode();
  const uint32_t address = record.AddressOfRawData;
  // Where it named nothing a section now lies, it is left unmapped, as it never was.
  if (address != 0) record.AddressOfRawData = plan.MovedAddress(address);
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
