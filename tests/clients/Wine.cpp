#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "builders/ImageFiles.h"
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

std::string CopyUnderOwnName(const std::string& image, const ScratchDir& dir) {
  const std::string copy = dir.file("ours-" + std::filesystem::path(image).filename().string());
  std::filesystem::copy_file(image, copy, std::filesystem::copy_options::overwrite_existing);
  return copy;
}

std::string WithAppendedScript(const std::string& launcher, const ScratchDir& dir) {
  Bytes script = ReadFileBytes(launcher);
  const Bytes shebangAndEmptyZip =
      BytesOf(std::string("#!C:\\windows\\system32\\cmd.exe /c echo\r\nPK\x05\x06") + std::string(18, '\0'));
  script.insert(script.end(), shebangAndEmptyZip.begin(), shebangAndEmptyZip.end());
  WriteFileBytes(dir.file("script.exe"), script);
  return dir.file("script.exe");
}

void ExpectMergedRunsAsUntouched(const MergedRun& m, RunResult (*runUnderWine)(const std::vector<std::string>&)) {
  ScratchDir dir;
  std::vector<std::string> run = m.run;
  const std::string image = m.run[m.merged], program = std::filesystem::path(m.run[0]).filename().string();
  run[m.merged] = CopyUnderOwnName(image, dir);
  const RunResult before = runUnderWine(run);
  ASSERT_FALSE(before.out.empty() && before.err.empty()) << program << " printed nothing under Wine";
  const struct {
    std::string res, prints, refusal;
  } merges[] = {{m.res, m.printsAfterRes.empty() ? before.out : m.printsAfterRes, ""},
                {WriteMegabyteRes(dir), before.out, m.megabyteRefusal}};
  for (const auto& merge : merges) {
    SCOPED_TRACE(program + ": " + image + " merged with " + merge.res);
    CopyUnderOwnName(image, dir);
    const RunResult merged = RunTolvane(ForImage({"-o", run[m.merged], run[m.merged], merge.res}, image));
    if (!merge.refusal.empty()) {
      EXPECT_EQ(merged.status, 1);
      EXPECT_NE(merged.err.find(merge.refusal), std::string::npos) << merged.err;
      continue;
    }
    ASSERT_EQ(merged.status, 0) << merged.out << merged.err;
    const RunResult after = runUnderWine(run);
    EXPECT_EQ(after.status, before.status) << "signal " << after.signal << "; " << after.err;
    EXPECT_EQ(after.out, merge.prints);
    EXPECT_EQ(after.err, before.err);
  }
}

}  // namespace tolvane::test
