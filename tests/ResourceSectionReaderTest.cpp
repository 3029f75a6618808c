// Reading an image's resource directory into resource details, and the refusals of
// damaged directories. (The container operations are in ResourceModuleTest.)
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "builders/ImageBuilder.h"
#include "builders/ImageFiles.h"
#include "unitPEFile.h"

namespace tolvane::test {
namespace {

constexpr uint32_t kRsrcVa = 0x3000;

ImageBuilder Base() {
  ImageBuilder b;
  b.AddSection(Section(".text", Fill(0x40, 0xCC), kCode));
  b.AddSection(Section(".data", Fill(0x40, 0x11)));
  return b;
}

std::vector<ResourceSpec> Sample() {
  return {
      {ResKey::Name(u"MYTYPE"), ResKey::Name(u"HELLO"), 0x409, TextBytes("hello, world")},
      {ResKey::Id(3), ResKey::Id(1), 0x409, Fill(40, 0xA1)},
      {ResKey::Id(3), ResKey::Id(2), 0x409, Fill(70, 0xA2)},
      {ResKey::Id(6), ResKey::Id(1), 0x407, Fill(9, 0xB7)},
      {ResKey::Id(6), ResKey::Id(1), 0x409, Fill(11, 0xB9)},
  };
}

// An image whose resource section holds the blob at its start.
BuiltImage WithBlob(const Bytes& blob) {
  ImageBuilder b = Base();
  b.AddDirectorySection(".rsrc", kRsrcVa, blob, 2);
  return b.Build();
}

// ---- the walk ----

TEST(RsrcWalk, ResourcesComeInDirectoryOrderWithTypeNameAndLanguage) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, Sample());
  auto m = LoadImage(b.Build());
  ASSERT_EQ(m->ResourceCount(), 5);
  struct Expected {
    std::u16string type, name;
    uint32_t language;
  };
  std::vector<Expected> expected = {
      {u"MYTYPE", u"HELLO", 0x409}, {u"3", u"1", 0x409}, {u"3", u"2", 0x409}, {u"6", u"1", 0x407}, {u"6", u"1", 0x409}};
  std::vector<ResourceSpec> specs = Sample();
  for (int i = 0; i < 5; ++i) {
    TResourceDetails* d = m->ResourceDetails(i);
    EXPECT_EQ(d->ResourceType(), expected[i].type) << i;
    EXPECT_EQ(d->ResourceName(), expected[i].name) << i;
    EXPECT_EQ(d->ResourceLanguage(), expected[i].language) << i;
    EXPECT_EQ(d->RawData().Bytes(), specs[i].data) << i;
    EXPECT_EQ(d->Parent(), m.get()) << i;
  }
}

TEST(RsrcWalk, IdKeysAreTheirDecimalText) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, {{ResKey::Id(3), ResKey::Id(0xFFFFFFFF), 0, Fill(4, 1)}});
  auto m = LoadImage(b.Build());
  EXPECT_EQ(m->ResourceDetails(0)->ResourceType(), u"3");
  EXPECT_EQ(m->ResourceDetails(0)->ResourceName(), u"4294967295");
}

TEST(RsrcWalk, NamedEntryWithoutTheHighBitIsStillAName) {
  ResourceBlob blob = BuildResourceDirectory({{ResKey::Name(u"MYTYPE"), ResKey::Id(1), 0x409, Fill(4, 1)}}, kRsrcVa);
  uint32_t entry = blob.resources[0].typeEntry;
  blob.PutU32(entry, blob.strings[0]);  // the offset alone, bit 31 clear
  auto m = LoadImage(WithBlob(blob.bytes));
  EXPECT_EQ(m->ResourceDetails(0)->ResourceType(), u"MYTYPE");
}

TEST(RsrcWalk, IdEntryWithTheHighBitIsStillAnId) {
  ResourceBlob blob = BuildResourceDirectory({{ResKey::Id(3), ResKey::Id(1), 0x409, Fill(4, 1)}}, kRsrcVa);
  blob.PutU32(blob.resources[0].typeEntry, 0x80000003);
  auto m = LoadImage(WithBlob(blob.bytes));
  EXPECT_EQ(m->ResourceDetails(0)->ResourceType(), u"2147483651");
}

