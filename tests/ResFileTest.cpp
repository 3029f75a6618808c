// The .RES format: the exact bytes written, what is read back, and the refusal of
// corrupt files without reading outside them.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "builders/ImageFiles.h"
#include "builders/ResBuilder.h"
#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

const char kCorrupt[] = "The resource file is corrupt";

void ExpectCorrupt(const Bytes& file, const std::string& what) {
  Thrown t = Capture([&] { LoadRes(file); });
  EXPECT_TRUE(t.thrown) << what;
  EXPECT_EQ(t.className, "Exception") << what;
  EXPECT_EQ(t.message, kCorrupt) << what;
}

ResRecord Record(ResId type, ResId name, const Bytes& data, uint16_t language = 1033) {
  ResRecord r;
  r.type = std::move(type);
  r.name = std::move(name);
  r.data = data;
  r.language = language;
  return r;
}

// A record from raw parts: the two sizes, then whatever follows them.
Bytes RawRecord(uint32_t dataSize, uint32_t headerSize, const Bytes& rest) {
  Bytes out;
  ByteWriter w(out);
  w.u32(dataSize);
  w.u32(headerSize);
  w.bytes(rest.data(), rest.size());
  return out;
}

std::string Id(const TResourceDetails& d) {
  return platform::WideToUtf8(d.ResourceType()) + "/" + platform::WideToUtf8(d.ResourceName()) + "/" +
         std::to_string(d.ResourceLanguage());
}

std::vector<std::string> Ids(const TResourceModule& module) {
  std::vector<std::string> ids;
  for (int i = 0; i < module.ResourceCount(); ++i) ids.push_back(Id(*module.ResourceDetails(i)));
  return ids;
}

// A valid file of several records of different shapes, in sorted order.
Bytes SampleFile() {
  ResRecord named = Record(ResId::Str(u"MYTYPE"), ResId::Str(u"GREETING"), BytesOf("Hello, world"));
  named.memoryFlags = 0x1030;
  ResRecord odd = Record(ResId::Ord(10), ResId::Str(u"ODD"), {1, 2, 3});
  ResRecord text = Record(ResId::Ord(10), ResId::Ord(1), BytesOf("some text!"));
  text.dataVersion = 3;
  text.version = 4;
  text.characteristics = 5;
  ResRecord version = Record(ResId::Ord(16), ResId::Ord(1), Bytes(61, 0x11), 0);
  return ResBuilder().EmptyRecord().Add(named).Add(odd).Add(text).Add(version).Bytes();
}

// ---- the leading empty record ----

TEST(ResFileEmpty, ANewModuleSavesTheLeadingEmptyRecordOnly) {
  TResModule module;
  EXPECT_FALSE(module.Is16Bit());
  Bytes expected = {0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00};
  expected.resize(32, 0);
  EXPECT_EQ(SaveToBytes(module), expected);
}

TEST(ResFileEmpty, AnEmptyFileLoadsAsSixteenBitAndSavesAsNothing) {
  auto module = LoadRes({});
  EXPECT_EQ(module->ResourceCount(), 0);
  EXPECT_TRUE(module->Is16Bit());
  EXPECT_TRUE(SaveToBytes(*module).empty());

  TMemoryStream empty;
  TResModule fromStream;
  fromStream.LoadFromStream(empty);
  EXPECT_TRUE(fromStream.Is16Bit());
}

TEST(ResFileEmpty, AFileWithOnlyTheLeadingRecordHasNoResources) {
  Bytes file = ResBuilder().EmptyRecord().Bytes();
  auto module = LoadRes(file);
  EXPECT_EQ(module->ResourceCount(), 0);
  EXPECT_FALSE(module->Is16Bit());
  EXPECT_EQ(SaveToBytes(*module), file);
}

