// Images written back after merges: our own reader, the section layout and the
// positions that depend on it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"
#include "platform/Checksum.h"

namespace tolvane::test {
namespace {

const char* const kImages[] = {"app.exe", "app_unstripped.exe", "lib.dll", "overlay.exe", "nores.dll"};

std::map<std::string, std::vector<uint8_t>> SectionBytesByName(const TPEModule& image) {
  std::map<std::string, std::vector<uint8_t>> bytes;
  for (int i = 0; i < image.ImageSectionCount(); ++i)
    bytes[image.ImageSection(i)->SectionName()] = image.ImageSection(i)->RawData().Bytes();
  return bytes;
}

uint32_t AlignUp(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }

// Checks the table at offset and everything below it: named entries first, names
// ascending by UTF-16 code units, then IDs ascending.
void ExpectSortedTable(ByteView rsrc, uint32_t offset, int depth) {
  ASSERT_LT(depth, 4);
  uint16_t named = rsrc.u16(offset + 12), ids = rsrc.u16(offset + 14);
  std::u16string previousName;
  int64_t previousId = -1;
  for (uint32_t i = 0; i < uint32_t(named) + ids; ++i) {
    uint32_t name = rsrc.u32(offset + 16 + 8 * i), target = rsrc.u32(offset + 20 + 8 * i);
    if (i < named) {
      ASSERT_TRUE(name & 0x80000000u);
      uint32_t at = name & 0x7FFFFFFF;
      std::u16string text;
      for (uint16_t k = 0; k < rsrc.u16(at); ++k) text += static_cast<char16_t>(rsrc.u16(at + 2 + 2 * k));
      if (i > 0) {
        EXPECT_LT(previousName, text);
      }
      previousName = text;
    } else {
      EXPECT_FALSE(name & 0x80000000u);
      EXPECT_GT(int64_t(name), previousId);
      previousId = name;
    }
    if (target & 0x80000000u) ExpectSortedTable(rsrc, target & 0x7FFFFFFF, depth + 1);
  }
}

// What every image we write must satisfy, whatever was merged into it.
void ExpectSoundImage(const std::vector<uint8_t>& written, const std::vector<uint8_t>& originalFile) {
  auto image = LoadImage(written);
  auto originalImage = LoadImage(originalFile);
  TPEResourceModule& original = *originalImage;
  IMAGE_OPTIONAL_HEADER32 oh = image->OptionalHeader().Pe32();

  uint32_t stored, computed;
  ASSERT_TRUE(platform::CheckSumMappedFile(written.data(), written.size(), stored, computed));
  EXPECT_EQ(stored, computed);

  // Sections follow one another without gaps, from SectionAlignment on.
  uint32_t nextAddress = oh.SectionAlignment;
  uint32_t nextPointer = 0;
  for (int i = 0; i < image->ImageSectionCount(); ++i) {
    const IMAGE_SECTION_HEADER& h = image->ImageSection(i)->SectionHeader();
    EXPECT_EQ(h.VirtualAddress, nextAddress) << image->ImageSection(i)->SectionName();
    nextAddress += AlignUp(h.VirtualSize, oh.SectionAlignment);
    if (h.SizeOfRawData != 0) {
      if (nextPointer != 0) {
        EXPECT_EQ(h.PointerToRawData, nextPointer) << image->ImageSection(i)->SectionName();
      }
      nextPointer = h.PointerToRawData + h.SizeOfRawData;
    }
  }
  EXPECT_EQ(oh.SizeOfImage, nextAddress);

  // Everything but the resource section is byte for byte what it was.
  auto before = SectionBytesByName(original);
  auto after = SectionBytesByName(*image);
  for (const auto& [name, bytes] : before)
    if (name != ".rsrc") {
      EXPECT_EQ(after[name], bytes) << name;
    }
  EXPECT_EQ(BytesOf(image->EndComment()), BytesOf(original.EndComment()));

  // Data directory 2 covers the new resource section, which is sorted throughout.
  uint32_t offset = 0;
  TImageSection* rsrc = image->GetResourceSection(offset);
  if (image->ResourceCount() > 0) {
    ASSERT_NE(rsrc, nullptr);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(image->DataDirectory(2).VirtualAddress(), rsrc->SectionHeader().VirtualAddress);
    EXPECT_EQ(image->DataDirectory(2).Size(), rsrc->RawData().Size());
    ExpectSortedTable(rsrc->RawData().View(), 0, 0);
  }
  // The base relocations are still found where .reloc now stands.
  if (TImageSection* reloc = image->GetSectionByName(".reloc")) {
    EXPECT_EQ(image->DataDirectory(5).VirtualAddress(), reloc->SectionHeader().VirtualAddress);
    EXPECT_EQ(image->DataDirectory(5).Size(), original.DataDirectory(5).Size());
  }
  // The symbol and string tables travel in the appended bytes, and the header still finds them.
  IMAGE_FILE_HEADER coff = image->COFFHeader(), was = original.COFFHeader();
  if (was.PointerToSymbolTable != 0) {
    size_t tableSize = size_t(was.NumberOfSymbols) * 18;
    ASSERT_LE(coff.PointerToSymbolTable + tableSize, written.size());
    std::vector<uint8_t> now(written.begin() + coff.PointerToSymbolTable,
                             written.begin() + coff.PointerToSymbolTable + tableSize);
    std::vector<uint8_t> then(originalFile.begin() + was.PointerToSymbolTable,
                              originalFile.begin() + was.PointerToSymbolTable + tableSize);
    EXPECT_EQ(now, then);
    EXPECT_EQ(image->SymbolCount(), original.SymbolCount());
    EXPECT_EQ(image->StringTableCount(), original.StringTableCount());
  }
}

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
}

TEST(ImageWriter, ImageSavedAsLoadedKeepsItsResourcesAndSections) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    auto original = LoadImageFile(FixturePath(name));
    auto copy = LoadImageFile(FixturePath(name));
    std::vector<uint8_t> written = SaveToBytes(*copy);
    ExpectSoundImage(written, ReadFileBytes(FixturePath(name)));
    EXPECT_EQ(ResourcesOf(*LoadImage(written)), ResourcesOf(*original));
  }
}

