// The end-to-end fixture with a key: a key file of the daemon's user with mode 0600, and the
// same key read for the test, which plays the controller.
#pragma once

#include <string>

#include "e2e/daemon_test.h"
#include "key/key_file.h"

namespace lmrtest {

class KeyedDaemonTest : public DaemonTest {
 protected:
  void SetUp() override {
    DaemonTest::SetUp();
    // A skip or a failure there only returns from that function: stop here too, or the key
    // would be written into the working directory.
    if (IsSkipped() || HasFatalFailure()) {
      return;
    }
    key_path_ = (dir_ / "keys").string();
    ASSERT_EQ(write_new_key_file(key_path_), "");
    ASSERT_EQ(read_key_file(key_path_, keys_, true), "");
  }

  std::string key_path_;
  KeySet keys_;
};

}  // namespace lmrtest
