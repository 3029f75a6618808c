// The images the real-client checks judge: what `-o` writes from each MinGW fixture
// with the .RES fixtures merged into it, and what `-s` writes from the template.
#pragma once

#include <string>
#include <vector>

#include "builders/TestFiles.h"

namespace tolvane::test {

struct Merge {
  const char* image;  // a fixture image, or nullptr for `-s` (the template)
  const char* res;    // a fixture .RES
};
extern const std::vector<Merge> kMergesWeJudge;

struct WrittenImage {
  std::string label;   // "app.exe + merge.res", "-s dllstrings.res"
  std::string source;  // the fixture image merged into, "" for `-s`
  std::string res;     // the fixture .RES merged
  std::string path;    // what tolvane wrote
};

// Runs tolvane for one merge, writing into dir; fails the test when tolvane does.
WrittenImage WriteMerged(const ScratchDir& dir, const Merge& m);
// Every merge of kMergesWeJudge, written into dir.
std::vector<WrittenImage> WriteTheImagesWeJudge(const ScratchDir& dir);

}  // namespace tolvane::test
