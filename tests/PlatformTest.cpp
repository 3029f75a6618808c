// The platform layer: UTF-8 as the 8-bit code page, the PE image checksum, and
// the file primitives the save path is built on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "builders/TestFiles.h"
#include "platform/Checksum.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "platform/Memory.h"

namespace tolvane {
namespace {

using platform::Utf8ToWide;
using platform::WideToUtf8;
using test::BytesOf;
using test::Capture;
using test::ReadFileBytes;
using test::ScratchDir;
using test::WriteFileBytes;

// ---- UTF-8 ----

TEST(CodePageUtf8, TheAnsiAndOemCodePagesAreUtf8) {
  EXPECT_EQ(platform::GetACP(), platform::CP_UTF8);
  EXPECT_EQ(platform::GetOEMCP(), platform::CP_UTF8);
  EXPECT_EQ(platform::WideCharToMultiByte(platform::CP_ACP,
                                          u"Gr\x00FC\x00DF"
                                          u"e"),
            "Gr\xC3\xBC\xC3\x9F"
            "e");
  EXPECT_EQ(platform::MultiByteToWideChar(platform::CP_OEMCP,
                                          "Gr\xC3\xBC\xC3\x9F"
                                          "e"),
            u"Gr\x00FC\x00DF"
            u"e");
}

TEST(CodePageUtf8, BmpAndAstralTextRoundTrips) {
  const std::u16string texts[] = {
      u"",
      u"plain ASCII \t\r\n",
      std::u16string(1, u'\0') + u"zero inside",
      u"\x007F\x0080\x07FF\x0800\xFFFD\xFFFF",
      u"\x65E5\x672C\x8A9E \x0421\x0435\x0440\x0431\x0438\x0458\x0430",
      u"\xD83D\xDE00 \xD800\xDC00 \xDBFF\xDFFF",  // U+1F600, U+10000, U+10FFFF
  };
  for (const std::u16string& text : texts) EXPECT_EQ(Utf8ToWide(WideToUtf8(text)), text);
  EXPECT_EQ(WideToUtf8(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(WideToUtf8(u"\x20AC"), "\xE2\x82\xAC");
  EXPECT_EQ(WideToUtf8(u"\xDBFF\xDFFF"), "\xF4\x8F\xBF\xBF");
  EXPECT_EQ(Utf8ToWide("\xF0\x90\x80\x80"), u"\xD800\xDC00");
}

TEST(CodePageUtf8, UnpairedSurrogatesBecomeQuestionMarks) {
  EXPECT_EQ(WideToUtf8(u"a\xD800"), "a?");
  EXPECT_EQ(WideToUtf8(u"\xDC00"
                       u"b"),
            "?b");
  EXPECT_EQ(WideToUtf8(u"\xD800"
                       u"x"),
            "?x");
  EXPECT_EQ(WideToUtf8(u"\xD800\xD800\xDC00"), "?\xF0\x90\x80\x80");  // the second high one pairs
  EXPECT_EQ(WideToUtf8(u"\xDC00\xD800"), "??");                       // reversed: no pair
}

// Every byte the decoder gives up on becomes '?', and the text around it survives.
void ExpectQuestionMarksBetween(const std::string& bad, const std::string& why) {
  std::u16string decoded = Utf8ToWide("<" + bad + ">");
  ASSERT_GE(decoded.size(), 3u) << why;
  EXPECT_EQ(decoded.front(), u'<') << why;
  EXPECT_EQ(decoded.back(), u'>') << why;
  std::u16string middle = decoded.substr(1, decoded.size() - 2);
  EXPECT_EQ(middle, std::u16string(middle.size(), u'?')) << why;
  EXPECT_LE(middle.size(), bad.size()) << why;
}

TEST(CodePageUtf8, InvalidBytesBecomeQuestionMarks) {
  ExpectQuestionMarksBetween("\x80", "a lone continuation byte");
  ExpectQuestionMarksBetween("\xBF\xBF", "continuation bytes");
  ExpectQuestionMarksBetween("\xFF", "0xFF");
  ExpectQuestionMarksBetween("\xFE", "0xFE");
  ExpectQuestionMarksBetween("\xF8\x88\x80\x80\x80", "a five-byte form");
  ExpectQuestionMarksBetween("\xC0\x80", "overlong zero");
  ExpectQuestionMarksBetween("\xC1\xBF", "overlong 0x7F");
  ExpectQuestionMarksBetween("\xE0\x80\xAF", "overlong '/' in three bytes");
  ExpectQuestionMarksBetween("\xF0\x80\x80\xAF", "overlong '/' in four bytes");
  ExpectQuestionMarksBetween("\xED\xA0\x80", "an encoded high surrogate");
  ExpectQuestionMarksBetween("\xED\xBF\xBF", "an encoded low surrogate");
  ExpectQuestionMarksBetween("\xF4\x90\x80\x80", "above U+10FFFF");
  ExpectQuestionMarksBetween("\xE6\x97", "a truncated three-byte sequence");
  ExpectQuestionMarksBetween("\xF0\x9F\x98", "a truncated four-byte sequence");
  ExpectQuestionMarksBetween("\xC3", "a truncated two-byte sequence");
}

TEST(CodePageUtf8, TruncatedSequencesAtTheEndDoNotSwallowText) {
  std::u16string end = Utf8ToWide("abc\xE6\x97");
  ASSERT_GE(end.size(), 4u);
  EXPECT_EQ(end.substr(0, 3), u"abc");
  EXPECT_EQ(end.substr(3), std::u16string(end.size() - 3, u'?'));
  EXPECT_EQ(Utf8ToWide("\xE6\x97"
                       "A"),
            u"??A");
  EXPECT_EQ(Utf8ToWide("\xC3"
                       "\xC3\xA9"),
            u"?\x00E9");  // a broken sequence, then a good one
}

// ---- checksum ----

// A pseudo-random image-like buffer: "MZ", e_lfanew = 0x80, and junk in the
// CheckSum field at 0x80 + 24 + 64, which must not count.
std::vector<uint8_t> SyntheticImage(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed;
  for (uint8_t& b : bytes) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  bytes[0] = 'M', bytes[1] = 'Z';
  bytes[60] = 0x80, bytes[61] = 0, bytes[62] = 0, bytes[63] = 0;
  if (size >= 0xDC) bytes[0xD8] = 0xDE, bytes[0xD9] = 0xAD, bytes[0xDA] = 0xBE, bytes[0xDB] = 0xEF;
  return bytes;
}

uint32_t OneShot(const std::vector<uint8_t>& bytes) {
  uint32_t header = 0, sum = 0;
  EXPECT_TRUE(platform::CheckSumMappedFile(bytes.data(), bytes.size(), header, sum));
  return sum;
}

TEST(Checksum, KnownValues) {
  // Computed with pefile's generate_checksum on the same bytes.
  EXPECT_EQ(OneShot(SyntheticImage(1001, 7)), 0x43A1u);
  EXPECT_EQ(OneShot(SyntheticImage(4096, 7)), 0x982Eu);
  EXPECT_EQ(OneShot(SyntheticImage(4099, 7)), 0xA395u);
  EXPECT_EQ(OneShot(SyntheticImage(300, 7)), 0xD2C3u);

  // By hand: "MZ" and zeros, e_lfanew 0, so the field sits at 88; the sum is the
  // word 0x5A4D, plus the length 92.
  std::vector<uint8_t> tiny(92, 0);
  tiny[0] = 'M', tiny[1] = 'Z';
  tiny[88] = 0x12, tiny[89] = 0x34, tiny[90] = 0x56, tiny[91] = 0x78;
  uint32_t header = 0, sum = 0;
  ASSERT_TRUE(platform::CheckSumMappedFile(tiny.data(), tiny.size(), header, sum));
  EXPECT_EQ(header, 0x78563412u);
  EXPECT_EQ(sum, 0x5A4Du + 92);
}

TEST(Checksum, PiecesOfAnySizeGiveTheOneShotValue) {
  std::vector<uint8_t> image = SyntheticImage(1001, 7);
  uint32_t expected = OneShot(image);
  constexpr uint64_t kField = 0xD8;

  // Every split into two pieces, including inside the CheckSum field.
  for (size_t split = 0; split <= image.size(); ++split) {
    platform::TImageChecksum sum(kField);
    sum.Add(image.data(), split);
    sum.Add(image.data() + split, image.size() - split);
    ASSERT_EQ(sum.Finish(), expected) << "split at " << split;
  }
  // Byte by byte, and random odd and even pieces.
  platform::TImageChecksum bytewise(kField);
  for (uint8_t b : image) bytewise.Add(&b, 1);
  EXPECT_EQ(bytewise.Finish(), expected);

  std::mt19937 random(99);
  for (int round = 0; round < 200; ++round) {
    platform::TImageChecksum sum(kField);
    size_t at = 0;
    while (at < image.size()) {
      size_t piece = std::min<size_t>(1 + random() % 37, image.size() - at);
      sum.Add(image.data() + at, piece);
      at += piece;
    }
    sum.Add(image.data() + at, 0);
    ASSERT_EQ(sum.Finish(), expected) << round;
  }
}

TEST(Checksum, FinishCanBeAskedMidway) {
  std::vector<uint8_t> image = SyntheticImage(300, 3);
  platform::TImageChecksum sum(0xD8);
  sum.Add(image.data(), 101);
  uint32_t early = sum.Finish();
  platform::TImageChecksum prefix(0xD8);
  prefix.Add(image.data(), 101);
  EXPECT_EQ(early, prefix.Finish());
  sum.Add(image.data() + 101, image.size() - 101);
  EXPECT_EQ(sum.Finish(), OneShot(image));
}

TEST(Checksum, NotAnImage) {
  uint32_t header = 1, sum = 1;
  std::vector<uint8_t> short63(63, 0);
  short63[0] = 'M', short63[1] = 'Z';
  EXPECT_FALSE(platform::CheckSumMappedFile(short63.data(), short63.size(), header, sum));
  std::vector<uint8_t> noMz(200, 0);
  EXPECT_FALSE(platform::CheckSumMappedFile(noMz.data(), noMz.size(), header, sum));
  // e_lfanew pointing past the end: the field is not in the buffer.
  std::vector<uint8_t> farOff = SyntheticImage(200, 1);
  farOff[60] = 0xF0, farOff[61] = 0xFF, farOff[62] = 0xFF, farOff[63] = 0xFF;
  EXPECT_FALSE(platform::CheckSumMappedFile(farOff.data(), farOff.size(), header, sum));
  EXPECT_EQ(header, 0u);
  EXPECT_EQ(sum, 0u);
}

std::map<std::string, std::string> ReadHeaders(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

TEST(Checksum, MatchesTheRecordedValuesOfTheFixtureImages) {
  int checked = 0;
  for (const char* name : {"app.exe", "app_unstripped.exe", "lib.dll", "nores.dll", "dataloader.exe", "overlay.exe"}) {
    std::string path = std::string(TOLVANE_FIXTURES) + "/" + name;
    if (!test::PathExists(path) || !test::PathExists(path + ".headers.txt")) continue;
    auto headers = ReadHeaders(path + ".headers.txt");
    std::vector<uint8_t> image = ReadFileBytes(path);
    uint32_t header = 0, sum = 0;
    ASSERT_TRUE(platform::CheckSumMappedFile(image.data(), image.size(), header, sum)) << name;
    EXPECT_EQ(std::to_string(header), headers["checksum"]) << name;
    EXPECT_EQ(std::to_string(sum), headers["computed_checksum"]) << name;
    ++checked;
  }
  if (checked == 0) {
    GTEST_SKIP() << "no fixture images under " << TOLVANE_FIXTURES;
  }
}

// ---- files ----

TEST(PlatformFiles, FileExistsMeansAFileOrALinkToOne) {
  ScratchDir dir;
  WriteFileBytes(dir.file("file"), BytesOf("x"));
  ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0777), 0);
  ASSERT_EQ(::symlink("file", dir.file("link-to-file").c_str()), 0);
  ASSERT_EQ(::symlink("dir", dir.file("link-to-dir").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);

  EXPECT_TRUE(platform::FileExists(dir.file16("file")));
  EXPECT_TRUE(platform::FileExists(dir.file16("link-to-file")));
  EXPECT_FALSE(platform::FileExists(dir.file16("dir")));
  EXPECT_FALSE(platform::FileExists(dir.file16("link-to-dir")));
  EXPECT_FALSE(platform::FileExists(dir.file16("dangling")));
  EXPECT_FALSE(platform::FileExists(dir.file16("absent")));
  EXPECT_FALSE(platform::FileExists(dir.file16("file/below")));
}

TEST(PlatformFiles, DirectoryExistsMeansADirectoryOrALinkToOne) {
  ScratchDir dir;
  WriteFileBytes(dir.file("file"), BytesOf("x"));
  ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0777), 0);
  ASSERT_EQ(::symlink("dir", dir.file("link-to-dir").c_str()), 0);
  EXPECT_TRUE(platform::DirectoryExists(dir.file16("dir")));
  EXPECT_TRUE(platform::DirectoryExists(dir.file16("link-to-dir")));
  EXPECT_FALSE(platform::DirectoryExists(dir.file16("file")));
  EXPECT_FALSE(platform::DirectoryExists(dir.file16("absent")));
}

TEST(PlatformFiles, ExpandFileNameGivesAFullName) {
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  std::string here = cwd;
  auto expand = [](const std::string& p) { return WideToUtf8(platform::ExpandFileName(Utf8ToWide(p))); };
  EXPECT_EQ(expand("/a/b/c.res"), "/a/b/c.res");
  EXPECT_EQ(expand("/a/./b/../c.res"), "/a/c.res");
  EXPECT_EQ(expand("//a///b"), "/a/b");
  EXPECT_EQ(expand("/.."), "/");
  EXPECT_EQ(expand("/a/b/"), "/a/b/");
  EXPECT_EQ(expand("x.res"), (here == "/" ? "" : here) + "/x.res");
  EXPECT_EQ(expand("./x.res"), (here == "/" ? "" : here) + "/x.res");
  EXPECT_EQ(expand(""), here);
}

TEST(PlatformFiles, ReplaceFileTakesThePlaceOfAFile) {
  ScratchDir dir;
  WriteFileBytes(dir.file("new"), BytesOf("N"));
  WriteFileBytes(dir.file("old"), BytesOf("O"));
  EXPECT_TRUE(platform::ReplaceFile(dir.file16("new"), dir.file16("old")));
  EXPECT_EQ(test::ListDirectory(dir.path()), std::vector<std::string>{"old"});
  EXPECT_EQ(ReadFileBytes(dir.file("old")), BytesOf("N"));

  ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0777), 0);
  errno = 0;
  EXPECT_FALSE(platform::ReplaceFile(dir.file16("old"), dir.file16("dir")));
  EXPECT_EQ(errno, EISDIR);
  EXPECT_EQ(ReadFileBytes(dir.file("old")), BytesOf("N"));
}

