// Damaged files through the program: bytes changed, with a fixed seed, where a
// reader is most easily misled (the headers, the section table, the resource
// directory of an image; anywhere in a .RES file). Every run must end cleanly and
// lose no file (see JobSweep.h), and the program must agree with the reader in
// process: what the reader refuses fails, and a .RES it refuses makes -o fail
// silently, with exit status 1 and nothing on standard output or standard error.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "builders/ImageFiles.h"
#include "builders/JobSweep.h"
#include "builders/TestFiles.h"
#include "unitResFile.h"

namespace tolvane::test {
namespace {

constexpr uint32_t kSeed = 20031202;
constexpr int kImageMutants = 200 / static_cast<int>(kSweepThinning);
constexpr int kResMutants = 300 / static_cast<int>(kSweepThinning);

const std::vector<uint8_t> kPrevious = BytesOf("the destination as it was before the run\n");

struct Region {
  const char* name;
  size_t start, end;  // file offsets, end excluded
};

// The tables, entries, names and data entries of the resource directory: from its
// root to the first resource's data, found by walking it as the reader does.
size_t DirectoryEnd(ByteView rsrc, uint32_t sectionRva) {
  uint64_t firstData = rsrc.size();
  std::set<uint32_t> seen;
  std::vector<uint32_t> tables = {0};
  while (!tables.empty()) {
    uint32_t at = tables.back();
    tables.pop_back();
    if (!seen.insert(at).second) continue;
    uint32_t count = uint32_t(rsrc.u16(at + 12)) + rsrc.u16(at + 14);
    for (uint32_t i = 0; i < count; ++i) {
      uint32_t target = rsrc.u32(at + 16 + 8 * i + 4);
      if (target & 0x80000000u)
        tables.push_back(target & 0x7FFFFFFF);
      else
        firstData = std::min<uint64_t>(firstData, rsrc.u32(target) - sectionRva);
    }
  }
  return static_cast<size_t>(firstData);
}

std::vector<Region> RegionsOf(const std::vector<uint8_t>& file) {
  auto image = LoadImage(file);
  const size_t pe = image->DOSHeader().e_lfanew;
  const size_t table = pe + 24 + image->COFFHeader().SizeOfOptionalHeader;
  std::vector<Region> regions = {
      {"the DOS header", 0, 64},
      {"the PE headers", pe, table},
      {"the section table", table, table + 40 * size_t(image->COFFHeader().NumberOfSections)},
  };
  uint32_t offset = 0;
  if (TImageSection* rsrc = image->GetResourceSection(offset)) {
    const IMAGE_SECTION_HEADER& h = rsrc->SectionHeader();
    size_t start = h.PointerToRawData + offset;
    size_t end = h.PointerToRawData + DirectoryEnd(rsrc->RawData().View().from(offset), h.VirtualAddress + offset);
    regions.push_back({"the resource directory", start, end});
  }
  return regions;
}

// Values that mislead readers most: zero, all ones, the high bit, small and large
// offsets, and the file's own size.
uint32_t TellingValue(std::mt19937& random, size_t fileSize) {
  const uint32_t values[] = {0,
                             1,
                             0xFFFFFFFF,
                             0x80000000,
                             0x7FFFFFFF,
                             0xFFFF,
                             0x10000,
                             0x1000,
                             0x200,
                             16,
                             static_cast<uint32_t>(fileSize),
                             static_cast<uint32_t>(fileSize + 1),
                             static_cast<uint32_t>(fileSize - 4)};
  return values[random() % (sizeof values / sizeof values[0])];
}

// One to four changes inside the region: a random byte, a flipped bit, or a telling
// value over an aligned 32-bit field.
std::vector<uint8_t> Mutant(const std::vector<uint8_t>& file, const Region& region, std::mt19937& random,
                            std::string& what) {
  std::vector<uint8_t> bytes = file;
  int changes = 1 + static_cast<int>(random() % 4);
  for (int c = 0; c < changes; ++c) {
    size_t at = region.start + random() % (region.end - region.start);
    switch (random() % 3) {
      case 0:
        bytes[at] = static_cast<uint8_t>(random());
        break;
      case 1:
        bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8));
        break;
      default: {
        at &= ~size_t(3);
        if (at + 4 > bytes.size()) break;
        uint32_t v = TellingValue(random, bytes.size());
        for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<uint8_t>(v >> (8 * k));
      }
    }
    what += (what.empty() ? "" : ", ") + std::to_string(at);
  }
  return bytes;
}

template <class Module>
bool ReaderRefuses(const std::vector<uint8_t>& bytes) {
  return Capture([&] {
           Module m;
           m.LoadFromBytes(ByteView(bytes.data(), bytes.size()));
         })
      .thrown;
}

