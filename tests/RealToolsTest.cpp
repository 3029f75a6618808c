// Images and .RES files we write, checked by the tools of the field: pefile,
// windres and Wine (the other clients have files of their own). Each test skips with a message where its tool is
// absent; CI installs them all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "StringTable.h"
#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "builders/WrittenImages.h"
#include "clients/Clients.h"
#include "platform/CodePages.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

const std::string kPython = "/usr/bin/python3";
const std::string kPefileCheck = std::string(TOLVANE_SOURCE_DIR) + "/tests/scripts/pefile_check.py";

bool HavePefile() { return PathExists(kPython) && RunQuietly(kPython, {"-c", "import pefile"}) == 0; }

std::string MergeInto(const ScratchDir& dir, const Merge& m) { return WriteMerged(dir, m).path; }

TEST(RealTools, PefileAcceptsEveryImageWeWriteAndAgreesOnItsChecksum) {
  if (!HavePefile()) GTEST_SKIP() << "pefile is not installed for /usr/bin/python3 (Debian python3-pefile)";
  ScratchDir dir;
  for (const WrittenImage& w : WriteTheImagesWeJudge(dir)) {
    SCOPED_TRACE(w.label);
    const std::string& out = w.path;
    RunResult check = RunCommand(kPython, {kPefileCheck, out});
    EXPECT_EQ(check.status, 0) << check.err;
    // pefile lists the resources our reader finds, in the same order.
    std::string ours;
    auto image = LoadImageFile(out);
    for (const ResourceKey& k : ResourcesOf(*image))
      ours += platform::WideToUtf8(k.type) + " " + platform::WideToUtf8(k.name) + " " + std::to_string(k.language) +
              " " + std::to_string(k.bytes.size()) + "\n";
    EXPECT_EQ(check.out, ours);
  }
  RunResult templ = RunTolvane({"-s", dir.file("r.dll"), "x", FixturePath("dllstrings.res")});
  ASSERT_EQ(templ.status, 0) << templ.err;
  EXPECT_EQ(RunCommand(kPython, {kPefileCheck, dir.file("r.dll")}).status, 0);
  EXPECT_EQ(RunCommand(kPython, {kPefileCheck, std::string(TOLVANE_EXE).substr(0, std::string(TOLVANE_EXE).rfind('/')) +
                                                   "/Empty.dll"})
                .status,
            0);
}

// The x86_64 windres reads PE32 and PE32+ images; the i686 one reads PE32 alone.
TEST(RealTools, WindresReadsTheResourcesBackOutOfOurImages) {
  std::string windres = FindOnPath("x86_64-w64-mingw32-windres");
  if (windres.empty()) GTEST_SKIP() << "x86_64-w64-mingw32-windres is not installed (Debian binutils-mingw-w64-x86-64)";
  ScratchDir dir;
  for (const WrittenImage& w : WriteTheImagesWeJudge(dir)) {
    SCOPED_TRACE(w.label);
    const std::string& out = w.path;
    RunResult r = RunCommand(windres, {"-i", out, "-O", "res", "-o", dir.file("back.res")});
    EXPECT_EQ(r.status, 0) << r.err;
  }
}

TEST(RealTools, ExtractMergeExtractGivesTheSameResFile) {
  for (const char* image : {"app.exe", "app_unstripped.exe", "lib.dll", "overlay.exe", "nores.dll", "app64.exe",
                            "app_unstripped64.exe", "lib64.dll", "overlay64.exe", "nores64.dll"}) {
    SCOPED_TRACE(image);
    ScratchDir dir;
    const std::string source = FixturePath(image), merged = dir.file("merged.exe");
    ASSERT_EQ(RunTolvane(ForImage({source, "-r", dir.file("first.res")}, source)).status, 0);
    ASSERT_EQ(RunTolvane(ForImage({"-o", merged, source, dir.file("first.res")}, source)).status, 0);
    ASSERT_EQ(RunTolvane(ForImage({merged, "-r", dir.file("second.res")}, source)).status, 0);
    EXPECT_EQ(ReadFileBytes(dir.file("second.res")), ReadFileBytes(dir.file("first.res")));
  }
}

// The probe decides whether the Wine tests run, so it must say why it skips them and
// must not mistake a Wine that runs but answers wrongly for one that cannot start.
TEST(WineProbe, TellsWhyWineCannotRunOrSaysNothing) {
  struct Case {
    const char* fakeWine;  // the body of a `wine` found first on PATH
    int status;
    const char* reason;
  };
  const Case cases[] = {
      {"echo 'Hello, world'; echo 'version 1.0.0.0'", 0, ""},
      {"echo 'wine: could not exec the wine loader: Exec format error' >&2; exit 126", 1,
       "Wine cannot run 32-bit programs on this system: Exec format error\n"},
      {"echo 'Goodbye'", 1, "Wine cannot run 32-bit programs on this system: exit 0\n"},
      {"echo 'err:module:import_dll Library x.dll not found' >&2; exit 3", 1,
       "Wine cannot run 32-bit programs on this system: exit 3: err:module:import_dll Library x.dll not found\n"},
      {"sleep 30", 1, "Wine cannot run 32-bit programs on this system: no answer within 1 s\n"},
  };
  const char* path = std::getenv("PATH");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fakeWine);
    ScratchDir dir;
    WriteFileBytes(dir.file("wine"), BytesOf(std::string("#!/bin/sh\n") + c.fakeWine + "\n"));
    ASSERT_EQ(::chmod(dir.file("wine").c_str(), 0755), 0);
    RunResult r =
        RunCommand("/usr/bin/env", {"PATH=" + dir.path() + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
                                    "WINE_PROBE_TIMEOUT=1", std::string(TOLVANE_SOURCE_DIR) + "/tools/wine-probe"});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, c.reason);
  }
}

