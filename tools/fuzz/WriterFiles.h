// The real images and .RES files the writer target starts from, built into it so
// an input saved by libFuzzer replays with the binary alone. The order of each
// list is part of what an input means: append, never reorder.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane::fuzz {

struct TEmbeddedFile {
  const char* name;
  const uint8_t* data;
  size_t size;
};

extern const TEmbeddedFile kWriterImages[];
extern const size_t kWriterImageCount;
// The index that has an image built instead of picked: one past the images listed
// first, so that inputs made before more were appended keep their meaning; those
// appended since take the indices after it.
constexpr size_t kWriterImageBuilt = 9;
extern const TEmbeddedFile kWriterResFiles[];
extern const size_t kWriterResFileCount;

}  // namespace tolvane::fuzz
