// The combination job in memory: the input holds a .RES file and an image (see
// FuzzSupport.h for the split). Both are loaded and merged as `-o` does; a merged
// image that writes must read back with our own reader, or we wrote a broken file.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "tolvane.h"
#include "unitPEFile.h"
#include "unitResFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolvane::fuzz::TCombinationInput input(data, size);
  tolvane::TPEResourceModule image;
  image.AcceptPE32Plus(true);  // as -64 reads images
  tolvane::TResModule res;
  try {
    image.LoadFromBytes(input.Image());
    res.LoadFromBytes(input.Res());
    tolvane::MergeInto(image, res);
  } catch (const tolvane::Exception&) {
    return 0;  // the job gives up silently here, with exit status 1
  }
  tolvane::TMemoryStream written;
  try {
    image.SaveToStream(written);
  } catch (const tolvane::Exception&) {
    return 0;  // a refused layout is reported, and nothing is written
  }
  tolvane::TPEResourceModule reread;
  reread.AcceptPE32Plus(true);
  tolvane::fuzz::MustLoad(reread, written);
  tolvane::fuzz::TouchResources(reread);
  return 0;
}