TEST(PlatformFiles, NonAsciiNamesAreUtf8OnDisk) {
  ScratchDir dir;
  std::u16string name = dir.file16("") +
                        u"Gr\x00FC\x00DF"
                        u"e \x65E5.res";
  platform::TFileStream out(name, platform::TFileMode::fmCreate);
  out.WriteBuffer("abc", 3);
  out.Close();
  EXPECT_EQ(test::ListDirectory(dir.path()), std::vector<std::string>{"Gr\xC3\xBC\xC3\x9F"
                                                                      "e \xE6\x97\xA5.res"});
  EXPECT_TRUE(platform::FileExists(name));
  platform::TFileBytes read = platform::MapWholeFile(name);
  EXPECT_EQ(std::vector<uint8_t>(read.data, read.data + read.size), BytesOf("abc"));
}

TEST(PlatformFiles, MoveFileNeverReplaces) {
  ScratchDir dir;
  WriteFileBytes(dir.file("a"), BytesOf("A"));
  WriteFileBytes(dir.file("b"), BytesOf("B"));
  errno = 0;
  EXPECT_FALSE(platform::MoveFile(dir.file16("a"), dir.file16("b")));
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFileBytes(dir.file("a")), BytesOf("A"));
  EXPECT_EQ(ReadFileBytes(dir.file("b")), BytesOf("B"));

  ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);
  EXPECT_FALSE(platform::MoveFile(dir.file16("a"), dir.file16("dangling")));  // a link is an entry too

  EXPECT_TRUE(platform::MoveFile(dir.file16("a"), dir.file16("c")));
  EXPECT_EQ(ReadFileBytes(dir.file("c")), BytesOf("A"));
  EXPECT_FALSE(test::PathExists(dir.file("a")));

  errno = 0;
  EXPECT_FALSE(platform::MoveFile(dir.file16("absent"), dir.file16("d")));
  EXPECT_EQ(errno, ENOENT);
}

