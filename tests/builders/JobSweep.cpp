#include "builders/JobSweep.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "builders/ImageFiles.h"

namespace tolvane::test {
namespace {

constexpr int kFailuresShown = 10;

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The program's error report, and nothing else.
bool IsErrorReport(const std::string& err) {
  return err.rfind("Exception ", 0) == 0 && err.find(" in module tolvane at 00000000.\r\n") != std::string::npos &&
         EndsWith(err, "\r\n\r\n") && err.find("Sanitizer") == std::string::npos;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : " ") + n;
  return "[" + s + "]";
}

}  // namespace

JobSweep::JobSweep(Job job, std::string label, int timeoutSeconds)
    : fJob(job), fLabel(std::move(label)), fTimeoutSeconds(timeoutSeconds) {}

void JobSweep::Fail(const std::string& what, const std::string& why) {
  if (fReported++ < kFailuresShown) ADD_FAILURE() << fLabel << ", " << what << ": " << why;
}

int JobSweep::Run(const std::string& what, const std::vector<uint8_t>& image, const std::vector<uint8_t>& res,
                  const std::optional<std::vector<uint8_t>>& previous, RunOptions options) {
  for (const std::string& name : ListDirectory(fDir.path())) std::filesystem::remove(fDir.file(name));
  std::vector<std::string> inputs = {"in.exe"};
  WriteFileBytes(fDir.file("in.exe"), image);
  std::vector<std::string> args = {"in.exe", "-r", DestinationName(fJob)};
  if (fJob == Job::Combine) {
    inputs.push_back("in.res");
    WriteFileBytes(fDir.file("in.res"), res);
    args = {"-o", DestinationName(fJob), "in.exe", "in.res"};
  }
  if (previous) WriteFileBytes(fDir.file(DestinationName(fJob)), *previous);

  auto start = std::chrono::steady_clock::now();
  RunResult r = RunTolvane(args, options.In(fDir.path()).Timeout(fTimeoutSeconds));
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fFigures.slowestSeconds = std::max(fFigures.slowestSeconds, seconds);
  ++fFigures.tried;

  if (r.signal == SIGKILL && seconds >= fTimeoutSeconds) {
    ++fFigures.hung;
    Fail(what, "no end within " + std::to_string(fTimeoutSeconds) + " s");
    return r.status;
  }
  bool sanitizer = r.err.find("Sanitizer") != std::string::npos || r.err.find("runtime error") != std::string::npos;
  if (r.signal != 0 || (r.status != 0 && r.status != 1) || sanitizer) {
    ++fFigures.crashed;
    Fail(what, "status " + std::to_string(r.status) + ", signal " + std::to_string(r.signal) + ", stderr: " + r.err);
    return r.status;
  }

  std::vector<std::string> expected = inputs;
  expected.push_back(DestinationName(fJob));
  if (r.status == 1) {
    ++fFigures.refused;
    if (!previous) expected.pop_back();
    if (!r.out.empty()) Fail(what, "a failure printed on standard output: " + r.out);
    if (!r.err.empty() && !IsErrorReport(r.err))
      Fail(what, "standard error holds more than the error report: " + r.err);
  } else {
    ++fFigures.succeeded;
    if (previous) expected.push_back(BackupName(fJob));
    std::string line = fJob == Job::Extract ? "Resources extracted from in.exe to out.res\r\n"
                                            : "Resources combined from in.res to out.exe\r\n";
    if (r.out != line || !r.err.empty()) Fail(what, "success printed: " + r.out + r.err);
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> after = ListDirectory(fDir.path());
  if (after != expected) {
    ++fFigures.filesLost;
    Fail(what, "status " + std::to_string(r.status) + " left " + Joined(after) + ", expected " + Joined(expected));
    return r.status;
  }
  if (previous) {
    const char* kept = r.status == 1 ? DestinationName(fJob) : BackupName(fJob);
    if (ReadFileBytes(fDir.file(kept)) != *previous) {
      ++fFigures.filesLost;
      Fail(what, std::string("the previous destination is not in ") + kept + " byte for byte");
    }
  }
  if (r.status == 0) {
    std::vector<uint8_t> written = ReadFileBytes(fDir.file(DestinationName(fJob)));
    Thrown t = Capture([&] {
      if (fJob == Job::Extract)
        LoadRes(written);
      else
        LoadImage(written);
    });
    if (t.thrown) Fail(what, "the file written does not read back: " + t.message);
  }
  return r.status;
}

void JobSweep::Report() const {
  const SweepFigures& f = fFigures;
  std::printf(
      "[ sweep    ] %s: %d inputs, %d succeeded, %d refused; crashes %d, hangs %d, files lost %d; "
      "slowest %.2f s\n",
      fLabel.c_str(), f.tried, f.succeeded, f.refused, f.crashed, f.hung, f.filesLost, f.slowestSeconds);
  std::fflush(stdout);
  ::testing::Test::RecordProperty("inputs", f.tried);
  ::testing::Test::RecordProperty("crashes", f.crashed);
  ::testing::Test::RecordProperty("hangs", f.hung);
  ::testing::Test::RecordProperty("files_lost", f.filesLost);
  EXPECT_EQ(f.crashed + f.hung + f.filesLost, 0) << fLabel;
}

std::vector<size_t> SweepLengths(size_t size, size_t dense, size_t stride) {
  std::vector<size_t> lengths;
  for (size_t n = 0; n < size && n <= dense; ++n) lengths.push_back(n);
  for (size_t n = dense + stride; n < size; n += stride) lengths.push_back(n);
  if (size > 0 && (lengths.empty() || lengths.back() != size - 1)) lengths.push_back(size - 1);
  if (kSweepThinning == 1) return lengths;
  std::vector<size_t> thinned;
  for (size_t i = 0; i < lengths.size(); i += kSweepThinning) thinned.push_back(lengths[i]);
  return thinned;
}

}  // namespace tolvane::test
