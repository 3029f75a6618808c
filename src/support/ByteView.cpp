#include "support/ByteView.h"

#include "StringTable.h"

namespace tolvane {

void ByteView::RaiseOutside(const char* what) {
  throw EPEException(Format(LoadResString(StrId::StructureOutsideFile), {ToU16(what)}));
}

}  // namespace tolvane
