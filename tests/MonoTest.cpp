// Mono judges our images two ways: it runs a .NET program whose resources we
// rewrote, and its FileVersionInfo reads the version resource of every image we
// write. Each test skips with Mono's reason where it cannot run our reader.
#include <gtest/gtest.h>

#include <map>

#include "builders/ImageFiles.h"
#include "builders/ResBuilder.h"
#include "builders/TestFiles.h"
#include "builders/WrittenImages.h"
#include "clients/Clients.h"

namespace tolvane::test {
namespace {

std::string Text(const MonoVersion& v) {
  return "FileVersion=" + v.fileVersion + "\nProductVersion=" + v.productVersion + "\nProductName=" + v.productName +
         "\n";
}

// What the fixtures' sources put in their version resources (showversion.cs,
// showversion_stamp.rc and the .rc files of the MinGW fixtures, the x86_64 ones
// built from the same); a file not listed has no version resource.
const std::map<std::string, MonoVersion> kVersionOf = {
    {"showversion.exe", {"1.2.3.4", "1.2.0.0-original", "Tolvane Mono Reader"}},
    {"showversion64.exe", {"1.2.3.4", "1.2.0.0-original", "Tolvane Mono Reader"}},
    {"showversion_stamp.res", {"2.5.0.7", "2.5.0.0-stamped", "Tolvane Mono Reader (stamped)"}},
    {"app.exe", {"1.0.0.0", "1.0.0.0", "Tolvane Fixtures"}},
    {"app_unstripped.exe", {"1.0.0.0", "1.0.0.0", "Tolvane Fixtures"}},
    {"overlay.exe", {"1.0.0.0", "1.0.0.0", "Tolvane Fixtures"}},
    {"lib.dll", {"3.1.4.1", "3.1.0.0", "Tolvane Fixtures"}},
    {"app64.exe", {"1.0.0.0", "1.0.0.0", "Tolvane Fixtures"}},
    {"app_unstripped64.exe", {"1.0.0.0", "1.0.0.0", "Tolvane Fixtures"}},
    {"overlay64.exe", {"1.0.0.0", "1.0.0.0", "Tolvane Fixtures"}},
    {"lib64.dll", {"3.1.4.1", "3.1.0.0", "Tolvane Fixtures"}},
    {"merge.res", {"2.0.0.0", "2.0.0.0", "Tolvane Fixtures"}},
    {"mixed.res", {"0.9.0.7", "", "Tolvane Fixtures"}},  // its string table has no ProductVersion
    {"version.res", {"4.3.2.1", "4.3.0.0", "Tolvane Fixtures"}},
    {"concat.res", {"4.3.2.1", "4.3.0.0", "Tolvane Fixtures"}},
};

MonoVersion VersionOf(const std::string& fixture) {
  auto it = kVersionOf.find(fixture);
  return it == kVersionOf.end() ? MonoVersion{} : it->second;
}

class Mono : public ::testing::Test {
protected:
  void SetUp() override { SKIP_UNLESS_PRESENT(MonoAbsent()); }
};

void ExpectStampedProgramRunsAndShowsItsNewVersion(const std::string& name) {
  const std::string program = FixturePath(name);
  const std::vector<uint8_t> stamp = ReadFileBytes(FixturePath("showversion_stamp.res"));
  // A megabyte of RCDATA makes .rsrc outgrow its slot, so .reloc after it must move.
  ResRecord big;
  big.name = ResId::Ord(999);
  big.data.assign(1 << 20, 0x5A);
  const struct {
    const char* label;
    std::vector<uint8_t> res;
    bool relocMoves;
  } cases[] = {{"the stamp alone", stamp, false},
               {"the stamp and 1 MiB of RCDATA", ResBuilder().Raw(stamp).Add(big).Bytes(), true}};
  MonoVersion original;
  ASSERT_TRUE(MonoReadsVersionOf(program, original));
  EXPECT_EQ(Text(original), Text(VersionOf(name)));
  const IMAGE_SECTION_HEADER relocBefore = LoadImageFile(program)->GetSectionByName(".reloc")->SectionHeader();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ScratchDir dir;
    WriteFileBytes(dir.file("stamp.res"), c.res);
    RunResult merged = RunTolvane(ForImage({"-o", dir.file("stamped.exe"), program, dir.file("stamp.res")}, program));
    ASSERT_EQ(merged.status, 0) << merged.out << merged.err;
    const auto stamped = LoadImageFile(dir.file("stamped.exe"));
    ASSERT_NE(stamped->GetSectionByName(".reloc"), nullptr);
    const IMAGE_SECTION_HEADER relocAfter = stamped->GetSectionByName(".reloc")->SectionHeader();
    EXPECT_EQ(relocAfter.VirtualAddress != relocBefore.VirtualAddress, c.relocMoves);
    EXPECT_EQ(relocAfter.PointerToRawData > relocBefore.PointerToRawData + (1u << 20), c.relocMoves);

    // The program itself starts under Mono and reads its own, new version...
    RunResult own = RunCommand(FindOnPath("mono"), {dir.file("stamped.exe")}, RunOptions().Timeout(120));
    EXPECT_EQ(own.status, 0) << own.err;
    EXPECT_EQ(own.out, Text(VersionOf("showversion_stamp.res")));
    // ...which our unchanged reader sees too.
    MonoVersion read;
    ASSERT_TRUE(MonoReadsVersionOf(dir.file("stamped.exe"), read));
    EXPECT_EQ(Text(read), Text(VersionOf("showversion_stamp.res")));
  }
}

// The AnyCPU program and its x64 build, a PE32+ image.
TEST_F(Mono, StampedProgramRunsAndShowsItsNewVersion) {
  for (const char* name : {"showversion.exe", "showversion64.exe"}) {
    SCOPED_TRACE(name);
    ExpectStampedProgramRunsAndShowsItsNewVersion(name);
  }
}

TEST_F(Mono, ReadsTheVersionTheResPutIntoEveryImageWeWrite) {
  const std::string templ = TolvaneExecutable().substr(0, TolvaneExecutable().rfind('/')) + "/Empty.dll";
  ScratchDir dir;
  for (const Merge& m : kMergesWeJudge) {
    const WrittenImage w = WriteMerged(dir, m);
    SCOPED_TRACE(w.label);
    // The table agrees with the records dump_res.py wrote on which .RES files hold
    // a version resource (type 16).
    const std::vector<uint8_t> records = ReadFileBytes(FixturePath(std::string(m.res) + ".records.txt"));
    EXPECT_EQ(std::string(records.begin(), records.end()).find("\n16 ") != std::string::npos,
              kVersionOf.contains(m.res));

    const MonoVersion original = m.image != nullptr ? VersionOf(m.image) : MonoVersion{};
    MonoVersion before, after;
    ASSERT_TRUE(MonoReadsVersionOf(m.image != nullptr ? w.source : templ, before));
    EXPECT_EQ(Text(before), Text(original));
    ASSERT_TRUE(MonoReadsVersionOf(w.path, after));
    EXPECT_EQ(Text(after), Text(kVersionOf.contains(m.res) ? VersionOf(m.res) : original));
  }
}

}  // namespace
}  // namespace tolvane::test
