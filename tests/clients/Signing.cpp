#include <cstdio>
#include <memory>
#include <mutex>

#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {

namespace {

struct Signer {
  std::string osslsigncode, reason;
  std::unique_ptr<ScratchDir> dir;  // the key and certificate; removed at exit
  std::string key, certificate;
};

// A key and self-signed certificate made once: RSA key generation costs more than
// signing, and the callers sign thousands of images.
const Signer& TheSigner() {
  static std::once_flag once;
  static Signer signer;
  std::call_once(once, [] {
    signer.osslsigncode = FindOnPath("osslsigncode");
    std::string openssl = FindOnPath("openssl");
    if (signer.osslsigncode.empty() || openssl.empty()) {
      signer.reason = "osslsigncode and openssl are needed (Debian osslsigncode, openssl)";
      return;
    }
    signer.dir = std::make_unique<ScratchDir>();
    signer.key = signer.dir->file("key.pem");
    signer.certificate = signer.dir->file("certificate.pem");
    // The code-signing usage, or the chain check refuses the signer for this purpose.
    RunResult r =
        RunCommand(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                             "/CN=Tolvane test signer", "-addext", "keyUsage=digitalSignature", "-addext",
                             "extendedKeyUsage=codeSigning", "-keyout", signer.key, "-out", signer.certificate});
    if (r.status != 0) signer.reason = "openssl could not make a throwaway certificate: " + r.err;
  });
  return signer;
}

}  // namespace

std::string SigningAbsent() { return TheSigner().reason; }

::testing::AssertionResult SignsAndVerifies(const std::string& image, const std::string& signedPath) {
  const Signer& s = TheSigner();
  if (!s.reason.empty()) return ::testing::AssertionFailure() << s.reason;
  std::remove(signedPath.c_str());  // osslsigncode will not overwrite
  RunResult sign =
      RunCommand(s.osslsigncode, {"sign", "-certs", s.certificate, "-key", s.key, "-in", image, "-out", signedPath});
  // A warning means it saw something odd in our image (a certificate table it
  // ignored), even when it went on to sign.
  if (sign.status != 0 || (sign.out + sign.err).find("Warning") != std::string::npos)
    return ::testing::AssertionFailure() << "osslsigncode sign: " << sign.out << sign.err;
  // The certificate is its own CA and its own timestamp authority, so no system
  // store is consulted.
  RunResult verify =
      RunCommand(s.osslsigncode, {"verify", "-CAfile", s.certificate, "-TSA-CAfile", s.certificate, "-in", signedPath});
  if (verify.status != 0 || (verify.out + verify.err).find("Warning") != std::string::npos)
    return ::testing::AssertionFailure() << "osslsigncode verify: " << verify.out << verify.err;
  return ::testing::AssertionSuccess();
}

}  // namespace tolvane::test
