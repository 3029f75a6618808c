// Where the model puts every section, and every refusal it expects of a write: the
// layout's, the resource directory's and the resource section's.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "WriterImageModel.h"
#include "WriterResourceModel.h"

namespace tolvane::fuzz {

struct TPlaced {
  int old = -1;  // its index in the input's table; -1 for a new resource section
  std::string name;
  uint32_t characteristics = 0;
  uint64_t kept = 0, uninitialized = 0;
  uint64_t va = 0, vs = 0, ptr = 0, raw = 0;
};

struct TPlan {
  std::vector<TPlaced> sections;
  int resource = -1;  // index into sections
  bool tookComment = false;
  uint64_t headers = 0, comment = 0, end = 0, imageSize = 0;
  bool laidOut = false;
};

// Where every section goes: packed from SectionAlignment (virtually) and from the
// headers and comment block (in the file), each in its own order; the refusals of
// a plan that cannot be written go to refusals. resourceKept: the resource
// section's new bytes, with resourceOld its index (or -1 to insert one when
// insert is set).
TPlan PlanLayout(const TPe& old, int resourceOld, bool insert, uint64_t resourceKept,
                 std::set<std::u16string>& refusals);

// The file offsets the headers and the debug records hold, each with the words the
// program names it by.
std::vector<std::pair<uint32_t, std::string>> FileOffsets(const TPe& old);

// An input as the model takes it: the image, its resources and the merge's.
struct TCase {
  const Bytes* input = nullptr;
  TPe old;
  std::vector<TResource> imageResources;
  std::vector<TResource> merged;
  TDirectory directory;
  int resourceOld = -1;
  TPlan plan;
};

// The resource section, the directory written and the layout of c (c.merged
// set): what the write must do, and the messages of the refusals it expects.
std::set<std::u16string> PlanWrite(TCase& c);

}  // namespace tolvane::fuzz
