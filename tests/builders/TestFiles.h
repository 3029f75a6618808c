// Helpers every kind of test uses: what a call threw, a scratch directory that cleans
// up after itself, the fixtures, whole-file reads and writes, directory listings,
// SHA-256 of bytes and running a tool of the field.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "support/ByteView.h"
#include "support/Exceptions.h"

namespace tolvane::test {

// What a call threw: the class name the error report would print, and the message.
struct Thrown {
  bool thrown = false;
  std::string className;
  std::string message;
};

template <class F>
Thrown Capture(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return {true, e.ClassName(), e.what()};
  } catch (const std::exception& e) {
    return {true, "std::exception", e.what()};
  }
  return {};
}

// The message of the E that f raises; a failure when it raises nothing or something else.
template <class E, class F>
std::string RefusalMessage(F&& f) {
  Thrown t = Capture(std::forward<F>(f));
  if (!t.thrown)
    ADD_FAILURE() << "raised nothing";
  else if (t.className != E(u"").ClassName())
    ADD_FAILURE() << "raised " << t.className << " instead: " << t.message;
  return t.message;
}

// A fresh directory under the test temporary directory, removed with everything in
// it when the object goes.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return fPath; }
  // path() + "/" + name
  std::string file(const std::string& name) const;
  std::u16string file16(const std::string& name) const;

private:
  std::string fPath;
};

// A file of tests/fixtures.
std::string FixturePath(const std::string& name);
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool PathExists(const std::string& path);
// The entries of a directory, "." and ".." left out, sorted.
std::vector<std::string> ListDirectory(const std::string& path);

std::string Sha256Hex(const uint8_t* data, size_t size);
inline std::string Sha256Hex(const std::vector<uint8_t>& bytes) { return Sha256Hex(bytes.data(), bytes.size()); }

std::vector<uint8_t> BytesOf(const std::string& text);
std::vector<uint8_t> BytesOf(ByteView bytes);
// UTF-16LE bytes of ASCII or UTF-16 text, without a terminator.
std::vector<uint8_t> Utf16Bytes(const std::u16string& text);

// The full path of a program found on PATH, or "" when there is none.
std::string FindOnPath(const std::string& program);
// Runs a program with arguments, its output discarded; gives the exit status, or -1
// when it could not run or was killed.
int RunQuietly(const std::string& program, const std::vector<std::string>& args);

}  // namespace tolvane::test
