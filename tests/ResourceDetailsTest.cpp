// One resource in memory: identity, class choice, creation, dirty flags, data and
// text, ordering and the code page of a language.
#include <gtest/gtest.h>

#include <random>

#include <iterator>
#include <utility>

#include <algorithm>
#include <string>
#include <vector>

#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "unitResFile.h"
#include "unitResourceDetails.h"

namespace tolvane {
namespace {

using test::BytesOf;
using test::Capture;
using test::Utf16Bytes;

std::unique_ptr<TResourceDetails> Make(const std::u16string& type, const std::u16string& name,
                                       const std::vector<uint8_t>& data = {}, uint32_t language = 0) {
  static const uint8_t kNone = 0;
  return TResourceDetails::CreateResourceDetails(nullptr, language, name, type, static_cast<int64_t>(data.size()),
                                                 data.empty() ? &kNone : data.data());
}

TResourceDetailsClass ClassFor(const std::vector<uint8_t>& data) {
  static const uint8_t kNone = 0;
  return TResourceDetails::ChooseDetailsClass(u"1", u"10", static_cast<int64_t>(data.size()),
                                              data.empty() ? &kNone : data.data());
}

std::string ClassNameFor(const std::vector<uint8_t>& data) { return ClassFor(data)->ClassName; }

// ---- identity ----

TEST(ResourceNameToInt, NamesAreMinusOne) {
  for (const char16_t* s : {u"", u"-1", u" 1", u"1 ", u"1a", u"#1", u"+1", u"ICON", u"\uFF11"})
    EXPECT_EQ(ResourceNameToInt(s), -1) << platform::WideToUtf8(s);
}

TEST(ResourceNameToInt, DigitStringsAreTheirValue) {
  EXPECT_EQ(ResourceNameToInt(u"0"), 0);
  EXPECT_EQ(ResourceNameToInt(u"007"), 7);
  EXPECT_EQ(ResourceNameToInt(u"10"), 10);
  EXPECT_EQ(ResourceNameToInt(u"65535"), 65535);
  EXPECT_EQ(ResourceNameToInt(u"65536"), 65536);
  EXPECT_EQ(ResourceNameToInt(u"2147483647"), 2147483647);
}

TEST(ResourceNameToInt, TooLargeForAnIntegerRaisesConvertError) {
  test::Thrown t = Capture([] { ResourceNameToInt(u"99999999999"); });
  EXPECT_EQ(t.className, "EConvertError");
  EXPECT_EQ(t.message, "'99999999999' is not a valid integer value");

  t = Capture([] { ResourceNameToInt(u"2147483648"); });
  EXPECT_EQ(t.className, "EConvertError");
  EXPECT_EQ(t.message, "'2147483648' is not a valid integer value");
}

TEST(ResourceDetails, NumericIdentifiersAreDecimalText) {
  // RCDATA is type 10: the model knows no symbolic names, only the decimal form.
  auto d = Make(u"10", u"42");
  EXPECT_EQ(d->ResourceType(), u"10");
  EXPECT_EQ(d->ResourceName(), u"42");
  EXPECT_EQ(ResourceNameToInt(d->ResourceType()), 10);
}

// ---- class choice ----

TEST(ResourceDetailsClassChoice, ShortCases) {
  EXPECT_EQ(ClassNameFor(BytesOf("hello")), "TAnsiResourceDetails");
  EXPECT_EQ(ClassNameFor(Utf16Bytes(u"hello")), "TUnicodeResourceDetails");
  EXPECT_EQ(ClassNameFor({0, 1, 2}), "TResourceDetails");
  // The 8-bit test fails on the zero; the UTF-16 test looks at one unit, 'h' 'e'.
  EXPECT_EQ(ClassNameFor(BytesOf(std::string("hello\0", 6))), "TResourceDetails");
  EXPECT_EQ(ClassNameFor({}), "TResourceDetails");
  EXPECT_EQ(ClassNameFor(Utf16Bytes(u"ab")), "TResourceDetails");  // 4 bytes: too short for UTF-16
  EXPECT_EQ(ClassNameFor(BytesOf("\t\r\n \x7F")), "TAnsiResourceDetails");
  EXPECT_EQ(ClassNameFor(BytesOf("caf\xC3\xA9")), "TResourceDetails");  // bytes above 127 are not text
  EXPECT_EQ(ClassNameFor(BytesOf("a\x1F")), "TResourceDetails");
}

TEST(ResourceDetailsClassChoice, EightBitTestLooksAtTheFirst1024Bytes) {
  std::vector<uint8_t> data(2000, 'x');
  data.push_back(0);
  EXPECT_EQ(ClassNameFor(data), "TAnsiResourceDetails");

  std::vector<uint8_t> bad(2000, 'x');
  bad[1024] = 1;
  EXPECT_EQ(ClassNameFor(bad), "TAnsiResourceDetails");
  bad[1024] = 'x';
  bad[1023] = 1;
  EXPECT_EQ(ClassNameFor(bad), "TResourceDetails");
}

TEST(ResourceDetailsClassChoice, Utf16TestLooksAtTheFirst1023UnitsButNotTheLastTwo) {
  std::u16string text(2000, u'w');
  std::u16string bad = text;
  bad[1023] = u'\x01';
  EXPECT_EQ(ClassNameFor(Utf16Bytes(bad)), "TUnicodeResourceDetails");
  bad[1023] = u'w';
  bad[1022] = u'\x01';
  EXPECT_EQ(ClassNameFor(Utf16Bytes(bad)), "TResourceDetails");
  bad[1022] = u'\x100';
  EXPECT_EQ(ClassNameFor(Utf16Bytes(bad)), "TResourceDetails");

  // Ten units: units 0..7 are examined, 8 and 9 are not (a terminator may sit there).
  std::u16string ten = u"abcdefghij";
  ten[8] = u'\xFFFF';
  ten[9] = u'\0';
  EXPECT_EQ(ClassNameFor(Utf16Bytes(ten)), "TUnicodeResourceDetails");
  ten[7] = u'\xFFFF';
  EXPECT_EQ(ClassNameFor(Utf16Bytes(ten)), "TResourceDetails");

  // An odd size: 11 bytes are 5 units, 3 of them examined.
  std::vector<uint8_t> odd = Utf16Bytes(u"abc\x01\x01");
  odd.push_back(0xEE);
  EXPECT_EQ(ClassNameFor(odd), "TUnicodeResourceDetails");
}

TEST(ResourceDetailsClassChoice, EveryNonTextUnitIsFoundWhereverItStands) {
  // The tests read their units in blocks: a unit that is not text must count in
  // every position, of every block and of the tail after the last one.
  const uint8_t textBytes[] = {9, 10, 13, 32, 'a', 127};
  for (int n = 1; n <= 100; ++n) {
    std::vector<uint8_t> bytes(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) bytes[i] = textBytes[i % std::size(textBytes)];
    EXPECT_TRUE(TAnsiResourceDetails::AcceptsData(n, bytes.data())) << n;
    for (int at = 0; at < n; ++at)
      for (uint8_t bad : {0, 8, 11, 12, 14, 31, 128, 200, 255}) {
        uint8_t kept = std::exchange(bytes[at], bad);
        EXPECT_FALSE(TAnsiResourceDetails::AcceptsData(n, bytes.data())) << n << " " << at << " " << int(bad);
        bytes[at] = kept;
      }
  }
  for (int units = 3; units <= 80; ++units) {
    std::u16string text(static_cast<size_t>(units), u'w');
    std::vector<uint8_t> bytes = Utf16Bytes(text);
    EXPECT_TRUE(TUnicodeResourceDetails::AcceptsData(static_cast<int64_t>(bytes.size()), bytes.data())) << units;
    for (int at = 0; at < units - 2; ++at)
      for (char16_t bad : {u'\x00', u'\x1F', u'\x80', u'\x100', u'\x0A00', u'\x8020', u'\xFF09'}) {
        std::u16string changed = text;
        changed[at] = bad;
        bytes = Utf16Bytes(changed);
        EXPECT_FALSE(TUnicodeResourceDetails::AcceptsData(static_cast<int64_t>(bytes.size()), bytes.data()))
            << units << " " << at << " " << int(bad);
      }
  }
}

TEST(ResourceDetailsClassChoice, CreateResourceDetailsMakesTheChosenClassWithACopy) {
  std::vector<uint8_t> text = BytesOf("some text");
  auto d = Make(u"10", u"CONFIG", text, 1033);
  EXPECT_EQ(d->ClassType(), &TAnsiResourceDetails::ClassInfo);
  EXPECT_NE(dynamic_cast<TAnsiResourceDetails*>(d.get()), nullptr);
  text[0] = 'S';
  EXPECT_EQ(d->RawData().Bytes(), BytesOf("some text"));
  EXPECT_EQ(d->ResourceLanguage(), 1033u);
  EXPECT_EQ(d->CodePage(), 1252);
  EXPECT_EQ(d->Parent(), nullptr);

  auto u = Make(u"MYTYPE", u"X", Utf16Bytes(u"wide text"));
  EXPECT_NE(dynamic_cast<TUnicodeResourceDetails*>(u.get()), nullptr);
  auto b = Make(u"3", u"1", {0x28, 0, 0, 0});
  EXPECT_EQ(b->ClassType(), &TResourceDetails::ClassInfo);
}

// ---- creation ----

// Counts the hook that fills a resource created without bytes.
class TProbeDetails : public TResourceDetails {
public:
  using TResourceDetails::TResourceDetails;
  static std::unique_ptr<TProbeDetails> Create(int64_t size, const uint8_t* data) {
    auto d = std::make_unique<TProbeDetails>(nullptr, 0, u"1", u"10");
    d->InitData(size, data);
    return d;
  }
  static std::unique_ptr<TProbeDetails> CreateNew() {
    auto d = std::make_unique<TProbeDetails>(nullptr, 0, u"1", u"10");
    d->InitNewData();
    return d;
  }
  int prepared = 0;

protected:
  void PrepareNewData() override {
    ++prepared;
    RawData().Write("NEW", 3);
  }
};

TEST(ResourceDetailsCreate, DataPointerWithSizeZeroGivesEmptyDataWithoutTheHook) {
  const uint8_t byte = 'x';
  auto d = TProbeDetails::Create(0, &byte);
  EXPECT_EQ(d->prepared, 0);
  EXPECT_EQ(d->RawData().Size(), 0);
}

TEST(ResourceDetailsCreate, NullDataRunsTheHook) {
  auto d = TProbeDetails::Create(0, nullptr);
  EXPECT_EQ(d->prepared, 1);
  EXPECT_EQ(d->RawData().Bytes(), BytesOf("NEW"));

  auto n = TProbeDetails::CreateNew();
  EXPECT_EQ(n->prepared, 1);
  EXPECT_EQ(n->RawData().Bytes(), BytesOf("NEW"));
}

TEST(ResourceDetailsCreate, DataIsCopiedWhole) {
  std::vector<uint8_t> data = {1, 2, 3, 0, 5};
  auto d = TProbeDetails::Create(static_cast<int64_t>(data.size()), data.data());
  EXPECT_EQ(d->prepared, 0);
  EXPECT_EQ(d->RawData().Bytes(), data);
}

TEST(ResourceDetailsCreate, ClassCreateKeepsTheClassAndTheBytes) {
  const uint8_t byte = 0;
  auto a = TAnsiResourceDetails::ClassInfo.Create(nullptr, 1031, u"N", u"T", 0, &byte);
  EXPECT_EQ(a->ClassType(), &TAnsiResourceDetails::ClassInfo);
  EXPECT_EQ(a->RawData().Size(), 0);
  EXPECT_EQ(a->ResourceName(), u"N");
  EXPECT_EQ(a->ResourceType(), u"T");
  EXPECT_EQ(a->ResourceLanguage(), 1031u);
  // Text-shaped bytes do not change an explicitly chosen class.
  std::vector<uint8_t> text = BytesOf("text");
  auto b = TResourceDetails::ClassInfo.Create(nullptr, 0, u"N", u"T", 4, text.data());
  EXPECT_EQ(b->ClassType(), &TResourceDetails::ClassInfo);
  EXPECT_EQ(b->RawData().Bytes(), text);
}

TEST(ResourceDetailsCreate, CreateNewDetachedIsAnEmptyResourceOfTheBaseType) {
  auto d = TResourceDetails::ClassInfo.CreateNewDetached(0, u"0");
  EXPECT_EQ(d->ResourceType(), u"0");
  EXPECT_EQ(d->ResourceName(), u"0");
  EXPECT_EQ(d->ResourceLanguage(), 0u);
  EXPECT_EQ(d->RawData().Size(), 0);
  EXPECT_EQ(d->Parent(), nullptr);
  EXPECT_FALSE(d->Dirty());
  EXPECT_EQ(d->MemoryFlags(), 0);
  EXPECT_EQ(d->DataVersion(), 0u);
  EXPECT_EQ(d->Version(), 0u);
  EXPECT_EQ(d->Characteristics(), 0u);
}

TEST(ResourceDetailsCreate, CreateNewWithAModuleThatKeepsNothingGivesNull) {
  TResourceModule keepsNothing;
  EXPECT_EQ(TResourceDetails::ClassInfo.CreateNew(&keepsNothing, 0, u"1"), nullptr);
}

// ---- dirty flags ----

TEST(ResourceDetailsDirty, OnlyTheIdentitySettersMarkDirty) {
  auto d = Make(u"MYTYPE", u"name", BytesOf("data"));
  EXPECT_FALSE(d->Dirty());
  d->SetResourceName(u"name");
  d->SetResourceType(u"MYTYPE");
  EXPECT_FALSE(d->Dirty());

  d->SetResourceLanguage(1031);
  d->SetCodePage(1250);
  d->SetCharacteristics(1);
  d->SetVersion(2);
  d->SetDataVersion(3);
  d->SetMemoryFlags(0x1030);
  d->SetTag(9);
  TMemoryStream other(reinterpret_cast<const uint8_t*>("other"), 5);
  d->ChangeData(other);
  EXPECT_FALSE(d->Dirty());

  d->SetResourceName(u"NAME");  // names are compared exactly
  EXPECT_TRUE(d->Dirty());
  EXPECT_EQ(d->ResourceName(), u"NAME");

  d->SetDirty(false);
  d->SetResourceType(u"mytype");
  EXPECT_TRUE(d->Dirty());
  EXPECT_EQ(d->ResourceType(), u"mytype");
}

// ---- data ----

TEST(ResourceDetailsData, ChangeDataCopiesEverythingWhateverThePosition) {
  auto d = Make(u"10", u"1", BytesOf("old content"));
  TMemoryStream source(reinterpret_cast<const uint8_t*>("new bytes"), 9);
  source.SetPosition(4);
  d->ChangeData(source);
  EXPECT_EQ(d->RawData().Bytes(), BytesOf("new bytes"));
  EXPECT_EQ(source.Position(), 9);
  EXPECT_EQ(d->RawData().Position(), 9);

  TMemoryStream empty;
  d->ChangeData(empty);
  EXPECT_EQ(d->RawData().Size(), 0);
  EXPECT_EQ(d->RawData().Position(), 0);
}

TEST(ResourceDetailsData, ChangeDataFromItsOwnStreamKeepsTheBytes) {
  auto d = Make(u"10", u"1", BytesOf("mine"));
  d->RawData().SetPosition(1);
  d->ChangeData(d->RawData());
  EXPECT_EQ(d->RawData().Bytes(), BytesOf("mine"));
  EXPECT_EQ(d->RawData().Position(), 4);
}

// ---- text ----

TEST(ResourceDetailsText, UnicodeTextIsWholeUnits) {
  auto d = TUnicodeResourceDetails::ClassInfo.Create(nullptr, 0, u"1", u"10", 5,
                                                     reinterpret_cast<const uint8_t*>("a\0b\0c"));
  auto* u = dynamic_cast<TUnicodeResourceDetails*>(d.get());
  ASSERT_NE(u, nullptr);
  EXPECT_EQ(u->GetText(), u"ab");

  u->SetText(u"\x00E9t\xD83D\xDE00");
  std::vector<uint8_t> expected = {0xE9, 0x00, 't', 0x00, 0x3D, 0xD8, 0x00, 0xDE};
  EXPECT_EQ(u->RawData().Bytes(), expected);  // no terminator
  EXPECT_EQ(u->GetText(), u"\x00E9t\xD83D\xDE00");
}

TEST(ResourceDetailsText, AnsiTextIsEveryByteIncludingZeros) {
  std::vector<uint8_t> data = {'a', 0, 'b', 0, 0};
  auto d = TAnsiResourceDetails::ClassInfo.Create(nullptr, 0, u"1", u"10", 5, data.data());
  auto* a = dynamic_cast<TAnsiResourceDetails*>(d.get());
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->GetText(), std::string("a\0b\0\0", 5));

