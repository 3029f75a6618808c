// The combination from end to end: what the destination holds afterwards.
#include <gtest/gtest.h>

#include "StringTable.h"
#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

void WriteRes(const std::string& path, const std::vector<ResourceKey>& resources) {
  TResModule res;
  for (const ResourceKey& k : resources) AddResource(res, k.type, k.name, k.language, k.bytes);
  res.SaveToFile(ToU16(path));
}

void ExpectCombined(const RunResult& r, const std::string& res, const std::string& dest) {
  EXPECT_EQ(r.out, "Resources combined from " + res + " to " + dest + "\r\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, 0);
}

TEST(Combine, NeutralResourceTakesTheBytesOfAnotherLanguage) {
  ScratchDir dir;
  WriteRes(dir.file("n.res"), {{u"10", u"7", 1033, BytesOf("replaced")}});
  ExpectCombined(RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), dir.file("n.res")}), "n.res",
                 "out.exe");
  auto before = LoadImageFile(FixturePath("app.exe"));
  auto after = LoadImageFile(dir.file("out.exe"));
  EXPECT_EQ(after->ResourceCount(), before->ResourceCount());
  TResourceDetails* seven = after->FindResource(u"10", u"7", 0);
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(seven->ResourceLanguage(), 0u);
  EXPECT_EQ(seven->RawData().Bytes(), BytesOf("replaced"));
}

TEST(Combine, ExactMatchReplacesOnlyTheBytes) {
  ScratchDir dir;
  WriteRes(dir.file("x.res"), {{u"MYTYPE", u"HELLO", 1033, BytesOf("new bytes")}});
  ASSERT_EQ(RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), dir.file("x.res")}).status, 0);
  auto before = LoadImageFile(FixturePath("app.exe"));
  auto after = LoadImageFile(dir.file("out.exe"));
  TResourceDetails* was = before->FindResource(u"MYTYPE", u"HELLO", 1033);
  TResourceDetails* now = after->FindResource(u"MYTYPE", u"HELLO", 1033);
  ASSERT_NE(now, nullptr);
  EXPECT_EQ(now->RawData().Bytes(), BytesOf("new bytes"));
  EXPECT_EQ(now->CodePage(), was->CodePage());  // the image's own, not the language's default
  EXPECT_EQ(after->ResourceCount(), before->ResourceCount());
}

TEST(Combine, ResFileWithoutResourcesLeavesTheImageResourcesAsTheyWere) {
  ScratchDir dir;
  WriteFileBytes(dir.file("empty.res"), {});
  WriteRes(dir.file("header-only.res"), {});
  for (const char* res : {"empty.res", "header-only.res"}) {
    SCOPED_TRACE(res);
    ExpectCombined(RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), dir.file(res)}), res, "out.exe");
    EXPECT_EQ(ResourcesOf(*LoadImageFile(dir.file("out.exe"))), ResourcesOf(*LoadImageFile(FixturePath("app.exe"))));
  }
}

TEST(Combine, DestinationMayBeTheSourceImage) {
  ScratchDir dir;
  std::vector<uint8_t> original = ReadFileBytes(FixturePath("app.exe"));
  WriteFileBytes(dir.file("app.exe"), original);
  ExpectCombined(RunTolvane({"-o", "app.exe", "app.exe", FixturePath("merge.res")}, RunOptions().In(dir.path())),
                 "merge.res", "app.exe");
  EXPECT_EQ(ReadFileBytes(dir.file("app.~exe")), original);
  auto merged = LoadImageFile(dir.file("app.exe"));
  EXPECT_NE(merged->FindResource(u"STAMPTYPE", u"STAMP", 1033), nullptr);
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"app.exe", "app.~exe"}));
}

TEST(Combine, TemplateModeIgnoresTheSourceImage) {
  ScratchDir dir;
  ExpectCombined(RunTolvane({"-s", dir.file("r.dll"), "does-not-exist.exe", FixturePath("dllstrings.res")}),
                 "dllstrings.res", "r.dll");
  auto dll = LoadImageFile(dir.file("r.dll"));
  TResModule res;
  res.LoadFromFile(ToU16(FixturePath("dllstrings.res")));
  EXPECT_EQ(ResourcesOf(*dll), ResourcesOf(res));
  EXPECT_EQ(dll->OptionalHeader().Pe32().AddressOfEntryPoint, 0u);
  // Both switches: the template wins, and the destination is the parameter after -o.
  ExpectCombined(RunTolvane({"-o", dir.file("both.dll"), "-s", FixturePath("dllstrings.res")}), "dllstrings.res",
                 "both.dll");
}

TEST(Combine, TemplateModeTakesTheDestinationFromPositionTwo) {
  // "-o -s a.exe b.res": template mode, and the destination is the text "-s".
  ScratchDir dir;
  ExpectCombined(RunTolvane({"-o", "-s", "a.exe", FixturePath("dllstrings.res")}, RunOptions().In(dir.path())),
                 "dllstrings.res", "-s");
  EXPECT_TRUE(PathExists(dir.file("-s")));
}

TEST(Combine, BothJobsRunWithLittleAddressSpace) {
#if TOLVANE_SANITIZED
  GTEST_SKIP() << "a sanitizer reserves far more address space than the limit";
#else
  // The program reserves address space for its heap; where a process may not have
  // that much, it must still run (ulimit -v of 150 MB here).
  ScratchDir dir;
  const long kLimit = 150L << 20;
  ExpectCombined(RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), FixturePath("merge.res")},
                            RunOptions().AddressSpaceLimit(kLimit)),
                 "merge.res", "out.exe");
  RunResult r = RunTolvane({dir.file("out.exe"), "-r", dir.file("out.res")}, RunOptions().AddressSpaceLimit(kLimit));
  EXPECT_EQ(r.status, 0) << r.err;
#endif
}

TEST(Combine, FailedWriteGivesTheErrorReportAndKeepsTheDestination) {
  ScratchDir dir;
  WriteFileBytes(dir.file("out.exe"), BytesOf("previous"));
  RunResult r = RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), FixturePath("merge.res")},
                           RunOptions().FileSizeLimit(4096));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "Exception EWriteError in module tolvane at 00000000.\r\nStream write error.\r\n\r\n");
  EXPECT_EQ(ReadFileBytes(dir.file("out.exe")), BytesOf("previous"));
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"out.exe"});
}

}  // namespace
}  // namespace tolvane::test
