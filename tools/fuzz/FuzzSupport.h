// Shared by the fuzz targets: reading every byte the model holds (so a bad pointer
// kept by a reader shows), the check that written bytes load back, and the layout
// of the combination target's input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "support/ByteView.h"
#include "support/LittleEndian.h"
#include "support/Streams.h"
#include "unitResourceDetails.h"

namespace tolvane::fuzz {

inline void TouchResources(const TResourceModule& module) {
  volatile uint64_t sum = 0;
  for (int i = 0; i < module.ResourceCount(); ++i) {
    TResourceDetails* d = module.ResourceDetails(i);
    sum = sum + d->ResourceType().size() + d->ResourceName().size() + d->ResourceLanguage();
    for (uint8_t b : d->RawData().Bytes()) sum = sum + b;
  }
}

// Type, name, language and bytes of each resource, sorted.
using TIdentity = std::tuple<std::u16string, std::u16string, uint32_t, std::vector<uint8_t>>;
// A .RES file holds a digits-only type or name as its value: "007" reads back as "7".
inline std::u16string AsResFileHoldsIt(const std::u16string& id) {
  int32_t value = ResourceNameToInt(id);
  if (value < 0 || value > 0xFFFF) return id;
  std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

inline std::vector<TIdentity> Identities(const TResourceModule& module, bool withoutEmptyZeros) {
  std::vector<TIdentity> all;
  for (int i = 0; i < module.ResourceCount(); ++i) {
    TResourceDetails* d = module.ResourceDetails(i);
    if (withoutEmptyZeros && d->RawData().ByteSize() == 0 && AsResFileHoldsIt(d->ResourceName()) == u"0") continue;
    all.emplace_back(AsResFileHoldsIt(d->ResourceType()), AsResFileHoldsIt(d->ResourceName()), d->ResourceLanguage(),
                     d->RawData().Bytes());
  }
  std::sort(all.begin(), all.end());
  return all;
}

[[noreturn]] inline void Fail(const char* what, const char* detail = "") {
  std::fprintf(stderr, "%s%s%s\n", what, *detail ? ": " : "", detail);
  std::abort();
}

// What we wrote ourselves must load; a refusal here is a defect, not bad input.
template <class Module>
void MustLoad(Module& module, const TMemoryStream& written) {
  try {
    module.LoadFromBytes(written.View());
  } catch (const Exception& e) {
    Fail("our own output does not load back", e.what());
  }
}

// Bytes 0..3: the length n of the .RES part (little-endian, cut to what follows);
// the next n bytes: the .RES file; the rest: the image.
class TCombinationInput {
public:
  TCombinationInput(const uint8_t* data, size_t size) {
    if (size < 4) {
      fRes = ByteView(data, 0);
      fImage = ByteView(data, 0);
      return;
    }
    uint64_t n = getU32LE(data);
    uint64_t rest = size - 4;
    if (n > rest) n = rest;
    fRes = ByteView(data + 4, n);
    fImage = ByteView(data + 4 + n, rest - n);
  }
  ByteView Res() const { return fRes; }
  ByteView Image() const { return fImage; }

private:
  ByteView fRes;
  ByteView fImage;
};

}  // namespace tolvane::fuzz
