// The program run as a user runs it: what it prints, where, and its exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"

namespace tolvane::test {
namespace {

std::string Lines(std::initializer_list<std::string> lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

const std::string kHint = "Try 'tolvane -h' for more information\r\n";

const std::string kHelp = Lines({
    "Usage: tolvane [OPTION]... PE-FILE RESOURCE-FILE...",
    "Combine resources from PE-File and RESOURCE-FILE(s).",
    "-h \tdisplay this help and exit",
    "-V \toutput version information and exit",
    "-o FILE\twrite updated ELF-FILE to FILE",
    "-r FILE\twrite combined resources to resource file FILE",
    "-s FILE\twrite combined resources to resource-dll file FILE",
    "examples:",
    "PE->RES: \tsrc.exe -r dest.res",
    "RES->PE.exe: \t-o dest.exe src.exe src.res",
    "RES->PE.dll: \t-s dest.dll src.exe src.res",
});

void ExpectOnly(const RunResult& r, const std::string& out, int status) {
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.status, status);
}

std::string ErrorReport(const std::string& className, const std::string& message) {
  return "Exception " + className + " in module tolvane at 00000000.\r\n" + message + "\r\n\r\n";
}

TEST(CommandLineHelp, HelpIsElevenLinesWhateverElseIsGiven) {
  ExpectOnly(RunTolvane({"-h"}), kHelp, 0);
  ExpectOnly(RunTolvane({"a.exe", "-r", "b.res", "-h"}), kHelp, 0);
  ExpectOnly(RunTolvane({"/H", "-V"}), kHelp, 0);
}

TEST(CommandLineHelp, BannerHasFiveLinesWithContactLinesInParentheses) {
  for (const char* sw : {"-V", "-v", "/V"}) {
    RunResult r = RunTolvane({sw});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = r.out.find("\r\n", start)) != std::string::npos; start = end + 2)
      lines.push_back(r.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 5u) << r.out;
    EXPECT_EQ(lines[0], "Tolvane 0.1, compiled Dec 2 2003");
    for (int contact : {2, 4}) {
      EXPECT_EQ(lines[contact].substr(0, 2), " (");
      EXPECT_EQ(lines[contact].back(), ')');
    }
  }
}

TEST(CommandLineUsage, UsageErrorsPrintTheHintAndSucceed) {
  ExpectOnly(RunTolvane({}), "PE file argument required\r\n" + kHint, 0);
  ExpectOnly(RunTolvane({"-x"}), "invalid option -x\r\n" + kHint, 0);
  ExpectOnly(RunTolvane({"a.exe"}), kHint, 0);
  ExpectOnly(RunTolvane({"-help"}), "invalid option -help\r\n" + kHint, 0);
  ExpectOnly(RunTolvane({"--h"}), "invalid option --h\r\n" + kHint, 0);
  // Four parameters with -r is neither form.
  ExpectOnly(RunTolvane({"-r", "a.exe", "b.res", "c"}), "invalid option -r\r\n" + kHint, 0);
  ExpectOnly(RunTolvane({"a.exe", "b.res", "c", "d"}), kHint, 0);
}

TEST(CommandLineUsage, EmptyArgumentsAreSkipped) {
  ExpectOnly(RunTolvane({"", "-h", ""}), kHelp, 0);
  ExpectOnly(RunTolvane({""}), "PE file argument required\r\n" + kHint, 0);
}

