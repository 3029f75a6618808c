// Inputs that once crashed the program, hung it or made it write an image it could
// not read back: every file of tests/regressions/ through the reader or job its name
// names (see the README there), and the defects themselves, rebuilt in memory.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "builders/ImageBuilder.h"
#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/ResBuilder.h"
#include "builders/TestFiles.h"
#include "tolvane.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

const std::string kRegressions = std::string(TOLVANE_SOURCE_DIR) + "/tests/regressions";

std::vector<std::string> RegressionFiles(const std::string& prefix) {
  std::vector<std::string> files;
  for (const std::string& name : ListDirectory(kRegressions))
    if (name.rfind(prefix, 0) == 0) files.push_back(name);
  return files;
}

// The combination fuzz target's input: 4 bytes of length, that many of .RES, the image.
struct Combination {
  Bytes res, image;
};

Combination Split(const Bytes& input) {
  if (input.size() < 4) return {};
  uint64_t n = getU32LE(input.data());
  n = std::min<uint64_t>(n, input.size() - 4);
  auto resEnd = input.begin() + 4 + static_cast<std::ptrdiff_t>(n);
  return {Bytes(input.begin() + 4, resEnd), Bytes(resEnd, input.end())};
}

// A refusal of ours, or nothing: anything else thrown fails the test.
template <class F>
void ExpectCleanRefusalOrSuccess(const std::string& what, F&& f) {
  Thrown t = Capture(std::forward<F>(f));
  EXPECT_NE(t.className, "std::exception") << what << ": raised something that is not a refusal: " << t.message;
}

// The merge and save of -o in memory. Gives the image written, or nothing when
// loading, merging or the layout refused.
std::optional<Bytes> CombineInMemory(const Combination& input) {
  try {
    auto image = LoadImage(input.image);
    MergeInto(*image, *LoadRes(input.res));
    return SaveToBytes(*image);
  } catch (const Exception&) {
    return std::nullopt;
  }
}

void ExpectReadsBack(const std::string& what, const Bytes& written) {
  Thrown t = Capture([&] { LoadImage(written); });
  EXPECT_FALSE(t.thrown) << what << ": the image we wrote does not read back: " << t.message;
}

// Exit status 0 or 1, no signal, and nothing from a sanitizer.
void ExpectCleanEnd(const std::string& what, const RunResult& r) {
  EXPECT_EQ(r.signal, 0) << what;
  EXPECT_TRUE(r.status == 0 || r.status == 1) << what << ": status " << r.status;
  EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << what << ": " << r.err;
  EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << what << ": " << r.err;
}

// ---- the committed inputs ----

TEST(RegressionInputs, TheDirectoryHoldsInputsOfEveryKind) {
  EXPECT_FALSE(RegressionFiles("combine-").empty());
  EXPECT_FALSE(RegressionFiles("image-").empty());
  for (const std::string& name : ListDirectory(kRegressions)) {
    bool known = name == "README.md" || name.rfind("image-", 0) == 0 || name.rfind("res-", 0) == 0 ||
                 name.rfind("combine-", 0) == 0;
    EXPECT_TRUE(known) << name << " does not say which reader it is for";
  }
}

TEST(RegressionInputs, EveryImageIsReadOrRefusedCleanly) {
  for (const std::string& name : RegressionFiles("image-")) {
    Bytes bytes = ReadFileBytes(kRegressions + "/" + name);
    ExpectCleanRefusalOrSuccess(name, [&] {
      auto image = LoadImage(bytes);
      ExpectCleanRefusalOrSuccess(name, [&] { ExpectReadsBack(name, SaveToBytes(*image)); });
      // As -r takes it: the .RES written must read back.
      TResModule res;
      res.Assign(*image);
      Bytes written = SaveToBytes(res);
      Thrown t = Capture([&] { LoadRes(written); });
      EXPECT_FALSE(t.thrown) << name << ": the .RES we wrote does not read back: " << t.message;
    });
  }
}

TEST(RegressionInputs, EveryResFileIsReadOrRefusedCleanly) {
  for (const std::string& name : RegressionFiles("res-")) {
    Bytes bytes = ReadFileBytes(kRegressions + "/" + name);
    ExpectCleanRefusalOrSuccess(name, [&] { LoadRes(SaveToBytes(*LoadRes(bytes))); });
  }
}

