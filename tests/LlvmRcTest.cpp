// .RES files from the two resource compilers users cross-build with: llvm-rc (Debian
// llvm) and MinGW's windres, compiled in the test from one script,
// tests/fixtures/src/twocompilers.rc. Whichever compiled it, a .RES merges into an
// image with the same result. Each test skips with a message where a compiler is absent.
#include <gtest/gtest.h>

#include <algorithm>

#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

const std::string kScriptDir = std::string(TOLVANE_FIXTURES) + "/src";
const std::string kScript = "twocompilers.rc";

std::string FindLlvmRc() {
  for (const char* name :
       {"llvm-rc", "llvm-rc-14", "llvm-rc-15", "llvm-rc-16", "llvm-rc-17", "llvm-rc-18", "llvm-rc-19"})
    if (std::string path = FindOnPath(name); !path.empty()) return path;
  return "";
}

struct Compiled {
  std::string windres;  // the .RES each compiler wrote
  std::string llvmRc;
  std::string skip;  // why the test cannot run, when a tool is missing
};

// Compiles the script with both compilers into dir. The script lies beside app.ico
// and app.manifest, so both run in its directory and take its name relative:
// llvm-rc would also read an absolute path starting with '/' as an option.
Compiled CompileWithBoth(const ScratchDir& dir) {
  Compiled c;
  std::string windres = FindOnPath("i686-w64-mingw32-windres");
  if (windres.empty()) return {"", "", "i686-w64-mingw32-windres is not installed (Debian binutils-mingw-w64-i686)"};
  std::string llvmRc = FindLlvmRc();
  if (llvmRc.empty()) return {"", "", "llvm-rc is not installed (Debian llvm)"};
  // windres needs a C preprocessor, if only to drop the comments; the host's does,
  // without its system macros (-undef), and the MinGW compiler need not be installed.
  std::string cpp = FindOnPath("cpp");
  if (cpp.empty()) return {"", "", "cpp, the C preprocessor windres runs, is not installed (Debian cpp)"};

  c.windres = dir.file("windres.res");
  RunResult w = RunCommand(
      windres, {"--preprocessor=" + cpp, "--preprocessor-arg=-undef", "-O", "res", "-i", kScript, "-o", c.windres},
      RunOptions().In(kScriptDir));
  EXPECT_EQ(w.status, 0) << w.out << w.err;
  c.llvmRc = dir.file("llvm-rc.res");
  RunResult l = RunCommand(llvmRc, {"/no-preprocess", "/FO", c.llvmRc, kScript}, RunOptions().In(kScriptDir));
  EXPECT_EQ(l.status, 0) << l.out << l.err;
  return c;
}

const ResourceKey* Find(const std::vector<ResourceKey>& keys, const std::u16string& type, const std::u16string& name,
                        uint32_t language) {
  for (const ResourceKey& k : keys)
    if (k.type == type && k.name == name && k.language == language) return &k;
  return nullptr;
}

TEST(LlvmRc, CompilesTheScriptToTheSameResourcesAsWindres) {
  ScratchDir dir;
  Compiled c = CompileWithBoth(dir);
  if (!c.skip.empty()) GTEST_SKIP() << c.skip;
  ASSERT_TRUE(PathExists(c.windres) && PathExists(c.llvmRc));
  std::vector<ResourceKey> fromWindres = ResourcesOf(*LoadResFile(c.windres));
  std::vector<ResourceKey> fromLlvmRc = ResourcesOf(*LoadResFile(c.llvmRc));
  // The two write their records in different orders and with different memory
  // flags (windres 0x1030, llvm-rc 0x0030); neither reaches an image. Types, names,
  // languages and bytes are the same.
  EXPECT_EQ(Sorted(fromLlvmRc), Sorted(fromWindres));
  EXPECT_EQ(fromWindres.size(), 12u);
}

TEST(LlvmRc, ResFilesOfBothCompilersMergeIntoTheSameImage) {
  ScratchDir dir;
  Compiled c = CompileWithBoth(dir);
  if (!c.skip.empty()) GTEST_SKIP() << c.skip;
  ASSERT_TRUE(PathExists(c.windres) && PathExists(c.llvmRc));
  for (const auto& [res, out] :
       {std::pair{c.windres, dir.file("windres.exe")}, std::pair{c.llvmRc, dir.file("llvm-rc.exe")}}) {
    RunResult r = RunTolvane({"-o", out, FixturePath("app.exe"), res});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
  }
  std::vector<ResourceKey> windresImage = ResourcesOf(*LoadImageFile(dir.file("windres.exe")));
  std::vector<ResourceKey> llvmRcImage = ResourcesOf(*LoadImageFile(dir.file("llvm-rc.exe")));
  EXPECT_EQ(llvmRcImage, windresImage);
  // Nothing of the .RES that differs between the two reaches the image: the files are the same.
  EXPECT_EQ(ReadFileBytes(dir.file("llvm-rc.exe")), ReadFileBytes(dir.file("windres.exe")));
}

TEST(LlvmRc, MergingLlvmRcOutputReplacesMatchingResourcesAndAddsTheRest) {
  ScratchDir dir;
  Compiled c = CompileWithBoth(dir);
  if (!c.skip.empty()) GTEST_SKIP() << c.skip;
  ASSERT_TRUE(PathExists(c.llvmRc));
  RunResult r = RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), c.llvmRc});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::vector<ResourceKey> merged = ResourcesOf(*LoadImageFile(dir.file("out.exe")));
  std::vector<ResourceKey> original = ResourcesOf(*LoadImageFile(FixturePath("app.exe")));
  std::vector<ResourceKey> compiled = ResourcesOf(*LoadResFile(c.llvmRc));

  // Every compiled resource is in the image with its bytes, replaced or added.
  for (const ResourceKey& k : compiled) {
    const ResourceKey* m = Find(merged, k.type, k.name, k.language);
    ASSERT_NE(m, nullptr) << platform::WideToUtf8(k.type) << "/" << platform::WideToUtf8(k.name) << "/" << k.language;
    EXPECT_EQ(m->bytes, k.bytes);
  }
  // The image's own resources that the script does not name stay as they were.
  for (const ResourceKey& k : original) {
    if (Find(compiled, k.type, k.name, k.language) != nullptr) continue;
    const ResourceKey* m = Find(merged, k.type, k.name, k.language);
    ASSERT_NE(m, nullptr) << platform::WideToUtf8(k.type) << "/" << platform::WideToUtf8(k.name) << "/" << k.language;
    EXPECT_EQ(m->bytes, k.bytes);
  }
  // Replaced: the version, the manifest, the icons 1 and 2, string blocks 1 of both
  // languages; app.exe has 15 resources, the script brings 12, so 5 are new.
  EXPECT_EQ(merged.size(), original.size() + 5) << merged.size();
  EXPECT_NE(Find(merged, u"14", u"MAINICON", 1033), nullptr);
  EXPECT_NE(Find(merged, u"14", u"APPICON", 1033), nullptr);
  EXPECT_NE(Find(merged, u"TWOTYPE", u"NOTE", 1033), nullptr);
}

}  // namespace
}  // namespace tolvane::test
