#include "builders/WrittenImages.h"

#include <gtest/gtest.h>

#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"

namespace tolvane::test {

// Each image kind (stripped, symbols after the sections, overlay, DLL, no resource
// section, a program loading strings from a DLL), PE32 and PE32+, with a .RES that
// replaces, adds or both; and the template.
const std::vector<Merge> kMergesWeJudge = {
    {"app.exe", "merge.res"},           {"app.exe", "mixed.res"},        {"app_unstripped.exe", "merge.res"},
    {"overlay.exe", "rcdata.res"},      {"lib.dll", "strings.res"},      {"nores.dll", "version.res"},
    {"lib.dll", "concat.res"},          {"dataloader.exe", "mixed.res"}, {nullptr, "dllstrings.res"},
    {nullptr, "version.res"},           {"app64.exe", "merge.res"},      {"app_unstripped64.exe", "mixed.res"},
    {"overlay64.exe", "rcdata.res"},    {"lib64.dll", "concat.res"},     {"nores64.dll", "version.res"},
    {"dataloader64.exe", "strings.res"}};

WrittenImage WriteMerged(const ScratchDir& dir, const Merge& m) {
  WrittenImage w;
  w.res = FixturePath(m.res);
  if (m.image != nullptr) {
    w.label = std::string(m.image) + " + " + m.res;
    w.source = FixturePath(m.image);
    w.path = dir.file(std::string("out-") + m.image + "-" + m.res +
                      (std::string(m.image).ends_with(".dll") ? ".dll" : ".exe"));
  } else {
    w.label = std::string("-s ") + m.res;
    w.path = dir.file(std::string("template-") + m.res + ".dll");
  }
  RunResult r = m.image != nullptr ? RunTolvane(ForImage({"-o", w.path, w.source, w.res}, w.source))
                                   : RunTolvane({"-s", w.path, "unused.exe", w.res});
  EXPECT_EQ(r.status, 0) << w.label << ": " << r.out << r.err;
  return w;
}

std::vector<WrittenImage> WriteTheImagesWeJudge(const ScratchDir& dir) {
  std::vector<WrittenImage> all;
  for (const Merge& m : kMergesWeJudge) all.push_back(WriteMerged(dir, m));
  return all;
}

}  // namespace tolvane::test