TEST(PlatformFiles, DeleteFileRemovesFilesOnly) {
  ScratchDir dir;
  WriteFileBytes(dir.file("a"), BytesOf("A"));
  ASSERT_EQ(::mkdir(dir.file("dir").c_str(), 0777), 0);
  EXPECT_TRUE(platform::DeleteFile(dir.file16("a")));
  EXPECT_FALSE(platform::DeleteFile(dir.file16("a")));
  EXPECT_FALSE(platform::DeleteFile(dir.file16("dir")));
  EXPECT_EQ(test::ListDirectory(dir.path()), std::vector<std::string>{"dir"});
}

TEST(PlatformFiles, TemporarySiblingsLieBesideTheTarget) {
  std::u16string a = platform::TemporarySibling(u"/some/dir/out.res", 0);
  std::u16string b = platform::TemporarySibling(u"/some/dir/out.res", 1);
  EXPECT_EQ(a.rfind(u"/some/dir/", 0), 0u);
  EXPECT_EQ(a.find(u'/', 10), std::u16string::npos);
  EXPECT_NE(a, b);
  EXPECT_NE(a, u"/some/dir/out.res");
  std::u16string bare = platform::TemporarySibling(u"out.res", 0);
  EXPECT_EQ(bare.find(u'/'), std::u16string::npos);
}

