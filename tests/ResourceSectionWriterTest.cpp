// The bytes of the resource sections we write.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <tuple>

#include "StringTable.h"
#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "support/Align.h"
#include "support/LittleEndian.h"

namespace tolvane::test {
namespace {

struct Written {
  std::unique_ptr<TPEResourceModule> image;
  ByteView rsrc;
  uint32_t V = 0;
};

std::unique_ptr<TPEResourceModule> EmptiedLib() {
  auto image = LoadImageFile(FixturePath("lib.dll"));
  while (image->ResourceCount() > 0) image->DeleteResource(0);
  return image;
}

Written SaveAndReload(TPEResourceModule& image) {
  Written w;
  w.image = LoadImage(SaveToBytes(image));
  uint32_t offset = 0;
  TImageSection* section = w.image->GetResourceSection(offset);
  EXPECT_NE(section, nullptr);
  if (section == nullptr) return w;
  w.rsrc = section->RawData().View();
  w.V = section->SectionHeader().VirtualAddress;
  return w;
}

std::vector<uint8_t> Range(ByteView v, size_t from, size_t to) { return {v.data() + from, v.data() + to}; }

TEST(ResourceSectionWriter, OneIdResourceHasTheDocumentedLayout) {
  auto image = EmptiedLib();
  std::vector<uint8_t> data(100);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(200 + i);
  AddResource(*image, u"16", u"1", 1033, data);
  Written w = SaveAndReload(*image);
  ASSERT_EQ(w.rsrc.size(), 196u);
  EXPECT_EQ(w.rsrc.u16(12), 0);  // root: no named entries
  EXPECT_EQ(w.rsrc.u16(14), 1);
  EXPECT_EQ(w.rsrc.u32(16), 16u);
  EXPECT_EQ(w.rsrc.u32(20), 0x80000018u);
  EXPECT_EQ(w.rsrc.u32(24 + 16), 1u);
  EXPECT_EQ(w.rsrc.u32(24 + 20), 0x80000030u);
  EXPECT_EQ(w.rsrc.u32(48 + 16), 1033u);
  EXPECT_EQ(w.rsrc.u32(48 + 20), 72u);
  EXPECT_EQ(w.rsrc.u32(72), w.V + 96);
  EXPECT_EQ(w.rsrc.u32(76), 100u);
  EXPECT_EQ(w.rsrc.u32(80), 1252u);  // the code page of the resource's language
  EXPECT_EQ(w.rsrc.u32(84), 0u);
  EXPECT_EQ(Range(w.rsrc, 88, 96), std::vector<uint8_t>(8, 0));
  EXPECT_EQ(Range(w.rsrc, 96, 196), data);
  EXPECT_EQ(w.image->DataDirectory(2).VirtualAddress(), w.V);
  EXPECT_EQ(w.image->DataDirectory(2).Size(), 196u);
}

TEST(ResourceSectionWriter, NamedTypeStringFollowsTheDataEntries) {
  auto image = EmptiedLib();
  AddResource(*image, u"MYTYPE", u"1", 0, {1, 2, 3});
  Written w = SaveAndReload(*image);
  ASSERT_EQ(w.rsrc.size(), 116u);
  EXPECT_EQ(w.rsrc.u16(12), 1);
  EXPECT_EQ(w.rsrc.u16(14), 0);
  EXPECT_EQ(w.rsrc.u32(16), 0x80000058u);
  EXPECT_EQ(w.rsrc.u16(88), 6);
  EXPECT_EQ(Range(w.rsrc, 90, 102), Utf16Bytes(u"MYTYPE"));
  EXPECT_EQ(Range(w.rsrc, 102, 112), std::vector<uint8_t>(10, 0));
  EXPECT_EQ(Range(w.rsrc, 112, 116), (std::vector<uint8_t>{1, 2, 3, 0}));
  EXPECT_EQ(w.rsrc.u32(72), w.V + 112);
}

TEST(ResourceSectionWriter, TablesCarryTheOldRootStamp) {
  auto old = LoadImageFile(FixturePath("lib.dll"));
  uint32_t offset = 0;
  ByteView oldRoot = old->GetResourceSection(offset)->RawData().View();
  auto image = EmptiedLib();
  AddResource(*image, u"16", u"1", 1033, {1});
  AddResource(*image, u"NAMED", u"X", 1031, {2});
  Written w = SaveAndReload(*image);
  for (uint32_t table : {0u, 16u + 2 * 8u}) {
    EXPECT_EQ(w.rsrc.u32(table), 0u);  // Characteristics
    EXPECT_EQ(w.rsrc.u32(table + 4), oldRoot.u32(4));
    EXPECT_EQ(w.rsrc.u16(table + 8), oldRoot.u16(8));
    EXPECT_EQ(w.rsrc.u16(table + 10), oldRoot.u16(10));
  }
}

TEST(ResourceSectionWriter, EntriesAreSortedWhateverTheListOrder) {
  auto image = EmptiedLib();
  AddResource(*image, u"24", u"1", 1033, {1});
  AddResource(*image, u"ZED", u"b", 1033, {2});
  AddResource(*image, u"3", u"1", 1033, {3});
  AddResource(*image, u"ZED", u"a", 1033, {4});
  AddResource(*image, u"ZE", u"1", 1033, {5});
  AddResource(*image, u"3", u"1", 1031, {6});
  Written w = SaveAndReload(*image);
  std::vector<std::tuple<std::u16string, std::u16string, uint32_t>> order;
  for (int i = 0; i < w.image->ResourceCount(); ++i) {
    TResourceDetails* d = w.image->ResourceDetails(i);
    order.emplace_back(d->ResourceType(), d->ResourceName(), d->ResourceLanguage());
  }
  decltype(order) expected = {{u"ZE", u"1", 1033}, {u"ZED", u"a", 1033}, {u"ZED", u"b", 1033},
                              {u"3", u"1", 1031},  {u"3", u"1", 1033},   {u"24", u"1", 1033}};
  EXPECT_EQ(order, expected);
}

TEST(ResourceSectionWriter, SameIdentityTwiceGivesOneLeafWithTheLaterBytesAndTheEarlierCodePage) {
  auto image = EmptiedLib();
  AddResource(*image, u"10", u"5", 1033, {1, 1});
  AddResource(*image, u"10", u"5", 1033, {2, 2, 2});
  image->ResourceDetails(1)->SetCodePage(932);
  Written w = SaveAndReload(*image);
  ASSERT_EQ(w.image->ResourceCount(), 1);
  EXPECT_EQ(w.image->ResourceDetails(0)->RawData().Bytes(), (std::vector<uint8_t>{2, 2, 2}));
  EXPECT_EQ(w.image->ResourceDetails(0)->CodePage(), 1252);
}

TEST(ResourceSectionWriter, CaseAndLeadingZerosMakeDistinctEntries) {
  auto image = EmptiedLib();
  AddResource(*image, u"ICON", u"1", 0, {1});
  AddResource(*image, u"icon", u"1", 0, {2});
  AddResource(*image, u"7", u"1", 0, {3});
  AddResource(*image, u"007", u"1", 0, {4});
  Written w = SaveAndReload(*image);
  EXPECT_EQ(w.rsrc.u16(12), 3);  // "007", "ICON", "icon"
  EXPECT_EQ(w.rsrc.u16(14), 1);  // 7
  EXPECT_EQ(w.image->ResourceCount(), 4);
  EXPECT_NE(w.image->FindResource(u"007", u"1", 0), nullptr);
}

TEST(ResourceSectionWriter, EmptyListWritesARootWithoutEntries) {
  auto image = EmptiedLib();
  Written w = SaveAndReload(*image);
  ASSERT_EQ(w.rsrc.size(), 16u);
  EXPECT_EQ(w.rsrc.u16(12), 0);
  EXPECT_EQ(w.rsrc.u16(14), 0);
  EXPECT_EQ(w.image->ResourceCount(), 0);
}

TEST(ResourceSectionWriter, EmptyOrHugeIdentifiersAreRefusedBeforeAnyByteIsWritten) {
  for (auto [type, name, text] :
       {std::tuple{u"", u"1", ""}, {u"10", u"", ""}, {u"10", u"99999999999", "99999999999"}}) {
    auto image = EmptiedLib();
    AddResource(*image, type, name, 0, {1});
    Thrown t = SaveRefusal(*image);
    EXPECT_EQ(t.className, "EConvertError");
    std::string expected = "'";
    expected.append(text).append("' is not a valid integer value");
    EXPECT_EQ(t.message, expected);
  }
}

// Where an identifier stands in a table, as the loader's binary search expects:
// named entries first, by the UTF-16 code units written, then IDs by value.
struct TableKey {
  bool isId = false;
  uint32_t value = 0;
  std::u16string written;
  auto operator<=>(const TableKey&) const = default;
};

TableKey KeyOf(const std::u16string& text) {
  // Names pass through the ANSI code page (UTF-8 here), which turns an unpaired
  // surrogate into '?'.
  std::string ansi = platform::WideCharToMultiByte(platform::CP_ACP, text);
  bool digits = !ansi.empty() && std::all_of(ansi.begin(), ansi.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits && ansi.size() <= 10 && std::stoull(ansi) <= 0x7FFFFFFF && std::to_string(std::stoull(ansi)) == ansi)
    return {true, static_cast<uint32_t>(std::stoull(ansi)), {}};
  return {false, 0, platform::MultiByteToWideChar(platform::CP_ACP, ansi)};
}

TEST(ResourceSectionWriter, MixedListsReadBackSortedWithOneLeafPerIdentity) {
  const std::u16string types[] = {u"1",    u"3",  u"10",      u"24",      u"007", u"ICON",
                                  u"icon", u"A?", u"A\xD800", u"A\xDC00", u"Z"};
  const std::u16string names[] = {u"1",
                                  u"2",
                                  u"7",
                                  u"007",
                                  u"65535",
                                  u"2147483647",
                                  u"0",
                                  u"X",
                                  u"x",
                                  u"ITEM_LONG_NAME",
                                  u"\xD800",
                                  u"?",
                                  u"\x00E9t\x00E9"};
  const uint32_t languages[] = {0, 1031, 1033, 0x80000000u, 0xFFFFFFFFu};
  for (uint32_t seed : {1u, 2u, 3u}) {
    std::mt19937 random(seed);
    auto pick = [&](auto& values) -> const auto& { return values[random() % std::size(values)]; };
    struct Leaf {
      std::vector<uint8_t> bytes;
      int32_t codePage;
    };
    std::map<std::tuple<TableKey, TableKey, uint32_t>, Leaf> expected;
    auto image = EmptiedLib();
    for (int i = 0; i < 400; ++i) {
      const std::u16string& type = pick(types);
      const std::u16string& name = pick(names);
      uint32_t language = pick(languages);
      std::vector<uint8_t> bytes(random() % 9, static_cast<uint8_t>(i));
      int32_t codePage = static_cast<int32_t>(random() % 3) * 437;
      AddResource(*image, type, name, language, bytes);
      image->ResourceDetails(image->ResourceCount() - 1)->SetCodePage(codePage);
      auto [it, added] = expected.try_emplace({KeyOf(type), KeyOf(name), language}, Leaf{bytes, codePage});
      if (!added) it->second.bytes = bytes;  // the later bytes, the earlier code page
    }
    Written w = SaveAndReload(*image);
    ASSERT_EQ(w.image->ResourceCount(), static_cast<int>(expected.size()));
    int i = 0;
    for (const auto& [key, leaf] : expected) {
      TResourceDetails* d = w.image->ResourceDetails(i++);
      EXPECT_EQ(KeyOf(d->ResourceType()), std::get<0>(key));
      EXPECT_EQ(KeyOf(d->ResourceName()), std::get<1>(key));
      EXPECT_EQ(d->ResourceLanguage(), std::get<2>(key));
      EXPECT_EQ(d->RawData().Bytes(), leaf.bytes);
      EXPECT_EQ(d->CodePage(), leaf.codePage);
    }
  }
}

TEST(ResourceSectionWriter, MoreThan65535IdEntriesInOneTableAreRefused) {
  auto image = EmptiedLib();
  for (int i = 1; i <= 65536; ++i) AddResource(*image, u"10", ToU16(std::to_string(i)), 0, {1});
  EXPECT_EQ(SaveRefusal(*image).className, "EPEException");
}

}  // namespace
}  // namespace tolvane::test