// Inputs whose written image still changes at every save, each with its open fault.
// An entry goes when its fault is fixed.
const std::set<std::string> kNotYetStable = {};

TEST(RegressionInputs, EveryCombinationIsRefusedOrWritesAnImageThatReadsBack) {
  for (const std::string& name : RegressionFiles("combine-")) {
    Combination input = Split(ReadFileBytes(kRegressions + "/" + name));
    ExpectCleanRefusalOrSuccess(name, [&] {
      if (std::optional<Bytes> written = CombineInMemory(input)) {
        ExpectReadsBack(name, *written);
        // An image we wrote is laid out as we lay it out, so saving it again changes
        // nothing — from the second save on: the first may still drop empty
        // sections, whose headers counted in SizeOfHeaders until then.
        Bytes second = SaveToBytes(*LoadImage(*written));
        if (kNotYetStable.count(name) == 0) {
          EXPECT_TRUE(SaveToBytes(*LoadImage(second)) == second) << name << ": every save changes the image";
        }
        EXPECT_TRUE(CombineInMemory({input.res, *written}).has_value()) << name << ": our own image is refused";
      }
    });
  }
}

TEST(RegressionInputs, TheProgramEndsCleanlyOnEveryInput) {
  ScratchDir dir;
  for (const std::string& name : RegressionFiles("image-")) {
    RunResult r = RunTolvane({kRegressions + "/" + name, "-r", "out.res"}, RunOptions().In(dir.path()).Timeout(20));
    ExpectCleanEnd(name, r);
  }
  for (const std::string& name : RegressionFiles("res-")) {
    RunResult r = RunTolvane({"-o", "out.exe", FixturePath("app.exe"), kRegressions + "/" + name},
                             RunOptions().In(dir.path()).Timeout(20));
    ExpectCleanEnd(name, r);
  }
  for (const std::string& name : RegressionFiles("combine-")) {
    Combination input = Split(ReadFileBytes(kRegressions + "/" + name));
    WriteFileBytes(dir.file("in.exe"), input.image);
    WriteFileBytes(dir.file("in.res"), input.res);
    std::remove(dir.file("out.exe").c_str());
    RunResult r = RunTolvane({"-o", "out.exe", "in.exe", "in.res"}, RunOptions().In(dir.path()).Timeout(20));
    ExpectCleanEnd(name, r);
    if (r.status == 0) ExpectReadsBack(name, ReadFileBytes(dir.file("out.exe")));
  }
}

// ---- the defects, rebuilt ----

// combine-resource-entry-pointing-into-no-section.bin: data directory entry 2 pointed
// at an address no section held, so the image read as having no resources; the
// layout then put a section at that address, and the image written claimed a
// resource directory made of that section's bytes.
TEST(FoundByFuzzing, ResourceEntryThatPointedIntoNoSectionDoesNotPointIntoTheSectionLaidOutThere) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(16, 0x11)).VirtualAddress(0x1000));
  b.AddSection(Section(".late").VirtualAddress(0).VirtualSize(0x100));  // placed by the layout, after .data
  b.DataDirectory(2, 0x2000, 0x100);
  BuiltImage built = b.Build();
  auto image = LoadImage(built);
  ASSERT_EQ(image->ResourceCount(), 0);

  Bytes written = SaveToBytes(*image);
  auto again = LoadImage(written);
  EXPECT_EQ(again->ResourceCount(), 0);
  EXPECT_EQ(again->DataDirectory(2).VirtualAddress(), 0u);
  EXPECT_EQ(again->DataDirectory(2).Size(), 0u);
  ASSERT_EQ(again->ImageSectionCount(), 2);
  EXPECT_EQ(again->ImageSection(1)->SectionHeader().VirtualAddress, 0x2000u);
}

// The image -o writes from a combination input of the regressions, read back; null
// when the merge was refused.
std::unique_ptr<TPEResourceModule> MergedRegressionInput(const std::string& name) {
  std::optional<Bytes> written = CombineInMemory(Split(ReadFileBytes(kRegressions + "/" + name)));
  return written ? LoadImage(*written) : nullptr;
}