TEST(ResFileEmpty, AFileStartingWithAResourceSavesWithoutTheLeadingRecord) {
  Bytes file = ResBuilder().Add(Record(ResId::Ord(10), ResId::Ord(1), BytesOf("abc"))).Bytes();
  auto module = LoadRes(file);
  ASSERT_EQ(module->ResourceCount(), 1);
  EXPECT_TRUE(module->Is16Bit());
  EXPECT_EQ(SaveToBytes(*module), file);
}

TEST(ResFileEmpty, AnEmptyRecordNamedZeroIsDroppedWhereverItStands) {
  ResRecord a = Record(ResId::Ord(10), ResId::Ord(1), BytesOf("first"));
  ResRecord b = Record(ResId::Ord(10), ResId::Ord(2), BytesOf("second"));
  ResRecord typed = Record(ResId::Ord(10), ResId::Ord(0), {});
  Bytes expected = ResBuilder().EmptyRecord().Add(a).Add(b).Bytes();
  for (const Bytes& file :
       {ResBuilder().Add(a).EmptyRecord().Add(b).Bytes(), ResBuilder().Add(a).Add(b).EmptyRecord().Bytes(),
        ResBuilder().EmptyRecord().Add(a).EmptyRecord().Add(b).Bytes(),
        ResBuilder().Add(a).Add(typed).Add(b).Bytes()}) {
    auto module = LoadRes(file);
    EXPECT_EQ(Ids(*module), (std::vector<std::string>{"10/1/1033", "10/2/1033"}));
    EXPECT_FALSE(module->Is16Bit());
    EXPECT_EQ(SaveToBytes(*module), expected);
  }
}

TEST(ResFileEmpty, AnEmptyRecordWithAnotherNameIsAResource) {
  ResRecord empty = Record(ResId::Ord(10), ResId::Ord(5), {});
  ResRecord named = Record(ResId::Ord(0), ResId::Str(u"Z"), {}, 0);
  Bytes file = ResBuilder().Add(named).Add(empty).Bytes();
  auto module = LoadRes(file);
  ASSERT_EQ(module->ResourceCount(), 2);
  EXPECT_TRUE(module->Is16Bit());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(module->ResourceDetails(i)->RawData().Size(), 0);
    EXPECT_EQ(module->ResourceDetails(i)->ClassType(), &TResourceDetails::ClassInfo);
  }
  EXPECT_EQ(SaveToBytes(*module), file);
}

// ---- the record layout ----

TEST(ResFileWrite, ARecordWithOrdinalsIsFortyBytes) {
  auto module = LoadRes({});
  TResourceDetails* d = AddResource(*module, u"6", u"7", 1033, BytesOf("abcde"));
  d->SetDataVersion(0x11223344);
  d->SetMemoryFlags(0x1030);
  d->SetVersion(0x55667788);
  d->SetCharacteristics(0x99AABBCC);
  Bytes expected = {0x05, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,  // DataSize, HeaderSize
                    0xFF, 0xFF, 0x06, 0x00, 0xFF, 0xFF, 0x07, 0x00,  // TYPE 6, NAME 7
                    0x44, 0x33, 0x22, 0x11, 0x30, 0x10, 0x09, 0x04,  // DataVersion, MemoryFlags, language
                    0x88, 0x77, 0x66, 0x55, 0xCC, 0xBB, 0xAA, 0x99,  // Version, Characteristics
                    'a',  'b',  'c',  'd',  'e',  0x00, 0x00, 0x00};
  EXPECT_EQ(SaveToBytes(*module), expected);
}

