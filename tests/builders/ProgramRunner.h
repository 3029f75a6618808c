// Runs the built program as a user would and captures what it prints.
#pragma once

#include <string>
#include <vector>

namespace tolvane::test {

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or -1 when the process died of a signal
  int signal = 0;   // the signal that ended it, or 0
};

struct RunOptions {
  std::string workingDirectory;   // empty: the test's own
  std::string executable;         // empty: the built tolvane
  bool stdoutToTerminal = false;  // give the program a pseudo-terminal as standard output
  bool untilExit = false;         // stop reading when the program exits, though processes it
                                  // started may still hold its standard output and error
  long fileSizeLimit = -1;        // RLIMIT_FSIZE in bytes, with SIGXFSZ ignored; -1 for none
  long addressSpaceLimit = -1;    // RLIMIT_AS in bytes; -1 for none
  int timeoutSeconds = 30;

  RunOptions In(std::string dir) const {
    RunOptions o = *this;
    o.workingDirectory = std::move(dir);
    return o;
  }
  RunOptions Using(std::string exe) const {
    RunOptions o = *this;
    o.executable = std::move(exe);
    return o;
  }
  RunOptions OnTerminal() const {
    RunOptions o = *this;
    o.stdoutToTerminal = true;
    return o;
  }
  RunOptions UntilExit() const {
    RunOptions o = *this;
    o.untilExit = true;
    return o;
  }
  RunOptions FileSizeLimit(long bytes) const {
    RunOptions o = *this;
    o.fileSizeLimit = bytes;
    return o;
  }
  RunOptions AddressSpaceLimit(long bytes) const {
    RunOptions o = *this;
    o.addressSpaceLimit = bytes;
    return o;
  }
  RunOptions Timeout(int seconds) const {
    RunOptions o = *this;
    o.timeoutSeconds = seconds;
    return o;
  }
};

RunResult RunTolvane(const std::vector<std::string>& args, const RunOptions& options = {});

// Any program, with the same capture.
inline RunResult RunCommand(const std::string& executable, const std::vector<std::string>& args,
                            RunOptions options = {}) {
  options.executable = executable;
  return RunTolvane(args, options);
}

// The built program's path.
std::string TolvaneExecutable();

}  // namespace tolvane::test
