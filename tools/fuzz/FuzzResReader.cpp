// .RES reader: any bytes go to the compiled resource file reader.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "unitResFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolvane::TResModule res;
  try {
    res.LoadFromBytes(tolvane::ByteView(data, size));
  } catch (const tolvane::Exception&) {
    return 0;
  }
  tolvane::fuzz::TouchResources(res);
  // What was read must write out and read back.
  tolvane::TMemoryStream out;
  res.SaveToStream(out);
  tolvane::TResModule again;
  tolvane::fuzz::MustLoad(again, out);
  return 0;
}