TEST(ResFileWrite, StringIdentifiersAreZeroTerminatedAndAligned) {
  struct Case {
    std::u16string type, name;
    uint32_t headerSize;
  };
  for (const Case& c : {Case{u"10", u"AB", 36}, Case{u"MYTYPE", u"3", 44}, Case{u"A", u"B", 32}, Case{u"AB", u"C", 36},
                        Case{u"ABC", u"1", 36}}) {
    auto module = LoadRes({});
    AddResource(*module, c.type, c.name, 0, {'x'});
    Bytes out = SaveToBytes(*module);
    ASSERT_GE(out.size(), 8u);
    EXPECT_EQ(getU32LE(&out[4]), c.headerSize) << platform::WideToUtf8(c.type + u"/" + c.name);
    EXPECT_EQ(out.size() % 4, 0u);
    auto again = LoadRes(out);
    ASSERT_EQ(again->ResourceCount(), 1);
    EXPECT_EQ(again->ResourceDetails(0)->ResourceType(), c.type);
    EXPECT_EQ(again->ResourceDetails(0)->ResourceName(), c.name);
  }
}

TEST(ResFileWrite, TheStringFormOfAnIdentifierIsItsUnits) {
  auto module = LoadRes({});
  AddResource(*module, u"10", u"AB", 0, {'x'});
  Bytes out = SaveToBytes(*module);
  Bytes header(out.begin() + 8, out.begin() + 20);
  EXPECT_EQ(header, (Bytes{0xFF, 0xFF, 0x0A, 0x00, 'A', 0, 'B', 0, 0, 0, 0, 0}));
}

TEST(ResFileWrite, NumbersAboveAnOrdinalAreWrittenAsText) {
  auto module = LoadRes({});
  AddResource(*module, u"10", u"70000", 0, {'x'});
  AddResource(*module, u"10", u"65535", 0, {'x'});
  Bytes out = SaveToBytes(*module);
  Bytes expectedName = Utf16Bytes(u"70000");
  expectedName.push_back(0), expectedName.push_back(0);
  EXPECT_EQ(getU32LE(&out[4]), 40u);
  EXPECT_EQ(Bytes(out.begin() + 12, out.begin() + 24), expectedName);
  auto again = LoadRes(out);
  EXPECT_EQ(Ids(*again), (std::vector<std::string>{"10/65535/0", "10/70000/0"}));
}

TEST(ResFileWrite, AnOverlongDigitNameIsRefusedWhenSortedOrWritten) {
  // Too large for an integer, so it is neither an ordinal nor a name: loading
  // stops at the sort, before anything moves, and saving refuses it.
  Bytes file = ResBuilder().Add(Record(ResId::Ord(10), ResId::Str(u"99999999999"), BytesOf("x"))).Bytes();
  TResModule module;
  Thrown sorted = Capture([&] { module.LoadFromBytes(ByteView(file.data(), file.size())); });
  EXPECT_EQ(sorted.className, "EConvertError");
  EXPECT_EQ(sorted.message, "'99999999999' is not a valid integer value");
  ASSERT_EQ(module.ResourceCount(), 1);
  EXPECT_EQ(module.ResourceDetails(0)->ResourceName(), u"99999999999");
  TMemoryStream out;
  EXPECT_EQ(Capture([&] { module.SaveToStream(out); }).className, "EConvertError");
}

TEST(ResFileWrite, HeadersLongerThan1024BytesAreWrittenInFull) {
  std::u16string type(700, u'T'), name(600, u'n');
  name[599] = u'\x00E9';
  auto module = LoadRes({});
  Bytes data = BytesOf("long");
  AddResource(*module, type, name, 1031, data);
  Bytes out = SaveToBytes(*module);
  uint32_t headerSize = getU32LE(&out[4]);
  EXPECT_EQ(headerSize, 8u + 1402 + 1202 + 16);  // the names end on a 4-byte boundary
  EXPECT_EQ(out.size(), headerSize + 4u);
  auto again = LoadRes(out);
  ASSERT_EQ(again->ResourceCount(), 1);
  EXPECT_EQ(again->ResourceDetails(0)->ResourceType(), type);
  EXPECT_EQ(again->ResourceDetails(0)->ResourceName(), name);
  EXPECT_EQ(again->ResourceDetails(0)->RawData().Bytes(), data);
  EXPECT_EQ(SaveToBytes(*again), out);
}

// ---- reading ----