TEST(PlatformFiles, FileStreamModes) {
  ScratchDir dir;
  std::u16string path = dir.file16("s.bin");
  {
    platform::TFileStream out(path, platform::TFileMode::fmCreateNew);
    out.WriteBuffer("hello", 5);
    EXPECT_EQ(out.Size(), 5);
    out.Close();
  }
  test::Thrown t = Capture([&] { platform::TFileStream again(path, platform::TFileMode::fmCreateNew); });
  EXPECT_EQ(t.className, "EFCreateError");
  EXPECT_EQ(t.message, "Cannot create file \"" + dir.file("s.bin") + "\". File exists");

  {
    platform::TFileStream in(path, platform::TFileMode::fmOpenRead);
    char buffer[8] = {};
    EXPECT_EQ(in.Read(buffer, 8), 5);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    in.SetPosition(1);
    in.ReadBuffer(buffer, 4);
    EXPECT_EQ(std::string(buffer, 4), "ello");
    t = Capture([&] { in.ReadBuffer(buffer, 1); });
    EXPECT_EQ(t.className, "EReadError");
    EXPECT_EQ(t.message, "Stream read error");
  }
  {
    platform::TFileStream replace(path, platform::TFileMode::fmCreate);
    replace.WriteBuffer("x", 1);
  }
  EXPECT_EQ(ReadFileBytes(dir.file("s.bin")), BytesOf("x"));

  int error = 0;
  EXPECT_EQ(platform::TFileStream::CreateNewOrNull(path, error), nullptr);
  EXPECT_EQ(error, EEXIST);
  t = Capture([&] { platform::TFileStream missing(dir.file16("absent"), platform::TFileMode::fmOpenRead); });
  EXPECT_EQ(t.className, "EFOpenError");
  EXPECT_EQ(t.message, "Cannot open file \"" + dir.file("absent") + "\". No such file or directory");
  t = Capture([&] { platform::TFileStream folder(platform::Utf8ToWide(dir.path()), platform::TFileMode::fmOpenRead); });
  EXPECT_EQ(t.className, "EFOpenError");
  EXPECT_EQ(t.message, "Cannot open file \"" + dir.path() + "\". Is a directory");
}

