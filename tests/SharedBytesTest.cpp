// Loaded files are read in place: streams that view shared bytes and copy them on the
// first change, files mapped rather than read, sections and resources that view the
// mapping, the checksum summed a word group at a time, and saves over the very file
// that is mapped.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <utility>

#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "platform/Checksum.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Bytes kept alive by a shared vector, whose lifetime a test can watch.
struct SharedBytes {
  std::shared_ptr<Bytes> bytes;
  explicit SharedBytes(const std::string& text) : bytes(std::make_shared<Bytes>(BytesOf(text))) {}
  TMemoryStream View() const {
    TMemoryStream s;
    s.AssignView(bytes, bytes->data(), bytes->size());
    return s;
  }
};

// The image loaded as the program loads it: from the file, mapped.
std::unique_ptr<TPEResourceModule> MappedImage(const std::string& path) {
  auto image = std::make_unique<TPEResourceModule>();
  image->LoadFromFile(platform::Utf8ToWide(path));
  return image;
}

// ---- streams that view ----

TEST(StreamView, ReadsTheSharedBytesInPlace) {
  SharedBytes shared("abcdef");
  TMemoryStream s = shared.View();
  EXPECT_TRUE(s.IsView());
  EXPECT_EQ(std::as_const(s).Memory(), shared.bytes->data());
  EXPECT_EQ(s.Size(), 6);
  EXPECT_EQ(s.Position(), 6);
  s.SetPosition(2);
  char out[3] = {};
  EXPECT_EQ(s.Read(out, 3), 3);
  EXPECT_EQ(std::string(out, 3), "cde");
  EXPECT_TRUE(s.IsView());
}

TEST(StreamView, AWriteCopiesFirstAndLeavesTheSharedBytes) {
  SharedBytes shared("abcdef");
  TMemoryStream s = shared.View();
  TMemoryStream other = s;  // a copy of a view shares too
  s.SetPosition(2);
  s.WriteBuffer("XY", 2);
  EXPECT_FALSE(s.IsView());
  EXPECT_EQ(s.Bytes(), BytesOf("abXYef"));
  EXPECT_EQ(*shared.bytes, BytesOf("abcdef"));
  EXPECT_TRUE(other.IsView());
  EXPECT_EQ(other.Bytes(), BytesOf("abcdef"));
}

TEST(StreamView, WritableMemoryAndBytesGiveTheStreamItsOwnCopy) {
  SharedBytes shared("abc");
  TMemoryStream s = shared.View();
  s.Memory()[0] = 'Z';
  EXPECT_FALSE(s.IsView());
  EXPECT_EQ(s.Bytes(), BytesOf("Zbc"));
  EXPECT_EQ(*shared.bytes, BytesOf("abc"));

  TMemoryStream t = shared.View();
  EXPECT_EQ(t.Bytes(), BytesOf("abc"));
  EXPECT_FALSE(t.IsView());
  EXPECT_NE(t.Bytes().data(), shared.bytes->data());
}

TEST(StreamView, SizeChangesAndClear) {
  SharedBytes shared("abcdef");
  TMemoryStream s = shared.View();
  s.SetSize(3);  // shorter: still a view
  EXPECT_TRUE(s.IsView());
  EXPECT_EQ(s.Position(), 3);
  EXPECT_EQ(s.Bytes(), BytesOf("abc"));

  TMemoryStream t = shared.View();
  t.SetSize(8);
  EXPECT_FALSE(t.IsView());
  EXPECT_EQ(t.Bytes(), (Bytes{'a', 'b', 'c', 'd', 'e', 'f', 0, 0}));

  TMemoryStream u = shared.View();
  u.Clear();
  EXPECT_FALSE(u.IsView());
  EXPECT_EQ(u.Size(), 0);
  EXPECT_EQ(u.Position(), 0);
  EXPECT_EQ(*shared.bytes, BytesOf("abcdef"));
}

TEST(StreamView, TheViewKeepsItsBytesAlive) {
  std::weak_ptr<Bytes> watch;
  TMemoryStream s;
  {
    SharedBytes shared("kept");
    watch = shared.bytes;
    s = shared.View();
  }
  EXPECT_FALSE(watch.expired());
  EXPECT_EQ(s.Bytes(), BytesOf("kept"));  // the copy is made, the view let go
  EXPECT_TRUE(watch.expired());
}

