// Image reader: any bytes go to the PE reader. A refusal is one of our exceptions;
// anything else (a crash, a sanitizer report, a leak, a hang) is a defect.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "unitPEFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolvane::TPEResourceModule image;
  try {
    image.LoadFromBytes(tolvane::ByteView(data, size));
  } catch (const tolvane::Exception&) {
    return 0;
  }
  tolvane::fuzz::TouchResources(image);
  return 0;
}
