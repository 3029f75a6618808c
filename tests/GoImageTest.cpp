// A program linked by Go's own linker keeps its COFF symbol table inside its last
// section, .symtab, behind .reloc. Merging a .RES adds .rsrc in front of both, so the
// symbol table moves, and every reader of symbols must still find it.
#include <gtest/gtest.h>

#include <mutex>

#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {
namespace {

const std::string kGoImage = FixturePath("gohello.exe");

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

// llvm-readobj's listing of the symbols, without the line that names the file.
RunResult LlvmSymbols(const std::string& image) {
  RunResult r = RunCommand("/usr/bin/env", {"llvm-readobj", "--symbols", image});
  r.out.erase(0, r.out.find('\n', r.out.find("File:")) + 1);
  return r;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

uint32_t SymbolTableOffsetInSymtab(const std::string& image) {
  auto module = LoadImageFile(image);
  TImageSection* symtab = module->GetSectionByName(".symtab");
  EXPECT_NE(symtab, nullptr);
  return symtab == nullptr ? 0 : module->COFFHeader().PointerToSymbolTable - symtab->SectionHeader().PointerToRawData;
}

TEST(ReadersOfSymbols, GoProgramKeepsItsSymbolTableWhenItsLastSectionsMove) {
  const bool haveLlvm = LlvmReadobjAbsent().empty(), haveGo = !FindOnPath("go").empty();
  if (!haveLlvm && !haveGo) GTEST_SKIP() << "neither llvm-readobj (Debian llvm) nor go (Debian golang-go) is installed";
  ScratchDir dir;
  for (const std::string& stamp : {FixturePath("strings.res"), WriteMegabyteRes(dir)}) {
    SCOPED_TRACE(stamp);
    std::string out = dir.file("out.exe");
    RunResult merged = RunTolvane({"-o", out, kGoImage, stamp});
    ASSERT_EQ(merged.status, 0) << merged.out << merged.err;
    EXPECT_EQ(SymbolTableOffsetInSymtab(out), SymbolTableOffsetInSymtab(kGoImage));
    if (haveLlvm) {
      RunResult before = LlvmSymbols(kGoImage), after = LlvmSymbols(out);
      EXPECT_EQ(after.status, 0) << after.err;
      EXPECT_TRUE(after.out == before.out) << "llvm-readobj lists other symbols after the merge";
    }
    if (haveGo && !GoSymbolReader().empty()) {
      RunResult before = RunCommand(GoSymbolReader(), {kGoImage}), after = RunCommand(GoSymbolReader(), {out});
      ASSERT_EQ(before.status, 0) << before.out;
      EXPECT_EQ(after.status, 0) << after.out;
      EXPECT_TRUE(after.out == before.out)
          << "debug/pe: " << FirstLine(after.out) << "; before: " << FirstLine(before.out);
    }
    if (WineCannotRun().empty()) {
      RunResult ran = RunUnderWine({out});
      EXPECT_EQ(ran.status, 0) << "signal " << ran.signal << "; " << ran.err;
      EXPECT_EQ(ran.err.substr(0, 14), "hello from go\n");
    }
  }
}

}  // namespace
}  // namespace tolvane::test
