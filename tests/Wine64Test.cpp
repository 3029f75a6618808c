// 64-bit programs under Wine's 64-bit loader, the one `tools/wine-probe --64` finds;
// where it finds none that runs, these skip with its reason.
#include <gtest/gtest.h>

#include <algorithm>

#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {
namespace {

class Wine64 : public ::testing::Test {
protected:
  void SetUp() override { SKIP_UNLESS_PRESENT(Wine64CannotRun()); }
};

// The loader and the x86_64 fixtures as built, before they judge any image we write:
// each prints what its source says, and relocloader64.exe shows that lib64.dll loads
// away from its preferred base, its relocations applied.
TEST_F(Wine64, UntouchedFixturesRunAsBuilt) {
  struct Case {
    std::vector<std::string> run;
    int status;
    std::string out;
    std::string errBegins;  // Go prints to standard error
  };
  const std::string app = "Hello from app.exe\nFileVersion 1.0.0.0\n";
  const Case cases[] = {
      {{FixturePath("app64.exe")}, 0, app, ""},
      {{FixturePath("app_unstripped64.exe")}, 0, app, ""},
      {{FixturePath("overlay64.exe")}, 0, app, ""},
      {{FixturePath("dataloader64.exe"), FixturePath("lib64.dll"), "2"}, 0, "lib.dll second string\n", ""},
      {{FixturePath("dataloader64.exe"), FixturePath("nores64.dll")}, 1, "", "dataloader: string not found\n"},
      {{FixturePath("relocloader64.exe"), FixturePath("lib64.dll")}, 0, "Hello from lib.dll\nrelocated\n", ""},
      {{FixturePath("gohello64.exe")}, 0, "", "hello from go\n"},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& arg : c.run) label += arg.substr(arg.rfind('/') + 1) + " ";
    SCOPED_TRACE(label);
    const RunResult r = RunUnderWine64(c.run);
    EXPECT_EQ(r.status, c.status) << "signal " << r.signal << "; " << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.substr(0, c.errBegins.size()), c.errBegins);
  }
}

const std::string kModules = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/";
const std::string kLauncher = "/usr/lib/python3/dist-packages/distlib/t64.exe";

// What we write runs as the untouched image ran, or shows what we stamped into it:
// after our stamp, and after a megabyte that moves the sections behind .rsrc (.reloc,
// DWARF, Go's .symtab). Wine's own programs and distlib's launcher nobody here built.
TEST_F(Wine64, ProgramsWeWriteRunAsTheUntouchedOnesOrShowTheirStamp) {
  if (!PathExists(kModules + "cmd.exe") || !PathExists(kLauncher))
    GTEST_SKIP() << "Wine's x86_64 programs (Debian wine64) or distlib's t64.exe (python3-distlib) are missing";
  ScratchDir dir;
  const std::string stamp = std::string(TOLVANE_SOURCE_DIR) + "/tests/realworld/realworld_stamp.res";
  const std::string stamped = "Stamped by tolvane\nFileVersion 2.0.0.0\n";
  const MergedRun table[] = {
      {{FixturePath("app64.exe")}, 0, FixturePath("merge.res"), stamped},
      {{FixturePath("app_unstripped64.exe")}, 0, FixturePath("merge.res"), stamped},
      {{FixturePath("relocloader64.exe"), FixturePath("lib64.dll")},
       1,
       FixturePath("dllstrings.res"),
       "Hello from a resource DLL\nrelocated\n"},
      {{FixturePath("gohello64.exe")}, 0, stamp},
      {{kModules + "cmd.exe", "/c", "help echo & ver & set /a 6*7"}, 0, stamp},
      {{kModules + "find.exe", "/?"}, 0, stamp},
      // Its .reloc section holds zeros past the base relocations, which x86_64 code
      // could address without one: it may not move.
      {{WithAppendedScript(kLauncher, dir), "one", "two"},
       0,
       FixturePath("merge.res"),
       "",
       "Section .reloc would move, but the image's code may address it without base relocations"},
  };
  for (const MergedRun& m : table) ExpectMergedRunsAsUntouched(m, RunUnderWine64);
}

// The table runs our copies, not Wine's builtin programs: a copy of cmd.exe whose
// code is all int3, under the name the table gives it, stops at the first.
TEST_F(Wine64, RunsOurCopyOfItsOwnProgramNotItsBuiltin) {
  if (!PathExists(kModules + "cmd.exe")) GTEST_SKIP() << "Wine's x86_64 programs are not in " << kModules;
  ScratchDir dir;
  const std::string copy = CopyUnderOwnName(kModules + "cmd.exe", dir);
  Bytes bytes = ReadFileBytes(copy);
  const IMAGE_SECTION_HEADER text = LoadImageFile(copy)->GetSectionByName(".text")->SectionHeader();
  std::fill_n(bytes.begin() + text.PointerToRawData, text.SizeOfRawData, 0xCC);
  WriteFileBytes(copy, bytes);
  const RunResult r = RunUnderWine64({copy, "/c", "ver"});
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out.find("Microsoft Windows"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace tolvane::test
