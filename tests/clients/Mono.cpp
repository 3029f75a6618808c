// Mono through our committed reader, tests/fixtures/showversion.exe (rebuilt by
// tests/fixtures/build_mono.sh). Nothing is remembered between calls: a reader
// rebuilt or a runtime installed mid-run is what the next call sees.
#include <sstream>

#include "builders/ImageFiles.h"
#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {

namespace {

RunResult RunReader(const std::vector<std::string>& args) {
  std::vector<std::string> all = {FixturePath("showversion.exe")};
  all.insert(all.end(), args.begin(), args.end());
  return RunCommand(FindOnPath("mono"), all, RunOptions().Timeout(120));
}

}  // namespace

// mono-runtime alone has no class library (mscorlib, System.dll come with what
// mono-mcs depends on), so presence means the reader runs, not that mono is found.
std::string MonoAbsent() {
  if (FindOnPath("mono").empty()) return "mono is not installed (Debian mono-runtime and mono-mcs)";
  RunResult r = RunReader({});
  if (r.status != 0)
    return "mono cannot run tests/fixtures/showversion.exe (Debian mono-runtime and mono-mcs, which brings the "
           "class library): " +
           r.err;
  return "";
}

::testing::AssertionResult MonoReadsVersionOf(const std::string& image, MonoVersion& version) {
  RunResult r = RunReader({image});
  if (r.status != 0)
    return ::testing::AssertionFailure() << "mono showversion.exe " << image << " exited with " << r.status
                                         << " (signal " << r.signal << "): " << r.err;
  std::istringstream lines(r.out);
  std::string* fields[] = {&version.fileVersion, &version.productVersion, &version.productName};
  const char* keys[] = {"FileVersion=", "ProductVersion=", "ProductName="};
  for (int i = 0; i < 3; ++i) {
    std::string line;
    if (!std::getline(lines, line) || !line.starts_with(keys[i]))
      return ::testing::AssertionFailure() << "mono showversion.exe " << image << " printed, unexpectedly:\n" << r.out;
    *fields[i] = line.substr(std::string(keys[i]).size());
  }
  return ::testing::AssertionSuccess();
}

}  // namespace tolvane::test
