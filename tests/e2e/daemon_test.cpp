#include "e2e/daemon_test.h"

#include <syslog.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace lmrtest {

std::string sandbox_error = "the sandbox was not entered";

void DaemonTest::SetUp() {
  if (!sandbox_error.empty()) {
    // Private namespaces need root, and a root that holds CAP_SYS_ADMIN and CAP_NET_ADMIN,
    // which a container's root may lack. Without them the daemon is not run at all; CI fails
    // on such a skip.
    GTEST_SKIP() << "cannot isolate the daemon: " << sandbox_error;
  }
  std::array<char, 32> name{};
  std::strncpy(name.data(), "/tmp/lmr-e2e-XXXXXX", name.size() - 1);
  ASSERT_NE(mkdtemp(name.data()), nullptr);
  dir_ = name.data();
  std::filesystem::create_directory(dir_ / "bin");
  std::filesystem::copy_file(LMR_FAKE_SYSTEMCTL, dir_ / "bin" / "systemctl");
  log_ = std::make_unique<SyslogSink>();
  ASSERT_TRUE(log_->ok()) << log_->error();
  // Each test has a network namespace of its own, so any port is free.
  port_ = 9999;
}

void DaemonTest::TearDown() {
  server_.reset();
  // In a sanitized build, a report from any daemon this test started (background ones too,
  // whose standard error is /dev/null) fails the test.
  if (!dir_.empty()) {
    for (const auto& file : std::filesystem::directory_iterator(dir_)) {
      if (file.path().filename().string().starts_with("sanitizer.")) {
        ADD_FAILURE() << "sanitizer report:\n" << read_file(file.path());
      }
    }
  }
  log_.reset();
  std::error_code ignored;
  if (!dir_.empty()) {
    std::filesystem::remove_all(dir_, ignored);
  }
  if (!exec_dir_.empty()) {
    std::filesystem::remove_all(exec_dir_, ignored);
  }
}

Process& DaemonTest::start_server(const std::vector<std::string>& args,
                                  const std::vector<std::string>& extra_env, uid_t run_as) {
  return start_program(LMR_SERVER_BINARY, args, extra_env, run_as);
}

Process& DaemonTest::start_program(const std::string& path, const std::vector<std::string>& args,
                                   const std::vector<std::string>& extra_env, uid_t run_as) {
  std::vector<std::string> env{
      "PATH=" + (dir_ / "bin").string() + ":/usr/sbin:/usr/bin:/sbin:/bin",
      "LMR_FAKE_SYSTEMCTL_RECORD=" + (dir_ / "systemctl.calls").string(),
      // No system bus: the host's own inhibitors never change what a test sees (the booted
      // test in tests/system asks a real logind).
      "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (dir_ / "no-system-bus").string(),
      "ASAN_OPTIONS=log_path=" + (dir_ / "sanitizer").string(),
      "UBSAN_OPTIONS=print_stacktrace=1:log_path=" + (dir_ / "sanitizer").string(),
  };
  // A test's own entries replace the defaults of the same name.
  for (const auto& extra : extra_env) {
    const std::string name = extra.substr(0, extra.find('=') + 1);
    std::erase_if(env, [&](const std::string& entry) { return entry.starts_with(name); });
    env.push_back(extra);
  }
  server_ = std::make_unique<Process>(reachable_by(path, run_as), args, env,
                                      (dir_ / "server").string(), run_as);
  return *server_;
}

std::string DaemonTest::reachable_by(const std::string& path, uid_t run_as) {
  if (run_as == static_cast<uid_t>(-1)) {
    return path;
  }
  // The build tree may sit in a directory that only its owner can enter (a home directory
  // is mode 0700), so another user gets a copy in a directory everyone can enter.
  if (exec_dir_.empty()) {
    std::array<char, 40> name{};
    std::strncpy(name.data(), "/tmp/lmr-e2e-exec-XXXXXX", name.size() - 1);
    if (mkdtemp(name.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
      return path;
    }
    exec_dir_ = name.data();
    std::filesystem::permissions(exec_dir_, std::filesystem::perms::owner_all |
                                                std::filesystem::perms::group_exec |
                                                std::filesystem::perms::others_exec);
  }
  const auto copy = exec_dir_ / std::filesystem::path(path).filename();
  std::error_code error;
  std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing, error);
  if (error) {
    ADD_FAILURE() << "copy " << path << ": " << error.message();
    return path;
  }
  return copy.string();
}

Process& DaemonTest::start_serving(std::uint16_t port, const std::vector<std::string>& extra_args,
                                   const std::vector<std::string>& extra_env) {
  std::vector<std::string> args{"-p", std::to_string(port)};
  args.insert(args.end(), extra_args.begin(), extra_args.end());
  if (ipv6_) {
    args.emplace_back("--ipv6");
  }
  Process& server = start_server(args, extra_env);
  EXPECT_TRUE(wait_until_bound(port, 5s)) << "the server did not bind port " << port;
  if (ipv6_) {
    EXPECT_TRUE(wait_until_bound(port, 5s, true)) << "the server did not bind IPv6 port " << port;
  }
  return server;
}

std::optional<std::string> DaemonTest::ask(const UdpPeer& peer, std::string_view text,
                                           std::chrono::milliseconds timeout) const {
  EXPECT_TRUE(peer.send(text, port_));
  return peer.receive(timeout);
}

int DaemonTest::exit_status(std::chrono::milliseconds timeout) {
  const auto status = server_->wait(timeout);
  if (!status.has_value() || !WIFEXITED(*status)) {
    return -1;
  }
  // Process's child says so on standard error when it could not become the program.
  const std::string error = server_->standard_error();
  if (error.starts_with(kCannotStart)) {
    ADD_FAILURE() << error;
  }
  return WEXITSTATUS(*status);
}

void DaemonTest::restart_log() {
  log_.reset();
  log_ = std::make_unique<SyslogSink>();
  ASSERT_TRUE(log_->ok()) << log_->error();
}

std::string DaemonTest::systemctl_calls() const { return read_file(dir_ / "systemctl.calls"); }

std::string DaemonTest::systemctl_sleeps(int seconds) {
  return "LMR_FAKE_SYSTEMCTL_SLEEP=" + std::to_string(seconds);
}

void DaemonTest::expect_logged_once(const std::string& text, int severity, pid_t pid) const {
  ASSERT_TRUE(log_->wait_for(text, 3s)) << "never logged: " << text;
  EXPECT_EQ(log_->count(text), 1U) << text;
  for (const auto& entry : log_->entries()) {
    if (entry.text == text) {
      EXPECT_EQ(entry.ident, "lmr") << entry.raw;
      EXPECT_EQ(entry.facility, LOG_DAEMON) << entry.raw;
      EXPECT_EQ(entry.severity, severity) << entry.raw;
      EXPECT_EQ(entry.pid, pid) << entry.raw;
    }
  }
}

}  // namespace lmrtest