  a->SetText(
      "Gr\xC3\xBC\xC3\x9F"
      "e");
  EXPECT_EQ(a->RawData().Bytes(), BytesOf("Gr\xC3\xBC\xC3\x9F"
                                          "e"));  // no terminator
  a->SetText("");
  EXPECT_EQ(a->RawData().Size(), 0);
}

// ---- order ----

TEST(CompareDetails, NamedTypesComeBeforeNumbersWhichGoByValue) {
  auto icon = Make(u"ICON", u"1");
  auto twelve = Make(u"12", u"1");
  auto hundred = Make(u"100", u"1");
  auto two = Make(u"2", u"1");
  EXPECT_LT(CompareDetails(*icon, *twelve), 0);
  EXPECT_GT(CompareDetails(*twelve, *icon), 0);
  EXPECT_LT(CompareDetails(*twelve, *hundred), 0);  // by value, not by text
  EXPECT_LT(CompareDetails(*two, *twelve), 0);
  EXPECT_EQ(CompareDetails(*twelve, *twelve), 0);
}

TEST(CompareDetails, TypesDifferingOnlyInAsciiCaseAreEqualThenNamesDecide) {
  auto a = Make(u"MyType", u"B");
  auto b = Make(u"MYTYPE", u"a");
  auto c = Make(u"mytype", u"b");
  EXPECT_GT(CompareDetails(*a, *b), 0);  // B after a: names decide, case-blind too
  EXPECT_EQ(CompareDetails(*a, *c), 0);
  auto n1 = Make(u"mytype", u"1");
  EXPECT_LT(CompareDetails(*a, *n1), 0);  // a named name before a numbered one
}

TEST(CompareDetails, CaseFoldingIsAsciiOnlyAndAPrefixSortsFirst) {
  // U+00E9 and U+00C9 are different letters to an ASCII fold; 'z' (0x5A folded) is below both.
  auto lowerE = Make(u"T", u"\x00E9");
  auto upperE = Make(u"T", u"\x00C9");
  auto z = Make(u"T", u"z");
  EXPECT_NE(CompareDetails(*lowerE, *upperE), 0);
  EXPECT_GT(CompareDetails(*lowerE, *upperE), 0);
  EXPECT_LT(CompareDetails(*z, *upperE), 0);
  // Folding goes to upper case: '_' (0x5F) sorts after 'A'..'Z' whatever the case.
  auto underscore = Make(u"T", u"_");
  auto lowerA = Make(u"T", u"a");
  EXPECT_LT(CompareDetails(*lowerA, *underscore), 0);

  auto ab = Make(u"T", u"AB");
  auto abc = Make(u"T", u"abc");
  EXPECT_LT(CompareDetails(*ab, *abc), 0);
  EXPECT_GT(CompareDetails(*abc, *ab), 0);
}

TEST(CompareDetails, SortingKeepsListOrderBetweenEqualIdentitiesAfterAnOrderedPrefix) {
  // The sort keeps an ordered prefix and merges the rest in: the result must still
  // be the stable sort of the whole list, languages of one identity in list order.
  const char16_t* types[] = {u"3", u"10", u"MYTYPE", u"ICON"};
  const char16_t* names[] = {u"1", u"2", u"07", u"A", u"B"};
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    std::mt19937 random(seed);
    std::vector<std::unique_ptr<TResourceDetails>> reference;
    for (int i = 0; i < 120; ++i) {
      reference.push_back(Make(types[random() % 4], names[random() % 5]));
      reference.back()->SetResourceLanguage(static_cast<uint32_t>(i));
    }
    const size_t prefix = seed * 20;
    std::stable_sort(reference.begin(), reference.begin() + prefix,
                     [](const auto& a, const auto& b) { return CompareDetails(*a, *b) < 0; });
    TResModule module;
    for (const auto& d : reference)
      module.AddResource(Make(d->ResourceType(), d->ResourceName(), {}, d->ResourceLanguage()));
    std::stable_sort(reference.begin(), reference.end(),
                     [](const auto& a, const auto& b) { return CompareDetails(*a, *b) < 0; });
    module.SortResources();
    for (int i = 0; i < module.ResourceCount(); ++i) {
      EXPECT_EQ(module.ResourceDetails(i)->ResourceType(), reference[i]->ResourceType());
      EXPECT_EQ(module.ResourceDetails(i)->ResourceName(), reference[i]->ResourceName());
      EXPECT_EQ(module.ResourceDetails(i)->ResourceLanguage(), reference[i]->ResourceLanguage()) << seed << " " << i;
    }
  }
}

