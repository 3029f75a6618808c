// Entry point: hands the arguments, already split by the system, to the front end.
#include <string>
#include <vector>

#include "platform/CodePages.h"
#include "platform/Console.h"
#include "platform/Files.h"
#include "platform/Memory.h"
#include "tolvane.h"

int main(int argc, char** argv) {
  tolvane::platform::PreferLargePagesForTheHeap();
  tolvane::platform::FailWritesBeyondTheFileSizeLimit();
  // Parameter 0 is the executable itself, as the system reports it, not argv[0].
  std::vector<std::u16string> params{tolvane::platform::ExecutablePath()};
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.empty()) params.push_back(tolvane::platform::Utf8ToWide(arg));  // "" yields no parameter
  }
  return tolvane::RunProgram(params);
}
