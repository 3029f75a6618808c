// Real .RES files compiled by windres: what we read matches what was recorded
// when they were built, what we write windres reads, and it reads back the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

const char kWindres[] = "i686-w64-mingw32-windres";

struct Expected {
  std::string type, name;
  uint32_t language = 0, dataSize = 0, dataVersion = 0, memoryFlags = 0, version = 0, characteristics = 0;
  std::string sha256;
};

bool IsNumber(const std::string& id) {
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The order records have on disk and in a resource directory: string identifiers
// first, case-blind, then numbers ascending; written here independently of the model.
int CompareIds(const std::string& a, const std::string& b) {
  bool na = IsNumber(a), nb = IsNumber(b);
  if (na && nb) {
    long la = std::stol(a), lb = std::stol(b);
    return la < lb ? -1 : la > lb ? 1 : 0;
  }
  if (na != nb) return na ? 1 : -1;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    char ca = static_cast<char>(std::toupper(static_cast<unsigned char>(a[i])));
    char cb = static_cast<char>(std::toupper(static_cast<unsigned char>(b[i])));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// The recorded records of a fixture, the leading empty record left out, in the
// order a load gives them.
std::vector<Expected> ReadRecords(const std::string& path, bool& hadLeadingRecord) {
  std::ifstream in(path);
  std::vector<Expected> records;
  hadLeadingRecord = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    Expected e;
    fields >> e.type >> e.name >> e.language >> e.dataSize >> e.dataVersion >> e.memoryFlags >> e.version >>
        e.characteristics >> e.sha256;
    if (!fields) ADD_FAILURE() << "unreadable line in " << path << ": " << line;
    if (e.dataSize == 0 && e.name == "0") {
      hadLeadingRecord = true;
      continue;
    }
    records.push_back(e);
  }
  std::stable_sort(records.begin(), records.end(), [](const Expected& a, const Expected& b) {
    int byType = CompareIds(a.type, b.type);
    return byType != 0 ? byType < 0 : CompareIds(a.name, b.name) < 0;
  });
  return records;
}

void ExpectRecords(const TResModule& module, const std::vector<Expected>& expected, const std::string& what) {
  ASSERT_EQ(module.ResourceCount(), static_cast<int>(expected.size())) << what;
  for (size_t i = 0; i < expected.size(); ++i) {
    const Expected& e = expected[i];
    TResourceDetails* d = module.ResourceDetails(static_cast<int>(i));
    std::string where = what + " record " + std::to_string(i) + " (" + e.type + " " + e.name + ")";
    EXPECT_EQ(platform::WideToUtf8(d->ResourceType()), e.type) << where;
    EXPECT_EQ(platform::WideToUtf8(d->ResourceName()), e.name) << where;
    EXPECT_EQ(d->ResourceLanguage(), e.language) << where;
    EXPECT_EQ(d->RawData().ByteSize(), e.dataSize) << where;
    EXPECT_EQ(d->DataVersion(), e.dataVersion) << where;
    EXPECT_EQ(d->MemoryFlags(), e.memoryFlags) << where;
    EXPECT_EQ(d->Version(), e.version) << where;
    EXPECT_EQ(d->Characteristics(), e.characteristics) << where;
    EXPECT_EQ(Sha256Hex(d->RawData().Bytes()), e.sha256) << where;
  }
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class ResFixture : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    resPath = FixturePath(GetParam());
    recordsPath = resPath + ".records.txt";
    if (!PathExists(resPath) || !PathExists(recordsPath)) {
      GTEST_SKIP() << "fixture " << resPath << " or its records are not there";
    }
    expected = ReadRecords(recordsPath, hadLeadingRecord);
  }

  std::string resPath, recordsPath;
  std::vector<Expected> expected;
  bool hadLeadingRecord = false;
};

TEST_P(ResFixture, LoadsAsRecorded) {
  TResModule module;
  module.LoadFromFile(platform::Utf8ToWide(resPath));
  ExpectRecords(module, expected, GetParam());
  EXPECT_EQ(module.Is16Bit(), !hadLeadingRecord);
  EXPECT_FALSE(module.Dirty());
}

TEST_P(ResFixture, SavesBackAndLoadsTheSame) {
  TResModule module;
  module.LoadFromFile(platform::Utf8ToWide(resPath));
  ScratchDir dir;
  module.SaveToFile(dir.file16("out.res"));
  std::vector<uint8_t> ours = ReadFileBytes(dir.file("out.res"));
  if (GetParam() != "concat.res") {
    EXPECT_EQ(ours, ReadFileBytes(resPath)) << "windres writes sorted files with the same layout we do";
  }
  TResModule again;
  again.LoadFromFile(dir.file16("out.res"));
  ExpectRecords(again, expected, GetParam() + " saved by us");
  EXPECT_EQ(again.Is16Bit(), module.Is16Bit());
}