struct MutationCase {
  const char* file;
  const char* testName;
};

std::string CaseName(const ::testing::TestParamInfo<MutationCase>& info) { return info.param.testName; }

// ---- images ----

class MutatedImage : public ::testing::TestWithParam<MutationCase> {};

TEST_P(MutatedImage, BothJobsEndCleanlyLoseNoFileAndAgreeWithTheReader) {
  std::vector<uint8_t> file = ReadFileBytes(FixturePath(GetParam().file));
  std::vector<uint8_t> res = ReadFileBytes(FixturePath("strings.res"));
  std::vector<Region> regions = RegionsOf(file);
  ASSERT_EQ(regions.size(), 4u) << "the fixture has a resource directory";
  std::mt19937 random(kSeed);
  JobSweep extract(Job::Extract, std::string(GetParam().file) + " mutated, -r");
  JobSweep combine(Job::Combine, std::string(GetParam().file) + " mutated, -o");
  for (int i = 0; i < kImageMutants; ++i) {
    const Region& region = regions[static_cast<size_t>(i) % regions.size()];
    std::string offsets;
    std::vector<uint8_t> mutant = Mutant(file, region, random, offsets);
    std::string what = std::string(region.name) + " changed at " + offsets;
    bool refused = ReaderRefuses<TPEResourceModule>(mutant);
    std::optional<std::vector<uint8_t>> previous;
    if (i % 2 == 1) previous = kPrevious;

    int extracted = extract.Run(what, mutant, {}, previous);
    int combined = combine.Run(what, mutant, res, previous);
    if (refused) {
      EXPECT_EQ(extracted, 1) << what << ": the reader refuses it, -r does not";
      EXPECT_EQ(combined, 1) << what << ": the reader refuses it, -o does not";
    }
  }
  extract.Report();
  combine.Report();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MutatedImage,
                         ::testing::Values(MutationCase{"app.exe", "AppExe"}, MutationCase{"lib.dll", "LibDll"},
                                           MutationCase{"overlay.exe", "OverlayExe"}),
                         CaseName);

// ---- .RES files ----

class MutatedResFile : public ::testing::TestWithParam<MutationCase> {};

TEST_P(MutatedResFile, CombinationEndsCleanlyAndACorruptFileFailsSilently) {
  std::vector<uint8_t> image = ReadFileBytes(FixturePath("app.exe"));
  std::vector<uint8_t> file = ReadFileBytes(FixturePath(GetParam().file));
  const Region whole = {"the file", 0, file.size()};
  std::mt19937 random(kSeed);
  JobSweep combine(Job::Combine, std::string(GetParam().file) + " mutated, -o");
  int corrupt = 0;
  for (int i = 0; i < kResMutants; ++i) {
    std::string offsets;
    std::vector<uint8_t> mutant = Mutant(file, whole, random, offsets);
    std::string what = "changed at " + offsets;
    std::optional<std::vector<uint8_t>> previous;
    if (i % 2 == 1) previous = kPrevious;
    if (!ReaderRefuses<TResModule>(mutant)) {
      combine.Run(what, image, mutant, previous);
      continue;
    }
    ++corrupt;
    ScratchDir dir;
    WriteFileBytes(dir.file("in.exe"), image);
    WriteFileBytes(dir.file("in.res"), mutant);
    if (previous) WriteFileBytes(dir.file("out.exe"), *previous);
    RunResult r = RunTolvane({"-o", "out.exe", "in.exe", "in.res"}, RunOptions().In(dir.path()).Timeout(10));
    EXPECT_EQ(r.status, 1) << what;
    EXPECT_EQ(r.signal, 0) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err, "") << what;
    std::vector<std::string> expected = {"in.exe", "in.res"};
    if (previous) expected.push_back("out.exe");
    EXPECT_EQ(ListDirectory(dir.path()), expected) << what;
    if (previous) {
      EXPECT_EQ(ReadFileBytes(dir.file("out.exe")), *previous) << what;
    }
  }
  EXPECT_GT(corrupt, 0);
  std::printf("[ sweep    ] %s mutated, -o: %d corrupt files failed silently\n", GetParam().file, corrupt);
  combine.Report();
}

INSTANTIATE_TEST_SUITE_P(Fixtures, MutatedResFile,
                         ::testing::Values(MutationCase{"strings.res", "StringsRes"},
                                           MutationCase{"mixed.res", "MixedRes"},
                                           MutationCase{"version.res", "VersionRes"}),
                         CaseName);

}  // namespace
}  // namespace tolvane::test