TEST(CommandLineExtract, SwitchIsFoundInAnyPositionAndCase) {
  ScratchDir dir;
  std::string out = dir.file("out.res");
  for (std::vector<std::string> args : {std::vector<std::string>{FixturePath("lib.dll"), "-r", out},
                                        {FixturePath("lib.dll"), "/R", out},
                                        {"", FixturePath("lib.dll"), "", "-R", out}}) {
    ExpectOnly(RunTolvane(args), "Resources extracted from lib.dll to out.res\r\n", 0);
  }
  // The switch may even stand first: the file parameters keep their positions, so
  // "-r" itself is taken as the image and fails to open.
  RunResult r = RunTolvane({"-r", FixturePath("lib.dll"), out}, RunOptions().In(dir.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            ErrorReport("EFOpenError", "Cannot open file \"" + dir.path() + "/-r\". No such file or directory."));
}

TEST(CommandLineExtract, ExtractionGivesTheExpectedResFileByteForByte) {
  for (const char* image : {"app.exe", "app_unstripped.exe", "lib.dll", "overlay.exe", "nores.dll", "app64.exe",
                            "app_unstripped64.exe", "lib64.dll", "overlay64.exe", "nores64.dll"}) {
    SCOPED_TRACE(image);
    ScratchDir dir;
    RunResult r = RunTolvane({FixturePath(image), "-r", dir.file("x.res"), "-64"});
    ExpectOnly(r, std::string("Resources extracted from ") + image + " to x.res\r\n", 0);
    EXPECT_EQ(ReadFileBytes(dir.file("x.res")), ReadFileBytes(FixturePath(std::string(image) + ".extracted.res")));
    EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{"x.res"});
  }
}

TEST(CommandLineExtract, WindresReadsEveryResFileWeWrite) {
  std::string windres = FindOnPath("i686-w64-mingw32-windres");
  if (windres.empty()) GTEST_SKIP() << "i686-w64-mingw32-windres is not installed (Debian binutils-mingw-w64-i686)";
  // (windres refuses a .RES that holds no resource at all, so nores.dll is left out.)
  for (const char* image : {"app.exe", "app_unstripped.exe", "lib.dll", "overlay.exe"}) {
    SCOPED_TRACE(image);
    ScratchDir dir;
    ASSERT_EQ(RunTolvane({FixturePath(image), "-r", dir.file("x.res")}).status, 0);
    EXPECT_EQ(RunQuietly(windres, {"-i", dir.file("x.res"), "-O", "rc", "-o", dir.file("x.rc")}), 0);
  }
}

TEST(CommandLineExtract, QuotedNameWithABlankIsOneParameter) {
  ScratchDir dir;
  WriteFileBytes(dir.file("my app.exe"), ReadFileBytes(FixturePath("lib.dll")));
  RunResult r = RunTolvane({dir.file("my app.exe"), "-r", dir.file("out file.res")});
  ExpectOnly(r, "Resources extracted from my app.exe to out file.res\r\n", 0);
  EXPECT_TRUE(PathExists(dir.file("out file.res")));
}

TEST(CommandLineExtract, NonAsciiNamesSurviveInTheResultLine) {
  ScratchDir dir;
  WriteFileBytes(dir.file("Grüße.dll"), ReadFileBytes(FixturePath("lib.dll")));
  ExpectOnly(RunTolvane({dir.file("Grüße.dll"), "-r", dir.file("日本.res")}),
             "Resources extracted from Grüße.dll to 日本.res\r\n", 0);
  // A console gets the same UTF-8 bytes.
  RunResult console = RunTolvane({dir.file("Grüße.dll"), "-r", dir.file("x.res")}, RunOptions().OnTerminal());
  EXPECT_EQ(console.status, 0);
  EXPECT_NE(console.out.find("Grüße.dll"), std::string::npos) << console.out;
}

TEST(CommandLineExtract, ReplacedDestinationIsKeptAsBackup) {
  ScratchDir dir;
  WriteFileBytes(dir.file("out.res"), BytesOf("previous"));
  WriteFileBytes(dir.file("out"), BytesOf("no dot"));
  ASSERT_EQ(RunTolvane({FixturePath("lib.dll"), "-r", dir.file("out.res")}).status, 0);
  ASSERT_EQ(RunTolvane({FixturePath("lib.dll"), "-r", dir.file("out")}).status, 0);
  EXPECT_EQ(ReadFileBytes(dir.file("out.~res")), BytesOf("previous"));
  EXPECT_EQ(ReadFileBytes(dir.file("out.~")), BytesOf("no dot"));
  EXPECT_EQ(ReadFileBytes(dir.file("out.res")), ReadFileBytes(FixturePath("lib.dll.extracted.res")));
}

