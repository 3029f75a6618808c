// Writes that fail part of the way, as on a full disk or past a file size limit:
// the program reports the write error and exits with 1, the destination it would
// have replaced comes back byte for byte, an older backup stays as it was, and no
// partial or temporary file is left. The program runs under RLIMIT_FSIZE; in
// process, a stream that stops taking bytes does the same to both writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "unitPEFile.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

const std::string kWriteError = "Exception EWriteError in module tolvane at 00000000.\r\nStream write error.\r\n\r\n";
const std::vector<uint8_t> kPrevious = BytesOf("the destination as it was before the run\n");
const std::vector<uint8_t> kOlderBackup = BytesOf("a backup from an earlier run\n");

struct JobFiles {
  std::vector<std::string> args;
  std::vector<std::string> inputs;
  std::string destination, backup;
};

// Both inputs lie in every job's directory.
JobFiles ExtractJob() { return {{"in.exe", "-r", "out.res"}, {"in.exe", "in.res"}, "out.res", "out.~res"}; }
JobFiles CombineJob() { return {{"-o", "out.exe", "in.exe", "in.res"}, {"in.exe", "in.res"}, "out.exe", "out.~exe"}; }

// What the destination holds before a run.
enum class Before { Nothing, Destination, DestinationAndBackup };

const char* Name(Before b) {
  return b == Before::Nothing       ? "no destination"
         : b == Before::Destination ? "a destination"
                                    : "a destination and a backup";
}

void PrepareInputs(const ScratchDir& dir) {
  WriteFileBytes(dir.file("in.exe"), ReadFileBytes(FixturePath("app.exe")));
  WriteFileBytes(dir.file("in.res"), ReadFileBytes(FixturePath("strings.res")));
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The size of what the job writes, from a run without a limit.
size_t OutputSize(const JobFiles& job) {
  ScratchDir dir;
  PrepareInputs(dir);
  RunResult r = RunTolvane(job.args, RunOptions().In(dir.path()));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  return ReadFileBytes(dir.file(job.destination)).size();
}

void ExpectFailedWriteKeepsEverything(const JobFiles& job, long limit, Before before) {
  std::string what = "limit " + std::to_string(limit) + ", " + Name(before);
  ScratchDir dir;
  PrepareInputs(dir);
  std::vector<std::string> expected = job.inputs;
  if (before != Before::Nothing) {
    WriteFileBytes(dir.file(job.destination), kPrevious);
    expected.push_back(job.destination);
  }
  if (before == Before::DestinationAndBackup) {
    WriteFileBytes(dir.file(job.backup), kOlderBackup);
    expected.push_back(job.backup);
  }

  RunResult r = RunTolvane(job.args, RunOptions().In(dir.path()).FileSizeLimit(limit));
  EXPECT_EQ(r.signal, 0) << what;
  EXPECT_EQ(r.status, 1) << what;
  EXPECT_EQ(r.out, "") << what;
  EXPECT_EQ(r.err, kWriteError) << what;
  EXPECT_EQ(ListDirectory(dir.path()), Sorted(expected)) << what;
  if (before != Before::Nothing) {
    EXPECT_EQ(ReadFileBytes(dir.file(job.destination)), kPrevious) << what;
  }
  if (before == Before::DestinationAndBackup) {
    EXPECT_EQ(ReadFileBytes(dir.file(job.backup)), kOlderBackup) << what;
  }
}

void ExpectEveryFailedWriteKeepsEverything(const JobFiles& job) {
  const size_t size = OutputSize(job);
  ASSERT_GT(size, 1000u);
  for (long limit : {0L, 1L, 300L, static_cast<long>(size / 2), static_cast<long>(size - 1)})
    for (Before before : {Before::Nothing, Before::Destination, Before::DestinationAndBackup})
      ExpectFailedWriteKeepsEverything(job, limit, before);
}

TEST(WriteFault, ExtractionThatCannotWriteItsFileReportsItAndKeepsEveryFileAsItWas) {
  ExpectEveryFailedWriteKeepsEverything(ExtractJob());
}

TEST(WriteFault, CombinationThatCannotWriteItsImageReportsItAndKeepsEveryFileAsItWas) {
  ExpectEveryFailedWriteKeepsEverything(CombineJob());
}

// The limits above fail for want of bytes and nothing else: at the output's own
// size the same runs succeed, and the previous destination becomes the backup.
TEST(WriteFault, ALimitOfTheOutputsOwnSizeIsEnough) {
  for (const JobFiles& job : {ExtractJob(), CombineJob()}) {
    const size_t size = OutputSize(job);
    ScratchDir dir;
    PrepareInputs(dir);
    WriteFileBytes(dir.file(job.destination), kPrevious);
    RunResult r = RunTolvane(job.args, RunOptions().In(dir.path()).FileSizeLimit(static_cast<long>(size)));
    EXPECT_EQ(r.status, 0) << job.destination << ": " << r.err;
    EXPECT_EQ(ReadFileBytes(dir.file(job.destination)).size(), size);
    EXPECT_EQ(ReadFileBytes(dir.file(job.backup)), kPrevious);
  }
}

// A shell's `ulimit -f` leaves the signal the system sends at the limit as it is,
// which would end the program before it removed its temporary file.
TEST(WriteFault, TheSignalAtTheFileSizeLimitDoesNotEndTheProgram) {
  for (const JobFiles& job : {ExtractJob(), CombineJob()}) {
    ScratchDir dir;
    PrepareInputs(dir);
    WriteFileBytes(dir.file(job.destination), kPrevious);
    std::string command = "ulimit -f 1 && exec '" + TolvaneExecutable() + "'";
    for (const std::string& a : job.args) command += " '" + a + "'";
    RunResult r = RunCommand("/bin/sh", {"-c", command}, RunOptions().In(dir.path()));
    EXPECT_EQ(r.signal, 0) << job.destination;
    EXPECT_EQ(r.status, 1) << job.destination;
    EXPECT_EQ(r.err, kWriteError) << job.destination;
    std::vector<std::string> expected = job.inputs;
    expected.push_back(job.destination);
    EXPECT_EQ(ListDirectory(dir.path()), Sorted(expected)) << job.destination;
    EXPECT_EQ(ReadFileBytes(dir.file(job.destination)), kPrevious) << job.destination;
  }
}

// ---- in process ----

// Takes the first limit bytes, then no more: Write gives a short count, as a file
// does on a full disk.
class TFailingStream : public TStream {
public:
  explicit TFailingStream(int64_t limit) : fLimit(limit) {}

  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* buffer, int64_t count) override {
    int64_t n = std::clamp<int64_t>(fLimit - fPosition, 0, count);
    if (n > 0) {
      if (fBytes.size() < static_cast<size_t>(fPosition + n)) fBytes.resize(static_cast<size_t>(fPosition + n));
      std::copy_n(static_cast<const uint8_t*>(buffer), n, fBytes.begin() + fPosition);
    }
    fPosition += n;
    return n;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    int64_t base = origin == TSeekOrigin::soBeginning ? 0
                   : origin == TSeekOrigin::soCurrent ? fPosition
                                                      : static_cast<int64_t>(fBytes.size());
    fPosition = std::max<int64_t>(0, base + offset);
    return fPosition;
  }
  const std::vector<uint8_t>& Bytes() const { return fBytes; }

private:
  int64_t fLimit;
  int64_t fPosition = 0;
  std::vector<uint8_t> fBytes;
};

