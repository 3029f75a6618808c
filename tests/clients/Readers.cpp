#include <sstream>

#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {

namespace {

const std::string kPython = "/usr/bin/python3";
const std::string kPefileCheck = std::string(TOLVANE_SOURCE_DIR) + "/tests/scripts/pefile_check.py";

template <class Pred>
size_t CountLines(const std::string& text, Pred pred) {
  std::istringstream in(text);
  size_t n = 0;
  for (std::string line; std::getline(in, line);) n += pred(line) ? 1 : 0;
  return n;
}

::testing::AssertionResult Counted(const char* what, size_t listed, size_t expected, const RunResult& r) {
  if (listed == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << " lists " << listed << " resources, we list " << expected << "\n"
                                       << r.out.substr(0, 4000);
}

std::string LlvmReadobj() {
  static const std::string path = [] {
    std::string p = FindOnPath("llvm-readobj");
    return p.empty() ? FindOnPath("llvm-readobj-14") : p;
  }();
  return path;
}

}  // namespace

std::string PefileAbsent() {
  static const bool present = PathExists(kPython) && RunQuietly(kPython, {"-c", "import pefile"}) == 0;
  return present ? "" : "pefile is not installed for /usr/bin/python3 (Debian python3-pefile)";
}

::testing::AssertionResult PefileAccepts(const std::string& image, size_t expectedResources) {
  RunResult r = RunCommand(kPython, {kPefileCheck, image});
  if (r.status != 0) return ::testing::AssertionFailure() << "pefile_check.py: " << r.err;
  return Counted("pefile", CountLines(r.out, [](const std::string& l) { return !l.empty(); }), expectedResources, r);
}

std::string ReadpeAbsent() {
  static const bool present = !FindOnPath("readpe").empty() && !FindOnPath("peres").empty();
  return present ? "" : "readpe and peres are not installed (Debian pev)";
}

// readpe parses the headers; pev lists resources only through peres, whose list
// lines end in "(N bytes)" among DEBUG lines of its own.
::testing::AssertionResult ReadpeAccepts(const std::string& image, size_t expectedResources) {
  RunResult headers = RunCommand(FindOnPath("readpe"), {image});
  if (headers.status != 0) return ::testing::AssertionFailure() << "readpe: " << headers.err;
  RunResult list = RunCommand(FindOnPath("peres"), {"-l", image});
  if (list.status != 0) return ::testing::AssertionFailure() << "peres -l: " << list.err;
  size_t listed =
      CountLines(list.out, [](const std::string& l) { return !l.starts_with("DEBUG:") && l.ends_with(" bytes)"); });
  return Counted("peres", listed, expectedResources, list);
}

std::string LlvmReadobjAbsent() { return LlvmReadobj().empty() ? "llvm-readobj is not installed (Debian llvm)" : ""; }

// Every data entry it reaches prints a DataRVA line; what it cannot follow ends the
// run with an error, or a warning on standard error.
::testing::AssertionResult LlvmReadobjAccepts(const std::string& image, size_t expectedResources) {
  RunResult r = RunCommand(LlvmReadobj(), {"--coff-resources", image});
  if (r.status != 0 || r.err.find("warning") != std::string::npos)
    return ::testing::AssertionFailure() << "llvm-readobj: " << r.err;
  return Counted("llvm-readobj",
                 CountLines(r.out, [](const std::string& l) { return l.find("DataRVA:") != std::string::npos; }),
                 expectedResources, r);
}

RunResult LlvmReadobjListing(const std::vector<std::string>& options, const std::string& image) {
  std::vector<std::string> args = options;
  args.push_back(image);
  RunResult r = RunCommand(LlvmReadobj(), args);
  r.out.erase(0, r.out.find('\n', r.out.find("File:")) + 1);
  return r;
}

::testing::AssertionResult LlvmReadobjListsTheSameSymbolsAndUnwind(const std::string& given,
                                                                   const std::string& written) {
  const RunResult before = LlvmReadobjListing({"--symbols", "--unwind"}, given),
                  after = LlvmReadobjListing({"--symbols", "--unwind"}, written);
  if (after.status != 0) return ::testing::AssertionFailure() << "llvm-readobj --symbols --unwind: " << after.err;
  if (after.out == before.out) return ::testing::AssertionSuccess();
  std::istringstream was(before.out), is(after.out);
  std::string a, b;
  for (size_t line = 1;; ++line) {
    const bool more = static_cast<bool>(std::getline(was, a)), moreAfter = static_cast<bool>(std::getline(is, b));
    if (!more && !moreAfter) return ::testing::AssertionFailure() << "llvm-readobj --symbols --unwind lists otherwise";
    if (a != b || more != moreAfter)
      return ::testing::AssertionFailure()
             << "llvm-readobj --symbols --unwind, line " << line << ": " << b << "; in the given image: " << a;
  }
}

}  // namespace tolvane::test
