#include "builders/ProgramRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace tolvane::test {

std::string TolvaneExecutable() { return TOLVANE_EXE; }

namespace {

void DrainInto(int fd, std::string& sink, bool& open) {
  char buffer[65536];
  ssize_t n = ::read(fd, buffer, sizeof buffer);
  if (n > 0)
    sink.append(buffer, static_cast<size_t>(n));
  else
    open = false;
}

struct ChildSetup {
  const char* exe;
  char* const* argv;
  int out, err;            // become standard output and standard error
  int closeOut, closeErr;  // the parent's ends of the pipes
  const char* directory;   // null: the test's own
  long fileSizeLimit;      // -1: none
  long addressSpaceLimit;  // -1: none
};

// vfork: the child only sets up its descriptors, directory and limits, then execs.
// A copy of the test process's page tables, as fork makes, costs more than the run
// itself under AddressSanitizer, whose shadow memory is vast.
pid_t Spawn(const ChildSetup& c) {
  pid_t pid = ::vfork();
  if (pid == 0) {
    ::dup2(c.out, STDOUT_FILENO);
    ::dup2(c.err, STDERR_FILENO);
    ::close(c.closeOut);
    ::close(c.closeErr);
    if (c.directory != nullptr && ::chdir(c.directory) != 0) ::_exit(126);
    if (c.fileSizeLimit >= 0) {
      ::signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {static_cast<rlim_t>(c.fileSizeLimit), static_cast<rlim_t>(c.fileSizeLimit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (c.addressSpaceLimit >= 0) {
      struct rlimit limit = {static_cast<rlim_t>(c.addressSpaceLimit), static_cast<rlim_t>(c.addressSpaceLimit)};
      ::setrlimit(RLIMIT_AS, &limit);
    }
    ::execv(c.exe, c.argv);
    ::_exit(127);
  }
  return pid;
}

}  // namespace

RunResult RunTolvane(const std::vector<std::string>& args, const RunOptions& options) {
  std::string exe = options.executable.empty() ? TolvaneExecutable() : options.executable;
  int outPipe[2], errPipe[2];
  if (::pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  int ptyMaster = -1, outRead = -1, outWrite = -1;
  if (options.stdoutToTerminal) {
    int slave = -1;
    if (::openpty(&ptyMaster, &slave, nullptr, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    outRead = ptyMaster;
    outWrite = slave;
  } else {
    if (::pipe(outPipe) != 0) throw std::runtime_error("pipe failed");
    outRead = outPipe[0];
    outWrite = outPipe[1];
  }

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(exe.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ChildSetup child{exe.c_str(),
                   argv.data(),
                   outWrite,
                   errPipe[1],
                   outRead,
                   errPipe[0],
                   options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(),
                   options.fileSizeLimit,
                   options.addressSpaceLimit};
  pid_t pid = Spawn(child);
  ::close(outWrite);
  ::close(errPipe[1]);

  RunResult result;
  bool outOpen = true, errOpen = true;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.timeoutSeconds);
  bool timedOut = false;
  while (outOpen || errOpen) {
    struct pollfd fds[2] = {{outRead, POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int ready = ::poll(fds, 2, 200);
    if (ready > 0) {
      if (outOpen && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) DrainInto(outRead, result.out, outOpen);
      if (errOpen && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) DrainInto(errPipe[0], result.err, errOpen);
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      timedOut = true;
      break;
    }
    // A pseudo-terminal does not report end of file while the child lives, nor does a
    // pipe that the child's own children hold; check the child itself.
    if ((options.stdoutToTerminal && !errOpen) || options.untilExit) {
      int status;
      if (::waitpid(pid, &status, WNOHANG) == pid) {
        while (outOpen || errOpen) {
          struct pollfd left[2] = {{outOpen ? outRead : -1, POLLIN, 0}, {errOpen ? errPipe[0] : -1, POLLIN, 0}};
          if (::poll(left, 2, 50) <= 0) break;
          if (outOpen && (left[0].revents & (POLLIN | POLLHUP | POLLERR))) DrainInto(outRead, result.out, outOpen);
          if (errOpen && (left[1].revents & (POLLIN | POLLHUP | POLLERR))) DrainInto(errPipe[0], result.err, errOpen);
        }
        ::close(outRead);
        ::close(errPipe[0]);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
        return result;
      }
    }
  }
  ::close(outRead);
  ::close(errPipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  if (timedOut) result.signal = SIGKILL;
  return result;
}

}  // namespace tolvane::test
