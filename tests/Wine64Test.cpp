// 64-bit programs under Wine's 64-bit loader, the one `tools/wine-probe --64` finds;
// where it finds none that runs, these skip with its reason.
#include <gtest/gtest.h>

#include "builders/TestFiles.h"
#include "clients/Clients.h"

namespace tolvane::test {
namespace {

class Wine64 : public ::testing::Test {
protected:
  void SetUp() override { SKIP_UNLESS_PRESENT(Wine64CannotRun()); }
};

// The loader and the x86_64 fixtures as built, before they judge any image we write:
// each prints what its source says, and relocloader64.exe shows that lib64.dll loads
// away from its preferred base, its relocations applied.
TEST_F(Wine64, UntouchedFixturesRunAsBuilt) {
  struct Case {
    std::vector<std::string> run;
    int status;
    std::string out;
    std::string errBegins;  // Go prints to standard error
  };
  const std::string app = "Hello from app.exe\nFileVersion 1.0.0.0\n";
  const Case cases[] = {
      {{FixturePath("app64.exe")}, 0, app, ""},
      {{FixturePath("app_unstripped64.exe")}, 0, app, ""},
      {{FixturePath("overlay64.exe")}, 0, app, ""},
      {{FixturePath("dataloader64.exe"), FixturePath("lib64.dll"), "2"}, 0, "lib.dll second string\n", ""},
      {{FixturePath("dataloader64.exe"), FixturePath("nores64.dll")}, 1, "", "dataloader: string not found\n"},
      {{FixturePath("relocloader64.exe"), FixturePath("lib64.dll")}, 0, "Hello from lib.dll\nrelocated\n", ""},
      {{FixturePath("gohello64.exe")}, 0, "", "hello from go\n"},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const std::string& arg : c.run) label += arg.substr(arg.rfind('/') + 1) + " ";
    SCOPED_TRACE(label);
    const RunResult r = RunUnderWine64(c.run);
    EXPECT_EQ(r.status, c.status) << "signal " << r.signal << "; " << r.err;
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err.substr(0, c.errBegins.size()), c.errBegins);
  }
}

}  // namespace
}  // namespace tolvane::test