TEST(ResFileRead, LoadThenSaveKeepsTheAttributesAndSorts) {
  ResRecord strings = Record(ResId::Ord(6), ResId::Ord(1), Utf16Bytes(u"\x0005Hello"), 1031);
  strings.memoryFlags = 0x1030;
  ResRecord table = Record(ResId::Ord(10), ResId::Str(u"TABLE"), {1, 2, 3, 4, 5, 6});
  table.dataVersion = 7;
  table.memoryFlags = 0x1040;
  table.version = 7;
  table.characteristics = 0x1234;
  ResRecord user = Record(ResId::Str(u"MYTYPE"), ResId::Str(u"NOTE"), BytesOf("note"));
  user.memoryFlags = 0x1030;
  ResRecord user256 = Record(ResId::Ord(256), ResId::Ord(3), BytesOf("256"));
  ResRecord rc10 = Record(ResId::Ord(10), ResId::Ord(10), {9, 9, 9, 9});

  Bytes shuffled = ResBuilder().EmptyRecord().Add(user256).Add(rc10).Add(table).Add(strings).Add(user).Bytes();
  auto module = LoadRes(shuffled);
  EXPECT_EQ(Ids(*module),
            (std::vector<std::string>{"MYTYPE/NOTE/1033", "6/1/1031", "10/TABLE/1033", "10/10/1033", "256/3/1033"}));
  TResourceDetails* t = module->ResourceDetails(2);
  EXPECT_EQ(t->DataVersion(), 7u);
  EXPECT_EQ(t->MemoryFlags(), 0x1040);
  EXPECT_EQ(t->Version(), 7u);
  EXPECT_EQ(t->Characteristics(), 0x1234u);
  EXPECT_EQ(t->ResourceLanguage(), 1033u);
  EXPECT_EQ(t->RawData().Bytes(), (Bytes{1, 2, 3, 4, 5, 6}));

  Bytes sorted = ResBuilder().EmptyRecord().Add(user).Add(strings).Add(table).Add(rc10).Add(user256).Bytes();
  EXPECT_EQ(SaveToBytes(*module), sorted);
  EXPECT_FALSE(module->Dirty());
}

TEST(ResFileRead, EqualIdentitiesKeepTheirFileOrder) {
  // Languages do not take part in the order; records that differ only there stay as the file has them.
  ResBuilder builder;
  builder.EmptyRecord();
  for (uint16_t language = 40; language >= 1; --language)
    builder.Add(Record(ResId::Ord(6), ResId::Ord(1), {uint8_t(language)}, language));
  builder.Add(Record(ResId::Str(u"A"), ResId::Ord(1), {0}, 0));
  auto module = LoadRes(builder.Bytes());
  ASSERT_EQ(module->ResourceCount(), 41);
  EXPECT_EQ(module->ResourceDetails(0)->ResourceType(), u"A");
  for (int i = 1; i <= 40; ++i) EXPECT_EQ(module->ResourceDetails(i)->ResourceLanguage(), uint32_t(41 - i)) << i;
}

TEST(ResFileRead, DataStartsAtHeaderSize) {
  ResRecord wide = Record(ResId::Ord(10), ResId::Str(u"PADDED"), BytesOf("payload"));
  wide.extraHeader = 12;
  wide.memoryFlags = 0x30;
  Bytes file = ResBuilder().Add(wide).Bytes();
  ASSERT_EQ(getU32LE(&file[4]), 8u + 4 + 14 + 2 + 16 + 12);
  auto module = LoadRes(file);
  ASSERT_EQ(module->ResourceCount(), 1);
  EXPECT_EQ(module->ResourceDetails(0)->RawData().Bytes(), BytesOf("payload"));
  EXPECT_EQ(module->ResourceDetails(0)->MemoryFlags(), 0x30);
  wide.extraHeader = 0;
  EXPECT_EQ(SaveToBytes(*module), ResBuilder().Add(wide).Bytes());  // written with the size the fields need
}