TEST(StreamView, AssignRangeSharesFromAViewAndCopiesFromOwnBytes) {
  SharedBytes shared("0123456789");
  TMemoryStream view = shared.View();
  TMemoryStream part;
  part.AssignRange(view, 3, 4);
  EXPECT_TRUE(part.IsView());
  EXPECT_EQ(std::as_const(part).Memory(), shared.bytes->data() + 3);
  EXPECT_EQ(part.Position(), 4);
  EXPECT_EQ(part.Bytes(), BytesOf("3456"));

  TMemoryStream owned(shared.bytes->data(), shared.bytes->size());
  TMemoryStream copy;
  copy.AssignRange(owned, 1, 2);
  EXPECT_FALSE(copy.IsView());
  EXPECT_EQ(copy.Bytes(), BytesOf("12"));
  owned.AssignRange(owned, 5, 3);  // from itself
  EXPECT_EQ(owned.Bytes(), BytesOf("567"));
}

TEST(StreamView, AssigningFromTheOwnViewKeepsTheBytesMeanwhile) {
  TMemoryStream s;
  {
    SharedBytes shared("abcdef");
    s = shared.View();
  }
  s.Assign(std::as_const(s).Memory() + 1, 3);
  EXPECT_EQ(s.Bytes(), BytesOf("bcd"));
}

// ---- the checksum ----

// The sum word by word, as CheckSumMappedFile defines it.
uint32_t ReferenceChecksum(const Bytes& file, uint64_t checksumOffset) {
  uint64_t sum = 0;
  for (size_t i = 0; i < file.size(); i += 2) {
    auto byte = [&](size_t at) -> uint32_t {
      if (at >= file.size() || (at >= checksumOffset && at < checksumOffset + 4)) return 0;
      return file[at];
    };
    sum += byte(i) | byte(i + 1) << 8;
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>(sum + file.size());
}

TEST(ImageChecksum, AnySplitIntoPiecesGivesTheWordByWordSum) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    size_t size = random() % 3000;
    Bytes file(size);
    int kind = round % 3;  // random bytes, all 0xFF (sums that wrap), or all zero
    for (uint8_t& b : file) b = kind == 0 ? static_cast<uint8_t>(random()) : kind == 1 ? 0xFF : 0;
    uint64_t checksumOffset = random() % (size + 8);
    platform::TImageChecksum sum(checksumOffset);
    for (size_t at = 0; at < size;) {
      size_t piece = std::min<size_t>(size - at, random() % 70);
      sum.Add(file.data() + at, piece);
      at += piece;
    }
    ASSERT_EQ(sum.Finish(), ReferenceChecksum(file, checksumOffset)) << "round " << round << " size " << size;
  }
}

TEST(ImageChecksum, ALargeBlockAtOnceGivesTheWordByWordSum) {
  std::mt19937 random(11);
  Bytes file(1 << 20 | 3);
  for (uint8_t& b : file) b = static_cast<uint8_t>(random());
  platform::TImageChecksum sum(0x98);
  sum.Add(file.data(), file.size());
  EXPECT_EQ(sum.Finish(), ReferenceChecksum(file, 0x98));
}

// ---- mapped files ----

TEST(MapWholeFile, GivesTheFileAndOutlivesItsName) {
  ScratchDir dir;
  WriteFileBytes(dir.file("f.bin"), BytesOf("mapped bytes"));
  platform::TFileBytes file = platform::MapWholeFile(dir.file16("f.bin"));
  ASSERT_NE(file.owner, nullptr);
  EXPECT_EQ(Bytes(file.data, file.data + file.size), BytesOf("mapped bytes"));
  ASSERT_EQ(std::rename(dir.file("f.bin").c_str(), dir.file("g.bin").c_str()), 0);
  ASSERT_EQ(::unlink(dir.file("g.bin").c_str()), 0);
  EXPECT_EQ(Bytes(file.data, file.data + file.size), BytesOf("mapped bytes"));
}

TEST(MapWholeFile, AnEmptyFileGivesNoBytes) {
  ScratchDir dir;
  WriteFileBytes(dir.file("empty"), {});
  platform::TFileBytes file = platform::MapWholeFile(dir.file16("empty"));
  EXPECT_NE(file.owner, nullptr);
  EXPECT_EQ(file.size, 0u);
}