TEST(RsrcWalk, NonAsciiNamesSurvive) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa,
                       {{ResKey::Name(u"T\u00FCP"), ResKey::Name(u"Gr\u00FC\u00DFe \u20AC"), 0x407, Fill(2, 1)}});
  auto m = LoadImage(b.Build());
  EXPECT_EQ(m->ResourceDetails(0)->ResourceType(), u"T\u00FCP");
  EXPECT_EQ(m->ResourceDetails(0)->ResourceName(), u"Gr\u00FC\u00DFe \u20AC");
}

TEST(RsrcWalk, EmptyNameIsRead) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, {{ResKey::Id(10), ResKey::Name(u""), 0, Fill(2, 1)}});
  EXPECT_EQ(LoadImage(b.Build())->ResourceDetails(0)->ResourceName(), u"");
}

TEST(RsrcWalk, DataEntryOfSizeZeroGivesEmptyData) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, {{ResKey::Id(10), ResKey::Id(1), 0, {}}});
  auto m = LoadImage(b.Build());
  ASSERT_EQ(m->ResourceCount(), 1);
  EXPECT_EQ(m->ResourceDetails(0)->RawData().Size(), 0);
}

TEST(RsrcWalk, DataEntryOfSizeZeroNeedsNoBytesAtItsAddress) {
  ResourceBlob blob = BuildResourceDirectory({{ResKey::Id(10), ResKey::Id(1), 0, {}}}, kRsrcVa);
  blob.PutU32(blob.resources[0].dataEntry, 0xDEAD0000);
  auto m = LoadImage(WithBlob(blob.bytes));
  EXPECT_EQ(m->ResourceDetails(0)->RawData().Size(), 0);
}

// A details class that makes up content for a resource created without bytes.
class TDefaultingDetails : public TResourceDetails {
public:
  using TResourceDetails::TResourceDetails;
  static std::unique_ptr<TResourceDetails> Make(TResourceModule* parent, uint32_t language, const std::u16string& name,
                                                const std::u16string& type, int64_t size, const uint8_t* data) {
    auto d = std::make_unique<TDefaultingDetails>(parent, language, name, type);
    d->InitData(size, data);
    return d;
  }

protected:
  void PrepareNewData() override {
    Bytes made = {1, 2, 3};
    RawData().Write(made.data(), 3);
  }
};

const TResourceDetailsClassInfo kDefaultingInfo = {"TDefaultingDetails",
                                                   [] { return std::u16string(u"99"); },
                                                   [](int64_t, const uint8_t*) { return false; },
                                                   [](const std::u16string&, int64_t, const uint8_t*) { return false; },
                                                   &TDefaultingDetails::Make,
                                                   nullptr,
                                                   nullptr};

TEST(RsrcWalk, EmptyResourceGetsNoMadeUpContent) {
  DetailsClassRegistry().push_back(&kDefaultingInfo);
  struct Unregister {
    ~Unregister() { std::erase(DetailsClassRegistry(), &kDefaultingInfo); }
  } unregister;
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, {{ResKey::Id(99), ResKey::Id(1), 0, {}}, {ResKey::Id(99), ResKey::Id(2), 0, {7}}});
  auto m = LoadImage(b.Build());
  EXPECT_EQ(m->ResourceDetails(0)->RawData().Size(), 0);
  EXPECT_EQ(m->ResourceDetails(1)->RawData().Bytes(), Bytes{7});
}

TEST(RsrcWalk, TableHeaderGivesCharacteristicsAndVersion) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, {{ResKey::Id(10), ResKey::Id(1), 0x409, Fill(3, 1)}},
                       ResourceTableInfo().Characteristics(0x1234).Version(4, 2));
  auto m = LoadImage(b.Build());
  TResourceDetails* d = m->ResourceDetails(0);
  EXPECT_EQ(d->Characteristics(), 0x1234u);
  EXPECT_EQ(d->Version(), 262146u);
}

