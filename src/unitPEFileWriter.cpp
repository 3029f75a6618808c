#include "StringTable.h"
#include "unitPEFile.h"

namespace tolvane {

// The image writer is not there yet: saving an image is refused.
void TPEModule::SaveToStream(TStream&) { throw Exception(LoadResString(StrId::NoStreaming)); }
void TPEModule::LayoutImage() {}

}  // namespace tolvane