// combine-resource-section-with-uninitialized-tail.bin: a resource section whose
// virtual size exceeded its file bytes kept that tail when rebuilt, so it shrank by
// the file padding at every save and entry 2 counted the tail as directory.
TEST(FoundByFuzzing, RebuiltResourceSectionIsExactlyItsDirectory) {
  auto image = MergedRegressionInput("combine-resource-section-with-uninitialized-tail.bin");
  ASSERT_NE(image, nullptr);
  TImageSection* rsrc = image->GetSectionByName(".rsrc");
  ASSERT_NE(rsrc, nullptr);
  EXPECT_EQ(rsrc->UninitializedDataSize(), 0);
  EXPECT_EQ(image->DataDirectory(2).Size(), rsrc->SectionHeader().VirtualSize);
}

// combine-directory-entry-pointing-past-the-resource-section.bin: the base relocation
// entry pointed just past the resource section's bytes, into its slack; the rebuilt
// section grew over it, and the image claimed relocations made of resource bytes.
TEST(FoundByFuzzing, DirectoryEntryInTheResourceSectionsSlackIsRefusedAsShared) {
  Combination input =
      Split(ReadFileBytes(kRegressions + "/combine-directory-entry-pointing-past-the-resource-section.bin"));
  auto image = LoadImage(input.image);
  MergeInto(*image, *LoadRes(input.res));
  EXPECT_EQ(SaveRefusal(*image).message, "The resource section also holds data of another directory");
}

// combine-relocation-entry-naming-an-empty-section.bin: entry 5 named an empty
// section, which is not written; the next section took its address, and the image
// claimed that section's bytes as its base relocations.
TEST(FoundByFuzzing, EntryThatNamedNoBytesNamesNoSectionsBytesAfterTheLayout) {
  auto image = MergedRegressionInput("combine-relocation-entry-naming-an-empty-section.bin");
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->ImageSectionCount(), 2);
  EXPECT_EQ(image->ImageSection(1)->SectionHeader().VirtualAddress, 0x2000u);
  EXPECT_EQ(image->DataDirectory(5).VirtualAddress(), 0u);
  EXPECT_EQ(image->DataDirectory(5).Size(), 0u);
}

// combine-uninitialized-section-of-two-gibibytes.bin: a section's part beyond its
// file data, 2 GiB, read as negative and was laid out as nothing: the section
// vanished from the image.
TEST(FoundByFuzzing, UninitializedPartOfTwoGibibytesKeepsItsSection) {
  auto image = MergedRegressionInput("combine-uninitialized-section-of-two-gibibytes.bin");
  ASSERT_NE(image, nullptr);
  TImageSection* bss = image->GetSectionByName(".bss");
  ASSERT_NE(bss, nullptr);
  EXPECT_EQ(bss->SectionHeader().VirtualSize, 0x80000000u);
}

// combine-appended-bytes-after-a-left-out-section.bin: the image's one section was
// emptied by the merge and left out, and no section's data came before the appended
// bytes: they were written 40 bytes before the place the layout gave them, which
// offsets into them count on.
TEST(FoundByFuzzing, AppendedBytesStayWhereTheLayoutPutsThemWhenASectionIsLeftOut) {
  Combination input = Split(ReadFileBytes(kRegressions + "/combine-appended-bytes-after-a-left-out-section.bin"));
  std::optional<Bytes> written = CombineInMemory(input);
  ASSERT_TRUE(written.has_value());
  ASSERT_EQ(written->size(), input.image.size());
  EXPECT_TRUE(std::equal(input.image.end() - 512, input.image.end(), written->end() - 512));
}