TEST(CommandLineExtract, FailuresGiveTheErrorReport) {
  ScratchDir dir;
  WriteFileBytes(dir.file("text.exe"), BytesOf("this is not an image"));
  WriteFileBytes(dir.file("zm.exe"), BytesOf("ZM and more bytes"));
  RunResult missing = RunTolvane({"missing.exe", "-r", "out.res"}, RunOptions().In(dir.path()));
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, ErrorReport("EFOpenError", "Cannot open file \"" + dir.path() +
                                                        "/missing.exe\". No such file or directory."));
  RunResult notImage = RunTolvane({"zm.exe", "-r", "out.res"}, RunOptions().In(dir.path()));
  EXPECT_EQ(notImage.status, 1);
  EXPECT_EQ(notImage.out, "");
  EXPECT_EQ(notImage.err, ErrorReport("EPEException", "Invalid DOS signature."));
  EXPECT_FALSE(PathExists(dir.file("out.res")));
}

TEST(CommandLineCombine, MissingSourceImagePrintsTheErrorLine) {
  ScratchDir dir;
  ExpectOnly(RunTolvane({"-o", "out.exe", "nope.exe", FixturePath("merge.res")}, RunOptions().In(dir.path())),
             "ERROR: Src file is missing: nope.exe\r\n", 1);
  // A directory is not a file.
  ExpectOnly(RunTolvane({"-o", "out.exe", dir.path(), FixturePath("merge.res")}, RunOptions().In(dir.path())),
             "ERROR: Src file is missing: " + dir.path() + "\r\n", 1);
  EXPECT_EQ(ListDirectory(dir.path()), std::vector<std::string>{});
}

TEST(CommandLineCombine, MissingTemplatePrintsItsFullPath) {
  ScratchDir dir;
  std::string copy = dir.file("tolvane");
  WriteFileBytes(copy, ReadFileBytes(TolvaneExecutable()));
  ::chmod(copy.c_str(), 0755);
  RunResult r = RunTolvane({"-s", "out.dll", "whatever.exe", FixturePath("dllstrings.res")},
                           RunOptions().In(dir.path()).Using(copy));
  ExpectOnly(r, "ERROR: Empty.dll is missing: " + dir.path() + "/Empty.dll\r\n", 1);
}

// -64 lets every job read PE32+ wherever it stands; without it a PE32+ image is
// refused as it always was, and with it a PE32 image's outputs do not change.
TEST(CommandLineSwitch64, OpensEveryJobToPE32PlusInAnyPositionAndSpelling) {
  ScratchDir dir;
  const std::string app64 = FixturePath("app64.exe"), stamp = FixturePath("merge.res"), out = dir.file("out");
  const std::string extracted = "Resources extracted from app64.exe to out\r\n";
  const std::string combined = "Resources combined from merge.res to out\r\n";
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
    int status;
  };
  for (const Case& c : {
           Case{{"-64", app64, "-r", out}, extracted, "", 0},
           Case{{app64, "/64", "-r", out}, extracted, "", 0},
           Case{{"-o", out, "-64", app64, stamp}, combined, "", 0},
           Case{{"/64", "-s", out, "x", stamp}, combined, "", 0},
           Case{{app64, "-r", out}, "", ErrorReport("EPEException", "Invalid Windows Image."), 1},
           Case{{"-o", out, app64, stamp}, "", "", 1},
           Case{{"-64"}, "PE file argument required\r\n" + kHint, "", 0},
       }) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    std::filesystem::remove(out);
    RunResult r = RunTolvane(c.args);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(PathExists(out), c.status == 0 && !c.out.starts_with("PE file"));
  }
  for (const std::vector<std::string>& job :
       {std::vector<std::string>{FixturePath("app.exe"), "-r", out}, {"-o", out, FixturePath("app.exe"), stamp}}) {
    RunTolvane(job);
    const auto without = ReadFileBytes(out);
    std::vector<std::string> with = job;
    with.insert(with.begin() + 1, "-64");
    ExpectOnly(RunTolvane(with), job[0] == "-o" ? combined : "Resources extracted from app.exe to out\r\n", 0);
    EXPECT_EQ(ReadFileBytes(out), without);
  }
}

