// The image as the model reads it, apart from the program's reader: the headers,
// the section table, and the structures inside sections whose places the layout
// must know (base relocations, debug records).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "WriterSupport.h"

namespace tolvane::fuzz {

// One section header, and the section as the program's reader takes it: a zero
// VirtualSize means SizeOfRawData, and raw bytes past the VirtualSize are padding.
// A section without an address (made anew) holds no address and no file offset.
struct TSection {
  uint32_t at = 0;  // the header's offset in the file
  std::string name;
  std::string fullName;  // a "/N" name as the string table gives it, else the name
  uint32_t vs = 0, va = 0, raw = 0, ptr = 0, relocations = 0, linenumbers = 0, characteristics = 0;
  uint16_t relocationCount = 0, linenumberCount = 0;

  uint32_t Vs() const { return vs == 0 ? raw : vs; }
  uint32_t Kept() const { return raw < vs ? raw : Vs(); }
  uint32_t Uninitialized() const { return raw < vs ? vs - raw : 0; }
  bool Discardable() const { return (characteristics & kDiscardable) != 0; }
  // Its bytes: [VirtualAddress, + VirtualSize).
  bool HoldsBytes(uint64_t rva) const { return va != 0 && rva >= va && rva - va < Vs(); }
  // What the loader maps for it, and what the writer moves an address with: its
  // bytes and the slack up to the next multiple of SectionAlignment.
  bool HoldsRva(uint64_t rva, uint32_t sa) const {
    return va != 0 && rva >= va && rva - va < (IsPowerOfTwo(sa) ? AlignUp(Vs(), sa) : Vs());
  }
  // Its data in the file as the reader keeps it: the padding past it is dropped.
  bool HoldsOffset(uint32_t offset) const {
    return va != 0 && ptr != 0 && offset >= ptr && uint64_t(offset) - ptr < Kept();
  }
};

struct TPe {
  const Bytes* b = nullptr;
  uint32_t peAt = 0, optAt = 0, tableAt = 0, headersEnd = 0;
  uint32_t fixed = 96;  // the optional header's fields before the directories: PE32+ has 112
  uint16_t optionalSize = 0;
  uint32_t directoryCount = 0;
  std::vector<TSection> sections;
  uint64_t commentSize = 0;  // bytes between the section table and the first section's data
  uint64_t firstData = 0;    // the lowest PointerToRawData, 0 when no section names one
  uint64_t sectionsEnd = 0;  // where the appended bytes begin

  bool Parse(const Bytes& bytes);

  uint32_t Opt32(uint32_t field) const { return Get32(*b, optAt + field); }
  uint32_t FileAlignment() const { return Opt32(36); }
  uint32_t SectionAlignment() const { return Opt32(32); }
  uint32_t DirAt(uint32_t k) const { return optAt + fixed + 8 * k; }
  uint32_t DirVa(uint32_t k) const { return Get32(*b, DirAt(k)); }
  uint32_t DirSize(uint32_t k) const { return Get32(*b, DirAt(k) + 4); }
  uint16_t Machine() const { return Get16(*b, peAt + 4); }
  uint16_t Magic() const { return Get16(*b, optAt); }
  bool IsPe32Plus() const { return Magic() == 0x20B; }
  // Where the image expects to be loaded: 32 bits at +28 of a PE32 header, 64 at +24
  // of a PE32+ one.
  uint64_t ImageBase() const {
    return IsPe32Plus() ? Get32(*b, optAt + 24) | uint64_t(Get32(*b, optAt + 28)) << 32 : Opt32(28);
  }
  uint32_t StubSize() const { return peAt > 64 ? peAt - 64 : 0; }
  bool IsDll() const { return (Get16(*b, peAt + 22) & 0x2000) != 0; }

  // The section data directory entry 2 points into, as the program finds it (any
  // section, the first that holds the address, and only for a non-zero size).
  int ResourceSection(uint32_t& offset) const;
  // The first section in table order whose bytes hold rva; -1 for none.
  int SectionHolding(uint64_t rva) const;
  // The first section in table order that maps rva (its slack included); -1 for none.
  int MappingSection(uint64_t rva) const;
};

// The section of the base relocations: the first whose bytes (its VirtualSize, not
// the slack after it) hold the address of entry 5, which has a size; -1 for none.
int RelocationSection(const TPe& old);

// One entry of a block of base relocations: where the loader adds the image's
// displacement, and how.
struct TFixup {
  uint64_t rva = 0;  // the block's page plus the entry's offset, which may pass 4 GiB
  uint16_t type = 0;
  uint16_t low = 0;  // HIGHADJ: the slot after it, the low half of the pointer
};
constexpr uint16_t kFixupAbsolute = 0, kFixupHigh = 1, kFixupLow = 2, kFixupHighLow = 3, kFixupHighAdj = 4,
                   kFixupDir64 = 10;

// The base relocations as the loader reads them: the blocks entry 5 names, in the
// relocation section's file bytes and within the entry's size; a block that claims
// less than its own header ends them, and a block keeps the entries that fit.
// ABSOLUTE entries are padding and left out, and so is a HIGHADJ without its second
// slot and an entry whose address passes 32 bits. decoded: every entry was one of
// ABSOLUTE, HIGHLOW, HIGHADJ with its slot, or DIR64, at an address of 32 bits.
std::vector<TFixup> BaseRelocations(const TPe& pe, bool& decoded);

// Whether the base relocations name every address the image's code holds of its
// own bytes: 32-bit x86 code (other machines' code addresses relative to itself),
// with a relocation section whose every entry decodes.
bool PointersKnown(const TPe& pe);

// The bytes a fixup's field covers: 4 for HIGHLOW, 8 for DIR64, 2 for HIGHADJ (its
// high half; the low half is the slot after the entry); 0 for the other types.
uint32_t FieldWidth(uint16_t type);

// The address a fixup holds, less ImageBase, where the field lies wholly in the kept
// bytes of the first section whose bytes hold its location; nothing when it does
// not, when the type holds no whole address, or when the address lies below
// ImageBase or 4 GiB or more past it. rebuilt: a section whose bytes are, when the
// layout asks, rebuiltKept zeros (the resource section, rebuilt; -1 for none).
std::optional<uint32_t> FixupTarget(const TPe& pe, const TFixup& fixup, int rebuilt = -1, uint64_t rebuiltKept = 0);

// The file offsets of the debug records, as the section that holds entry 6 keeps them.
struct TDebugRecords {
  int section = -1;          // the section that holds entry 6, -1 for none
  std::vector<uint64_t> at;  // where each whole record starts in that section's bytes
};

TDebugRecords DebugRecordsOf(const TPe& old);

}  // namespace tolvane::fuzz
