// Saving a module to a file: the new content is complete before the previous file
// becomes the backup, and a failed save leaves the directory as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

using Names = std::vector<std::string>;

// A module that holds one small resource.
void Fill(TResModule& module, const std::string& text) { AddResource(module, u"10", u"1", 1033, BytesOf(text)); }

// Writes part of its output, then fails, as a full disk or a broken encoder would.
class TFailingResModule : public TResModule {
public:
  explicit TFailingResModule(int64_t bytesBeforeFailing) : fBytesBeforeFailing(bytesBeforeFailing) {}
  void SaveToStream(TStream& stream) override {
    std::vector<uint8_t> partial(static_cast<size_t>(fBytesBeforeFailing), 0xAB);
    stream.WriteBuffer(partial);
    throw EWriteError(u"Stream write error");
  }

private:
  int64_t fBytesBeforeFailing;
};

// ---- backup names ----

TEST(SaveToFileBackupName, TildeBeforeTheTextAfterTheLastDot) {
  EXPECT_EQ(BackupFileName(u"out.res"), u"out.~res");
  EXPECT_EQ(BackupFileName(u"a.b.c"), u"a.b.~c");
  EXPECT_EQ(BackupFileName(u"out"), u"out.~");
  EXPECT_EQ(BackupFileName(u"dir.d/out"), u"dir.~d/out");
  EXPECT_EQ(BackupFileName(u"/tmp/x/app.exe"), u"/tmp/x/app.~exe");
  EXPECT_EQ(BackupFileName(u"trailing."), u"trailing.~");
}

// ---- successful saves ----

TEST(SaveToFile, ANewNameLeavesNoBackup) {
  ScratchDir dir;
  TResModule module;
  Fill(module, "content");
  module.SaveToFile(dir.file16("out.res"));
  EXPECT_EQ(ListDirectory(dir.path()), Names{"out.res"});
  EXPECT_EQ(ReadFileBytes(dir.file("out.res")), SaveToBytes(module));
}

TEST(SaveToFile, TheSavedFileLoadsBack) {
  ScratchDir dir;
  TResModule module;
  Fill(module, "round trip");
  module.SaveToFile(dir.file16("out.res"));
  TResModule again;
  again.LoadFromFile(dir.file16("out.res"));
  ASSERT_EQ(again.ResourceCount(), 1);
  EXPECT_EQ(again.ResourceDetails(0)->RawData().Bytes(), BytesOf("round trip"));
  EXPECT_FALSE(again.Is16Bit());
}

TEST(SaveToFile, SavingOverAFileKeepsItAsTheBackupAndDropsTheOlderBackup) {
  ScratchDir dir;
  std::vector<uint8_t> previous = BytesOf("previous out.res");
  WriteFileBytes(dir.file("out.res"), previous);
  WriteFileBytes(dir.file("out.~res"), BytesOf("an older backup"));

  TResModule module;
  Fill(module, "new");
  module.SaveToFile(dir.file16("out.res"));

  EXPECT_EQ(ListDirectory(dir.path()), (Names{"out.res", "out.~res"}));
  EXPECT_EQ(ReadFileBytes(dir.file("out.~res")), previous);
  EXPECT_EQ(ReadFileBytes(dir.file("out.res")), SaveToBytes(module));
}

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

TEST(SaveToFile, TheNewFileTakesThePermissionsOfTheOneItReplaces) {
  ScratchDir dir;
  TResModule module;
  Fill(module, "new");
  for (mode_t mode : {mode_t(0755), mode_t(0600), mode_t(0444), mode_t(04755)}) {
    ::chmod(dir.file("app.exe").c_str(), 0644);
    WriteFileBytes(dir.file("app.exe"), BytesOf("previous"));
    ASSERT_EQ(::chmod(dir.file("app.exe").c_str(), mode), 0);
    module.SaveToFile(dir.file16("app.exe"));
    EXPECT_EQ(ModeOf(dir.file("app.exe")), mode & 0777) << std::oct << mode;  // never set-user-ID
    EXPECT_EQ(ModeOf(dir.file("app.~exe")), mode) << std::oct << mode;        // the backup as it was
    ::chmod(dir.file("app.~exe").c_str(), 0644);
  }
  // A new name gets the permissions of any new file.
  const mode_t mask = ::umask(0022);
  ::umask(mask);
  module.SaveToFile(dir.file16("fresh.exe"));
  EXPECT_EQ(ModeOf(dir.file("fresh.exe")), 0666 & ~mask);
}