TEST(PlatformFiles, LargeWritesReachTheFileInOrder) {
  ScratchDir dir;
  std::vector<uint8_t> expected;
  {
    platform::TFileStream out(dir.file16("big"), platform::TFileMode::fmCreate);
    std::mt19937 random(5);
    for (size_t piece : {size_t(10), size_t(700000), size_t(3), size_t(2) << 20, size_t(500000), size_t(1)}) {
      std::vector<uint8_t> bytes(piece);
      for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
      out.WriteBuffer(bytes);
      expected.insert(expected.end(), bytes.begin(), bytes.end());
    }
    out.Close();
  }
  EXPECT_EQ(ReadFileBytes(dir.file("big")), expected);
}

// ---- the heap ----

// The lines of /proc/self/smaps for the mapping that holds address.
std::string MappingOf(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line, block;
  bool inside = false;
  const auto at = reinterpret_cast<uintptr_t>(address);
  while (std::getline(smaps, line)) {
    unsigned long from = 0, to = 0;
    if (std::sscanf(line.c_str(), "%lx-%lx ", &from, &to) == 2 && line.find(':') > line.find(' ')) {
      if (inside) break;
      inside = at >= from && at < to;
    }
    if (inside) block += line + "\n";
  }
  return block;
}

TEST(PlatformMemory, BlocksAllocatedAfterTheAdviceMayGetLargePages) {
  std::ifstream mode("/sys/kernel/mm/transparent_hugepage/enabled");
  std::string modes;
  std::getline(mode, modes);
  if (modes.find("[never]") != std::string::npos || modes.empty()) GTEST_SKIP() << "this system has no large pages";
  platform::PreferLargePagesForTheHeap();
  std::vector<uint8_t> block(8 << 20, 1);
  std::string mapping = MappingOf(block.data());
  if (mapping.find("[heap]") == std::string::npos)
    GTEST_SKIP() << "the allocator in use (a sanitizer's, say) does not take blocks from the heap";
  EXPECT_TRUE(std::regex_search(mapping, std::regex("THPeligible:\\s+1"))) << mapping;
}