TEST(ImageWriter, MergedResourcesReadBackWithOurReader) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    auto original = LoadImageFile(FixturePath(name));
    auto image = LoadImageFile(FixturePath(name));
    std::vector<ResourceKey> expected = ResourcesOf(*image);
    // Replace in the same language, add a type, a name and a language.
    if (TResourceDetails* d = image->FindResource(u"16", u"1", 1033)) {
      TMemoryStream v(Bytes(64, 1).data(), 64);
      d->ChangeData(v);
      for (auto& k : expected)
        if (k.type == u"16" && k.name == u"1" && k.language == 1033) k.bytes = Bytes(64, 1);
    }
    AddResource(*image, u"NEWTYPE", u"FIRST", 1033, Bytes(10, 2));
    AddResource(*image, u"10", u"4242", 1031, Bytes(5, 3));
    AddResource(*image, u"ABC", u"7", 0, Bytes(3, 4));
    expected.push_back({u"NEWTYPE", u"FIRST", 1033, Bytes(10, 2)});
    expected.push_back({u"10", u"4242", 1031, Bytes(5, 3)});
    expected.push_back({u"ABC", u"7", 0, Bytes(3, 4)});

    std::vector<uint8_t> written = SaveToBytes(*image);
    ExpectSoundImage(written, ReadFileBytes(FixturePath(name)));
    auto sortByIdentity = [](std::vector<ResourceKey> v) {
      std::sort(v.begin(), v.end(), [](const ResourceKey& a, const ResourceKey& b) {
        return std::tie(a.type, a.name, a.language) < std::tie(b.type, b.name, b.language);
      });
      return v;
    };
    EXPECT_EQ(sortByIdentity(ResourcesOf(*LoadImage(written))), sortByIdentity(expected));
  }
}

