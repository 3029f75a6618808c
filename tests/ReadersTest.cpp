// Readers of the field list the resources of every image we write, as many as our
// reader finds; and each client refuses copies of a written image broken the ways a
// writer could break them, so that its acceptance above means something.
#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <tuple>

#include "builders/ImageBuilder.h"
#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"
#include "builders/WrittenImages.h"
#include "clients/Clients.h"
#include "platform/Checksum.h"
#include "support/LittleEndian.h"

namespace tolvane::test {
namespace {

struct Client {
  const char* name;
  std::string (*absent)();
  ::testing::AssertionResult (*accepts)(const std::string& image, size_t resources);
};

::testing::AssertionResult SignedCopyVerifies(const std::string& image, size_t) {
  return SignsAndVerifies(image, image + ".signed");
}

void PrintTo(const Client& c, std::ostream* os) { *os << c.name; }

const Client kPefile{"pefile", PefileAbsent, PefileAccepts};
const Client kReadpe{"readpe", ReadpeAbsent, ReadpeAccepts};
const Client kLlvmReadobj{"llvm_readobj", LlvmReadobjAbsent, LlvmReadobjAccepts};
const Client kOsslsigncode{"osslsigncode", SigningAbsent, SignedCopyVerifies};

size_t ResourceCount(const std::string& image) { return ResourcesOf(*LoadImageFile(image)).size(); }

// An image by its index in kMergesWeJudge.
class ReadersList : public ::testing::TestWithParam<std::tuple<Client, size_t>> {};

TEST_P(ReadersList, AsManyResourcesAsWe) {
  const auto& [client, image] = GetParam();
  SKIP_UNLESS_PRESENT(client.absent());
  ScratchDir dir;
  WrittenImage w = WriteMerged(dir, kMergesWeJudge[image]);
  EXPECT_TRUE(client.accepts(w.path, ResourceCount(w.path)));
}

std::string TestName(const ::testing::TestParamInfo<std::tuple<Client, size_t>>& info) {
  const auto& [client, image] = info.param;
  const Merge& merge = kMergesWeJudge[image];
  std::string name = std::string(client.name) + "_" + (merge.image ? merge.image : "template") + "_" + merge.res;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Readers, ReadersList,
                         ::testing::Combine(::testing::Values(kReadpe, kLlvmReadobj),
                                            ::testing::Range<size_t>(0, kMergesWeJudge.size())),
                         TestName);

// File offsets in a written image whose resource directory opens its section.
struct Offsets {
  uint32_t optionalHeader, certificateEntry, rootEntry, dataEntry;
};

Offsets Locate(const Bytes& b) {
  Offsets o;
  uint32_t pe = getU32LE(&b[60]);
  o.optionalHeader = pe + 24;
  o.certificateEntry = DataDirectoriesAt(b) + 8 * 4;
  uint32_t rsrcRva = getU32LE(&b[DataDirectoriesAt(b) + 8 * 2]), rsrc = 0;
  uint32_t table = o.optionalHeader + getU16LE(&b[pe + 4 + 16]);
  for (uint32_t i = 0; i < getU16LE(&b[pe + 4 + 2]); ++i)
    if (getU32LE(&b[table + 40 * i + 12]) == rsrcRva) rsrc = getU32LE(&b[table + 40 * i + 20]);
  auto below = [&](uint32_t entry) { return rsrc + (getU32LE(&b[entry + 4]) & 0x7FFFFFFF); };
  o.rootEntry = rsrc + 16;
  o.dataEntry = below(below(below(o.rootEntry) + 16) + 16);
  return o;
}

struct Break {
  const char* what;
  void (*patch)(Bytes& image, const Offsets& at);
  std::set<std::string> refusedBy;  // the clients that must refuse it; the others do not look
};

const Break kBreaks[] = {
    {"checksum one bit off", [](Bytes& b, const Offsets& at) { b[at.optionalHeader + 64] ^= 0x10; }, {"pefile"}},
    {"a resource's data far past its section",
     [](Bytes& b, const Offsets& at) { putU32LE(&b[at.dataEntry], getU32LE(&b[at.dataEntry]) + 0x100000); },
     {"pefile", "llvm_readobj"}},
    {"a type's subdirectory outside the section",
     [](Bytes& b, const Offsets& at) { putU32LE(&b[at.rootEntry + 4], 0x80100000); },
     {"pefile", "readpe", "llvm_readobj"}},
    {"file ending inside the resource directory",
     [](Bytes& b, const Offsets& at) { b.resize(at.rootEntry); },
     {"pefile", "readpe", "llvm_readobj"}},
    {"certificate table past the end of the file",
     [](Bytes& b, const Offsets& at) {
       putU32LE(&b[at.certificateEntry], static_cast<uint32_t>(b.size()) + 0x1000);
       putU32LE(&b[at.certificateEntry + 4], 0x100);
     },
     {"pefile", "osslsigncode"}},
    // osslsigncode takes these bytes for an old signature and drops them unasked.
    {"certificate table over the last section's bytes",
     [](Bytes& b, const Offsets& at) {
       putU32LE(&b[at.certificateEntry], static_cast<uint32_t>(b.size()) - 0x100);
       putU32LE(&b[at.certificateEntry + 4], 0x100);
     },
     {"pefile"}},
    {"PE header pointer past the end of the file",
     [](Bytes& b, const Offsets&) { putU32LE(&b[60], static_cast<uint32_t>(b.size()) + 16); },
     {"pefile", "readpe", "llvm_readobj", "osslsigncode"}},
};

class BrokenCopies : public ::testing::TestWithParam<Client> {};

void ExpectBrokenCopiesRefused(const Client& client, const char* app) {
  ScratchDir dir;
  WrittenImage w = WriteMerged(dir, {app, "merge.res"});
  const size_t count = ResourceCount(w.path);
  ASSERT_TRUE(client.accepts(w.path, count)) << "the unbroken image";
  const Bytes image = ReadFileBytes(w.path);
  const Offsets at = Locate(image);
  for (const Break& brk : kBreaks) {
    if (!brk.refusedBy.contains(client.name)) continue;
    Bytes copy = image;
    brk.patch(copy, at);
    // Every break but the first carries a true checksum, so that only it is wrong.
    if (&brk != &kBreaks[0] && copy.size() > at.optionalHeader + 68) {
      platform::TImageChecksum sum(at.optionalHeader + 64);
      sum.Add(copy.data(), copy.size());
      putU32LE(&copy[at.optionalHeader + 64], sum.Finish());
    }
    const std::string path = dir.file("broken.exe");
    WriteFileBytes(path, copy);
    EXPECT_FALSE(client.accepts(path, count)) << brk.what;
  }
}

TEST_P(BrokenCopies, AreRefused) {
  const Client& client = GetParam();
  SKIP_UNLESS_PRESENT(client.absent());
  for (const char* app : {"app.exe", "app64.exe"}) {
    SCOPED_TRACE(app);
    ExpectBrokenCopiesRefused(client, app);
  }
}

std::string ClientName(const ::testing::TestParamInfo<Client>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Readers, BrokenCopies, ::testing::Values(kPefile, kReadpe, kLlvmReadobj), ClientName);
INSTANTIATE_TEST_SUITE_P(Signing, BrokenCopies, ::testing::Values(kOsslsigncode), ClientName);

}  // namespace
}  // namespace tolvane::test