TEST(SaveToFile, SavingTwiceBacksUpTheFirstSave) {
  ScratchDir dir;
  TResModule first;
  Fill(first, "first");
  first.SaveToFile(dir.file16("out"));
  std::vector<uint8_t> firstBytes = ReadFileBytes(dir.file("out"));

  TResModule second;
  Fill(second, "second");
  second.SaveToFile(dir.file16("out"));
  EXPECT_EQ(ListDirectory(dir.path()), (Names{"out", "out.~"}));
  EXPECT_EQ(ReadFileBytes(dir.file("out.~")), firstBytes);
  EXPECT_EQ(ReadFileBytes(dir.file("out")), SaveToBytes(second));
}

TEST(SaveToFile, AnExistingFileWithTheTemporaryNameIsLeftAlone) {
  ScratchDir dir;
  std::u16string target = dir.file16("out.res");
  std::string squatter = platform::WideToUtf8(platform::TemporarySibling(target, 0));
  ASSERT_EQ(squatter.rfind(dir.path() + "/", 0), 0u) << "the temporary file belongs beside the target";
  WriteFileBytes(squatter, BytesOf("not ours"));

  TResModule module;
  Fill(module, "content");
  module.SaveToFile(target);
  EXPECT_EQ(ReadFileBytes(squatter), BytesOf("not ours"));
  EXPECT_EQ(ReadFileBytes(dir.file("out.res")), SaveToBytes(module));
  EXPECT_EQ(ListDirectory(dir.path()).size(), 2u);
}

TEST(SaveToFile, ABackupInADirectoryThatDoesNotExistIsSkipped) {
  // "dir.d/out" backs up to "dir.~d/out"; without that directory the file is
  // replaced in one step.
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.file("dir.d").c_str(), 0777), 0);
  WriteFileBytes(dir.file("dir.d/out"), BytesOf("previous"));
  TResModule module;
  Fill(module, "new");
  module.SaveToFile(dir.file16("dir.d/out"));
  EXPECT_EQ(ReadFileBytes(dir.file("dir.d/out")), SaveToBytes(module));
  EXPECT_EQ(ListDirectory(dir.path()), Names{"dir.d"});
  EXPECT_EQ(ListDirectory(dir.file("dir.d")), Names{"out"});
  EXPECT_FALSE(module.Dirty());
}

TEST(SaveToFile, ABackupBesideTheDottedDirectoryIsUsedWhenItExists) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.file("dir.d").c_str(), 0777), 0);
  ASSERT_EQ(::mkdir(dir.file("dir.~d").c_str(), 0777), 0);
  WriteFileBytes(dir.file("dir.d/out"), BytesOf("previous"));
  TResModule module;
  Fill(module, "new");
  module.SaveToFile(dir.file16("dir.d/out"));
  EXPECT_EQ(ReadFileBytes(dir.file("dir.~d/out")), BytesOf("previous"));
  EXPECT_EQ(ReadFileBytes(dir.file("dir.d/out")), SaveToBytes(module));
}

TEST(SaveToFile, ARelativeNameIsSavedInTheWorkingDirectory) {
  ScratchDir dir;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  TResModule module;
  Fill(module, "here");
  Thrown t = Capture([&] { module.SaveToFile(u"here.res"); });
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_FALSE(t.thrown) << t.message;
  EXPECT_EQ(ListDirectory(dir.path()), Names{"here.res"});
}

// ---- failed saves ----

TEST(SaveToFileFailure, AFailureWhileWritingLeavesEverythingAsItWas) {
  for (int64_t written : {int64_t(0), int64_t(10), int64_t(3) << 20}) {  // the last one reaches the disk
    ScratchDir dir;
    std::vector<uint8_t> previous = BytesOf(std::string("previous file\0with a zero", 26));
    std::vector<uint8_t> backup = BytesOf("the backup");
    WriteFileBytes(dir.file("out.res"), previous);
    WriteFileBytes(dir.file("out.~res"), backup);

    TFailingResModule module(written);
    Fill(module, "never saved");
    Thrown t = Capture([&] { module.SaveToFile(dir.file16("out.res")); });
    EXPECT_EQ(t.className, "EWriteError") << written;
    EXPECT_EQ(t.message, "Stream write error");

    EXPECT_EQ(ListDirectory(dir.path()), (Names{"out.res", "out.~res"})) << written;
    EXPECT_EQ(ReadFileBytes(dir.file("out.res")), previous) << written;
    EXPECT_EQ(ReadFileBytes(dir.file("out.~res")), backup) << written;
  }
}

