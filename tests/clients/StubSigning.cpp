// Placeholder until this client lands: its tests skip. Delete this file when the
// real implementation is written.
#include "clients/Clients.h"

namespace tolvane::test {

namespace {
::testing::AssertionResult Pending() { return ::testing::AssertionFailure() << "client not yet implemented"; }
}  // namespace

std::string SigningAbsent() { return "client not yet implemented"; }
::testing::AssertionResult SignsAndVerifies(const std::string&, const std::string&) { return Pending(); }

}  // namespace tolvane::test
