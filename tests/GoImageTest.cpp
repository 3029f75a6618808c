// A program linked by Go's own linker keeps its COFF symbol table inside its last
// section, .symtab, behind .reloc. Merging a .RES adds .rsrc in front of both, so the
// symbol table moves, and every reader of symbols must still find it: in the
// windows/386 program and in the windows/amd64 one.
#include <gtest/gtest.h>

#include <mutex>

#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {
namespace {

// Go's debug/pe, as every Go tool reads an image: built once per process.
std::string GoSymbolReader() {
  static std::once_flag once;
  static std::string reader;
  static ScratchDir dir;
  std::call_once(once, [] {
    std::string go = FindOnPath("go");
    if (go.empty()) return;
    RunResult r = RunCommand("/usr/bin/env",
                             {"GO111MODULE=off", go, "build", "-o", dir.file("pe_symbols"),
                              std::string(TOLVANE_SOURCE_DIR) + "/tests/scripts/pe_symbols.go"},
                             RunOptions().Timeout(300));
    if (r.status == 0)
      reader = dir.file("pe_symbols");
    else
      ADD_FAILURE() << "go build failed: " << r.out << r.err;
  });
  return reader;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

uint32_t SymbolTableOffsetInSymtab(const std::string& image) {
  auto module = LoadImageFile(image);
  TImageSection* symtab = module->GetSectionByName(".symtab");
  EXPECT_NE(symtab, nullptr);
  return symtab == nullptr ? 0 : module->COFFHeader().PointerToSymbolTable - symtab->SectionHeader().PointerToRawData;
}

void ExpectSymbolTableKeptWhenLastSectionsMove(const std::string& goImage, bool haveLlvm, bool haveGo) {
  ScratchDir dir;
  for (const std::string& stamp : {FixturePath("strings.res"), WriteMegabyteRes(dir)}) {
    SCOPED_TRACE(stamp);
    std::string out = dir.file("out.exe");
    RunResult merged = RunTolvane(ForImage({"-o", out, goImage, stamp}, goImage));
    ASSERT_EQ(merged.status, 0) << merged.out << merged.err;
    EXPECT_EQ(SymbolTableOffsetInSymtab(out), SymbolTableOffsetInSymtab(goImage));
    if (haveLlvm) {
      RunResult before = LlvmReadobjListing({"--symbols"}, goImage), after = LlvmReadobjListing({"--symbols"}, out);
      EXPECT_EQ(after.status, 0) << after.err;
      EXPECT_TRUE(after.out == before.out) << "llvm-readobj lists other symbols after the merge";
    }
    if (haveGo && !GoSymbolReader().empty()) {
      RunResult before = RunCommand(GoSymbolReader(), {goImage}), after = RunCommand(GoSymbolReader(), {out});
      ASSERT_EQ(before.status, 0) << before.out;
      EXPECT_EQ(after.status, 0) << after.out;
      EXPECT_TRUE(after.out == before.out)
          << "debug/pe: " << FirstLine(after.out) << "; before: " << FirstLine(before.out);
    }
    // Wine64's table runs the amd64 program.
    if (goImage.ends_with("gohello.exe") && WineCannotRun().empty()) {
      RunResult ran = RunUnderWine({out});
      EXPECT_EQ(ran.status, 0) << "signal " << ran.signal << "; " << ran.err;
      EXPECT_EQ(ran.err.substr(0, 14), "hello from go\n");
    }
  }
}

TEST(ReadersOfSymbols, GoProgramKeepsItsSymbolTableWhenItsLastSectionsMove) {
  const bool haveLlvm = LlvmReadobjAbsent().empty(), haveGo = !FindOnPath("go").empty();
  if (!haveLlvm && !haveGo) GTEST_SKIP() << "neither llvm-readobj (Debian llvm) nor go (Debian golang-go) is installed";
  for (const char* program : {"gohello.exe", "gohello64.exe"}) {
    SCOPED_TRACE(program);
    ExpectSymbolTableKeptWhenLastSectionsMove(FixturePath(program), haveLlvm, haveGo);
  }
}

}  // namespace
}  // namespace tolvane::test