// Every cut at a stride: the write error, and what reached the stream is the start
// of the whole output (ignoring the bytes at ignoredAt, written last).
template <class Save>
void ExpectEveryCutRaisesTheWriteError(const std::vector<uint8_t>& whole, Save save,
                                       std::optional<size_t> ignoredAt = std::nullopt) {
  for (size_t cut = 0; cut < whole.size(); cut += 97) {
    TFailingStream stream(static_cast<int64_t>(cut));
    Thrown t = Capture([&] { save(stream); });
    EXPECT_TRUE(t.thrown) << "cut at " << cut;
    EXPECT_EQ(t.className, "EWriteError") << "cut at " << cut;
    EXPECT_EQ(t.message, "Stream write error") << "cut at " << cut;
    std::vector<uint8_t> got = stream.Bytes(), expected(whole.begin(), whole.begin() + got.size());
    ASSERT_LE(got.size(), cut);
    if (ignoredAt)
      for (size_t k = *ignoredAt; k < *ignoredAt + 4 && k < got.size(); ++k) got[k] = expected[k] = 0;
    EXPECT_EQ(got, expected) << "cut at " << cut;
  }
}

TEST(WriteFaultInProcess, ResFileWriterRaisesTheWriteErrorWhereverTheStreamStops) {
  auto image = LoadImageFile(FixturePath("app.exe"));
  TResModule res;
  res.Assign(*image);
  ExpectEveryCutRaisesTheWriteError(SaveToBytes(res), [&](TStream& s) { res.SaveToStream(s); });
}

TEST(WriteFaultInProcess, ImageWriterRaisesTheWriteErrorWhereverTheStreamStops) {
  auto image = LoadImageFile(FixturePath("app.exe"));
  std::vector<uint8_t> whole = SaveToBytes(*image);
  size_t checksumAt = image->DOSHeader().e_lfanew + 24 + 64;
  ExpectEveryCutRaisesTheWriteError(
      whole, [&](TStream& s) { image->SaveToStream(s); }, checksumAt);
}

}  // namespace
}  // namespace tolvane::test
