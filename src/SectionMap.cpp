#include "SectionMap.h"

#include "support/Align.h"

namespace tolvane {

std::pair<uint64_t, uint64_t> TSectionMap::Range(TExtent extent, const IMAGE_SECTION_HEADER& h,
                                                 uint32_t sectionAlignment) {
  const bool aligned = sectionAlignment != 0 && (sectionAlignment & (sectionAlignment - 1)) == 0;
  const uint64_t address = h.VirtualAddress, pointer = h.PointerToRawData;
  switch (extent) {
    case TExtent::Bytes:
      if (address == 0) break;
      return {address, address + h.VirtualSize};
    case TExtent::MappedSpan:
      if (address == 0) break;
      return {address, address + (aligned ? alignUp(h.VirtualSize, sectionAlignment) : h.VirtualSize)};
    case TExtent::FileBytes:
      if (pointer == 0) break;
      return {pointer, pointer + KeptFileBytes(h)};
  }
  return {0, 0};
}

TSectionMap::TSectionMap(const std::vector<IMAGE_SECTION_HEADER>& headers, uint32_t sectionAlignment) {
  for (size_t i = 0; i < headers.size(); ++i) {
    const int number = static_cast<int>(i);
    for (auto [extent, index] : {std::pair{TExtent::Bytes, &fBytes}, std::pair{TExtent::MappedSpan, &fMappedSpan},
                                 std::pair{TExtent::FileBytes, &fFileBytes}}) {
      const auto [begin, end] = Range(extent, headers[i], sectionAlignment);
      index->Add(begin, end, number);
    }
  }
  fBytes.Build();
  fMappedSpan.Build();
  fFileBytes.Build();
}

int TSectionMap::SectionOf(TExtent extent, uint64_t value) const {
  switch (extent) {
    case TExtent::Bytes:
      return fBytes.Find(value);
    case TExtent::MappedSpan:
      return fMappedSpan.Find(value);
    case TExtent::FileBytes:
      return fFileBytes.Find(value);
  }
  return -1;
}

}  // namespace tolvane
