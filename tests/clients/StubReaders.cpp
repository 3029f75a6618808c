// Placeholder until this client lands: its tests skip. Delete this file when the
// real implementation is written.
#include "clients/Clients.h"

namespace tolvane::test {

namespace {
::testing::AssertionResult Pending() { return ::testing::AssertionFailure() << "client not yet implemented"; }
}  // namespace

std::string PefileAbsent() { return "client not yet implemented"; }
::testing::AssertionResult PefileAccepts(const std::string&, size_t) { return Pending(); }
std::string ReadpeAbsent() { return "client not yet implemented"; }
::testing::AssertionResult ReadpeAccepts(const std::string&, size_t) { return Pending(); }
std::string LlvmReadobjAbsent() { return "client not yet implemented"; }
::testing::AssertionResult LlvmReadobjAccepts(const std::string&, size_t) { return Pending(); }

}  // namespace tolvane::test