// combine-symbol-table-between-sections.bin: a file offset named bytes between two
// sections' data, which the packed layout leaves out; the offset then named the
// next section's bytes. Every such offset is refused before a byte is written.
TEST(FoundByFuzzing, OffsetIntoTheBytesBetweenSectionsIsRefusedBeforeWriting) {
  const uint32_t kGap = 0x700;  // after .text's data, before .data's at 0x800
  const uint32_t kDebugAt = 0x2000;
  struct Case {
    const char* names;
    std::function<void(BuiltImage&)> pointIntoTheGap;
  };
  const std::vector<Case> cases = {
      {"PointerToSymbolTable", [&](BuiltImage& b) { b.PutU32(b.layout.coffHeader + 8, kGap); }},
      {"The PointerToRelocations of section .text",
       [&](BuiltImage& b) { b.PutU32(b.layout.SectionHeader(0) + 24, kGap); }},
      {"The PointerToLinenumbers of section .data",
       [&](BuiltImage& b) { b.PutU32(b.layout.SectionHeader(1) + 28, kGap); }},
      {"The certificate table", [&](BuiltImage& b) { b.PutU32(b.layout.DataDirectory(4), kGap); }},
      {"A debug record's PointerToRawData", [&](BuiltImage& b) { b.PutU32(b.layout.sectionData[1] + 24, kGap); }},
      // The file padding past a section's VirtualSize is not kept either.
      {"PointerToSymbolTable",
       [&](BuiltImage& b) {
         b.PutU32(b.layout.SectionHeader(0) + 8, 0x100);
         b.PutU32(b.layout.coffHeader + 8, b.layout.sectionData[0] + 0x180);
       }},
  };
  for (const Case& c : cases) {
    ImageBuilder builder;
    builder.AddSection(Section(".text", Fill(0x200, 0x90)).VirtualAddress(0x1000));
    builder.AddSection(Section(".data", Fill(0x200, 0)).VirtualAddress(kDebugAt).RawPointer(0x800));
    builder.DataDirectory(6, kDebugAt, 28);
    BuiltImage built = builder.Build();
    c.pointIntoTheGap(built);
    auto image = LoadImage(built);
    TMemoryStream out;
    EXPECT_EQ(Capture([&] { image->SaveToStream(out); }).message,
              std::string(c.names) + " names bytes between the image's sections, which a rewrite does not keep")
        << c.names;
    EXPECT_EQ(out.Size(), 0) << c.names;
  }
}

// The merge looked up every resource of the .RES by scanning the image, which grows
// as resources are added: 40000 records took 20 s, a few megabytes of .RES hours.
TEST(FoundByReading, MergingTensOfThousandsOfResourcesTakesMomentsAndKeepsTheMatchingRule) {
  constexpr int kRecords = 60000;
  ResBuilder b;
  b.EmptyRecord();
  for (int i = 0; i < kRecords; ++i) {
    ResRecord r;
    r.type = ResId::Ord(300);
    r.name = ResId::Ord(static_cast<uint16_t>(1 + i % 30000));
    r.language = static_cast<uint16_t>(1 + i / 30000);
    r.data = {static_cast<uint8_t>(i)};
    b.Add(r);
  }
  auto res = LoadRes(b.Bytes());
  ASSERT_EQ(res->ResourceCount(), kRecords);
  auto image = LoadImageFile(FixturePath("app.exe"));
  const int before = image->ResourceCount();

  auto start = std::chrono::steady_clock::now();
  MergeInto(*image, *res);
  MergeInto(*image, *res);  // the second time every record finds the one the first added
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 5.0);
  EXPECT_EQ(image->ResourceCount(), before + kRecords);

  // Language 0 still stands in for a language the image lacks, also when the merge
  // itself added the neutral resource.
  ResRecord neutral;
  neutral.type = ResId::Ord(300);
  neutral.name = ResId::Ord(40000);
  neutral.language = 0;
  neutral.data = {0xEE};
  ResRecord german = neutral;
  german.language = 0x407;
  german.data = {0xDD};
  ResBuilder other;
  other.EmptyRecord().Add(neutral).Add(german);
  MergeInto(*image, *LoadRes(other.Bytes()));
  EXPECT_EQ(image->ResourceCount(), before + kRecords + 1);
  TResourceDetails* d = image->FindResource(u"300", u"40000", 0);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->RawData().Bytes(), Bytes{0xDD});
}

// image-sections-sharing-one-block.exe: every section keeps a copy of its bytes, so
// headers that all name one block multiplied it; 20000 of them over 200 KB made the
// program take 4 GB and half a minute, 65535 over a megabyte more than any machine has.
TEST(FoundByReading, SectionsNamingTheSameBytesManyTimesOverAreRefused) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(4096, 0x41)));
  for (int i = 1; i < 300; ++i) b.AddSection(Section(".same", {}).RawPointer(0).RawSize(4096).VirtualSize(4096));
  uint32_t block = b.Build().layout.sectionData[0];
  for (int i = 1; i < 300; ++i) b.Section(i).RawPointer(block);
  BuiltImage built = b.Build();
  EXPECT_EQ(RefusalMessage<EPEException>([&] { LoadImage(built); }),
            "The image's sections share the file's bytes beyond any real image");
}