// Asked the 64-bit question, the probe runs the 64-bit loader and names it, for its
// callers to run the same one.
TEST(WineProbe, NamesThe64BitLoaderThatRanOrTellsWhyNone) {
  struct Case {
    const char* fakeWine64;  // the body of a `wine64` found first on PATH
    int status;
    const char* reason;  // empty: the fake's own path
  };
  const Case cases[] = {
      {"echo 'Hello, world'; echo 'version 1.0.0.0'", 0, ""},
      {"echo 'wine: could not exec the wine loader: Exec format error' >&2; exit 126", 1,
       "Wine cannot run 64-bit programs on this system: Exec format error\n"},
      {"echo 'Goodbye'", 1, "Wine cannot run 64-bit programs on this system: exit 0\n"},
  };
  const char* path = std::getenv("PATH");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fakeWine64);
    ScratchDir dir;
    WriteFileBytes(dir.file("wine64"), BytesOf(std::string("#!/bin/sh\n") + c.fakeWine64 + "\n"));
    ASSERT_EQ(::chmod(dir.file("wine64").c_str(), 0755), 0);
    RunResult r = RunCommand("/usr/bin/env",
                             {"PATH=" + dir.path() + ":" + (path != nullptr ? path : "/usr/bin:/bin"),
                              "WINE_PROBE_TIMEOUT=5", std::string(TOLVANE_SOURCE_DIR) + "/tools/wine-probe", "--64"});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, *c.reason != 0 ? std::string(c.reason) : dir.file("wine64") + "\n");
  }
}

// Wine is probed first: where it cannot start a 32-bit program these skip with the
// probe's reason, and where it can, a wrong outcome fails.
class Wine : public ::testing::Test {
protected:
  void SetUp() override { SKIP_UNLESS_PRESENT(WineCannotRun()); }
};

TEST_F(Wine, MergedProgramShowsTheReplacedStringAndVersion) {
  ScratchDir dir;
  for (const char* image : {"app.exe", "app_unstripped.exe", "overlay.exe"}) {
    SCOPED_TRACE(image);
    std::string out = MergeInto(dir, {image, "merge.res"});
    RunResult r = RunUnderWine({out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Stamped by tolvane\nFileVersion 2.0.0.0\n");
  }
}

TEST_F(Wine, ProgramWhoseResourcesMovedRelocationsStillRuns) {
  ScratchDir dir;
  RunResult merged = RunTolvane({"-o", dir.file("big.exe"), FixturePath("app.exe"), WriteMegabyteRes(dir)});
  ASSERT_EQ(merged.status, 0) << merged.err;
  RunResult r = RunUnderWine({dir.file("big.exe")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Hello from app.exe\nFileVersion 1.0.0.0\n");
}

// Wine's own console programs, which nobody here built, print what they printed
// before after a merge of our version stamp, and after one that moves .reloc and
// the debug sections behind .rsrc. cmd's help and find's complaint come from their
// string tables.
TEST_F(Wine, ItsOwnProgramsRunAsBeforeAfterAMerge) {
  const std::string programs = "/usr/lib/i386-linux-gnu/wine/i386-windows/";
  if (!PathExists(programs + "cmd.exe")) GTEST_SKIP() << "Wine's i386 programs are not in " << programs;
  const std::string stamp = std::string(TOLVANE_SOURCE_DIR) + "/tests/realworld/realworld_stamp.res";
  for (const MergedRun& m : {MergedRun{{programs + "cmd.exe", "/c", "help echo & ver & set /a 6*7"}, 0, stamp},
                             MergedRun{{programs + "find.exe", "/?"}, 0, stamp}})
    ExpectMergedRunsAsUntouched(m, RunUnderWine);
}

// python3-distlib's script launcher (built by others, with MSVC) finds the script
// appended to it by the zip record at the very end of its file, and runs the
// command of the script's #! line with its own path: the appended bytes must stay
// the file's last ones after a merge.
TEST_F(Wine, ScriptLauncherFindsItsAppendedScriptAfterAMerge) {
  const std::string launcher = "/usr/lib/python3/dist-packages/distlib/t32.exe";
  if (!PathExists(launcher)) GTEST_SKIP() << "python3-distlib's t32.exe is not installed";
  ScratchDir dir;
  ExpectMergedRunsAsUntouched({{WithAppendedScript(launcher, dir), "one", "two"}, 0, FixturePath("merge.res")},
                              RunUnderWine);
}

TEST_F(Wine, ResourceDllWrittenFromTheTemplateLoadsAsDataFile) {
  ScratchDir dir;
  RunResult made = RunTolvane({"-s", dir.file("strings.dll"), "unused.exe", FixturePath("dllstrings.res")});
  ASSERT_EQ(made.status, 0) << made.err;
  RunResult r = RunUnderWine({FixturePath("dataloader.exe"), dir.file("strings.dll")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Hello from a resource DLL\n");
}

TEST_F(Wine, DllWithNewResourceSectionStillLoads) {
  ScratchDir dir;
  std::string out = MergeInto(dir, {"nores.dll", "dllstrings.res"});
  RunResult r = RunUnderWine({FixturePath("dataloader.exe"), out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Hello from a resource DLL\n");
}

}  // namespace
}  // namespace tolvane::test
