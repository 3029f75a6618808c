#include <cstdlib>
#include <mutex>

#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {

std::string WineCannotRun() {
  static std::once_flag once;
  static std::string reason;
  std::call_once(once, [] {
    std::string probe = std::string(TOLVANE_SOURCE_DIR) + "/tools/wine-probe";
    RunResult r = RunCommand(probe, {}, RunOptions().Timeout(300));
    if (r.status == 0) return;
    reason = r.out.empty() ? "tools/wine-probe failed: " + r.err : r.out;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
  });
  return reason;
}

// Wine's own Linux process dies of SIGSEGV now and then as a Go program exits, after
// the program has done its work: about once in 75 runs here, the untouched Go fixture
// as often as the images we write. A Windows program that crashes makes Wine exit
// with a status, never die of a signal, so only a death by signal is run again.
RunResult RunUnderWine(const std::vector<std::string>& args) {
  ::setenv("WINEDEBUG", "-all", 1);
  constexpr int kRuns = 3;
  RunResult r;
  for (int run = 0; run < kRuns; ++run) {
    r = RunCommand(FindOnPath("wine"), args, RunOptions().Timeout(300));
    if (r.signal == 0) break;
  }
  return r;
}

}  // namespace tolvane::test