namespace tolvane::test {
namespace {

// The directory is filled at offsets into a buffer sized by a separate measuring
// pass; a drift between the two must stop the save, not write past the buffer.
TEST(FixedByteWriter, PutsOutsideThePlanAndAPlanNotMetAreInternalErrors) {
  struct Case {
    uint64_t at;
    bool fits;
  };
  for (const Case& c : {Case{0, true}, Case{4, true}, Case{5, false}, Case{8, false}, Case{~uint64_t(0) - 1, false}}) {
    FixedByteWriter out(8);
    Thrown t = Capture([&] { out.u32(c.at, 0x01020304); });
    EXPECT_EQ(t.thrown, !c.fits) << c.at;
    if (!c.fits) {
      EXPECT_EQ(t.message, "Internal error: a buffer was not filled as its size was planned");
    }
  }
  FixedByteWriter out(4);
  out.u16(2, 0xBEEF);
  EXPECT_EQ(out.Bytes(), (std::vector<uint8_t>{0, 0, 0xEF, 0xBE}));
  EXPECT_FALSE(Capture([&] { out.Finish(true); }).thrown);
  EXPECT_TRUE(Capture([&] { out.Finish(false); }).thrown);
}

}  // namespace
}  // namespace tolvane::test

namespace tolvane::test {
namespace {

TEST(AlignUp, RoundsToPowersOfTwoAndRefusesZeroOthersAndOverflow) {
  struct Case {
    uint64_t v, a, expected;
  };
  const Case cases[] = {
      {0, 4, 0}, {1, 4, 4}, {4, 4, 4}, {0x1FF, 0x200, 0x200}, {5, 1, 5}, {~uint64_t(0) - 15, 16, ~uint64_t(0) - 15}};
  for (const Case& c : cases) EXPECT_EQ(alignUp(c.v, c.a), c.expected) << c.v << " " << c.a;
  for (const Case& c : {Case{1, 0, 0}, Case{1, 12, 0}, Case{~uint64_t(0) - 2, 16, 0}})
    EXPECT_TRUE(Capture([&] { alignUp(c.v, c.a); }).thrown) << c.v << " " << c.a;
}

}  // namespace
}  // namespace tolvane::test
