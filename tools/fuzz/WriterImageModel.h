// The image as the model reads it, apart from the program's reader: the headers,
// the section table, and the structures inside sections whose places the layout
// must know (base relocations, debug records).
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "WriterSupport.h"

namespace tolvane::fuzz {

// One section header, and the section as the program's reader takes it: a zero
// VirtualSize means SizeOfRawData, and raw bytes past the VirtualSize are padding.
struct TSection {
  uint32_t at = 0;  // the header's offset in the file
  std::string name;
  uint32_t vs = 0, va = 0, raw = 0, ptr = 0, relocations = 0, linenumbers = 0, characteristics = 0;
  uint16_t relocationCount = 0, linenumberCount = 0;

  uint32_t Vs() const { return vs == 0 ? raw : vs; }
  uint32_t Kept() const { return raw < vs ? raw : Vs(); }
  uint32_t Uninitialized() const { return raw < vs ? vs - raw : 0; }
  bool Discardable() const { return (characteristics & kDiscardable) != 0; }
  bool HoldsAddress(uint32_t rva) const { return rva >= va && uint64_t(rva) - va < vs; }
  // Discardable, holding neither code, the entry point nor a page of base
  // relocations: what may move as such.
  bool DiscardableData(uint32_t entryPoint, const std::vector<uint32_t>& relocatedPages) const {
    return Discardable() && (characteristics & (kCode | kExecute)) == 0 &&
           !(entryPoint != 0 && HoldsAddress(entryPoint)) &&
           std::none_of(relocatedPages.begin(), relocatedPages.end(),
                        [&](uint32_t page) { return HoldsAddress(page); });
  }
  // What the writer moves an address with: a section that had an address, up to
  // the next multiple of SectionAlignment (the loader maps that slack too).
  bool HoldsRva(uint32_t rva, uint32_t sa) const {
    return va != 0 && rva >= va && uint64_t(rva) - va < AlignUp(Vs(), sa);
  }
  bool HoldsOffset(uint32_t offset) const {
    return va != 0 && raw != 0 && offset >= ptr && uint64_t(offset) - ptr < raw;
  }
};

struct TPe {
  const Bytes* b = nullptr;
  uint32_t peAt = 0, optAt = 0, tableAt = 0, headersEnd = 0;
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
  uint32_t DirAt(uint32_t k) const { return optAt + 96 + 8 * k; }
  uint32_t DirVa(uint32_t k) const { return Get32(*b, DirAt(k)); }
  uint32_t DirSize(uint32_t k) const { return Get32(*b, DirAt(k) + 4); }
  uint16_t Machine() const { return Get16(*b, peAt + 4); }
  uint16_t Magic() const { return Get16(*b, optAt); }
  // Where the image expects to be loaded: 32 bits at +28 of a PE32 header, 64 at +24
  // of a PE32+ one.
  uint64_t ImageBase() const {
    return Magic() == 0x20B ? Get32(*b, optAt + 24) | uint64_t(Get32(*b, optAt + 28)) << 32 : Opt32(28);
  }
  uint32_t StubSize() const { return peAt > 64 ? peAt - 64 : 0; }
  bool IsDll() const { return (Get16(*b, peAt + 22) & 0x2000) != 0; }

  // The section data directory entry 2 points into, as the program finds it (any
  // section, the first that holds the address, and only for a non-zero size).
  int ResourceSection(uint32_t& offset) const;
};

// The section of the base relocations: the last that had an address and whose
// bytes (its VirtualSize, not the slack after it) hold entry 5's.
int RelocationSection(const TPe& old);

// The page of every block of base relocations, as far as the blocks read.
std::vector<uint32_t> RelocatedPages(const TPe& old);

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
// slot. decoded: every entry was one of ABSOLUTE, HIGHLOW, HIGHADJ with its slot, or
// DIR64.
std::vector<TFixup> BaseRelocations(const TPe& pe, bool& decoded);

// The file offsets of the debug records, as the section that holds entry 6 keeps them.
struct TDebugRecords {
  int section = -1;          // the section that holds entry 6, -1 for none
  std::vector<uint64_t> at;  // where each whole record starts in that section's bytes
};

TDebugRecords DebugRecordsOf(const TPe& old);

}  // namespace tolvane::fuzz
