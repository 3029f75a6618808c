#include "unitPEFile.h"

namespace tolvane {

void TPEResourceModule::LayoutImage() { TPEModule::LayoutImage(); }

}  // namespace tolvane
