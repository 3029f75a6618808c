#include <cstdlib>
#include <mutex>

#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {

namespace {

std::string TrimLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// What `tools/wine-probe --64` found: the loader it ran, or why it could run none.
struct Wine64Probe {
  std::string loader, reason;
};

const Wine64Probe& ProbeWine64() {
  static std::once_flag once;
  static Wine64Probe probe;
  std::call_once(once, [] {
    std::string script = std::string(TOLVANE_SOURCE_DIR) + "/tools/wine-probe";
    RunResult r = RunCommand(script, {"--64"}, RunOptions().Timeout(300));
    if (r.status == 0)
      probe.loader = TrimLineEnd(r.out);
    else
      probe.reason = r.out.empty() ? "tools/wine-probe --64 failed: " + r.err : TrimLineEnd(r.out);
    if (r.status == 0 && probe.loader.empty()) probe.reason = "tools/wine-probe --64 named no loader";
  });
  return probe;
}

// Wine's own Linux process dies of SIGSEGV now and then as a Go program exits, after
// the program has done its work: about once in 75 runs here, the untouched Go fixture
// as often as the images we write. A Windows program that crashes makes Wine exit
// with a status, never die of a signal, so only a death by signal is run again.
// The services the first program starts hold its output open until they stop, two
// seconds after the last program ends, and Wine's server stops with them: waiting for
// them would start every next program cold, in about four seconds instead of a
// fraction of one.
RunResult RunUnderLoader(const std::string& loader, const std::vector<std::string>& args) {
  ::setenv("WINEDEBUG", "-all", 1);
  constexpr int kRuns = 3;
  RunResult r;
  for (int run = 0; run < kRuns; ++run) {
    r = RunCommand(loader, args, RunOptions().Timeout(300).UntilExit());
    if (r.signal == 0) break;
  }
  return r;
}

}  // namespace

std::string WineCannotRun() {
  static std::once_flag once;
  static std::string reason;
  std::call_once(once, [] {
    std::string probe = std::string(TOLVANE_SOURCE_DIR) + "/tools/wine-probe";
    RunResult r = RunCommand(probe, {}, RunOptions().Timeout(300));
    if (r.status == 0) return;
    reason = r.out.empty() ? "tools/wine-probe failed: " + r.err : TrimLineEnd(r.out);
  });
  return reason;
}

RunResult RunUnderWine(const std::vector<std::string>& args) { return RunUnderLoader(FindOnPath("wine"), args); }

std::string Wine64CannotRun() { return ProbeWine64().reason; }

RunResult RunUnderWine64(const std::vector<std::string>& args) {
  const Wine64Probe& probe = ProbeWine64();
  if (probe.loader.empty()) {
    RunResult r;
    r.err = probe.reason;
    return r;
  }
  return RunUnderLoader(probe.loader, args);
}

}  // namespace tolvane::test
