// Standard output and standard error as byte sinks.
#pragma once

#include <string>

namespace tolvane::platform {

// Whether standard output is a character device (a console).
bool StdOutIsConsole();
// Write all bytes and flush at once; failures are ignored, as a console write's are.
void WriteStdOut(const std::string& bytes);
void WriteStdErr(const std::string& bytes);
void FlushStdOut();

// The full path of the running executable, as the system reports it.
std::u16string ExecutablePath();

}  // namespace tolvane::platform
