// Rounding up to an alignment, the one rule every on-disk layout here uses.
#pragma once

#include <cstdint>

#include "support/Exceptions.h"

namespace tolvane {

// v rounded up to a multiple of a power of two a. An alignment of 0, one that is no
// power of two, or a result past 64 bits is our own mistake (the image's alignments
// are checked before they get here): an internal error, never a wrong size.
inline uint64_t alignUp(uint64_t v, uint64_t a) {
  if (a == 0 || (a & (a - 1)) != 0 || v > UINT64_MAX - (a - 1))
    throw Exception(u"Internal error: an alignment was not a power of two or overflowed");
  return (v + a - 1) & ~(a - 1);
}

}  // namespace tolvane