TEST(SaveToFileFailure, AFailureOnANewNameLeavesNoFile) {
  ScratchDir dir;
  TFailingResModule module(100);
  Fill(module, "never saved");
  EXPECT_TRUE(Capture([&] { module.SaveToFile(dir.file16("new.res")); }).thrown);
  EXPECT_TRUE(ListDirectory(dir.path()).empty());
}

TEST(SaveToFileFailure, AFailedSaveKeepsTheModuleDirty) {
  ScratchDir dir;
  TFailingResModule module(1);
  Fill(module, "x");
  module.DeleteResource(0);
  ASSERT_TRUE(module.Dirty());
  EXPECT_TRUE(Capture([&] { module.SaveToFile(dir.file16("out.res")); }).thrown);
  EXPECT_TRUE(module.Dirty());
}

TEST(SaveToFileFailure, ATargetInAMissingDirectoryIsACreateError) {
  ScratchDir dir;
  TResModule module;
  Fill(module, "x");
  std::string target = dir.file("missing/out.res");
  Thrown t = Capture([&] { module.SaveToFile(platform::Utf8ToWide(target)); });
  EXPECT_EQ(t.className, "EFCreateError");
  EXPECT_EQ(t.message, "Cannot create file \"" + target + "\". No such file or directory");
  EXPECT_TRUE(ListDirectory(dir.path()).empty());
}

TEST(SaveToFileFailure, ARelativeTargetIsReportedWithItsAbsolutePath) {
  ScratchDir dir;
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  TResModule module;
  Thrown t = Capture([&] { module.SaveToFile(u"missing/out.res"); });
  Thrown dotted = Capture([&] { module.SaveToFile(u"./missing/../missing//out.res"); });
  char inside[4096];
  ASSERT_NE(::getcwd(inside, sizeof inside), nullptr);
  ASSERT_EQ(::chdir(cwd), 0);
  std::string expected =
      std::string("Cannot create file \"") + inside + "/missing/out.res\". No such file or directory";
  EXPECT_EQ(t.className, "EFCreateError");
  EXPECT_EQ(t.message, expected);
  EXPECT_EQ(dotted.message, expected);
}

TEST(SaveToFileFailure, ADirectoryInTheWayIsRefusedAndKept) {
  ScratchDir dir;
  ASSERT_EQ(::mkdir(dir.file("out.res").c_str(), 0777), 0);
  WriteFileBytes(dir.file("out.res/inside"), BytesOf("keep me"));
  TResModule module;
  Fill(module, "x");
  Thrown t = Capture([&] { module.SaveToFile(dir.file16("out.res")); });
  EXPECT_EQ(t.className, "EFCreateError");
  EXPECT_EQ(t.message, "Cannot create file \"" + dir.file("out.res") + "\". Is a directory");
  EXPECT_EQ(ListDirectory(dir.path()), Names{"out.res"});
  EXPECT_EQ(ReadFileBytes(dir.file("out.res/inside")), BytesOf("keep me"));
}

TEST(SaveToFileFailure, ABackupThatCannotBeRemovedStopsTheSaveBeforeAnyRename) {
  ScratchDir dir;
  std::vector<uint8_t> previous = BytesOf("previous");
  WriteFileBytes(dir.file("out.res"), previous);
  ASSERT_EQ(::mkdir(dir.file("out.~res").c_str(), 0777), 0);  // a directory: DeleteFile cannot remove it
  TResModule module;
  Fill(module, "x");
  Thrown t = Capture([&] { module.SaveToFile(dir.file16("out.res")); });
  EXPECT_EQ(t.className, "EFCreateError");
  EXPECT_EQ(ListDirectory(dir.path()), (Names{"out.res", "out.~res"}));
  EXPECT_EQ(ReadFileBytes(dir.file("out.res")), previous);
}

}  // namespace
}  // namespace tolvane::test