TEST(RsrcWalk, CharacteristicsAndVersionComeFromTheLanguageTable) {
  ResourceBlob blob = BuildResourceDirectory({{ResKey::Id(10), ResKey::Id(1), 0x409, Fill(3, 1)}}, kRsrcVa,
                                             ResourceTableInfo().Characteristics(7).Version(1, 1));
  uint32_t languageTable = blob.resources[0].languageTable;
  blob.PutU32(languageTable, 0xABCD);
  blob.PutU16(languageTable + 8, 9);
  blob.PutU16(languageTable + 10, 8);
  auto m = LoadImage(WithBlob(blob.bytes));
  TResourceDetails* d = m->ResourceDetails(0);
  EXPECT_EQ(d->Characteristics(), 0xABCDu);
  EXPECT_EQ(d->Version(), 9u * 65536 + 8);
}

TEST(RsrcWalk, DataEntryCodePageOverridesTheLanguageDefault) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, {{ResKey::Id(10), ResKey::Id(1), 0x409, Fill(3, 1), 1252},
                                 {ResKey::Id(10), ResKey::Id(2), 0x409, Fill(3, 1), 0}});
  auto m = LoadImage(b.Build());
  EXPECT_EQ(m->ResourceDetails(0)->CodePage(), 1252);
  EXPECT_EQ(m->ResourceDetails(1)->CodePage(), 0);
}

TEST(RsrcWalk, LoadedModuleAndResourcesAreNotDirty) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, Sample());
  auto m = LoadImage(b.Build());
  EXPECT_FALSE(m->Dirty());
  for (int i = 0; i < m->ResourceCount(); ++i) EXPECT_FALSE(m->ResourceDetails(i)->Dirty());
}

TEST(RsrcWalk, DirectorySizeZeroGivesNoResources) {
  ImageBuilder b = Base();
  ResourceBlob blob = b.AddResourceSection(kRsrcVa, Sample());
  b.DataDirectory(2, kRsrcVa, 0);
  auto m = LoadImage(b.Build());
  EXPECT_EQ(m->ResourceCount(), 0);
}

TEST(RsrcWalk, ImageWithoutResourceSectionHasNoResources) {
  auto m = LoadImage(Base().Build());
  EXPECT_EQ(m->ResourceCount(), 0);
  EXPECT_EQ(m->ImageSectionCount(), 2);
}

TEST(RsrcWalk, FewerThanThreeDataDirectoriesRaisesARangeError) {
  ImageBuilder b = Base();
  b.DataDirectories(2);
  EXPECT_EQ(RefusalMessage<ERangeError>([&] { LoadImage(b.Build()); }), "Index exceeds data directory count");
}

TEST(RsrcWalk, DirectoryNeedNotStartTheSection) {
  // Offsets in the directory count from its root, here 0x40 bytes into .rdata.
  ResourceBlob blob = BuildResourceDirectory(Sample(), kRsrcVa + 0x40);
  Bytes section = Fill(0x40, 0xEE);
  section.insert(section.end(), blob.bytes.begin(), blob.bytes.end());
  ImageBuilder b = Base();
  b.AddSection(Section(".rdata", section, kReadOnlyData).VirtualAddress(kRsrcVa));
  b.DataDirectory(2, kRsrcVa + 0x40, static_cast<uint32_t>(blob.bytes.size()));
  auto m = LoadImage(b.Build());
  ASSERT_EQ(m->ResourceCount(), 5);
  EXPECT_EQ(m->ResourceDetails(0)->ResourceType(), u"MYTYPE");
  EXPECT_EQ(m->ResourceDetails(4)->RawData().Bytes(), Fill(11, 0xB9));
}

