// Which section holds an address or a file offset. Every such question in the
// program goes through here, with one of three extents named for what it is, and
// one answer where sections overlap (as only malformed images make them): the first
// section in table order.
#pragma once

#include <utility>
#include <vector>

#include "PEStructures.h"
#include "support/RangeIndex.h"

namespace tolvane {

class TSectionMap {
public:
  enum class TExtent {
    // The section's bytes: [VirtualAddress, + VirtualSize).
    Bytes,
    // What the loader maps for it: its bytes and the slack up to the next multiple of
    // SectionAlignment, which reads as zeros and into which a rebuilt section may grow.
    MappedSpan,
    // Its data in the file as the reader keeps it: [PointerToRawData, + the lesser of
    // SizeOfRawData and VirtualSize). The file alignment padding past the data is not
    // kept, so nothing may point into it.
    FileBytes,
  };

  TSectionMap() = default;
  // headers in table order; a section without an address (a new one) holds no
  // address, and one without raw data no file offset.
  TSectionMap(const std::vector<IMAGE_SECTION_HEADER>& headers, uint32_t sectionAlignment);

  // The section's index, or -1.
  int SectionOf(TExtent extent, uint64_t value) const;

  // Where one section's extent begins and ends; begin == end: it holds nothing.
  static std::pair<uint64_t, uint64_t> Range(TExtent extent, const IMAGE_SECTION_HEADER& h, uint32_t sectionAlignment);
  static bool Holds(TExtent extent, const IMAGE_SECTION_HEADER& h, uint32_t sectionAlignment, uint64_t value) {
    const auto [begin, end] = Range(extent, h, sectionAlignment);
    return value >= begin && value < end;
  }

  static uint64_t KeptFileBytes(const IMAGE_SECTION_HEADER& h) {
    return h.VirtualSize == 0 || h.SizeOfRawData < h.VirtualSize ? h.SizeOfRawData : h.VirtualSize;
  }

private:
  TRangeIndex fBytes, fMappedSpan, fFileBytes;
};

}  // namespace tolvane