TEST(ResFileRead, TheClassIsChosenFromTheBytes) {
  Bytes file = ResBuilder()
                   .Add(Record(ResId::Ord(10), ResId::Ord(1), BytesOf("plain text")))
                   .Add(Record(ResId::Ord(10), ResId::Ord(2), Utf16Bytes(u"wide text")))
                   .Add(Record(ResId::Ord(10), ResId::Ord(3), {0, 1, 2, 3}))
                   .Bytes();
  auto module = LoadRes(file);
  ASSERT_EQ(module->ResourceCount(), 3);
  EXPECT_EQ(module->ResourceDetails(0)->ClassType(), &TAnsiResourceDetails::ClassInfo);
  EXPECT_EQ(module->ResourceDetails(1)->ClassType(), &TUnicodeResourceDetails::ClassInfo);
  EXPECT_EQ(module->ResourceDetails(2)->ClassType(), &TResourceDetails::ClassInfo);
  EXPECT_EQ(module->ResourceDetails(0)->Parent(), module.get());
}

TEST(ResFileRead, AStreamIsReadFromItsStartWhateverItsPosition) {
  Bytes file = SampleFile();
  TMemoryStream stream(file.data(), file.size());
  stream.SetPosition(static_cast<int64_t>(file.size()));
  TResModule module;
  module.LoadFromStream(stream);
  EXPECT_EQ(module.ResourceCount(), 4);
}

TEST(ResFileRead, AMissingFileIsAnOpenError) {
  ScratchDir dir;
  TResModule module;
  Thrown t = Capture([&] { module.LoadFromFile(dir.file16("absent.res")); });
  EXPECT_EQ(t.className, "EFOpenError");
  EXPECT_EQ(t.message, "Cannot open file \"" + dir.file("absent.res") + "\". No such file or directory");
}

TEST(ResFileRead, TrailingBytesUpToEightAreIgnored) {
  Bytes file = SampleFile();
  for (size_t extra = 1; extra <= 8; ++extra) {
    for (uint8_t fill : {uint8_t(0x00), uint8_t(0xFF)}) {
      Bytes padded = file;
      padded.insert(padded.end(), extra, fill);
      auto module = LoadRes(padded);
      EXPECT_EQ(module->ResourceCount(), 4) << extra;
      EXPECT_EQ(SaveToBytes(*module), file) << extra;
    }
  }
  Bytes nine = file;
  nine.insert(nine.end(), 9, 0);
  ExpectCorrupt(nine, "nine trailing zero bytes");
}

// ---- corrupt files ----

TEST(ResFileCorrupt, SizesReachingPastTheEnd) {
  ResRecord r = Record(ResId::Ord(10), ResId::Ord(1), BytesOf("12345"));
  r.headerSize = 0x1000;
  ExpectCorrupt(ResBuilder().Add(r).Bytes(), "HeaderSize past the end");
  r.headerSize = 0xFFFFFFFF;
  ExpectCorrupt(ResBuilder().Add(r).Bytes(), "HeaderSize 0xFFFFFFFF");
  r.headerSize.reset();
  r.dataSize = 9;  // the data and its padding are 8 bytes
  ExpectCorrupt(ResBuilder().Add(r).Bytes(), "DataSize past the end");
  r.dataSize = 0xFFFFFFFF;
  ExpectCorrupt(ResBuilder().Add(r).Bytes(), "DataSize 0xFFFFFFFF");

  // A good record first does not save a bad one after it.
  ResRecord bad = Record(ResId::Ord(10), ResId::Ord(2), BytesOf("abc"));
  bad.dataSize = 100;
  ExpectCorrupt(ResBuilder().EmptyRecord().Add(Record(ResId::Ord(10), ResId::Ord(1), {1})).Add(bad).Bytes(),
                "bad second record");
}