// ---- code pages of languages ----

TEST(LanguageCodePage, DefaultAnsiCodePages) {
  struct Case {
    uint32_t language;
    int32_t codePage;
  };
  const Case cases[] = {
      {0x0000, 1252},
      {0x0400, 1252},
      {0x0800, 1252},
      {0x0409, 1252},
      {0x0809, 1252},
      {0x0407, 1252},
      {0x040C, 1252},
      {0x0804, 936},
      {0x0004, 936},
      {0x1004, 936},
      {0x0404, 950},
      {0x0C04, 950},
      {0x1404, 950},
      {0x0411, 932},
      {0x0412, 949},
      {0x041E, 874},
      {0x0405, 1250},
      {0x0415, 1250},
      {0x040E, 1250},
      {0x0419, 1251},
      {0x0422, 1251},
      {0x0402, 1251},
      {0x0408, 1253},
      {0x041F, 1254},
      {0x040D, 1255},
      {0x0401, 1256},
      {0x0429, 1256},
      {0x0420, 1256},
      {0x0425, 1257},
      {0x0426, 1257},
      {0x0427, 1257},
      {0x042A, 1258},
      // Croatian, Serbian and Bosnian share a primary language; script decides.
      {0x041A, 1250},
      {0x081A, 1250},
      {0x0C1A, 1251},
      {0x141A, 1250},
      {0x201A, 1251},
      {0x241A, 1250},
      {0x281A, 1251},
      {0x701A, 1250},
      {0x6C1A, 1251},
      {0x781A, 1250},
      {0x7C1A, 1250},
      {0x042C, 1254},
      {0x082C, 1251},
      {0x0443, 1254},
      {0x0843, 1251},
      // Unicode-only locales.
      {0x0439, 0},
      {0x042B, 0},
      {0x0437, 0},
      {0x0445, 0},
      {0x0449, 0},
      {0x043A, 0},
      {0x0481, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LanguageToCodePage(c.language), c.codePage) << std::hex << "language 0x" << c.language;
}

TEST(LanguageCodePage, UnknownLanguagesGetTheAnsiCodePage) {
  EXPECT_EQ(platform::GetACP(), 65001u);
  for (uint32_t language : {0x00FFu, 0x0C00u, 0x03FFu, 0x10000u, 0xFFFFFFFFu})
    EXPECT_EQ(LanguageToCodePage(language), 65001) << std::hex << "language 0x" << language;
}

TEST(ResourceDetails, CodePageFollowsTheLanguageGivenAtCreation) {
  EXPECT_EQ(Make(u"6", u"1", {}, 0x0419)->CodePage(), 1251);
  EXPECT_EQ(Make(u"6", u"1", {}, 0x0411)->CodePage(), 932);
  EXPECT_EQ(Make(u"6", u"1", {}, 0x0439)->CodePage(), 0);
}

// ---- counted strings ----

TEST(ResourceDetailsCountedString, ReadsTheCountAndTheUnitsAndAdvances) {
  std::vector<uint8_t> bytes = {3, 0, 'a', 0, 0xFC, 0, 'c', 0, 0x99, 0x99};
  const uint8_t* cursor = bytes.data();
  EXPECT_EQ(ReadCountedAnsiString(cursor, platform::CP_ACP),
            "a\xC3\xBC"
            "c");
  EXPECT_EQ(cursor, bytes.data() + 8);

  std::vector<uint8_t> none = {0, 0, 'x', 0};
  cursor = none.data();
  EXPECT_EQ(ReadCountedAnsiString(cursor, platform::CP_ACP), "");
  EXPECT_EQ(cursor, none.data() + 2);

  // A surrogate pair becomes one 4-byte sequence; a lone surrogate a '?'.
  std::vector<uint8_t> astral = {3, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8};
  cursor = astral.data();
  EXPECT_EQ(ReadCountedAnsiString(cursor, platform::CP_ACP), "\xF0\x9F\x98\x80?");
  EXPECT_EQ(cursor, astral.data() + 8);
}

}  // namespace
}  // namespace tolvane
