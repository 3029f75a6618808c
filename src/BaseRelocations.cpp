#include "BaseRelocations.h"

#include <algorithm>

#include "PEStructures.h"

namespace tolvane {

TBaseRelocations DecodeBaseRelocations(ByteView blocks) {
  TBaseRelocations result;
  for (uint64_t at = 0; blocks.has(at, IMAGE_BASE_RELOCATION::kSize);) {
    const IMAGE_BASE_RELOCATION block = IMAGE_BASE_RELOCATION::Decode(blocks.from(at));
    if (block.SizeOfBlock < IMAGE_BASE_RELOCATION::kSize) break;
    const uint64_t end = std::min<uint64_t>(at + block.SizeOfBlock, blocks.size());
    for (uint64_t e = at + IMAGE_BASE_RELOCATION::kSize; e + 2 <= end; e += 2) {
      const uint16_t entry = blocks.u16(e);
      TFixup fixup;
      fixup.type = static_cast<uint16_t>(entry >> 12);
      const uint64_t location = uint64_t(block.VirtualAddress) + (entry & 0xFFF);
      if (fixup.type == IMAGE_REL_BASED_ABSOLUTE) continue;
      if (location > UINT32_MAX) {
        result.allUnderstood = false;
        continue;
      }
      fixup.location = static_cast<uint32_t>(location);
      if (fixup.type == IMAGE_REL_BASED_HIGHADJ) {
        if (e + 4 > end) {
          result.allUnderstood = false;
          break;
        }
        e += 2;
        fixup.lowHalf = blocks.u16(e);
      } else if (fixup.type != IMAGE_REL_BASED_HIGHLOW && fixup.type != IMAGE_REL_BASED_DIR64) {
        result.allUnderstood = false;
      }
      result.fixups.push_back(fixup);
    }
    at += block.SizeOfBlock;
  }
  return result;
}

std::optional<uint32_t> FixupTarget(const TFixup& fixup, uint64_t imageBase, const TFieldReader& fieldAt) {
  uint64_t address = 0;
  switch (fixup.type) {
    case IMAGE_REL_BASED_HIGHLOW: {
      const ByteView field = fieldAt(fixup.location, 4);
      if (field.size() != 4) return std::nullopt;
      address = field.u32(0);
      break;
    }
    case IMAGE_REL_BASED_DIR64: {
      const ByteView field = fieldAt(fixup.location, 8);
      if (field.size() != 8) return std::nullopt;
      address = field.u64(0);
      break;
    }
    case IMAGE_REL_BASED_HIGHADJ: {
      const ByteView field = fieldAt(fixup.location, 2);
      if (field.size() != 2) return std::nullopt;
      // The low half is signed: the loader adds it to the high half shifted up.
      address = uint32_t((uint32_t(field.u16(0)) << 16) + uint32_t(int32_t(int16_t(fixup.lowHalf))));
      break;
    }
    default:
      return std::nullopt;
  }
  if (address < imageBase || address - imageBase > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(address - imageBase);
}

}  // namespace tolvane