TEST(FoundByReading, SectionsSharingSomeBytesStillLoad) {
  ImageBuilder b;
  b.AddSection(Section(".data", Fill(4096, 0x41)));
  b.AddSection(Section(".same", {}).RawSize(4096).VirtualSize(4096));
  uint32_t block = b.Build().layout.sectionData[0];
  b.Section(1).RawPointer(block);
  auto image = LoadImage(b.Build());
  ASSERT_EQ(image->ImageSectionCount(), 2);
  EXPECT_EQ(image->ImageSection(1)->RawData().Bytes(), Fill(4096, 0x41));
}

// combine-file-alignment-of-a-gibibyte.bin: every section's data is padded to the
// FileAlignment, and one of 1 GiB turned a 528-byte image into a 3 GB file.
TEST(FoundByReading, FileAlignmentAbove64KiBIsRefusedBeforeAnyByteIsWritten) {
  for (uint32_t alignment : {0x20000u, 0x80000u}) {
    ImageBuilder b;
    b.FileAlignment(alignment).SectionAlignment(alignment);
    b.AddSection(Section(".data", Fill(16, 0x41)).RawPointer(0x400).RawSize(16));
    auto image = LoadImage(b.Build());
    Thrown t = SaveRefusal(*image);
    EXPECT_EQ(t.className, "EPEException");
    EXPECT_EQ(t.message, "The image's FileAlignment is larger than 64 KiB");
  }
  ImageBuilder b;
  b.FileAlignment(0x10000).SectionAlignment(0x10000);
  b.AddSection(Section(".data", Fill(16, 0x41)));
  auto image = LoadImage(b.Build());
  Bytes written = SaveToBytes(*image);
  EXPECT_EQ(written.size(), 0x20000u);  // the headers and the one section, each padded to 64 KiB
}

TEST(FoundByReading, TheProgramRefusesTheHugeFileAlignmentAndKeepsTheDestination) {
  ScratchDir dir;
  Combination input = Split(ReadFileBytes(kRegressions + "/combine-file-alignment-of-a-gibibyte.bin"));
  WriteFileBytes(dir.file("in.exe"), input.image);
  WriteFileBytes(dir.file("in.res"), input.res);
  Bytes previous = BytesOf("the previous destination");
  WriteFileBytes(dir.file("out.exe"), previous);
  RunResult r = RunTolvane({"-o", "out.exe", "in.exe", "in.res"}, RunOptions().In(dir.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Exception EPEException in module tolvane at 00000000.\r\n"
            "The image's FileAlignment is larger than 64 KiB.\r\n\r\n");
  EXPECT_EQ(ReadFileBytes(dir.file("out.exe")), previous);
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"in.exe", "in.res", "out.exe"}));
}

// -r wrote what a .RES record cannot hold, and the file read back as other resources:
// image-language-beyond-sixteen-bits.exe (an image's directory holds 32-bit
// languages, a record 16), image-name-holding-a-zero.exe (an image counts a name's
// characters, a record ends it with a zero, so the rest of the header was misread)
// and image-name-beginning-with-ffff.exe (a name of three U+FFFF characters, whose
// first unit a record's reader takes for the mark of an ordinal).
TEST(FoundByFuzzing, ExtractingWhatAResFileCannotHoldIsRefusedBeforeAnyByteIsWritten) {
  const std::pair<const char*, const char*> cases[] = {
      {"image-language-beyond-sixteen-bits.exe",
       "A resource's language 2147484679 does not fit the 16 bits of a resource file"},
      {"image-name-holding-a-zero.exe",
       "A resource's type or name holds a zero character, which a resource file cannot hold"},
      {"image-name-beginning-with-ffff.exe",
       "A resource's type or name begins with the character U+FFFF, which a resource file reads as a number"}};
  for (const auto& [name, message] : cases) {
    SCOPED_TRACE(name);
    auto image = LoadImageFile(kRegressions + "/" + name);
    TResModule res;
    res.Assign(*image);
    EXPECT_EQ(SaveRefusal(res).message, message);

    ScratchDir dir;
    RunResult r = RunTolvane({kRegressions + "/" + name, "-r", "out.res"}, RunOptions().In(dir.path()));
    EXPECT_EQ(r.status, 1) << name;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_EQ(r.err, "Exception Exception in module tolvane at 00000000.\r\n" + std::string(message) + ".\r\n\r\n")
        << name;
    EXPECT_TRUE(ListDirectory(dir.path()).empty()) << name;
  }
}