TEST(RsrcWalk, DataInAnotherSectionIsRead) {
  ResourceBlob blob = BuildResourceDirectory({{ResKey::Id(10), ResKey::Id(1), 0, Fill(4, 0)}}, kRsrcVa);
  blob.PutU32(blob.resources[0].dataEntry, 0x2010);  // inside .data
  blob.PutU32(blob.resources[0].dataEntry + 4, 0x20);
  auto m = LoadImage(WithBlob(blob.bytes));
  EXPECT_EQ(m->ResourceDetails(0)->RawData().Bytes(), Fill(0x20, 0x11));
}

TEST(RsrcWalk, DeeperTablesAreWalkedAndAddNothingToTheIdentity) {
  // type 10 -> name 1 -> language 0x409 -> a fourth table -> data
  Bytes blob;
  WriteTable(blob, 0, 0, 1);
  WriteEntry(blob, 0, 0, 10, 0x80000000 | 0x18);
  WriteTable(blob, 0x18, 0, 1);
  WriteEntry(blob, 0x18, 0, 1, 0x80000000 | 0x30);
  WriteTable(blob, 0x30, 0, 1);
  WriteEntry(blob, 0x30, 0, 0x409, 0x80000000 | 0x48);
  WriteTable(blob, 0x48, 0, 1, ResourceTableInfo().Characteristics(5));
  WriteEntry(blob, 0x48, 0, 0x999, 0x60);
  WriteDataEntry(blob, 0x60, kRsrcVa + 0x70, 4);
  blob.resize(0x74, 0x42);
  auto m = LoadImage(WithBlob(blob));
  ASSERT_EQ(m->ResourceCount(), 1);
  TResourceDetails* d = m->ResourceDetails(0);
  EXPECT_EQ(d->ResourceType(), u"10");
  EXPECT_EQ(d->ResourceName(), u"1");
  EXPECT_EQ(d->ResourceLanguage(), 0x409u);
  EXPECT_EQ(d->Characteristics(), 5u);
  EXPECT_EQ(d->RawData().Bytes(), Fill(4, 0x42));
}

TEST(RsrcWalk, LoadingAgainReplacesTheResources) {
  ImageBuilder b = Base();
  b.AddResourceSection(kRsrcVa, Sample());
  BuiltImage first = b.Build();
  ImageBuilder c = Base();
  c.AddResourceSection(kRsrcVa, {{ResKey::Id(10), ResKey::Id(1), 0, Fill(4, 1)}});
  BuiltImage second = c.Build();
  TPEResourceModule m;
  m.LoadFromBytes(first.View());
  m.LoadFromBytes(second.View());
  EXPECT_EQ(m.ResourceCount(), 1);
}

// ---- refusals ----

const std::vector<ResourceSpec> kOneResource = {{ResKey::Id(10), ResKey::Id(1), 0x409, Fill(4, 1)}};
const std::vector<ResourceSpec> kNamedType = {{ResKey::Name(u"TYPE"), ResKey::Id(1), 0x409, Fill(4, 1)}};

// The image whose directory, built from the resources, the patch damages.
std::function<BuiltImage()> Patched(void (*patch)(ResourceBlob&), std::vector<ResourceSpec> resources = kOneResource) {
  return [=] {
    ResourceBlob blob = BuildResourceDirectory(resources, kRsrcVa);
    patch(blob);
    return WithBlob(blob.bytes);
  };
}

// The image whose directory is the blob made.
std::function<BuiltImage()> Made(Bytes (*blob)()) {
  return [=] { return WithBlob(blob()); };
}

// A chain of n tables whose entries all lead to the next table, the last one empty.
Bytes Chain(uint32_t n, uint32_t entries) {
  Bytes blob;
  const uint32_t kTable = 16 + 8 * entries;
  for (uint32_t t = 0; t < n; ++t) {
    WriteTable(blob, t * kTable, 0, static_cast<uint16_t>(entries));
    for (uint32_t e = 0; e < entries; ++e) WriteEntry(blob, t * kTable, e, e + 1, 0x80000000 | ((t + 1) * kTable));
  }
  WriteTable(blob, n * kTable, 0, 0);
  return blob;
}

