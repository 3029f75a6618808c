// Runs one job of the built program on many damaged inputs, each in a clean scratch
// directory, and checks what users rely on after every run:
//   - it ends with status 0 or 1, never by a signal, a timeout or a sanitizer report;
//   - on status 1 no new file is left (no destination, no temporary file) and a
//     destination that existed is unchanged byte for byte;
//   - on status 0 the destination reads back with our own reader, and a destination
//     that existed is kept as the backup, byte for byte.
//
//   JobSweep sweep(Job::Extract, "app.exe truncated");
//   for (size_t n : lengths) sweep.Run("length " + std::to_string(n), prefix(n), {}, previous);
//   sweep.Report();   // the figures, printed and recorded with the test
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "builders/ProgramRunner.h"
#include "builders/TestFiles.h"

namespace tolvane::test {

// Under the sanitizers every run of the program costs several times more: there the
// sweeps take every third of their lengths and mutants, the release build all.
#if TOLVANE_SANITIZED
constexpr size_t kSweepThinning = 3;
#else
constexpr size_t kSweepThinning = 1;
#endif

enum class Job {
  Extract,  // SRC -r out.res
  Combine,  // -o out.exe SRC in.res
};

struct SweepFigures {
  int tried = 0;
  int succeeded = 0;  // status 0
  int refused = 0;    // status 1
  int crashed = 0;    // a signal, a sanitizer report or another status
  int hung = 0;       // killed at the timeout
  int filesLost = 0;  // a previous destination changed or gone, or a file left behind
  double slowestSeconds = 0;
};

class JobSweep {
public:
  JobSweep(Job job, std::string label, int timeoutSeconds = 10);

  // One run of the job on the image bytes (and the .RES bytes for Combine), with a
  // destination holding previous beforehand when given. Gives the exit status.
  int Run(const std::string& what, const std::vector<uint8_t>& image, const std::vector<uint8_t>& res,
          const std::optional<std::vector<uint8_t>>& previous, RunOptions options = {});

  const SweepFigures& Figures() const { return fFigures; }
  // Prints the figures and records them as properties of the running test.
  void Report() const;

  static const char* DestinationName(Job job) { return job == Job::Extract ? "out.res" : "out.exe"; }
  static const char* BackupName(Job job) { return job == Job::Extract ? "out.~res" : "out.~exe"; }

private:
  void Fail(const std::string& what, const std::string& why);

  Job fJob;
  std::string fLabel;
  int fTimeoutSeconds;
  ScratchDir fDir;
  SweepFigures fFigures;
  int fReported = 0;
};

// Lengths for a truncation sweep of a file of size bytes: every length up to dense,
// then every stride-th, and the file less one byte (thinned by kSweepThinning).
std::vector<size_t> SweepLengths(size_t size, size_t dense, size_t stride);

}  // namespace tolvane::test