TEST(ImageWriter, LargeResourceMovesRelocationsAndWhatFollows) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    auto original = LoadImageFile(FixturePath(name));
    auto image = LoadImageFile(FixturePath(name));
    AddResource(*image, u"10", u"999", 1033, Bytes(1 << 20, 5));
    std::vector<uint8_t> written = SaveToBytes(*image);
    ExpectSoundImage(written, ReadFileBytes(FixturePath(name)));
    auto again = LoadImage(written);
    TResourceDetails* big = again->FindResource(u"10", u"999", 1033);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->RawData().Bytes(), Bytes(1 << 20, 5));
    if (TImageSection* reloc = again->GetSectionByName(".reloc")) {
      EXPECT_GT(reloc->SectionHeader().VirtualAddress,
                original->GetSectionByName(".reloc")->SectionHeader().VirtualAddress);
    }
  }
}

TEST(ImageWriter, ImageWithoutResourceSectionGetsOne) {
  auto original = LoadImageFile(FixturePath("nores.dll"));
  auto image = LoadImageFile(FixturePath("nores.dll"));
  AddResource(*image, u"6", u"1", 1033, Bytes(40, 6));
  std::vector<uint8_t> written = SaveToBytes(*image);
  ExpectSoundImage(written, ReadFileBytes(FixturePath("nores.dll")));
  auto again = LoadImage(written);
  ASSERT_EQ(again->ResourceCount(), 1);
  EXPECT_EQ(again->ResourceDetails(0)->RawData().Bytes(), Bytes(40, 6));
  // Placed before .reloc, which moves; the sections before it keep their addresses.
  ASSERT_EQ(again->ImageSectionCount(), original->ImageSectionCount() + 1);
  int rsrc = -1;
  for (int i = 0; i < again->ImageSectionCount(); ++i)
    if (again->ImageSection(i)->SectionName() == ".rsrc") rsrc = i;
  ASSERT_GE(rsrc, 0);
  EXPECT_EQ(again->ImageSection(rsrc + 1)->SectionName(), ".reloc");
  EXPECT_EQ(again->ImageSection(rsrc)->SectionHeader().Characteristics, 0x40000040u);
  EXPECT_EQ(again->COFFHeader().NumberOfSections, original->COFFHeader().NumberOfSections + 1);
  // The comment block gave up 40 zero bytes, so no section moved in the file.
  EXPECT_EQ(again->ImageSection(0)->SectionHeader().PointerToRawData,
            original->ImageSection(0)->SectionHeader().PointerToRawData);
}

TEST(ImageWriter, ImageWithoutResourcesAndNothingToAddGetsNoResourceSection) {
  std::vector<uint8_t> file = ReadFileBytes(FixturePath("nores.dll"));
  auto image = LoadImage(file);
  std::vector<uint8_t> written = SaveToBytes(*image);
  ExpectSoundImage(written, file);
  auto again = LoadImage(written);
  EXPECT_EQ(again->ImageSectionCount(), image->ImageSectionCount());
  EXPECT_EQ(again->GetSectionByName(".rsrc"), nullptr);
  EXPECT_EQ(again->DataDirectory(2).VirtualAddress(), 0u);
  EXPECT_EQ(written.size(), file.size());
}

TEST(ImageWriter, DllWithoutEntryPointKeepsNone) {
  std::vector<uint8_t> file = ReadFileBytes(FixturePath("lib.dll"));
  const uint32_t entryPointAt = LoadImage(file)->DOSHeader().e_lfanew + 24 + field::kOptAddressOfEntryPoint;
  ASSERT_NE(getU32LE(file.data() + entryPointAt), 0u);
  putU32LE(file.data() + entryPointAt, 0);
  auto image = LoadImage(file);
  ASSERT_NE(image->FindFirstSectionWithFlags(IMAGE_SCN_CNT_CODE), nullptr);  // what an EXE would get
  EXPECT_EQ(LoadImage(SaveToBytes(*image))->OptionalHeader().AddressOfEntryPoint(), 0u);
}

TEST(ImageWriter, SecondSaveGivesTheSameBytes) {
  auto image = LoadImageFile(FixturePath("app_unstripped.exe"));
  AddResource(*image, u"10", u"999", 1033, Bytes(100000, 9));
  std::vector<uint8_t> first = SaveToBytes(*image);
  EXPECT_EQ(SaveToBytes(*image), first);
  EXPECT_EQ(SaveToBytes(*LoadImage(first)), first);
}

}  // namespace
}  // namespace tolvane::test
