#include "platform/Console.h"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/CodePages.h"

namespace tolvane::platform {
namespace {

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

bool StdOutIsConsole() { return ::isatty(STDOUT_FILENO) == 1; }

// Nothing is buffered in the process: every line goes straight to the descriptor.
void WriteStdOut(const std::string& bytes) { WriteAll(STDOUT_FILENO, bytes); }
void WriteStdErr(const std::string& bytes) { WriteAll(STDERR_FILENO, bytes); }
void FlushStdOut() {}

std::u16string ExecutablePath() {
  char buffer[PATH_MAX + 1];
  ssize_t n = ::readlink("/proc/self/exe", buffer, PATH_MAX);
  if (n <= 0) return u"";
  return Utf8ToWide(std::string(buffer, static_cast<size_t>(n)));
}

}  // namespace tolvane::platform
