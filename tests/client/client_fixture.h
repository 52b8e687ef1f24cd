// The fixture of the client's end-to-end tests: the real lomarind binary, run inside the
// test's sandbox against the real daemon or a stand-in on loopback.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "e2e/daemon_test.h"

namespace lmrtest {

/// How one run of the client ended.
struct ClientRun {
  int status = -1;  // the exit status, or -1 if it did not exit normally in time
  std::string out;
  std::string err;
  std::chrono::milliseconds took{};
};

class ClientTest : public DaemonTest {
 protected:
  /// Runs the client with args and waits for it to end.
  ClientRun run_client(const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout = 40s);

  /// The fake systemctl's record once it reads expected, or as it is after a few seconds:
  /// the daemon answers OK before it runs the command.
  std::string systemctl_calls_once(const std::string& expected) const;

  /// The HOST word of the daemon on port_ over the test's family: 127.0.0.1:9999 or
  /// [::1]:9999.
  std::string host() const {
    return (ipv6_ ? "[" + loopback() + "]" : loopback()) + ":" + std::to_string(port_);
  }

  /// The daemon's log lines that start with prefix.
  std::size_t logged_with_prefix(const std::string& prefix) const;

 private:
  int runs_ = 0;
};

/// Sorts the lines of text, so that outputs in the order hosts finish can be compared.
std::vector<std::string> sorted_lines(const std::string& text);

}  // namespace lmrtest