// Given back, a mapping's pages are read again from the file; the heap's, which hold
// the only copy, are left alone.
TEST(MapWholeFile, PagesGivenBackReadAgainAndOtherBytesStay) {
  ScratchDir dir;
  WriteFileBytes(dir.file("f.bin"), Bytes(3 << 16, 0x5A));
  platform::TFileBytes file = platform::MapWholeFile(dir.file16("f.bin"));
  auto heap = std::make_shared<Bytes>(3 << 16, 0x5A);
  platform::ReleaseMappedPages(file.owner, file.data, file.size);
  platform::ReleaseMappedPages(heap, heap->data(), heap->size());
  EXPECT_EQ(Bytes(file.data, file.data + file.size), *heap);
  EXPECT_EQ(std::count(heap->begin(), heap->end(), 0x5A), 3 << 16);
}

TEST(MapWholeFile, RefusesAsOpeningForReadingDoes) {
  ScratchDir dir;
  for (const std::string& path : {dir.file("missing"), dir.path()}) {
    Thrown opened =
        Capture([&] { platform::TFileStream(platform::Utf8ToWide(path), platform::TFileMode::fmOpenRead); });
    Thrown mapped = Capture([&] { platform::MapWholeFile(platform::Utf8ToWide(path)); });
    ASSERT_TRUE(opened.thrown);
    EXPECT_EQ(mapped.className, opened.className);
    EXPECT_EQ(mapped.message, opened.message);
  }
}

// ---- images and .RES files read in place ----

TEST(LoadedInPlace, SectionsAndResourcesViewTheFileAndCopyOnlyWhatIsWritten) {
  auto image = MappedImage(FixturePath("app.exe"));
  for (int i = 0; i < image->ImageSectionCount(); ++i)
    if (image->ImageSection(i)->RawData().ByteSize() > 0) {
      EXPECT_TRUE(image->ImageSection(i)->RawData().IsView());
    }
  ASSERT_GT(image->ResourceCount(), 1);
  TResourceDetails* first = image->ResourceDetails(0);
  TResourceDetails* second = image->ResourceDetails(1);
  EXPECT_TRUE(first->RawData().IsView());
  Bytes secondBefore = second->RawData().Bytes();

  first->data().SetPosition(0);
  first->data().WriteBuffer("CHANGED", 7);
  EXPECT_FALSE(first->RawData().IsView());
  EXPECT_EQ(Bytes(first->RawData().Bytes().begin(), first->RawData().Bytes().begin() + 7), BytesOf("CHANGED"));
  EXPECT_EQ(second->RawData().Bytes(), secondBefore);
  // The file and a fresh load of it are untouched.
  auto again = MappedImage(FixturePath("app.exe"));
  EXPECT_TRUE(again->ResourceDetails(0)->RawData().IsView());
  EXPECT_NE(BytesOf(again->ResourceDetails(0)->RawData().View()), BytesOf(first->RawData().View()));
}

// An overlay of gigabytes, whose size once went through 32 bits, is neither copied
// nor cut short. The 3 GiB after the image here are address space only.
TEST(LoadedInPlace, TheBytesAfterTheSectionsViewTheInputWhateverTheirSize) {
  const Bytes file = ReadFileBytes(FixturePath("overlay.exe"));  // its last 100 bytes are the overlay
  const size_t size = size_t(3) << 30;
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  TBytesOwner owner(p, [size](const void* q) { ::munmap(const_cast<void*>(q), size); });
  std::copy(file.begin(), file.end(), static_cast<uint8_t*>(p));
  TPEModule m;
  m.LoadFromSharedBytes(owner, ByteView(static_cast<uint8_t*>(p), size));
  EXPECT_EQ(m.EndCommentSize(), size - file.size() + 100);
  EXPECT_EQ(m.EndComment().data(), static_cast<uint8_t*>(p) + file.size() - 100);
}

TEST(LoadedInPlace, ExtractionSharesTheBytesAndCopiesStayIndependent) {
  auto image = MappedImage(FixturePath("app.exe"));
  TResModule res;
  res.Assign(*image);
  ASSERT_EQ(res.ResourceCount(), image->ResourceCount());
  TResourceDetails* copy = res.ResourceDetails(0);
  EXPECT_TRUE(copy->RawData().IsView());
  Bytes original = image->ResourceDetails(0)->RawData().Bytes();
  copy->RawData().Memory()[0] ^= 0xFF;
  EXPECT_EQ(image->ResourceDetails(0)->RawData().Bytes(), original);
}