TEST(CommandLineCombine, LoadAndMergeFailuresAreSilent) {
  ScratchDir dir;
  WriteFileBytes(dir.file("corrupt.res"), {0, 0, 0, 0, 0x40, 0, 0, 0, 0xFF, 0xFF, 6, 0});
  WriteFileBytes(dir.file("text.exe"), BytesOf("MZ but nothing more"));
  ExpectOnly(RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), dir.file("corrupt.res")}), "", 1);
  ExpectOnly(RunTolvane({"-o", dir.file("out.exe"), dir.file("text.exe"), FixturePath("merge.res")}), "", 1);
  ExpectOnly(RunTolvane({"-o", dir.file("out.exe"), FixturePath("app.exe"), dir.file("missing.res")}), "", 1);
  EXPECT_FALSE(PathExists(dir.file("out.exe")));
}

// A save deletes what stands at DEST's backup name, then moves DEST there: a run whose
// save would destroy a file it reads, or write over its .RES, is refused before any write.
TEST(CommandLineSave, ASaveThatWouldDestroyAnInputIsRefusedAndEveryFileStays) {
  char exe[PATH_MAX];
  ASSERT_NE(::realpath(TolvaneExecutable().c_str(), exe), nullptr);
  const std::string emptyDll = std::string(exe).substr(0, std::string(exe).rfind('/')) + "/Empty.dll";
  // The run, DEST, and the input its backup would replace ("": DEST is the .RES); the
  // backups of o.exe and o.dll are links to that input.
  const std::string cases[][3] = {{"-o app.exe app.~exe s.res", "app.exe", "app.~exe"},
                                  {"-o s.exe app.exe s.~exe", "s.exe", "s.~exe"},
                                  {"-o o.exe app.exe s.res", "o.exe", "app.exe"},
                                  {"-o s.res app.exe s.res", "s.res", ""},
                                  {"-s s.res x s.res", "s.res", ""},
                                  {"-s s.exe x s.~exe", "s.exe", "s.~exe"},
                                  {"-s o.dll x s.res", "o.dll", emptyDll},
                                  {"app.~exe -r app.exe", "app.exe", "app.~exe"}};
  for (const auto& [run, dest, input] : cases) {
    ScratchDir dir;
    WriteFileBytes(dir.file("app.exe"), ReadFileBytes(FixturePath("app.exe")));
    WriteFileBytes(dir.file("app.~exe"), ReadFileBytes(FixturePath("lib.dll")));
    for (const char* name : {"s.res", "s.~exe"})
      WriteFileBytes(dir.file(name), ReadFileBytes(FixturePath("merge.res")));
    const std::string inputPath = input[0] == '/' ? input : dir.file(input);
    if (dest[0] == 'o') {
      ASSERT_EQ(::symlink(inputPath.c_str(), dir.file("o.~" + dest.substr(2)).c_str()), 0);
    }
    std::map<std::string, std::vector<uint8_t>> before;
    for (const std::string& name : ListDirectory(dir.path())) before[name] = ReadFileBytes(dir.file(name));
    std::istringstream words(run);
    RunResult r = RunTolvane({std::istream_iterator<std::string>(words), {}}, RunOptions().In(dir.path()));
    const std::string why = input.empty()
                                ? "it is the resource file this run reads"
                                : "its backup would take the place of \"" + inputPath + "\", which this run reads";
    EXPECT_EQ(r.out + r.err, ErrorReport("EFCreateError", "Cannot save \"" + dir.file(dest) + "\": " + why + "."));
    EXPECT_EQ(r.status, 1) << run;
    for (const auto& [name, bytes] : before) {
      EXPECT_EQ(ReadFileBytes(dir.file(name)), bytes) << run << ": " << name;
    }
    EXPECT_EQ(ListDirectory(dir.path()).size(), before.size()) << run;
  }
}

}  // namespace
}  // namespace tolvane::test
