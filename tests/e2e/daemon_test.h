// The fixture of the end-to-end tests: each test runs in its own process, inside its own
// network and mount namespaces (see e2e_main.cpp), with a log socket of its own at /dev/log
// and the real daemon binary.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/syslog_sink.h"
#include "support/udp_peer.h"

namespace lmrtest {

/// Why the sandbox could not be entered; empty once it has been.
extern std::string sandbox_error;

using namespace std::chrono_literals;

/// Lines the daemon writes, as the tests expect to read them.
inline const std::string kStarting = "Starting Lomarind...";
inline const std::string kShuttingDown = "Received termination signal. Shutting down...";
inline const std::string kQuitting = "Received QUIT command. Stopping Lomarind...";
inline const std::string kSuspending = "Received SUSPEND command. Suspending...";

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  /// Starts the server binary with args; extra_env is added to its environment, whose PATH
  /// starts with a directory holding the fake systemctl.
  Process& start_server(const std::vector<std::string>& args,
                        const std::vector<std::string>& extra_env = {},
                        uid_t run_as = static_cast<uid_t>(-1));

  /// Starts any program with args the way start_server starts the server.
  Process& start_program(const std::string& path, const std::vector<std::string>& args,
                         const std::vector<std::string>& extra_env = {},
                         uid_t run_as = static_cast<uid_t>(-1));

  /// path itself, or for another user (run_as) a copy of it that this user can execute
  /// whatever the mode of the directories above path.
  std::string reachable_by(const std::string& path, uid_t run_as);

  /// Starts the server on port and waits until it is bound there; over IPv6 (ipv6_), with
  /// --ipv6, and bound on IPv6 too.
  Process& start_serving(std::uint16_t port, const std::vector<std::string>& extra_args = {},
                         const std::vector<std::string>& extra_env = {});

  /// Sends text from peer to the daemon and returns the reply, if one comes within timeout.
  std::optional<std::string> ask(const UdpPeer& peer, std::string_view text,
                                 std::chrono::milliseconds timeout = 2s) const;

  /// Waits for the server to end; its exit status, or -1 if it did not exit normally in time.
  int exit_status(std::chrono::milliseconds timeout = 3s);

  /// Replaces the log sink with an empty one.
  void restart_log();

  /// The lines the fake systemctl recorded, one per call.
  std::string systemctl_calls() const;

  /// The environment entry that makes the fake systemctl take seconds.
  static std::string systemctl_sleeps(int seconds);

  /// Asserts that the log holds exactly one line with text, at severity, from the daemon
  /// (ident "lmr", facility daemon, pid).
  void expect_logged_once(const std::string& text, int severity, pid_t pid) const;

  /// The loopback address of the family the test runs over: where its peers sit.
  std::string loopback() const { return ipv6_ ? "::1" : "127.0.0.1"; }

  bool ipv6_ = false;  // the test runs over IPv6: ::1, the daemon with --ipv6
  std::filesystem::path dir_;
  std::filesystem::path exec_dir_;  // copies of programs run as another user
  std::uint16_t port_ = 0;
  std::unique_ptr<SyslogSink> log_;
  std::unique_ptr<Process> server_;
};

/// Runs Fixture's TEST_P tests over IPv4 and over IPv6; instantiate with
/// INSTANTIATE_TEST_SUITE_P(Family, Suite, kBothFamilies, family_name).
template <class Fixture>
class OverEachFamily : public Fixture, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    this->ipv6_ = this->GetParam();
    Fixture::SetUp();
  }
};

/// The parameters of OverEachFamily: IPv4, then IPv6.
inline const auto kBothFamilies = ::testing::Values(false, true);

/// The name of a test's family: Ipv4 or Ipv6.
inline std::string family_name(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "Ipv6" : "Ipv4";
}

}  // namespace lmrtest
