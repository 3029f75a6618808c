// Image reader: any bytes go to the PE reader, and what it reads goes on as `-r`
// takes it, into a .RES file that our .RES reader must read back. A refusal is one
// of our exceptions; anything else (a crash, a sanitizer report, a leak, a hang, a
// .RES we wrote and cannot read) is a defect. PE32+ images are read as -64 reads
// them; without it, one that reads must be refused as no Windows image.
#include <cstddef>
#include <cstdint>

#include "FuzzSupport.h"
#include "StringTable.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace {

void ExpectRefusedWithoutTheSwitch(const uint8_t* data, size_t size) {
  tolvane::TPEResourceModule without;
  try {
    without.LoadFromBytes(tolvane::ByteView(data, size));
  } catch (const tolvane::Exception& e) {
    if (e.Message() != tolvane::LoadResString(tolvane::StrId::InvalidWindowsImage))
      tolvane::fuzz::Fail("a PE32+ image read without -64 is refused otherwise", e.what());
    return;
  }
  tolvane::fuzz::Fail("a PE32+ image is read without -64");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tolvane::TPEResourceModule image;
  image.AcceptPE32Plus(true);
  tolvane::TResModule res;
  tolvane::TMemoryStream written;
  try {
    image.LoadFromBytes(tolvane::ByteView(data, size));
    if (image.OptionalHeader().IsPE32Plus()) ExpectRefusedWithoutTheSwitch(data, size);
    tolvane::fuzz::TouchResources(image);
    res.Assign(image);
    res.SaveToStream(written);
  } catch (const tolvane::Exception&) {
    return 0;
  }
  tolvane::TResModule reread;
  tolvane::fuzz::MustLoad(reread, written);
  // The same resources, but for the empty ones named 0, which .RES readers take for
  // the record that starts a 32-bit file and drop.
  if (tolvane::fuzz::Identities(res, true) != tolvane::fuzz::Identities(reread, true))
    tolvane::fuzz::Fail("the .RES we wrote reads back with other resources");
  return 0;
}