// Types 3, 4 and 5 (as given) whose tables and data entries stand at falling offsets,
// children before their parents; each type's last entry points where given.
Bytes DescendingDirectory(uint32_t typeFiveTable) {
  Bytes blob;
  WriteTable(blob, 0, 0, 3);
  const uint32_t nameTables[] = {0x100, 0x80, typeFiveTable};
  for (uint32_t t = 0; t < 3; ++t) WriteEntry(blob, 0, t, 3 + t, 0x80000000 | nameTables[t]);
  for (uint32_t t = 0; t < 2; ++t) {
    uint32_t languageTable = 0x200 - 0x40 * t, dataEntry = 0x300 - 0x20 * t, data = 0x400 - 0x10 * t;
    WriteTable(blob, nameTables[t], 0, 1);
    WriteEntry(blob, nameTables[t], 0, 1, 0x80000000 | languageTable);
    WriteTable(blob, languageTable, 0, 1);
    WriteEntry(blob, languageTable, 0, 0x409, dataEntry);
    WriteDataEntry(blob, dataEntry, kRsrcVa + data, 4);
    blob.resize(std::max<size_t>(blob.size(), data + 4));
    blob[data] = static_cast<uint8_t>(t + 1);
  }
  return blob;
}

// Four resources whose data entries all start at the section: the first covers the
// whole directory, the others too or only 4 bytes.
Bytes OverlappingData(bool othersWhole) {
  std::vector<ResourceSpec> specs;
  for (uint32_t i = 1; i <= 4; ++i) specs.push_back({ResKey::Id(10), ResKey::Id(i), 0, Fill(0x400, 1)});
  ResourceBlob blob = BuildResourceDirectory(specs, kRsrcVa);
  for (uint32_t i = 0; i < 4; ++i) {
    blob.PutU32(blob.resources[i].dataEntry, kRsrcVa);
    blob.PutU32(blob.resources[i].dataEntry + 4, i == 0 || othersWhole ? static_cast<uint32_t>(blob.bytes.size()) : 4);
  }
  return blob.bytes;
}

// One type, n resources all named by the same long string of 30000 units (or, without
// resources, n names whose language tables are empty).
Bytes ManyResourcesSharingALongName(uint32_t n, bool withResources = true) {
  Bytes blob;
  const uint32_t nameTable = 0x18, languageTables = nameTable + 16 + 8 * n;
  const uint32_t dataEntries = languageTables + 24 * n, name = dataEntries + 16 * n;
  WriteTable(blob, 0, 0, 1);
  WriteEntry(blob, 0, 0, 10, 0x80000000 | nameTable);
  WriteTable(blob, nameTable, static_cast<uint16_t>(n), 0);
  for (uint32_t i = 0; i < n; ++i) {
    WriteEntry(blob, nameTable, i, 0x80000000 | name, 0x80000000 | (languageTables + 24 * i));
    WriteTable(blob, languageTables + 24 * i, 0, withResources ? 1 : 0);
    if (withResources) WriteEntry(blob, languageTables + 24 * i, 0, i, dataEntries + 16 * i);
    WriteDataEntry(blob, dataEntries + 16 * i, kRsrcVa, 0);
  }
  WriteCountedString(blob, name, std::u16string(30000, u'N'));
  return blob;
}

// A .rsrc of 0x200 raw bytes in a 0x1000 VirtualSize, with its directory at the offset.
BuiltImage RootAt(uint32_t offset) {
  ImageBuilder b = Base();
  b.AddSection(Section(".rsrc", Fill(0x100, 0)).VirtualAddress(kRsrcVa).VirtualSize(0x1000));
  b.DataDirectory(2, kRsrcVa + offset, 0x100);
  return b.Build();
}

const char kReachedTwice[] = "Resource directory: a subdirectory is reached twice";
const char kAboveTheLanguageLevel[] = "Resource directory: data entry above the language level";
const char kNameOutside[] = "Resource directory: a name lies outside the resource section";
const char kDataOutside[] = "Resource data lies outside the sections of the image";
const char kMoreThanTheImage[] = "Resource directory: the resources hold more bytes than the image";

