// Authenticode over the images we write: osslsigncode signs and verifies them, and a
// signed program we stamp keeps its certificate table, last in the file where data
// directory 4 says it is.
#include <gtest/gtest.h>

#include "builders/ImageBuilder.h"
#include "builders/ImageFiles.h"
#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"
#include "builders/WrittenImages.h"
#include "clients/Clients.h"
#include "support/LittleEndian.h"

namespace tolvane::test {
namespace {

class Signing : public ::testing::Test {
protected:
  void SetUp() override { SKIP_UNLESS_PRESENT(SigningAbsent()); }
};

TEST_F(Signing, EveryImageWeWriteSignsAndVerifies) {
  ScratchDir dir;
  for (const WrittenImage& w : WriteTheImagesWeJudge(dir)) {
    SCOPED_TRACE(w.label);
    EXPECT_TRUE(SignsAndVerifies(w.path, w.path + ".signed"));
  }
}

struct Span {
  uint32_t offset, size;
};
// Data directory 4 holds a file offset, not an RVA.
Span CertificateTableOf(const Bytes& image) {
  uint32_t entry = DataDirectoriesAt(image) + 8 * 4;
  return {getU32LE(&image[entry]), getU32LE(&image[entry + 4])};
}

Bytes Slice(const Bytes& bytes, Span s) { return Bytes(bytes.begin() + s.offset, bytes.begin() + s.offset + s.size); }

// The image before its certificate table, with the checksum and data directory 4
// zeroed: what stays when the signature is set aside.
Bytes WithoutSignature(Bytes image) {
  uint32_t optionalHeader = getU32LE(&image[60]) + 24;
  Span table = CertificateTableOf(image);
  if (table.size != 0) image.resize(table.offset);
  putU32LE(&image[optionalHeader + 64], 0);
  putU32LE(&image[DataDirectoriesAt(image) + 8 * 4], 0);
  putU32LE(&image[DataDirectoriesAt(image) + 8 * 4 + 4], 0);
  return image;
}

// The "Current" (signed) or "Calculated" digest osslsigncode prints. An empty CA
// file fails the chain but still prints both digests, without the system's store.
std::string Digest(const std::string& image, const std::string& which) {
  std::string out = RunCommand(FindOnPath("osslsigncode"), {"verify", "-CAfile", "/dev/null", "-in", image}).out;
  size_t at = out.find(which + " message digest");
  if (at == std::string::npos) return "no " + which + " digest in: " + out;
  at = out.find(": ", at) + 2;
  return out.substr(at, out.find_first_of(" \n", at) - at);
}

void ExpectStampedSignedImageKeepsItsCertificateAndSignsAgain(const char* app) {
  ScratchDir dir;
  const std::string signedApp = dir.file("signed.exe"), stamped = dir.file("stamped.exe");
  ASSERT_TRUE(SignsAndVerifies(FixturePath(app), signedApp));
  ASSERT_EQ(RunTolvane(ForImage({"-o", stamped, signedApp, FixturePath("merge.res")}, signedApp)).status, 0);
  WrittenImage plain = WriteMerged(dir, {app, "merge.res"});

  Bytes before = ReadFileBytes(signedApp), after = ReadFileBytes(stamped);
  Span was = CertificateTableOf(before), is = CertificateTableOf(after);
  ASSERT_NE(was.size, 0u);
  EXPECT_EQ(is.size, was.size);
  EXPECT_EQ(is.offset % 8, 0u);
  EXPECT_EQ(is.offset + is.size, after.size());
  EXPECT_EQ(Slice(after, is), Slice(before, was));
  // The certificate changes nothing else the stamp writes.
  EXPECT_EQ(WithoutSignature(after), WithoutSignature(ReadFileBytes(plain.path)));
  if (PefileAbsent().empty()) {
    EXPECT_TRUE(PefileAccepts(stamped, ResourcesOf(*LoadImageFile(stamped)).size()));
  }

  // Not signed again, the old signature still reads back whole and carries the
  // fixture's digest; only the new bytes no longer hash to it.
  RunResult stale = RunCommand(FindOnPath("osslsigncode"), {"verify", "-in", stamped});
  EXPECT_NE(stale.status, 0);
  EXPECT_NE(stale.out.find("MISMATCH"), std::string::npos) << stale.out;
  EXPECT_EQ(Digest(stamped, "Current"), Digest(signedApp, "Current"));
  const std::string resigned = dir.file("resigned.exe");
  ASSERT_TRUE(SignsAndVerifies(stamped, resigned));
  EXPECT_EQ(Digest(stamped, "Calculated"), Digest(resigned, "Current"));
  EXPECT_NE(Digest(stamped, "Calculated"), Digest(stamped, "Current"));
}

TEST_F(Signing, StampedSignedImageKeepsItsCertificateAndSignsAgain) {
  for (const char* app : {"app.exe", "app64.exe"}) {
    SCOPED_TRACE(app);
    ExpectStampedSignedImageKeepsItsCertificateAndSignsAgain(app);
  }
}

}  // namespace
}  // namespace tolvane::test