// image-digit-name-beside-its-number.exe: the image holds the name "007" and the ID 7,
// two resources. A .RES file has no way to tell digits from their value: both records
// carry the ordinal 7, and both resources' bytes are kept.
TEST(FoundByFuzzing, DigitNameBesideItsNumberKeepsBothRecordsInTheResFile) {
  auto image = LoadImageFile(kRegressions + "/image-digit-name-beside-its-number.exe");
  TResModule res;
  res.Assign(*image);
  auto again = LoadRes(SaveToBytes(res));
  ASSERT_EQ(again->ResourceCount(), 2);
  EXPECT_EQ(again->ResourceDetails(0)->ResourceName(), u"7");
  EXPECT_EQ(again->ResourceDetails(0)->RawData().Bytes(), Bytes{1});
  EXPECT_EQ(again->ResourceDetails(1)->ResourceName(), u"7");
  EXPECT_EQ(again->ResourceDetails(1)->RawData().Bytes(), Bytes{2});
  // The ordinal form stays for the plain numbers.
  ResBuilder b;
  b.EmptyRecord().Add(ResRecord{});
  EXPECT_EQ(SaveToBytes(*LoadRes(b.Bytes())), b.Bytes());
}

// A .RES name may be any length; the image's directory counts one in 16 bits, and a
// longer name was written cut to what the count kept.
TEST(FoundByReading, ANameLongerThanTheDirectoryCanCountIsRefused) {
  auto image = LoadImageFile(FixturePath("nores.dll"));
  AddResource(*image, u"10", std::u16string(70000, u'N'), 0x409, {1});
  Thrown t = SaveRefusal(*image);
  EXPECT_EQ(t.className, "EPEException");
  EXPECT_EQ(t.message, "A resource name is longer than the 65535 characters a resource directory can count");

  auto longest = LoadImageFile(FixturePath("nores.dll"));
  AddResource(*longest, u"10", std::u16string(65535, u'N'), 0x409, {1});
  auto again = LoadImage(SaveToBytes(*longest));
  ASSERT_EQ(again->ResourceCount(), 1);
  EXPECT_EQ(again->ResourceDetails(0)->ResourceName(), std::u16string(65535, u'N'));
}

// The writer replaces the whole section that holds the resource directory. When the
// directory did not start it (resources merged into .rdata), the bytes before it were
// lost; so was the code of a code section holding it.
TEST(FoundByReading, RebuildingASectionThatHoldsMoreThanTheResourcesIsRefused) {
  const std::vector<ResourceSpec> resources = {{ResKey::Id(10), ResKey::Id(1), 0x409, {1, 2, 3}}};
  constexpr uint32_t kVa = 0x2000;
  for (bool code : {false, true}) {
    uint32_t before = code ? 0 : 0x40;
    ResourceBlob blob = BuildResourceDirectory(resources, kVa + before);
    Bytes bytes = Fill(before, 0xEE);
    bytes.insert(bytes.end(), blob.bytes.begin(), blob.bytes.end());
    ImageBuilder b;
    b.AddSection(Section(".text", Fill(16, 0xC3), kCode).VirtualAddress(0x1000));
    b.AddSection(Section(code ? ".code2" : ".rdata", bytes, code ? kCode : kReadOnlyData).VirtualAddress(kVa));
    b.DataDirectory(2, kVa + before, static_cast<uint32_t>(blob.bytes.size()));
    auto image = LoadImage(b.Build());
    ASSERT_EQ(image->ResourceCount(), 1);
    SCOPED_TRACE(code ? "code section" : "directory after other data");
    Thrown t = SaveRefusal(*image);
    EXPECT_EQ(t.className, "EPEException");
    EXPECT_EQ(t.message, "The resource section holds more than the resource directory: code, or data before it");
  }
}

}  // namespace
}  // namespace tolvane::test
