// The judge: the image written held against the model, one check for each thing a
// right image owes its input, and the image written read back and saved again.
#pragma once

#include "WriterLayoutModel.h"
#include "unitPEFile.h"

namespace tolvane::fuzz {

// The image written from c, out, against the model's plan.
void CheckWritten(const TCase& c, const Bytes& out);

// The written image read back: its resources exactly the expected ones, in table
// order, with their bytes and code pages.
void CheckResources(const TCase& c, const TPEResourceModule& again);

// The image written, saved again, is the same; where c drops a section and
// headersMayDiffer is set, but for SizeOfHeaders and the checksum.
void CheckSavedAgain(const TCase& c, const Bytes& written, const Bytes& again, bool headersMayDiffer);

}  // namespace tolvane::fuzz