// ---- memory streams ----

TEST(StreamMemory, ReadWriteSeekAndSize) {
  TMemoryStream s;
  s.WriteBuffer("abcdef", 6);
  EXPECT_EQ(s.Position(), 6);
  s.SetPosition(2);
  s.WriteBuffer("XY", 2);
  EXPECT_EQ(s.Bytes(), BytesOf("abXYef"));
  s.Seek(-1, TSeekOrigin::soEnd);
  char c = 0;
  EXPECT_EQ(s.Read(&c, 1), 1);
  EXPECT_EQ(c, 'f');
  EXPECT_EQ(s.Read(&c, 1), 0);
  EXPECT_EQ(Capture([&] { s.ReadBuffer(&c, 1); }).className, "EReadError");
  s.SetPosition(10);  // beyond the end: a write fills the gap with zeros
  s.WriteBuffer("z", 1);
  EXPECT_EQ(s.Size(), 11);
  EXPECT_EQ(s.Bytes()[7], 0);
  s.SetSize(3);
  EXPECT_EQ(s.Position(), 3);
  s.WriteZeros(2);
  EXPECT_EQ(s.Bytes(), (std::vector<uint8_t>{'a', 'b', 'X', 0, 0}));
  s.Clear();
  EXPECT_EQ(s.Size(), 0);
  EXPECT_EQ(s.Position(), 0);
}

TEST(StreamMemory, LoadFromStreamTakesEverythingFromTheStart) {
  TMemoryStream source(reinterpret_cast<const uint8_t*>("content"), 7);
  source.SetPosition(5);
  TMemoryStream copy;
  copy.LoadFromStream(source);
  EXPECT_EQ(copy.Bytes(), BytesOf("content"));
  EXPECT_EQ(copy.Position(), 0);
}

}  // namespace
}  // namespace tolvane
