// Files cut short, as a download or a full disk leaves them, through the program:
// every length within the headers and a stride of lengths beyond, for -r and -o
// (under the sanitizers a third of them, see kSweepThinning).
// Each run must end with status 0 or 1 in moments, leave no file behind when it
// fails and never touch a destination it does not replace (see JobSweep.h).
#include <gtest/gtest.h>

#include "builders/ImageFiles.h"
#include "builders/JobSweep.h"
#include "builders/TestFiles.h"

namespace tolvane::test {
namespace {

// Beyond the headers, a prime stride: it falls on every offset within a 4-byte
// field and within a record, at some point of the file.
constexpr size_t kImageStride = 97;

// Where the section table ends: every length up to there is swept. (The zero bytes
// that pad the headers to SizeOfHeaders come after it.)
size_t HeadersEnd(const std::vector<uint8_t>& image) {
  auto module = LoadImage(image);
  return module->DOSHeader().e_lfanew + 24 + module->COFFHeader().SizeOfOptionalHeader +
         40 * size_t(module->COFFHeader().NumberOfSections);
}

const std::vector<uint8_t> kPrevious = BytesOf("the destination as it was before the run\n");

struct SweepCase {
  const char* file;
  const char* testName;
  bool dense = true;
};

std::string CaseName(const ::testing::TestParamInfo<SweepCase>& info) { return info.param.testName; }

std::vector<uint8_t> Prefix(const std::vector<uint8_t>& bytes, size_t n) {
  return std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
}

// Every second run finds a destination already there.
std::optional<std::vector<uint8_t>> PreviousFor(size_t index) {
  if (index % 2 == 1) return kPrevious;
  return std::nullopt;
}

void ExpectSweepOf(JobSweep& sweep, const std::vector<size_t>& lengths) {
  EXPECT_EQ(sweep.Figures().tried, static_cast<int>(lengths.size()));
  EXPECT_GT(sweep.Figures().refused, 0);
  sweep.Report();
}

// ---- images ----

class TruncatedImage : public ::testing::TestWithParam<SweepCase> {};

TEST_P(TruncatedImage, ExtractionEndsCleanlyAndLeavesNoFileWhenItFails) {
  std::vector<uint8_t> image = ReadFileBytes(FixturePath(GetParam().file));
  std::vector<size_t> lengths = SweepLengths(image.size(), HeadersEnd(image), kImageStride);
  JobSweep sweep(Job::Extract, std::string(GetParam().file) + " cut short, -r");
  for (size_t i = 0; i < lengths.size(); ++i)
    sweep.Run("length " + std::to_string(lengths[i]), Prefix(image, lengths[i]), {}, PreviousFor(i));
  ExpectSweepOf(sweep, lengths);
}

TEST_P(TruncatedImage, CombinationEndsCleanlyAndLeavesNoFileWhenItFails) {
  std::vector<uint8_t> image = ReadFileBytes(FixturePath(GetParam().file));
  std::vector<uint8_t> res = ReadFileBytes(FixturePath("strings.res"));
  std::vector<size_t> lengths = SweepLengths(image.size(), HeadersEnd(image), kImageStride);
  JobSweep sweep(Job::Combine, std::string(GetParam().file) + " cut short, -o");
  for (size_t i = 0; i < lengths.size(); ++i)
    sweep.Run("length " + std::to_string(lengths[i]), Prefix(image, lengths[i]), res, PreviousFor(i));
  ExpectSweepOf(sweep, lengths);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TruncatedImage,
                         ::testing::Values(SweepCase{"app.exe", "AppExe"}, SweepCase{"lib.dll", "LibDll"},
                                           SweepCase{"nores.dll", "NoresDll"}),
                         CaseName);

// ---- .RES files ----

class TruncatedResFile : public ::testing::TestWithParam<SweepCase> {};

// A .RES file is record headers from its first byte to its last: every length of
// the smallest is swept, every second of the others.
TEST_P(TruncatedResFile, CombinationEndsCleanlyAndLeavesNoFileWhenItFails) {
  std::vector<uint8_t> image = ReadFileBytes(FixturePath("app.exe"));
  std::vector<uint8_t> res = ReadFileBytes(FixturePath(GetParam().file));
  std::vector<size_t> lengths = SweepLengths(res.size(), GetParam().dense ? res.size() : 0, 2);
  JobSweep sweep(Job::Combine, std::string(GetParam().file) + " cut short, -o");
  for (size_t i = 0; i < lengths.size(); ++i)
    sweep.Run("length " + std::to_string(lengths[i]), image, Prefix(res, lengths[i]), PreviousFor(i));
  ExpectSweepOf(sweep, lengths);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, TruncatedResFile,
                         ::testing::Values(SweepCase{"strings.res", "StringsRes", true},
                                           SweepCase{"version.res", "VersionRes", false},
                                           SweepCase{"mixed.res", "MixedRes", false}),
                         CaseName);

}  // namespace
}  // namespace tolvane::test