TEST(LoadedInPlace, ResFileResourcesViewTheFileAndChangeDataStaysACopy) {
  TResModule res;
  res.LoadFromFile(platform::Utf8ToWide(FixturePath("merge.res")));
  ASSERT_GT(res.ResourceCount(), 0);
  TResourceDetails* d = res.ResourceDetails(0);
  EXPECT_TRUE(d->RawData().IsView());

  auto target = TResourceDetails::CreateResourceDetails(nullptr, 0, u"N", u"T", 3, BytesOf("old").data());
  Bytes bytes = d->RawData().Bytes();
  target->ChangeData(d->data());
  EXPECT_EQ(target->RawData().Bytes(), bytes);
  d->RawData().Memory()[0] ^= 0xFF;  // a change to the source after the copy
  EXPECT_EQ(target->RawData().Bytes(), bytes);
}

TEST(LoadedInPlace, SavingOverTheMappedImageGivesWhatSavingElsewhereGives) {
  ScratchDir dir;
  WriteFileBytes(dir.file("app.exe"), ReadFileBytes(FixturePath("app.exe")));
  ASSERT_EQ(RunTolvane({"-o", dir.file("elsewhere.exe"), dir.file("app.exe"), FixturePath("merge.res")}).status, 0);
  ASSERT_EQ(RunTolvane({"-o", dir.file("app.exe"), dir.file("app.exe"), FixturePath("merge.res")}).status, 0);
  EXPECT_EQ(ReadFileBytes(dir.file("app.exe")), ReadFileBytes(dir.file("elsewhere.exe")));
  EXPECT_EQ(ReadFileBytes(dir.file("app.~exe")), ReadFileBytes(FixturePath("app.exe")));

  // In one process too: the module still reads its mapping after the save replaced the file.
  auto image = MappedImage(dir.file("app.~exe"));
  Bytes firstBytes = BytesOf(image->ResourceDetails(0)->RawData().View());
  image->SaveToFile(dir.file16("app.~exe"));
  EXPECT_TRUE(image->ResourceDetails(0)->RawData().IsView());
  EXPECT_EQ(BytesOf(image->ResourceDetails(0)->RawData().View()), firstBytes);
  image->SaveToFile(dir.file16("twice.exe"));
  EXPECT_EQ(ReadFileBytes(dir.file("twice.exe")), ReadFileBytes(dir.file("app.~exe")));
}

TEST(LoadedInPlace, TheSavedResourceSectionViewsTheWrittenFileAndMatchesASaveToMemory) {
  ScratchDir dir;
  auto image = MappedImage(FixturePath("app.exe"));
  TMemoryStream inMemory;
  image->SaveToStream(inMemory);
  uint32_t offset = 0;
  Bytes gathered = image->GetResourceSection(offset)->RawData().Bytes();  // a stream gathers them itself

  image->SaveToFile(dir.file16("saved.exe"));
  TImageSection* rsrc = image->GetResourceSection(offset);
  ASSERT_NE(rsrc, nullptr);
  EXPECT_TRUE(rsrc->RawData().IsView());
  Bytes file = ReadFileBytes(dir.file("saved.exe"));
  EXPECT_EQ(file, inMemory.Bytes());
  const uint32_t at = rsrc->SectionHeader().PointerToRawData;
  EXPECT_EQ(BytesOf(rsrc->RawData().View()), Bytes(file.begin() + at, file.begin() + at + rsrc->RawData().ByteSize()));
  EXPECT_EQ(BytesOf(rsrc->RawData().View()), gathered);
  // Saved again, from the section that views the first file.
  image->SaveToFile(dir.file16("again.exe"));
  EXPECT_EQ(ReadFileBytes(dir.file("again.exe")), file);
}

TEST(LoadedInPlace, AFileStreamOnlyViewsWhatAFileItMadeNewHolds) {
  ScratchDir dir;
  platform::TFileStream plain(dir.file16("plain"), platform::TFileMode::fmCreate);
  plain.WriteBuffer("abcdef", 6);
  const uint8_t* data = nullptr;
  EXPECT_EQ(plain.ViewWritten(0, 6, data), nullptr);
  int error = 0;
  auto made = platform::TFileStream::CreateNewOrNull(dir.file16("new"), error);
  ASSERT_NE(made, nullptr);
  made->WriteBuffer("abcdef", 6);
  TBytesOwner owner = made->ViewWritten(2, 3, data);
  ASSERT_NE(owner, nullptr);
  EXPECT_EQ(Bytes(data, data + 3), BytesOf("cde"));
  EXPECT_EQ(made->ViewWritten(4, 3, data), nullptr);  // beyond what was written
  made->Close();
}

}  // namespace
}  // namespace tolvane::test