TEST_P(ResFixture, WindresReadsWhatWeWrite) {
  std::string windres = FindOnPath(kWindres);
  if (windres.empty()) {
    GTEST_SKIP() << kWindres << " is not installed; cannot check our output with it";
  }
  TResModule module;
  module.LoadFromFile(platform::Utf8ToWide(resPath));
  ScratchDir dir;
  module.SaveToFile(dir.file16("out.res"));

  ASSERT_EQ(RunQuietly(windres, {"-i", dir.file("out.res"), "-O", "rc", "-o", dir.file("out.rc")}), 0);
  ASSERT_EQ(RunQuietly(windres, {"-i", resPath, "-O", "rc", "-o", dir.file("original.rc")}), 0);
  if (GetParam() != "concat.res") {
    EXPECT_EQ(ReadText(dir.file("out.rc")), ReadText(dir.file("original.rc")));
  }

  // windres's own rewrite of our file holds the same resources.
  ASSERT_EQ(RunQuietly(windres, {"-i", dir.file("out.res"), "-O", "res", "-o", dir.file("windres.res")}), 0);
  TResModule rewritten;
  rewritten.LoadFromFile(dir.file16("windres.res"));
  ExpectRecords(rewritten, expected, GetParam() + " rewritten by windres");
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ResFixture,
                         ::testing::Values("strings.res", "version.res", "rcdata.res", "mixed.res", "merge.res",
                                           "dllstrings.res", "concat.res"),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.find('.'));
                           return name;
                         });

TEST(ResFixtureConcat, AnUnsortedFileComesOutSorted) {
  std::string concat = FixturePath("concat.res");
  if (!PathExists(concat) || !PathExists(FixturePath("rcdata.res")) || !PathExists(FixturePath("version.res"))) {
    GTEST_SKIP() << "fixtures concat.res, rcdata.res or version.res are not there";
  }
  TResModule module;
  module.LoadFromFile(platform::Utf8ToWide(concat));
  // concat.res is version.res then the records of rcdata.res: sorted, VERSION (16) goes last.
  ASSERT_GT(module.ResourceCount(), 1);
  EXPECT_EQ(module.ResourceDetails(module.ResourceCount() - 1)->ResourceType(), u"16");

  std::vector<uint8_t> rcdata = ReadFileBytes(FixturePath("rcdata.res"));
  std::vector<uint8_t> version = ReadFileBytes(FixturePath("version.res"));
  std::vector<uint8_t> expected = rcdata;
  expected.insert(expected.end(), version.begin() + 32, version.end());  // without its leading record
  EXPECT_EQ(SaveToBytes(module), expected);
}

// Our writer's less common shapes, checked with windres.
TEST(ResFixtureWindres, ReadsUnusualRecordsWeWrite) {
  std::string windres = FindOnPath(kWindres);
  if (windres.empty()) {
    GTEST_SKIP() << kWindres << " is not installed; cannot check our output with it";
  }
  TResModule module;
  AddResource(module, u"MYTYPE", u"70000", 1033, BytesOf("beyond an ordinal"));
  AddResource(module, u"MYTYPE", std::u16string(300, u'L'), 1033, BytesOf("long name"));
  AddResource(module, u"10", u"EMPTY", 1033, {});
  AddResource(module, u"10", u"1", 1031, BytesOf("odd"));
  AddResource(module, u"10", u"2", 0, {0});
  module.SortResources();

  ScratchDir dir;
  module.SaveToFile(dir.file16("ours.res"));
  ASSERT_EQ(RunQuietly(windres, {"-i", dir.file("ours.res"), "-O", "rc", "-o", dir.file("ours.rc")}), 0);
  ASSERT_EQ(RunQuietly(windres, {"-i", dir.file("ours.res"), "-O", "res", "-o", dir.file("back.res")}), 0);

  TResModule back;
  back.LoadFromFile(dir.file16("back.res"));
  ASSERT_EQ(back.ResourceCount(), module.ResourceCount());
  for (int i = 0; i < module.ResourceCount(); ++i) {
    EXPECT_EQ(back.ResourceDetails(i)->ResourceType(), module.ResourceDetails(i)->ResourceType()) << i;
    EXPECT_EQ(back.ResourceDetails(i)->ResourceName(), module.ResourceDetails(i)->ResourceName()) << i;
    EXPECT_EQ(back.ResourceDetails(i)->ResourceLanguage(), module.ResourceDetails(i)->ResourceLanguage()) << i;
    EXPECT_EQ(back.ResourceDetails(i)->RawData().Bytes(), module.ResourceDetails(i)->RawData().Bytes()) << i;
  }
}

}  // namespace
}  // namespace tolvane::test
