// The base relocations of an image: every place the loader patches when it cannot
// give the image its preferred base, and, read from those places, the addresses
// the image's code and data hold of its own bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "support/ByteView.h"

namespace tolvane {

constexpr uint16_t IMAGE_REL_BASED_ABSOLUTE = 0;
constexpr uint16_t IMAGE_REL_BASED_HIGH = 1;
constexpr uint16_t IMAGE_REL_BASED_LOW = 2;
constexpr uint16_t IMAGE_REL_BASED_HIGHLOW = 3;
constexpr uint16_t IMAGE_REL_BASED_HIGHADJ = 4;
constexpr uint16_t IMAGE_REL_BASED_DIR64 = 10;

struct TFixup {
  uint32_t location = 0;  // the address of the patched field
  uint16_t type = 0;
  uint16_t lowHalf = 0;  // HIGHADJ's second slot: the low half of the address
};

struct TBaseRelocations {
  std::vector<TFixup> fixups;  // ABSOLUTE padding left out
  // False when an entry holds only half an address (HIGH, LOW), is of a type not
  // known here, or is a HIGHADJ without its second slot: what it points at is unknown.
  bool allUnderstood = true;
};

// The blocks as far as they read: a block shorter than its header ends them, and a
// block's entries are those that fit in blocks.
TBaseRelocations DecodeBaseRelocations(ByteView blocks);

// The address a fixup's field holds, relative to imageBase; nothing when the field
// is not wholly in the bytes fieldAt gives for it (empty: not in the file), the type
// holds no whole address, or the address lies below imageBase or past 32 bits.
using TFieldReader = std::function<ByteView(uint32_t rva, uint32_t size)>;
std::optional<uint32_t> FixupTarget(const TFixup& fixup, uint64_t imageBase, const TFieldReader& fieldAt);

}  // namespace tolvane