TEST(ResFileCorrupt, DataSizeExactlyToTheEndWithoutPaddingLoads) {
  // The padding after the last record is not needed to read it.
  ResRecord r = Record(ResId::Ord(10), ResId::Ord(1), BytesOf("12345"));
  r.pad = false;
  auto module = LoadRes(ResBuilder().Add(r).Bytes());
  ASSERT_EQ(module->ResourceCount(), 1);
  EXPECT_EQ(module->ResourceDetails(0)->RawData().Bytes(), BytesOf("12345"));
}

TEST(ResFileCorrupt, AnIdentifierWithoutItsZeroInsideTheHeader) {
  // TYPE runs to the end of the header; the data after it happens to hold a zero.
  Bytes type = Utf16Bytes(u"ABCDEF");
  Bytes rest = type;
  rest.insert(rest.end(), {0, 0, 0, 0, 'x', 0, 0, 0});
  ExpectCorrupt(RawRecord(8, 8 + 12, rest), "unterminated TYPE");
  ExpectCorrupt(RawRecord(0, 8 + 12, type), "unterminated TYPE at the end of the file");

  Bytes name = {0xFF, 0xFF, 0x0A, 0x00};
  Bytes nameText = Utf16Bytes(u"NAMENAME");
  name.insert(name.end(), nameText.begin(), nameText.end());
  Bytes nameRest = name;
  nameRest.insert(nameRest.end(), 24, 0);
  ExpectCorrupt(RawRecord(24, 8 + static_cast<uint32_t>(name.size()), nameRest), "unterminated NAME");

  // An ordinal marker whose value lies beyond the header.
  ExpectCorrupt(RawRecord(4, 10, {0xFF, 0xFF, 0x0A, 0x00, 0xFF, 0xFF}), "split ordinal");
}

TEST(ResFileCorrupt, AHeaderTooSmallForItsFields) {
  for (uint32_t headerSize : {0u, 1u, 4u, 7u, 8u, 12u, 16u, 20u, 31u}) {
    ResRecord r = Record(ResId::Ord(10), ResId::Ord(1), BytesOf("12345678"));
    r.headerSize = headerSize;
    ExpectCorrupt(ResBuilder().Add(r).Bytes(), "HeaderSize " + std::to_string(headerSize));
  }
}

TEST(ResFileCorrupt, ARecordThatWouldNotAdvance) {
  ExpectCorrupt(Bytes(16, 0), "DataSize and HeaderSize zero");
  ExpectCorrupt(ResBuilder().EmptyRecord().Raw(Bytes(12, 0)).Bytes(), "zero record after the leading one");
  // Sizes whose sum is 2^32: a 32-bit sum would be 0.
  ExpectCorrupt(RawRecord(4, 0xFFFFFFFC, Bytes(24, 0)), "sizes summing to 2^32");
  ExpectCorrupt(RawRecord(0xFFFFFFFC, 4, Bytes(24, 0)), "sizes summing to 2^32, the other way");
}

TEST(ResFileCorrupt, EveryTruncationLoadsOrIsRefused) {
  Bytes file = SampleFile();
  size_t loaded = 0;
  for (size_t length = 0; length < file.size(); ++length) {
    Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(length));
    Thrown t = Capture([&] {
      auto module = LoadRes(cut);
      EXPECT_LE(module->ResourceCount(), 4);
      ++loaded;
    });
    if (t.thrown) {
      EXPECT_EQ(t.className, "Exception") << length;
      EXPECT_EQ(t.message, kCorrupt) << length;
    }
  }
  EXPECT_GT(loaded, 0u);
  EXPECT_EQ(LoadRes(file)->ResourceCount(), 4);
}

TEST(ResFileCorrupt, DamagedBytesLoadOrAreRefused) {
  Bytes file = SampleFile();
  std::mt19937 random(20240601);
  for (int round = 0; round < 3000; ++round) {
    Bytes damaged = file;
    int changes = 1 + static_cast<int>(random() % 4);
    for (int k = 0; k < changes; ++k) {
      size_t at = random() % damaged.size();
      switch (random() % 3) {
        case 0:
          damaged[at] = static_cast<uint8_t>(random());
          break;
        case 1:
          damaged[at] = 0xFF;
          break;
        default:
          damaged[at] = 0;
          break;
      }
    }
    Thrown t = Capture([&] { LoadRes(damaged); });
    if (t.thrown) {
      ASSERT_EQ(t.className, "Exception") << round;
      ASSERT_EQ(t.message, kCorrupt) << round;
    }
  }
}

