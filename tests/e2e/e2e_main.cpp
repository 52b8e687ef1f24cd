// Each end-to-end test runs as a process of its own (ctest starts one per test), and that
// process isolates itself before the first test: the daemon it starts then has its own
// ports, its own log socket and a fake systemctl, and cannot touch the machine.
#include <gtest/gtest.h>

#include "e2e/daemon_test.h"
#include "support/sandbox.h"

namespace {

class Sandbox : public ::testing::Environment {
 public:
  void SetUp() override { lmrtest::sandbox_error = lmrtest::enter_sandbox(LMR_FAKE_SYSTEMCTL); }
};

}  // namespace

int main(int argc, char* argv[]) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing tests must not need privileges; the sandbox is entered only to run them.
  ::testing::AddGlobalTestEnvironment(new Sandbox);  // NOLINT: gtest takes ownership
  return RUN_ALL_TESTS();
}