struct Refusal {
  const char* name;
  const char* message;
  std::function<BuiltImage()> image;
};

const Refusal kRefusals[] = {
    {"NamedLanguage", "Unsupported non-integer language ID in resource",
     Patched(
         [](ResourceBlob& b) {
           b.PutU16(b.resources[0].languageTable + 12, 1);  // named
           b.PutU16(b.resources[0].languageTable + 14, 0);
           b.PutU32(b.resources[0].languageEntry, 0x80000000 | b.strings[0]);
         },
         {{ResKey::Name(u"T"), ResKey::Id(1), 0x409, Fill(4, 1)}})},
    {"SubdirectoryLeadingBackToTheRoot", kReachedTwice,
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[0].languageEntry + 4, 0x80000000); })},
    {"SelfReferencingTable", kReachedTwice, Made([] {
       Bytes b;
       WriteTable(b, 0, 0, 1);
       WriteEntry(b, 0, 0, 10, 0x80000000);
       return b;
     })},
    // Both types lead to the name table of the first.
    {"SharedSubtree", kReachedTwice,
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[1].typeEntry + 4, 0x80000000 | b.resources[0].nameTable); },
             {{ResKey::Id(3), ResKey::Id(1), 0x409, Fill(4, 1)}, {ResKey::Id(4), ResKey::Id(1), 0x409, Fill(4, 2)}})},
    // 30 tables of two entries each, both leading to the next: 2^30 paths if walked naively.
    {"SharedSubtreesWithoutAnExponentialWalk", kReachedTwice, Made([] { return Chain(30, 2); })},
    // The second visit of 0x80 comes after a higher table (0x100) was read.
    {"TableReachedTwiceOutOfOrder", kReachedTwice, Made([] { return DescendingDirectory(0x80); })},
    {"DataEntryAtTheTypeLevel", kAboveTheLanguageLevel, Made([] {
       Bytes b;
       WriteTable(b, 0, 0, 1);
       WriteEntry(b, 0, 0, 10, 0x18);
       WriteDataEntry(b, 0x18, kRsrcVa, 4);
       return b;
     })},
    {"DataEntryAtTheNameLevel", kAboveTheLanguageLevel,
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[0].nameEntry + 4, b.resources[0].dataEntry); })},
    {"DataEntryReachedTwice", "Resource directory: a data entry is reached twice",
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[1].languageEntry + 4, b.resources[0].dataEntry); },
             {{ResKey::Id(10), ResKey::Id(1), 0x409, Fill(4, 1)}, {ResKey::Id(10), ResKey::Id(1), 0x407, Fill(4, 2)}})},
    {"NestingDeeperThan32Levels", "Resource directory: the tables nest deeper than 32 levels",
     Made([] { return Chain(40, 1); })},
    {"TableOutsideTheSection", "Resource directory: a directory table lies outside the resource section",
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[0].typeEntry + 4, 0x80000000 | 0x7FFFFFF0); })},
    {"EntriesOutsideTheSection", "Resource directory: a directory entry lies outside the resource section",
     Patched([](ResourceBlob& b) {
       b.PutU16(14, 0xFFFF);
       b.PutU16(12, 0xFFFF);
     })},
    {"NameOutsideTheSection", kNameOutside,
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[0].typeEntry, 0x80000000 | 0x7FFFFFFF); }, kNamedType)},
    {"NameLengthRunningPastTheSection", kNameOutside,
     Patched(
         [](ResourceBlob& b) {
           b.PutU32(b.resources[0].typeEntry, 0x80000000 | b.strings[0]);
           b.PutU16(b.strings[0], 0xFFFF);  // a length running past the section
         },
         kNamedType)},
    {"DataEntryOutsideTheSection", "Resource directory: a data entry lies outside the resource section",
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[0].languageEntry + 4, 0x7FFFFFF8); })},
    {"DataOutsideEverySection", kDataOutside,
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[0].dataEntry, 0x900000); })},
    {"DataRunningPastItsSection", kDataOutside,
     Patched([](ResourceBlob& b) { b.PutU32(b.resources[0].dataEntry + 4, 0xFFFFFFFF); })},
    {"DataInTheUninitializedPartOfASection", kDataOutside,
     [] {
       ResourceBlob blob = BuildResourceDirectory(kOneResource, kRsrcVa);
       blob.PutU32(blob.resources[0].dataEntry, kRsrcVa + 0x800);  // within VirtualSize, past the raw bytes
       ImageBuilder b = Base();
       b.AddSection(Section(".rsrc", blob.bytes).VirtualAddress(kRsrcVa).VirtualSize(0x1000));
       b.DataDirectory(2, kRsrcVa, static_cast<uint32_t>(blob.bytes.size()));
       return b.Build();
     }},
    {"RootPastTheSectionBytes", "Resource directory: the root table lies outside the resource section",
     [] { return RootAt(0x800); }},
    // 8 bytes short of a table header in the 0x200 raw bytes.
    {"RootTableCutByTheSectionBytes", "Resource directory: a directory table lies outside the resource section",
     [] { return RootAt(0x1F8); }},
    // Distinct data entries may share bytes, but not to claim more bytes than the image has.
    {"OverlappingDataClaimingMoreThanTheImage", kMoreThanTheImage, Made([] { return OverlappingData(true); })},
    // 64 copies of a 60000-byte name: far more than 16 times the image's bytes.
    {"NameSharedBeyondAnyRealDirectory", kMoreThanTheImage, Made([] { return ManyResourcesSharingALongName(64); })},
    // Reading the name again for every entry is work of the same size, with or
    // without resources to copy it into.
    {"NameSharedBeyondAnyRealDirectoryWithoutResources", kMoreThanTheImage,
     Made([] { return ManyResourcesSharingALongName(64, false); })},
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class RsrcRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(RsrcRefusals, AreRefusedWithTheirMessage) {
  BuiltImage image = GetParam().image();
  EXPECT_EQ(RefusalMessage<EPEException>([&] { LoadImage(image); }), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Directory, RsrcRefusals, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(RsrcWalk, TablesAndDataEntriesMayStandInAnyOrder) {
  Bytes blob = DescendingDirectory(0x100);
  // Type 5 gets a table of its own, with no entries.
  WriteTable(blob, 0x500, 0, 0);
  WriteEntry(blob, 0, 2, 5, 0x80000500);
  auto m = LoadImage(WithBlob(blob));
  ASSERT_EQ(m->ResourceCount(), 2);
  EXPECT_EQ(m->ResourceDetails(0)->ResourceType(), u"3");
  EXPECT_EQ(m->ResourceDetails(1)->ResourceType(), u"4");
  EXPECT_EQ(m->ResourceDetails(1)->RawData().Bytes()[0], 2);
}

TEST(RsrcWalk, NestingOf32LevelsIsRead) {
  Bytes blob = Chain(32, 1);
  const uint32_t kTable = 16 + 8;
  WriteTable(blob, 32 * kTable, 0, 1);  // level 32
  WriteEntry(blob, 32 * kTable, 0, 1, 33 * kTable);
  WriteDataEntry(blob, 33 * kTable, kRsrcVa, 4);
  auto m = LoadImage(WithBlob(blob));
  EXPECT_EQ(m->ResourceCount(), 1);
}

// Distinct data entries may share some bytes.
TEST(RsrcWalk, OverlappingDataWithinTheImageIsRead) {
  EXPECT_EQ(LoadImage(WithBlob(OverlappingData(false)))->ResourceCount(), 4);
}

TEST(RsrcWalk, ResourcesMayShareAName) {
  auto m = LoadImage(WithBlob(ManyResourcesSharingALongName(8)));
  ASSERT_EQ(m->ResourceCount(), 8);
  EXPECT_EQ(m->ResourceDetails(7)->ResourceName(), std::u16string(30000, u'N'));
  EXPECT_EQ(m->ResourceDetails(7)->ResourceLanguage(), 7u);
}

}  // namespace
}  // namespace tolvane::test
