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

RunResult RunUnderWine(const std::vector<std::string>& args) {
  ::setenv("WINEDEBUG", "-all", 1);
  return RunCommand(FindOnPath("wine"), args, RunOptions().Timeout(300));
}

}  // namespace tolvane::test
