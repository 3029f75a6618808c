// Real programs of the field that judge the images and .RES files we write, each
// its own way. Every client has an `...Absent()` that gives "" when it can run here
// and otherwise the message a test skips with; the checks give an AssertionResult
// that says what the client objected to.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"

namespace tolvane::test {

// Skips the running test with the client's message when the client is absent.
#define SKIP_UNLESS_PRESENT(absent)                \
  do {                                             \
    const std::string reason_ = (absent);          \
    if (!reason_.empty()) GTEST_SKIP() << reason_; \
  } while (false)

// ---- Wine: the one real loader, where it can start ----
// "" when Wine runs a 32-bit Windows console program here; otherwise why not, as
// tools/wine-probe says it. Probed once per process.
std::string WineCannotRun();
// Runs the program under Wine; when Wine itself dies of a signal, runs it again, up
// to three times in all.
RunResult RunUnderWine(const std::vector<std::string>& args);
// The same for a 64-bit program under Wine's 64-bit loader, the one that
// `tools/wine-probe --64` ran; its suites are named Wine64 (label wine64).
std::string Wine64CannotRun();
RunResult RunUnderWine64(const std::vector<std::string>& args);

// A program run under Wine as it is and after we merged into one of its files.
struct MergedRun {
  std::vector<std::string> run;      // the program and its arguments
  size_t merged = 0;                 // run[merged] is the image we merge into
  std::string res = "";              // the .RES merged; a megabyte of RCDATA is merged too, apart
  std::string printsAfterRes = "";   // its standard output after res; "" for what the untouched one printed
  std::string megabyteRefusal = "";  // "" where the megabyte's merge is written; else our refusal of it
};
// Copies image into dir under a name that is not Wine's: Wine runs its own builtin
// module in place of a file that carries its builtin mark and is named as that
// module (cmd.exe), wherever the file lies. Gives the copy's path.
std::string CopyUnderOwnName(const std::string& image, const ScratchDir& dir);
// A copy in dir of python3-distlib's script launcher with a script appended: a #!
// line and the empty zip that is all the launcher needs to find it.
std::string WithAppendedScript(const std::string& launcher, const ScratchDir& dir);
// Runs m under runUnderWine untouched, then after each merge into a fresh copy, in
// place: it exits as before and prints what it printed before, or what m says.
void ExpectMergedRunsAsUntouched(const MergedRun& m, RunResult (*runUnderWine)(const std::vector<std::string>&));

// ---- Mono: runs .NET programs and reads the version resource of any PE file ----
std::string MonoAbsent();
struct MonoVersion {
  std::string fileVersion, productVersion, productName;
  bool operator==(const MonoVersion&) const = default;
};
// What System.Diagnostics.FileVersionInfo reports for the image, read by our
// committed reader program; the result fails when Mono could not read it.
::testing::AssertionResult MonoReadsVersionOf(const std::string& image, MonoVersion& version);

// ---- Authenticode: osslsigncode with a throwaway key and certificate ----
std::string SigningAbsent();
// Signs image into signedPath and verifies the signed file.
::testing::AssertionResult SignsAndVerifies(const std::string& image, const std::string& signedPath);

// ---- Readers: each parses the image and lists its resources ----
std::string PefileAbsent();
// pefile parses the image without warnings, its checksum equals generate_checksum,
// and it lists `expectedResources` resources.
::testing::AssertionResult PefileAccepts(const std::string& image, size_t expectedResources);
std::string ReadpeAbsent();
::testing::AssertionResult ReadpeAccepts(const std::string& image, size_t expectedResources);
std::string LlvmReadobjAbsent();
::testing::AssertionResult LlvmReadobjAccepts(const std::string& image, size_t expectedResources);
// What llvm-readobj lists of an image with options (--symbols, --unwind), without the
// lines that name the file.
RunResult LlvmReadobjListing(const std::vector<std::string>& options, const std::string& image);
// llvm-readobj lists the written image's COFF symbols and unwind data (.pdata and
// .xdata) as the given image's: what points into them still finds them.
::testing::AssertionResult LlvmReadobjListsTheSameSymbolsAndUnwind(const std::string& given,
                                                                   const std::string& written);

}  // namespace tolvane::test