TEST(ResFileCorrupt, RecordsBeforeTheCorruptOneStay) {
  Bytes good = ResBuilder().Add(Record(ResId::Ord(10), ResId::Ord(9), BytesOf("kept"))).Bytes();
  TResModule module;
  module.LoadFromBytes(ByteView(good.data(), good.size()));
  ASSERT_TRUE(module.Is16Bit());

  ResRecord bad = Record(ResId::Ord(10), ResId::Ord(2), BytesOf("abc"));
  bad.dataSize = 100;
  Bytes file = ResBuilder().EmptyRecord().Add(Record(ResId::Ord(10), ResId::Ord(1), {1})).Add(bad).Bytes();
  EXPECT_EQ(Capture([&] { module.LoadFromBytes(ByteView(file.data(), file.size())); }).message, kCorrupt);
  EXPECT_EQ(Ids(module), (std::vector<std::string>{"10/9/1033", "10/1/1033"}));
  EXPECT_FALSE(module.Is16Bit());
}

TEST(ResFileRead, LoadingAgainAddsToWhatIsThere) {
  Bytes first = ResBuilder().Add(Record(ResId::Ord(10), ResId::Ord(2), BytesOf("two"))).Bytes();
  Bytes second = ResBuilder().EmptyRecord().Add(Record(ResId::Ord(10), ResId::Ord(1), BytesOf("one"))).Bytes();
  TResModule module;
  module.LoadFromBytes(ByteView(first.data(), first.size()));
  module.LoadFromBytes(ByteView(second.data(), second.size()));
  EXPECT_EQ(Ids(module), (std::vector<std::string>{"10/1/1033", "10/2/1033"}));
  EXPECT_FALSE(module.Is16Bit());  // the last file read decides
}

TEST(ResFileRead, ADirectoryIsNotAResourceFile) {
  ScratchDir dir;
  TResModule module;
  Thrown t = Capture([&] { module.LoadFromFile(platform::Utf8ToWide(dir.path())); });
  EXPECT_EQ(t.className, "EFOpenError");
  EXPECT_EQ(t.message, "Cannot open file \"" + dir.path() + "\". Is a directory");
}

// ---- deletion ----

TEST(ResFileModule, DeleteThenSaveLeavesTheRecordOut) {
  Bytes file = SampleFile();
  auto module = LoadRes(file);
  TResourceDetails* odd = module->FindResource(u"10", u"ODD", 1033);
  ASSERT_NE(odd, nullptr);
  module->DeleteResource(module->IndexOfResource(odd));
  EXPECT_TRUE(module->Dirty());
  EXPECT_EQ(module->FindResource(u"10", u"ODD", 1033), nullptr);
  auto again = LoadRes(SaveToBytes(*module));
  EXPECT_EQ(Ids(*again), (std::vector<std::string>{"MYTYPE/GREETING/1033", "10/1/1033", "16/1/0"}));
}

TEST(ResFileWrite, DigitsOnlyNameIsWrittenAsItsOrdinal) {
  TResModule module;
  AddResource(module, u"10", u"0123", 0, {1});
  Bytes out = SaveToBytes(module);
  EXPECT_EQ(getU16LE(&out[32 + 12]), 0xFFFF);
  EXPECT_EQ(getU16LE(&out[32 + 14]), 123);
  auto again = LoadRes(out);
  ASSERT_EQ(again->ResourceCount(), 1);
  EXPECT_EQ(again->ResourceDetails(0)->ResourceName(), u"123");
}

}  // namespace
}  // namespace tolvane::test
