// The inputs of the writer target: an image built here or picked among the built-in
// ones and changed, and the records of a .RES file, all as the fuzzer's bytes choose.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <vector>

#include "WriterImageModel.h"
#include "WriterResourceModel.h"
#include "builders/ResBuilder.h"
#include "unitResFile.h"

namespace tolvane::fuzz {

// An image no linker made: sections of any kind in any order, the resource section
// among them with a directory of the fuzzer's choosing.
Bytes BuildImage(FuzzedDataProvider& in);

// Changes to the image through the offsets its headers give.
void Mutate(FuzzedDataProvider& in, Bytes& img);

// The records the fuzzer adds to the base .RES file: free ones, ones with the
// identity of an image resource, ones that find an image resource only through its
// language 0, ones beside an earlier record of theirs.
void AddRecords(FuzzedDataProvider& in, const std::vector<TResource>& image, test::ResBuilder& file,
                std::vector<TRecord>& records);

// The .RES fixtures' records, read once.
const std::vector<TRecord>& BaseRecords(size_t index);

// The records of a .RES file, as its reader gives them.
std::vector<TRecord> RecordsOf(const TResModule& res);

// Whether an input is a pair kept as tests/regressions keep the combination
// target's (see TCombinationInput) rather than the fuzzer's choices: its .RES opens
// with the mark of a 32-bit .RES file and its image with "MZ". Such a pair is
// merged as it is, so that an image made elsewhere can be held against the model.
bool IsPairAsItIs(const uint8_t* data, size_t size);

}  // namespace tolvane::fuzz
